// Landlock file-system rights, the fixed access sets the rule tables grant, and
// what each kernel ABI supports. Pure data: no system calls here.
#pragma once

#include <cstdint>

namespace tj::landlock {

using AccessFs = uint64_t;

// The kernel's LANDLOCK_ACCESS_FS_* bits, spelled out so that the launcher does
// not depend on the age of the build host's <linux/landlock.h>.
inline constexpr AccessFs kExecute = 1 << 0;
inline constexpr AccessFs kWriteFile = 1 << 1;
inline constexpr AccessFs kReadFile = 1 << 2;
inline constexpr AccessFs kReadDir = 1 << 3;
inline constexpr AccessFs kRemoveDir = 1 << 4;
inline constexpr AccessFs kRemoveFile = 1 << 5;
inline constexpr AccessFs kMakeChar = 1 << 6;
inline constexpr AccessFs kMakeDir = 1 << 7;
inline constexpr AccessFs kMakeReg = 1 << 8;
inline constexpr AccessFs kMakeSock = 1 << 9;
inline constexpr AccessFs kMakeFifo = 1 << 10;
inline constexpr AccessFs kMakeBlock = 1 << 11;
inline constexpr AccessFs kMakeSym = 1 << 12;
inline constexpr AccessFs kRefer = 1 << 13;     // ABI 2
inline constexpr AccessFs kTruncate = 1 << 14;  // ABI 3
inline constexpr AccessFs kIoctlDev = 1 << 15;  // ABI 5
// Connecting to a pathname unix socket (ABI 9): asked for only where the
// kernel offers it, so that older kernels see the same rule set as before.
inline constexpr AccessFs kResolveUnix = 1 << 16;
inline constexpr int kResolveUnixAbi = 9;

// Scopes (ABI 6): the domain may not connect to abstract unix sockets, or
// signal processes, outside itself.
using Scopes = uint64_t;
inline constexpr Scopes kScopeAbstractUnixSocket = 1 << 0;
inline constexpr Scopes kScopeSignal = 1 << 1;
inline constexpr int kScopesAbi = 6;

// Every rule set handles Execute through Truncate. IoctlDev stays unhandled so
// that device ioctls (terminals above all) are left to seccomp.
inline constexpr AccessFs kHandledFs = 0x7fff;

// Rights that make sense on a non-directory; the kernel rejects a rule on a file
// that names any other right.
inline constexpr AccessFs kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

// The access sets of the rule tables.
inline constexpr AccessFs FS_RW = kHandledFs & ~(kMakeChar | kMakeBlock);
inline constexpr AccessFs FS_RX = kExecute | kReadFile | kReadDir;
inline constexpr AccessFs FS_PROC = kReadFile | kReadDir;
inline constexpr AccessFs FS_DEV = kExecute | kWriteFile | kReadFile | kReadDir;
inline constexpr AccessFs FS_WRITE = kWriteFile;
inline constexpr AccessFs FS_READ = kReadFile;

static_assert(FS_RW == 0x77bf && FS_RX == 0xd && FS_PROC == 0xc && FS_DEV == 0xf);

// The newest ABI whose file-system rights the base tables know; later kernels
// add only rights the launcher asks for separately (offered_fs_rights), so for
// the base tables they are treated as this one.
inline constexpr int kMaxKnownAbi = 6;

// File-system rights supported by a kernel of the given ABI (0: no Landlock).
constexpr AccessFs supported_fs_rights(int abi) {
    constexpr AccessFs kByAbi[kMaxKnownAbi + 1] = {0,      0x1fff, 0x3fff, 0x7fff,
                                                   0x7fff, 0xffff, 0xffff};
    if (abi <= 0) return 0;
    return kByAbi[abi > kMaxKnownAbi ? kMaxKnownAbi : abi];
}

// Every file-system right a kernel reporting `version` supports, the optional
// ones included.
constexpr AccessFs offered_fs_rights(int version) {
    return supported_fs_rights(version) | (version >= kResolveUnixAbi ? kResolveUnix : 0);
}

// The scopes a kernel reporting `version` supports.
constexpr Scopes supported_scopes(int version) {
    return version >= kScopesAbi ? kScopeAbstractUnixSocket | kScopeSignal : 0;
}

}  // namespace tj::landlock
