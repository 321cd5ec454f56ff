#!/bin/sh
# The strict jail inside the aarch64 guest: namespaces, the private root, the
# pivot, Landlock and seccomp on a real arm64 kernel, as root and as uid 65534.
# Busybox ash.
#
# usage: sh strict-guest.sh DIR
# DIR holds tarrow-jail and helpers/. Prints "PASS strict ..." / "FAIL strict
# ..." lines; exits with the number of failures.

DIR=$1
FAILS=0
S=/strict

AREA=strict
. "$(dirname "$0")/guest-lib.sh"

# Mode exec: the command's output is the launcher's own.
launch() { # USER ARGV-JSON [EXTRA-MEMBERS]
    policy="{\"mode\":\"exec\",\"cwd\":\"$S/w\",\"tool_paths\":[\"$DIR\"],\"argv\":$2${3:+,$3}}"
    echo "$policy" | as_user "$1" "$DIR/tarrow-jail" 2>&1
}

strict_checks() { # USER
    rm -rf "$S"
    mkdir -p "$S/w" "$S/ro" "$S/w/.git"
    echo data >"$S/ro/f"
    chmod -R a+rwX "$S"
    script="hostname; echo hi >made && cat made; [ -d /tmp/tarrow-home ] && echo tarrow-home; cat $S/ro/f"
    script="$script; { echo x >$S/ro/f; } 2>/dev/null || echo ro-refused"
    script="$script; { echo x >.git/y; } 2>/dev/null || echo protected"
    got=$(launch "$1" "[\"/bin/sh\",\"-c\",\"$script\"]" \
        "\"extra_ro_paths\":[\"$S/ro\"],\"extra_protect_paths\":[\"$S/w/.git\"]" | tr '\n' ' ')
    check "root assembly as $1" "tarrow hi tarrow-home data ro-refused protected " "$got"
    got=$(launch "$1" "[\"$DIR/helpers/jail_probe\",\"unshare\"]" | tr '\n' ' ')
    check "seccomp in the jail as $1" "EPERM " "$got"
    got=$(launch "$1" "[\"$DIR/helpers/jail_probe\",\"ifaces\"]" | tr '\n' ' ')
    check "network none as $1" "lo up " "$got"
    got=$(launch "$1" '["/bin/sh","-c","exit 7"]'; echo "status $?")
    check "exec status as $1" "status 7" "$got"
}

strict_checks root
strict_checks nobody
exit "$FAILS"
