#!/bin/sh
# Kills the launcher at a random moment (0 to 300 ms after its start) while its
# command builds a tree (a plain child, a daemon in its own session with a
# child of its own), then counts, one second later, what is left of that tree.
# Every isolation and mode; the bar is 0 everywhere.
# Usage: bench/kill_stress.sh [build-dir]   ROUNDS (500), PARALLEL (8), AS=nobody
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${ROUNDS:-500}
parallel=${PARALLEL:-8}
work=$(mktemp -d /var/tmp/tj-kill-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build/tarrow-jail" "$work/"
chmod 755 "$work" "$work/tarrow-jail"
mkdir "$work/cwd"
prefix=""
if [ "${AS:-root}" = nobody ]; then
    chown 65534:65534 "$work/cwd"
    prefix="setpriv --reuid=65534 --regid=65534 --clear-groups"
fi

# One round: the marker is the sleeps' duration, unique to the round.
round() { # isolation mode head tail
    script="m=$3; sleep \$m.$4 & setsid sh -c \"sleep \$m.$4 & exec sleep \$m.$4\" & exec sleep \$m.$4"
    argv=$(printf '["sh","-c","%s"]' "$(printf %s "$script" | sed 's/\\/\\\\/g; s/"/\\"/g')")
    if [ "$2" = serve ]; then
        policy="{\"isolation\":\"$1\",\"cwd\":\"$work/cwd\",\"argv\":[\"true\"],\"mode\":\"serve\"}"
        input="{\"kind\":\"run\",\"argv\":$argv}"
    else
        policy="{\"isolation\":\"$1\",\"cwd\":\"$work/cwd\",\"argv\":$argv}"
        input=""
    fi
    { printf '%s\n%s\n' "$policy" "$input"; sleep 2; } | $prefix "$work/tarrow-jail" >/dev/null 2>&1 &
    launcher=$!
    sleep "0.$(shuf -i 0-300 -n 1 | xargs printf %03d)"
    # $! is the pipeline's last process: the launcher (or setpriv, which execs it).
    kill -KILL "$launcher" 2>/dev/null || true
    sleep 1
    pgrep -c -f "sleep $3\.$4" || true
}

for isolation in none hardened strict; do
    for mode in once serve; do
        left=0
        i=0
        while [ "$i" -lt "$rounds" ]; do
            batch=""
            for j in $(seq 1 "$parallel"); do
                [ "$i" -lt "$rounds" ] || break
                round "$isolation" "$mode" "3$$" "$i" >"$work/count.$i" &
                batch="$batch $!"
                i=$((i + 1))
            done
            wait $batch
        done
        for f in "$work"/count.*; do left=$((left + $(cat "$f"))); done
        rm -f "$work"/count.*
        printf '%-8s %-5s as %-6s rounds %d  leftovers %d\n' "$isolation" "$mode" "${AS:-root}" "$rounds" "$left"
        for pid in $(pgrep -f "sleep 3$$\\."); do kill -KILL "$pid" 2>/dev/null || true; done
    done
done
