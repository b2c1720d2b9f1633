// The refresh cycle on the play thread: each refresh shows the queued picture when
// it is due, following the sound's clock, and schedules the next refresh.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "platform/UiThread.h"
#include "player/PlaybackDiagnostics.h"
#include "player/PlaybackMath.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

std::atomic<TPictureShownObserver> PictureShown{nullptr};

Uint32 PostRefresh(Uint32, void* state)
{
    SDL_Event event{};
    event.type = RefreshEvent;
    event.user.data1 = state;
    sdl::SDL_PushEvent(&event);
    return 0;  // one shot
}

void ReleaseShownEntry(PlaybackState* is)
{
    sdl::SDL_mutexP(is->PictqMutex);
    is->PictqRindex = (is->PictqRindex + 1) % PictureSlots;
    is->PictqSize--;
    sdl::SDL_CondSignal(is->PictqCond);
    sdl::SDL_mutexV(is->PictqMutex);
}

// A picture decoded before the latest seek is not shown. When the queue empties,
// its slot rather than the one on screen takes the next picture: the picture on
// screen stays intact (for redraws and snapshots) until the next one replaces it.
void DropStaleEntry(PlaybackState* is)
{
    sdl::SDL_mutexP(is->PictqMutex);
    is->PictqSize--;
    if (is->PictqSize == 0)
        is->PictqWindex = is->PictqRindex;
    else
        is->PictqRindex = (is->PictqRindex + 1) % PictureSlots;
    sdl::SDL_CondSignal(is->PictqCond);
    sdl::SDL_mutexV(is->PictqMutex);
}

// Seconds until the next refresh after showing `vp`.
double TimePicture(PlaybackState* is, const TVideoPicture* vp)
{
    if (is->AwaitingPicture || is->Paused) {
        // The first picture after an open or a seek, or one shown while paused: it
        // is shown now and the pictures after it are timed from here.
        is->FrameTimer = NowSeconds();
        is->FrameLastPts = vp->Pts;
        return 0;
    }
    TVideoTiming timing{is->FrameTimer, is->FrameLastPts, is->FrameLastDelay};
    // While the sound waits for this picture, or once it has ended, its clock says
    // nothing about the picture: the pictures keep their own pace.
    const bool followSound = is->AudioSt != nullptr && !is->AudioHeld && !is->AudioDrained;
    const double delay = ComputeTargetDelay(timing, vp->Pts, followSound, GetMasterClock(is), NowSeconds());
    is->FrameTimer = timing.FrameTimer;
    is->FrameLastPts = timing.FrameLastPts;
    is->FrameLastDelay = timing.FrameLastDelay;
    return delay;
}

// What waited for a picture goes on. A seek taken while the picture went on screen
// waits for its own: it counts the seek before it sets what waits, so either its
// settings come after these or its count shows here.
void PictureArrived(PlaybackState* is, int serial)
{
    is->AudioHeld = false;
    is->AwaitingPicture = false;
    is->ShowWhilePaused = false;
    if (is->SeekSerial != serial) {
        HoldAudioForPicture(is);
        is->AwaitingPicture = true;
        is->ShowWhilePaused = true;
    }
}

void ShowDuePicture(PlaybackState* is)
{
    const int index = is->PictqRindex;
    TVideoPicture* vp = &is->Pictq[index];
    if (vp->Serial != is->SeekSerial) {
        DropStaleEntry(is);
        ScheduleRefresh(is, 1);
        return;
    }
    is->VideoCurrentPts = vp->Pts;
    is->VideoCurrentPtsTime = NowMicroseconds();
    const double delay = TimePicture(is, vp);
    ScheduleRefresh(is, static_cast<int>(std::lrint(delay * 1000 + 0.5)));
    VideoImageDisplay(is, index);
    is->ShownIndex = index;
    PictureArrived(is, vp->Serial);
    if (TPictureShownObserver observer = PictureShown.load())
        observer(vp->Pts, is->AudioSt ? GetAudioClock(is) : 0, is->AudioSt != nullptr);
    ReleaseShownEntry(is);
}

}  // namespace

void SetPictureShownObserver(TPictureShownObserver observer)
{
    PictureShown = observer;
}

double NowSeconds()
{
    return static_cast<double>(av::av_gettime_relative()) / 1000000.0;
}

std::int64_t NowMicroseconds()
{
    return av::av_gettime_relative();
}

void ScheduleRefresh(PlaybackState* is, int delayMs)
{
    sdl::SDL_AddTimer(static_cast<Uint32>(delayMs > 0 ? delayMs : 1), PostRefresh, is);
}

void VideoRefresh(PlaybackState* is)
{
    if (is->VideoSt) {
        TakePendingStep(is);
        sdl::SDL_mutexP(is->PictqMutex);
        const int queued = is->PictqSize;
        sdl::SDL_mutexV(is->PictqMutex);
        if (queued == 0)
            ScheduleRefresh(is, 1);
        else if (is->Paused && !is->ShowWhilePaused)
            ScheduleRefresh(is, 10);  // the next picture waits for the resume
        else
            ShowDuePicture(is);
    } else if (is->AudioSt) {
        ScheduleRefresh(is, 40);
        VideoDisplay(is);
    } else {
        ScheduleRefresh(is, 100);
        return;
    }
    is->Player->UpdatePosition();
}

double GetAudioClock(PlaybackState* is)
{
    double pts = is->AudioClock;
    if (is->AudioSt) {
        const int bytesPerSec = is->AudioRate * 2 * is->AudioChannels;
        const int unread = is->AudioBufSize - is->AudioBufIndex;
        if (bytesPerSec > 0) pts -= static_cast<double>(unread) / bytesPerSec;
    }
    return pts;
}

double GetVideoClock(PlaybackState* is)
{
    if (is->Paused) return is->VideoCurrentPts;
    return is->VideoCurrentPts + static_cast<double>(NowMicroseconds() - is->VideoCurrentPtsTime) / 1000000.0;
}

double GetMasterClock(PlaybackState* is)
{
    return is->AudioSt ? GetAudioClock(is) : GetVideoClock(is);
}

void TogglePause(PlaybackState* is)
{
    while (is->SeekReq) {
        // The read thread may be handing a message to this thread before it takes the seek.
        platform::ProcessPendingUiCalls();
        av::av_usleep(10000);
    }
    if (is->Paused) {
        // Resuming: the clock goes on from the paused picture, and the next picture
        // is due as long after the resume as it was after the pause.
        const std::int64_t now = NowMicroseconds();
        is->FrameTimer += static_cast<double>(now - is->VideoCurrentPtsTime) / 1000000.0;
        is->VideoCurrentPtsTime = now;
    }
    is->Paused = !is->Paused;
}

void HoldAudioForPicture(PlaybackState* is)
{
    is->AudioHoldDeadline = NowMicroseconds() + 1000000;
    is->AudioHeld = true;
}

bool AudioIsHeld(PlaybackState* is)
{
    if (!is->AudioHeld) return false;
    if (NowMicroseconds() < is->AudioHoldDeadline) return true;
    is->AudioHeld = false;  // no picture came: the sound goes on alone
    return false;
}

namespace {

// Under the seek lock.
void SetSeekRequest(PlaybackState* is, std::int64_t target, int flags, bool exact)
{
    is->SeekPos = target;
    is->SeekFlags = flags;
    is->SeekExact = exact;
    is->SeekReq = 1;
}

// Nothing more will be decoded until the next seek.
bool NoPictureToCome(PlaybackState* is)
{
    sdl::SDL_mutexP(is->PictqMutex);
    const bool queued = is->PictqSize > 0;
    sdl::SDL_mutexV(is->PictqMutex);
    return !queued && is->VideoDrained && PacketQueueCount(is->VideoQ) == 0;
}

std::int64_t PreviousPictureTarget(PlaybackState* is)
{
    const AVRational rate = av::av_guess_frame_rate(is->Ic, is->VideoSt, nullptr);
    const double frame = rate.num > 0 && rate.den > 0 ? static_cast<double>(rate.den) / rate.num : 0.04;
    return std::llround(std::max(0.0, is->VideoCurrentPts - frame) * 1e6);
}

}  // namespace

void RequestSeek(PlaybackState* is, std::int64_t target, int flags, bool exact)
{
    std::lock_guard lock(is->SeekLock);
    is->StepsPending = 0;
    SetSeekRequest(is, target, flags, exact);
}

void TakePendingStep(PlaybackState* is)
{
    if (!is->Paused || is->StepsPending == 0) return;
    std::lock_guard lock(is->SeekLock);
    // A seek sets the awaited picture before it is no longer busy: read in this order.
    if (is->SeekReq || is->SeekBusy || is->AwaitingPicture) return;
    if (is->ShowWhilePaused) {
        // The step before waits for its picture; at the end none comes and it is dropped.
        if (NoPictureToCome(is)) is->ShowWhilePaused = false;
        return;
    }
    const int pending = is->StepsPending;
    if (pending > 0) {
        // The next picture is decoded (or on its way): it is shown as soon as it is queued.
        is->StepsPending.fetch_sub(1);
        is->Stepped = true;
        is->ShowWhilePaused = true;
    } else if (pending < 0) {
        is->StepsPending.fetch_add(1);
        is->Stepped = false;
        SetSeekRequest(is, PreviousPictureTarget(is), 0, true);
    }
}

}  // namespace kv::player
