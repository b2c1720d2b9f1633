#pragma once
// Running work on the user-interface thread: the thread of the Qt application object.
#include <functional>

namespace kv::platform {

// True on the thread of the Qt application object (or when there is none).
bool IsUiThread();

// Runs `work` on the UI thread and waits for it; a direct call when already there
// or when no application object exists.
void RunOnUiThreadAndWait(const std::function<void()>& work);

}  // namespace kv::platform
