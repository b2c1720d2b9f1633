#include "engine/TextFormat.h"

#include <cstdarg>
#include <cstdio>

namespace kv::engine {

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0) std::vsnprintf(result.data(), result.size() + 1, format, args);
    va_end(args);
    return result;
}

}  // namespace kv::engine
