#pragma once
// Running the event loop of a test until something has happened.
#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

namespace kvtest {

// Runs the event loop until `done` holds; the limit only keeps a broken build from hanging.
inline bool WaitFor(const std::function<bool()>& done, int limitSeconds = 300)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QCoreApplication::processEvents();
    return true;
}

}  // namespace kvtest
