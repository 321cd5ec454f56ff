// What every strict jail root holds, as data.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tj {

// Host directories bound read-only into every jail, in binding order. "/etc"
// itself stays an empty directory: only its alternatives links are shared.
inline constexpr std::array<std::string_view, 6> kSystemDirs = {
    "/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc/alternatives",
};

// Host device nodes bound into the jail's /dev, in binding order.
inline constexpr std::array<std::string_view, 5> kDefaultDeviceNodes = {
    "null", "zero", "urandom", "random", "full",
};

// Directories made in the fresh root tmpfs before anything is bound.
inline constexpr std::array<std::string_view, 6> kRootDirs = {
    "proc", "tmp", "dev", "etc", "home", "root",
};

inline constexpr const char* kRootTmpfsSize = "64m";
// /dev/shm no larger than /tmp: an unsized tmpfs would take half the host's memory.
inline constexpr const char* kTmpTmpfsSize = "1g";
inline constexpr std::string_view kHomeInTmp = "tmp/tarrow-home";
inline constexpr std::string_view kOldRoot = ".old_root";

// Where the host's old root stands in the new root after the pivot.
inline std::string old_root_path() {
    return std::string("/").append(kOldRoot);
}

}  // namespace tj
