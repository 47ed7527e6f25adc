#include "providers/RequestBody.h"

#include <algorithm>

#include "core/Guid.h"

namespace kestrill {
namespace {

bool IsBase64Text(const std::string& S) {
  return std::all_of(S.begin(), S.end(), [](char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '+' ||
           C == '/' || C == '=';
  });
}

}  // namespace

std::string CompactJson(const TJson& AValue) {
  return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

TRequestBody::TRequestBody() : FMarkerBase("@@raw-" + NewGuid() + "-") {}

TJson TRequestBody::Raw(std::string_view APrefix, const std::string& ARaw) {
  // Base64 needs no JSON escaping, which is what makes the splice exact.
  if (!IsBase64Text(ARaw)) return std::string(APrefix) + ARaw;
  std::string Marker = std::string(APrefix) + FMarkerBase + std::to_string(FRaw.size()) + "@@";
  FRaw.push_back(&ARaw);
  return Marker;
}

std::string TRequestBody::Serialize(const TJson& ADocument) const {
  std::string Text = CompactJson(ADocument);
  if (FRaw.empty()) return Text;
  std::size_t Extra = 0;
  for (const std::string* R : FRaw) Extra += R->size();
  std::string Out;
  Out.reserve(Text.size() + Extra);
  std::size_t Pos = 0;
  for (;;) {
    std::size_t At = Text.find(FMarkerBase, Pos);
    if (At == std::string::npos) break;
    std::size_t NumStart = At + FMarkerBase.size();
    std::size_t NumEnd = Text.find("@@", NumStart);
    std::size_t Index = std::stoul(Text.substr(NumStart, NumEnd - NumStart));
    Out.append(Text, Pos, At - Pos);
    Out += *FRaw.at(Index);
    Pos = NumEnd + 2;
  }
  Out.append(Text, Pos, std::string::npos);
  return Out;
}

}  // namespace kestrill
