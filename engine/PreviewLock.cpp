#include "engine/PreviewLock.h"

#include <chrono>
#include <thread>

#include "platform/UiThread.h"

namespace kv::engine {

std::mutex& PreviewLock()
{
    static std::mutex lock;
    return lock;
}

std::unique_lock<std::mutex> LockPreviewFromUi()
{
    std::unique_lock lock(PreviewLock(), std::try_to_lock);
    while (!lock.owns_lock()) {
        platform::ProcessPendingUiCalls();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.try_lock();
    }
    return lock;
}

}  // namespace kv::engine
