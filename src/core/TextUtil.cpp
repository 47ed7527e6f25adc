#include "core/TextUtil.h"

#include <algorithm>

namespace kestrill {

std::string Trim(std::string_view AText) {
  // UTF-8 lead and continuation bytes are all >= 0x80, so a byte test is a code point test.
  auto IsTrimmed = [](char C) { return static_cast<unsigned char>(C) <= 0x20; };
  std::size_t B = 0, E = AText.size();
  while (B < E && IsTrimmed(AText[B])) ++B;
  while (E > B && IsTrimmed(AText[E - 1])) --E;
  return std::string(AText.substr(B, E - B));
}

std::string ToLowerAscii(std::string_view AText) {
  std::string Out(AText);
  std::transform(Out.begin(), Out.end(), Out.begin(),
                 [](char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C + 32) : C; });
  return Out;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  return A.size() == B.size() && ToLowerAscii(A) == ToLowerAscii(B);
}

std::string Base64Encode(std::string_view ABytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t N = ABytes.size();
  std::string Out((N + 2) / 3 * 4, '=');
  const auto* P = reinterpret_cast<const unsigned char*>(ABytes.data());
  char* O = Out.data();
  std::size_t I = 0;
  for (; I + 3 <= N; I += 3, O += 4) {
    unsigned V = (P[I] << 16) | (P[I + 1] << 8) | P[I + 2];
    O[0] = kAlphabet[(V >> 18) & 63];
    O[1] = kAlphabet[(V >> 12) & 63];
    O[2] = kAlphabet[(V >> 6) & 63];
    O[3] = kAlphabet[V & 63];
  }
  if (N - I >= 1) {  // one or two bytes left; the "=" padding is already in place
    unsigned V = (P[I] << 16) | (N - I == 2 ? P[I + 1] << 8 : 0);
    O[0] = kAlphabet[(V >> 18) & 63];
    O[1] = kAlphabet[(V >> 12) & 63];
    if (N - I == 2) O[2] = kAlphabet[(V >> 6) & 63];
  }
  return Out;
}

std::string PercentEncode(std::string_view AText, std::string_view AAlsoKeep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(AText.size());
  for (unsigned char C : AText) {
    if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
        C == '.' || C == '_' || C == '~' ||
        AAlsoKeep.find(static_cast<char>(C)) != std::string_view::npos) {
      Out += static_cast<char>(C);
    } else {
      Out += '%';
      Out += kHex[C >> 4];
      Out += kHex[C & 15];
    }
  }
  return Out;
}

}  // namespace kestrill
