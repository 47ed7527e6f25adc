#!/usr/bin/env bash
# Builds everything and runs every test: the Windows-only sources with the cross compiler, the
# full debug build, kestrill_core alone (proving it needs no toolkit), the unit tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check-windows.sh  # the Windows-only sources, with the cross compiler

jobs=$(nproc)
run() {  # preset, then ctest's selection
  local preset=$1
  shift
  echo "== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "$@"
}
run dev              # everything: unit tests, the page in Chromium, the command line
run core             # kestrill_core built and tested alone, without any toolkit
run asan -L unit     # the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
run tsan -L unit -R 'AgentLoop|ChatController|ControllerModel|SavedChats|ChatSearch|OrderedWriter|Cli|Dispatcher'  # the threaded engine under ThreadSanitizer
echo "== fuzz: configure, build, 20,000 runs of each target over its seeds"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz/run.sh -runs=20000
echo "== all tests passed"
