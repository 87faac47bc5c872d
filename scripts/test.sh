#!/bin/sh
# Installs what is missing, builds everything and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
# Every build here makes each compiler warning an error.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The host suites again under sanitizers, each build in its own directory. The
# guest suite boots its own machine around the plain build and is left out.
# Every report goes to a file in $dir/reports (tests/sanitizer_reports.cpp
# fails the test whose process or forked bridge wrote one); any file left
# there fails the run too, whoever wrote it.
#   sanitized DIR SANITIZERS NAME=OPTIONS...
sanitized() {
    dir=$1 sanitizers=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON -DSANITIZE="$sanitizers" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    reports=$PWD/$dir/reports
    rm -rf "$reports"
    mkdir -p "$reports"
    status=0
    env "$@" SANITIZER_REPORT_DIR="$reports" \
        ctest --test-dir "$dir" -E '^guest' --output-on-failure -j"$(nproc)" || status=$?
    for report in "$reports"/*; do
        [ -e "$report" ] || continue
        echo "== sanitizer report $report" >&2
        cat "$report" >&2
        status=1
    done
    [ "$status" -eq 0 ] || { echo "scripts/test.sh: the $sanitizers build failed" >&2; exit 1; }
}

common=halt_on_error=1:print_stacktrace=1
# The quarantine keeps freed blocks from reuse to catch use after free; at the
# default 256 MB it would hold on to the 100 MB line the reader test expects
# back, and 16 MB still covers everything freed between two requests.
sanitized build-asan address,undefined \
    ASAN_OPTIONS=$common:detect_leaks=1:quarantine_size_mb=16:log_path=$PWD/build-asan/reports/program \
    UBSAN_OPTIONS=$common:log_path=$PWD/build-asan/reports/program
# The bridge ends with _exit and runs no destructors, so the second that
# ThreadSanitizer waits at exit for late races only slows each exit down.
sanitized build-tsan thread \
    TSAN_OPTIONS=$common:atexit_sleep_ms=0:second_deadlock_stack=1:log_path=$PWD/build-tsan/reports/program

# The input side under libFuzzer for a bounded time (clang only); a crash, a
# failed check or a sanitizer report stops it with a non-zero status and
# leaves the input in build-fuzz/.
CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
mkdir -p build-fuzz/corpus
status=0
ASAN_OPTIONS=$common UBSAN_OPTIONS=$common \
    build-fuzz/fuzz_input build-fuzz/corpus fuzz/corpus -max_total_time=60 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ >build-fuzz/fuzz.log 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 80 build-fuzz/fuzz.log >&2
    echo "scripts/test.sh: the fuzzer stopped on a fault; its input is in build-fuzz/" >&2
    exit 1
fi
grep -E '^(Done|stat::)' build-fuzz/fuzz.log
