#include "app/ActionGuard.h"

#include <cstdio>

namespace kv::app {

void ReportEscapedError(const char* action, const char* reason)
{
    std::fprintf(stderr, "kestravo: %s: %s\n", action, reason);
    std::fflush(stderr);
}

}  // namespace kv::app
