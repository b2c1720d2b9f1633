#include "media/FramePreview.h"

#include <atomic>

namespace kv::media {

namespace {
std::atomic<TFramePreviewFactory> installedFactory{nullptr};
}

void SetFramePreviewFactory(TFramePreviewFactory factory)
{
    installedFactory.store(factory);
}

std::unique_ptr<TFramePreview> MakeFramePreview()
{
    const TFramePreviewFactory factory = installedFactory.load();
    return factory ? factory() : nullptr;
}

}  // namespace kv::media
