#pragma once
// The per-thread store of library log text that has not yet reached a line end,
// and the turning of library log calls into whole lines.
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineEvents.h"

namespace kv::engine {

struct TLogItem {
    std::uint32_t ThreadID = 0;  // 0: the embedded item is free
    std::string Text;            // pending text without a line end
    TLogItem* Next = nullptr;
};

class TLogList {
public:
    TLogList() = default;
    ~TLogList();
    TLogList(const TLogList&) = delete;
    TLogList& operator=(const TLogList&) = delete;

    // The item of `threadId`, claimed or created when it has none. Call under Lock().
    TLogItem& Find(std::uint32_t threadId);
    // Frees the linked items and frees the embedded one. Takes the lock itself.
    void Clear();
    int Count();  // items in use; takes the lock itself

    // Guards the items only: held briefly, never while another lock is taken.
    std::mutex& Lock() { return lock_; }

private:
    TLogItem first_;
    std::mutex lock_;
};

// The one store of the process.
TLogList& LogList();

// Size of the buffer a library message is built in; longer text is cut off.
constexpr int LogBufferSize = 2048;

// Adds one library message of `threadId` to its pending text and returns the whole
// lines it completes (line ends dropped); the rest stays pending. A context with a
// class, on a thread without pending text, starts the text with
// "[<item name> @ <class address in upper-case hex, pointer width>]".
std::vector<std::string> CollectLogLines(TLogList& list, std::uint32_t threadId, void* context, const char* format,
                                         va_list args);

// The engine's levels and the libraries' (AV_LOG_*), both ways: the edge where the
// libraries' log callback and log level meet the engine.
int LibraryLevel(TLogLevel level);
TLogLevel LogLevelFromLibrary(int libraryLevel);

// The libraries' level as last read back; library messages above it are dropped
// before any lock is taken.
void SetCachedLogLevel(int libraryLevel);
int CachedLogLevel();

}  // namespace kv::engine
