// Small text helpers shared by every layer (UTF-8 std::string throughout).
#pragma once

#include <string>
#include <string_view>

namespace kestrill {

// Removes every character with a code point up to U+0020 from both ends; wider spaces such as
// U+00A0 or U+3000 stay.
std::string Trim(std::string_view AText);

std::string ToLowerAscii(std::string_view AText);
bool SameTextAscii(std::string_view A, std::string_view B);  // ASCII case-insensitive

// Keeps letters, digits, "-._~" and the characters of AAlsoKeep as they are and percent-encodes
// every other byte in upper-case hexadecimal (URL components and paths).
std::string PercentEncode(std::string_view AText, std::string_view AAlsoKeep = "");

// Standard Base64 (RFC 4648 alphabet, "=" padding) on one line.
std::string Base64Encode(std::string_view ABytes);

}  // namespace kestrill
