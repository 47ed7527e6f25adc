#include <cstdio>

#include "core/Clock.h"

namespace kestrill {

std::tm LocalNow() {
  std::time_t Now = std::time(nullptr);
  std::tm Out{};
  localtime_r(&Now, &Out);
  return Out;
}

std::string FormatTimeStamp(const std::tm& T) {
  char Buf[80];
  std::snprintf(Buf, sizeof(Buf), "%04d%02d%02d%02d%02d%02d", T.tm_year + 1900, T.tm_mon + 1,
                T.tm_mday, T.tm_hour, T.tm_min, T.tm_sec);
  return Buf;
}

std::string FormatClockTime(const std::tm& T) {
  char Buf[40];
  std::snprintf(Buf, sizeof(Buf), "%02d:%02d:%02d", T.tm_hour, T.tm_min, T.tm_sec);
  return Buf;
}

}  // namespace kestrill
