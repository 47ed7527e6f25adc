#!/usr/bin/env bash
# Builds Kestrill and opens its window. Without a display it says so and exits; then run it
# as `xvfb-run -a scripts/run.sh`, or use build/release/src/cli/kestrill-cli in a terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
exec build/release/src/app/kestrill "$@"
