#include "media/FFUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::media {

namespace {

std::string Substitute(const char* pattern, const std::string& fileName)
{
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += fileName;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

std::string OpenErrorText(const std::string& fileName, int code)
{
    const char* pattern = "%s: Error while opening file";
    switch (code) {
    case AVERROR(ENOENT): pattern = "%s: no such file or directory"; break;
    case AVERROR(EIO):
        pattern = "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
        break;
    case AVERROR(ENOMEM): pattern = "%s: memory allocation error occurred"; break;
    case AVERROR(EINVAL):
    case AVERROR_INVALIDDATA: pattern = "%s: Error while parsing header"; break;
    case AVERROR(EDOM):
        pattern = "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image number:\r\n"
                  "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
                  "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
        break;
    case AVERROR(EILSEQ):
    case AVERROR_DEMUXER_NOT_FOUND: pattern = "%s: Unknown format"; break;
    default: break;
    }
    return Substitute(pattern, fileName);
}

std::string ErrorReason(int code)
{
    char text[256] = {};
    if (av::av_strerror(code, text, sizeof text) < 0 && code < 0) return std::strerror(-code);
    return text;
}

std::string GetMetadataValue(const AVDictionary* metadata, const char* key, const std::string& defaultValue)
{
    const AVDictionaryEntry* e = av::av_dict_get(metadata, key, nullptr, 0);
    return e && e->value ? std::string(e->value) : defaultValue;
}

bool PrepareConverterBuffer(TFrameConverter& c, int width, int height)
{
    const auto dst = static_cast<AVPixelFormat>(c.DestPixFmt);
    const int size = av::av_image_get_buffer_size(dst, width, height, 1);
    if (size <= 0) return false;
    if (c.Buffer && c.BufferSize < size) c.Buffer = nullptr;
    if (!c.Buffer) {
        c.Buffer.reset(static_cast<std::uint8_t*>(av::av_malloc(size)));
        if (!c.Buffer) return false;
        c.BufferSize = size;
    }
    av::av_image_fill_arrays(c.DestData, c.DestLinesize, c.Buffer, dst, width, height, 1);
    return true;
}

bool ConvertPictureToBitmap(TFrameConverter& c, const std::uint8_t* const data[4], const int linesize[4],
                            int srcPixFmt, int height, int width)
{
    if (width <= 0 || height <= 0) return false;
    if (!c.Bitmap) c.Bitmap = std::make_unique<TBitmap>(width, height);
    const std::uint8_t* const* planes = data;
    const int* lines = linesize;
    if (srcPixFmt != c.DestPixFmt) {
        const auto dst = static_cast<AVPixelFormat>(c.DestPixFmt);
        if (!PrepareConverterBuffer(c, width, height)) return false;
        if (!CachedScaler(c.Scaler, width, height, static_cast<AVPixelFormat>(srcPixFmt), width, height, dst,
                          SWS_BICUBIC, nullptr, nullptr, nullptr))
            return false;
        av::sws_scale(c.Scaler, data, linesize, 0, height, c.DestData, c.DestLinesize);
        planes = c.DestData;
        lines = c.DestLinesize;
    }
    TBitmap& bmp = *c.Bitmap;
    const int rows = std::min(height, bmp.Height());
    const std::size_t rowBytes = static_cast<std::size_t>(std::min(width, bmp.Width())) * 3;
    for (int y = 0; y < rows; ++y)
        std::memcpy(bmp.ScanLine(y), planes[0] + static_cast<std::ptrdiff_t>(y) * lines[0], rowBytes);
    c.LastPicture = data;
    return true;
}

void ResetFrameConverter(TFrameConverter& c)
{
    c.Bitmap.reset();
    c.Buffer = nullptr;
    c.Scaler = nullptr;
    c.BackScaler = nullptr;
    c.DestPixFmt = 3;
    c.BitmapPixFmt = 6;
    c.BufferSize = 0;
    std::memset(c.DestData, 0, sizeof c.DestData);
    std::memset(c.DestLinesize, 0, sizeof c.DestLinesize);
    c.LastPicture = nullptr;
}

}  // namespace kv::media
