#!/bin/sh
# Cross-builds tarrow-jail, the test helpers and the seccomp unit tests for
# aarch64 and runs checks under a real arm64 kernel (qemu, TCG), as root and as
# uid 65534. Not part of CI: it needs qemu-system-aarch64 and a cached Debian
# arm64 kernel, and takes a few minutes.
#
#   tests/vm/run-aarch64.sh [-k bookworm|trixie] [-b BUILD_DIR]
#
# bookworm (default) boots Linux 6.1 (Landlock ABI 2); trixie boots 6.12 (ABI 6).
# The guest runs tests/vm/guest-checks.sh, tests/vm/hardened-guest.sh and
# tests/vm/strict-guest.sh; a
# second boot without Landlock checks that hardened isolation refuses to run.
# The exit status is 0 when every check passed.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
suite=bookworm
build=$repo/build-aarch64
while getopts k:b: opt; do
    case $opt in
    k) suite=$OPTARG ;;
    b) build=$OPTARG ;;
    *) sed -n '2,10p' "$0" >&2; exit 2 ;;
    esac
done
vm=${AARCH64_VM:-$repo/../shared/tools/aarch64-vm/run-in-vm.sh}
[ -x "$vm" ] || { echo "run-aarch64: no VM rig at $vm (set AARCH64_VM)" >&2; exit 2; }

cc=aarch64-linux-gnu-gcc
cxx=aarch64-linux-gnu-g++
jobs=$(nproc)

# 1. The launcher and its core library, through the toolchain file.
cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target tarrow-jail

pack=$(mktemp -d /tmp/tarrow-aarch64.XXXXXX)
chmod 755 "$pack"
trap 'rm -rf "$pack"' EXIT
mkdir -p "$pack/helpers"
cp "$build/tarrow-jail" "$pack/"

# 2. The helpers, static, as the host build makes them.
for src in "$repo"/tests/helpers/*.c; do
    name=$(basename "$src" .c)
    $cc -O2 -Wall -Wextra -Werror -static -o "$pack/helpers/$name" "$src"
done

# 3. A probe runner under the real filter, and the seccomp unit tests (GoogleTest
#    built from Debian's source package, which is architecture-neutral).
cxxflags="-std=c++23 -O2 -Wall -Wextra -Werror -DFMT_HEADER_ONLY -isystem $build/cross-include"
$cxx $cxxflags -static -I"$repo/src" -o "$pack/with_seccomp" "$repo/tests/vm/with_seccomp.cpp" \
    "$build/libtarrow_core.a" -pthread
gtest=/usr/src/googletest/googletest
if [ ! -f "$build/gtest/libgtest_main.a" ]; then
    mkdir -p "$build/gtest"
    $cxx -std=c++23 -O2 -isystem "$gtest/include" -I"$gtest" -c "$gtest/src/gtest-all.cc" \
        -o "$build/gtest/gtest-all.o"
    $cxx -std=c++23 -O2 -isystem "$gtest/include" -I"$gtest" -c "$gtest/src/gtest_main.cc" \
        -o "$build/gtest/gtest_main.o"
    ar rcs "$build/gtest/libgtest_main.a" "$build/gtest/gtest-all.o" "$build/gtest/gtest_main.o"
fi
names=$build/kernel_syscalls
mkdir -p "$names"
sh "$repo/tests/unit/kernel_syscall_names.sh" $cc sys/syscall.h "$names/native.inc"
sh "$repo/tests/unit/kernel_syscall_names.sh" $cc asm-generic/unistd.h "$names/generic.inc"
$cxx $cxxflags -static -isystem "$gtest/include" -I"$repo/src" -I"$repo/tests/unit" -I"$names" \
    -o "$pack/seccomp_unit_tests" "$repo/tests/unit/seccomp_test.cpp" \
    "$build/libtarrow_core.a" "$build/gtest/libgtest_main.a" -pthread

cp "$repo/tests/vm/guest-checks.sh" "$pack/run.sh"

# Hardened isolation: the launcher confining itself (Landlock at the kernel's
# own ABI, seccomp) as root and as uid 65534, after the seccomp checks. With the
# argument "refusal" run.sh checks only that a kernel without Landlock makes
# hardened isolation refuse to run.
mv "$pack/run.sh" "$pack/seccomp-checks.sh"
cp "$repo/tests/vm/hardened-guest.sh" "$pack/hardened-checks.sh"
cp "$repo/tests/vm/strict-guest.sh" "$pack/strict-checks.sh"
cp "$repo/tests/vm/guest-lib.sh" "$pack/guest-lib.sh"
cat >"$pack/run.sh" <<'EOF'
if [ "${1:-}" = refusal ]; then exec sh ./hardened-checks.sh /test refusal; fi
sh ./seccomp-checks.sh
seccomp=$?
echo "== hardened isolation"
sh ./hardened-checks.sh /test
hardened=$?
echo "== strict jail"
sh ./strict-checks.sh /test
strict=$?
[ "$seccomp" -eq 0 ] && [ "$hardened" -eq 0 ] && [ "$strict" -eq 0 ]
EOF

# 4. Boot the kernel and run the checks.
"$vm" -q -k "$suite" -t 900 "$pack"

# 5. The same kernel with Landlock left out of the LSM stack.
RUN_IN_VM_LSM=capability,yama "$vm" -q -k "$suite" -t 300 "$pack" refusal
