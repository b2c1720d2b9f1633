#pragma once
// The panel a player draws into: a native child window that Qt never paints, so
// that the display library's pictures stay; a click gives it the keyboard focus
// and then reaches the host's own handling like any widget's.
#include <QWidget>

#include "player/FFPlay.h"

namespace kv::app {

class TPlayerHostWidget : public QWidget {
public:
    explicit TPlayerHostWidget(QWidget* parent = nullptr);

    // The window handle to give the player's Open.
    player::TWindowHandle PlayerWindow();

    QPaintEngine* paintEngine() const override { return nullptr; }

protected:
    void paintEvent(QPaintEvent*) override {}
};

// Makes `host` the whole of the top-level `window`, `size` large, shows it and
// waits until the panel is on screen; false when it does not appear in `timeoutMs`.
bool ShowAsWholeWindow(QWidget& window, TPlayerHostWidget* host, QSize size, int timeoutMs = 5000);

// The display library draws into X11 windows: on a desktop without a choice made,
// Qt runs through X11 (XWayland on Wayland desktops). Call before the application object.
void PreferX11Platform();

}  // namespace kv::app
