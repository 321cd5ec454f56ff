#!/bin/sh
# Strict jail benchmarks, side by side with their baselines:
#   1. a strict once run of `true` against bubblewrap building a comparable root
#      (read-only system directories, tmpfs /tmp, fresh /proc, a few device nodes,
#      the working directory writable, every namespace);
#   2. a serve-mode `run` of `true` inside the jail against a bare fork and exec.
# Usage: bench/jail.sh [build-dir]   (default: build). Needs hyperfine and bwrap.
set -eu
cd "$(dirname "$0")/.."
. bench/requests.sh
build=${1:-build}
bin=$(realpath "$build/tarrow-jail")
runs=${RUNS:-200}
for tool in hyperfine bwrap; do
    command -v "$tool" >/dev/null || { echo "bench/jail.sh: $tool is missing (apt-get install $tool bubblewrap)" >&2; exit 2; }
done

out=$(realpath -m bench/out)
mkdir -p "$out"
work=$(mktemp -d /var/tmp/tj-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '{"cwd":"%s","argv":["/bin/true"]}\n' "$work" >"$work/once.json"
printf '{"cwd":"%s","argv":["/bin/true"],"mode":"serve"}\n' "$work" >"$work/serve.json"

# Both sides build the same root; bubblewrap gets the jail's system directories
# that exist here and the same default device nodes.
ro=""
for dir in /usr /bin /sbin /lib /lib64 /etc/alternatives; do
    [ -e "$dir" ] && ro="$ro --ro-bind $dir $dir"
done
dev=""
for node in null zero urandom random full; do
    [ -e "/dev/$node" ] && dev="$dev --dev-bind /dev/$node /dev/$node"
done
bwrap_cmd="bwrap --unshare-all --die-with-parent$ro --tmpfs /tmp --proc /proc$dev \
--bind $work $work --chdir $work /bin/true"

echo "== strict once run of true, against bubblewrap" >&2
# hyperfine measures and subtracts the start-up of its shell, which does the redirection.
hyperfine --warmup 10 --runs "$runs" --export-json "$out/jail-once.json" \
    -n tarrow-jail "$bin --policy-fd 3 3<$work/once.json >/dev/null" -n bubblewrap "$bwrap_cmd"

# Serve mode: N run requests through one jail, less one jail with none, per
# request; against N fork-and-exec of true by one process.
n=${REQUESTS:-500}
serve_inputs "$n" "$work"

echo "== serve-mode run of true in the jail ($n per session), against bare fork and exec" >&2
hyperfine --warmup 3 --runs "${SERVE_RUNS:-10}" --export-json "$out/jail-serve.json" \
    -n "serve-$n" "$bin --policy-fd 3 3<$work/serve.json <$work/runs.req >/dev/null" \
    -n serve-0 "$bin --policy-fd 3 3<$work/serve.json <$work/none.req >/dev/null" \
    -n "fork-exec-$n" "sh $work/fork_exec.sh"

awk -v n="$n" '
    /"command":/ { gsub(/[",]/, "", $2); name = $2 }
    /"mean":/ { gsub(/,/, "", $2); mean[name] = $2 }
    END {
        per_run = (mean["serve-" n] - mean["serve-0"]) / n * 1e6
        per_exec = mean["fork-exec-" n] / n * 1e6
        printf "serve run of true in the jail: %.0f us per request\n", per_run
        printf "bare fork and exec of true:    %.0f us per exec\n", per_exec
        printf "ratio: %.2f\n", per_run / per_exec
    }' "$out/jail-serve.json"
