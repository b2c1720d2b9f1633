#include "media/MyUtilStubs.h"

#define KV_DEFINE_MYUTIL_SLOT(slot, name) decltype(&::name) slot = nullptr;
#define KV_BIND_MYUTIL_SLOT(slot, name) \
    av::slot = reinterpret_cast<decltype(av::slot)>(kv::media::BindEntryPoint(#name, fileName, handle));
#define KV_UNBIND_MYUTIL_SLOT(slot, name) av::slot = nullptr;

namespace av { KV_MYUTIL_ENTRIES(KV_DEFINE_MYUTIL_SLOT) }

namespace kv::media {
void BindMyUtil(const std::string& fileName, void* handle) { KV_MYUTIL_ENTRIES(KV_BIND_MYUTIL_SLOT) }
void UnbindMyUtil() { KV_MYUTIL_ENTRIES(KV_UNBIND_MYUTIL_SLOT) }
}  // namespace kv::media
