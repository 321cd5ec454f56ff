# Sourced by the bench scripts. serve_inputs N DIR: DIR/runs.req with N run
# requests of /bin/true, an empty DIR/none.req, and DIR/fork_exec.sh running
# /bin/true N times from one shell.
serve_inputs() {
    : >"$2/none.req"
    i=0
    while [ "$i" -lt "$1" ]; do
        echo '{"kind":"run","argv":["/bin/true"]}'
        i=$((i + 1))
    done >"$2/runs.req"
    i=0
    while [ "$i" -lt "$1" ]; do
        echo /bin/true
        i=$((i + 1))
    done >"$2/fork_exec.sh"
}
