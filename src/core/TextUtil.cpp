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
  std::string Out;
  Out.reserve((ABytes.size() + 2) / 3 * 4);
  const auto* P = reinterpret_cast<const unsigned char*>(ABytes.data());
  std::size_t I = 0, N = ABytes.size();
  for (; I + 3 <= N; I += 3) {
    unsigned V = (P[I] << 16) | (P[I + 1] << 8) | P[I + 2];
    Out += kAlphabet[(V >> 18) & 63];
    Out += kAlphabet[(V >> 12) & 63];
    Out += kAlphabet[(V >> 6) & 63];
    Out += kAlphabet[V & 63];
  }
  if (N - I == 1) {
    unsigned V = P[I] << 16;
    Out += kAlphabet[(V >> 18) & 63];
    Out += kAlphabet[(V >> 12) & 63];
    Out += "==";
  } else if (N - I == 2) {
    unsigned V = (P[I] << 16) | (P[I + 1] << 8);
    Out += kAlphabet[(V >> 18) & 63];
    Out += kAlphabet[(V >> 12) & 63];
    Out += kAlphabet[(V >> 6) & 63];
    Out += '=';
  }
  return Out;
}

}  // namespace kestrill
