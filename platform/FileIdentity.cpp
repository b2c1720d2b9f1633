#include "platform/FileIdentity.h"

#include <sys/stat.h>

namespace kv::platform {

TFileIdentity FileIdentityOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
}

}  // namespace kv::platform
