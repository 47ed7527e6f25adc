#include "view/PageText.h"

#include "core/TextEncoding.h"

namespace kestrill {

std::string EncodeForPage(std::string_view AText) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Ill-formed UTF-8 would make the page's decoder throw and the whole bubble would be lost.
  const std::string Text = SanitizeUtf8(AText);
  std::string Out;
  Out.reserve(Text.size() * 3 / 2);
  for (unsigned char C : Text) {
    bool Plain = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9');
    switch (C) {
      case '!':
      case '$':
      case '\'':
      case '(':
      case ')':
      case '*':
      case '-':
      case '.':
      case '@':
      case '_':
        Plain = true;
        break;
      default:
        break;
    }
    if (Plain) {
      Out += static_cast<char>(C);
    } else if (C == ' ') {
      Out += '+';
    } else {
      Out += '%';
      Out += kHex[C >> 4];
      Out += kHex[C & 0x0F];
    }
  }
  return Out;
}

std::string EscapeForJS(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size() + 2);
  Out += '"';
  for (char C : AText) {
    switch (C) {
      case '"':
        Out += "\\\"";
        break;
      case '\\':
        Out += "\\\\";
        break;
      case '/':
        Out += "\\/";
        break;
      case '\b':
        Out += "\\b";
        break;
      case '\t':
        Out += "\\t";
        break;
      case '\n':
        Out += "\\n";
        break;
      case '\f':
        Out += "\\f";
        break;
      case '\r':
        Out += "\\r";
        break;
      default:
        Out += C;
    }
  }
  Out += '"';
  return Out;
}

}  // namespace kestrill
