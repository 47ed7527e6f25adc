#!/usr/bin/env bash
# Compiles the Windows-only sources with the mingw-w64 cross compiler, so code that no Linux
# build compiles is still type-checked (and warned about) on every run.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=x86_64-w64-mingw32-g++-posix
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mapfile -t sources < <(find src -name '*_win.cpp' | sort)
for src in "${sources[@]}"; do
  echo "windows: $src"
  $cxx -std=c++20 -Wall -Wextra -Werror -Isrc -c "$src" -o "$out/$(basename "$src" .cpp).o"
done
echo "windows: ${#sources[@]} sources compiled"
