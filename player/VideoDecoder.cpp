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

int QueuePicture(PlaybackState* is, AVFrame* frame, double pts)
{
    sdl::SDL_mutexP(is->PictqMutex);
    while (is->PictqSize >= PictureQueueSize && !VideoAborted(is)) sdl::SDL_CondWait(is->PictqCond, is->PictqMutex);
    sdl::SDL_mutexV(is->PictqMutex);
    if (VideoAborted(is)) return -1;

    TVideoPicture* vp = &is->Pictq[is->PictqWindex];
    if (!vp->Bmp || vp->Width != frame->width || vp->Height != frame->height) {
        if (!AwaitOverlay(is, vp, frame->width, frame->height)) return -1;
    }
    if (!vp->Bmp) return 0;  // no overlay could be made: the picture is dropped
    if (!ConvertFrameToOverlay(is, frame, vp->Bmp, pts)) return -1;
    vp->Pts = pts;
    is->PictqWindex = (is->PictqWindex + 1) % PictureQueueSize;
    sdl::SDL_mutexP(is->PictqMutex);
    is->PictqSize++;
    sdl::SDL_mutexV(is->PictqMutex);
    return 0;
}

// Gives a picture without a time the running video clock, advances the clock by
// the picture's duration and queues it.
int OutputPicture(PlaybackState* is, AVFrame* frame, double pts)
{
    if (pts != 0)
        is->VideoClock = pts;
    else
        pts = is->VideoClock;
    const AVRational rate = av::av_guess_frame_rate(is->Ic, is->VideoSt, frame);
    const double frameDelay = rate.num > 0 && rate.den > 0 ? static_cast<double>(rate.den) / rate.num : 0.04;
    is->VideoClock += frameDelay + frame->repeat_pict * frameDelay * 0.5;
    return QueuePicture(is, frame, pts);
}

}  // namespace

int VideoThread(void* state)
{
    auto* is = static_cast<PlaybackState*>(state);
    AVCodecContext* dec = is->VideoDec;
    AVFrame* frame = av::av_frame_alloc();
    AVPacket* pkt = av::av_packet_alloc();
    const double timeBase = ::av_q2d(is->VideoSt->time_base);
    bool draining = false;
    while (frame && pkt) {
        while (is->Paused && !VideoAborted(is)) av::av_usleep(10000);
        if (PacketQueueGet(is->VideoQ, pkt, true) < 0) break;
        if (IsFlushPacket(pkt)) {
            av::avcodec_flush_buffers(dec);
            draining = false;
            continue;
        }
        if (pkt->size == 0) {
            // End of the input: the decoder gives out what it still holds, once.
            if (draining) continue;
            draining = true;
            av::avcodec_send_packet(dec, nullptr);
        } else {
            av::avcodec_send_packet(dec, pkt);
        }
        av::av_packet_unref(pkt);
        bool stop = false;
        while (!stop && av::avcodec_receive_frame(dec, frame) >= 0) {
            const double pts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                                   ? static_cast<double>(frame->best_effort_timestamp) * timeBase
                                   : 0;
            stop = OutputPicture(is, frame, pts) < 0;
            av::av_frame_unref(frame);
        }
        if (stop) break;
    }
    av::av_packet_free(&pkt);
    av::av_frame_free(&frame);
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
