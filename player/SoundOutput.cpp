// The audio device's side: decoded sound converted to interleaved signed 16-bit
// samples at the device's rate and channels, mixed in at the player's volume.
#include <algorithm>
#include <cstring>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwResampleStubs.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

bool SameSource(const PlaybackState* is, const AVFrame* frame)
{
    return frame->format == is->AudioSrcFmt && frame->sample_rate == is->AudioSrcRate &&
           av::av_channel_layout_compare(&frame->ch_layout, &is->AudioSrcLayout) == 0;
}

// A converter from the frame's samples to what the device plays; false when none can be made.
bool MakeConverter(PlaybackState* is, const AVFrame* frame)
{
    is->Swr.reset();
    av::av_channel_layout_uninit(&is->AudioSrcLayout);
    is->AudioSrcFmt = AV_SAMPLE_FMT_NONE;
    AVChannelLayout in{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av::av_channel_layout_default(&in, frame->ch_layout.nb_channels);
    else
        av::av_channel_layout_copy(&in, &frame->ch_layout);
    AVChannelLayout out{};
    av::av_channel_layout_default(&out, is->AudioChannels);
    const auto format = static_cast<AVSampleFormat>(frame->format);
    SwrContext* made = nullptr;
    const bool set = av::swr_alloc_set_opts2(&made, &out, AV_SAMPLE_FMT_S16, is->AudioRate, &in, format,
                                             frame->sample_rate, 0, nullptr) >= 0;
    is->Swr.reset(made);
    const bool ok = set && av::swr_init(is->Swr) >= 0;
    av::av_channel_layout_uninit(&in);
    av::av_channel_layout_uninit(&out);
    if (!ok) {
        is->Swr.reset();
        const char* name = av::av_get_sample_fmt_name(format);
        is->Player->Log(ltError, std::string("Cannot convert ") + (name ? name : "none") + " sample format to " +
                                     av::av_get_sample_fmt_name(AV_SAMPLE_FMT_S16) + " sample format");
        return false;
    }
    is->AudioSrcFmt = frame->format;
    is->AudioSrcRate = frame->sample_rate;
    av::av_channel_layout_copy(&is->AudioSrcLayout, &frame->ch_layout);
    return true;
}

// Bytes of converted sound in the second buffer, or -1.
int ConvertFrame(PlaybackState* is, const AVFrame* frame)
{
    if (!SameSource(is, frame) && !MakeConverter(is, frame)) return -1;
    std::uint8_t* out = is->AudioBuf2;
    const int capacity = AudioBufferSize / (2 * is->AudioChannels);
    const int samples = av::swr_convert(is->Swr, &out, capacity, const_cast<const std::uint8_t**>(frame->extended_data),
                                        frame->nb_samples);
    if (samples < 0) {
        is->Player->Log(ltError, "av_audio_convert() failed");
        return -1;
    }
    is->AudioBuf = is->AudioBuf2;
    return samples * 2 * is->AudioChannels;
}

// Drops what the decoder still holds of the current packet.
void DropPendingFrames(PlaybackState* is)
{
    while (av::avcodec_receive_frame(is->AudioDec, is->AudioFrame) >= 0) av::av_frame_unref(is->AudioFrame);
    is->AudioFramesPending = false;
    if (is->AudioDraining) {
        is->AudioDraining = false;
        is->AudioDrained = true;
    }
}

// After a seek: drops the sound before the skip time from a block of `size` bytes
// starting at the audio clock; the bytes left, 0 when the whole block is early.
int SkipEarlySound(PlaybackState* is, int size)
{
    if (is->AudioHeardSerial != is->AudioFlushSerial) return 0;   // from before a seek asked meanwhile
    const double until = is->AudioSkipTarget;
    if (until < 0) return size;
    const int frameBytes = 2 * is->AudioChannels;
    const double start = is->AudioClock;
    const double length = static_cast<double>(size) / (frameBytes * is->AudioRate);
    if (start + length <= until) {
        is->AudioClock = start + length;
        return 0;
    }
    is->AudioSkipTarget = -1;
    // The reader stops dropping early packets, unless a later seek gave it a new time.
    double taken = until;
    is->AudioSkipUntil.compare_exchange_strong(taken, -1);
    if (start >= until) return size;
    const int skip = std::min(size, static_cast<int>((until - start) * is->AudioRate) * frameBytes);
    std::memmove(is->AudioBuf, is->AudioBuf + skip, static_cast<std::size_t>(size - skip));
    is->AudioClock = start + static_cast<double>(skip) / (frameBytes * is->AudioRate);
    return size - skip;
}

// The size in bytes of the next block of samples, or -1 (paused, aborted, nothing
// queued: the device then gets silence instead of waiting).
int AudioDecodeFrame(PlaybackState* is)
{
    AVCodecContext* dec = is->AudioDec;
    for (;;) {
        while (is->AudioFramesPending) {
            if (av::avcodec_receive_frame(dec, is->AudioFrame) < 0) {
                is->AudioFramesPending = false;
                if (is->AudioDraining) {
                    is->AudioDraining = false;
                    is->AudioDrained = true;
                }
                break;
            }
            int size = ConvertFrame(is, is->AudioFrame);
            av::av_frame_unref(is->AudioFrame);
            if (size < 0) {
                DropPendingFrames(is);
                break;
            }
            size = SkipEarlySound(is, size);
            if (size == 0) continue;
            is->AudioClock = is->AudioClock + static_cast<double>(size) / (2.0 * is->AudioChannels * is->AudioRate);
            return size;
        }
        av::av_packet_unref(is->AudioPkt);
        if (is->Paused || AudioIsHeld(is) || PacketQueueAborted(is->AudioQ)) return -1;
        if (PacketQueueGet(is->AudioQ, is->AudioPkt, false) <= 0) return -1;
        if (IsFlushPacket(is->AudioPkt)) {
            av::avcodec_flush_buffers(dec);
            // What follows is from after the seek the marker is of: its skip time applies from here.
            is->AudioHeardSerial = static_cast<int>(is->AudioPkt->pos);
            is->AudioSkipTarget = is->AudioSkipUntil;
            is->AudioDraining = false;
            is->AudioDrained = false;
            continue;
        }
        if (IsEndPacket(is->AudioPkt)) {
            // The decoder gives out what it still holds; after that the sound has ended.
            av::av_packet_unref(is->AudioPkt);
            if (is->AudioDrained || is->AudioDraining) continue;
            av::avcodec_send_packet(dec, nullptr);
            is->AudioFramesPending = true;
            is->AudioDraining = true;
            continue;
        }
        if (is->AudioPkt->pts != AV_NOPTS_VALUE && is->AudioHeardSerial == is->AudioFlushSerial)
            is->AudioClock = ::av_q2d(is->AudioSt->time_base) * static_cast<double>(is->AudioPkt->pts);
        if (av::avcodec_send_packet(dec, is->AudioPkt) >= 0) is->AudioFramesPending = true;
    }
}

}  // namespace

void AudioCallback(void* state, std::uint8_t* stream, int len)
{
    auto* is = static_cast<PlaybackState*>(state);
    TPlayerCore& player = *is->Player;
    player.LastAudioCallback = NowMicroseconds();
    while (len > 0) {
        if (is->AudioBufIndex >= is->AudioBufSize) {
            const int size = AudioDecodeFrame(is);
            if (PacketQueueAborted(is->AudioQ)) break;
            if (size < 0) {
                is->AudioBuf = is->AudioBuf1;
                std::memset(is->AudioBuf, 0, SilenceBlockSize);
                is->AudioBufSize = SilenceBlockSize;
            } else {
                if (is->ShowWaveform)
                    UpdateSampleDisplay(is, reinterpret_cast<const std::int16_t*>(is->AudioBuf), size);
                is->AudioBufSize = size;
            }
            is->AudioBufIndex = 0;
        }
        const int index = is->AudioBufIndex;
        const int n = std::min(is->AudioBufSize - index, len);
        if (player.Mute)
            std::memset(stream, 0, static_cast<std::size_t>(n));
        else
            sdl::SDL_MixAudio(stream, is->AudioBuf + index, static_cast<Uint32>(n), player.AudioVolume);
        is->AudioBufIndex = index + n;
        stream += n;
        len -= n;
    }
}

}  // namespace kv::player
