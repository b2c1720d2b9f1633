#pragma once
// The one lock around the preview flags and the frame previews of every task.
#include <mutex>

namespace kv::engine {

std::mutex& PreviewLock();

// Takes PreviewLock on the UI thread without blocking a worker that holds it
// while it waits for the UI thread: such hand-offs are run meanwhile.
std::unique_lock<std::mutex> LockPreviewFromUi();

}  // namespace kv::engine
