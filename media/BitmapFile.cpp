#include "media/BitmapFile.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace kv::media {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    Put16(out, static_cast<std::uint16_t>(v));
    Put16(out, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

bool SaveBitmapFile(const TBitmap& bitmap, const std::string& path)
{
    const std::uint32_t headerSize = 14 + 40;
    const std::uint32_t imageSize = static_cast<std::uint32_t>(bitmap.Stride()) * bitmap.Height();
    std::vector<std::uint8_t> header;
    header.reserve(headerSize);
    header.push_back('B');
    header.push_back('M');
    Put32(header, headerSize + imageSize);
    Put32(header, 0);
    Put32(header, headerSize);
    Put32(header, 40);
    Put32(header, static_cast<std::uint32_t>(bitmap.Width()));
    Put32(header, static_cast<std::uint32_t>(bitmap.Height()));
    Put16(header, 1);
    Put16(header, 24);
    Put32(header, 0);  // no compression
    Put32(header, imageSize);
    Put32(header, 2835);  // 72 dots per inch
    Put32(header, 2835);
    Put32(header, 0);
    Put32(header, 0);

    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    for (int y = bitmap.Height() - 1; ok && y >= 0; --y)
        ok = std::fwrite(bitmap.ScanLine(y), 1, static_cast<std::size_t>(bitmap.Stride()), f) ==
             static_cast<std::size_t>(bitmap.Stride());
    ok = std::fclose(f) == 0 && ok;
    if (!ok) std::remove(path.c_str());
    return ok;
}

}  // namespace kv::media
