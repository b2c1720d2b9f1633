// The video decoding thread: packets in, pictures out into the one-entry picture
// queue, at most one picture ahead of the display.
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

bool VideoAborted(PlaybackState* is)
{
    return PacketQueueAborted(is->VideoQ);
}

// Asks the play thread for an overlay of the picture's size and waits for it.
bool AwaitOverlay(PlaybackState* is, TVideoPicture* vp, int width, int height)
{
    sdl::SDL_mutexP(is->PictqMutex);
    vp->Allocated = 0;
    is->AllocWidth = width;
    is->AllocHeight = height;
    sdl::SDL_mutexV(is->PictqMutex);

    SDL_Event event{};
    event.type = AllocEvent;
    event.user.data1 = is;
    sdl::SDL_PushEvent(&event);

    sdl::SDL_mutexP(is->PictqMutex);
    while (!vp->Allocated && !VideoAborted(is)) sdl::SDL_CondWait(is->PictqCond, is->PictqMutex);
    sdl::SDL_mutexV(is->PictqMutex);
    return !VideoAborted(is);
}

// A seek came after the picture's packet: the picture would not be shown.
bool SeekSinceDecoded(const PlaybackState* is)
{
    return is->DecodeSerial != is->SeekSerial;
}

int QueuePicture(PlaybackState* is, AVFrame* frame, double pts)
{
    sdl::SDL_mutexP(is->PictqMutex);
    while (is->PictqSize >= PictureQueueSize && !VideoAborted(is) && !SeekSinceDecoded(is))
        sdl::SDL_CondWait(is->PictqCond, is->PictqMutex);
    sdl::SDL_mutexV(is->PictqMutex);
    if (VideoAborted(is)) return -1;
    // Not waiting for the display frees the decoder for the seek's pictures at once.
    if (SeekSinceDecoded(is)) return 0;

    TVideoPicture* vp = &is->Pictq[is->PictqWindex];
    int width = frame->width, height = frame->height;
    media::UprightSize(is->VideoOrientation, width, height);
    if (!vp->Bmp || vp->Width != width || vp->Height != height) {
        if (!AwaitOverlay(is, vp, width, height)) return -1;
    }
    if (!vp->Bmp) return 0;  // no overlay could be made: the picture is dropped
    if (!ConvertFrameToOverlay(is, frame, vp->Bmp, pts)) return -1;
    vp->Pts = pts;
    vp->Serial = is->DecodeSerial;
    is->PictqWindex = (is->PictqWindex + 1) % PictureSlots;
    sdl::SDL_mutexP(is->PictqMutex);
    is->PictqSize++;
    sdl::SDL_mutexV(is->PictqMutex);
    return 0;
}

constexpr double NoPictureTime = -1e18;

// Gives a picture without a time the running video clock, advances the clock by
// the picture's duration and queues it. A time of 0 is a time: after a seek to the
// start the running clock would still hold the old place.
int OutputPicture(PlaybackState* is, AVFrame* frame, double pts)
{
    if (pts > NoPictureTime)
        is->VideoClock = pts;
    else
        pts = is->VideoClock;
    const AVRational rate = av::av_guess_frame_rate(is->Ic, is->VideoSt, frame);
    const double frameDelay = rate.num > 0 && rate.den > 0 ? static_cast<double>(rate.den) / rate.num : 0.04;
    is->VideoClock += frameDelay + frame->repeat_pict * frameDelay * 0.5;
    return QueuePicture(is, frame, pts);
}

}  // namespace

namespace {

// The picture's time, or NoPictureTime.
double FrameSeconds(const AVFrame* frame, double timeBase)
{
    return frame->best_effort_timestamp != AV_NOPTS_VALUE ? static_cast<double>(frame->best_effort_timestamp) * timeBase
                                                          : NoPictureTime;
}

// While a seek skips to its target, pictures nothing refers to are not even decoded
// when they lie well before it (the decoder may reorder by less than that).
void ChooseSkipping(PlaybackState* is, AVCodecContext* dec, const AVPacket* pkt, double timeBase)
{
    const double until = is->VideoSkipTarget;
    const bool early = until >= 0 && pkt->pts != AV_NOPTS_VALUE && static_cast<double>(pkt->pts) * timeBase < until - 0.5;
    dec->skip_frame = early ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

// The decoder's pictures: those before a seek's target are skipped (the last one
// kept, for a target past the last picture); -1 ends the thread.
int ReceivePictures(PlaybackState* is, AVCodecContext* dec, AVFrame* frame, AVFrame* skipped, double timeBase)
{
    while (av::avcodec_receive_frame(dec, frame) >= 0) {
        if (SeekSinceDecoded(is)) {
            av::av_frame_unref(frame);
            continue;
        }
        const double pts = FrameSeconds(frame, timeBase);
        const double until = is->VideoSkipTarget;
        if (until >= 0 && (pts > NoPictureTime ? pts : is->VideoClock) < until) {
            av::av_frame_unref(skipped);
            av::av_frame_move_ref(skipped, frame);
            continue;
        }
        is->VideoSkipTarget = -1;
        av::av_frame_unref(skipped);
        const int ret = OutputPicture(is, frame, pts);
        av::av_frame_unref(frame);
        if (ret < 0) return -1;
    }
    return 0;
}

}  // namespace

int VideoThread(void* state)
{
    auto* is = static_cast<PlaybackState*>(state);
    AVCodecContext* dec = is->VideoDec;
    const media::FrameHandle frameHandle(av::av_frame_alloc());
    const media::FrameHandle skippedHandle(av::av_frame_alloc());
    const media::PacketHandle pktHandle(av::av_packet_alloc());
    AVFrame* frame = frameHandle.get();
    AVFrame* skipped = skippedHandle.get();
    AVPacket* pkt = pktHandle.get();
    const double timeBase = ::av_q2d(is->VideoSt->time_base);
    bool draining = false;
    while (frame && skipped && pkt) {
        if (PacketQueueGet(is->VideoQ, pkt, true) < 0) break;
        if (IsFlushPacket(pkt)) {
            av::avcodec_flush_buffers(dec);
            av::av_frame_unref(skipped);
            is->DecodeSerial = is->SeekSerial;
            // Taken here, not when the seek is made: pictures still coming out of the
            // decoder from before the flush must not end the new seek's skipping.
            is->VideoSkipTarget = is->VideoSkipUntil;
            draining = false;
            is->VideoDrained = false;
            continue;
        }
        if (IsEndPacket(pkt)) {
            av::av_packet_unref(pkt);
            if (draining) continue;
            draining = true;
            av::avcodec_send_packet(dec, nullptr);
            if (ReceivePictures(is, dec, frame, skipped, timeBase) < 0) break;
            // A target past the last picture shows the last picture.
            if (skipped->format >= 0 && skipped->width > 0) {
                is->VideoSkipTarget = -1;
                const int ret = OutputPicture(is, skipped, FrameSeconds(skipped, timeBase));
                av::av_frame_unref(skipped);
                if (ret < 0) break;
            }
            is->VideoDrained = true;
            continue;
        }
        ChooseSkipping(is, dec, pkt, timeBase);
        av::avcodec_send_packet(dec, pkt);
        av::av_packet_unref(pkt);
        if (ReceivePictures(is, dec, frame, skipped, timeBase) < 0) break;
    }
    // Nothing more comes from this thread: the end need not wait for it.
    is->VideoDrained = true;
    return 0;
}

void AllocPicture(PlaybackState* is)
{
    TVideoPicture* vp = &is->Pictq[is->PictqWindex];
    sdl::SDL_mutexP(is->PictqMutex);
    const int width = is->AllocWidth, height = is->AllocHeight;
    sdl::SDL_mutexV(is->PictqMutex);

    sdl::SDL_mutexP(is->OverlayMutex);
    vp->Bmp = nullptr;
    SDL_Surface* surface = is->Player->Surface;
    vp->Bmp.reset(surface && width > 0 && height > 0
                      ? sdl::SDL_CreateYUVOverlay(width, height, SDL_YV12_OVERLAY, surface)
                      : nullptr);
    vp->Width = width;
    vp->Height = height;
    sdl::SDL_mutexV(is->OverlayMutex);

    sdl::SDL_mutexP(is->PictqMutex);
    vp->Allocated = 1;
    sdl::SDL_CondSignal(is->PictqCond);
    sdl::SDL_mutexV(is->PictqMutex);
}

}  // namespace kv::player
