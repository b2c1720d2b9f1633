#pragma once
// The runtime shim: twelve slots bound to the C runtime's functions of the same
// names without the "my_" prefix.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media/StubMacros.h"

#define KV_MYUTIL_ENTRIES(X) \
    X(my_fclose, fclose) X(my_fopen, fopen) X(my_fprintf, fprintf) X(my_fread, fread) \
    X(my_fseek, fseek) X(my_ftell, ftell) X(my_fwrite, fwrite) X(my_snprintf, snprintf) \
    X(my_strtod, strtod) X(my_strtok, strtok) X(my_strtol, strtol) X(my_vsprintf, vsprintf)

#define KV_DECLARE_MYUTIL_SLOT(slot, name) extern decltype(&::name) slot;
namespace av { KV_MYUTIL_ENTRIES(KV_DECLARE_MYUTIL_SLOT) }

namespace kv::media {
void BindMyUtil(const std::string& fileName, void* handle);
void UnbindMyUtil();
}  // namespace kv::media
