// How far a conversion is: the progress event or the report line, the summary at the
// end, and the per-frame video statistics file.
#include <cmath>
#include <cstdio>

#include "engine/FFmpegStreams.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/MyUtilStubs.h"

namespace kv::engine::transcode {

namespace {

// Appends printf-style to a report that never grows past 1023 characters.
class TReportText {
public:
    void Add(const char* pattern, ...) __attribute__((format(printf, 2, 3)))
    {
        if (length_ >= sizeof(text_) - 1) return;
        va_list args;
        va_start(args, pattern);
        const int n = std::vsnprintf(text_ + length_, sizeof(text_) - length_, pattern, args);
        va_end(args);
        if (n > 0) length_ = std::min(sizeof(text_) - 1, length_ + static_cast<std::size_t>(n));
    }
    std::string Text() const { return std::string(text_, length_); }

private:
    char text_[1024] = {};
    std::size_t length_ = 0;
};

float Quality(const TOutputStream& ost)
{
    if (!ost.NeedsEncoding || ost.LastQuality < 0) return -1;
    return ost.LastQuality / static_cast<float>(FF_QP2LAMBDA);
}

double Psnr(double error)
{
    return -10.0 * std::log10(error);
}

}  // namespace

namespace {

// Bytes the first output holds so far.
std::int64_t OutputSize(const TCustomFFmpeg& task)
{
    if (task.OutputFileCount <= 0 || !task.OutputFiles[0]->pb) return 0;
    AVIOContext* pb = task.OutputFiles[0]->pb;
    std::int64_t size = av::avio_size(pb);
    if (size < 0) size = av::avio_seek(pb, 0, SEEK_CUR);
    return size < 0 ? 0 : size;
}

// "PSNR=Y:.. U:.. V:.. *:..": of the latest picture, or of the whole run at the end.
void AddPsnr(TReportText& text, const TOutputStream& ost, int frameNumber, bool last)
{
    const AVCodecContext* enc = ost.Encoder;
    text.Add("PSNR=");
    double errorSum = 0, scaleSum = 0;
    static const char planes[3] = {'Y', 'U', 'V'};
    for (int j = 0; j < 3; ++j) {
        double error, scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
        if (last) {
            error = static_cast<double>(enc->error[j]);
            scale *= frameNumber;
        } else {
            error = static_cast<double>(ost.LastError[j]);
        }
        if (j > 0) scale /= 4;
        errorSum += error;
        scaleSum += scale;
        text.Add("%c:%2.2f ", planes[j], Psnr(error / scale));
    }
    text.Add("*:%2.2f ", Psnr(errorSum / scaleSum));
}

}  // namespace

void ReportProgress(TCustomFFmpeg& task, TTranscodeRun& run, bool last)
{
    const std::int64_t totalSize = OutputSize(task);
    TReportText text;
    double t = 1e10;
    bool videoSeen = false;
    int frameNumber = -1, fps = -1;
    float quality = -1;
    for (const auto& ostPtr : run.OutputStreamTable) {
        const TOutputStream& ost = *ostPtr;
        const AVCodecContext* enc = ost.Encoder;
        const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
        if (video && videoSeen) text.Add("q=%2.1f ", Quality(ost));
        if (video && !videoSeen) {
            const double elapsed = static_cast<double>(av::av_gettime() - task.RunStartTime) / 1000000.0;
            frameNumber = ost.FrameNumber;
            if (frameNumber < 1) return;
            fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5) : 0;
            quality = Quality(ost);
            text.Add("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
            if (last) text.Add("L");
            if (task.QpHist) {
                const long qp = std::lrint(ost.LastQuality / FF_QP2LAMBDA);
                if (ost.NeedsEncoding && qp >= 0 && qp < static_cast<long>(run.QpHistogram.size()))
                    run.QpHistogram[qp] += 1;
                for (int j = 0; j < 32; ++j)
                    text.Add("%X", static_cast<int>(std::lrint(std::log2(run.QpHistogram[j] + 1))));
            }
            if (enc->flags & AV_CODEC_FLAG_PSNR) AddPsnr(text, ost, frameNumber, last);
            videoSeen = true;
        }
        if (ost.WrittenTime > 0 && ost.WrittenTime < t) t = ost.WrittenTime;
    }
    // No stream has written anything yet: nothing converted so far.
    const bool noTime = t >= 1e10;
    if (noTime) t = 0;
    if (t < 0.01) t = 0.01;

    if (task.ProgressHandler || task.Verbose >= llInfo || last) {
        const double bitrate = static_cast<double>(totalSize) * 8 / t / 1000;
        text.Add("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(totalSize) / 1024, t, bitrate);
        if (task.Verbose >= llDebug) text.Add(" dup=%d drop=%d", task.DupFrameCount.load(), task.DropFrameCount.load());
        if (task.ProgressHandler) {
            task.ProgressHandler->DoProgress(&task, frameNumber, fps, noTime ? 0 : static_cast<int>(t * 1000), quality,
                                             static_cast<float>(bitrate), totalSize, task.TotalOutputDuration);
        } else if (task.Verbose > llQuiet && task.LogHandler) {
            task.Log(llInfo, text.Text());
        }
    }
    if (last && task.Verbose > llQuiet && task.LogHandler) {
        const double raw = static_cast<double>(task.AudioBytes + task.VideoBytes + task.HeaderBytes);
        const double overhead = raw > 0 ? (static_cast<double>(totalSize) - raw) * 100 / raw : 0;
        task.Log(llInfo, Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %.2f%%\r\n",
                           static_cast<double>(task.VideoBytes) / 1024, static_cast<double>(task.AudioBytes) / 1024,
                           static_cast<double>(task.HeaderBytes) / 1024, overhead));
    }
}

void WriteVideoStats(TCustomFFmpeg& task, TOutputStream& ost, int frameSize)
{
    if (!task.VStatsFile) {
        task.VStatsFile.reset(av::my_fopen(task.VStatsFileName.c_str(), "w"));
        if (!task.VStatsFile) throw FFmpegException("fopen fail: " + task.VStatsFileName);
    }
    const AVCodecContext* enc = ost.Encoder;
    if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
    std::FILE* f = task.VStatsFile;
    const double tb = av_q2d(enc->time_base);
    std::fprintf(f, "frame= %5d q= %2.1f ", ost.FrameNumber.load(), ost.LastQuality / FF_QP2LAMBDA);
    if (enc->flags & AV_CODEC_FLAG_PSNR)
        std::fprintf(f, "PSNR= %6.2f ",
                     Psnr(static_cast<double>(ost.LastError[0]) / (static_cast<double>(enc->width) * enc->height *
                                                                   255.0 * 255.0)));
    std::fprintf(f, "f_size= %6d ", frameSize);
    double time = static_cast<double>(ost.OutputTicks) * tb;
    if (time < 0.01) time = 0.01;
    const double bitrate = frameSize * 8 / tb / 1000;
    const double average = static_cast<double>(task.VideoBytes) * 8 / time / 1000;
    std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 static_cast<double>(task.VideoBytes) / 1024, time, bitrate, average);
    std::fprintf(f, "type= %c\n", av::av_get_picture_type_char(static_cast<AVPictureType>(ost.LastPictType)));
}

}  // namespace kv::engine::transcode
