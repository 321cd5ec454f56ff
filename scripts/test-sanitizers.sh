#!/bin/sh
# The unit and end-to-end tests with the launcher built under AddressSanitizer
# and UndefinedBehaviorSanitizer (build-sanitize). Any report fails its test:
# a sanitized launcher stops at the first report with a non-zero status.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTARROW_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")
