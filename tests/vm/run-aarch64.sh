#!/bin/sh
# Cross-builds tarrow-jail and its tests for aarch64 and runs them under a real
# arm64 kernel (qemu, TCG), as root and as uid 65534.
#
#   tests/vm/run-aarch64.sh [-a [-j SHARDS]] [-k bookworm|trixie] [-b BUILD_DIR]
#
# bookworm (default) boots Linux 6.1 (Landlock ABI 2); trixie boots 6.12 (ABI 6).
# Without -a the guest runs the shell checks tests/vm/guest-checks.sh,
# tests/vm/hardened-guest.sh and tests/vm/strict-guest.sh, and a second boot
# without Landlock checks that hardened isolation refuses to run.
# With -a it runs the whole unit and end-to-end suites (tests/vm/suite-guest.sh)
# and prints a line "aarch64 KERNEL: N passed, N failed, N skipped"; the
# guest runs root's and uid 65534's suites at once, each end-to-end suite in
# SHARDS GoogleTest shards (default 3).
# The exit status is 0 when every check passed. The first run installs qemu and
# the cross compiler (through the rig) and builds GoogleTest for aarch64 into
# ${XDG_CACHE_HOME:-~/.cache}/tarrow-jail.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
suite=bookworm
build=$repo/build-aarch64
whole=0
shards=3
while getopts ak:b:j: opt; do
    case $opt in
    a) whole=1 ;;
    k) suite=$OPTARG ;;
    b) build=$OPTARG ;;
    j) shards=$OPTARG ;;
    *) sed -n '2,18p' "$0" >&2; exit 2 ;;
    esac
done
vm=${AARCH64_VM:-$repo/../shared/tools/aarch64-vm/run-in-vm.sh}
[ -x "$vm" ] || { echo "run-aarch64: no VM rig at $vm (set AARCH64_VM)" >&2; exit 2; }

elapsed() { # LABEL START: one timing line on stderr
    echo "run-aarch64: time: $1 $(($(date +%s) - $2)) s" >&2
}

# 0. qemu, the cross compiler and the kernel, through the rig (cached).
t=$(date +%s)
"$vm" -k "$suite" --prepare >&2
elapsed "prepare ($suite)" "$t"

# GoogleTest's sources are architecture-neutral; built once per version for
# aarch64 and kept in the cache.
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
gtest=${XDG_CACHE_HOME:-$HOME/.cache}/tarrow-jail/gtest-aarch64-$gtest_version
launcher=""
command -v ccache >/dev/null && launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    t=$(date +%s)
    gbuild=$(mktemp -d)
    # shellcheck disable=SC2086 # $launcher is a list of options
    cmake -S /usr/src/googletest -B "$gbuild" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest.new" $launcher >/dev/null
    cmake --build "$gbuild" -j"$(nproc)" >/dev/null
    cmake --install "$gbuild" >/dev/null
    rm -rf "$gbuild" "$gtest"
    mv "$gtest.new" "$gtest"
    elapsed "GoogleTest for aarch64" "$t"
fi

cc=aarch64-linux-gnu-gcc
cxx=aarch64-linux-gnu-g++
jobs=$(nproc)

# 1. The launcher and its core library (and with -a the helpers and both test
#    programs), through the toolchain file.
t=$(date +%s)
# The host suite's optimisation (RelWithDebInfo) without the debug information,
# which would only weigh on the guest's memory.
# shellcheck disable=SC2086
cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DGTest_DIR="$gtest/lib/cmake/GTest" $launcher >/dev/null
if [ "$whole" = 1 ]; then
    cmake --build "$build" -j"$jobs" --target tarrow-jail unit_tests e2e_tests
else
    cmake --build "$build" -j"$jobs" --target tarrow-jail
fi
elapsed "cross build" "$t"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarrow-aarch64.XXXXXX")
trap 'rm -rf "$work"' EXIT
pack=$work/pack
mkdir -m 755 "$pack"

if [ "$whole" = 1 ]; then
    # The build's own shape: the tests find the launcher and the helpers
    # beside their directory.
    mkdir -p "$pack/tests" "$pack/helpers"
    cp "$build/tarrow-jail" "$pack/"
    cp "$build/helpers/"* "$pack/helpers/"
    cp "$build/tests/unit_tests" "$build/tests/e2e_tests" "$pack/tests/"
    cp "$repo/tests/vm/suite-guest.sh" "$pack/run.sh"
    t=$(date +%s)
    echo 125 >"$work/status"
    { "$vm" -q -k "$suite" -s "$(nproc)" -M tun -t 2400 "$pack" "$shards" && echo 0 >"$work/status" ||
        echo $? >"$work/status"; } | tee "$work/out.log"
    status=$(cat "$work/status")
    elapsed "guest run ($suite)" "$t"
    awk -v k="$suite" '/^SUITE / {
            for (i = 5; i <= 7; i++) { split($i, kv, "="); n[kv[1]] += kv[2] }
        }
        END { printf "aarch64 %s: %d passed, %d failed, %d skipped\n", k, n["passed"], n["failed"], n["skipped"] }' \
        "$work/out.log"
    exit "$status"
fi
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
names=$build/kernel_syscalls
mkdir -p "$names"
sh "$repo/tests/unit/kernel_syscall_names.sh" $cc sys/syscall.h "$names/native.inc"
sh "$repo/tests/unit/kernel_syscall_names.sh" $cc asm-generic/unistd.h "$names/generic.inc"
$cxx $cxxflags -static -isystem "$gtest/include" -I"$repo/src" -I"$repo/tests/unit" -I"$names" \
    -o "$pack/seccomp_unit_tests" "$repo/tests/unit/seccomp_test.cpp" \
    "$build/libtarrow_core.a" "$gtest/lib/libgtest_main.a" "$gtest/lib/libgtest.a" -pthread

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
