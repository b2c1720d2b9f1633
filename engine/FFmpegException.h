#pragma once
// The one error class the engine raises itself; its message is the text the user
// or the log sees.
#include <stdexcept>
#include <string>

namespace kv::engine {

class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kv::engine
