// The short form of a benchmark: small inputs and one repetition, so that CI can prove every
// benchmark still runs to its end without paying for the figures. Set by bench/run-short.sh.
#pragma once

#include <cstdlib>

namespace kestrill::bench {

inline bool ShortRun() {
  const char* Value = std::getenv("KESTRILL_BENCH_SHORT");
  return Value && *Value && *Value != '0';
}

}  // namespace kestrill::bench
