#!/bin/sh
# Builds the static launcher and runs one sample policy, printing its reply line.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARROW_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tarrow-jail >/dev/null
# The smallest policy: the default strict isolation, no network, mode once.
printf '{"cwd":"%s","argv":["sh","-c","echo hello from $(hostname) in $(pwd) as $(id -u)"]}\n' "$PWD" |
    build/tarrow-jail
