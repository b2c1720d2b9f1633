// Stand-in for the video hook chain so that the engine links; the real chain
// replaces this file.
#include "engine/FrameHook.h"

namespace kv::engine {

int AddFrameHook(TFrameHookChain&, int, char*[])
{
    return -1;
}

void ProcessFrameHooks(TFrameHookChain&, std::uint8_t*[4], int[4], int, int, int, std::int64_t) {}

void ReleaseFrameHooks(TFrameHookChain&) {}

int AddFrameHookFromOption(TFrameHookChain&, const std::string&, std::string&)
{
    return -1;
}

}  // namespace kv::engine
