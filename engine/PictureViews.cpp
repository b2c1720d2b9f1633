#include "engine/PictureViews.h"

#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "media/AVUtilStubs.h"

namespace kv::engine {

namespace {

// Formats whose planes are plain arrays of whole bytes per sample.
const AVPixFmtDescriptor* CuttableFormat(int pixFmt)
{
    if (pixFmt < 0) return nullptr;
    const AVPixFmtDescriptor* desc = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixFmt));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)))
        return nullptr;
    return desc;
}

// True when plane `p` holds chroma samples (subsampled like the format says).
bool ChromaPlane(const AVPixFmtDescriptor* desc, int p)
{
    if (desc->flags & AV_PIX_FMT_FLAG_RGB) return false;
    for (int c = 1; c < 3 && c < desc->nb_components; ++c)
        if (desc->comp[c].plane == p && desc->comp[0].plane != p) return true;
    return false;
}

// Bytes from one sample of plane `p` to the next.
int PlaneStep(const AVPixFmtDescriptor* desc, int p)
{
    int step = 0;
    for (int c = 0; c < desc->nb_components; ++c)
        if (desc->comp[c].plane == p && (step == 0 || desc->comp[c].step < step)) step = desc->comp[c].step;
    return step;
}

bool Divides(int value, int shift)
{
    return (value & ((1 << shift) - 1)) == 0;
}

// Bytes per row of every plane for `width` columns (0 for none).
bool RowBytes(int out[4], AVPixelFormat fmt, int width)
{
    if (width == 0) {
        for (int p = 0; p < 4; ++p) out[p] = 0;
        return true;
    }
    return av::av_image_fill_linesizes(out, fmt, width) >= 0;
}

// One repeating unit of the pad colour in plane `p`: each component's value at its
// offsets. Components that do not fill whole bytes leave zeros.
int ColourPattern(const AVPixFmtDescriptor* desc, int p, int y, int u, int v, std::uint8_t pattern[16])
{
    std::memset(pattern, 0, 16);
    int length = 1;
    for (int c = 0; c < desc->nb_components; ++c)
        if (desc->comp[c].plane == p && desc->comp[c].step > length) length = desc->comp[c].step;
    if (length > 16) return 0;
    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    for (int c = 0; c < desc->nb_components; ++c) {
        const AVComponentDescriptor& comp = desc->comp[c];
        if (comp.plane != p || comp.step <= 0) continue;
        const bool alpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) && c == desc->nb_components - 1;
        const int bits = comp.depth + comp.shift;
        unsigned value;
        if (alpha) value = (1u << comp.depth) - 1;
        else if (rgb) value = 0;
        else {
            const int colour = desc->nb_components < 3 ? y : c == 0 ? y : c == 1 ? u : v;
            value = comp.depth >= 8 ? static_cast<unsigned>(colour) << (comp.depth - 8)
                                    : static_cast<unsigned>(colour) >> (8 - comp.depth);
        }
        value <<= comp.shift;
        const int bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : 0;
        if (bytes == 0) return length;   // packed bit fields: black
        for (int k = comp.offset; k + bytes <= length; k += comp.step) {
            if (bytes == 1) pattern[k] = static_cast<std::uint8_t>(value);
            else if (desc->flags & AV_PIX_FMT_FLAG_BE) {
                pattern[k] = static_cast<std::uint8_t>(value >> 8);
                pattern[k + 1] = static_cast<std::uint8_t>(value);
            } else {
                pattern[k] = static_cast<std::uint8_t>(value);
                pattern[k + 1] = static_cast<std::uint8_t>(value >> 8);
            }
        }
    }
    return length;
}

void FillBytes(std::uint8_t* row, int from, int to, const std::uint8_t* pattern, int length)
{
    if (length == 1) {
        std::memset(row + from, pattern[0], static_cast<std::size_t>(to - from));
        return;
    }
    for (int i = from; i < to; ++i) row[i] = pattern[i % length];
}

}  // namespace

int CropView(TPictureView& view, std::uint8_t* const data[4], const int linesize[4], int pixFmt, int top, int left)
{
    const AVPixFmtDescriptor* desc = CuttableFormat(pixFmt);
    if (!desc || top < 0 || left < 0) return -1;
    if (!Divides(top, desc->log2_chroma_h) || !Divides(left, desc->log2_chroma_w)) return -1;
    for (int p = 0; p < 4; ++p) {
        view.Data[p] = data[p];
        view.Linesize[p] = linesize[p];
        if (!data[p]) continue;
        const bool chroma = ChromaPlane(desc, p);
        const int rows = chroma ? top >> desc->log2_chroma_h : top;
        const int columns = chroma ? left >> desc->log2_chroma_w : left;
        view.Data[p] += static_cast<std::ptrdiff_t>(rows) * linesize[p] +
                        static_cast<std::ptrdiff_t>(columns) * PlaneStep(desc, p);
    }
    return 0;
}

int PadPicture(std::uint8_t* const data[4], const int linesize[4], const std::uint8_t* const srcData[4],
               const int srcLinesize[4], int height, int width, int pixFmt, int top, int bottom, int left,
               int right, int y, int u, int v)
{
    const AVPixFmtDescriptor* desc = CuttableFormat(pixFmt);
    if (!desc || top < 0 || bottom < 0 || left < 0 || right < 0 || left + right > width || top + bottom > height)
        return -1;
    const int hs = desc->log2_chroma_h, ws = desc->log2_chroma_w;
    if (!Divides(top, hs) || !Divides(bottom, hs) || !Divides(left, ws) || !Divides(right, ws)) return -1;
    const auto fmt = static_cast<AVPixelFormat>(pixFmt);
    int full[4], leftBytes[4], rightBytes[4];
    if (!RowBytes(full, fmt, width) || !RowBytes(leftBytes, fmt, left) || !RowBytes(rightBytes, fmt, right))
        return -1;
    for (int p = 0; p < 4 && data[p]; ++p) {
        const bool chroma = ChromaPlane(desc, p);
        const int rows = chroma ? AV_CEIL_RSHIFT(height, hs) : height;
        const int topRows = chroma ? top >> hs : top;
        const int bottomRows = chroma ? bottom >> hs : bottom;
        std::uint8_t pattern[16];
        const int length = ColourPattern(desc, p, y, u, v, pattern);
        if (length == 0) return -1;
        const int innerEnd = full[p] - rightBytes[p];
        for (int r = 0; r < rows; ++r) {
            std::uint8_t* row = data[p] + static_cast<std::ptrdiff_t>(r) * linesize[p];
            if (r < topRows || r >= rows - bottomRows) {
                FillBytes(row, 0, full[p], pattern, length);
                continue;
            }
            FillBytes(row, 0, leftBytes[p], pattern, length);
            FillBytes(row, innerEnd, full[p], pattern, length);
            if (srcData && srcData[p])
                std::memmove(row + leftBytes[p],
                             srcData[p] + static_cast<std::ptrdiff_t>(r - topRows) * srcLinesize[p],
                             static_cast<std::size_t>(innerEnd - leftBytes[p]));
        }
    }
    return 0;
}

}  // namespace kv::engine
