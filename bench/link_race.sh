#!/bin/sh
# Link race stress: while strict jails start, two adversaries keep exchanging
# (renameat2 RENAME_EXCHANGE) a directory on the way to a guarded path with a
# symbolic link to a look-alike outside the working directory: one in a
# sibling jail (writing the same working directory) and one on the host. Cases:
#   rw       write grant  W/sub/g       breach: a jail wrote into the look-alike
#   ro       read grant   W/sub/g       breach: a jail read the look-alike
#   protect  protected    W/sub/.git    breach: a jail wrote into the real .git
#   hide     hidden dir   W/hid         breach: a jail read the secret while the
#                                       link beside it was not masked either
# (for hide, "link-masked" counts jails that found the link at W/hid and masked
# it as it stood; the directory swapped away was not at W/hid then).
# Each round starts JAILS jails; once each has started (or ended), the
# adversaries stop, the tree is put back, and the jails check. A refusal to
# start is not a breach.
# With SIBLING=same the sibling jail runs under the case's own policy (its
# guarded path and the parents are mount points there, so it cannot swap);
# HOST=0 leaves the host swapper out; CASES picks cases (default all four).
# Usage: bench/link_race.sh [build-dir]
#   env: ROUNDS (40), JAILS (8), AS (root|nobody), SIBLING (plain|same), HOST (1|0), CASES
set -eu
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
rounds=${ROUNDS:-40}
jails=${JAILS:-8}
case ${AS:-root} in
root) uid=0 run="" ;;
nobody) uid=65534 run="setpriv --reuid=65534 --regid=65534 --clear-groups" ;;
*) echo "bench/link_race.sh: AS is root or nobody" >&2; exit 2 ;;
esac

base=$(mktemp -d /var/tmp/tj-race-XXXXXX)
trap 'rm -rf "$base"' EXIT
chmod 755 "$base"
mkdir "$base/bin"
cp "$build/tarrow-jail" "$build/helpers/exchange" "$base/bin/"
chmod 755 "$base/bin" "$base/bin/"*
launcher=$base/bin/tarrow-jail
exchange=$base/bin/exchange

# Lays out case $1 under $base/$1: W=work, O=outside look-alike.
layout() {
    c=$base/$1 W=$base/$1/work O=$base/$1/outside
    rm -rf "$c"
    mkdir -p "$W" "$O/g" "$O/.git"
    echo OUTSIDE >"$O/g/secret"
    echo decoy >"$O/secret"
    case $1 in
    hide) mkdir "$W/hid" && echo SECRET >"$W/hid/secret" && A=$W/hid ;;
    *) mkdir -p "$W/sub/g" "$W/sub/.git" && echo inside >"$W/sub/g/secret" && A=$W/sub ;;
    esac
    B=$W/alt
    ln -s "$O" "$B"
    chown -R "$uid:$uid" "$c"
}

policy() { # case, round, index
    check=
    case $1 in
    rw) more="\"extra_rw_paths\":[\"$W/sub/g\"]"
        check="touch $W/sub/g/pw-$2-$3 2>/dev/null; echo done" ;;
    ro) more="\"extra_ro_paths\":[\"$W/sub/g\"]"
        check="cat $W/sub/g/secret 2>/dev/null | grep -q OUTSIDE && echo BREACH; echo done" ;;
    protect) more="\"extra_protect_paths\":[\"$W/sub/.git\"]"
        check="touch $W/sub/.git/pw-$2-$3 2>/dev/null && echo BREACH; echo done" ;;
    hide) more="\"hide_paths\":[\"$W/hid\"]"
        check="s=\$(cat $W/hid/secret 2>/dev/null); if [ -L $W/alt ]; then [ -n \"\$s\" ] && echo BREACH; else echo LINKMASKED; fi; echo done" ;;
    esac
    script=": >$W/.started-$2-$3; while [ ! -e $W/.go-$2 ]; do sleep 0.01; done; $check"
    printf '{"cwd":"%s","argv":["/bin/sh","-c","%s"],%s}\n' "$W" "$(printf '%s' "$script" | sed 's/"/\\"/g')" "$more"
}

settled() { # round: every jail has started or ended
    i=0
    while [ "$i" -lt "$jails" ]; do
        [ -e "$W/.started-$1-$i" ] || [ -e "$out/$1-$i.rc" ] || return 1
        i=$((i + 1))
    done
}

for case in ${CASES:-rw ro protect hide}; do
    layout "$case"
    out=$base/out-$case
    mkdir -p "$out"
    starts=0 refusals=0 breaches=0 masked=0 other=0
    r=0
    while [ "$r" -lt "$rounds" ]; do
        stop=$W/.stop-$r
        policy "$case" "$r" sibling >/dev/null # sets $more
        [ "${SIBLING:-plain}" = same ] || more='"env":[]'
        printf '{"cwd":"%s","argv":["%s","%s","%s","%s"],"tool_paths":["%s"],%s}\n' \
            "$W" "$exchange" "$A" "$B" "$stop" "$base/bin" "$more" |
            $run "$launcher" >"$out/sibling-$r" 2>&1 &
        sibling=$!
        host=
        if [ "${HOST:-1}" = 1 ]; then
            $run "$exchange" "$A" "$B" "$stop" >"$out/host-$r" &
            host=$!
        fi
        i=0
        while [ "$i" -lt "$jails" ]; do
            (rc=0
                policy "$case" "$r" "$i" | $run "$launcher" >"$out/$r-$i.out" 2>"$out/$r-$i.err" || rc=$?
                echo "$rc" >"$out/$r-$i.rc") &
            i=$((i + 1))
        done
        n=0
        until settled "$r" || [ "$n" -ge 3000 ]; do sleep 0.01; n=$((n + 1)); done
        : >"$stop"
        wait $host "$sibling" || true
        if [ -L "$A" ]; then $run "$exchange" "$A" "$B"; fi
        : >"$W/.go-$r"
        wait
        i=0
        while [ "$i" -lt "$jails" ]; do
            starts=$((starts + 1))
            rc=$(cat "$out/$r-$i.rc")
            if [ "$rc" = 2 ] && grep -q 'rootfs setup failed' "$out/$r-$i.err"; then
                refusals=$((refusals + 1))
            elif grep -q BREACH "$out/$r-$i.out"; then
                breaches=$((breaches + 1))
            elif grep -q LINKMASKED "$out/$r-$i.out"; then
                masked=$((masked + 1))
            elif ! grep -q done "$out/$r-$i.out"; then
                other=$((other + 1))
                sed -n 1p "$out/$r-$i.err" >&2
            fi
            i=$((i + 1))
        done
        r=$((r + 1))
    done
    # Writes that landed in the look-alike, whatever the jail reported.
    leaked=$(find "$O" -name 'pw-*' | wc -l)
    breaches=$((breaches + leaked))
    swaps=$(cat "$out"/host-* 2>/dev/null | awk '{ n += $1 } END { print n + 0 }')
    sibling_swaps=$(grep -ho '"stdout":"[0-9]*' "$out"/sibling-* | awk -F'"' '{ n += $4 } END { print n + 0 }')
    printf '%-8s as %-6s starts %5d  refusals %5d  breaches %d  link-masked %d  other %d  swaps host %d sibling %d\n' \
        "$case" "${AS:-root}" "$starts" "$refusals" "$breaches" "$masked" "$other" "$swaps" "$sibling_swaps"
done
