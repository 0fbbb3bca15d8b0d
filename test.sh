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
# The queue carries every message between threads: its threaded cases also run under
# ThreadSanitizer, in a build directory of their own.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j"$(nproc)" --target queue_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/queue_test --gtest_brief=1
cd build/debug
ctest --output-on-failure -j8 "$@"
