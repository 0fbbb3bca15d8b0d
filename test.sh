#!/usr/bin/env bash
# Builds everything (Debug, AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps --tests
cmake -S . -B build/debug -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
cmake --build build/debug -j"$(nproc)"
scripts/fetch-libvosk build/debug
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Threads meet in the queues, the frame queues, the shared levels and the stop flags: the
# threaded unit tests also run under ThreadSanitizer, in a build directory of their own that
# builds only them and what they need.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_BENCH=OFF -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j"$(nproc)" --target threaded_tests
mapfile -t tsan_tests <build/tsan/threaded_tests.txt
tsan_failed=()
tsan_pids=()
for test in "${tsan_tests[@]}"; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/tests/"$test" --gtest_brief=1 \
    >"build/tsan/$test.log" 2>&1 &
  tsan_pids+=("$!")
done
for i in "${!tsan_tests[@]}"; do
  if ! wait "${tsan_pids[$i]}"; then
    tsan_failed+=("${tsan_tests[$i]}")
    cat "build/tsan/${tsan_tests[$i]}.log" >&2
  fi
done
if ((${#tsan_failed[@]})); then
  echo "test.sh: failed under ThreadSanitizer: ${tsan_failed[*]}" >&2
  exit 1
fi
echo "test.sh: ThreadSanitizer: ${tsan_tests[*]} passed"
cd build/debug
ctest --output-on-failure -j8 "$@"
