#pragma once
// The floating window that shows frames of a running conversion, captioned with
// their time. One previewer per task; the engine calls Preview on its worker thread.
#include <atomic>
#include <cstdint>

#include "media/Bitmap.h"
#include "media/FramePreview.h"
#include "media/PreviewTime.h"

class QWidget;

namespace kv::media {

class TPreviewWindow;

class TPreviewer : public TFramePreview {
public:
    TPreviewer();
    // Frees the window on the user-interface thread, waiting for it.
    ~TPreviewer() override;
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    // Shows `bitmap` on the user-interface thread and waits until it is drawn (a
    // direct call on that thread). The bitmap is not kept. False once the user has
    // closed the window (or no window can be shown): stop previewing then.
    bool Preview(const TBitmap& bitmap, int frameNumber, std::int64_t pts) override;

    bool PreviewClosed() const { return closed_; }
    int FrameNumber() const { return frameNumber_; }
    std::int64_t PTS() const { return pts_; }

    // The window, null before the first frame. Use it on the user-interface thread only.
    QWidget* Window() const;

private:
    void DisplayStep();
    void CleanUp();

    TPreviewWindow* window_ = nullptr;
    std::atomic<bool> closed_{false};
    const TBitmap* bitmap_ = nullptr;  // valid during Preview only
    int frameNumber_ = 0;
    std::int64_t pts_ = 0;
};

// Makes the engine show its frames in a TPreviewer (see media/FramePreview.h).
void InstallFramePreviewer();

}  // namespace kv::media
