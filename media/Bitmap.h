#pragma once
// The exchange format for preview frames, hooks and snapshots: a 24-bit bitmap
// with blue, green, red byte order and rows from the top down.
#include <cstdint>
#include <vector>

namespace kv::media {

class TBitmap {
public:
    TBitmap(int width, int height)
        : width_(width), height_(height), stride_((width * 3 + 3) & ~3),
          pixels_(static_cast<std::size_t>(stride_) * height, 0) {}

    int Width() const { return width_; }
    int Height() const { return height_; }
    // Bytes per row, padded to four bytes as device-independent bitmaps are.
    int Stride() const { return stride_; }
    std::uint8_t* ScanLine(int row) { return pixels_.data() + static_cast<std::size_t>(row) * stride_; }
    const std::uint8_t* ScanLine(int row) const { return pixels_.data() + static_cast<std::size_t>(row) * stride_; }
    std::uint8_t* Bits() { return pixels_.data(); }
    const std::uint8_t* Bits() const { return pixels_.data(); }

private:
    int width_;
    int height_;
    int stride_;
    std::vector<std::uint8_t> pixels_;
};

}  // namespace kv::media
