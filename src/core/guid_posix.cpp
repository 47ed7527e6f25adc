#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "core/Guid.h"

namespace kestrill {

std::string NewGuid() {
  std::array<std::uint8_t, 16> B{};
  std::size_t Got = 0;
  while (Got < B.size()) {
    ssize_t N = getrandom(B.data() + Got, B.size() - Got, 0);
    if (N < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    Got += static_cast<std::size_t>(N);
  }
  B[6] = static_cast<std::uint8_t>((B[6] & 0x0F) | 0x40);  // version 4
  B[8] = static_cast<std::uint8_t>((B[8] & 0x3F) | 0x80);  // RFC 4122 variant

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(36);
  for (std::size_t I = 0; I < B.size(); ++I) {
    if (I == 4 || I == 6 || I == 8 || I == 10) Out += '-';
    Out += kHex[B[I] >> 4];
    Out += kHex[B[I] & 0x0F];
  }
  return Out;
}

}  // namespace kestrill
