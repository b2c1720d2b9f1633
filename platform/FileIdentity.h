#pragma once
// Which file on disk a path names, whatever way it takes there: a symbolic link, a
// hard link or another spelling of the same path all give the same identity.
#include <cstdint>
#include <string>

namespace kv::platform {

struct TFileIdentity {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    bool Known = false;  // false: the path names nothing that can be looked at

    bool operator==(const TFileIdentity&) const = default;
};

// The identity of the file `path` leads to; not Known when it cannot be looked at.
TFileIdentity FileIdentityOf(const std::string& path);

}  // namespace kv::platform
