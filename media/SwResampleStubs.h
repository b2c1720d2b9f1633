#pragma once
// Entry points of libswresample, in binding order.
extern "C" {
#include <libswresample/swresample.h>
}
#include "media/StubMacros.h"

#define KV_SWRESAMPLE_ENTRIES(X) \
    X(swr_alloc_set_opts2) X(swr_close) X(swr_convert) X(swr_free) X(swr_get_delay) \
    X(swr_get_out_samples) X(swr_init) X(swr_is_initialized) X(swr_set_compensation)

namespace av { KV_SWRESAMPLE_ENTRIES(KV_DECLARE_SLOT) }

namespace kv::media {
void BindSwResample(const std::string& fileName, void* handle);
void UnbindSwResample();
}  // namespace kv::media
