#include "core/IniDocument.h"

#include "core/TextUtil.h"

namespace kestrill {
namespace {

// "[Name]" → "Name"; nullopt for any other line.
std::optional<std::string> SectionName(std::string_view ALine) {
  std::string T = Trim(ALine);
  if (T.size() < 2 || T.front() != '[' || T.back() != ']') return std::nullopt;
  return Trim(std::string_view(T).substr(1, T.size() - 2));
}

bool IsComment(std::string_view ALine) {
  std::string T = Trim(ALine);
  return !T.empty() && (T.front() == ';' || T.front() == '#');
}

// Keeps a value on its own line: a line break inside it would start a new key.
std::string OneLine(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  for (char C : AText)
    if (C != '\r' && C != '\n') Out += C;
  return Out;
}

}  // namespace

TIniDocument TIniDocument::Parse(std::string_view AText) {
  TIniDocument Doc;
  if (AText.substr(0, 3) == "\xEF\xBB\xBF") AText.remove_prefix(3);
  if (AText.find("\r\n") != std::string_view::npos) Doc.FLineBreak = "\r\n";
  std::size_t Start = 0;
  while (Start < AText.size()) {
    std::size_t End = AText.find('\n', Start);
    if (End == std::string_view::npos) End = AText.size();
    std::string_view Line = AText.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    Doc.FLines.emplace_back(Line);
    Start = End + 1;
  }
  return Doc;
}

TIniDocument::TLocation TIniDocument::Locate(std::string_view ASection,
                                             std::string_view AKey) const {
  TLocation Loc;
  bool Inside = false;
  for (std::size_t I = 0; I < FLines.size(); ++I) {
    const std::string& Line = FLines[I];
    if (auto Name = SectionName(Line)) {
      if (Inside) break;  // the first matching section is the one that counts
      Inside = SameTextAscii(*Name, ASection);
      if (Inside) {
        Loc.SectionLine = I;
        Loc.InsertAt = I + 1;
      }
      continue;
    }
    if (!Inside) continue;
    if (!Trim(Line).empty()) Loc.InsertAt = I + 1;
    if (IsComment(Line)) continue;
    auto Eq = Line.find('=');
    if (Eq == std::string::npos) continue;
    if (SameTextAscii(Trim(std::string_view(Line).substr(0, Eq)), AKey)) {
      Loc.KeyLine = I;
      return Loc;
    }
  }
  return Loc;
}

std::optional<std::string> TIniDocument::Get(std::string_view ASection,
                                             std::string_view AKey) const {
  TLocation Loc = Locate(ASection, AKey);
  if (!Loc.KeyLine) return std::nullopt;
  const std::string& Line = FLines[*Loc.KeyLine];
  return Trim(std::string_view(Line).substr(Line.find('=') + 1));
}

void TIniDocument::Set(std::string_view ASection, std::string_view AKey, std::string_view AValue) {
  std::string Line = OneLine(AKey) + "=" + OneLine(AValue);
  TLocation Loc = Locate(ASection, AKey);
  if (Loc.KeyLine) {
    // Keep the key as the user spelled it; only the value changes.
    std::string& Old = FLines[*Loc.KeyLine];
    Old = Old.substr(0, Old.find('=') + 1) + OneLine(AValue);
  } else if (Loc.SectionLine) {
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(Loc.InsertAt), std::move(Line));
  } else {
    while (!FLines.empty() && Trim(FLines.back()).empty()) FLines.pop_back();
    if (!FLines.empty()) FLines.emplace_back();
    FLines.push_back("[" + OneLine(ASection) + "]");
    FLines.push_back(std::move(Line));
  }
}

std::string TIniDocument::Serialize() const {
  std::string Out;
  for (const std::string& Line : FLines) {
    Out += Line;
    Out += FLineBreak;
  }
  return Out;
}

}  // namespace kestrill
