#include "engine/LogList.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

namespace kv::engine {

TLogList::~TLogList()
{
    Clear();
}

TLogItem& TLogList::Find(std::uint32_t threadId)
{
    if (first_.ThreadID == 0 || first_.ThreadID == threadId) {
        first_.ThreadID = threadId;
        return first_;
    }
    for (TLogItem* item = first_.Next; item; item = item->Next)
        if (item->ThreadID == threadId) return *item;
    auto* item = new TLogItem;
    item->ThreadID = threadId;
    item->Next = first_.Next;
    first_.Next = item;
    return *item;
}

void TLogList::Clear()
{
    std::lock_guard guard(lock_);
    TLogItem* item = first_.Next;
    while (item) {
        TLogItem* next = item->Next;
        delete item;
        item = next;
    }
    first_.Next = nullptr;
    first_.ThreadID = 0;
    first_.Text.clear();
}

int TLogList::Count()
{
    std::lock_guard guard(lock_);
    int count = first_.ThreadID != 0 ? 1 : 0;
    for (TLogItem* item = first_.Next; item; item = item->Next) ++count;
    return count;
}

TLogList& LogList()
{
    static TLogList list;
    return list;
}

std::vector<std::string> CollectLogLines(TLogList& list, std::uint32_t threadId, void* context, const char* format,
                                         va_list args)
{
    std::lock_guard guard(list.Lock());
    TLogItem& item = list.Find(threadId);

    char buffer[LogBufferSize] = {};
    int used = 0;
    const AVClass* avc = context ? *static_cast<AVClass**>(context) : nullptr;
    if (avc && item.Text.empty()) {
        const char* name = avc->item_name ? avc->item_name(context) : avc->class_name;
        // As many hex digits as a pointer has, so addresses are never cut.
        used = std::snprintf(buffer, sizeof buffer, "[%s @ %0*" PRIXPTR "]", name ? name : "",
                             static_cast<int>(sizeof(void*) * 2), reinterpret_cast<std::uintptr_t>(avc));
    } else if (!item.Text.empty()) {
        used = std::snprintf(buffer, sizeof buffer, "%s", item.Text.c_str());
    }
    if (used < 0) used = 0;
    if (used > LogBufferSize - 1) used = LogBufferSize - 1;
    bool cut = used >= LogBufferSize - 1;
    if (format) {
        int wanted = std::vsnprintf(buffer + used, sizeof buffer - used, format, args);
        cut = cut || (wanted > 0 && used + wanted > LogBufferSize - 1);
    }

    std::string text(buffer);
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (auto lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    item.Text = text.substr(start);
    // A text cut at the buffer's end is delivered as it is: kept pending, it would
    // fill every later buffer of this thread and no line of it would come out again.
    if (cut && !item.Text.empty()) {
        lines.push_back(item.Text);
        item.Text.clear();
    }
    return lines;
}

int LibraryLevel(TLogLevel level)
{
    switch (level) {
    case llQuiet: return AV_LOG_QUIET;
    case llError: return AV_LOG_ERROR;
    case llInfo: return AV_LOG_INFO;
    case llDebug: return AV_LOG_DEBUG;
    case llAll: break;
    }
    return AV_LOG_TRACE;
}

TLogLevel LogLevelFromLibrary(int libraryLevel)
{
    if (libraryLevel < 0) return llQuiet;                  // AV_LOG_QUIET
    if (libraryLevel <= AV_LOG_ERROR) return llError;      // panic, fatal, error
    if (libraryLevel <= AV_LOG_INFO) return llInfo;        // warning, info
    if (libraryLevel <= AV_LOG_DEBUG) return llDebug;      // verbose, debug
    return llAll;                                          // trace
}

namespace {
std::atomic<int> cachedLevel{AV_LOG_INFO};
}

void SetCachedLogLevel(int libraryLevel)
{
    cachedLevel.store(libraryLevel, std::memory_order_relaxed);
}

int CachedLogLevel()
{
    return cachedLevel.load(std::memory_order_relaxed);
}

}  // namespace kv::engine
