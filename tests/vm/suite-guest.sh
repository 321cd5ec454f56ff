#!/bin/sh
# The whole unit and end-to-end suites inside the aarch64 guest (busybox ash,
# started as root from the packed directory: tarrow-jail, helpers/, tests/).
# Runs both suites as root, then as uid 65534 (one after the other: a job
# started with & would have SIGINT ignored), and prints per run the
# failing and skipped tests with their output, then one line
#   SUITE <kernel> <user> <suite> passed=N failed=N skipped=N status=N
# Exits 0 when every run passed.
set -u
DIR=$(pwd)
kernel=$(uname -r)
echo "== kernel: $(uname -srm)"

# What the tests expect of a Debian system: a /usr/bin with the usual
# commands (busybox applets here), /var/tmp for jail fixtures outside /tmp,
# and a few system directories the grant tests name.
mkdir -p /usr/bin /usr/sbin /usr/share /var/tmp /var/log /etc/alternatives
chmod 1777 /var/tmp
busybox --install -s /usr/bin 2>/dev/null
echo "Debian-like tree for the tests" >/usr/share/tarrow-vm
touch /etc/alternatives/.keep /var/log/.keep

# A run is under the emulator: every system call costs about 18 times as
# much, so the tests stretch their waits.
export TARROW_TEST_TIME_SCALE=10

# run_suite USER NAME: one test program, its report on standard output.
run_suite() {
    user=$1
    name=$2
    log=/tmp/suite-$user-$name.log
    start=$(date +%s)
    if [ "$user" = root ]; then
        (cd /tmp && "$DIR/tests/$name") >"$log" 2>&1
    else
        (cd /tmp && runas 65534 "$DIR/tests/$name") >"$log" 2>&1
    fi
    status=$?
    took=$(($(date +%s) - start))
    # The output of every test that failed or skipped, from its RUN line on.
    awk '/^\[ RUN      \]/ { buf = $0; next }
         { buf = buf "\n" $0 }
         /^\[  (FAILED  |SKIPPED )\] .*\([0-9]+ ms\)$/ { print buf; buf = "" }' "$log"
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$log")
    failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:$/\1/p' "$log")
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:$/\1/p' "$log")
    if [ -z "$passed" ]; then
        echo "-- $name as $user ended without a summary (status $status); its last lines:"
        tail -n 40 "$log"
        failed=${failed:-1}
    fi
    echo "-- $name as $user, slowest tests:"
    sed -n 's/^\[       OK \] \(.*\) (\([0-9]*\) ms)$/\2 \1/p' "$log" | sort -rn | head -n 5
    echo "SUITE $kernel $user $name passed=${passed:-0} failed=${failed:-0} skipped=${skipped:-0} status=$status time=${took}s"
    [ "$status" -eq 0 ]
}

fails=0
for user in root nobody; do
    for name in unit_tests e2e_tests; do
        run_suite "$user" "$name" || fails=$((fails + 1))
    done
done
exit "$fails"
