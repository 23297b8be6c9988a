#!/bin/bash
# `make fuzz`: builds the libFuzzer harnesses with clang into build-fuzz/ (AddressSanitizer
# and UBSan) and runs each for FUZZ_SECONDS (default 60), starting from the checked-in seed
# corpus, then prints one table. Exits 1 when any harness found a crash. (The inputs of
# past findings, fuzz/regressions/, are replayed by ctest in every build.)
#   FUZZ_SECONDS=N       seconds per harness
#   FUZZ_RUNS=N          stop a harness after N executions instead (whichever comes first)
#   FUZZ_HARNESSES="A B" only these harnesses (default: every one built)
# What a run adds to the corpus stays in build-fuzz/corpus/<harness>/; findings go to
# build-fuzz/findings/<harness>/ and the log to build-fuzz/logs/<harness>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${FUZZ_BUILD:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
RUNS=${FUZZ_RUNS:--1}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "make fuzz: clang++ not found (make deps installs clang and its libFuzzer runtime)" >&2
    exit 2
fi
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQIPFINDER_FUZZ=ON -DQIPFINDER_TESTS=OFF -DQIPFINDER_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" -j "${JOBS:-2}" --target fuzz-all >/dev/null

# Longest input per harness: pages reach past the 65,535-byte cap, datagrams past 1,472.
max_len() {
    case "$1" in
        SysInfoParsePage|SysInfoFetchPage) echo 70000 ;;
        QipPacketCreate) echo 2048 ;;
        QipBundleSettings) echo 16384 ;;
        *) echo 4096 ;;
    esac
}

harnesses=${FUZZ_HARNESSES:-$(cd "$BUILD/bin" && ls fuzz-* | sed 's/^fuzz-//')}
mkdir -p "$BUILD/logs"
rows=()
failed=0
for harness in $harnesses; do
    corpus="$BUILD/corpus/$harness"
    findings="$BUILD/findings/$harness"
    log="$BUILD/logs/$harness.log"
    mkdir -p "$corpus" "$findings"
    stamp="$BUILD/logs/$harness.start"
    touch "$stamp"
    flags=(-max_total_time="$SECONDS_EACH" -runs="$RUNS" -max_len="$(max_len "$harness")"
           -timeout=10 -print_final_stats=1 -artifact_prefix="$findings/")
    [ -f "fuzz/dict/$harness.dict" ] && flags+=(-dict="fuzz/dict/$harness.dict")
    seeds=()
    for folder in "fuzz/corpus/$harness"; do
        [ -d "$folder" ] && seeds+=("$folder")
    done
    set +e
    nice "$BUILD/bin/fuzz-$harness" "${flags[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1
    status=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    size=$(find "$corpus" -type f | wc -l)
    crashes=$(find "$findings" -type f -newer "$stamp" | wc -l)
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed=1
        echo "make fuzz: $harness failed (status $status); see $log and $findings/" >&2
    fi
    rows+=("$harness ${execs:-?} ${rate:-?} $size $crashes")
done

printf '%-22s %12s %10s %8s %8s\n' harness executions exec/s corpus crashes
for row in "${rows[@]}"; do
    # shellcheck disable=SC2086
    printf '%-22s %12s %10s %8s %8s\n' $row
done
exit $failed
