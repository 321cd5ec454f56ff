#!/bin/sh
# Hand-over stress: in each of ROUNDS rounds, SESSIONS serve sessions, each in a
# fresh PID namespace (so every session's first command is pid 2), hand a run
# over into one shared log directory while a planter puts files and symbolic
# links at the names they will try. Every run must be handed over to a file of
# its own; no planted entry may change and no link target may appear.
# Usage: bench/handover_stress.sh [build-dir]   (ROUNDS, SESSIONS: defaults 200, 4)
set -eu
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build}/tarrow-jail")
rounds=${ROUNDS:-200}
sessions=${SESSIONS:-4}
work=$(mktemp -d /var/tmp/tj-handover-XXXXXX)
trap 'rm -rf "$work"' EXIT
logs=$work/logs
mkdir "$logs"
printf '{"isolation":"none","cwd":"%s","argv":["true"],"mode":"serve"}\n' "$work" >"$work/policy"
req='{"kind":"run","argv":["sh","-c","echo out; sleep 0.3"],"checkin_s":0.05,"log_dir":"'$logs'"}'

# Plants without clobbering (a name a session took first is its own); lists
# what it planted in $work/planted.
plant() {
    set -C
    for n in 1 2 3; do
        f=$logs/converted-2-$n.log
        { printf planted >"$f"; } 2>/dev/null && echo "$f" >>"$work/planted"
        f=$logs/converted-2-$((n + 3)).log
        ln -s "$work/target-$n" "$f" 2>/dev/null && echo "$f" >>"$work/planted"
    done
}

bad=0
r=0
while [ "$r" -lt "$rounds" ]; do
    rm -f "$logs"/* "$work"/reply-* "$work/planted"
    : >"$work/planted"
    plant &
    i=0
    while [ "$i" -lt "$sessions" ]; do
        { cat "$work/policy"; echo "$req"; sleep 0.5; } |
            unshare --pid --fork --mount-proc "$bin" >"$work/reply-$i" 2>/dev/null &
        i=$((i + 1))
    done
    wait
    used=$(sed -n 's/.*"backgrounded":true,"log":"\([^"]*\)".*/\1/p' "$work"/reply-* | sort)
    count=$(printf '%s\n' "$used" | grep -c . || true)
    unique=$(printf '%s\n' "$used" | sort -u | grep -c . || true)
    if [ "$count" -ne "$sessions" ] || [ "$unique" -ne "$sessions" ] ||
        ls "$work"/target-* >/dev/null 2>&1; then
        bad=$((bad + 1))
        echo "round $r: $count hand-overs, $unique names" >&2
        cat "$work"/reply-* >&2
    fi
    for f in $(cat "$work/planted"); do
        if printf '%s\n' "$used" | grep -qx "$f" ||
            { [ ! -L "$f" ] && [ "$(cat "$f")" != planted ]; }; then
            bad=$((bad + 1))
            echo "round $r: planted $f was used or changed" >&2
        fi
    done
    r=$((r + 1))
done
echo "hand-over stress: $rounds rounds of $sessions sessions, $bad faults"
[ "$bad" -eq 0 ]
