#!/bin/sh
# Stress, not a timed test: hardened runs with a protected directory while a
# host process swaps (RENAME_EXCHANGE) a sibling directory and a link to the
# protected directory without pause. Each run's command tries to create a file
# in the protected directory; the script prints how many of the runs got in
# (0 is the only good answer) and how many runs went wrong otherwise.
#
#   bench/protect_race.sh [RUNS] [LAUNCHER]     (defaults: 2000, build/tarrow-jail)
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-2000}
launcher=${2:-$repo/build/tarrow-jail}
helpers=$repo/build/helpers
base=$(mktemp -d /var/tmp/tj-protect-race.XXXXXX)
swapper=
trap '[ -n "$swapper" ] && kill "$swapper" 2>/dev/null; rm -rf "$base"' EXIT INT TERM
w=$base/w
mkdir -p "$w/secret" "$w/sib"
ln -s secret "$w/sib-link"
policy="{\"isolation\":\"hardened\",\"cwd\":\"$w\",\"tool_paths\":[\"$helpers\"],\
\"extra_protect_paths\":[\"$w/secret\"],\
\"argv\":[\"$helpers/file_probe\",\"create\",\"$w/secret/pwned\"]}"

"$helpers/rename_swap" "$w/sib" "$w/sib-link" &
swapper=$!
got_in=0
failed=0
start=$(date +%s)
i=0
while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    reply=$(echo "$policy" | "$launcher" 2>/dev/null) || { failed=$((failed + 1)); continue; }
    case $reply in
    *"pwned: ok"*) got_in=$((got_in + 1)) ;;
    *"pwned: EACCES"*) ;;
    *) failed=$((failed + 1)) ;;
    esac
done
echo "protect race: $runs runs in $(($(date +%s) - start)) s: $got_in wrote into the protected directory, $failed failed otherwise"
[ "$got_in" -eq 0 ]
