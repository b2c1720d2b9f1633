// Re-encoded sound end to end: rate and channel conversion, every audio encoder the
// libraries offer, the volume, synchronisation by silence, dropping and drift
// compensation. Every result is decoded again and measured.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "media/SwResampleStubs.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using kv::test::TOutputFolderTest;
namespace fs = std::filesystem;

namespace {

using TOptions = std::vector<std::pair<std::string, std::string>>;

constexpr double ClipSeconds = 2.0;   // length of the generated clips' sound
constexpr double ToneRms = 0.3 / std::sqrt(2.0);   // their sine tones have amplitude 0.3

// The first audio stream of a file, decoded; channel 0 as float.
struct TSound {
    bool Ok = false;
    AVCodecID Codec = AV_CODEC_ID_NONE;
    int Rate = 0, Channels = 0;
    double Start = 0;   // first time stamp, seconds
    std::vector<float> Left;
    double Seconds() const { return Rate ? static_cast<double>(Left.size()) / Rate : 0; }
    double Rms(double from, double to) const
    {
        const auto a = static_cast<std::size_t>(std::max(from, 0.0) * Rate);
        const auto b = std::min(Left.size(), static_cast<std::size_t>(to * Rate));
        double sum = 0;
        for (std::size_t i = a; i < b; ++i) sum += static_cast<double>(Left[i]) * Left[i];
        return b > a ? std::sqrt(sum / static_cast<double>(b - a)) : 0;
    }
    // Seconds until the first sample louder than the threshold.
    double FirstSound(float threshold = 0.02f) const
    {
        for (std::size_t i = 0; i < Left.size(); ++i)
            if (std::fabs(Left[i]) > threshold) return static_cast<double>(i) / Rate;
        return -1;
    }
};

TSound Decode(const std::string& file)
{
    TSound s;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return s;
    AVCodecContext* dec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* pkt = av::av_packet_alloc();
    AVFrame* frame = av::av_frame_alloc();
    const AVCodec* codec = nullptr;
    const int index = av::avformat_find_stream_info(ic, nullptr) >= 0
                          ? av::av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0)
                          : -1;
    if (index >= 0 && (dec = av::avcodec_alloc_context3(codec)) &&
        av::avcodec_parameters_to_context(dec, ic->streams[index]->codecpar) >= 0 &&
        av::avcodec_open2(dec, codec, nullptr) >= 0) {
        const AVStream* st = ic->streams[index];
        s.Codec = st->codecpar->codec_id;
        s.Start = st->start_time != AV_NOPTS_VALUE ? static_cast<double>(st->start_time) * av_q2d(st->time_base) : 0;
        std::vector<float> packed;
        auto take = [&] {
            while (av::avcodec_receive_frame(dec, frame) >= 0) {
                if (!swr) {
                    s.Rate = frame->sample_rate;
                    s.Channels = frame->ch_layout.nb_channels;
                    if (av::swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_FLT, frame->sample_rate,
                                                &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                                frame->sample_rate, 0, nullptr) < 0 ||
                        av::swr_init(swr) < 0)
                        return false;
                }
                packed.resize(static_cast<std::size_t>(frame->nb_samples + 64) * s.Channels);
                std::uint8_t* out[1] = {reinterpret_cast<std::uint8_t*>(packed.data())};
                const int n = av::swr_convert(swr, out, frame->nb_samples + 64,
                                              const_cast<const std::uint8_t**>(frame->extended_data),
                                              frame->nb_samples);
                for (int i = 0; i < n; ++i) s.Left.push_back(packed[static_cast<std::size_t>(i) * s.Channels]);
                av::av_frame_unref(frame);
            }
            return true;
        };
        s.Ok = true;
        while (s.Ok && av::av_read_frame(ic, pkt) >= 0) {
            if (pkt->stream_index == index && av::avcodec_send_packet(dec, pkt) >= 0) s.Ok = take();
            av::av_packet_unref(pkt);
        }
        av::avcodec_send_packet(dec, nullptr);
        s.Ok = s.Ok && take();
    }
    av::swr_free(&swr);
    av::av_frame_free(&frame);
    av::av_packet_free(&pkt);
    av::avcodec_free_context(&dec);
    av::avformat_close_input(&ic);
    return s;
}

constexpr int StretchedRate = 44100, StretchedBlock = 1024, StretchedBlocks = 86;
constexpr double StretchedSeconds = static_cast<double>(StretchedBlock) * StretchedBlocks / StretchedRate;

// About 2 s of 16-bit stereo tone at 44.1 kHz in Matroska whose time stamps run
// `stretch` times as fast as its samples, as from a recorder whose clock drifts.
void WriteStretchedClip(const std::string& file, double stretch)
{
    constexpr int rate = StretchedRate, block = StretchedBlock;
    AVFormatContext* oc = nullptr;
    ASSERT_GE(av::avformat_alloc_output_context2(&oc, nullptr, "matroska", file.c_str()), 0);
    AVStream* st = av::avformat_new_stream(oc, nullptr);
    ASSERT_TRUE(st);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    st->codecpar->sample_rate = rate;
    st->codecpar->format = AV_SAMPLE_FMT_S16;
    av::av_channel_layout_default(&st->codecpar->ch_layout, 2);
    st->codecpar->block_align = 4;
    st->codecpar->bits_per_coded_sample = 16;
    st->time_base = {1, 1000};
    ASSERT_GE(av::avio_open(&oc->pb, file.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(av::avformat_write_header(oc, nullptr), 0);
    AVPacket* pkt = av::av_packet_alloc();
    for (int first = 0; first < block * StretchedBlocks; first += block) {
        ASSERT_GE(av::av_new_packet(pkt, block * 4), 0);
        auto* s = reinterpret_cast<std::int16_t*>(pkt->data);
        for (int i = 0; i < block; ++i) {
            const double t = static_cast<double>(first + i) / rate;
            s[2 * i] = static_cast<std::int16_t>(32767 * 0.3 * std::sin(2 * M_PI * 440 * t));
            s[2 * i + 1] = static_cast<std::int16_t>(32767 * 0.3 * std::sin(2 * M_PI * 660 * t));
        }
        pkt->pts = pkt->dts = std::llrint(static_cast<double>(first) / rate * stretch / av_q2d(st->time_base));
        pkt->duration = std::llrint(static_cast<double>(block) / rate * stretch / av_q2d(st->time_base));
        pkt->stream_index = 0;
        const int written = av::av_write_frame(oc, pkt);
        av::av_packet_unref(pkt);
        ASSERT_GE(written, 0);
    }
    av::av_packet_free(&pkt);
    ASSERT_GE(av::av_write_trailer(oc), 0);
    av::avio_closep(&oc->pb);
    av::avformat_free_context(oc);
}

bool HasEncoder(const char* name) { return av::avcodec_find_encoder_by_name(name) != nullptr; }

class AudioPathTest : public TOutputFolderTest {
protected:
    // One task as the engine component runs it; returns the error text, empty on success.
    std::string Convert(const std::string& input, const TOptions& inputOptions, const std::string& output,
                        const TOptions& outputOptions, int verbose = 1)
    {
        const auto r = kv::test::Convert(sink, {{input, inputOptions}}, output, outputOptions, verbose);
        if (!r.Message.empty()) return r.Message;
        return r.Finished ? "" : "not finished";
    }
};

TEST_F(AudioPathTest, ConvertsRateAndChannels)
{
    struct Case {
        const char* input;
        TOptions options;
        const char* output;
        int rate, channels;
    };
    // A down-mix takes half of each channel, so that it cannot clip.
    const Case cases[] = {
        {"wav_pcm.wav", {{"ar", "22050"}, {"ac", "1"}}, "mono22.wav", 22050, 1},
        {"wav_pcm.wav", {{"ar", "48000"}}, "up48.wav", 48000, 2},
        {"wav_pcm.wav", {{"ac", "1"}}, "mono44.wav", 44100, 1},
        // Planar float from the decoder into 16-bit packed, rate and channels changed.
        {"mp4_h264_aac.mp4", {{"vn", ""}, {"ar", "22050"}, {"ac", "1"}}, "aac22.wav", 22050, 1},
        {"avi_mpeg4_mp2.avi", {{"vn", ""}, {"ar", "48000"}, {"acodec", "flac"}}, "mp2to48.flac", 48000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        ASSERT_EQ(Convert(c.input, {}, Out(c.output), c.options), "");
        const TSound s = Decode(Out(c.output));
        ASSERT_TRUE(s.Ok);
        EXPECT_EQ(s.Rate, c.rate);
        EXPECT_EQ(s.Channels, c.channels);
        const TSound original = Decode(kv::test::MediaFile(c.input));
        EXPECT_NEAR(s.Seconds(), original.Seconds(), 0.001);
        EXPECT_NEAR(s.Rms(0.2, 1.8), c.channels == 1 ? ToneRms / std::sqrt(2.0) : ToneRms, 0.01);
    }
}

// A down-mix has the level of the integer path whatever the encoder takes: floating-
// point encoders used to get the channels summed at 0.707 each, too loud and clipped.
TEST_F(AudioPathTest, DownMixHasOneLevelForEveryEncoder)
{
    for (const char* output : {"m.wav", "m.m4a", "m.ogg", "m.mp3", "m.mp2"}) {
        SCOPED_TRACE(output);
        ASSERT_EQ(Convert("wav_pcm.wav", {}, Out(output), {{"ac", "1"}}), "");
        const TSound s = Decode(Out(output));
        ASSERT_TRUE(s.Ok);
        EXPECT_EQ(s.Channels, 1);
        EXPECT_NEAR(s.Rms(0.2, 1.8), ToneRms / std::sqrt(2.0), 0.01);
        EXPECT_LT(*std::max_element(s.Left.begin(), s.Left.end()), 0.5f) << "the two tones' peaks add to 0.3";
    }
}

// "b" is the video bit rate only: sound encoders that refuse a video's rate still open.
TEST_F(AudioPathTest, VideoBitRateDoesNotReachTheSoundEncoder)
{
    for (const char* output : {"b.mkv", "b.mpg"}) {
        SCOPED_TRACE(output);
        ASSERT_EQ(Convert("avi_mpeg4_mp2.avi", {}, Out(output), {{"b", "600000"}}), "");
        const TSound s = Decode(Out(output));
        ASSERT_TRUE(s.Ok);
        EXPECT_NEAR(s.Rms(0.2, 1.8), ToneRms, 0.04);
    }
}

TEST_F(AudioPathTest, EveryAudioEncoderGetsWhatItAsksFor)
{
    struct Case {
        const char* encoder;
        const char* output;
        AVCodecID id;
        int frameSize;   // samples per encoded frame (0: any)
        TOptions extra;
    };
    const Case cases[] = {
        {"aac", "o.m4a", AV_CODEC_ID_AAC, 1024, {{"ab", "96k"}}},
        {"libmp3lame", "o.mp3", AV_CODEC_ID_MP3, 1152, {}},
        {"mp2", "o.mp2", AV_CODEC_ID_MP2, 1152, {}},
        {"ac3", "o.ac3", AV_CODEC_ID_AC3, 1536, {}},
        {"libvorbis", "o.ogg", AV_CODEC_ID_VORBIS, 2048, {}},
        {"pcm_s16le", "o.wav", AV_CODEC_ID_PCM_S16LE, 0, {}},
        {"flac", "o.flac", AV_CODEC_ID_FLAC, 4608, {}},
        {"libopus", "o.opus", AV_CODEC_ID_OPUS, 960, {{"ar", "48000"}}},
    };
    // 16-bit packed, planar float and planar 16-bit from the decoders.
    for (const char* input : {"wav_pcm.wav", "mp4_h264_aac.mp4", "mp3_tagged.mp3"}) {
        const double length = Decode(kv::test::MediaFile(input)).Seconds();
        for (const Case& c : cases) {
            if (!HasEncoder(c.encoder)) {
                ASSERT_STRNE(c.encoder, "aac") << "a required encoder is missing";
                continue;
            }
            SCOPED_TRACE(std::string(input) + " -> " + c.encoder);
            TOptions options = {{"vn", ""}, {"acodec", c.encoder}};
            options.insert(options.end(), c.extra.begin(), c.extra.end());
            ASSERT_EQ(Convert(input, {}, Out(c.output), options), "");
            const TSound s = Decode(Out(c.output));
            ASSERT_TRUE(s.Ok);
            EXPECT_EQ(s.Codec, c.id);
            EXPECT_EQ(s.Channels, 2);
            const double frame = std::max(c.frameSize, 64) / static_cast<double>(s.Rate);
            EXPECT_NEAR(s.Seconds(), length, frame) << "the last partial frame is encoded too";
            EXPECT_GE(s.Seconds(), length - 0.0005) << "nothing at the end is lost";
            EXPECT_NEAR(s.Rms(0.2, 1.8), ToneRms, 0.04);
            fs::remove(Out(c.output));
        }
    }
}

TEST_F(AudioPathTest, VolumeScalesAndClipsTheSignal)
{
    // 16-bit samples from the PCM decoder; planar float from the AAC decoder.
    const std::pair<const char*, const char*> sources[] = {{"wav_pcm.wav", "v.wav"}, {"mp4_h264_aac.mp4", "v.flac"}};
    for (const auto& [input, output] : sources) {
        SCOPED_TRACE(input);
        ASSERT_EQ(Convert(input, {}, Out(output), {{"vn", ""}}), "");
        const TSound plain = Decode(Out(output));
        ASSERT_TRUE(plain.Ok);
        ASSERT_GT(plain.Rms(0.2, 1.8), 0.1);

        ASSERT_EQ(Convert(input, {}, Out(output), {{"vn", ""}, {"vol", "512"}}), "");
        const TSound doubled = Decode(Out(output));
        EXPECT_NEAR(doubled.Rms(0.2, 1.8) / plain.Rms(0.2, 1.8), 2.0, 0.02);

        ASSERT_EQ(Convert(input, {}, Out(output), {{"vn", ""}, {"vol", "0"}}), "");
        const TSound silent = Decode(Out(output));
        EXPECT_NEAR(silent.Seconds(), plain.Seconds(), 0.001);
        EXPECT_LT(silent.Rms(0, ClipSeconds), 1e-4);

        // Four times 0.3 goes past full scale: clipped, never wrapped round to the other sign.
        ASSERT_EQ(Convert(input, {}, Out(output), {{"vn", ""}, {"vol", "1024"}}), "");
        const TSound loud = Decode(Out(output));
        ASSERT_EQ(loud.Left.size(), plain.Left.size());
        float peak = 0;
        int flipped = 0;
        for (std::size_t i = 0; i < plain.Left.size(); ++i) {
            peak = std::max(peak, std::fabs(loud.Left[i]));
            flipped += std::fabs(plain.Left[i]) > 0.01f && (loud.Left[i] > 0) != (plain.Left[i] > 0);
        }
        EXPECT_GT(peak, 0.99f);
        EXPECT_LE(peak, 1.0f);
        EXPECT_EQ(flipped, 0);
    }
}

TEST_F(AudioPathTest, LateAudioGetsSilenceInFront)
{
    // The sound of this clip starts about half a second after its pictures.
    ASSERT_EQ(Convert("audio_late.mkv", {}, Out("late.wav"), {{"vn", ""}, {"async", "1"}}, 3), "");
    TSound s = Decode(Out("late.wav"));
    ASSERT_TRUE(s.Ok);
    EXPECT_NEAR(s.FirstSound(), 0.5, 0.04);
    EXPECT_NEAR(s.Seconds(), ClipSeconds, 0.05);
    EXPECT_GE(sink.CountPrefix("adding "), 1);

    // In a container with time stamps the sound starts at its time either way.
    ASSERT_EQ(Convert("audio_late.mkv", {}, Out("late.mkv"), {{"vcodec", "copy"}, {"acodec", "ac3"}, {"async", "1"}}),
              "");
    s = Decode(Out("late.mkv"));
    EXPECT_NEAR(s.Start + s.FirstSound(), 0.5, 0.06);

    // Without synchronisation nothing is inserted.
    ASSERT_EQ(Convert("audio_late.mkv", {}, Out("plain.wav"), {{"vn", ""}}), "");
    s = Decode(Out("plain.wav"));
    EXPECT_LT(s.FirstSound(), 0.02);
    EXPECT_NEAR(s.Seconds(), 1.5, 0.05);
}

TEST_F(AudioPathTest, EarlyAudioIsCut)
{
    // Moved 0.3 s before the start of the output: the first 0.3 s go, whole blocks and
    // part of one.
    const TSound original = Decode(kv::test::MediaFile("wav_pcm.wav"));
    ASSERT_TRUE(original.Ok);
    ASSERT_EQ(Convert("wav_pcm.wav", {{"itsoffset", "-0.3"}}, Out("early.wav"), {{"async", "1"}}, 3), "");
    const TSound s = Decode(Out("early.wav"));
    ASSERT_TRUE(s.Ok);
    EXPECT_NEAR(s.Seconds(), ClipSeconds - 0.3, 0.01);
    EXPECT_GE(sink.CountPrefix("discarding "), 1);
    // What is left is the original from 0.3 s on.
    const std::size_t shift = static_cast<std::size_t>(0.3 * original.Rate);
    double worst = 0;
    for (std::size_t i = 0; i + shift < original.Left.size() && i < s.Left.size(); ++i)
        worst = std::max(worst, static_cast<double>(std::fabs(s.Left[i] - original.Left[i + shift])));
    EXPECT_LT(worst, 0.01);

    // Audio ahead of its pictures in one file stays whole.
    sink.Lines.clear();
    ASSERT_EQ(Convert("audio_early.mkv", {}, Out("early2.mkv"), {{"vcodec", "copy"}, {"acodec", "flac"}, {"async", "1"}}, 3),
              "");
    EXPECT_NEAR(Decode(Out("early2.mkv")).Seconds(), Decode(kv::test::MediaFile("audio_early.mkv")).Seconds(), 0.001);
    EXPECT_EQ(sink.CountPrefix("discarding "), 0);
}

TEST_F(AudioPathTest, DriftIsCompensatedByStretching)
{
    // Time stamps run 4 % fast: about 2 s of samples span 0.08 s more.
    const std::string input = Out("stretched.mkv");
    WriteStretchedClip(input, 1.04);
    ASSERT_FALSE(HasFailure());

    // Resynchronising alone leaves the drift (it stays below the threshold).
    ASSERT_EQ(Convert(input, {}, Out("async1.wav"), {{"async", "1"}}, 3), "");
    const TSound plain = Decode(Out("async1.wav"));
    EXPECT_LT(plain.Seconds(), StretchedSeconds + 0.005);

    // Compensation stretches the sound to follow the clock, without hard resynchronisation.
    sink.Lines.clear();
    ASSERT_EQ(Convert(input, {}, Out("async1000.wav"), {{"async", "1000"}}, 3), "");
    const TSound s = Decode(Out("async1000.wav"));
    ASSERT_TRUE(s.Ok);
    EXPECT_GT(s.Seconds(), StretchedSeconds + 0.03);
    EXPECT_LT(s.Seconds(), StretchedSeconds * 1.04 + 0.001);
    EXPECT_GE(sink.CountPrefix("compensating audio timestamp drift:"), 10);
    EXPECT_LE(sink.CountPrefix("adding "), 1) << "only the first deviation resynchronises";
    EXPECT_EQ(sink.CountPrefix("discarding "), 0);
    EXPECT_NEAR(s.Rms(0.2, 1.8), ToneRms, 0.03);
}

}  // namespace
