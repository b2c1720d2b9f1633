#include "player/HostWindow.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QResizeEvent>
#include <QWindow>

#include <cstdlib>
#include <mutex>

#include "player/LibSDL.h"
#include "platform/UiThread.h"

namespace kv::player {

namespace {

// Passes the host window's size changes and exposures on to the display library
// while it plays in that window.
class TWindowRouting : public QObject {
public:
    void Route(TWindowHandle window)
    {
        QWindow* target = FindWindow(window);
        if (target != window_) {
            if (window_) window_->removeEventFilter(this);
            window_ = target;
            if (window_) window_->installEventFilter(this);
        }
        std::lock_guard lock(mutex_);
        active_ = true;
    }

    void End()
    {
        std::lock_guard lock(mutex_);
        active_ = false;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != window_) return false;
        if (event->type() == QEvent::Resize) {
            const QSize size = static_cast<QResizeEvent*>(event)->size() * window_->devicePixelRatio();
            SDL_Event e{};
            e.type = SDL_VIDEORESIZE;
            e.resize.w = size.width();
            e.resize.h = size.height();
            Push(e);
        } else if (event->type() == QEvent::Expose) {
            SDL_Event e{};
            e.type = SDL_VIDEOEXPOSE;
            Push(e);
        }
        return false;
    }

private:
    static QWindow* FindWindow(TWindowHandle window)
    {
        if (!window || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;
        for (QWindow* w : QGuiApplication::allWindows())
            if (w->handle() && static_cast<TWindowHandle>(w->winId()) == window) return w;
        return nullptr;
    }

    void Push(SDL_Event& e)
    {
        std::lock_guard lock(mutex_);
        if (active_) sdl::SDL_PushEvent(&e);
    }

    QPointer<QWindow> window_;
    std::mutex mutex_;
    bool active_ = false;
};

TWindowRouting* Routing()
{
    static TWindowRouting* routing = new TWindowRouting;  // lives as long as the process
    return routing;
}

}  // namespace

// SDL_Quit below ends the display library as a whole (it has one state per process),
// not an object a handle could hold.
bool StartSDLInWindow(TWindowHandle window, std::string& error)
{
    if (window) ::setenv("SDL_WINDOWID", std::to_string(window).c_str(), 1);
    int result = sdl::SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    if (result != 0) {
        // Without a sound device the picture still plays; the sound reports its
        // own failure when the stream is opened.
        error = SDLErrorText();
        sdl::SDL_Quit();
        result = sdl::SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO);
    }
    if (window) ::unsetenv("SDL_WINDOWID");
    if (result != 0) {
        error = SDLErrorText();
        sdl::SDL_Quit();
        return false;
    }
    if (window && platform::IsUiThread()) Routing()->Route(window);
    return true;
}

void QuitSDLInWindow()
{
    Routing()->End();
    sdl::SDL_Quit();
}

}  // namespace kv::player
