#pragma once
// Helpers of the binding units shared by the probe, the engine and the player:
// open-error texts, metadata lookup and the picture-to-bitmap converter.
#include <cstdint>
#include <memory>
#include <string>

#include "media/AvHandles.h"
#include "media/Bitmap.h"

namespace kv::media {

// The message for a failed open of `fileName` with the libraries' error `code`.
std::string OpenErrorText(const std::string& fileName, int code);

// The system's own words for the libraries' error `code` ("No space left on device").
std::string ErrorReason(int code);

// Value of the first entry whose key matches, or `defaultValue`.
std::string GetMetadataValue(const AVDictionary* metadata, const char* key, const std::string& defaultValue);

// Turns decoded pictures into 24-bit bitmaps; the owner keeps one per consumer and
// resets it when the picture size changes.
struct TFrameConverter {
    int DestPixFmt = 3;     // packed blue, green, red
    int BitmapPixFmt = 6;   // 24 bits per pixel
    std::unique_ptr<TBitmap> Bitmap;
    Viewed<AvMemoryHandle<std::uint8_t>> Buffer;
    int BufferSize = 0;
    std::uint8_t* DestData[4] = {};
    int DestLinesize[4] = {};
    const void* LastPicture = nullptr;
    Viewed<ScalerHandle> Scaler;
    Viewed<ScalerHandle> BackScaler;  // the hook paths back from RGB

    TFrameConverter() = default;
    TFrameConverter(const TFrameConverter&) = delete;
    TFrameConverter& operator=(const TFrameConverter&) = delete;
};

// Sizes the converter's buffer for a width x height picture in its destination
// format (growing it when too small) and describes it as the destination picture.
bool PrepareConverterBuffer(TFrameConverter& converter, int width, int height);

// Converts a picture given as planes and line sizes into the converter's bitmap.
bool ConvertPictureToBitmap(TFrameConverter& converter, const std::uint8_t* const data[4],
                            const int linesize[4], int srcPixFmt, int height, int width);

void ResetFrameConverter(TFrameConverter& converter);

}  // namespace kv::media
