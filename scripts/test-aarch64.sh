#!/bin/sh
# The whole unit and end-to-end suites, cross-built for aarch64, under both
# Debian arm64 kernels in the VM rig (6.1 with Landlock ABI 2, 6.12 with ABI 6),
# each as root and as uid 65534. Ends with one count line per kernel and the
# time of each part; fails when any test failed. Not called by scripts/test.sh
# yet: run it by hand.
# The rig is AARCH64_VM, or ../shared/tools/aarch64-vm beside the checkout; it
# installs qemu and the cross compiler on first use.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh ccache
if [ -z "${AARCH64_VM:-}" ]; then
    for rig in ../shared/tools/aarch64-vm /work/shared/tools/aarch64-vm; do
        if [ -x "$rig/run-in-vm.sh" ]; then
            AARCH64_VM=$(cd "$rig" && pwd)/run-in-vm.sh
            break
        fi
    done
fi
if [ -z "${AARCH64_VM:-}" ]; then
    echo "test-aarch64: no arm64 VM rig (set AARCH64_VM to its run-in-vm.sh)" >&2
    exit 1
fi
export AARCH64_VM
start=$(date +%s)
status=0
log=$(mktemp)
trap 'rm -f "$log" "$log.status"' EXIT
for kernel in bookworm trixie; do
    { tests/vm/run-aarch64.sh -a -k "$kernel" 2>&1 && echo 0 >"$log.status" ||
        echo $? >"$log.status"; } | tee -a "$log"
    [ "$(cat "$log.status")" = 0 ] || status=1
done
echo "== aarch64 suites"
grep -E "^aarch64 |^run-aarch64: time:" "$log"
echo "aarch64 stage: $(($(date +%s) - start)) s, status $status"
exit "$status"
