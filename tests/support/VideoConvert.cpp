#include "tests/support/VideoConvert.h"

#include <cstdlib>

#include <unistd.h>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

namespace kv::test {

namespace {
int LibraryLogLevel() { return std::getenv("KV_TEST_LIBRARY_LOG") ? AV_LOG_INFO : AV_LOG_QUIET; }
}  // namespace

void LoadEngineLibraries()
{
    ASSERT_TRUE(media::FFLoader.LoadLibs(media::EngineLibraries)) << media::FFLoader.LastErrMsg();
    av::av_log_set_level(LibraryLogLevel());
}

void TOutputFolderTest::SetUp()
{
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    // The process id keeps apart the same test run at once from other checkouts.
    dir = std::filesystem::path(testing::TempDir()) / ("kv_" + std::string(test->test_suite_name()) + "_" +
                                                       test->name() + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
}

void TOutputFolderTest::TearDown()
{
    std::filesystem::remove_all(dir);
}

void TRecordingSink::DoBeforeHook(engine::TCustomFFmpeg*, std::int64_t pts, engine::THookAction& action)
{
    if (BeforeHook) BeforeHook(pts, action);
}

void TRecordingSink::DoCustomHook(engine::TCustomFFmpeg*, media::TBitmap& bitmap, int frameNumber, std::int64_t pts,
                                  bool& update, bool& stopHook)
{
    if (CustomHook) CustomHook(bitmap, frameNumber, pts, update, stopHook);
}

void TRecordingSink::DoLog(engine::TCustomFFmpeg*, engine::TLogLevel level, const std::string& message)
{
    Lines.emplace_back(level, message);
}

void TRecordingSink::DoPreviewBitmap(engine::TCustomFFmpeg*, media::TBitmap& bitmap, int frameNumber,
                                     std::int64_t pts)
{
    if (PreviewBitmap) PreviewBitmap(bitmap, frameNumber, pts);
}

void TRecordingSink::DoProgress(engine::TCustomFFmpeg* task, int frameNumber, int, int currentDuration, float quality,
                                float, std::int64_t currentSize, int)
{
    Progress.push_back({frameNumber, currentDuration, quality, currentSize});
    if (OnProgress) OnProgress(task);
}

bool TRecordingSink::Has(const std::string& text) const
{
    return Count(text) > 0;
}

int TRecordingSink::Count(const std::string& text) const
{
    int n = 0;
    for (const auto& line : Lines) n += line.second == text;
    return n;
}

int TRecordingSink::CountPrefix(const std::string& text) const
{
    int n = 0;
    for (const auto& line : Lines) n += line.second.rfind(text, 0) == 0;
    return n;
}

std::string MediaFile(const std::string& name)
{
    return name[0] == '/' ? name : std::string(KV_TEST_MEDIA_DIR) + "/" + name;
}

std::vector<std::string> SeparateCopies(const std::string& file, const std::filesystem::path& folder, int count)
{
    namespace fs = std::filesystem;
    std::vector<std::string> copies;
    for (int i = 0; i < count; ++i) {
        const fs::path sub = folder / ("in" + std::to_string(i));
        fs::create_directories(sub);
        const fs::path copy = sub / fs::path(file).filename();
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        copies.push_back(copy.string());
    }
    return copies;
}

TConvertResult Convert(TRecordingSink& sink, const TInputList& inputs, const std::string& output,
                       const TOptionList& outputOptions, int logLevel, const TTaskStep& before,
                       const TTaskStep& after)
{
    TConvertResult r;
    engine::TCustomFFmpeg task;
    task.ResetOptionState();
    task.LogHandler = &sink;
    task.ProgressHandler = &sink;
    task.ProgressIntervalUS = 0;
    // KV_TEST_FRAME_STAGES=1 runs every conversion through the frame stages, =0 without.
    if (const char* stages = std::getenv("KV_TEST_FRAME_STAGES")) task.FrameStages = std::atoi(stages);
    task.SetLogLevel(engine::LogLevelFromNumber(std::getenv("KV_TEST_VERBOSE") ? 3 : logLevel));
    av::av_log_set_level(LibraryLogLevel());
    try {
        for (const auto& [input, inputOptions] : inputs) {
            for (const auto& [k, v] : inputOptions) task.SetOption(k, v);
            if (!task.OpenInputFile(MediaFile(input))) {
                r.Message = task.LastErrorMessage;
                task.CleanupTask();
                return r;
            }
        }
        for (const auto& [k, v] : outputOptions) task.SetOption(k, v);
    } catch (const engine::FFmpegException& e) {
        r.Message = e.what();
        task.CleanupTask();
        return r;
    }
    if (task.OpenOutputFile(output) < 0) {
        r.Message = task.LastErrorMessage;
        task.CleanupTask();
        return r;
    }
    r.Opened = true;
    // "v" sets the libraries' level too; their lines only clutter the test output.
    av::av_log_set_level(LibraryLogLevel());
    if (before) before(task);
    try {
        task.Transcode();
    } catch (const engine::FFmpegException& e) {
        r.Failed = true;
        r.Message = e.what();
    }
    r.Finished = task.Finished;
    if (after) after(task);
    task.CloseOpenCodecs();
    task.CleanupTask();
    return r;
}

TConvertResult Convert(TRecordingSink& sink, const std::string& input, const TOptionList& inputOptions,
                       const std::string& output, const TOptionList& outputOptions, const TTaskStep& before,
                       const TTaskStep& after)
{
    return Convert(sink, {{input, inputOptions}}, output, outputOptions, 1, before, after);
}

TDecodedVideo DecodeVideo(const std::string& file, bool keepLuma)
{
    TDecodedVideo v;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return v;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av::av_packet_alloc();
    AVFrame* frame = av::av_frame_alloc();
    int index = -1;
    if (av::avformat_find_stream_info(ic, nullptr) >= 0) {
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            v.StreamCodecs.push_back(ic->streams[s]->codecpar->codec_id);
            if (index < 0 && ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) index = static_cast<int>(s);
        }
    }
    if (index >= 0) {
        AVStream* st = ic->streams[index];
        v.Codec = st->codecpar->codec_id;
        v.FrameRate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
        const AVCodec* codec = av::avcodec_find_decoder(v.Codec);
        dec = codec ? av::avcodec_alloc_context3(codec) : nullptr;
        if (dec && av::avcodec_parameters_to_context(dec, st->codecpar) >= 0 &&
            av::avcodec_open2(dec, codec, nullptr) >= 0) {
            v.Ok = true;
            auto receive = [&] {
                while (av::avcodec_receive_frame(dec, frame) >= 0) {
                    v.Width = frame->width;
                    v.Height = frame->height;
                    v.PixelFormat = frame->format;
                    v.SampleAspect = frame->sample_aspect_ratio;
                    v.Frames += 1;
                    const std::int64_t t = frame->best_effort_timestamp;
                    v.Pts.push_back(t == AV_NOPTS_VALUE ? t : av::av_rescale_q(t, st->time_base, AV_TIME_BASE_Q));
                    if (keepLuma) {
                        std::vector<std::uint8_t> luma(static_cast<std::size_t>(frame->width) * frame->height);
                        for (int y = 0; y < frame->height; ++y)
                            std::copy_n(frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0],
                                        frame->width, luma.begin() + static_cast<std::ptrdiff_t>(y) * frame->width);
                        v.Luma.push_back(std::move(luma));
                    }
                    av::av_frame_unref(frame);
                }
            };
            while (av::av_read_frame(ic, pkt) >= 0) {
                if (pkt->stream_index == index) {
                    v.PacketBytes += pkt->size;
                    if (av::avcodec_send_packet(dec, pkt) >= 0) receive();
                } else {
                    v.OtherStreamPackets += 1;
                }
                av::av_packet_unref(pkt);
            }
            av::avcodec_send_packet(dec, nullptr);
            receive();
        }
    }
    av::avcodec_free_context(&dec);
    av::av_frame_free(&frame);
    av::av_packet_free(&pkt);
    av::avformat_close_input(&ic);
    return v;
}

int LumaAround(const TDecodedVideo& video, int frame, int x, int y, int size)
{
    const auto& luma = video.Luma.at(static_cast<std::size_t>(frame));
    int sum = 0, n = 0;
    for (int j = y - size / 2; j < y - size / 2 + size; ++j)
        for (int i = x - size / 2; i < x - size / 2 + size; ++i)
            if (i >= 0 && j >= 0 && i < video.Width && j < video.Height) {
                sum += luma[static_cast<std::size_t>(j) * video.Width + i];
                ++n;
            }
    return n ? sum / n : -1;
}

}  // namespace kv::test
