#pragma once
// Writing a 24-bit bitmap as a ".bmp" file (bottom-up rows, blue-green-red).
#include <string>

#include "media/Bitmap.h"

namespace kv::media {

// False when the file cannot be written.
bool SaveBitmapFile(const TBitmap& bitmap, const std::string& path);

}  // namespace kv::media
