#include "player/PlayerCore.h"

#include <cassert>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "platform/UiThread.h"
#include "player/HostWindow.h"
#include "player/LibSDL.h"
#include "player/PlaybackState.h"

namespace kv::player {

namespace {

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The display library serves one window per process: the player playing in it.
std::atomic<TPlayerCore*> ActivePlayer{nullptr};

}  // namespace

TPlayerCore::TPlayerCore(TCustomPlayer* owner) : owner_(owner), probe_(std::make_unique<media::TAVProbe>())
{
    ResetState();
}

TPlayerCore::~TPlayerCore()
{
    Stop(true);
    TPlayerCore* self = this;
    ActivePlayer.compare_exchange_strong(self, nullptr);
    platform::CancelUiCalls(this);
    probe_.reset();
    if (snapshotConverter_) media::ResetFrameConverter(*snapshotConverter_);
    if (hookConverter_) media::ResetFrameConverter(*hookConverter_);
}

// ---- libraries

bool TPlayerCore::LoadAVLib(const std::string& folder)
{
    media::FFLoader.SetLibraryPath(folder);
    if (!media::FFLoader.LoadLibs(media::PlayerLibraries)) {
        Log(ltError, media::FFLoader.LastErrMsg(), true);
        return false;
    }
    if (!LoadSDL(folder)) {
        Log(ltError, SDLLastErrMsg(), true);
        return false;
    }
    return true;
}

bool TPlayerCore::AVLibLoaded() const
{
    return media::FFLoader.LibsLoaded(media::PlayerLibraries) && SDLLoaded();
}

// ---- log path and events

void TPlayerCore::SetLastError(const std::string& text)
{
    std::lock_guard lock(errorLock_);
    lastError_ = text;
}

std::string TPlayerCore::LastError() const
{
    std::lock_guard lock(errorLock_);
    return lastError_;
}

void TPlayerCore::LogDirect(TLogType type, const std::string& message)
{
    if (HasLogHandler()) owner_->OnLog(owner_, type, message);
}

void TPlayerCore::Log(TLogType type, const std::string& message, bool store)
{
    if (store || (type == ltError && !HasLogHandler())) SetLastError(message);
    if (!HasLogHandler()) return;
    if (platform::IsUiThread()) {
        LogDirect(type, message);
        return;
    }
    {
        std::unique_lock lock(pendingLock_);
        while (!state_ && pendingFlag_) {
            // One message waits at a time until the opening thread has delivered it.
            lock.unlock();
            SleepMs(10);
            lock.lock();
        }
        if (!state_) {
            pendingFlag_ = true;
            pendingType_ = type;
            pendingText_ = message;
            return;
        }
    }
    platform::RunOnUiThreadAndWait([this, type, message] { LogDirect(type, message); }, this);
}

void TPlayerCore::DeliverPendingLog()
{
    TLogType type;
    std::string text;
    {
        std::lock_guard lock(pendingLock_);
        if (!pendingFlag_) return;
        type = pendingType_;
        text = std::move(pendingText_);
        pendingFlag_ = false;
    }
    LogDirect(type, text);
}

void TPlayerCore::RaiseState(TPlayState state)
{
    if (!handlersOff_ && owner_->OnState) owner_->OnState(owner_, state);
}

void TPlayerCore::RaiseFileOpen()
{
    if (snapshotConverter_) media::ResetFrameConverter(*snapshotConverter_);
    if (hookConverter_) media::ResetFrameConverter(*hookConverter_);
    if (handlersOff_ || !owner_->OnFileOpen) return;
    PlaybackState* is = state_;
    const AVFormatContext* ic = is->Ic;
    is->StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    is->Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
    const std::int64_t duration = is->StillImage ? 0 : is->Duration;
    int frameWidth = -1, frameHeight = -1;
    if (is->VideoSt && is->VideoSt->codecpar->width > 0) ShownFrameSize(is, frameWidth, frameHeight);
    int screenWidth = ScreenWidth, screenHeight = ScreenHeight;
    owner_->OnFileOpen(owner_, duration, frameWidth, frameHeight, screenWidth, screenHeight);
    ScreenWidth = screenWidth;
    ScreenHeight = screenHeight;
}

// ---- life cycle

void TPlayerCore::ResetState()
{
    Surface = nullptr;
    lastPosition_ = NoPosition;
    WantedAudio = 0;
    WantedVideo = 0;
    WantedSubtitle = -1;
}

bool TPlayerCore::Open(const std::string& fileName, TWindowHandle window)
{
    if (!media::FFLoader.LibsLoaded(media::PlayerLibraries)) {
        Log(ltError, "libav not loaded.", true);
        return false;
    }
    if (!SDLLoaded()) {
        Log(ltError, "libsdl not loaded.", true);
        return false;
    }
    Stop(true);
    // Opening in another window replaces the playback there.
    if (TPlayerCore* other = ActivePlayer.load(); other && other != this) other->Stop(true);

    std::string sdlError;
    if (!StartSDLInWindow(window, sdlError)) {
        Log(ltError, "Could not initialize SDL: " + sdlError, true);
        return false;
    }
    if (DisableDisplay) {
        DisableVideo = true;
    } else if (const SDL_VideoInfo* info = sdl::SDL_GetVideoInfo()) {
        displayWidth_ = info->current_w;
        displayHeight_ = info->current_h;
    }
    for (Uint8 type : {Uint8(SDL_ACTIVEEVENT), Uint8(SDL_MOUSEMOTION), Uint8(SDL_SYSWMEVENT), Uint8(SDL_USEREVENT)})
        sdl::SDL_EventState(type, SDL_IGNORE);

    if (!OpenPlayback(fileName)) {
        QuitSDL();
        return false;
    }
    PlayerFileName = fileName;
    window_ = window;
    probe_->Attach(state_.load()->Ic);
    RaiseFileOpen();
    playThread_ = std::make_unique<TPlayThread>(*this);
    ActivePlayer = this;
    return true;
}

bool TPlayerCore::OpenPlayback(const std::string& fileName)
{
    assert(!state_ && "FFPlay: a playback is still open");
    // Value-initialised: every field not given a value starts at zero.
    auto* is = new PlaybackState();
    is->Player = this;
    av::av_strlcpy(is->Filename, fileName.c_str(), sizeof is->Filename);
    is->AudioStream = is->VideoStream = is->SubtitleStream = -1;
    is->AudioStartTime = -1;
    is->ShownIndex = -1;
    is->VideoSkipUntil = -1;
    is->VideoSkipTarget = -1;
    is->AudioSkipUntil = -1;
    is->AudioSkipTarget = -1;
    is->AwaitingPicture = true;
    is->PictqMutex.reset(sdl::SDL_CreateMutex());
    is->PictqCond.reset(sdl::SDL_CreateCond());
    is->OverlayMutex.reset(sdl::SDL_CreateMutex());
    ScheduleRefresh(is, 40);

    is->ReadTid = sdl::SDL_CreateThread(ReadThread, is);
    if (!is->ReadTid) {
        Log(ltError, "SDL_CreateThread() failed.", true);
        FreeState(is);
        return false;
    }
    while (is->OpenStatus == osOpening) {
        DeliverPendingLog();
        SleepMs(10);
    }
    if (is->OpenStatus == osOpen) {
        {
            std::lock_guard lock(pendingLock_);
            std::lock_guard stateLock(stateLock_);
            state_ = is;
        }
        DeliverPendingLog();
        return true;
    }
    while (is->OpenStatus == osFailing) {
        DeliverPendingLog();
        SleepMs(10);
    }
    DeliverPendingLog();
    sdl::SDL_WaitThread(is->ReadTid, nullptr);
    FreeState(is);
    ResetState();
    return false;
}

void TPlayerCore::FreeState(PlaybackState* is)
{
    // The overlays go before the mutex that guards them.
    for (TVideoPicture& vp : is->Pictq) vp.Bmp = nullptr;
    delete is;
}

void TPlayerCore::ClosePlayback(PlaybackState* is)
{
    is->AbortRequest = 1;
    sdl::SDL_WaitThread(is->ReadTid, nullptr);
    is->ReadTid = nullptr;
}

void TPlayerCore::DoExit()
{
    if (PlaybackState* is = state_) {
        ClosePlayback(is);
        std::lock_guard lock(stateLock_);
        state_ = nullptr;
        FreeState(is);
        ResetState();
    }
    QuitSDL();
}

void TPlayerCore::QuitSDL()
{
    Surface = nullptr;
    QuitSDLInWindow();
}

void TPlayerCore::DetachProbe()
{
    probe_->Attach(nullptr);
}

void TPlayerCore::WaitForPlayThread()
{
    // Marshalled events of the play thread wait for this thread: serve them meanwhile.
    while (!playThread_->Finished()) {
        platform::ProcessPendingUiCalls();
        SleepMs(2);
    }
    playThread_.reset();
}

void TPlayerCore::Stop(bool wait)
{
    if (!state_ && !playThread_) return;
    if (state_) {
        SDL_Event event{};
        event.type = QuitEvent;
        event.user.data1 = state_.load();
        sdl::SDL_PushEvent(&event);
    }
    if (!wait) return;
    if (playThread_) WaitForPlayThread();
    if (state_) DoExit();
}

void TPlayerCore::Pause()
{
    std::unique_lock lock(stateLock_);
    PlaybackState* is = state_;
    if (!is || is->Paused) return;
    TogglePause(is);
    lock.unlock();
    RaiseState(psPause);
}

void TPlayerCore::Resume()
{
    std::unique_lock lock(stateLock_);
    PlaybackState* is = state_;
    if (!is || !is->Paused) return;
    is->StepsPending = 0;
    // Stepped pictures ran ahead of the sound: both go on from the picture on screen.
    if (is->Stepped.exchange(false) && is->VideoSt) RequestSeek(is, std::llround(is->VideoCurrentPts * 1e6), 0, true);
    TogglePause(is);
    lock.unlock();
    RaiseState(psResume);
}

void TPlayerCore::Seek(std::int64_t position, bool exact)
{
    std::lock_guard lock(stateLock_);
    PlaybackState* is = state_;
    if (!is) return;
    const AVFormatContext* ic = is->Ic;
    is->Stepped = false;
    RequestSeek(is,
                SeekTarget(position, ic->duration, ic->start_time, ic->duration != AV_NOPTS_VALUE,
                           ic->start_time != AV_NOPTS_VALUE),
                0, exact);
}

void TPlayerCore::Step(int direction)
{
    std::unique_lock lock(stateLock_);
    PlaybackState* is = state_;
    if (!is || !is->VideoSt || is->StillImage || direction == 0) return;
    const bool wasPlaying = !is->Paused;
    if (wasPlaying) TogglePause(is);
    // Taken by the play thread once the pictures before it are on screen.
    is->StepsPending += direction > 0 ? 1 : -1;
    lock.unlock();
    if (wasPlaying) RaiseState(psPause);
}

void TPlayerCore::SetForcedAspect(float value)
{
    ForcedAspect = value > 0 ? value : 0;
    if (!state_) return;
    // Paused, nothing else would draw the picture again.
    SDL_Event event{};
    event.type = SDL_VIDEOEXPOSE;
    sdl::SDL_PushEvent(&event);
}

// ---- play thread

void TPlayerCore::ResizeSurface(int width, int height)
{
    Surface = sdl::SDL_SetVideoMode(width, height, 0, SDL_HWSURFACE | SDL_ASYNCBLIT | SDL_RESIZABLE | SDL_HWACCEL);
    if (Surface) {
        // Only the picture's rectangle is drawn later: what the old size left
        // around it would stay on screen.
        sdl::SDL_FillRect(Surface, nullptr, sdl::SDL_MapRGB(Surface->format, 0, 0, 0));
        sdl::SDL_UpdateRect(Surface, 0, 0, 0, 0);
    }
    ScreenWidth = width;
    ScreenHeight = height;
    if (PlaybackState* is = state_) {
        is->Width = width;
        is->Height = height;
    }
}

void TPlayerCore::UpdatePosition()
{
    PlaybackState* is = state_;
    if (!is || is->StillImage) return;
    // Before the first picture after an open or a seek the clock runs on its own:
    // reporting it would make the position jump back when the picture comes.
    const bool awaiting = is->VideoSt && is->AwaitingPicture;
    double clock;
    if (is->VideoSt)
        clock = GetVideoClock(is);
    else if (is->AudioSt)
        clock = GetAudioClock(is);
    else
        return;
    const std::int64_t position = std::llround(clock * 1000000.0) - is->StartTime;
    // Paused, the position is the picture on screen to the microsecond (marks take it).
    bool report = false;
    if (!awaiting && is->Paused && position != lastPosition_ && !(is->Duration > 0 && position >= is->Duration)) {
        lastPosition_ = position;
        report = true;
    } else if (!awaiting) {
        report = NextPosition(lastPosition_, position, is->Duration);
    }
    if (report && !handlersOff_ && owner_->OnPosition) {
        const std::int64_t reported = lastPosition_;
        platform::RunOnUiThreadAndWait(
            [this, reported] {
                if (!handlersOff_ && owner_->OnPosition) owner_->OnPosition(owner_, reported);
            },
            this);
    }
    // The end: each decoder has given out everything after the end of the input,
    // no decoded picture waits for its time and the last one has had its time.
    bool videoDone = !is->VideoSt;
    if (!videoDone) {
        sdl::SDL_mutexP(is->PictqMutex);
        const bool pictureWaiting = is->PictqSize > 0;
        sdl::SDL_mutexV(is->PictqMutex);
        // The last picture keeps the screen for its own duration (not while paused).
        const bool lastPictureOver = GetVideoClock(is) >= is->VideoCurrentPts + is->FrameLastDelay - 0.001;
        videoDone = is->VideoDrained && !pictureWaiting && PacketQueueCount(is->VideoQ) == 0 && lastPictureOver;
    }
    const bool audioDone = !is->AudioSt || (is->AudioDrained && PacketQueueCount(is->AudioQ) == 0);
    if (videoDone && audioDone) RaiseState(psEnd);
}

// ---- snapshots and hooks

media::TFrameConverter* TPlayerCore::HookConverter()
{
    if (!hookConverter_) {
        hookConverter_ = std::make_unique<media::TFrameConverter>();
        media::ResetFrameConverter(*hookConverter_);
    }
    return hookConverter_.get();
}

media::TBitmap* TPlayerCore::CurrentBitmap()
{
    if (!snapshotConverter_) {
        snapshotConverter_ = std::make_unique<media::TFrameConverter>();
        media::ResetFrameConverter(*snapshotConverter_);
    }
    media::TFrameConverter& c = *snapshotConverter_;
    std::lock_guard lock(stateLock_);
    PlaybackState* is = state_;
    const bool video = is && is->VideoSt;
    int width = 0, height = 0;
    ShownFrameSize(is, width, height);
    if (!c.Bitmap || c.Bitmap->Width() != width || c.Bitmap->Height() != height)
        c.Bitmap = std::make_unique<media::TBitmap>(width, height);
    else if (height > 0)
        std::memset(c.Bitmap->Bits(), 0, static_cast<std::size_t>(c.Bitmap->Stride()) * height);
    if (!video) return c.Bitmap.get();

    // The picture on screen, not the next one waiting for its time.
    sdl::SDL_mutexP(is->OverlayMutex);
    const int shown = is->ShownIndex;
    const TVideoPicture* shownPicture = shown >= 0 ? &is->Pictq[shown] : nullptr;
    if (shownPicture && shownPicture->Bmp) {
        const TVideoPicture& vp = *shownPicture;
        sdl::SDL_LockYUVOverlay(vp.Bmp);
        const std::uint8_t* planes[4] = {vp.Bmp->pixels[0], vp.Bmp->pixels[2], vp.Bmp->pixels[1], nullptr};
        const int lines[4] = {vp.Bmp->pitches[0], vp.Bmp->pitches[2], vp.Bmp->pitches[1], 0};
        if (!media::ConvertPictureToBitmap(c, planes, lines, AV_PIX_FMT_YUV420P, vp.Height, vp.Width))
            c.Bitmap = std::make_unique<media::TBitmap>(0, 0);
        sdl::SDL_UnlockYUVOverlay(vp.Bmp);
    }
    sdl::SDL_mutexV(is->OverlayMutex);
    return c.Bitmap.get();
}

}  // namespace kv::player
