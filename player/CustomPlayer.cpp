#include "player/FFPlay.h"
#include "player/PlayerCore.h"

namespace kv::player {

TCustomPlayer::TCustomPlayer(QObject* owner) : QObject(owner), core_(std::make_unique<TPlayerCore>(this)) {}

TCustomPlayer::~TCustomPlayer()
{
    core_->RemoveHandlers();
    core_->Stop(true);
}

bool TCustomPlayer::LoadAVLib(const std::string& folder) { return core_->LoadAVLib(folder); }
bool TCustomPlayer::AVLibLoaded() const { return core_->AVLibLoaded(); }
bool TCustomPlayer::Open(const std::string& fileName, TWindowHandle window) { return core_->Open(fileName, window); }
void TCustomPlayer::Stop(bool wait) { core_->Stop(wait); }
void TCustomPlayer::Pause() { core_->Pause(); }
void TCustomPlayer::Resume() { core_->Resume(); }
void TCustomPlayer::Seek(std::int64_t position, bool exact) { core_->Seek(position, exact); }
void TCustomPlayer::Step(int direction) { core_->Step(direction); }
media::TBitmap* TCustomPlayer::CurrentBitmap() { return core_->CurrentBitmap(); }
std::string TCustomPlayer::LastError() const { return core_->LastError(); }
std::string TCustomPlayer::PlayerFileName() const { return core_->PlayerFileName; }

TAudioVolume TCustomPlayer::AudioVolume() const { return core_->AudioVolume; }
void TCustomPlayer::SetAudioVolume(TAudioVolume value) { core_->AudioVolume = value < 0 ? 0 : value > 128 ? 128 : value; }
bool TCustomPlayer::Mute() const { return core_->Mute; }
void TCustomPlayer::SetMute(bool value) { core_->Mute = value; }
bool TCustomPlayer::DisableAudio() const { return core_->DisableAudio; }
void TCustomPlayer::SetDisableAudio(bool value) { core_->DisableAudio = value; }
bool TCustomPlayer::DisableVideo() const { return core_->DisableVideo; }
void TCustomPlayer::SetDisableVideo(bool value) { core_->DisableVideo = value; }
bool TCustomPlayer::DisableDisplay() const { return core_->DisableDisplay; }
void TCustomPlayer::SetDisableDisplay(bool value) { core_->DisableDisplay = value; }
int TCustomPlayer::FrameWidth() const { return core_->FrameWidth; }
void TCustomPlayer::SetFrameWidth(int value) { core_->FrameWidth = value; }
int TCustomPlayer::FrameHeight() const { return core_->FrameHeight; }
void TCustomPlayer::SetFrameHeight(int value) { core_->FrameHeight = value; }
int TCustomPlayer::ScreenWidth() const { return core_->ScreenWidth; }
void TCustomPlayer::SetScreenWidth(int value) { core_->ScreenWidth = value; }
int TCustomPlayer::ScreenHeight() const { return core_->ScreenHeight; }
void TCustomPlayer::SetScreenHeight(int value) { core_->ScreenHeight = value; }
bool TCustomPlayer::Hook() const { return core_->Hook; }
void TCustomPlayer::SetHook(bool value) { core_->Hook = value; }
float TCustomPlayer::DisplayAspect() const { return core_->ForcedAspect; }
void TCustomPlayer::SetDisplayAspect(float value) { core_->SetForcedAspect(value); }

}  // namespace kv::player
