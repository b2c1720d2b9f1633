#pragma once
// The window a running conversion shows its frames in, as the engine sees it. The
// engine stays free of Qt Widgets: the window itself (media/Previewer.h, library
// kv_previewer) is installed by a program that wants it; without it no window is
// shown and previewing stops at the first frame.
#include <cstdint>
#include <memory>

#include "media/Bitmap.h"

namespace kv::media {

class TFramePreview {
public:
    virtual ~TFramePreview() = default;
    // Shows `bitmap` and waits until it is drawn; false once the window is gone.
    virtual bool Preview(const TBitmap& bitmap, int frameNumber, std::int64_t pts) = 0;
};

using TFramePreviewFactory = std::unique_ptr<TFramePreview> (*)();

// Installed once at start, before any conversion runs.
void SetFramePreviewFactory(TFramePreviewFactory factory);
// A new window from the installed factory; null when none is installed.
std::unique_ptr<TFramePreview> MakeFramePreview();

}  // namespace kv::media
