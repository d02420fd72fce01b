#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each for FUZZ_SECONDS (default 60)
# on its seeds in tests/fuzz/corpus/<target>/, which stay untouched: new inputs go to a
# scratch corpus under the build directory. FUZZ_SECONDS=0 only replays the seeds.
# Fails when any target crashes, hangs or breaks an invariant.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
case $build in /*) ;; *) build=$root/$build ;; esac
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
targets=(frame_extractor content_decoders hex_renderer conversions operator_inputs)

"$root/tools/install-deps.sh" clang-14 libclang-rt-14-dev || exit 1

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNEL_SANITIZE=ON -DVARNEL_FUZZ=ON -DCMAKE_UNITY_BUILD=ON >/dev/null || exit 1
cmake --build "$build" -j"$jobs" --target fuzz-targets || exit 1

if [ "$seconds" -eq 0 ]; then
    limit=(-runs=0)
else
    limit=(-max_total_time="$seconds")
fi

# One target's run; its exit code is the fuzzer's.
fuzz_one() {
    local t=$1 work=$build/fuzz-work/$1 max_len=4096 asan=detect_leaks=1
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    # Room for one frame with the largest accepted content.
    [ "$t" = frame_extractor ] && max_len=12000
    # Its one suppressed leak (inside Qt's JSON parser) is found by a frame of Qt's that only the
    # slow unwinder reaches.
    [ "$t" = operator_inputs ] && asan=$asan:fast_unwind_on_malloc=0
    ASAN_OPTIONS=$asan LSAN_OPTIONS=suppressions=$root/tests/lsan.supp \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/fuzz_$t" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len \
        -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
        "$work/corpus" "$root/tests/fuzz/corpus/$t" >"$work/log" 2>&1
}

# A fuzzer is one thread: JOBS of them run at once, each for the whole of its time.
declare -A pids
for t in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= jobs)); do
        wait -n || true
    done
    echo "== fuzz_$t: ${seconds}s, log in $build/fuzz-work/$t/log"
    fuzz_one "$t" &
    pids[$t]=$!
done

failed=()
summary=()
for t in "${targets[@]}"; do
    work=$build/fuzz-work/$t
    wait "${pids[$t]}"
    rc=$?
    done_line=$(grep -E '^Done [0-9]+ runs' "$work/log" | tail -n 1)
    if [ $rc -ne 0 ]; then
        failed+=("$t")
        grep -E 'invariant broken|ERROR: |SUMMARY: |Test unit written|runtime error' "$work/log" | head -n 20
        summary+=("fuzz_$t: FAILED (exit $rc), inputs in $work/artifacts/")
    else
        summary+=("fuzz_$t: ${done_line:-no Done line}")
    fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
    echo "failed: ${failed[*]}"
    exit 1
fi
