#!/bin/sh
# Command runner benchmarks, each case side by side with its baseline:
#   captured_true  a captured `true` (isolation none, mode once) against a bare `true`,
#                  and its CPU time against a static fork+exec+wait of `true`;
#   serve_true     per-request cost of a serve-mode `run` of `true` against one fork
#                  and exec of `true` by a shell, and its CPU time against posix_spawn;
#   big_output     1 GiB of captured output against a dd pipe drain of the same size,
#                  plus the launcher's peak memory for it;
#   output_sizes   0, 1, 8 and 64 MiB of captured output against a dd pipe drain,
#                  with the launcher's peak memory for each;
#   long_lines     one serve request line of 1, 8, 32 and 128 MiB, made of blanks, of
#                  numbers or of one long argv string: time and the launcher's peak
#                  memory per line (lines over the 64 MiB limit end the server).
# Usage: bench/run.sh [build-dir] [case...]   (default: build, every case)
# Adding a case: write a function case_NAME and add NAME to CASES.
set -eu
cd "$(dirname "$0")/.."
. bench/requests.sh
build=${1:-build}
[ $# -gt 0 ] && shift
CASES=${*:-"captured_true serve_true big_output output_sizes long_lines"}
bin=$(realpath "$build/tarrow-jail")
peak_rss=$(realpath "$build/helpers/peak_rss")
spawn_loop=$(realpath "$build/helpers/spawn_loop")
if [ "$CASES" != long_lines ] && ! command -v hyperfine >/dev/null; then
    apt-get install -y hyperfine >/dev/null || { echo "bench/run.sh: hyperfine is missing" >&2; exit 2; }
fi

out=$(realpath -m bench/out)
mkdir -p "$out"
summary=$out/summary.txt

# summarize CASE OURS BASELINE: prints the pair with their ratio and appends
# "case | ours | baseline | ratio" to the summary file.
summarize() {
    awk -v c="$1" -v a="$2" -v b="$3" -v f="$summary" 'BEGIN {
        r = b > 0 ? a / b : 0
        printf "  %-34s ours %10.3f  baseline %10.3f  ratio %6.2f\n", c, a, b, r
        printf "%s | %.3f | %.3f | %.2f\n", c, a, b, r >> f
    }'
}

# stat_of FILE NAME FIELD: a field of one command in a hyperfine export
# ("median", or "cpu" for its mean user plus system seconds).
stat_of() {
    awk -v want="$2" -v field="$3" '
        /"command":/ { sub(/.*"command": "/, ""); sub(/",$/, ""); name = $0 }
        name == want && /"median":/ { gsub(/[^0-9.e-]/, "", $2); median = $2 }
        name == want && /"user":/ { gsub(/[^0-9.e-]/, "", $2); user = $2 }
        name == want && /"system":/ { gsub(/[^0-9.e-]/, "", $2); sys = $2 }
        END { print field == "cpu" ? user + sys : median }' "$1"
}
work=$(mktemp -d /var/tmp/tj-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# policy NAME ARGV_JSON [EXTRA_FIELDS]: an unconfined once policy in $work/NAME.json.
policy() {
    printf '{"isolation":"none","cwd":"%s","argv":%s%s}\n' "$work" "$2" "${3:-}" >"$work/$1.json"
}

# launch NAME [REDIRECTIONS]: runs the launcher on policy NAME, output discarded.
launch() {
    echo "sh -c 'exec $bin --policy-fd 3 3<$work/$1.json ${2:-} >/dev/null 2>&1'"
}

# compare CASE NAME CMD BASE_NAME BASE_CMD [hyperfine options]: times both
# commands and prints their medians and the ratio. Commands run without
# hyperfine's shell, whose subtracted start-up is too noisy for millisecond
# runs; each side execs through its own `sh -c` so that both pay the same.
compare() {
    case_name=$1 name=$2 cmd=$3 base_name=$4 base_cmd=$5
    shift 5
    hyperfine -N --style none "$@" --export-json "$out/run-$case_name.json" \
        -n "$name" "$cmd" -n "$base_name" "$base_cmd" >/dev/null
    awk -v a="$name" -v b="$base_name" '
        /"command":/ { sub(/.*"command": "/, ""); sub(/",$/, ""); name = $0 }
        /"median":/ { gsub(/[^0-9.e-]/, "", $2); mean[name] = $2 }
        END {
            printf "  %-28s %10.3f ms\n", a, mean[a] * 1000
            printf "  %-28s %10.3f ms\n", b, mean[b] * 1000
            printf "  ratio                        %10.2f\n", mean[a] / mean[b]
        }' "$out/run-$case_name.json"
}

# peak_kib NAME: the launcher's peak resident memory on policy NAME.
peak_kib() {
    sh -c "$peak_rss $work/$1.rss $bin --policy-fd 3 3<$work/$1.json >/dev/null 2>&1"
    cat "$work/$1.rss"
}

case_captured_true() {
    echo "== captured true (isolation none, mode once) against bare true"
    policy true '["true"]'
    compare captured_true tarrow-jail "$(launch true)" true "sh -c 'exec /bin/true'" \
        --warmup 20 --runs "${RUNS:-300}"
    echo "== captured true, CPU ms, against a static fork+exec+wait of true"
    compare captured_true_cpu tarrow-jail "$(launch true)" \
        fork-exec-wait "sh -c 'exec $spawn_loop fork 1 /bin/true'" --warmup 20 --runs "${RUNS:-300}"
    f=$out/run-captured_true_cpu.json
    summarize "captured true CPU ms" "$(stat_of "$f" tarrow-jail cpu | awk '{print $1 * 1000}')" \
        "$(stat_of "$f" fork-exec-wait cpu | awk '{print $1 * 1000}')"
}

case_serve_true() {
    n=${REQUESTS:-500}
    echo "== serve-mode run of true ($n per session, less an empty session), against fork and exec"
    policy serve '["true"]' ',"mode":"serve"'
    serve_inputs "$n" "$work"
    hyperfine -N --style none --warmup 2 --runs "${SERVE_RUNS:-10}" \
        --export-json "$out/run-serve.json" -n serve-n "$(launch serve "<$work/runs.req")" \
        -n serve-0 "$(launch serve "<$work/none.req")" -n fork-exec "sh $work/fork_exec.sh" >/dev/null
    awk -v n="$n" '
        /"command":/ { sub(/.*"command": "/, ""); sub(/",$/, ""); name = $0 }
        /"median":/ { gsub(/[^0-9.e-]/, "", $2); mean[name] = $2 }
        END {
            run = (mean["serve-n"] - mean["serve-0"]) / n * 1e6  # medians
            exec = mean["fork-exec"] / n * 1e6
            printf "  serve run of true            %10.0f us\n", run
            printf "  fork and exec of true        %10.0f us\n", exec
            printf "  ratio                        %10.2f\n", run / exec
        }' "$out/run-serve.json"
    echo "== serve-mode run of true, CPU us per request, against posix_spawn and wait"
    hyperfine -N --style none --warmup 2 --runs "${SERVE_RUNS:-10}" \
        --export-json "$out/run-serve-cpu.json" -n serve-n "$(launch serve "<$work/runs.req")" \
        -n serve-0 "$(launch serve "<$work/none.req")" \
        -n posix-spawn "sh -c 'exec $spawn_loop spawn $n /bin/true'" \
        -n spawn-0 "sh -c 'exec $spawn_loop spawn 0 /bin/true'" >/dev/null
    f=$out/run-serve-cpu.json
    summarize "serve run of true CPU us/request" \
        "$(echo "$(stat_of "$f" serve-n cpu) $(stat_of "$f" serve-0 cpu)" | awk -v n="$n" '{print ($1 - $2) / n * 1e6}')" \
        "$(echo "$(stat_of "$f" posix-spawn cpu) $(stat_of "$f" spawn-0 cpu)" | awk -v n="$n" '{print ($1 - $2) / n * 1e6}')"
}

case_big_output() {
    echo "== 1 GiB captured output against a dd pipe drain"
    policy big '["sh","-c","head -c 1073741824 /dev/zero"]'
    compare big_output tarrow-jail "$(launch big)" \
        head-dd "sh -c 'head -c 1073741824 /dev/zero | dd bs=64K of=/dev/null 2>/dev/null'" \
        --warmup 1 --runs "${BIG_RUNS:-5}"
    echo "  launcher peak RSS             $(peak_kib big) KiB"
    f=$out/run-big_output.json
    summarize "1 GiB captured wall s" "$(stat_of "$f" tarrow-jail median)" "$(stat_of "$f" head-dd median)"
}

case_output_sizes() {
    echo "== captured output of 0, 1, 8, 64 MiB against a dd pipe drain; launcher peak RSS"
    for mib in 0 1 8 64; do
        bytes=$((mib * 1048576))
        policy "out$mib" "[\"sh\",\"-c\",\"head -c $bytes /dev/zero | tr '\\\\0' x\"]"
        hyperfine -N --style none --warmup 2 --runs "${SIZE_RUNS:-20}" \
            --export-json "$out/run-out$mib.json" -n tarrow-jail "$(launch "out$mib")" \
            -n head-dd "sh -c 'head -c $bytes /dev/zero | tr \"\\\\0\" x | dd bs=64K of=/dev/null 2>/dev/null'" >/dev/null
        f=$out/run-out$mib.json
        summarize "$mib MiB captured wall s" "$(stat_of "$f" tarrow-jail median)" "$(stat_of "$f" head-dd median)"
        summarize "$mib MiB captured peak RSS MiB" "$(peak_kib "out$mib" | awk '{print $1 / 1024}')" 8
    done
}

# long_line SHAPE MIB: one request line of about MIB MiB in $work/line.req.
long_line() {
    bytes=$(($2 * 1048576))
    case $1 in
    blanks)
        { head -c "$bytes" /dev/zero | tr '\0' ' '; echo '{"kind":"status","pid":1}'; } ;;
    numbers)
        { printf '{"kind":"status","pid":1,"x":['; yes 1 | head -c "$bytes" | tr '\n' ','
          echo '1]}'; } ;;
    string)
        { printf '{"kind":"background","argv":["true","'
          head -c "$bytes" /dev/zero | tr '\0' a; echo '"]}'; } ;;
    esac >"$work/line.req"
}

case_long_lines() {
    echo "== one long serve request line: wall and CPU seconds, launcher peak RSS (KiB)"
    policy serve '["true"]' ',"mode":"serve"'
    printf '  %-8s %6s %8s %8s %10s  %s\n' shape MiB wall cpu "peak KiB" reply
    for shape in blanks numbers string; do
        for mib in ${LINE_MIBS:-1 8 32 128}; do
            long_line "$shape" "$mib"
            start=$(date +%s.%N)
            cpu=$(sh -c "$peak_rss $work/line.rss $bin --policy-fd 3 3<$work/serve.json \
                <$work/line.req >$work/line.out 2>$work/line.err; times" |
                awk 'NR == 2 { gsub(/[ms]/, " "); print $1 * 60 + $2 + $3 * 60 + $4 }')
            end=$(date +%s.%N)
            reply=$(tail -n 1 "$work/line.out" | cut -c 1-60)
            fatal=$(grep '^tarrow-jail: ' "$work/line.err" | cut -c 1-70) || true
            [ -n "$fatal" ] && reply=$fatal
            printf '  %-8s %6s %8.2f %8.2f %10s  %s\n' "$shape" "$mib" \
                "$(echo "$end - $start" | bc)" "$cpu" "$(cat "$work/line.rss")" "$reply"
        done
    done
    rm -f "$work/line.req"
}

for c in $CASES; do "case_$c"; done
