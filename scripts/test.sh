#!/usr/bin/env bash
# Installs what is missing and runs the whole test suite:
#   1. the Release build (warnings as errors, hashlab collide with MPI): unit tests, report tests,
#      the microbenchmark's smoke run, and the check that every hash is inlined;
#   2. the same under AddressSanitizer and UndefinedBehaviorSanitizer, one complete run included;
#   3. the fuzz target for FUZZ_SECONDS (default 60) from the committed seed corpus, beside 4 and 5;
#   4. the 32-bit Windows cross-build, under Wine where the kernel runs 32-bit programs (scripts/windows.sh);
#   5. the programs installed by cmake --install and by the .deb, run from there (test_package.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says when it starts, so a slow suite shows where its time goes.
step() { echo "== $* (at ${SECONDS} s)"; }
scripts/setup.sh build test lab fuzz chart mpi

step Release build: unit tests and report tests
scripts/build.sh build -DHASHBENCH_WERROR=ON -DBUILD_TESTING=ON -DHASHBENCH_MICROBENCH=ON -DHASHBENCH_LAB=ON -DHASHLAB_MPI=ON
(cd build && ctest --output-on-failure -j"$(nproc)")
scripts/check_inlining.sh build/hashbench

step AddressSanitizer + UndefinedBehaviorSanitizer build
# -O1 and line tables only (-g1): the sanitizers' reports still name file and line, the build takes
# about a third less than at -O2 and the tests run as fast; the microbenchmarks time nothing under them.
scripts/build.sh build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DHASHBENCH_SANITIZE=ON -DHASHBENCH_WERROR=ON -DHASHBENCH_MICROBENCH=OFF
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$(nproc)")

step Fuzzing the hash functions for ${FUZZ_SECONDS:-60}s, beside the next two steps
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DHASHBENCH_FUZZ=ON -DBUILD_TESTING=OFF -DHASHBENCH_LAB=OFF -DHASHBENCH_WERROR=ON
corpus=$(mktemp -d) fuzz_log=$(mktemp)
# The fuzzer keeps one core for its minute; the steps after it mostly wait on one process at a time.
build-fuzz/hash_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 "$corpus" fuzz/corpus >"$fuzz_log" 2>&1 &
fuzzer=$!
trap 'kill "$fuzzer" 2>/dev/null || true; rm -rf "$corpus" "$fuzz_log"' EXIT

step 32-bit Windows cross-build and its tests under Wine
scripts/windows.sh

step Installed: cmake --install and the Debian package
scripts/test_package.sh

step "The fuzzer's result"
status=0
wait "$fuzzer" || status=$?
tail -n 12 "$fuzz_log"
[[ $status -eq 0 ]] || { echo "test.sh: the fuzzer found a fault (status $status)" >&2; exit 1; }
step "all passed"
