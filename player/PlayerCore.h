#pragma once
// The inside of a player: its properties, its per-file state, its log path and the
// life cycle of a playback. TCustomPlayer forwards to it; the pipeline reads it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/AVProbe.h"
#include "media/FFUtils.h"
#include "player/FFPlay.h"
#include "player/PlaybackMath.h"
#include "player/PlayThread.h"

struct AVPacket;
struct SDL_Surface;

namespace kv::player {

struct PlaybackState;

class TPlayerCore {
public:
    explicit TPlayerCore(TCustomPlayer* owner);
    ~TPlayerCore();

    bool LoadAVLib(const std::string& folder);
    bool AVLibLoaded() const;
    bool Open(const std::string& fileName, TWindowHandle window);
    void Stop(bool wait);
    void Pause();
    void Resume();
    void Seek(std::int64_t position, bool exact);
    void Step(int direction);
    media::TBitmap* CurrentBitmap();

    // Called by the owner's destructor before everything else: no handler runs any more.
    void RemoveHandlers() { handlersOff_ = true; }

    // The log path: stored in LastError when `store` is set or for an error nobody hears.
    void Log(TLogType type, const std::string& message, bool store = false);
    // Straight to OnLog on the calling thread, when a handler is assigned.
    void LogDirect(TLogType type, const std::string& message);
    void SetLastError(const std::string& text);
    std::string LastError() const;
    void RaiseState(TPlayState state);
    bool HasLogHandler() const { return !handlersOff_ && static_cast<bool>(owner_->OnLog); }
    bool HasHookHandler() const { return !handlersOff_ && static_cast<bool>(owner_->OnHook); }
    TCustomPlayer* Owner() const { return owner_; }

    // The play thread's part.
    PlaybackState* State() const { return state_.load(); }
    void DoExit();
    void UpdatePosition();
    void ResizeSurface(int width, int height);
    void QuitSDL();
    void DetachProbe();

    // Used by the pipeline.
    SDL_Surface* Surface = nullptr;
    media::TFrameConverter* HookConverter();
    std::atomic<std::int64_t> LastAudioCallback{0};

    // Properties.
    std::atomic<int> AudioVolume{128};
    std::atomic<bool> Mute{false};
    bool DisableAudio = false;
    bool DisableVideo = false;
    bool DisableDisplay = false;
    int FrameWidth = 0, FrameHeight = 0;
    std::atomic<int> ScreenWidth{0}, ScreenHeight{0};
    bool Hook = false;
    std::atomic<float> ForcedAspect{0};
    // Sets the aspect and redraws the picture on screen with it.
    void SetForcedAspect(float value);

    // Fixed decoding choices.
    int WantedAudio = 0, WantedVideo = 0, WantedSubtitle = -1;

    std::string PlayerFileName;

private:
    bool OpenPlayback(const std::string& fileName);
    void ClosePlayback(PlaybackState* is);
    void ResetState();
    void DeliverPendingLog();
    void RaiseFileOpen();
    void WaitForPlayThread();
    void FreeState(PlaybackState* is);

    TCustomPlayer* owner_;
    std::atomic<bool> handlersOff_{false};
    std::atomic<PlaybackState*> state_{nullptr};
    // Held while the user-interface thread works on the playback and while it is freed.
    std::recursive_mutex stateLock_;
    std::unique_ptr<TPlayThread> playThread_;
    std::unique_ptr<media::TAVProbe> probe_;
    TWindowHandle window_ = 0;
    int displayWidth_ = 0, displayHeight_ = 0;

    mutable std::mutex errorLock_;
    std::string lastError_;

    // A message of the read thread while the player has no playback yet.
    std::mutex pendingLock_;
    bool pendingFlag_ = false;
    TLogType pendingType_ = ltInfo;
    std::string pendingText_;

    std::int64_t lastPosition_ = NoPosition;
    std::unique_ptr<media::TFrameConverter> snapshotConverter_;
    std::unique_ptr<media::TFrameConverter> hookConverter_;
};

}  // namespace kv::player
