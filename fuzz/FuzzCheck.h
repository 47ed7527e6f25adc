// What the fuzz targets share: an invariant check that stops the run with a readable line
// (libFuzzer saves the input that broke it), and the input as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(Cond)                                                                \
  do {                                                                                  \
    if (!(Cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #Cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

inline std::string_view FuzzText(const std::uint8_t* AData, std::size_t ASize) {
  return {reinterpret_cast<const char*>(AData), ASize};
}
