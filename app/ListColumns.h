#pragma once
// How the file list's columns share its width until the user sizes them: the short
// columns (type, lengths, status) keep theirs, Source and Destination share the rest
// alike up to a comfortable width beside the least width of Details, which grows only
// after them (at the narrowest it lies past the right edge rather than squeezing the names).
#include <array>

namespace kv::app {

inline constexpr int ListColumnCount = 7;
using TColumnWidths = std::array<int, ListColumnCount>;

// The widths for a list whose rows are `available` pixels wide.
TColumnWidths SharedColumnWidths(int available);

}  // namespace kv::app
