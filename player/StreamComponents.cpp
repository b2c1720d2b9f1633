// Opening and closing the decoder, device and thread of one chosen stream.
#include <algorithm>
#include <thread>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/SwResampleStubs.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

constexpr int DeviceSamples = 1024;

// One per core, at least two; more than eight pictures in flight gain nothing and cost memory.
int VideoDecoderThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 2u, 8u));
}

void ApplyDecodingOptions(AVCodecContext* dec)
{
    dec->debug = 0;
    dec->workaround_bugs = FF_BUG_AUTODETECT;
    dec->lowres = 0;
    dec->idct_algo = FF_IDCT_AUTO;
    dec->error_concealment = FF_EC_GUESS_MVS | FF_EC_DEBLOCK;
    dec->skip_frame = AVDISCARD_DEFAULT;
    dec->skip_idct = AVDISCARD_DEFAULT;
    dec->skip_loop_filter = AVDISCARD_DEFAULT;
    dec->flags2 &= ~AV_CODEC_FLAG2_FAST;
    dec->thread_count = 1;
    // A seek decodes every picture from the key frame before its target: a thread
    // per core shortens that wait (and keeps large pictures at pace).
    if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
        dec->thread_count = VideoDecoderThreads();
        dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
}

media::CodecContextHandle OpenDecoder(AVStream* st)
{
    const AVCodec* codec = av::avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return nullptr;
    media::CodecContextHandle dec(av::avcodec_alloc_context3(codec));
    if (!dec) return nullptr;
    if (av::avcodec_parameters_to_context(dec.get(), st->codecpar) >= 0) {
        dec->pkt_timebase = st->time_base;
        ApplyDecodingOptions(dec.get());
        if (av::avcodec_open2(dec.get(), codec, nullptr) >= 0) return dec;
    }
    return nullptr;
}

// The device plays the stream's rate with one channel, or two for everything else.
bool OpenAudioDevice(PlaybackState* is, AVCodecContext* dec)
{
    SDL_AudioSpec wanted{};
    wanted.freq = dec->sample_rate;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(dec->ch_layout.nb_channels == 1 ? 1 : 2);
    wanted.silence = 0;
    wanted.samples = DeviceSamples;
    wanted.callback = AudioCallback;
    wanted.userdata = is;
    // No obtained record: the library converts to whatever the device needs.
    if (dec->sample_rate <= 0 || sdl::SDL_OpenAudio(&wanted, nullptr) < 0) {
        is->Player->Log(ltError, "SDL_OpenAudio() failed: " + SDLErrorText());
        return false;
    }
    is->AudioRate = wanted.freq;
    is->AudioChannels = wanted.channels;
    is->AudioHwBufSize = DeviceSamples * 2 * wanted.channels;
    is->AudioSrcFmt = AV_SAMPLE_FMT_NONE;
    return true;
}

}  // namespace

void StreamComponentOpen(PlaybackState* is, int streamIndex)
{
    AVFormatContext* ic = is->Ic;
    if (streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams)) return;
    AVStream* st = ic->streams[streamIndex];
    media::CodecContextHandle dec = OpenDecoder(st);
    if (!dec) {
        is->Player->Log(ltError, "avcodec_open() failed.");
        return;
    }
    const bool audio = dec->codec_type == AVMEDIA_TYPE_AUDIO;
    if (audio && !OpenAudioDevice(is, dec.get())) return;
    st->discard = AVDISCARD_DEFAULT;
    if (audio) {
        is->AudioStream = streamIndex;
        is->AudioSt = st;
        is->AudioDec = std::move(dec);
        is->AudioStartTime = st->start_time != AV_NOPTS_VALUE
                                 ? av::av_rescale_q(st->start_time, st->time_base, AVRational{1, 1000000})
                                 : -1;
        is->AudioBuf = is->AudioBuf1;
        is->AudioBufSize = 0;
        is->AudioBufIndex = 0;
        is->AudioPkt.reset(av::av_packet_alloc());
        is->AudioFrame.reset(av::av_frame_alloc());
        PacketQueueInit(is->AudioQ);
        sdl::SDL_PauseAudio(0);
    } else if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
        is->VideoStream = streamIndex;
        is->VideoSt = st;
        is->VideoOrientation = media::StreamOrientation(st);
        is->VideoDec = std::move(dec);
        is->FrameLastDelay = 0.04;
        is->FrameTimer = NowSeconds();
        is->VideoCurrentPtsTime = NowMicroseconds();
        PacketQueueInit(is->VideoQ);
        is->VideoTid = sdl::SDL_CreateThread(VideoThread, is);
    } else {
        st->discard = AVDISCARD_ALL;
    }
}

void StreamComponentClose(PlaybackState* is, int streamIndex)
{
    AVFormatContext* ic = is->Ic;
    if (!ic || streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams)) return;
    if (streamIndex == is->VideoStream) {
        PacketQueueAbort(is->VideoQ);
        sdl::SDL_mutexP(is->PictqMutex);
        sdl::SDL_CondSignal(is->PictqCond);
        sdl::SDL_mutexV(is->PictqMutex);
        sdl::SDL_WaitThread(is->VideoTid, nullptr);
        is->VideoTid = nullptr;
        PacketQueueEnd(is->VideoQ);
        is->VideoDec.reset();
        is->VideoSt = nullptr;
        is->VideoStream = -1;
    } else if (streamIndex == is->AudioStream) {
        PacketQueueAbort(is->AudioQ);
        // The one sound device of the process, not an object: nothing holds it.
        sdl::SDL_CloseAudio();
        PacketQueueEnd(is->AudioQ);
        is->Swr.reset();
        av::av_channel_layout_uninit(&is->AudioSrcLayout);
        is->AudioPkt.reset();
        is->AudioFrame.reset();
        is->AudioDec.reset();
        is->AudioSt = nullptr;
        is->AudioStream = -1;
        is->AudioStartTime = -1;
    }
    ic->streams[streamIndex]->discard = AVDISCARD_ALL;
}

}  // namespace kv::player
