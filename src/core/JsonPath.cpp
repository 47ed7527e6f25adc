#include "core/JsonPath.h"

#include <charconv>

namespace kestrill {

const TJson* FindJsonPath(const TJson& ARoot, std::string_view APath) {
  const TJson* Cur = &ARoot;
  std::size_t I = 0;
  const std::size_t N = APath.size();
  while (I < N) {
    if (APath[I] == '.') {
      ++I;
      continue;
    }
    if (APath[I] == '[') {
      std::size_t Close = APath.find(']', I);
      if (Close == std::string_view::npos || !Cur->is_array()) return nullptr;
      std::size_t Index = 0;
      auto Digits = APath.substr(I + 1, Close - I - 1);
      auto [End, Ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Index);
      if (Ec != std::errc() || End != Digits.data() + Digits.size() || Digits.empty())
        return nullptr;
      if (Index >= Cur->size()) return nullptr;
      Cur = &(*Cur)[Index];
      I = Close + 1;
      continue;
    }
    std::size_t End = APath.find_first_of(".[", I);
    if (End == std::string_view::npos) End = N;
    if (!Cur->is_object()) return nullptr;
    auto It = Cur->find(std::string(APath.substr(I, End - I)));
    if (It == Cur->end()) return nullptr;
    Cur = &*It;
    I = End;
  }
  return Cur;
}

std::optional<std::string> JsonPathText(const TJson& ARoot, std::string_view APath) {
  const TJson* V = FindJsonPath(ARoot, APath);
  if (!V || V->is_object() || V->is_array() || V->is_discarded()) return std::nullopt;
  if (V->is_null()) return std::string();
  if (V->is_string()) return V->get<std::string>();
  return V->dump();  // numbers and booleans: their JSON text
}

std::string JsonPathTextOr(const TJson& ARoot, std::string_view APath, std::string_view ADefault) {
  auto V = JsonPathText(ARoot, APath);
  return V ? *V : std::string(ADefault);
}

bool JsonNestsDeeperThan(std::string_view AText, int AMax) {
  int Depth = 0;
  bool InString = false;
  for (std::size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    if (InString) {
      if (C == '\\')
        ++I;
      else if (C == '"')
        InString = false;
    } else if (C == '"') {
      InString = true;
    } else if (C == '[' || C == '{') {
      if (++Depth > AMax) return true;
    } else if (C == ']' || C == '}') {
      --Depth;
    }
  }
  return false;
}

std::optional<TJson> ParseJson(std::string_view AText) {
  if (JsonNestsDeeperThan(AText)) return std::nullopt;
  TJson Doc = TJson::parse(AText.begin(), AText.end(), nullptr, /*allow_exceptions=*/false);
  if (Doc.is_discarded()) return std::nullopt;
  return Doc;
}

}  // namespace kestrill
