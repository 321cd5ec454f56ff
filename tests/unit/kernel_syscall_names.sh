#!/bin/sh
# Writes the names of every system call that HEADER defines (as __NR_ macros,
# through compiler CC) as a C++ initializer list, one quoted name a line, so
# that a test can hold the seccomp tables against the kernel headers the build
# actually uses.
#
#   kernel_syscall_names.sh CC HEADER OUT
set -eu
cc=$1
header=$2
out=$3
echo "#include <$header>" | $cc -dM -E -x c - |
    sed -n 's/^#define __NR_\([a-z0-9_]*\) .*/"\1",/p' | sort -u >"$out.tmp"
mv "$out.tmp" "$out"
