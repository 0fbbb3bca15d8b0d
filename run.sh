#!/usr/bin/env bash
# Builds VantrelClips (Release) and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
cmake --build build/release --target VantrelClips -j"$(nproc)" >/dev/null
exec build/release/src/cli/VantrelClips "$@"
