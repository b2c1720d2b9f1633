#pragma once
// Video hook plug-ins: shared objects exporting Configure, Process and Release,
// chained per task and handed every decoded picture before it is scaled.
#include <cstdint>
#include <string>

namespace kv::engine {

// The plug-in interface (C linkage, looked up by these exact names).
using TConfigureFunc = int (*)(void** ctxp, int argc, char* argv[]);
using TProcessFunc = void (*)(void* ctx, std::uint8_t* data[4], int linesize[4], int pixFmt, int width,
                              int height, std::int64_t pts);
using TReleaseFunc = void (*)(void* ctx);

struct TFrameHookEntry {
    TFrameHookEntry* Next = nullptr;
    TConfigureFunc Configure = nullptr;
    TProcessFunc Process = nullptr;
    TReleaseFunc Release = nullptr;
    void* Context = nullptr;
};

// The head record of a task's chain; hooks are appended and run in order.
struct TFrameHookChain {
    TFrameHookEntry* Next = nullptr;
};

// 0 on success, a negative code on failure.
int AddFrameHook(TFrameHookChain& chain, int argc, char* argv[]);
void ProcessFrameHooks(TFrameHookChain& chain, std::uint8_t* data[4], int linesize[4], int pixFmt, int width,
                       int height, std::int64_t pts);
void ReleaseFrameHooks(TFrameHookChain& chain);

// The "vhook" option: tokenises `value` into a plug-in command line kept in
// `argumentBuffer` (which must outlive the hook) and adds the hook; returns
// AddFrameHook's result.
int AddFrameHookFromOption(TFrameHookChain& chain, const std::string& value, std::string& argumentBuffer);

}  // namespace kv::engine
