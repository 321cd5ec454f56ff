#!/bin/sh
# The whole unit and end-to-end suites inside the aarch64 guest (busybox ash,
# started as root from the packed directory: tarrow-jail, helpers/, tests/).
#
#   sh ./run.sh [SHARDS]
#
# Runs both suites as root and as uid 65534, all at once: each unit suite in
# one process, each end-to-end suite split into SHARDS (default 3) GoogleTest
# shards, since those tests mostly wait for processes to start and end. The
# containment tests, which count the machine's processes, run afterwards,
# alone: beside other test programs their killed-launcher case never saw its
# command's processes up.
# Prints per suite and user the failing and skipped tests with their output and
# the slowest tests, then one line
#   SUITE <kernel> <user> <suite> passed=N failed=N skipped=N status=N time=Ns
# (time: its slowest shard). Exits 0 when every run passed.
set -u
DIR=$(pwd)
shards=${1:-3}
kernel=$(uname -r)
echo "== kernel: $(uname -srm), $(nproc) CPUs, $shards shards per end-to-end suite"

# What the tests expect of a Debian system: a /usr/bin with the usual
# commands (busybox applets here), /var/tmp for jail fixtures outside /tmp,
# and a few system directories the grant tests name.
mkdir -p /usr/bin /usr/sbin /usr/lib /usr/share /var/tmp /var/log /etc/alternatives
chmod 1777 /var/tmp
busybox --install -s /usr/bin 2>/dev/null
echo "Debian-like tree for the tests" >/usr/share/tarrow-vm
touch /usr/lib/.keep /etc/alternatives/.keep /var/log/.keep

# As on a host whose root cgroup hands memory and pids on: the launcher then
# gives each run (isolation none, as root) a cgroup with its limits.
echo "+memory +pids" >/sys/fs/cgroup/cgroup.subtree_control 2>/dev/null

# A run is under the emulator: every system call costs about 18 times as
# much, so the tests stretch their waits.
export TARROW_TEST_TIME_SCALE=10

# run_shard USER NAME PART INDEX TOTAL FILTER: shard INDEX of TOTAL of the
# tests of a program that FILTER selects, its output in
# /tmp/suite-USER-NAME-PART.log and "STATUS SECONDS" in the same name .status.
run_shard() {
    log=/tmp/suite-$1-$2-$3.log
    began=$(date +%s)
    if [ "$1" = root ]; then
        as=""
    else
        as="runas 65534"
    fi
    # shellcheck disable=SC2086 # $as is a command prefix or nothing
    (cd /tmp && GTEST_TOTAL_SHARDS=$5 GTEST_SHARD_INDEX=$4 GTEST_FILTER=$6 $as "$DIR/tests/$2") \
        >"$log" 2>&1
    echo "$? $(($(date +%s) - began))" >"$log.status"
}

# report USER NAME PARTS: the parts' failures, skips and slowest tests and
# their summed SUITE line; returns 0 when every shard passed.
report() {
    logs=""
    worst=0
    took=0
    index=0
    while [ "$index" -lt "$3" ]; do
        log=/tmp/suite-$1-$2-$index.log
        logs="$logs $log"
        read -r status seconds <"$log.status" || status=125
        [ "$status" -eq 0 ] || worst=$status
        [ "${seconds:-0}" -le "$took" ] || took=$seconds
        if ! grep -q '^\[  PASSED  \] [0-9]* tests\{0,1\}\.$' "$log"; then
            echo "-- shard $index of $2 as $1 ended without a summary (status $status); its last lines:"
            tail -n 40 "$log"
            [ "$worst" -ne 0 ] || worst=1
        fi
        index=$((index + 1))
    done
    # shellcheck disable=SC2086 # $logs is a list of files
    awk -v user="$1" -v name="$2" -v kernel="$kernel" -v worst="$worst" -v took="$took" '
        /^\[ RUN      \]/ { buf = $0; next }
        { buf = buf "\n" $0 }
        /^\[  (FAILED  |SKIPPED )\] .*\([0-9]+ ms\)$/ { print buf; buf = "" }
        /^\[       OK \] .* \([0-9]+ ms\)$/ {
            ms = $(NF - 1); sub(/^\(/, "", ms); t = $0
            sub(/^\[       OK \] /, "", t); sub(/ \([0-9]+ ms\)$/, "", t)
            slow[t] = ms + 0 }
        /^\[  PASSED  \] [0-9]+ tests?\.$/ { passed += $4 }
        /^\[  FAILED  \] [0-9]+ tests?, listed below:$/ { failed += $4 }
        /^\[  SKIPPED \] [0-9]+ tests?, listed below:$/ { skipped += $4 }
        END {
            printf "-- %s as %s, slowest tests:\n", name, user
            n = 0
            for (t in slow) order[++n] = t
            for (i = 1; i <= n && i <= 8; i++) {
                for (j = i + 1; j <= n; j++)
                    if (slow[order[j]] > slow[order[i]]) { x = order[i]; order[i] = order[j]; order[j] = x }
                printf "%d ms %s\n", slow[order[i]], order[i]
            }
            printf "SUITE %s %s %s passed=%d failed=%d skipped=%d status=%d time=%ds\n",
                kernel, user, name, passed, failed, skipped, worst, took
            exit (failed > 0 || worst != 0)
        }' $logs
}

# Every run in the background at once. The test programs put SIGINT and
# SIGQUIT, which the shell ignores in background jobs, back at their defaults.
containment='Isolations/Containment.*'
start=$(date +%s)
for user in root nobody; do
    run_shard "$user" unit_tests 0 0 1 '*' &
    index=0
    while [ "$index" -lt "$shards" ]; do
        run_shard "$user" e2e_tests "$index" "$index" "$shards" "-$containment" &
        index=$((index + 1))
    done
done
wait
echo "== guest suites, all at once: $(($(date +%s) - start)) s"
start=$(date +%s)
for user in root nobody; do
    run_shard "$user" e2e_tests "$shards" 0 1 "$containment"
done
echo "== guest containment tests, alone: $(($(date +%s) - start)) s"

fails=0
for user in root nobody; do
    report "$user" unit_tests 1 || fails=$((fails + 1))
    report "$user" e2e_tests $((shards + 1)) || fails=$((fails + 1))
done
exit "$fails"
