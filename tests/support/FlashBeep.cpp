#include "tests/support/FlashBeep.h"

#include <cmath>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"

namespace kv::test {

namespace {

constexpr int WhiteLuma = 128;         // the clip's picture is 32 dark and 235 white
constexpr double LoudSample = 0.2;     // the beep's peak is 0.5 of full scale
constexpr double QuietBeforeBeep = 0.1;   // seconds of silence that make a loud sample a new beep

double MeanLuma(const AVFrame* f)
{
    std::int64_t sum = 0, n = 0;
    for (int y = 0; y < f->height; y += 4)
        for (int x = 0; x < f->width; x += 4, ++n) sum += f->data[0][static_cast<std::ptrdiff_t>(y) * f->linesize[0] + x];
    return n ? static_cast<double>(sum) / static_cast<double>(n) : 0;
}

// Sample `n` of channel 0 in -1 .. 1.
double Sample(const AVFrame* f, int n)
{
    const auto format = static_cast<AVSampleFormat>(f->format);
    const int step = av::av_sample_fmt_is_planar(format) ? 1 : f->ch_layout.nb_channels;
    const std::uint8_t* d = f->extended_data[0];
    const int at = n * step;
    switch (av::av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8: return (d[at] - 128) / 128.0;
    case AV_SAMPLE_FMT_S16: return reinterpret_cast<const std::int16_t*>(d)[at] / 32768.0;
    case AV_SAMPLE_FMT_S32: return reinterpret_cast<const std::int32_t*>(d)[at] / 2147483648.0;
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(d)[at];
    case AV_SAMPLE_FMT_DBL: return reinterpret_cast<const double*>(d)[at];
    default: return 0;
    }
}

struct TStreamReader {
    AVStream* Stream = nullptr;
    AVCodecContext* Decoder = nullptr;
    TStreamTiming Timing;
    double Origin = 0;        // the file's start, seconds
    bool Bright = false;      // the latest picture was white
    double LastLoud = -1e9;   // time of the latest loud sample
    bool Any = false;
    double Previous = 0;      // the latest picture's time

    double Seconds(std::int64_t ts) const { return static_cast<double>(ts) * av_q2d(Stream->time_base) - Origin; }

    void Take(const AVFrame* f)
    {
        const std::int64_t ts = f->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) return;
        const double at = Seconds(ts);
        if (!Any) Timing.Start = at;
        Any = true;
        Timing.Frames += 1;
        if (Timing.Type == AVMEDIA_TYPE_VIDEO) {
            double duration = f->pkt_duration > 0 ? static_cast<double>(f->pkt_duration) * av_q2d(Stream->time_base) : 0;
            if (duration <= 0 && Timing.FrameRate.num > 0) duration = 1 / av_q2d(Timing.FrameRate);
            Timing.End = std::max(Timing.End, at + duration);
            Timing.FrameLength = std::max(Timing.FrameLength, duration);
            if (Timing.Frames > 1) Timing.LongestGap = std::max(Timing.LongestGap, at - Previous);
            Previous = at;
            const bool bright = MeanLuma(f) > WhiteLuma;
            if (bright && !Bright) Timing.Events.push_back(at);
            Bright = bright;
        } else {
            for (int n = 0; n < f->nb_samples; ++n) {
                const double t = at + static_cast<double>(n) / f->sample_rate;
                if (std::fabs(Sample(f, n)) <= LoudSample) continue;
                if (t - LastLoud > QuietBeforeBeep) Timing.Events.push_back(t);
                LastLoud = t;
            }
            const double duration = static_cast<double>(f->nb_samples) / f->sample_rate;
            Timing.End = std::max(Timing.End, at + duration);
            Timing.FrameLength = std::max(Timing.FrameLength, duration);
        }
    }

    void Drain(AVFrame* frame)
    {
        while (av::avcodec_receive_frame(Decoder, frame) >= 0) {
            Take(frame);
            av::av_frame_unref(frame);
        }
    }
};

}  // namespace

TFlashBeepReading ReadFlashBeep(const std::string& file)
{
    TFlashBeepReading reading;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return reading;
    std::vector<TStreamReader> readers;
    AVPacket* pkt = av::av_packet_alloc();
    AVFrame* frame = av::av_frame_alloc();
    if (pkt && frame && av::avformat_find_stream_info(ic, nullptr) >= 0) {
        reading.Ok = true;
        // Some containers announce their streams only as they meet them.
        readers.resize(ic->nb_streams);
        const double origin = ic->start_time != AV_NOPTS_VALUE ? static_cast<double>(ic->start_time) / AV_TIME_BASE : 0;
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            TStreamReader& r = readers[s];
            r.Stream = ic->streams[s];
            r.Origin = origin;
            r.Timing.Type = r.Stream->codecpar->codec_type;
            r.Timing.FrameRate = r.Stream->avg_frame_rate;
            const AVCodec* codec = av::avcodec_find_decoder(r.Stream->codecpar->codec_id);
            r.Decoder = codec ? av::avcodec_alloc_context3(codec) : nullptr;
            if (!r.Decoder || av::avcodec_parameters_to_context(r.Decoder, r.Stream->codecpar) < 0) continue;
            r.Decoder->pkt_timebase = r.Stream->time_base;
            r.Decoder->thread_count = 1;
            r.Timing.Decoded = av::avcodec_open2(r.Decoder, codec, nullptr) >= 0;
        }
        while (av::av_read_frame(ic, pkt) >= 0) {
            if (pkt->stream_index >= static_cast<int>(readers.size())) {
                reading.Ok = false;   // a stream that was not there when the file was opened
                av::av_packet_unref(pkt);
                continue;
            }
            TStreamReader& r = readers[pkt->stream_index];
            if (r.Timing.Decoded && av::avcodec_send_packet(r.Decoder, pkt) >= 0) r.Drain(frame);
            av::av_packet_unref(pkt);
        }
        for (TStreamReader& r : readers) {
            if (!r.Timing.Decoded) continue;
            av::avcodec_send_packet(r.Decoder, nullptr);
            r.Drain(frame);
        }
    }
    for (TStreamReader& r : readers) {
        reading.Streams.push_back(r.Timing);
        av::avcodec_free_context(&r.Decoder);
    }
    av::av_frame_free(&frame);
    av::av_packet_free(&pkt);
    av::avformat_close_input(&ic);
    return reading;
}

}  // namespace kv::test
