#include "app/ListColumns.h"

#include <algorithm>

namespace kv::app {

namespace {

// Type, Original, Trimmed and Status: their texts are short and of one length.
constexpr int TypeWidth = 45, LengthWidth = 64, StatusWidth = 70;
constexpr int ShortColumns = TypeWidth + 2 * LengthWidth + StatusWidth;
constexpr int NameLeast = 80, NameMost = 260, DetailsLeast = 100;

}  // namespace

TColumnWidths SharedColumnWidths(int available)
{
    // Details keeps its least width in view once the names have theirs.
    const int forNames = available - ShortColumns - DetailsLeast;
    const int name = forNames >= 2 * NameLeast ? std::min(forNames / 2, NameMost)
                                               : std::max(NameLeast, (available - ShortColumns) / 2);
    const int details = std::max(DetailsLeast, available - ShortColumns - 2 * name);
    return {name, TypeWidth, LengthWidth, LengthWidth, StatusWidth, name, details};
}

}  // namespace kv::app
