#!/bin/sh
# The unit and end-to-end tests with the launcher built under ThreadSanitizer
# (build-tsan). Any report fails its test: the first report ends the reporting
# process with a non-zero status.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARROW_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
# The runtime of g++ 12 maps its shadow memory for at most 28 bits of mmap
# randomisation; a kernel set to more runs the tests without address
# randomisation (inherited by the launcher and everything it starts).
no_aslr=
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
    no_aslr="setarch $(uname -m) -R"
fi
(cd build-tsan && $no_aslr ctest --output-on-failure -j"$jobs")
