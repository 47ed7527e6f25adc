// Texts on their way into the page's scripts: whatever a model or a file holds must arrive as
// the same text and must never end the script string it stands in.
#include <string>

#include "FuzzCheck.h"
#include "core/TextEncoding.h"
#include "view/PageText.h"

using namespace kestrill;

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;  // the encoder writes upper-case hex only
}

// What the page does with appendChat's argument: decodeURIComponent after "+" → " ".
std::string DecodeFromPage(std::string_view AEncoded) {
  std::string Out;
  for (std::size_t I = 0; I < AEncoded.size(); ++I) {
    const char C = AEncoded[I];
    if (C == '+') {
      Out += ' ';
    } else if (C == '%') {
      FUZZ_CHECK(I + 2 < AEncoded.size());
      const int Hi = HexValue(AEncoded[I + 1]), Lo = HexValue(AEncoded[I + 2]);
      FUZZ_CHECK(Hi >= 0 && Lo >= 0);
      Out += static_cast<char>(Hi * 16 + Lo);
      I += 2;
    } else {
      Out += C;
    }
  }
  return Out;
}

// A JavaScript string literal read back by the rules of the escapes EscapeForJS writes.
std::string Unescape(std::string_view ALiteral) {
  FUZZ_CHECK(ALiteral.size() >= 2 && ALiteral.front() == '"' && ALiteral.back() == '"');
  std::string_view Body = ALiteral.substr(1, ALiteral.size() - 2);
  std::string Out;
  for (std::size_t I = 0; I < Body.size(); ++I) {
    FUZZ_CHECK(Body[I] != '"');  // an unescaped quote would end the literal early
    if (Body[I] != '\\') {
      Out += Body[I];
      continue;
    }
    FUZZ_CHECK(I + 1 < Body.size());
    switch (Body[++I]) {
      case '"':
        Out += '"';
        break;
      case '\\':
        Out += '\\';
        break;
      case '/':
        Out += '/';
        break;
      case 'b':
        Out += '\b';
        break;
      case 't':
        Out += '\t';
        break;
      case 'n':
        Out += '\n';
        break;
      case 'f':
        Out += '\f';
        break;
      case 'r':
        Out += '\r';
        break;
      default:
        FUZZ_CHECK(false);
    }
  }
  return Out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string_view Text = FuzzText(AData, ASize);

  const std::string Encoded = EncodeForPage(Text);
  // Only the characters the encoder lets through, so no quote, backslash or line break.
  FUZZ_CHECK(Encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789!$'()*-.@_+%") == std::string::npos);
  FUZZ_CHECK(DecodeFromPage(Encoded) == SanitizeUtf8(Text));

  const std::string Literal = EscapeForJS(Text);
  FUZZ_CHECK(Literal.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(Literal.find("</") == std::string::npos);  // "</script>" cannot close the block
  FUZZ_CHECK(Unescape(Literal) == Text);
  return 0;
}
