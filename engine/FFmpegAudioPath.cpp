// Decoded sound on its way into the encoders: the volume adjustment, keeping each
// output in step with its sync input, conversion of rate, channels and sample format,
// and the cutting of the stream into the encoder's frame size.
#include <algorithm>
#include <limits>
#include <cmath>
#include <cstring>

#include "engine/FFmpegStreams.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwResampleStubs.h"

namespace kv::engine::transcode {

namespace {

// Silence inserted in front of a block is bounded, so that a long gap does not make
// one huge block; the rest of the gap is filled with the following blocks.
constexpr int PaddedBlockLimitBytes = 131072;
// Deviations up to this many output samples are left alone.
constexpr double SyncTolerance = 50;

template <typename T, typename Wide>
void ScaleIntegers(T* s, std::size_t count, int volume, Wide bias)
{
    const Wide lo = static_cast<Wide>(std::numeric_limits<T>::min()) - bias;
    const Wide hi = static_cast<Wide>(std::numeric_limits<T>::max()) - bias;
    for (std::size_t i = 0; i < count; ++i) {
        const Wide v = ((static_cast<Wide>(s[i]) - bias) * volume + 128) >> 8;
        s[i] = static_cast<T>(std::clamp(v, lo, hi) + bias);
    }
}

template <typename T>
void ScaleFloats(T* s, std::size_t count, int volume)
{
    const T gain = static_cast<T>(volume) / 256;
    for (std::size_t i = 0; i < count; ++i) s[i] = std::clamp(s[i] * gain, T(-1), T(1));
}

// Decoders that leave the channel order open give a layout the converter cannot place.
void KnownLayout(const AVChannelLayout& in, AVChannelLayout& out)
{
    if (in.order == AV_CHANNEL_ORDER_UNSPEC || in.nb_channels <= 0) {
        av::av_channel_layout_uninit(&out);
        av::av_channel_layout_default(&out, std::max(in.nb_channels, 1));
    } else if (av::av_channel_layout_copy(&out, &in) < 0) {
        throw FFmpegException("av_malloc failed");
    }
}

// The converter of `ost` for blocks shaped like `samples`; made on the first block and
// again only when the decoder changes its output.
SwrContext* Converter(TCustomFFmpeg& task, TOutputStream& ost, const AVFrame* samples, AVChannelLayout& inLayout)
{
    AVCodecContext* enc = ost.Encoder;
    const std::array<std::int64_t, 4> key{samples->format, samples->sample_rate, inLayout.nb_channels,
                                          inLayout.order == AV_CHANNEL_ORDER_NATIVE
                                              ? static_cast<std::int64_t>(inLayout.u.mask)
                                              : -1};
    if (ost.Resampler && key == ost.ConvertKey) return ost.Resampler.get();
    ost.Resampler.reset();
    ost.ConvertKey = {-1, 0, 0, 0};
    const auto inFormat = static_cast<AVSampleFormat>(samples->format);
    SwrContext* made = nullptr;
    const int allocated = av::swr_alloc_set_opts2(&made, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                              &inLayout, inFormat, samples->sample_rate, 0, nullptr);
    ost.Resampler.reset(made);
    const bool ready = allocated >= 0 &&
                      // Mixed channels never exceed full scale, so that a down-mix has the
                      // same level into a floating-point encoder as into an integer one.
                      av::av_opt_set(ost.Resampler.get(), "rematrix_maxval", "1", 0) >= 0 &&
                      av::swr_init(ost.Resampler.get()) >= 0 &&
                      // Drift compensation needs the resampling stage even at equal rates;
                      // switched on now, before any sample is buffered.
                      (task.AudioSyncMethod < 2 || av::swr_set_compensation(ost.Resampler.get(), 0, 0) >= 0);
    if (!ready) {
        ost.Resampler.reset();
        if (ost.ResampleNeeded)
            throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                         inLayout.nb_channels, samples->sample_rate, enc->ch_layout.nb_channels,
                                         enc->sample_rate));
        const char* from = av::av_get_sample_fmt_name(inFormat);
        const char* to = av::av_get_sample_fmt_name(enc->sample_fmt);
        throw FFmpegException(Format("Cannot convert %s sample format to %s sample format", from ? from : "?",
                                     to ? to : "?"));
    }
    ost.ConvertKey = key;
    return ost.Resampler.get();
}

// Room for `samples` converted samples in the stream's conversion buffer (grows only).
void ReserveConverted(TOutputStream& ost, int samples)
{
    if (samples <= ost.ResampleCapacity) return;
    AVCodecContext* enc = ost.Encoder;
    const int capacity = std::max(samples, ost.ResampleCapacity * 2);
    ost.ResampleData.reset();
    ost.ResampleCapacity = 0;
    ost.ResampleBuffer.assign(std::max(enc->ch_layout.nb_channels, 1), nullptr);
    if (av::av_samples_alloc(ost.ResampleBuffer.data(), nullptr, enc->ch_layout.nb_channels, capacity,
                             enc->sample_fmt, 0) < 0)
        throw FFmpegException("av_malloc failed");
    ost.ResampleData.reset(ost.ResampleBuffer[0]);
    ost.ResampleCapacity = capacity;
}

// Into the FIFO, up to the recording time; the samples beyond it end the stream.
void WriteFifo(TOutputStream& ost, std::uint8_t* const* planes, int samples)
{
    const std::int64_t room = ost.SampleLimit - ost.OutputTicks - av::av_audio_fifo_size(ost.SampleFifo.get());
    if (room <= samples) {
        ost.Ended = true;
        samples = static_cast<int>(std::max<std::int64_t>(room, 0));
    }
    if (samples <= 0) return;
    if (av::av_audio_fifo_write(ost.SampleFifo.get(), reinterpret_cast<void**>(const_cast<std::uint8_t**>(planes)),
                                samples) < samples)
        throw FFmpegException("av_fifo_realloc2() failed");
}

// Converted samples out of the converter into the FIFO; null input at the end of stream.
void ConvertIntoFifo(TOutputStream& ost, SwrContext* swr, const std::uint8_t* const* in, int count)
{
    // The bound covers what the converter holds from earlier blocks and the stretch of
    // a running compensation; anything beyond stays in the converter for the next block.
    ReserveConverted(ost, av::swr_get_out_samples(swr, count) + 32);
    const int n = av::swr_convert(ost.Resampler.get(), ost.ResampleBuffer.data(), ost.ResampleCapacity,
                                  const_cast<const std::uint8_t**>(in), count);
    if (n < 0) throw FFmpegException("Audio encoding failed");
    WriteFifo(ost, ost.ResampleBuffer.data(), n);
}

// The stream's encoder input frame with room for `count` samples, writable; it is
// allocated again only when a larger frame is needed.
AVFrame* EncoderFrame(TOutputStream& ost, int count)
{
    AVCodecContext* enc = ost.Encoder;
    AVFrame* frame = ost.AudioFrame.get();
    if (!frame->buf[0] || ost.AudioFrameCapacity < count) {
        av::av_frame_unref(frame);
        ost.AudioFrameCapacity = 0;
        frame->nb_samples = std::max(count, enc->frame_size);
        frame->format = enc->sample_fmt;
        frame->sample_rate = enc->sample_rate;
        if (av::av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
            av::av_frame_get_buffer(frame, 0) < 0)
            throw FFmpegException("av_malloc failed");
        ost.AudioFrameCapacity = frame->nb_samples;
    } else {
        // An encoder that kept a reference to the previous frame gets a copy made here.
        frame->nb_samples = ost.AudioFrameCapacity;
        if (av::av_frame_make_writable(frame) < 0) throw FFmpegException("av_malloc failed");
    }
    frame->nb_samples = count;
    return frame;
}

// Encodes what the FIFO holds in the encoder's frame size. With `last`, the rest
// shorter than a frame goes too: short when the encoder accepts a small last frame,
// padded with silence to a full frame otherwise.
void SendAudioFrames(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, bool last)
{
    AVCodecContext* enc = ost.Encoder;
    const int caps = enc->codec ? enc->codec->capabilities : 0;
    const bool fixed = enc->frame_size > 1 && !(caps & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    for (;;) {
        const int held = av::av_audio_fifo_size(ost.SampleFifo.get());
        if (held <= 0) break;
        int count = fixed ? enc->frame_size : held;
        if (held < count) {
            if (!last) break;
            if (caps & AV_CODEC_CAP_SMALL_LAST_FRAME) count = held;
        }
        AVFrame* frame = EncoderFrame(ost, count);
        const int read = std::min(held, count);
        if (av::av_audio_fifo_read(ost.SampleFifo.get(), reinterpret_cast<void**>(frame->extended_data), read) < read)
            throw FFmpegException("Audio encoding failed");
        if (read < count)
            av::av_samples_set_silence(frame->extended_data, read, count - read, enc->ch_layout.nb_channels,
                                       enc->sample_fmt);
        frame->pts = av::av_rescale_q(ost.OutputTicks, AVRational{1, enc->sample_rate}, enc->time_base);
        ost.OutputTicks += count;
        if (av::avcodec_send_frame(enc, frame) < 0) throw FFmpegException("Audio encoding failed");
        DrainEncoder(task, run, ost);
    }
}

// The planes of `in` without its first `skip` samples, in `planes`.
const std::uint8_t* const* SkipSamples(std::vector<std::uint8_t*>& planes, const std::uint8_t* const* in, int skip,
                                       AVSampleFormat format, int channels)
{
    const bool planar = av::av_sample_fmt_is_planar(format);
    const std::size_t bytes =
        static_cast<std::size_t>(skip) * av::av_get_bytes_per_sample(format) * (planar ? 1 : channels);
    planes.resize(planar ? channels : 1);
    for (std::size_t p = 0; p < planes.size(); ++p) planes[p] = const_cast<std::uint8_t*>(in[p]) + bytes;
    return planes.data();
}

// Silence followed by `count` samples of `in` in the stream's pad buffer (grows only).
const std::uint8_t* const* PadWithSilence(TOutputStream& ost, const std::uint8_t* const* in, int count, int silence,
                                          AVSampleFormat format, int channels)
{
    const int total = silence + count;
    const bool planar = av::av_sample_fmt_is_planar(format);
    const std::size_t sampleBytes = static_cast<std::size_t>(av::av_get_bytes_per_sample(format));
    const std::size_t planeBytes = sampleBytes * static_cast<std::size_t>(total) * (planar ? 1 : channels);
    const int planes = planar ? channels : 1;
    if (ost.PadBuffer.size() < planeBytes * planes) ost.PadBuffer.resize(planeBytes * planes);
    ost.PadPlanes.resize(planes);
    for (int p = 0; p < planes; ++p) ost.PadPlanes[p] = ost.PadBuffer.data() + planeBytes * p;
    av::av_samples_set_silence(ost.PadPlanes.data(), 0, silence, channels, format);
    av::av_samples_copy(ost.PadPlanes.data(), const_cast<std::uint8_t* const*>(in), silence, 0, count, channels,
                        format);
    return ost.PadPlanes.data();
}

}  // namespace

void AdjustVolume(AVFrame* frame, int volume)
{
    if (av::av_frame_make_writable(frame) < 0) return;
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av::av_sample_fmt_is_planar(format);
    const int channels = frame->ch_layout.nb_channels;
    const int planes = planar ? channels : 1;
    const std::size_t count = static_cast<std::size_t>(frame->nb_samples) * (planar ? 1 : channels);
    for (int p = 0; p < planes; ++p) {
        std::uint8_t* data = frame->extended_data[p];
        switch (av::av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8: ScaleIntegers<std::uint8_t, std::int64_t>(data, count, volume, 128); break;
        case AV_SAMPLE_FMT_S16:
            ScaleIntegers<std::int16_t, std::int64_t>(reinterpret_cast<std::int16_t*>(data), count, volume, 0);
            break;
        case AV_SAMPLE_FMT_S32:
            ScaleIntegers<std::int32_t, __int128>(reinterpret_cast<std::int32_t*>(data), count, volume, 0);
            break;
        case AV_SAMPLE_FMT_S64:
            ScaleIntegers<std::int64_t, __int128>(reinterpret_cast<std::int64_t*>(data), count, volume, 0);
            break;
        case AV_SAMPLE_FMT_FLT: ScaleFloats(reinterpret_cast<float*>(data), count, volume); break;
        case AV_SAMPLE_FMT_DBL: ScaleFloats(reinterpret_cast<double*>(data), count, volume); break;
        default: break;
        }
    }
}

namespace {

// A block of decoded samples on its way into the stream's FIFO.
struct TAudioBlock {
    const std::uint8_t* const* Data;
    int Count;
    AVSampleFormat Format;
    int Channels;
    int InRate, OutRate;
};

// Rate, channels and drift go through the resampler; a different sample format alone
// through the same library, as a plain converter. Null when the block goes as it is.
SwrContext* BlockConverter(TCustomFFmpeg& task, TOutputStream& ost, const AVFrame* samples)
{
    const AVCodecContext* enc = ost.Encoder;
    AVChannelLayout inLayout{};
    KnownLayout(samples->ch_layout, inLayout);
    struct TUninit {
        AVChannelLayout& Layout;
        ~TUninit() { av::av_channel_layout_uninit(&Layout); }
    } uninit{inLayout};
    if (av::av_channel_layout_compare(&inLayout, &enc->ch_layout) != 0) ost.ResampleNeeded = 1;
    if (ost.ResampleNeeded || samples->format != enc->sample_fmt || samples->sample_rate != enc->sample_rate)
        return Converter(task, ost, samples, inLayout);
    return nullptr;
}

// The output's time line begins at the start, or after the encoder's start delay where
// the container cannot say that the decoder should skip it: what comes before is cut
// away to the sample. False when nothing of the block is left.
bool CutBeforeStart(TCustomFFmpeg& task, TOutputStream& ost, const TInputStream& ist, const TFrameClock& clock,
                    TAudioBlock& block, double& syncTime)
{
    const double own = static_cast<double>(clock.Pts - task.StartTime) / 1000000.0;
    const double from = static_cast<double>(ost.StartDelay) / block.OutRate;
    if (own >= from) return true;
    const std::int64_t cut = std::llround((from - own) * block.InRate);
    if (task.Verbose >= llAll && cut > 0)
        task.Log(llInfo, Format("discarding %d audio samples", static_cast<int>(std::min<std::int64_t>(cut, block.Count))));
    if (cut >= block.Count) return false;
    if (cut > 0) {
        block.Data = SkipSamples(ost.CutPlanes, block.Data, static_cast<int>(cut), block.Format, block.Channels);
        block.Count -= static_cast<int>(cut);
        if (ost.SyncInput == &ist) syncTime += static_cast<double>(cut) / block.InRate;
    }
    return true;
}

// Too much input: its first samples go. False when nothing of the block is left.
bool DropSamples(TCustomFFmpeg& task, TOutputStream& ost, TInputStream& ist, TAudioBlock& block, double delta,
                 std::int64_t inDelta)
{
    const int drop = static_cast<int>(std::min<std::int64_t>(-inDelta, block.Count));
    if (task.Verbose >= llAll) task.Log(llInfo, Format("discarding %d audio samples", static_cast<int>(std::trunc(-delta))));
    block.Count -= drop;
    if (block.Count == 0) return false;
    block.Data = SkipSamples(ost.PadPlanes, block.Data, drop, block.Format, block.Channels);
    ist.StartPending = 0;
    return true;
}

// Input missing: silence in front of the block.
void PadSilence(TCustomFFmpeg& task, TOutputStream& ost, TInputStream& ist, TAudioBlock& block, double delta,
                std::int64_t inDelta)
{
    const int sampleBytes = av::av_get_bytes_per_sample(block.Format) * block.Channels;
    const int limit = std::max(PaddedBlockLimitBytes / std::max(sampleBytes, 1), 1);
    std::int64_t silence = inDelta;
    if (silence + block.Count <= limit) ist.StartPending = 0;
    else if (block.Count < limit) silence = limit - block.Count;
    // A block that alone fills the limit still brings a limit's worth of silence.
    else silence = std::min<std::int64_t>(silence, limit);
    if (task.Verbose >= llAll)
        task.Log(llInfo, Format("adding %d audio samples of silence", static_cast<int>(std::trunc(delta))));
    if (silence <= 0) return;
    block.Data = PadWithSilence(ost, block.Data, block.Count, static_cast<int>(silence), block.Format, block.Channels);
    block.Count += static_cast<int>(silence);
}

// Keeps the output's sound in step with the sync input: by moving the output clock,
// or (with audio sync) by dropping, padding or stretching. False when nothing of the
// block is left.
bool SyncToInput(TCustomFFmpeg& task, TOutputStream& ost, TInputStream& ist, SwrContext* swr, TAudioBlock& block,
                 double syncTime)
{
    const int outRate = block.OutRate;
    // Output samples not yet encoded: in the FIFO and inside the resampler.
    double held = av::av_audio_fifo_size(ost.SampleFifo.get());
    if (swr) held += static_cast<double>(av::swr_get_delay(swr, outRate));
    if (task.AudioSyncMethod == 0) {
        // The output clock follows the sync input; it never goes back, so that the
        // encoder's time stamps stay in order.
        const std::int64_t ticks = std::llrint(syncTime * outRate) - static_cast<std::int64_t>(held);
        if (ticks > ost.OutputTicks) ost.OutputTicks = ticks;
        return true;
    }
    const double delta = syncTime * outRate - static_cast<double>(ost.OutputTicks) - held;
    const std::int64_t inDelta = static_cast<std::int64_t>(std::trunc(delta * block.InRate / outRate));
    if (std::fabs(delta) <= SyncTolerance) return true;
    if (ist.StartPending || std::fabs(delta) > task.AudioDriftThreshold * outRate) {
        if (inDelta < 0) return DropSamples(task, ost, ist, block, delta, inDelta);
        PadSilence(task, ost, ist, block, delta, inDelta);
    } else if (task.AudioSyncMethod > 1 && swr) {
        // Small drift: the resampler stretches or squeezes the next second of output.
        const double cut = std::trunc(delta);
        const int comp = static_cast<int>(
            std::clamp(cut, -static_cast<double>(task.AudioSyncMethod), static_cast<double>(task.AudioSyncMethod)));
        if (task.Verbose >= llAll)
            task.Log(llInfo, Format("compensating audio timestamp drift:%.2f compensation:%d in:%d", delta, comp, outRate));
        av::swr_set_compensation(swr, comp, outRate);
    }
    return true;
}

}  // namespace

void EncodeAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* samples,
                 const TFrameClock& clock)
{
    const AVCodecContext* enc = ost.Encoder;
    if (!ost.SampleFifo || !ost.AudioFrame || ost.Ended) return;
    if (samples->sample_rate <= 0 || enc->sample_rate <= 0 || samples->nb_samples <= 0) return;
    SwrContext* swr = BlockConverter(task, ost, samples);
    TAudioBlock block{samples->extended_data, samples->nb_samples, static_cast<AVSampleFormat>(samples->format),
                      samples->ch_layout.nb_channels, samples->sample_rate, enc->sample_rate};
    const std::int64_t syncPts = ost.SyncInput == &ist ? clock.Pts : ost.SyncInput->Pts;
    double syncTime = static_cast<double>(syncPts - task.StartTime) / 1000000.0;
    if (!CutBeforeStart(task, ost, ist, clock, block, syncTime)) return;
    if (!SyncToInput(task, ost, ist, swr, block, syncTime)) return;
    if (swr) ConvertIntoFifo(ost, swr, block.Data, block.Count);
    else WriteFifo(ost, const_cast<std::uint8_t* const*>(block.Data), block.Count);
    SendAudioFrames(task, run, ost, false);
}

void FlushAudio(TCustomFFmpeg& task, TTranscodeRun& run, TOutputStream& ost)
{
    if (!ost.SampleFifo || !ost.AudioFrame) return;
    if (ost.Resampler) ConvertIntoFifo(ost, ost.Resampler.get(), nullptr, 0);
    SendAudioFrames(task, run, ost, true);
}

}  // namespace kv::engine::transcode
