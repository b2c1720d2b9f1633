#pragma once
// Owning handles for the display library's objects the player makes (mutex,
// condition, overlay), freeing through their slots like media/AvHandles.h: the one
// place that calls the library's destroy and free functions.
#include "media/AvHandles.h"
#include "player/LibSDL.h"

namespace kv::player {

using SdlMutexHandle = media::Viewed<media::HandleByValue<SDL_mutex, sdl::SDL_DestroyMutex>>;
using SdlCondHandle = media::Viewed<media::HandleByValue<SDL_cond, sdl::SDL_DestroyCond>>;
using SdlOverlayHandle = media::Viewed<media::HandleByValue<SDL_Overlay, sdl::SDL_FreeYUVOverlay>>;

}  // namespace kv::player
