#!/bin/sh
# Runs inside the aarch64 VM (busybox sh, as root, from the directory that
# tests/vm/run-aarch64.sh packed). Exit status 0 when every check passed.
set -u
echo "== kernel: $(uname -srm)"
passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL $1"
}

# fchmodat2 arrived in Linux 6.6: older kernels answer ENOSYS when it gets through.
case $(uname -r) in
[1-5].* | 6.[0-5].*) fchmodat2=ENOSYS ;;
*) fchmodat2=EFAULT ;;
esac
# statmount and listmount arrived in 6.8, open_tree_attr in 6.15.
case $(uname -r) in
[1-5].* | 6.[0-7].*) mount68=ENOSYS ;;
*) mount68=EFAULT ;;
esac
case $(uname -r) in
[1-5].* | 6.[0-9].* | 6.1[0-4].*) mount615=ENOSYS ;;
*) mount615=EFAULT ;;
esac

# probe, then what it prints: under the seccomp filter; without it as root;
# without it as uid 65534 (pivot_root needs CAP_SYS_ADMIN before it reads its
# arguments). aarch64 has no creat, open, chmod or mknod.
probes="
unshare                EPERM   OK      OK
setns                  EPERM   EBADF   EBADF
mount                  EPERM   EFAULT  EFAULT
umount2                EPERM   EFAULT  EFAULT
pivot_root             EPERM   EFAULT  EPERM
ptrace                 EPERM   ESRCH   ESRCH
openat-setuid          EPERM   EFAULT  EFAULT
openat-setgid          EPERM   EFAULT  EFAULT
openat-tmpfile-setuid  EPERM   EFAULT  EFAULT
openat-create          EFAULT  EFAULT  EFAULT
openat-nocreat-setuid  EFAULT  EFAULT  EFAULT
fchmodat-setgid        EPERM   EFAULT  EFAULT
fchmodat-plain         EFAULT  EFAULT  EFAULT
fchmod-setuid          EPERM   EBADF   EBADF
fchmod-plain           EBADF   EBADF   EBADF
fchmodat2-setuid       EPERM   $fchmodat2 $fchmodat2
mknodat-chr            EPERM   EFAULT  EFAULT
mknodat-blk            EPERM   EFAULT  EFAULT
mknodat-setuid         EPERM   EFAULT  EFAULT
mknodat-fifo           EFAULT  EFAULT  EFAULT
creat-setuid           ABSENT  ABSENT  ABSENT
open-setuid            ABSENT  ABSENT  ABSENT
chmod-setuid           ABSENT  ABSENT  ABSENT
mknod-chr              ABSENT  ABSENT  ABSENT
ioctl-tiocsti          EPERM   EBADF   EBADF
ioctl-tiocsti-high     EPERM   EBADF   EBADF
ioctl-tioclinux        EPERM   EBADF   EBADF
ioctl-tiocgwinsz       EBADF   EBADF   EBADF
openat2                ENOSYS  EFAULT  EFAULT
statmount              EPERM   $mount68 $mount68
listmount              EPERM   $mount68 $mount68
open_tree_attr         EPERM   $mount615 $mount615
clone-newuser          EPERM   OK      OK
clone-newuser-flag     EPERM   EINVAL  EINVAL
clone-newns            EPERM   EINVAL  EINVAL
clone-newpid           EPERM   EINVAL  EINVAL
clone-newnet           EPERM   EINVAL  EINVAL
clone-newipc           EPERM   EINVAL  EINVAL
clone-newuts           EPERM   EINVAL  EINVAL
clone-newcgroup        EPERM   EINVAL  EINVAL
clone-newtime          EPERM   EINVAL  EINVAL
clone3                 ENOSYS  EFAULT  EFAULT
fork                   OK      OK      OK
vfork                  OK      OK      OK
thread                 OK      OK      OK
posix_spawn            OK      OK      OK
getpid                 OK      OK      OK
"
probes=$(echo "$probes" | sed "s/\$fchmodat2/$fchmodat2/g; s/\$mount68/$mount68/g; s/\$mount615/$mount615/g")
names=$(echo "$probes" | awk 'NF { print $1 }')

# check_probes LABEL COLUMN COMMAND...: runs try_syscall on every probe under
# COMMAND and compares with that column of the table.
check_probes() {
    label=$1
    column=$2
    shift 2
    echo "$names" >/tmp/names
    echo "$probes" | awk -v c="$column" 'NF { print $c }' >/tmp/expected
    # shellcheck disable=SC2086
    "$@" ./helpers/try_syscall $names >/tmp/got 2>&1
    if cmp -s /tmp/expected /tmp/got; then
        pass "$label: $(wc -l </tmp/got) probes"
    else
        fail "$label (probe, expected, got):"
        paste /tmp/names /tmp/expected /tmp/got | awk '$2 != $3 { print "    " $0 }'
    fi
}

# run_gtest LABEL COMMAND...: passes when the test program exits 0; shows its
# summary, or the end of its output on failure.
run_gtest() {
    label=$1
    shift
    if "$@" >/tmp/out 2>&1; then
        pass "$label: $(grep -E '^\[ +PASSED +\]' /tmp/out | tr -s ' ' | tr '\n' ' ')"
    else
        fail "$label:"
        tail -n 30 /tmp/out | sed 's/^/    /'
    fi
}

for user in root 65534; do
    as=""
    column=3
    if [ "$user" != root ]; then
        as="runas $user"
        column=4
    fi
    echo "== as $user"
    check_probes "try_syscall without a filter as $user" $column $as
    check_probes "try_syscall under the seccomp filter as $user" 2 $as ./with_seccomp
    run_gtest "seccomp unit tests as $user" $as ./seccomp_unit_tests
done

echo "== $passed passed, $failed failed"
[ "$failed" -eq 0 ]
