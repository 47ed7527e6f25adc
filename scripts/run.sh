#!/usr/bin/env bash
# Builds Kestrill and starts it. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
if (($# == 0)); then set -- --help; fi
exec build/release/src/cli/kestrill-cli "$@"
