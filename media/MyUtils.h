#pragma once
// Small file and text helpers shared by the probe, the engine and the player.
#include <cstdint>
#include <string>

namespace kv::media {

// Size in bytes from the file's directory entry; -1 when it does not exist.
std::int64_t GetFileSizeByName(const std::string& fileName);

// Text before the first `delimiter`; with `remove`, `source` keeps what follows it
// (or becomes empty when the delimiter does not occur).
std::string SplitFirst(std::string& source, const std::string& delimiter, bool remove);

// `text` without the blanks at either end: every control character and the space.
std::string Trim(const std::string& text);
// `text` without the spaces and tabs at either end (the settings file's rule).
std::string TrimSpacesAndTabs(const std::string& text);

}  // namespace kv::media
