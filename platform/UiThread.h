#pragma once
// Running work on the user-interface thread: the thread of the Qt application object.
#include <functional>

namespace kv::platform {

// True on the thread of the Qt application object (or when there is none).
bool IsUiThread();

// Runs `work` on the UI thread and waits for it; a direct call when already there
// or when no application object exists.
void RunOnUiThreadAndWait(const std::function<void()>& work);

// The same for work that belongs to `owner`. Returns false when the hand-off was
// cancelled (CancelUiCalls) before the UI thread ran it; the work then never runs.
bool RunOnUiThreadAndWait(const std::function<void()>& work, const void* owner);

// On the UI thread: runs every hand-off still waiting, at once. Lets the UI thread
// make progress for waiting workers while it waits for something itself.
void ProcessPendingUiCalls();

// Drops the waiting hand-offs of `owner` (any thread) and releases their callers.
// A hand-off that is already running on the UI thread completes normally.
void CancelUiCalls(const void* owner);

// True while at least one hand-off waits for the UI thread.
bool HasPendingUiCalls();

}  // namespace kv::platform
