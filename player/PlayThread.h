#pragma once
// The player's thread for the display event loop: it reports psPlay, serves the
// display library's events (refresh, picture allocation, resize, expose, quit)
// until playback ends, and reports psStop.
#include <atomic>
#include <thread>

namespace kv::player {

class TPlayerCore;

class TPlayThread {
public:
    // Starts running at once.
    explicit TPlayThread(TPlayerCore& player);
    ~TPlayThread();  // waits for the thread
    TPlayThread(const TPlayThread&) = delete;
    TPlayThread& operator=(const TPlayThread&) = delete;

    bool Finished() const { return finished_.load(); }
    void WaitFor();

private:
    void Execute();

    TPlayerCore& player_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace kv::player
