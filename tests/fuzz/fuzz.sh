#!/usr/bin/env bash
# Runs every differential harness under libFuzzer for SECONDS each:
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
mkdir -p "$out/crashes"
for name in text schema convert calls columns; do
    mkdir -p "$out/$name"
    dirs=("$out/$name" "$here/corpus/$name")
    [ -d "$here/regressions/$name" ] && dirs+=("$here/regressions/$name")
    echo "fuzz $name: ${seconds}s"
    LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$py" "$here/run.py" "$name" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=8192 \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$name-" "${dirs[@]}" 2>"$out/$name.log" || {
        tail -60 "$out/$name.log"
        echo "fuzz $name: FAILED; the input is in $out/crashes"
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/$name.log" | tail -2 || true
done
