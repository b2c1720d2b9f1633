#include "player/FrameHookPath.h"

#include <cmath>
#include <cstring>
#include <exception>

#include "media/AVUtilStubs.h"
#include "media/SwScaleStubs.h"
#include "player/PlaybackState.h"
#include "player/PlayerCore.h"

namespace kv::player {

namespace {

constexpr AVPixelFormat RgbFormat = AV_PIX_FMT_BGR24;

// The hook's bitmap at the picture's size and the buffer for its packed pixels.
bool PrepareBuffer(media::TFrameConverter& c, int width, int height)
{
    if (!c.Bitmap || c.Bitmap->Width() != width || c.Bitmap->Height() != height)
        c.Bitmap = std::make_unique<media::TBitmap>(width, height);
    c.DestPixFmt = RgbFormat;
    return media::PrepareConverterBuffer(c, width, height);
}

void CopyRows(const std::uint8_t* src, int srcStride, std::uint8_t* dst, int dstStride, int rows, int rowBytes)
{
    for (int y = 0; y < rows; ++y) std::memcpy(dst + std::ptrdiff_t(y) * dstStride, src + std::ptrdiff_t(y) * srcStride, rowBytes);
}

}  // namespace

bool RunFrameHook(PlaybackState* is, const THookSource& source, std::uint8_t* const planes[4], const int lines[4],
                  double pts, int height, int width, int destPixFmt)
{
    TPlayerCore& player = *is->Player;
    if (!player.Hook || !player.HasHookHandler()) return false;
    media::TFrameConverter& c = *player.HookConverter();
    if (!PrepareBuffer(c, width, height)) return false;

    if (!media::CachedScaler(c.Scaler, width, height, static_cast<AVPixelFormat>(source.Format), width, height,
                             RgbFormat, SWS_BICUBIC, nullptr, nullptr, nullptr)) {
        player.LogDirect(ltError, "Cannot initialize the toRGB conversion context");
        return false;
    }
    av::sws_scale(c.Scaler, source.Data, source.Lines, 0, height, c.DestData, c.DestLinesize);
    media::TBitmap& bitmap = *c.Bitmap;
    CopyRows(c.DestData[0], c.DestLinesize[0], bitmap.Bits(), bitmap.Stride(), height, width * 3);

    try {
        player.Owner()->OnHook(player.Owner(), bitmap, std::llround(pts * 1000000.0) - is->StartTime);
    } catch (const std::exception& e) {
        if (player.HasLogHandler()) {
            player.LogDirect(ltError, std::string("Error occurs OnHook: ") + e.what());
            return false;
        }
    } catch (...) {
        if (player.HasLogHandler()) {
            player.LogDirect(ltError, "Error occurs OnHook: unknown error");
            return false;
        }
    }

    CopyRows(bitmap.Bits(), bitmap.Stride(), c.DestData[0], c.DestLinesize[0], height, width * 3);
    if (!media::CachedScaler(c.BackScaler, width, height, RgbFormat, width, height,
                             static_cast<AVPixelFormat>(destPixFmt), SWS_BICUBIC, nullptr, nullptr, nullptr)) {
        player.LogDirect(ltError, "Cannot initialize the fromRGB conversion context");
        return false;
    }
    av::sws_scale(c.BackScaler, c.DestData, c.DestLinesize, 0, height, planes, lines);
    return true;
}

}  // namespace kv::player
