#!/usr/bin/env bash
# Builds VantrelClips (Release) and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
mkdir -p build/release
log=build/release/build.log
if ! { cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF &&
       cmake --build build/release --target VantrelClips -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed (log: $log)" >&2
  exit 1
fi
exec build/release/src/cli/VantrelClips "$@"
