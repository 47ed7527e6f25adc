#!/usr/bin/env bash
# Runs one benchmark in its short form (small inputs, one repetition) and checks only that it
# ran to its end: exit status 0, no benchmark reporting an error, and its figures printed (a
# line matching the pattern given first). How fast it was is never judged here.
#
#   bench/run-short.sh PATTERN COMMAND [ARGS...]
set -uo pipefail
pattern=$1
shift
export KESTRILL_BENCH_SHORT=1
out=$("$@" 2>&1)
status=$?
printf '%s\n' "$out"
if [ "$status" -ne 0 ]; then
  echo "run-short: the benchmark exited with status $status" >&2
  exit 1
fi
if grep -q 'ERROR OCCURRED' <<<"$out"; then
  echo "run-short: a benchmark reported an error" >&2
  exit 1
fi
if ! grep -Eq -- "$pattern" <<<"$out"; then
  echo "run-short: no figures matching '$pattern' were printed" >&2
  exit 1
fi
