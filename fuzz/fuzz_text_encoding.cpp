// Bytes of attached files and console output, decoded every way we decode them. Each decoder's
// output must be valid UTF-8 (the JSON writers refuse anything else), and text that already is
// must come through unchanged.
#include <string>

#include "FuzzCheck.h"
#include "core/FileHelpers.h"
#include "core/TextEncoding.h"

using namespace kestrill;

namespace {

constexpr std::string_view kBom8 = "\xEF\xBB\xBF";

// Valid UTF-8 to UTF-16 code units, the way a Windows editor saves it.
std::string ToUtf16(std::string_view AUtf8, bool ABigEndian) {
  std::string Out;
  auto Put = [&](unsigned U) {
    const char Hi = static_cast<char>(U >> 8), Lo = static_cast<char>(U & 0xFF);
    Out += ABigEndian ? Hi : Lo;
    Out += ABigEndian ? Lo : Hi;
  };
  const auto* P = reinterpret_cast<const unsigned char*>(AUtf8.data());
  for (std::size_t I = 0; I < AUtf8.size();) {
    unsigned C = P[I];
    unsigned CP;
    std::size_t L = C < 0x80 ? 1 : C < 0xE0 ? 2 : C < 0xF0 ? 3 : 4;
    CP = L == 1 ? C : L == 2 ? C & 0x1F : L == 3 ? C & 0x0F : C & 0x07;
    for (std::size_t J = 1; J < L; ++J) CP = (CP << 6) | (P[I + J] & 0x3F);
    I += L;
    if (CP >= 0x10000) {
      CP -= 0x10000;
      Put(0xD800 + (CP >> 10));
      Put(0xDC00 + (CP & 0x3FF));
    } else {
      Put(CP);
    }
  }
  return Out;
}

std::string SwapPairs(std::string_view ABytes) {
  std::string Out(ABytes);
  for (std::size_t I = 0; I + 1 < Out.size(); I += 2) std::swap(Out[I], Out[I + 1]);
  return Out;
}

std::size_t Utf16Units(std::string_view AUtf8) {
  std::size_t Units = 0;
  for (unsigned char C : AUtf8) {
    if ((C & 0xC0) != 0x80) ++Units;  // a lead byte (valid text only)
    if (C >= 0xF0) ++Units;           // four-byte characters take a surrogate pair
  }
  return Units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string_view Bytes = FuzzText(AData, ASize);
  const bool Valid = IsValidUtf8(Bytes);

  const std::string Clean = SanitizeUtf8(Bytes);
  FUZZ_CHECK(IsValidUtf8(Clean));
  if (Valid) FUZZ_CHECK(Clean == Bytes);

  const std::string Le = Utf16ToUtf8(Bytes, false), Be = Utf16ToUtf8(Bytes, true);
  FUZZ_CHECK(IsValidUtf8(Le) && IsValidUtf8(Be));
  FUZZ_CHECK(Utf16ToUtf8(SwapPairs(Bytes), true) == Le);
  if (Valid) {
    FUZZ_CHECK(Utf16ToUtf8(ToUtf16(Bytes, false), false) == Bytes);
    FUZZ_CHECK(Utf16ToUtf8(ToUtf16(Bytes, true), true) == Bytes);
  }

  const std::string Legacy = LegacyToUtf8(Bytes);
  FUZZ_CHECK(IsValidUtf8(Legacy));
  const std::string Either = DecodeUtf8OrLegacy(Bytes);
  FUZZ_CHECK(IsValidUtf8(Either));
  FUZZ_CHECK(Either == (Valid ? std::string(Bytes) : Legacy));

  const std::string Auto = DecodeTextAutoEncoding(Bytes);
  FUZZ_CHECK(IsValidUtf8(Auto));
  if (Valid) {
    // Valid UTF-8 never starts with a UTF-16 byte order mark (0xFF and 0xFE are not UTF-8).
    FUZZ_CHECK(Auto == (Bytes.starts_with(kBom8) ? Bytes.substr(kBom8.size()) : Bytes));
    FUZZ_CHECK(DecodeTextAutoEncoding(std::string(kBom8) + std::string(Bytes)) == Bytes);
  }

  // The prefix limit: the first byte says how many UTF-16 units, as the settings reader and
  // the catalogue titles ask.
  const std::size_t Max = ASize ? AData[0] : 0;
  const std::string_view Cut = Utf16Prefix(Bytes, Max);
  FUZZ_CHECK(Bytes.starts_with(Cut));
  FUZZ_CHECK(Utf16Prefix(Bytes, Max + 1).starts_with(Cut));
  if (Valid) {
    FUZZ_CHECK(IsValidUtf8(Cut));
    FUZZ_CHECK(Utf16Units(Cut) <= Max);
    // Cut short only where the next character would not fit.
    if (Cut.size() < Bytes.size())
      FUZZ_CHECK(Utf16Units(Cut) + (AData[Cut.size()] >= 0xF0 ? 2 : 1) > Max);
  }
  return 0;
}
