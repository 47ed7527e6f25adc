// What a stretch of text says about when and which statement: the period a figure or a tool value
// belongs to ("2023년", "1월 5일", "FY2023", "2023-09-30") and whether it is consolidated (연결)
// or separate (별도, 개별). The check uses these to tell a right number from the same account's
// number of another year or of the other statement.
#pragma once

#include <optional>
#include <string_view>

namespace kestrill {

struct TPeriod {
  int Year = 0, Month = 0, Day = 0;  // 0: not said

  bool Empty() const { return Year == 0 && Month == 0 && Day == 0; }
  bool operator==(const TPeriod&) const = default;
};

// Two periods agree unless a field both of them give differs.
bool PeriodsAgree(const TPeriod& A, const TPeriod& B);

enum class TStatement : unsigned char { Unknown, Consolidated, Separate };

// The last period AText mentions: "2024년 1월 5일", "2023년", "1월 5일", "2024-01-05",
// "2024.01.05", "20240105", "FY2023", a bare year. 전년/작년/지난해 turn the year before them
// into the one before it, unless a comparison follows ("전년 대비": the base, not the subject).
// Reads at most the last kMaxContextBytes of AText.
std::optional<TPeriod> LastPeriodMention(std::string_view AText);

// The statement AText names last: 연결 → Consolidated, 별도/개별 → Separate.
TStatement LastStatementMention(std::string_view AText);

// A header or section name: "[연결재무제표]" Consolidated, "[재무제표]", "별도", "개별" Separate.
TStatement StatementOfName(std::string_view AName);

inline constexpr std::size_t kMaxContextBytes = 4096;

}  // namespace kestrill
