#pragma once
// The display and audio library, loaded at run time and bound by name like the
// media libraries: one list of entry points, one process-wide slot per name in
// namespace sdl (`sdl::SDL_Init(...)`).
#include <string>

#include <SDL/SDL.h>

#define KV_SDL_ENTRIES(X) \
    X(SDL_Init) X(SDL_Quit) X(SDL_GetError) X(SDL_AddTimer) \
    X(SDL_OpenAudio) X(SDL_PauseAudio) X(SDL_CloseAudio) X(SDL_MixAudio) \
    X(SDL_WaitEvent) X(SDL_PushEvent) X(SDL_EventState) \
    X(SDL_GetVideoInfo) X(SDL_SetVideoMode) X(SDL_UpdateRect) X(SDL_MapRGB) X(SDL_FillRect) \
    X(SDL_CreateYUVOverlay) X(SDL_LockYUVOverlay) X(SDL_UnlockYUVOverlay) \
    X(SDL_DisplayYUVOverlay) X(SDL_FreeYUVOverlay) \
    X(SDL_CreateMutex) X(SDL_mutexP) X(SDL_mutexV) X(SDL_DestroyMutex) \
    X(SDL_CreateCond) X(SDL_DestroyCond) X(SDL_CondSignal) X(SDL_CondWait) \
    X(SDL_CreateThread) X(SDL_WaitThread)

#define KV_DECLARE_SDL_SLOT(name) extern decltype(&::name) name;
namespace sdl { KV_SDL_ENTRIES(KV_DECLARE_SDL_SLOT) }
#undef KV_DECLARE_SDL_SLOT

namespace kv::player {

// The library's file name.
extern const char* const SDLFileName;

// Loads and binds the library from `folder` (the players' library folder; empty:
// the system's search order). True when it is loaded and bound; a second call
// after success does nothing.
bool LoadSDL(const std::string& folder);
bool SDLLoaded();
// The text of the last load or bind failure.
std::string SDLLastErrMsg();
// Clears every slot and frees the library.
void UnloadSDL();

// The library's text for its last error, trailing white space removed.
std::string SDLErrorText();

}  // namespace kv::player
