#!/usr/bin/env bash
# Runs the fuzz targets built by the fuzz preset over their seeds in fuzz/corpus/<target>/.
# Usage: fuzz/run.sh [target ...] [libFuzzer options ...]   (default: every target, -runs=20000)
# New inputs go to a scratch folder, never into the seeds. A crash leaves its input and log in
# build/fuzz/artifacts/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
options=()
for a in "$@"; do
  if [[ $a == -* ]]; then options+=("$a"); else targets+=("$a"); fi
done
((${#options[@]})) || options=(-runs=20000)
if ((${#targets[@]} == 0)); then
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

bin=build/fuzz/fuzz
out=build/fuzz/artifacts
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1

for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  log=$out/$t.log
  if ! "$bin/$t" "$scratch/$t" "fuzz/corpus/$t" -artifact_prefix="$out/$t-" -timeout=25 \
    "${options[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t failed; its input and log are in $out/" >&2
    exit 1
  fi
  echo "$t: $(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1)"
done
