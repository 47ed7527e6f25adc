// Byte-level helpers the figure reader, the value index and the check share. UTF-8 text is read
// as bytes: Korean words are compared as their byte sequences, never decoded into a new string.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrill::figures_detail {

inline bool IsDigit(char C) { return C >= '0' && C <= '9'; }
inline bool IsAsciiLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }
inline bool IsSpace(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

// The first byte is compared before the rest: most places start with none of the words tried.
inline bool StartsAt(std::string_view T, std::size_t I, std::string_view W) {
  return I <= T.size() && T.size() - I >= W.size() && (W.empty() || T[I] == W[0]) &&
         T.compare(I, W.size(), W) == 0;
}
inline bool EndsAt(std::string_view T, std::size_t I, std::string_view W) {
  return I <= T.size() && I >= W.size() && (W.empty() || T[I - 1] == W.back()) &&
         T.compare(I - W.size(), W.size(), W) == 0;
}

// A Hangul syllable (U+AC00..U+D7A3) starts at I.
inline bool HangulAt(std::string_view T, std::size_t I) {
  if (I + 3 > T.size()) return false;
  const unsigned A = static_cast<unsigned char>(T[I]), B = static_cast<unsigned char>(T[I + 1]),
                 C = static_cast<unsigned char>(T[I + 2]);
  if ((A & 0xF0) != 0xE0 || (B & 0xC0) != 0x80 || (C & 0xC0) != 0x80) return false;
  const unsigned Cp = ((A & 0x0F) << 12) | ((B & 0x3F) << 6) | (C & 0x3F);
  return Cp >= 0xAC00 && Cp <= 0xD7A3;
}
inline bool HangulBefore(std::string_view T, std::size_t I) { return I >= 3 && HangulAt(T, I - 3); }

// A letter of a word (ASCII or Hangul) ends right before I / starts at I.
inline bool WordCharBefore(std::string_view T, std::size_t I) {
  return (I > 0 && IsAsciiLetter(T[I - 1])) || HangulBefore(T, I);
}
inline bool WordCharAt(std::string_view T, std::size_t I) {
  return (I < T.size() && IsAsciiLetter(T[I])) || HangulAt(T, I);
}

// The first of AWords that starts at I; its length, 0 for none.
template <std::size_t N>
std::size_t WordAt(std::string_view T, std::size_t I, const std::string_view (&AWords)[N]) {
  for (std::string_view W : AWords)
    if (StartsAt(T, I, W)) return W.size();
  return 0;
}

// The end of the line holding I (the '\n' or the text's end) and its start.
inline std::size_t LineStart(std::string_view T, std::size_t I) {
  const std::size_t P = I == 0 ? std::string_view::npos : T.rfind('\n', I - 1);
  return P == std::string_view::npos ? 0 : P + 1;
}
inline std::size_t LineEnd(std::string_view T, std::size_t I) {
  const std::size_t P = T.find('\n', I);
  return P == std::string_view::npos ? T.size() : P;
}

// I moved back to the start of a UTF-8 character (at most three steps).
inline std::size_t CharStart(std::string_view T, std::size_t I) {
  for (int Step = 0; Step < 3 && I > 0 && I < T.size() &&
                     (static_cast<unsigned char>(T[I]) & 0xC0) == 0x80;
       ++Step)
    --I;
  return I;
}

inline bool ValidDate(int AYear, int AMonth, int ADay) {
  return AYear >= 1900 && AYear <= 2100 && AMonth >= 1 && AMonth <= 12 && ADay >= 1 && ADay <= 31;
}

}  // namespace kestrill::figures_detail
