#!/usr/bin/env bash
# Builds VantrelClips (Release) and runs it with the given arguments. Without a DISPLAY it
# records a private Xvfb screen (1280x720) that lives as long as the program.
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
program=build/release/src/cli/VantrelClips

if [[ -n "${DISPLAY:-}" ]]; then
  exec "$program" "$@"
fi

# Xvfb picks a free display itself and writes its number once it accepts clients; -noreset
# keeps it from resetting whenever its last client disconnects (an xrandr run), which would
# refuse a client connecting at that moment.
exec {xvfb_out}< <(exec Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp -noreset 2>/dev/null)
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
n=
read -r -t 15 -u "$xvfb_out" n || true
exec {xvfb_out}<&-
if [[ ! $n =~ ^[0-9]+$ ]]; then
  echo "run.sh: Xvfb did not start" >&2
  exit 1
fi
echo "run.sh: DISPLAY is not set: recording a private Xvfb screen on :$n (1280x720)" >&2
status=0
DISPLAY=":$n" "$program" "$@" || status=$?
exit "$status"
