# Sourced by the guest check scripts (busybox ash). The caller sets AREA (the
# word after PASS/FAIL) and FAILS=0.

check() { # NAME EXPECTED GOT
    if [ "$2" = "$3" ]; then
        echo "PASS $AREA $1"
    else
        echo "FAIL $AREA $1"
        printf '  expected: %s\n  got:      %s\n' "$2" "$3"
        FAILS=$((FAILS + 1))
    fi
}

as_user() { # USER CMD...: root runs directly, nobody through runas
    user=$1
    shift
    if [ "$user" = root ]; then "$@"; else runas 65534 "$@"; fi
}
