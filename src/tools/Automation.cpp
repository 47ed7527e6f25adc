#include "tools/Automation.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/TextUtil.h"

namespace kestrill {
namespace {

std::int64_t ParseInteger(const std::string& AText) {
  const std::string T = Trim(AText);
  std::int64_t N = 0;
  auto [End, Error] = std::from_chars(T.data(), T.data() + T.size(), N);
  if (T.empty() || Error != std::errc() || End != T.data() + T.size())
    throw EAutomationError("정수가 아닌 값입니다: \"" + AText + "\"");
  return N;
}

}  // namespace

std::int64_t AutoToInt64(const TAutoValue& AValue) {
  struct {
    std::int64_t operator()(std::monostate) const { return 0; }
    std::int64_t operator()(bool B) const { return B ? -1 : 0; }  // automation's true is -1
    std::int64_t operator()(std::int32_t N) const { return N; }
    std::int64_t operator()(std::int64_t N) const { return N; }
    std::int64_t operator()(double D) const {
      if (!std::isfinite(D) || std::fabs(D) >= 9.2e18)
        throw EAutomationError("정수로 바꿀 수 없는 값입니다.");
      return static_cast<std::int64_t>(std::nearbyint(D));
    }
    std::int64_t operator()(char16_t C) const { return C; }
    std::int64_t operator()(const std::string& S) const { return ParseInteger(S); }
  } Visitor;
  return std::visit(Visitor, AValue);
}

std::int32_t AutoToInt(const TAutoValue& AValue) {
  const std::int64_t N = AutoToInt64(AValue);
  if (N < std::numeric_limits<std::int32_t>::min() || N > std::numeric_limits<std::int32_t>::max())
    throw EAutomationError("32비트 정수의 범위를 벗어난 값입니다.");
  return static_cast<std::int32_t>(N);
}

std::string AutoToText(const TAutoValue& AValue) {
  struct {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool B) const { return B ? "True" : "False"; }
    std::string operator()(std::int32_t N) const { return std::to_string(N); }
    std::string operator()(std::int64_t N) const { return std::to_string(N); }
    std::string operator()(double D) const {
      char Buffer[64];
      auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof(Buffer), D);
      return std::string(Buffer, End);
    }
    std::string operator()(char16_t C) const {  // the character itself, as UTF-8
      if (C < 0x80) return std::string(1, static_cast<char>(C));
      if (C < 0x800) return {static_cast<char>(0xC0 | (C >> 6)), static_cast<char>(0x80 | (C & 0x3F))};
      if (C >= 0xD800 && C <= 0xDFFF) return "\xEF\xBF\xBD";  // half a pair: U+FFFD
      return {static_cast<char>(0xE0 | (C >> 12)), static_cast<char>(0x80 | ((C >> 6) & 0x3F)),
              static_cast<char>(0x80 | (C & 0x3F))};
    }
    std::string operator()(const std::string& S) const { return S; }
  } Visitor;
  return std::visit(Visitor, AValue);
}

}  // namespace kestrill
