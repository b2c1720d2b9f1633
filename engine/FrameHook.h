#pragma once
// Video hook plug-ins: shared objects exporting Configure, Process and Release,
// chained per task and handed every decoded picture before it is scaled.
#include <cstdint>
#include <memory>
#include <string>

namespace kv::engine {

// A picture as the media libraries lay it out: four plane pointers, four line sizes.
struct TFrameHookPicture {
    std::uint8_t* data[4];
    int linesize[4];
};

// The plug-in interface (C linkage, looked up by these exact names).
extern "C" {
using TConfigureFunc = int (*)(void** ctxp, int argc, char* argv[]);
using TProcessFunc = void (*)(void* ctx, TFrameHookPicture* picture, int pixFmt, int width, int height,
                              std::int64_t pts);
using TReleaseFunc = void (*)(void* ctx);
}

struct TFrameHookEntry {
    TFrameHookEntry* Next = nullptr;
    TConfigureFunc Configure = nullptr;
    TProcessFunc Process = nullptr;
    TReleaseFunc Release = nullptr;
    void* Context = nullptr;
    // The argument texts handed to Configure when the hook came from an option; a
    // plug-in may keep pointers into them, so they live as long as the hook.
    std::unique_ptr<char[]> Arguments;
};

// The head record of a task's chain; hooks are appended and run in order.
struct TFrameHookChain {
    TFrameHookEntry* Next = nullptr;
};

// Most tokens of one hook command line; the argument array has one more slot for
// the end marker.
constexpr int MaxFrameHookArguments = 63;

// 0 on success, a negative code on failure: -2 no arguments, no Process, or no
// Configure for a command line with arguments; -1 the library cannot be loaded;
// -12 out of memory; -22 Configure failed. Failures are logged through the
// libraries' log when it is bound.
int AddFrameHook(TFrameHookChain& chain, int argc, char* argv[]);
void ProcessFrameHooks(TFrameHookChain& chain, std::uint8_t* data[4], int linesize[4], int pixFmt, int width,
                       int height, std::int64_t pts);
// Calls every Release in chain order, frees the records and empties the chain.
void ReleaseFrameHooks(TFrameHookChain& chain);

// The "vhook" option: tokenises `value` into a plug-in command line and adds the
// hook; returns AddFrameHook's result. `argumentBuffer` receives the 8-bit copy of
// the value that was tokenised; the hook keeps its own copy of the argument
// texts, so several hooks of one task never share them.
int AddFrameHookFromOption(TFrameHookChain& chain, const std::string& value, std::string& argumentBuffer);

}  // namespace kv::engine
