// The legacy code page through glibc's iconv: on Linux we take CP949 so that Korean text files
// written on Windows read correctly.
#include <iconv.h>

#include <cerrno>
#include <stdexcept>

#include "core/TextEncoding.h"

namespace kestrill {

std::string LegacyToUtf8(std::string_view ABytes) {
  iconv_t CD = iconv_open("UTF-8", "CP949");
  if (CD == reinterpret_cast<iconv_t>(-1))
    throw std::runtime_error("CP949 변환기를 열 수 없습니다");

  std::string Out;
  Out.reserve(ABytes.size() * 3 / 2 + 16);
  char* In = const_cast<char*>(ABytes.data());
  std::size_t InLeft = ABytes.size();
  char Buf[4096];
  while (InLeft > 0) {
    char* OutPtr = Buf;
    std::size_t OutLeft = sizeof(Buf);
    std::size_t R = iconv(CD, &In, &InLeft, &OutPtr, &OutLeft);
    Out.append(Buf, static_cast<std::size_t>(OutPtr - Buf));
    if (R != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (truncated at the end): show one replacement character and move on.
    Out += "\xEF\xBF\xBD";
    // glibc's CP949 can report a bad sequence after taking all of it ("\xA2\xE8"): nothing is
    // left to skip then, and skipping anyway would run past the end.
    if (InLeft == 0) break;
    ++In;
    --InLeft;
    iconv(CD, nullptr, nullptr, nullptr, nullptr);  // a fresh state for what follows
  }
  iconv_close(CD);
  return Out;
}

}  // namespace kestrill
