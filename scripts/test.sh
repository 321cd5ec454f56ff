#!/bin/sh
# Installs what is missing, builds everything and runs every test: the full
# suite on the static build, the unit and end-to-end tests under ASan and
# UBSan and under ThreadSanitizer, the fuzzers.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARROW_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
scripts/test-sanitizers.sh
scripts/test-tsan.sh
scripts/test-fuzz.sh
