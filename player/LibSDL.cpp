#include "player/LibSDL.h"

#include "media/StubMacros.h"
#include "platform/DynamicLibrary.h"

#define KV_DEFINE_SDL_SLOT(name) decltype(&::name) name = nullptr;
#define KV_BIND_SDL_SLOT(name) \
    sdl::name = reinterpret_cast<decltype(sdl::name)>(kv::media::BindEntryPoint(#name, SDLFileName, Module));
#define KV_UNBIND_SDL_SLOT(name) sdl::name = nullptr;

namespace sdl { KV_SDL_ENTRIES(KV_DEFINE_SDL_SLOT) }

namespace kv::player {

const char* const SDLFileName = "libSDL-1.2.so.0";

namespace {

platform::ModuleHandle Module = nullptr;
bool Bound = false;
std::string LastErrMsg;

void BindAll() { KV_SDL_ENTRIES(KV_BIND_SDL_SLOT) }
void UnbindAll() { KV_SDL_ENTRIES(KV_UNBIND_SDL_SLOT) }

}  // namespace

bool LoadSDL(const std::string& folder)
{
    if (!Module) {
        std::string dir = folder;
        if (!dir.empty() && dir.back() != '/') dir += '/';
        Module = platform::LoadLibraryFromFolder(dir, SDLFileName);
        if (!Module) {
            LastErrMsg = "Load library " + dir + SDLFileName + " error: " + platform::LastLoadErrorText();
            return false;
        }
    }
    if (!Bound) {
        try {
            BindAll();
            Bound = true;
        } catch (const std::exception& e) {
            LastErrMsg = e.what();
        }
    }
    if (!Bound) UnloadSDL();
    return Bound;
}

bool SDLLoaded()
{
    return Module && Bound;
}

std::string SDLLastErrMsg()
{
    return LastErrMsg;
}

void UnloadSDL()
{
    UnbindAll();
    Bound = false;
    if (Module) platform::FreeLibrary(Module);
    Module = nullptr;
}

std::string SDLErrorText()
{
    std::string text = sdl::SDL_GetError ? sdl::SDL_GetError() : "";
    const auto last = text.find_last_not_of(" \t\r\n");
    text.erase(last == std::string::npos ? 0 : last + 1);
    const auto first = text.find_first_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first);
}

}  // namespace kv::player
