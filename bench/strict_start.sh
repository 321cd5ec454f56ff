#!/bin/sh
# Strict start, side by side with the bare namespaces it is built on: a strict
# once run of /bin/true against `unshare` of the same namespaces running true,
# both through hyperfine's shell, on a plain root, with 10/50/200 read-only
# grants, and with 100/500 extra host mounts (made by this script in a private
# mount namespace of its own, gone when it ends).
# Rounds of both commands alternate, and the medians of all runs are compared.
# Each case prints and appends "case | ours | baseline | ratio" to
# bench/out/summary.txt: once with wall-time medians, once ("cpu") with the mean
# user+system time, which a loaded machine disturbs less.
# Usage: bench/strict_start.sh [launcher]   (default: build/tarrow-jail)
#   ROUNDS (10) rounds of RUNS (10) runs each; TAG names the launcher in the rows;
#   BEFORE=other-launcher runs it in the same rounds and adds its rows, tagged "before".
set -eu
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/tarrow-jail}")
rounds=${ROUNDS:-10}
runs=${RUNS:-10}
before=${BEFORE:+$(realpath "$BEFORE")}
tag=${TAG:+ [$TAG]}
command -v hyperfine >/dev/null || { echo "bench/strict_start.sh: hyperfine is missing (apt-get install hyperfine)" >&2; exit 2; }

# As root, the whole bench runs in a private mount namespace, so the host
# mounts it adds leave with it whatever happens.
if [ "$(id -u)" = 0 ] && [ "${TJ_BENCH_PRIVATE:-}" != 1 ]; then
    TJ_BENCH_PRIVATE=1 exec unshare --mount --propagation private "$0" "$@"
fi

out=$(realpath -m bench/out)
mkdir -p "$out"
work=$(mktemp -d /var/tmp/tj-strict-start-XXXXXX)
trap 'umount -R "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/cwd" "$work/grants" "$work/mnt"
[ "$(id -u)" = 0 ] && mount -t tmpfs -o size=1m tj-bench "$work/mnt"

baseline="unshare --user --map-root-user --mount --pid --fork --net --ipc --uts true"

# policy N: a once run of true with N read-only grants outside the working directory.
policy() {
    grants=""
    i=0
    while [ "$i" -lt "$1" ]; do
        mkdir -p "$work/grants/g$i"
        grants="$grants${grants:+,}\"$work/grants/g$i\""
        i=$((i + 1))
    done
    printf '{"cwd":"%s","argv":["/bin/true"],"extra_ro_paths":[%s]}\n' "$work/cwd" "$grants" \
        >"$work/grants-$1.json"
}

# measure CASE POLICY: alternating rounds, then one summary row of medians.
measure() {
    case=$1 file=$2
    rm -f "$work"/round-*.json
    r=0
    while [ "$r" -lt "$rounds" ]; do
        set -- "$1" "$2" -n ours "$bin --policy-fd 3 3<$2 >/dev/null" -n baseline "$baseline"
        [ -n "$before" ] && set -- "$@" -n before "$before --policy-fd 3 3<$2 >/dev/null"
        shift 2
        hyperfine --style none --warmup 3 --runs "$runs" --export-json "$work/round-$r.json" \
            "$@" >"$work/hyperfine.log" 2>&1 || { cat "$work/hyperfine.log" >&2; exit 1; }
        set -- "$case" "$file"
        r=$((r + 1))
    done
    python3 - "$1" "$tag" "$work"/round-*.json <<'EOF' | tee -a "$out/summary.txt"
import json, statistics, sys
wall, cpu = {}, {}
for path in sys.argv[3:]:
    for result in json.load(open(path))["results"]:
        wall.setdefault(result["command"], []).extend(result["times"])
        cpu.setdefault(result["command"], []).append(result["user"] + result["system"])
def row(name, ours, tag):
    base = wall["baseline"]
    w, b = statistics.median(wall[ours]) * 1e3, statistics.median(base) * 1e3
    print(f"{name}{tag} | {w:.2f} ms | {b:.2f} ms | {w / b:.2f}")
    c, d = statistics.mean(cpu[ours]) * 1e3, statistics.mean(cpu["baseline"]) * 1e3
    print(f"{name}, cpu{tag} | {c:.2f} ms | {d:.2f} ms | {c / d:.2f}")
row(sys.argv[1], "ours", sys.argv[2])
if "before" in wall:
    row(sys.argv[1], "before", " [before]")
EOF
}

# add_mounts N: N more small tmpfs mounts on the host side of the jail.
mounted=0
add_mounts() {
    target=$((mounted + $1))
    while [ "$mounted" -lt "$target" ]; do
        mkdir -p "$work/mnt/m$mounted"
        mount -t tmpfs -o size=64k tj-bench "$work/mnt/m$mounted"
        mounted=$((mounted + 1))
    done
}

echo "== strict once run of true against unshare of the same namespaces ($(uptime))" >&2
for n in 0 10 50 200; do
    policy "$n"
    measure "strict once true, $n ro grants" "$work/grants-$n.json"
done
if [ "$(id -u)" = 0 ]; then
    add_mounts 100
    measure "strict once true, 100 extra host mounts" "$work/grants-0.json"
    add_mounts 400
    measure "strict once true, 500 extra host mounts" "$work/grants-0.json"
else
    echo "bench/strict_start.sh: not root, so no host-mount cases" >&2
fi
