#pragma once
// The player component: plays one media file at a time inside a native window of
// the host (video in the window, sound on the default audio device). Events are
// callbacks; OnPosition and OnLog reach the user-interface thread with the player's
// threads waiting, OnState arrives on the thread where the change happens.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QObject>

#include "media/Bitmap.h"

namespace kv::player {

enum TPlayState { psPlay = 0, psPause, psResume, psStep, psStop, psEnd };
enum TLogType { ltInfo = 0, ltError };
using TAudioVolume = int;  // 0 to 128

class TCustomPlayer;
class TPlayerCore;

using TFileOpenEvent = std::function<void(TCustomPlayer* Sender, std::int64_t ADuration, int AFrameWidth,
                                          int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using THookEvent = std::function<void(TCustomPlayer* Sender, media::TBitmap& ABitmap, std::int64_t APTS)>;
using TLogEvent = std::function<void(TCustomPlayer* Sender, TLogType AType, const std::string& AMsg)>;
using TPositionEvent = std::function<void(TCustomPlayer* Sender, std::int64_t APTS)>;
using TPlayStateEvent = std::function<void(TCustomPlayer* Sender, TPlayState AState)>;

// A native window of the host (an X11 window id); 0 lets the display library open its own.
using TWindowHandle = std::uintptr_t;

class TCustomPlayer : public QObject {
public:
    explicit TCustomPlayer(QObject* owner = nullptr);
    ~TCustomPlayer() override;
    TCustomPlayer(const TCustomPlayer&) = delete;
    TCustomPlayer& operator=(const TCustomPlayer&) = delete;

    // Loads the media libraries of the player and the display library from `folder`.
    bool LoadAVLib(const std::string& folder);
    bool AVLibLoaded() const;

    // Stops any playback, opens `fileName` and starts playing it in `window`.
    // False with the reason in LastError.
    bool Open(const std::string& fileName, TWindowHandle window);
    // Ends playback; with `wait`, returns once everything is released.
    void Stop(bool wait);
    void Pause();
    void Resume();
    // Jumps to `position` microseconds from the start of the file: to the first
    // picture at or after it, or, not `exact`, to the key frame before it (quick,
    // for following a dragged slider). The sound goes on from the same time.
    void Seek(std::int64_t position, bool exact = true);
    // While paused (a playing file pauses first): shows the next picture
    // (`direction` > 0) or the previous one (< 0).
    void Step(int direction);
    // The picture now on screen, owned by the player (valid until the next call).
    media::TBitmap* CurrentBitmap();

    std::string LastError() const;
    std::string PlayerFileName() const;

    TFileOpenEvent OnFileOpen;
    THookEvent OnHook;
    TLogEvent OnLog;
    TPositionEvent OnPosition;
    TPlayStateEvent OnState;

protected:
    TAudioVolume AudioVolume() const;
    void SetAudioVolume(TAudioVolume value);
    bool Mute() const;
    void SetMute(bool value);
    bool DisableAudio() const;
    void SetDisableAudio(bool value);
    bool DisableVideo() const;
    void SetDisableVideo(bool value);
    bool DisableDisplay() const;
    void SetDisableDisplay(bool value);
    int FrameWidth() const;
    void SetFrameWidth(int value);
    int FrameHeight() const;
    void SetFrameHeight(int value);
    int ScreenWidth() const;
    void SetScreenWidth(int value);
    int ScreenHeight() const;
    void SetScreenHeight(int value);
    bool Hook() const;
    void SetHook(bool value);
    // The display aspect the picture is shown with; 0 (the default) keeps the file's.
    float DisplayAspect() const;
    void SetDisplayAspect(float value);
    std::string Version() const { return "1.2"; }

private:
    std::unique_ptr<TPlayerCore> core_;
};

// The player the system creates: every property readable and writable.
class TFFPlayer : public TCustomPlayer {
public:
    using TCustomPlayer::TCustomPlayer;

    using TCustomPlayer::AudioVolume;
    using TCustomPlayer::DisableAudio;
    using TCustomPlayer::DisableDisplay;
    using TCustomPlayer::DisableVideo;
    using TCustomPlayer::FrameHeight;
    using TCustomPlayer::FrameWidth;
    using TCustomPlayer::Hook;
    using TCustomPlayer::Mute;
    using TCustomPlayer::ScreenHeight;
    using TCustomPlayer::ScreenWidth;
    using TCustomPlayer::SetAudioVolume;
    using TCustomPlayer::SetDisableAudio;
    using TCustomPlayer::SetDisableDisplay;
    using TCustomPlayer::SetDisableVideo;
    using TCustomPlayer::SetFrameHeight;
    using TCustomPlayer::SetFrameWidth;
    using TCustomPlayer::SetHook;
    using TCustomPlayer::DisplayAspect;
    using TCustomPlayer::SetDisplayAspect;
    using TCustomPlayer::SetMute;
    using TCustomPlayer::SetScreenHeight;
    using TCustomPlayer::SetScreenWidth;
    using TCustomPlayer::Version;
};

}  // namespace kv::player
