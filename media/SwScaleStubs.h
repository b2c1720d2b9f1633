#pragma once
// Entry points of libswscale, in binding order.
extern "C" {
#include <libswscale/swscale.h>
}
#include "media/StubMacros.h"

#define KV_SWSCALE_ENTRIES(X) \
    X(sws_alloc_context) X(sws_freeContext) X(sws_getContext) X(sws_getCachedContext) X(sws_scale) \
    X(sws_isSupportedInput) X(sws_isSupportedOutput) X(sws_get_class)

namespace av { KV_SWSCALE_ENTRIES(KV_DECLARE_SLOT) }

namespace kv::media {
void BindSwScale(const std::string& fileName, void* handle);
void UnbindSwScale();
}  // namespace kv::media
