#pragma once
// The display library inside a native window of the host. The library paints the
// window and follows its size (the host's resize and expose notices are passed on
// as the library's own events); the host keeps all its input handling, and once
// playback has ended the window is the host's alone again. One window per process.
#include <string>

#include "player/FFPlay.h"

namespace kv::player {

// Starts the display library's timer, audio and video in `window` (0: a window of
// its own). A machine without a sound device still gets picture and timers; its
// sound then fails when the device is opened. False with the library's text.
bool StartSDLInWindow(TWindowHandle window, std::string& error);

// Ends the window routing and shuts the display library down.
void QuitSDLInWindow();

}  // namespace kv::player
