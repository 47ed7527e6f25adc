#include "core/TextEncoding.h"

#include <cstdint>

namespace kestrill {
namespace {

// Length of the UTF-8 sequence starting at P[0] if it is well-formed (no overlongs, no
// surrogates, at most U+10FFFF), else 0.
std::size_t Utf8SequenceLength(const unsigned char* P, std::size_t ALeft) {
  unsigned char C = P[0];
  if (C < 0x80) return 1;
  std::size_t Len;
  unsigned char Lo = 0x80, Hi = 0xBF;
  if (C >= 0xC2 && C <= 0xDF) {
    Len = 2;
  } else if (C >= 0xE0 && C <= 0xEF) {
    Len = 3;
    if (C == 0xE0) Lo = 0xA0;
    if (C == 0xED) Hi = 0x9F;
  } else if (C >= 0xF0 && C <= 0xF4) {
    Len = 4;
    if (C == 0xF0) Lo = 0x90;
    if (C == 0xF4) Hi = 0x8F;
  } else {
    return 0;
  }
  if (ALeft < Len) return 0;
  if (P[1] < Lo || P[1] > Hi) return 0;
  for (std::size_t I = 2; I < Len; ++I)
    if ((P[I] & 0xC0) != 0x80) return 0;
  return Len;
}

void AppendUtf8(std::string& AOut, char32_t CP) {
  if (CP < 0x80) {
    AOut += static_cast<char>(CP);
  } else if (CP < 0x800) {
    AOut += static_cast<char>(0xC0 | (CP >> 6));
    AOut += static_cast<char>(0x80 | (CP & 0x3F));
  } else if (CP < 0x10000) {
    AOut += static_cast<char>(0xE0 | (CP >> 12));
    AOut += static_cast<char>(0x80 | ((CP >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (CP & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (CP >> 18));
    AOut += static_cast<char>(0x80 | ((CP >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((CP >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (CP & 0x3F));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

bool IsValidUtf8(std::string_view ABytes) {
  const auto* P = reinterpret_cast<const unsigned char*>(ABytes.data());
  std::size_t I = 0, N = ABytes.size();
  while (I < N) {
    std::size_t L = Utf8SequenceLength(P + I, N - I);
    if (L == 0) return false;
    I += L;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view ABytes) {
  const auto* P = reinterpret_cast<const unsigned char*>(ABytes.data());
  std::string Out;
  Out.reserve(ABytes.size());
  std::size_t I = 0, N = ABytes.size();
  while (I < N) {
    std::size_t L = Utf8SequenceLength(P + I, N - I);
    if (L == 0) {
      AppendUtf8(Out, kReplacement);
      ++I;
    } else {
      Out.append(ABytes.data() + I, L);
      I += L;
    }
  }
  return Out;
}

std::string Utf16ToUtf8(std::string_view ABytes, bool ABigEndian) {
  const auto* P = reinterpret_cast<const unsigned char*>(ABytes.data());
  std::size_t Units = ABytes.size() / 2;
  auto Unit = [&](std::size_t I) -> char16_t {
    unsigned char A = P[2 * I], B = P[2 * I + 1];
    return static_cast<char16_t>(ABigEndian ? (A << 8) | B : (B << 8) | A);
  };
  std::string Out;
  Out.reserve(ABytes.size());
  for (std::size_t I = 0; I < Units; ++I) {
    char16_t U = Unit(I);
    if (U >= 0xD800 && U <= 0xDBFF && I + 1 < Units) {
      char16_t L = Unit(I + 1);
      if (L >= 0xDC00 && L <= 0xDFFF) {
        AppendUtf8(Out, 0x10000 + ((char32_t(U) - 0xD800) << 10) + (char32_t(L) - 0xDC00));
        ++I;
        continue;
      }
    }
    AppendUtf8(Out, (U >= 0xD800 && U <= 0xDFFF) ? kReplacement : char32_t(U));
  }
  return Out;
}

std::string DecodeUtf8OrLegacy(std::string_view ABytes) {
  return IsValidUtf8(ABytes) ? std::string(ABytes) : LegacyToUtf8(ABytes);
}

std::string_view Utf16Prefix(std::string_view AText, std::size_t AMaxUnits) {
  const auto* P = reinterpret_cast<const unsigned char*>(AText.data());
  std::size_t I = 0, Units = 0, N = AText.size();
  while (I < N) {
    std::size_t L = Utf8SequenceLength(P + I, N - I);
    if (L == 0) L = 1;  // a stray byte counts as one character
    std::size_t W = (L == 4) ? 2 : 1;
    if (Units + W > AMaxUnits) break;
    Units += W;
    I += L;
  }
  return AText.substr(0, I);
}

}  // namespace kestrill
