#include "player/PlayThread.h"

#include "player/LibSDL.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

TPlayThread::TPlayThread(TPlayerCore& player) : player_(player), thread_([this] { Execute(); }) {}

TPlayThread::~TPlayThread()
{
    WaitFor();
}

void TPlayThread::WaitFor()
{
    if (thread_.joinable()) thread_.join();
}

void TPlayThread::Execute()
{
    player_.RaiseState(psPlay);
    SDL_Event event;
    for (;;) {
        if (!sdl::SDL_WaitEvent(&event)) {
            // The event queue is gone: nothing more will arrive.
            player_.DoExit();
            break;
        }
        PlaybackState* is = player_.State();
        if (!is) {
            player_.QuitSDL();
            break;
        }
        bool leave = false;
        switch (event.type) {
        case SDL_QUIT:
        case QuitEvent:
            player_.DoExit();
            leave = true;
            break;
        case SDL_VIDEORESIZE: player_.ResizeSurface(event.resize.w, event.resize.h); break;
        case SDL_VIDEOEXPOSE:
            is->BandsStale = true;
            VideoDisplay(is);
            break;
        case AllocEvent:
            VideoOpen(is);
            AllocPicture(is);
            break;
        case RefreshEvent: VideoRefresh(is); break;
        default: break;
        }
        if (leave) break;
    }
    player_.DetachProbe();
    player_.RaiseState(psStop);
    finished_ = true;
}

}  // namespace kv::player
