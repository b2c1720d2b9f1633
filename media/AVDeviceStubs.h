#pragma once
// Entry points of libavdevice, in binding order.
extern "C" {
#include <libavdevice/avdevice.h>
}
#include "media/StubMacros.h"

#define KV_AVDEVICE_ENTRIES(X) X(avdevice_register_all)

namespace av { KV_AVDEVICE_ENTRIES(KV_DECLARE_SLOT) }

namespace kv::media {
void BindAVDevice(const std::string& fileName, void* handle);
void UnbindAVDevice();
}  // namespace kv::media
