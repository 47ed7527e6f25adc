// Every number the tools gave in a conversation, with where it came from: the tool message, the
// tool, its label (the account of a DART line such as "매출액", the field of a KRX line such as
// "종가", the member name in JSON), its section (a header like "[연결재무제표]", a KRX row, a JSON
// object or array), the period its call or line names, and its bytes in the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "figures/FigureContext.h"
#include "figures/FigureReader.h"

namespace kestrill {

// Bounds: a tool result is read up to kMaxResultBytes, all of them together up to kMaxIndexBytes,
// and at most kMaxIndexValues values are kept; the rest is left out and Truncated() says so.
inline constexpr std::size_t kMaxResultBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxIndexBytes = std::size_t{8} << 20;
inline constexpr std::size_t kMaxIndexValues = std::size_t{1} << 20;

struct TToolValue {
  double Value = 0;
  double Precision = 0;  // the rounding of the value as written ("383.29B": 1e7); 0 for JSON numbers
  TFigureUnit Unit = TFigureUnit::None;
  TPeriod Period;                    // of its line ("종료일: 2023-09-30") or of the call's arguments
  std::uint32_t Message = 0;         // the tool message's index in the conversation
  std::uint32_t Begin = 0, End = 0;  // its bytes in that message's text
  std::uint32_t Tool = 0, Label = 0, Section = 0;  // see TValueIndex
};

class TValueIndex {
 public:
  TValueIndex();

  // Indexes one tool result: JSON when AText is a JSON document, lines of text otherwise.
  // AArgsJSON, the arguments of the call it answers, gives the period asked for ("year",
  // "bsns_year", "date", "basDd").
  void Add(std::size_t AMessageIndex, std::string_view AToolName, std::string_view AText,
           std::string_view AArgsJSON = {});

  // In the order of the messages, and within one in text order.
  const std::vector<TToolValue>& Values() const { return FValues; }
  std::string_view ToolName(const TToolValue& AValue) const { return FNames[AValue.Tool]; }
  std::string_view Label(const TToolValue& AValue) const { return FNames[AValue.Label]; }
  std::string_view SectionName(const TToolValue& AValue) const;
  TStatement Statement(const TToolValue& AValue) const;
  // Ids of labels are below NameCount(), of sections below SectionCount(); label 0 is no label.
  std::size_t NameCount() const { return FNames.size(); }
  std::size_t SectionCount() const { return FSections.size(); }
  bool Truncated() const { return FTruncated; }

 private:
  struct TSection {
    std::uint32_t Name = 0;
    TStatement Statement = TStatement::Unknown;
  };

  std::uint32_t Intern(std::string_view AName);
  std::uint32_t NewSection(std::string_view AName, TStatement AStatement);
  bool Push(TToolValue AValue);
  bool AddJson(std::uint32_t AMessage, std::uint32_t ATool, std::string_view AText, TPeriod APeriod);
  void AddText(std::uint32_t AMessage, std::uint32_t ATool, std::string_view AText, TPeriod APeriod);
  void AddFigures(const TToolValue& ATemplate, std::string_view AText, std::size_t AOffset,
                  bool AWholePlace);

  std::vector<TToolValue> FValues;
  std::vector<std::string> FNames;  // tool names, labels and section names; 0 is ""
  struct THash {
    using is_transparent = void;
    std::size_t operator()(std::string_view A) const { return std::hash<std::string_view>()(A); }
  };
  std::unordered_map<std::string, std::uint32_t, THash, std::equal_to<>> FNameIds;
  std::vector<TSection> FSections;
  std::size_t FBytes = 0;
  bool FTruncated = false;
};

}  // namespace kestrill
