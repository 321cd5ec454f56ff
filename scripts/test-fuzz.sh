#!/bin/sh
# Builds the fuzz targets of tests/fuzz with clang's libFuzzer, ASan and UBSan
# (build-fuzz/) and runs each for SECONDS (default 60) from its seed corpus,
# with its dictionary. Any finding (an oracle violation, a crash, a sanitizer
# report, a leak, an input running 60 s) fails; the input that found it is
# kept as build-fuzz/findings/TARGET-*. The default run uses a fixed seed;
# a longer one, e.g. scripts/test-fuzz.sh 3600, a random one.
# Usage: scripts/test-fuzz.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
secs=${1:-60}
seed=1
[ "$secs" -gt 60 ] && seed=0
scripts/deps.sh clang-16 libclang-rt-16-dev
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARROW_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
targets=""
for src in tests/fuzz/*_fuzz.cpp; do targets="$targets $(basename "$src" .cpp)"; done
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$(nproc)" --target $targets
mkdir -p build-fuzz/findings
for target in $targets; do
    name=${target%_fuzz}
    mkdir -p "build-fuzz/corpus/$name"
    log=build-fuzz/$name.log
    if ! "build-fuzz/tests/fuzz/$target" -max_total_time="$secs" -timeout=60 -seed="$seed" \
        -dict="tests/fuzz/dict/$name.dict" -artifact_prefix="build-fuzz/findings/$name-" \
        -print_final_stats=1 "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "fuzz $name: finding, see $log and build-fuzz/findings/" >&2
        exit 1
    fi
    echo "fuzz $name: $(grep -m1 '^Done ' "$log" || echo done), no finding"
done
