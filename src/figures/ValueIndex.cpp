#include "figures/ValueIndex.h"

#include <charconv>
#include <cmath>

#include "core/JsonPath.h"
#include "figures/TextScan.h"

namespace kestrill {

using namespace figures_detail;

namespace {

constexpr std::size_t kMaxLabelBytes = 60;
constexpr std::size_t kMaxArgsBytes = 64 * 1024;
constexpr std::size_t kMaxJsonNesting = 512;

// The period a call asked for: {"year":"2023"}, {"date":"20240105"}.
TPeriod PeriodOfArgs(std::string_view AArgs) {
  if (AArgs.empty() || AArgs.size() > kMaxArgsBytes) return {};
  auto Doc = ParseJson(AArgs);
  if (!Doc || !Doc->is_object()) return {};
  for (const char* Name : {"date", "basDd", "base_date", "year", "bsns_year"}) {
    auto Text = JsonPathText(*Doc, Name);
    if (!Text || Text->empty()) continue;
    if (auto P = LastPeriodMention(*Text)) return *P;
  }
  return {};
}

// The words a text line puts before a number: "종가" in "[삼성전자] 종가: 71500원", "전일대비" in
// "(전일대비 -500원", "매출액" in "- 매출액: 1,234원".
std::string_view LabelBefore(std::string_view ASegment) {
  std::size_t Cut = ASegment.find_last_of("|,([];{}");
  std::string_view S = Cut == std::string_view::npos ? ASegment : ASegment.substr(Cut + 1);
  auto TrimBoth = [](std::string_view V) {
    while (!V.empty() && (IsSpace(V.back()) || V.back() == ':' || V.back() == '=')) V.remove_suffix(1);
    while (!V.empty() && (IsSpace(V.front()) || V.front() == '-' || V.front() == '*')) V.remove_prefix(1);
    return V;
  };
  S = TrimBoth(S);
  if (std::size_t Colon = S.rfind(':'); Colon != std::string_view::npos) S = TrimBoth(S.substr(Colon + 1));
  if (S.size() > kMaxLabelBytes) {
    std::size_t From = CharStart(S, S.size() - kMaxLabelBytes);
    while (From < S.size() && (static_cast<unsigned char>(S[From]) & 0xC0) == 0x80) ++From;
    S = S.substr(From);
  }
  return S;
}

}  // namespace

TValueIndex::TValueIndex() {
  FNames.emplace_back();
  FNameIds.emplace("", 0);
}

std::string_view TValueIndex::SectionName(const TToolValue& AValue) const {
  return AValue.Section < FSections.size() ? std::string_view(FNames[FSections[AValue.Section].Name])
                                           : std::string_view();
}

TStatement TValueIndex::Statement(const TToolValue& AValue) const {
  return AValue.Section < FSections.size() ? FSections[AValue.Section].Statement : TStatement::Unknown;
}

std::uint32_t TValueIndex::Intern(std::string_view AName) {
  auto It = FNameIds.find(AName);
  if (It != FNameIds.end()) return It->second;
  const auto Id = static_cast<std::uint32_t>(FNames.size());
  FNames.emplace_back(AName);
  FNameIds.emplace(std::string(AName), Id);
  return Id;
}

std::uint32_t TValueIndex::NewSection(std::string_view AName, TStatement AStatement) {
  FSections.push_back({Intern(AName), AStatement});
  return static_cast<std::uint32_t>(FSections.size() - 1);
}

bool TValueIndex::Push(TToolValue AValue) {
  if (FValues.size() >= kMaxIndexValues) {
    FTruncated = true;
    return false;
  }
  if (!std::isfinite(AValue.Value)) return true;
  FValues.push_back(AValue);
  return true;
}

void TValueIndex::Add(std::size_t AMessageIndex, std::string_view AToolName, std::string_view AText,
                      std::string_view AArgsJSON) {
  std::size_t Room = FBytes < kMaxIndexBytes ? kMaxIndexBytes - FBytes : 0;
  Room = std::min(Room, kMaxResultBytes);
  if (AText.size() > Room) {
    FTruncated = true;
    AText = AText.substr(0, CharStart(AText, Room));
  }
  FBytes += AText.size();
  if (AText.empty()) return;
  const auto Message = static_cast<std::uint32_t>(AMessageIndex);
  const std::uint32_t Tool = Intern(AToolName);
  const TPeriod Period = PeriodOfArgs(AArgsJSON);
  // About one value in a dozen bytes; growth stays geometric over many small results.
  if (const std::size_t Want = std::min(kMaxIndexValues, FValues.size() + AText.size() / 12);
      Want > FValues.capacity())
    FValues.reserve(std::max(Want, 2 * FValues.capacity()));
  const std::size_t First = AText.find_first_not_of(" \t\r\n");
  if (First != std::string_view::npos && (AText[First] == '{' || AText[First] == '[')) {
    const std::size_t Values = FValues.size(), Sections = FSections.size();
    if (AddJson(Message, Tool, AText, Period)) return;
    // Not JSON after all (a cut document, say): read as text instead.
    FValues.resize(Values);
    FSections.resize(Sections);
  }
  AddText(Message, Tool, AText, Period);
}

void TValueIndex::AddFigures(const TToolValue& ATemplate, std::string_view AText, std::size_t AOffset,
                             bool AWholePlace) {
  for (const TFigure& F : ReadFigures(AText, {.ToolText = true, .KeepText = false})) {
    TToolValue V = ATemplate;
    V.Value = F.Value;
    V.Precision = F.Precision;
    V.Unit = F.Unit;
    if (!AWholePlace) {
      V.Begin = static_cast<std::uint32_t>(AOffset + F.Begin);
      V.End = static_cast<std::uint32_t>(AOffset + F.End);
    }
    if (!Push(V)) return;
  }
}

void TValueIndex::AddText(std::uint32_t AMessage, std::uint32_t ATool, std::string_view AText,
                          TPeriod APeriod) {
  const std::vector<TFigure> Figures = ReadFigures(AText, {.ToolText = true, .KeepText = false});
  std::uint32_t Section = NewSection("", TStatement::Unknown);
  std::string_view SectionTitle;
  TStatement SectionStatement = TStatement::Unknown;
  std::size_t LineEndAt = 0, LastEnd = 0;
  TPeriod LinePeriod = APeriod;
  // Sections change at a line starting with "[...]" (a header such as "[연결재무제표]", or a KRX
  // row "[삼성전자] 종가: ...") and at a line that names its own date.
  auto EnterLine = [&](std::size_t AStart) {
    LineEndAt = LineEnd(AText, AStart);
    LastEnd = AStart;
    const std::string_view Text = AText.substr(AStart, LineEndAt - AStart);
    const std::size_t Lead = Text.find_first_not_of(" \t");
    const std::size_t Close = Lead == std::string_view::npos ? Lead : Text.find(']', Lead);
    const auto Dated = LastPeriodMention(Text);
    if (Lead != std::string_view::npos && Text[Lead] == '[' && Close != std::string_view::npos) {
      SectionTitle = Text.substr(Lead + 1, Close - Lead - 1);
      SectionStatement = StatementOfName(SectionTitle);
      Section = NewSection(SectionTitle, SectionStatement);
    } else if (Dated) {
      Section = NewSection(SectionTitle, SectionStatement);
    }
    LinePeriod = APeriod;
    if (Dated && Dated->Year) LinePeriod.Year = Dated->Year;
    if (Dated && Dated->Month) LinePeriod.Month = Dated->Month;
    if (Dated && Dated->Day) LinePeriod.Day = Dated->Day;
  };
  EnterLine(0);
  for (const TFigure& F : Figures) {
    while (F.Begin > LineEndAt) EnterLine(LineEndAt + 1);
    TToolValue V;
    V.Value = F.Value;
    V.Precision = F.Precision;
    V.Unit = F.Unit;
    V.Period = LinePeriod;
    V.Message = AMessage;
    V.Begin = static_cast<std::uint32_t>(F.Begin);
    V.End = static_cast<std::uint32_t>(F.End);
    V.Tool = ATool;
    V.Section = Section;
    V.Label = Intern(LabelBefore(AText.substr(LastEnd, F.Begin - LastEnd)));
    LastEnd = F.End;
    if (!Push(V)) return;
  }
}

// A lexer rather than a parser: byte places for every number, no recursion, no copy of the
// document. False when AText is not one well-formed JSON value.
bool TValueIndex::AddJson(std::uint32_t AMessage, std::uint32_t ATool, std::string_view AText,
                          TPeriod APeriod) {
  struct TFrame {
    bool Object;
    std::uint32_t Label, Section;
  };
  std::vector<TFrame> Stack;
  std::uint32_t Key = 0;
  bool HaveKey = false, Done = false;
  auto LabelNow = [&] { return HaveKey ? Key : (Stack.empty() ? 0u : Stack.back().Label); };
  auto Template = [&] {
    TToolValue V;
    V.Period = APeriod;
    V.Message = AMessage;
    V.Tool = ATool;
    V.Label = LabelNow();
    V.Section = Stack.empty() ? 0 : Stack.back().Section;
    return V;
  };
  const std::size_t N = AText.size();
  for (std::size_t I = 0; I < N;) {
    const char C = AText[I];
    if (IsSpace(C)) {
      ++I;
      continue;
    }
    if (Done) return false;
    switch (C) {
      case '{':
      case '[': {
        if (Stack.size() >= kMaxJsonNesting) return false;
        const std::uint32_t Label = LabelNow();
        Stack.push_back({C == '{', Label, NewSection(FNames[Label], TStatement::Unknown)});
        HaveKey = false;
        ++I;
        break;
      }
      case '}':
      case ']':
        if (Stack.empty() || Stack.back().Object != (C == '}')) return false;
        Stack.pop_back();
        HaveKey = false;
        Done = Stack.empty();
        ++I;
        break;
      case ',':
        if (Stack.empty()) return false;
        HaveKey = false;
        ++I;
        break;
      case ':':
        if (Stack.empty() || !Stack.back().Object) return false;
        ++I;
        break;
      case '"': {
        std::size_t J = I + 1;
        bool Escapes = false;
        while (J < N && AText[J] != '"') {
          if (AText[J] == '\\') {
            Escapes = true;
            ++J;
          }
          ++J;
        }
        if (J >= N) return false;
        const std::string_view Content = AText.substr(I + 1, J - I - 1);
        std::size_t After = J + 1;
        while (After < N && IsSpace(AText[After])) ++After;
        if (Stack.empty()) return false;
        if (Stack.back().Object && After < N && AText[After] == ':') {
          Key = Intern(Content.substr(0, std::min(Content.size(), kMaxLabelBytes)));
          HaveKey = true;
        } else if (Content.find_first_of("0123456789") != std::string_view::npos) {
          TToolValue V = Template();
          if (Escapes) {
            // "\n1,234" must not read as a word "n1": escapes become spaces, and the value's
            // place is the whole string.
            std::string Plain(Content);
            for (std::size_t K = 0; K < Plain.size(); ++K)
              if (Plain[K] == '\\') {
                Plain[K] = ' ';
                if (K + 1 < Plain.size()) Plain[K + 1] = ' ';
                ++K;
              }
            V.Begin = static_cast<std::uint32_t>(I);
            V.End = static_cast<std::uint32_t>(J + 1);
            AddFigures(V, Plain, 0, true);
          } else {
            AddFigures(V, Content, I + 1, false);
          }
        }
        I = J + 1;
        break;
      }
      default: {
        if (C == '-' || IsDigit(C)) {
          std::size_t J = I + (C == '-');
          while (J < N && (IsDigit(AText[J]) || AText[J] == '.' || AText[J] == 'e' || AText[J] == 'E' ||
                           AText[J] == '+' || AText[J] == '-'))
            ++J;
          double Value = 0;
          const auto R = std::from_chars(AText.data() + I, AText.data() + J, Value);
          if (R.ec != std::errc() || R.ptr != AText.data() + J || Stack.empty()) return false;
          TToolValue V = Template();
          V.Value = Value;
          V.Begin = static_cast<std::uint32_t>(I);
          V.End = static_cast<std::uint32_t>(J);
          Push(V);
          I = J;
        } else if (IsAsciiLetter(C)) {
          std::size_t J = I;
          while (J < N && IsAsciiLetter(AText[J])) ++J;
          const std::string_view Word = AText.substr(I, J - I);
          if (Stack.empty() || (Word != "true" && Word != "false" && Word != "null")) return false;
          I = J;
        } else {
          return false;
        }
      }
    }
  }
  return Done;
}

}  // namespace kestrill
