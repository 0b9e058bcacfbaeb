#!/usr/bin/env bash
# Runs every differential harness (the keys of registry.CHECKS, so that a
# new harness is fuzzed as soon as it is listed there) under libFuzzer, all
# of them within SECONDS, startup included: each gets an equal share of the
# time that is left when it starts.
#
#   bash tests/fuzz/fuzz.sh PYTHON SECONDS [WORKDIR]
#
# PYTHON has atheris and the extension built by clang with
# address,undefined,fuzzer-no-link (as .ci/run builds it). New inputs go to
# WORKDIR/NAME, crashing or diverging inputs to WORKDIR/crashes; save those in
# tests/fuzz/regressions/NAME/ once fixed.
set -euo pipefail
py=$1
seconds=$2
out=${3:-$(mktemp -d)}
here=$(cd "$(dirname "$0")" && pwd)
runtime="$("$py" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
sanitized=(env LD_PRELOAD="$runtime" ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=0"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
mapfile -t names < <("${sanitized[@]}" "$py" "$here/run.py" --list)
[ ${#names[@]} -gt 0 ] || { echo "fuzz: no harness listed"; exit 1; }
deadline=$((SECONDS + seconds))
left=${#names[@]}
mkdir -p "$out/crashes"
for name in "${names[@]}"; do
    each=$(( (deadline - SECONDS) / left - 5 ))  # about 5 s go to its startup
    (( each > 0 )) || each=1
    left=$((left - 1))
    mkdir -p "$out/$name"
    dirs=("$out/$name" "$here/corpus/$name")
    [ -d "$here/regressions/$name" ] && dirs+=("$here/regressions/$name")
    echo "fuzz $name: ${each}s"
    "${sanitized[@]}" "$py" "$here/run.py" "$name" -max_total_time="$each" -timeout=60 -rss_limit_mb=8192 \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$name-" "${dirs[@]}" 2>"$out/$name.log" || {
        tail -60 "$out/$name.log"
        echo "fuzz $name: FAILED; the input is in $out/crashes"
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/$name.log" | tail -2 || true
done
