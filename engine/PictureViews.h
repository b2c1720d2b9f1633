#pragma once
// Views into pictures for cropping and padding: plane pointers moved by whole rows and
// columns, with the chroma planes following the pixel format's subsampling. Views
// share the memory of the picture they look into; nothing is allocated.
#include <cstdint>

namespace kv::engine {

struct TPictureView {
    std::uint8_t* Data[4] = {};
    int Linesize[4] = {};
};

// `view` = `picture` without its top `top` rows and left `left` columns. Negative for
// formats whose planes cannot be cut there (hardware, bit-stream or palette formats,
// bands that split a chroma sample).
int CropView(TPictureView& view, std::uint8_t* const data[4], const int linesize[4], int pixFmt, int top, int left);

// Pads a picture of `width` x `height` (the padded size): fills the bands with the pad
// colour (luma `y`, chroma `u` and `v`; black for formats other than planar 8-bit YUV)
// and, with a source, copies the source (width - left - right by height - top - bottom)
// into the middle. Without a source the middle is left as it is. Negative on failure.
int PadPicture(std::uint8_t* const data[4], const int linesize[4], const std::uint8_t* const srcData[4],
               const int srcLinesize[4], int height, int width, int pixFmt, int top, int bottom, int left,
               int right, int y, int u, int v);

}  // namespace kv::engine
