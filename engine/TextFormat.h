#pragma once
// printf-style formatting into a string, for the engine's messages.
#include <string>

namespace kv::engine {

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);

}  // namespace kv::engine
