// Decoding of bytes from files and processes into UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrill {

bool IsValidUtf8(std::string_view ABytes);

// UTF-16 bytes (without byte-order mark) to UTF-8. An unpaired surrogate becomes U+FFFD and a
// trailing odd byte is dropped, so a damaged file still reads.
std::string Utf16ToUtf8(std::string_view ABytes, bool ABigEndian);

// The legacy code page of Korean Windows (CP949) to UTF-8; a byte sequence that does not
// decode becomes U+FFFD.
std::string LegacyToUtf8(std::string_view ABytes);

// The bytes as UTF-8, each ill-formed sequence replaced by U+FFFD (JSON writers refuse them).
std::string SanitizeUtf8(std::string_view ABytes);

// UTF-8 when the bytes are valid UTF-8, else the legacy code page.
std::string DecodeUtf8OrLegacy(std::string_view ABytes);

// The longest prefix of AText that holds at most AMaxUnits UTF-16 code units, never splitting
// a character (counts as the Windows settings API counts characters).
std::string_view Utf16Prefix(std::string_view AText, std::size_t AMaxUnits);

}  // namespace kestrill
