#!/bin/sh
# Hardened isolation inside the aarch64 guest: Landlock at whatever ABI the
# kernel has, and the seccomp filter, as root and as uid 65534. Busybox ash.
#
# usage: sh hardened-guest.sh DIR [refusal]
# DIR holds tarrow-jail and helpers/. With "refusal" (a kernel booted without
# Landlock) only the refusal to run unconfined is checked. Prints "PASS
# hardened ..." / "FAIL hardened ..." lines; exits with the number of failures.

DIR=$1
WANT=${2:-confined}
FAILS=0
H=/hardened

AREA=hardened
. "$(dirname "$0")/guest-lib.sh"

# The policy on standard input; mode exec, so the command's output is ours.
launch() { # USER POLICY
    echo "$2" | as_user "$1" "$DIR/tarrow-jail" 2>&1
}

policy() { # ARGV-JSON [EXTRA-MEMBERS]
    echo "{\"isolation\":\"hardened\",\"mode\":\"exec\",\"cwd\":\"$H/w\",\"tool_paths\":[\"$DIR\"],\"argv\":$1${2:+,$2}}"
}

make_tree() {
    rm -rf "$H"
    mkdir -p "$H/w/secret" "$H/w/sub" "$H/ro" "$H/other"
    for f in w/top w/secret/f ro/f other/f; do echo x >"$H/$f"; done
    chmod -R a+rwX "$H"
}

landlock_checks() { # USER
    make_tree
    # Truncation is a right of its own from ABI 3 (Linux 6.2) on.
    case $(uname -r) in
        5.* | 6.[01].* | 6.[01]-*) trunc=ok ;;
        *) trunc=EACCES ;;
    esac
    probes="create $H/w/sub/new create $H/w/new write $H/w/top read $H/w/secret/f"
    probes="$probes write $H/w/secret/f read $H/ro/f write $H/ro/f truncate $H/ro/f"
    probes="$probes read $H/other/f create $H/other/new create /tmp/hardened-probe"
    probes="$probes read /dev/urandom write /dev/urandom write /dev/null list /"
    argv="[\"$DIR/helpers/file_probe\""
    for p in $probes; do argv="$argv,\"$p\""; done
    argv="$argv]"
    got=$(launch "$1" "$(policy "$argv" "\"extra_ro_paths\":[\"$H/ro\"],\"extra_protect_paths\":[\"$H/w/secret\"]")")
    expected="create $H/w/sub/new: ok
create $H/w/new: EACCES
write $H/w/top: ok
read $H/w/secret/f: ok
write $H/w/secret/f: EACCES
read $H/ro/f: ok
write $H/ro/f: EACCES
truncate $H/ro/f: $trunc
read $H/other/f: EACCES
create $H/other/new: EACCES
create /tmp/hardened-probe: ok
read /dev/urandom: ok
write /dev/urandom: EACCES
write /dev/null: ok
list /: EACCES"
    check "landlock as $1 on $(uname -r)" "$expected" "$got"
}

seccomp_checks() { # USER
    make_tree
    probes="unshare setns mount ptrace openat-setuid fchmodat-setgid mknodat-chr ioctl-tiocsti"
    probes="$probes openat2 openat-create fchmodat-plain ioctl-tiocgwinsz getpid"
    probes="$probes clone-newuser clone-newns clone-newnet clone-newtime clone3 statmount"
    probes="$probes fork vfork thread posix_spawn"
    argv="[\"$DIR/helpers/try_syscall\""
    for p in $probes; do argv="$argv,\"$p\""; done
    argv="$argv]"
    got=$(launch "$1" "$(policy "$argv")" | tr '\n' ' ')
    expected="EPERM EPERM EPERM EPERM EPERM EPERM EPERM EPERM ENOSYS EFAULT EFAULT EBADF OK "
    expected="${expected}EPERM EPERM EPERM EPERM ENOSYS EPERM OK OK OK OK "
    check "seccomp as $1" "$expected" "$got"
}

hide_checks() { # USER
    make_tree
    probes="read $H/w/top write $H/w/top create $H/w/sub/new read $H/w/secret/f"
    argv="[\"$DIR/helpers/file_probe\""
    for p in $probes; do argv="$argv,\"$p\""; done
    argv="$argv]"
    got=$(launch "$1" "$(policy "$argv" "\"hide_paths\":[\"$H/w/top\"]")")
    expected="read $H/w/top: EACCES
write $H/w/top: EACCES
create $H/w/sub/new: ok
read $H/w/secret/f: ok"
    check "hidden path as $1" "$expected" "$got"
}

# Landlock scopes arrived with ABI 6 (Linux 6.12): before, a hardened command
# may signal the user's other processes and reach abstract sockets.
scope_checks() { # USER
    case $(uname -r) in
        5.* | 6.[0-9].* | 6.1[01].*) want=OK ;;
        *) want=EPERM ;;
    esac
    # Started directly (not through a shell function, whose subshell would be
    # the background job) so that $! is the sleeper of that user.
    if [ "$1" = root ]; then sleep 600 & else runas 65534 sleep 600 & fi
    sleeper=$!
    sleep 1
    got=$(launch "$1" "$(policy "[\"$DIR/helpers/try_syscall\",\"kill:$sleeper\",\"fork\"]")" | tr '\n' ' ')
    kill "$sleeper" 2>/dev/null
    check "signal scope as $1" "$want OK " "$got"
}

refusal_check() { # USER
    make_tree
    got=$(launch "$1" "$(policy "[\"$DIR/helpers/file_probe\",\"create\",\"$H/other/new\"]")"; echo "status $?")
    expected="tarrow-jail: landlock failed: hardened isolation requires Landlock, but the kernel enforced no ruleset (Landlock unavailable); refusing to run unconfined
status 2"
    check "refusal without Landlock as $1" "$expected" "$got"
}

for user in root nobody; do
    if [ "$WANT" = refusal ]; then
        refusal_check $user
    else
        landlock_checks $user
        seccomp_checks $user
        hide_checks $user
        scope_checks $user
    fi
done
rm -rf "$H"
exit $FAILS
