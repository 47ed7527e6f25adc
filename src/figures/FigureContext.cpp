#include "figures/FigureContext.h"

#include "figures/TextScan.h"

namespace kestrill {

using namespace figures_detail;

bool PeriodsAgree(const TPeriod& A, const TPeriod& B) {
  return !(A.Year && B.Year && A.Year != B.Year) && !(A.Month && B.Month && A.Month != B.Month) &&
         !(A.Day && B.Day && A.Day != B.Day);
}

namespace {

// Digits at I, at most AMax of them; their count in ALen.
int DigitsAt(std::string_view T, std::size_t I, std::size_t AMax, std::size_t& ALen) {
  int V = 0;
  ALen = 0;
  while (I + ALen < T.size() && ALen < AMax && IsDigit(T[I + ALen])) V = V * 10 + (T[I + ALen++] - '0');
  return V;
}

std::size_t SkipBlanks(std::string_view T, std::size_t I) {
  while (I < T.size() && T[I] == ' ') ++I;
  return I;
}

// " 1월 5일" / "1월" after a year (or alone): month and day into AInto; the end, or I for none.
std::size_t MonthDay(std::string_view T, std::size_t I, TPeriod& AInto) {
  std::size_t K = SkipBlanks(T, I), Len = 0;
  const int Month = DigitsAt(T, K, 3, Len);
  if (Len == 0 || Len > 2 || !StartsAt(T, K + Len, "월") || Month < 1 || Month > 12) return I;
  AInto.Month = Month;
  std::size_t End = K + Len + 3;
  std::size_t D = SkipBlanks(T, End), DayLen = 0;
  const int Day = DigitsAt(T, D, 3, DayLen);
  if (DayLen && DayLen <= 2 && StartsAt(T, D + DayLen, "일") && Day >= 1 && Day <= 31) {
    AInto.Day = Day;
    End = D + DayLen + 3;
  }
  return End;
}

}  // namespace

std::optional<TPeriod> LastPeriodMention(std::string_view T) {
  if (T.size() > kMaxContextBytes) T = T.substr(CharStart(T, T.size() - kMaxContextBytes));
  std::optional<TPeriod> Last;
  // "전년(43.38조 원) 대비": the earlier year holds inside the parenthesis only.
  std::optional<TPeriod> Restore;
  std::size_t RestoreAt = std::string_view::npos;
  static constexpr std::string_view kEarlier[] = {"전년도", "전년", "작년", "지난해"};
  static constexpr std::string_view kComparison[] = {"대비", "보다", "比", "동기", "와 비교", "과 비교"};
  for (std::size_t I = 0; I < T.size();) {
    const char C = T[I];
    if (I >= RestoreAt) {
      Last = Restore;
      RestoreAt = std::string_view::npos;
    }
    if (C == 'F' && StartsAt(T, I, "FY") && !(I > 0 && IsAsciiLetter(T[I - 1]))) {
      std::size_t J = I + 2, Len = 0;
      if (J < T.size() && (T[J] == ' ' || T[J] == '\'')) ++J;
      const int Y = DigitsAt(T, J, 5, Len);
      if (Len == 4 && Y >= 1900 && Y <= 2100) Last = TPeriod{Y, 0, 0};
      if (Len == 2) Last = TPeriod{2000 + Y, 0, 0};
      I = J + std::max<std::size_t>(Len, 1);
      continue;
    }
    if (IsDigit(C)) {
      const bool Joined = I > 0 && (IsDigit(T[I - 1]) || IsAsciiLetter(T[I - 1]) ||
                                    T[I - 1] == ',' || T[I - 1] == '.');
      std::size_t Len = 0;
      const int V = DigitsAt(T, I, 9, Len);
      std::size_t J = I + Len;
      while (J < T.size() && IsDigit(T[J])) ++J;
      const std::size_t Run = J - I;
      if (Joined || (J < T.size() && T[J] == ',' && J + 1 < T.size() && IsDigit(T[J + 1]))) {
        I = J;
        continue;
      }
      if (Run == 8) {
        if (ValidDate(V / 10000, V / 100 % 100, V % 100)) Last = TPeriod{V / 10000, V / 100 % 100, V % 100};
      } else if (Run == 4 && V >= 1900 && V <= 2100) {
        TPeriod P{V, 0, 0};
        // 2024-01-05, 2024.01.05, 2024/1/5
        if (J + 1 < T.size() && (T[J] == '-' || T[J] == '.' || T[J] == '/')) {
          const char Sep = T[J];
          std::size_t MLen = 0, DLen = 0;
          const int Month = DigitsAt(T, J + 1, 3, MLen);
          if (MLen && MLen <= 2 && J + 1 + MLen < T.size() && T[J + 1 + MLen] == Sep) {
            const int Day = DigitsAt(T, J + 2 + MLen, 3, DLen);
            if (DLen && DLen <= 2 && ValidDate(V, Month, Day)) {
              Last = TPeriod{V, Month, Day};
              I = J + 2 + MLen + DLen;
              continue;
            }
          }
          if (Sep == '.' && MLen) {  // a decimal such as 2024.5 is no year
            I = J + 1 + MLen;
            continue;
          }
        }
        if (StartsAt(T, J, "년")) {
          J += 3;
          if (StartsAt(T, J, "도")) J += 3;
          J = MonthDay(T, J, P);
          Last = P;
        } else if (!HangulAt(T, J) && !(J < T.size() && IsAsciiLetter(T[J]))) {
          Last = P;
        }
      } else if (Run <= 2) {
        TPeriod P;
        const std::size_t End = MonthDay(T, I, P);
        if (End != I) {
          Last = P;
          J = End;
        }
      }
      I = J;
      continue;
    }
    if (static_cast<unsigned char>(C) >= 0xE0 && !HangulBefore(T, I)) {
      if (std::size_t Len = WordAt(T, I, kEarlier)) {
        const std::size_t After = SkipBlanks(T, I + Len);
        if (Last && Last->Year && !WordAt(T, After, kComparison)) {
          if (After < T.size() && T[After] == '(') {
            const std::size_t Close = T.find(')', After);
            if (Close != std::string_view::npos) {
              Restore = Last;
              RestoreAt = Close;
            }
          }
          Last = TPeriod{Last->Year - 1, 0, 0};
        }
        I += Len;
        continue;
      }
    }
    ++I;
  }
  return Last;
}

TStatement LastStatementMention(std::string_view T) {
  if (T.size() > kMaxContextBytes) T = T.substr(T.size() - kMaxContextBytes);
  std::size_t Consolidated = T.rfind("연결");
  std::size_t Separate = std::string_view::npos;
  for (std::string_view W : {std::string_view("별도"), std::string_view("개별")}) {
    const std::size_t P = T.rfind(W);
    if (P != std::string_view::npos && (Separate == std::string_view::npos || P > Separate)) Separate = P;
  }
  if (Consolidated == std::string_view::npos && Separate == std::string_view::npos) return TStatement::Unknown;
  if (Consolidated == std::string_view::npos) return TStatement::Separate;
  if (Separate == std::string_view::npos) return TStatement::Consolidated;
  return Consolidated > Separate ? TStatement::Consolidated : TStatement::Separate;
}

TStatement StatementOfName(std::string_view AName) {
  const TStatement Said = LastStatementMention(AName);
  if (Said != TStatement::Unknown) return Said;
  return AName.find("재무제표") != std::string_view::npos ? TStatement::Separate : TStatement::Unknown;
}

}  // namespace kestrill
