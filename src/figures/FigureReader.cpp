#include "figures/FigureReader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "figures/TextScan.h"

namespace kestrill {

std::string_view FigureUnitName(TFigureUnit AUnit) {
  switch (AUnit) {
    case TFigureUnit::Won: return "원";
    case TFigureUnit::Dollar: return "달러";
    case TFigureUnit::Shares: return "주";
    case TFigureUnit::Percent: return "%";
    case TFigureUnit::PercentPoint: return "%p";
    case TFigureUnit::Point: return "pt";
    case TFigureUnit::Times: return "배";
    case TFigureUnit::None: break;
  }
  return "";
}

namespace {

using namespace figures_detail;

struct TRange {
  std::size_t Begin, End;
};

// Markdown code the reader must not look into: fenced blocks (``` or ~~~) and code spans, sorted.
// Linear: each backtick run is paired with the next run of the same length in its paragraph.
std::vector<TRange> CodeRanges(std::string_view T) {
  std::vector<TRange> Out;
  struct TRun {
    std::size_t Pos, Len;
    std::uint64_t Key;  // paragraph and run length
  };
  std::vector<TRun> Runs;
  std::uint64_t Block = 0;
  bool InFence = false;
  char FenceChar = 0;
  std::size_t FenceLen = 0, FenceBegin = 0;
  for (std::size_t I = 0; I < T.size();) {
    const std::size_t End = LineEnd(T, I);
    const std::string_view Line = T.substr(I, End - I);
    std::size_t Indent = 0;
    while (Indent < Line.size() && Indent < 4 && Line[Indent] == ' ') ++Indent;
    char Mark = 0;
    std::size_t MarkLen = 0;
    if (Indent < 4 && Indent < Line.size() && (Line[Indent] == '`' || Line[Indent] == '~')) {
      Mark = Line[Indent];
      while (Indent + MarkLen < Line.size() && Line[Indent + MarkLen] == Mark) ++MarkLen;
      if (MarkLen < 3) MarkLen = 0;
    }
    bool Fence = false;
    if (InFence) {
      Fence = true;
      if (MarkLen >= FenceLen && Mark == FenceChar &&
          Line.find_first_not_of(" \t\r", Indent + MarkLen) == std::string_view::npos) {
        InFence = false;
        Out.push_back({FenceBegin, End});
        ++Block;
      }
    } else if (MarkLen && !(Mark == '`' && Line.find('`', Indent + MarkLen) != Line.npos)) {
      InFence = true;
      Fence = true;
      FenceChar = Mark;
      FenceLen = MarkLen;
      FenceBegin = I;
      ++Block;
    }
    if (!Fence) {
      if (Line.find_first_not_of(" \t\r") == std::string_view::npos) ++Block;
      for (std::size_t J = 0; J < Line.size();) {
        if (Line[J] != '`') {
          ++J;
          continue;
        }
        std::size_t Len = 0;
        while (J + Len < Line.size() && Line[J + Len] == '`') ++Len;
        Runs.push_back({I + J, Len, (Block << 24) ^ std::min<std::size_t>(Len, 0xFFFFFF)});
        J += Len;
      }
    }
    I = End + 1;
  }
  if (InFence) Out.push_back({FenceBegin, T.size()});

  std::vector<std::size_t> Next(Runs.size(), std::string_view::npos);
  std::unordered_map<std::uint64_t, std::size_t> Later;
  for (std::size_t K = Runs.size(); K-- > 0;) {
    auto It = Later.find(Runs[K].Key);
    if (It != Later.end()) Next[K] = It->second;
    Later[Runs[K].Key] = K;
  }
  for (std::size_t K = 0; K < Runs.size();) {
    if (Next[K] == std::string_view::npos || Runs[Next[K]].Len != Runs[K].Len) {
      ++K;
      continue;
    }
    Out.push_back({Runs[K].Pos, Runs[Next[K]].Pos + Runs[Next[K]].Len});
    K = Next[K] + 1;
  }
  std::sort(Out.begin(), Out.end(), [](const TRange& A, const TRange& B) { return A.Begin < B.Begin; });
  return Out;
}

// 10^-ADecimals without pow(): a number has at most 40 characters.
double Unit10(int ADecimals) {
  static const auto kTable = [] {
    std::array<double, 48> T{};
    double V = 1;
    for (double& E : T) {
      E = V;
      V /= 10;
    }
    return T;
  }();
  return kTable[static_cast<std::size_t>(std::clamp(ADecimals, 0, 47))];
}

struct TNumber {
  std::size_t End = 0;
  double Value = 0;
  int Decimals = 0;
  std::size_t IntDigits = 0;
  bool Separators = false;
  bool LeadingZero = false;
};

// Digits with optional thousands groups and decimals at I (a digit). Nullopt for a run of digits
// too long to be an amount; AEnd then says where it ends.
std::optional<TNumber> ReadNumber(std::string_view T, std::size_t I, std::size_t& AEnd) {
  TNumber N;
  std::size_t J = I;
  while (J < T.size() && IsDigit(T[J])) ++J;
  N.IntDigits = J - I;
  N.LeadingZero = N.IntDigits > 1 && T[I] == '0';
  if (N.IntDigits <= 3)
    while (J + 3 < T.size() && T[J] == ',' && IsDigit(T[J + 1]) && IsDigit(T[J + 2]) &&
           IsDigit(T[J + 3]) && (J + 4 == T.size() || !IsDigit(T[J + 4]))) {
      J += 4;
      N.Separators = true;
    }
  if (J + 1 < T.size() && T[J] == '.' && IsDigit(T[J + 1])) {
    ++J;
    while (J < T.size() && IsDigit(T[J])) {
      ++J;
      ++N.Decimals;
    }
  }
  AEnd = N.End = J;
  if (J - I > 40) return std::nullopt;
  char Buffer[48];
  std::size_t Len = 0;
  for (std::size_t K = I; K < J; ++K)
    if (T[K] != ',') Buffer[Len++] = T[K];
  if (std::from_chars(Buffer, Buffer + Len, N.Value).ec != std::errc()) return std::nullopt;
  return N;
}

struct TMagnitude {
  double Mult = 1;
  int Level = 1;  // 조 4, 억 3, 만 2, below 만 1; English magnitudes 0: they do not compound
  std::size_t End = 0;
  bool Found = false;
};

constexpr std::string_view kEnglishMagnitudeWords[] = {"thousand", "million", "billion", "trillion"};
constexpr double kEnglishMagnitudeValues[] = {1e3, 1e6, 1e9, 1e12};

// A magnitude right after a number ending at I ("억", "천만", "조", "B", "bn", " million").
TMagnitude ReadMagnitude(std::string_view T, std::size_t I) {
  TMagnitude M;
  M.End = I;
  std::size_t K = I;
  if (K < T.size() && T[K] == ' ' && (HangulAt(T, K + 1))) ++K;
  double Small = 1;
  std::size_t J = K;
  if (StartsAt(T, J, "천")) Small = 1e3;
  else if (StartsAt(T, J, "백")) Small = 1e2;
  else if (StartsAt(T, J, "십")) Small = 1e1;
  if (Small > 1) J += 3;
  double Major = 1;
  int Level = 1;
  static constexpr std::string_view kNotTrillion[] = {"정", "사", "건", "직", "치", "합", "회",
                                                      "작", "성", "선", "항", "약", "금", "세"};
  static constexpr std::string_view kNotTenThousand[] = {"에", "큼", "약", "족", "기", "료", "일", "들"};
  if (StartsAt(T, J, "조") && !WordAt(T, J + 3, kNotTrillion)) {
    Major = 1e12;
    Level = 4;
  } else if (StartsAt(T, J, "억")) {
    Major = 1e8;
    Level = 3;
  } else if (StartsAt(T, J, "만") && !WordAt(T, J + 3, kNotTenThousand)) {
    Major = 1e4;
    Level = 2;
  }
  if (Major > 1) J += 3;
  if (Small > 1 && Major == 1) {
    // 천/백/십 alone: only where a unit, 여 or the end of the word follows ("5천 원", "7천원").
    static constexpr std::string_view kAfterSmall[] = {"원", "여", "달", "주", "명", "개"};
    if (HangulAt(T, J) && !WordAt(T, J, kAfterSmall)) return M;
  }
  if (J > K) {
    M.Mult = Small * Major;
    M.Level = Level;
    M.End = J;
    M.Found = true;
    return M;
  }
  // English: K, M, B, T, bn, mn, tn attached; the words attached or after one space.
  auto NoLetterAfter = [&](std::size_t P) { return P >= T.size() || !IsAsciiLetter(T[P]); };
  static constexpr std::pair<std::string_view, double> kShort[] = {
      {"bn", 1e9}, {"mn", 1e6}, {"tn", 1e12}, {"K", 1e3}, {"k", 1e3}, {"M", 1e6}, {"B", 1e9}, {"T", 1e12}};
  for (const auto& [Word, Value] : kShort)
    if (StartsAt(T, I, Word) && NoLetterAfter(I + Word.size())) {
      M = {Value, 0, I + Word.size(), true};
      return M;
    }
  const std::size_t W = (I < T.size() && T[I] == ' ') ? I + 1 : I;
  for (std::size_t Index = 0; Index < 4; ++Index) {
    const std::string_view Word = kEnglishMagnitudeWords[Index];
    if (StartsAt(T, W, Word) && NoLetterAfter(W + Word.size())) {
      M = {kEnglishMagnitudeValues[Index], 0, W + Word.size(), true};
      return M;
    }
  }
  return M;
}

struct TUnit {
  TFigureUnit Unit = TFigureUnit::None;
  std::size_t End = 0;
  double Scale = 1;
  bool Found = false;      // a unit, or a currency we do not compare (엔, 유로)
  bool NonClaim = false;   // a date, period, rank or count word
  bool Approximate = false;  // "7만원대", "2,500선"
};

// One-syllable words after which a Korean count or period word still stands alone: particles
// and the like ("3일간", "5일째", "1월말", "2년 전").
bool ParticleAt(std::string_view T, std::size_t I) {
  static constexpr std::string_view kParticles[] = {
      "이", "가", "은", "는", "을", "를", "의", "에", "와", "과", "로", "도", "간", "째", "만",
      "씩", "동", "말", "초", "중", "부", "까", "보", "차", "전", "후", "내", "치", "마", "께", "쯤", "연"};
  return !HangulAt(T, I) || WordAt(T, I, kParticles);
}

TUnit ReadUnit(std::string_view T, std::size_t I) {
  TUnit U;
  U.End = I;
  auto NoLetterAfter = [&](std::size_t P) { return P >= T.size() || !IsAsciiLetter(T[P]); };
  for (int Spaced = 0; Spaced < 2; ++Spaced) {
    const std::size_t K = I + Spaced;
    if (Spaced && !(I < T.size() && T[I] == ' ')) break;
    auto Take = [&](std::size_t Len, TFigureUnit AUnit, double AScale = 1) {
      U.Unit = AUnit;
      U.End = K + Len;
      U.Scale = AScale;
      U.Found = true;
      return U;
    };
    // Percent forms first: "%p" and "%포인트" are points of percentage.
    if (StartsAt(T, K, "%") || StartsAt(T, K, "％")) {
      const std::size_t P = K + (T[K] == '%' ? 1 : 3);
      if ((StartsAt(T, P, "p") || StartsAt(T, P, "P")) && NoLetterAfter(P + 1))
        return Take(P + 1 - K, TFigureUnit::PercentPoint);
      if (StartsAt(T, P, "포인트")) return Take(P + 9 - K, TFigureUnit::PercentPoint);
      return Take(P - K, TFigureUnit::Percent);
    }
    if (StartsAt(T, K, "퍼센트포인트")) return Take(18, TFigureUnit::PercentPoint);
    if (StartsAt(T, K, "퍼센트")) return Take(9, TFigureUnit::Percent);
    if (StartsAt(T, K, "포인트")) return Take(9, TFigureUnit::Point);
    if (StartsAt(T, K, "원")) {
      static constexpr std::string_view kNotWon[] = {"인", "래", "칙", "자", "유", "전", "작", "본", "형", "리"};
      if (!WordAt(T, K + 3, kNotWon)) {
        Take(3, TFigureUnit::Won);
        if (StartsAt(T, K + 3, "대")) U.Approximate = true;  // "7만원대": somewhere in the 70,000s
        return U;
      }
    }
    if (StartsAt(T, K, "달러")) return Take(6, TFigureUnit::Dollar);
    if (StartsAt(T, K, "주")) {
      // 주 after a number is shares, unless it is weeks ("3주간", "2주 전", "4주 연속").
      static constexpr std::string_view kNotShares[] = {"간", "년", "차", "기", "째", "일", "말",
                                                        "가", "식", "당", "요", "주", "도", "택"};
      static constexpr std::string_view kWeeksAfter[] = {" 동안", " 전", " 후", " 연속", " 만에", " 뒤", " 사이"};
      if (WordAt(T, K + 3, kWeeksAfter) || StartsAt(T, K + 3, "간") || StartsAt(T, K + 3, "째") ||
          StartsAt(T, K + 3, "차")) {
        U.NonClaim = true;
        U.End = K + 3;
        return U;
      }
      if (!WordAt(T, K + 3, kNotShares)) return Take(3, TFigureUnit::Shares);
    }
    if (StartsAt(T, K, "배")) {
      static constexpr std::string_view kNotTimes[] = {"당", "정", "치", "터", "럴", "율", "송", "출"};
      if (!WordAt(T, K + 3, kNotTimes)) return Take(3, TFigureUnit::Times);
    }
    for (std::string_view Other : {std::string_view("엔"), std::string_view("유로"), std::string_view("위안")})
      if (StartsAt(T, K, Other)) return Take(Other.size(), TFigureUnit::None);
    // ASCII units: attached or after one space, never running into a longer word.
    static constexpr std::pair<std::string_view, TFigureUnit> kAscii[] = {
        {"USD", TFigureUnit::Dollar}, {"KRW", TFigureUnit::Won}, {"dollars", TFigureUnit::Dollar},
        {"shares", TFigureUnit::Shares}, {"pts", TFigureUnit::Point}, {"pt", TFigureUnit::Point},
        {"times", TFigureUnit::Times}};
    for (const auto& [Word, Unit] : kAscii)
      if (StartsAt(T, K, Word) && NoLetterAfter(K + Word.size())) return Take(Word.size(), Unit);
    if (!Spaced) {
      if ((StartsAt(T, K, "bps") && NoLetterAfter(K + 3)))
        return Take(3, TFigureUnit::PercentPoint, 0.01);
      if ((StartsAt(T, K, "bp") && NoLetterAfter(K + 2)))
        return Take(2, TFigureUnit::PercentPoint, 0.01);
      if ((StartsAt(T, K, "p") || StartsAt(T, K, "P")) && NoLetterAfter(K + 1))
        return Take(1, TFigureUnit::Point);
      if ((StartsAt(T, K, "x") || StartsAt(T, K, "X")) && NoLetterAfter(K + 1))
        return Take(1, TFigureUnit::Times);
      if (StartsAt(T, K, "선") && !HangulAt(T, K + 3)) {  // "2,500선": around that level
        U.Found = true;
        U.Approximate = true;
        U.End = K + 3;
        return U;
      }
    }
    // Dates, periods, ranks and counts: not claims about an amount.
    static constexpr std::string_view kNonClaimLong[] = {
        "개월", "분기", "반기", "주차", "주년", "시간", "가지", "개사", "개국", "종목", "거래일",
        "영업일", "년도", "개년", "번째", "차례"};
    static constexpr std::string_view kNonClaimShort[] = {"년", "월", "일", "시", "분", "초", "세", "살",
                                                          "위", "차", "회", "번", "등", "호", "층",
                                                          "기", "개", "건", "명", "곳", "대", "편",
                                                          "장", "권", "척", "채", "인"};
    static constexpr std::string_view kSpacedShort[] = {"년", "월", "일", "개", "건", "명", "곳"};
    if (std::size_t Len = WordAt(T, K, kNonClaimLong); Len && (!Spaced || StartsAt(T, K, "개월") ||
                                                               StartsAt(T, K, "분기") ||
                                                               StartsAt(T, K, "거래일") ||
                                                               StartsAt(T, K, "종목") ||
                                                               StartsAt(T, K, "가지"))) {
      U.NonClaim = true;
      U.End = K + Len;
      return U;
    }
    if (std::size_t Len = Spaced ? WordAt(T, K, kSpacedShort) : WordAt(T, K, kNonClaimShort);
        Len && ParticleAt(T, K + Len)) {
      U.NonClaim = true;
      U.End = K + Len;
      return U;
    }
  }
  return U;
}

constexpr std::string_view kApproxBefore[] = {"약", "대략", "거의", "about", "around",
                                              "approximately", "approx.", "roughly", "nearly",
                                              "almost", "circa"};
constexpr std::string_view kApproxAfter[] = {"정도", "가량", "내외", "안팎", "수준", "남짓",
                                             "가까이", "쯤", "여"};
constexpr std::string_view kTilde[] = {"~", "∼", "～"};
constexpr std::string_view kUpWords[] = {"상승", "증가", "올랐", "올라", "오른", "오르", "늘었",
                                         "늘어", "늘린", "뛰었", "뛰어", "급등", "반등"};
constexpr std::string_view kDownWords[] = {"하락", "감소", "내렸", "내려", "내린", "내리", "줄었",
                                           "줄어", "줄인", "떨어", "급락", "빠졌", "빠진"};
// Particles that may stand between a figure and the word that gives its sign. 로/으로 may not:
// "71,500원으로 하락" names the level reached, not the change.
constexpr std::string_view kSignParticles[] = {"이나", "만큼", "이", "가", "나", "씩", "을", "를", "이며"};
constexpr std::string_view kEnglishUp[] = {"up", "rose", "gained", "increased", "grew", "climbed", "jumped"};
constexpr std::string_view kEnglishDown[] = {"down", "fell", "dropped", "declined", "decreased",
                                             "lost", "slid", "slipped"};
constexpr std::string_view kIndexNames[] = {"코스피", "코스닥", "KOSPI", "KOSDAQ", "S&P", "나스닥",
                                            "NASDAQ", "Nasdaq", "다우", "Russell", "러셀", "니케이",
                                            "Nikkei", "FTSE", "KRX", "MSCI", "STOXX", "TOP"};

// The word in AWords that ends at I, preceded by no letter of the same word.
template <std::size_t N>
std::size_t WordEndingAt(std::string_view T, std::size_t I, const std::string_view (&AWords)[N]) {
  for (std::string_view W : AWords)
    if (EndsAt(T, I, W) && !WordCharBefore(T, I - W.size())) return W.size();
  return 0;
}

// I back over spaces and tabs, at most AMax of them.
std::size_t BackOverSpaces(std::string_view T, std::size_t I, int AMax = 2) {
  while (AMax-- > 0 && I > 0 && (T[I - 1] == ' ' || T[I - 1] == '\t')) --I;
  return I;
}

struct TParsed {
  TFigure F;
  std::size_t Next = 0;     // where reading goes on
  bool Keep = false;        // a claim
  bool Bare = false;        // no unit, currency or magnitude
  bool NonClaim = false;    // a date, period, code, count, list number
  bool Magnitude = false;   // the first group has a magnitude
  double LeadMult = 1;      // that magnitude
  int LeadDecimals = 0;
  double LeadValue = 0;
  bool RangeFollows = false;  // "3~4조 원": the first number takes the second one's unit
  std::size_t RangeAt = 0;
};

class TReader {
 public:
  TReader(std::string_view AText, const TReadOptions& AOptions) : T(AText), O(AOptions) {
    if (!O.ToolText) Code = CodeRanges(T);
  }

  std::vector<TFigure> Run() {
    std::size_t I = 0, CodeAt = 0;
    while (I < T.size()) {
      while (CodeAt < Code.size() && Code[CodeAt].End <= I) ++CodeAt;
      if (CodeAt < Code.size() && Code[CodeAt].Begin <= I) {
        I = Code[CodeAt].End;
        continue;
      }
      const char C = T[I];
      if (C == 'h' || C == 'w') {
        if (StartsAt(T, I, "http://") || StartsAt(T, I, "https://") || StartsAt(T, I, "www.")) {
          while (I < T.size() && !IsSpace(T[I]) && T[I] != ')' && T[I] != '>' && T[I] != '"' &&
                 T[I] != '<' && T[I] != ']')
            ++I;
          continue;
        }
      }
      if (!IsDigit(C)) {
        ++I;
        continue;
      }
      // Part of a word or a code: FY2023, A005930, H100, x86, #1, v1.2.
      if (I > 0 && (IsAsciiLetter(T[I - 1]) || T[I - 1] == '_' || T[I - 1] == '#' ||
                    (T[I - 1] == '.' && I > 1 && (IsAsciiLetter(T[I - 2]) || IsDigit(T[I - 2]))))) {
        I = SkipWord(I);
        continue;
      }
      I = ReadAt(I);
    }
    return std::move(Out);
  }

 private:
  std::string_view T;
  TReadOptions O;
  std::vector<TRange> Code;
  std::vector<TFigure> Out;
  std::size_t FFloor = 0;  // where the last figure, or whatever was skipped, ended

  std::size_t SkipWord(std::size_t I) const {
    while (I < T.size() && (IsDigit(T[I]) || IsAsciiLetter(T[I]) || T[I] == '_' || T[I] == '.' ||
                            T[I] == ',' || T[I] == '-'))
      ++I;
    return I;
  }

  std::size_t ReadAt(std::size_t I) {
    const std::size_t Next = ReadFrom(I);
    FFloor = Next;
    return Next;
  }

  std::size_t ReadFrom(std::size_t I) {
    TParsed First = Parse(I);
    if (First.RangeFollows) {
      FFloor = First.F.End;
      TParsed Second = Parse(First.RangeAt);
      if (Second.Keep && !Second.Bare) {
        // "3~4조 원", "1~2%": the first number borrows what the second one says.
        TFigure& F = First.F;
        if (Second.Magnitude && !First.Magnitude) {
          F.Value *= Second.LeadMult;
          F.Precision *= Second.LeadMult;
        }
        F.Unit = Second.F.Unit;
        F.Approximate = Second.F.Approximate = true;
        Out.push_back(std::move(F));
        Out.push_back(std::move(Second.F));
        return Second.Next;
      }
      if (First.Keep) Out.push_back(std::move(First.F));
      return std::max(First.Next, I + 1);
    }
    if (First.Keep) Out.push_back(std::move(First.F));
    return std::max(First.Next, I + 1);
  }

  // The number is the first thing on a list item or heading line: "1. ", "2) ", "## 3".
  bool ListOrHeadingNumber(std::size_t I, std::size_t AEnd) const {
    const std::size_t Start = LineStart(T, I);
    std::size_t K = Start;
    bool Heading = false;
    while (K < I && (T[K] == ' ' || T[K] == '\t' || T[K] == '>')) ++K;
    if (K < I && T[K] == '#') {
      while (K < I && T[K] == '#') ++K;
      Heading = true;
    } else if (K + 1 < I && (T[K] == '-' || T[K] == '*' || T[K] == '+') && T[K + 1] == ' ') {
      K += 2;
    }
    while (K < I && (T[K] == ' ' || T[K] == '\t' || T[K] == '*')) ++K;
    if (K != I) return false;
    if (AEnd < T.size() && (T[AEnd] == '.' || T[AEnd] == ')') &&
        (AEnd + 1 == T.size() || IsSpace(T[AEnd + 1])))
      return true;
    return Heading;
  }

  TParsed Parse(std::size_t I) {
    TParsed P;
    std::size_t NumberEnd = I;
    auto Number = ReadNumber(T, I, NumberEnd);
    P.Next = NumberEnd;
    if (!Number) return P;
    std::size_t J = NumberEnd;

    // Dates, times, versions, phone numbers and hyphenated ranges: 2024-01-05, 15:30, 1/5.
    if (J + 1 < T.size() && (T[J] == '-' || T[J] == '.' || T[J] == '/' || T[J] == ':') &&
        IsDigit(T[J + 1])) {
      while (J < T.size() && (IsDigit(T[J]) || T[J] == '-' || T[J] == '.' || T[J] == '/' ||
                              T[J] == ':' || T[J] == ','))
        ++J;
      P.Next = J;
      P.NonClaim = true;
      return P;
    }
    // 005930.KS, 035720.KQ
    if (J + 1 < T.size() && T[J] == '.' && IsAsciiLetter(T[J + 1])) {
      P.Next = SkipWord(J);
      P.NonClaim = true;
      return P;
    }

    TFigure& F = P.F;
    double Value = Number->Value, Precision = Unit10(Number->Decimals);
    TMagnitude M = ReadMagnitude(T, J);
    P.LeadValue = Number->Value;
    P.LeadDecimals = Number->Decimals;
    if (M.Found) {
      Value *= M.Mult;
      Precision *= M.Mult;
      J = M.End;
      P.Magnitude = true;
      P.LeadMult = M.Mult;
      // Korean compounds: "1조 2,345억", "13만 7,500원", "188억 7,652만", each group smaller.
      int Level = M.Level;
      while (Level >= 2) {
        std::size_t K = J;
        if (K < T.size() && T[K] == ' ') ++K;
        if (K >= T.size() || !IsDigit(T[K])) break;
        std::size_t GroupEnd = K;
        auto Group = ReadNumber(T, K, GroupEnd);
        if (!Group || Group->Value >= 10000) break;
        TMagnitude GM = ReadMagnitude(T, GroupEnd);
        if (GM.Found) {
          if (GM.Level >= Level || GM.Level == 0) break;
        } else {
          const TUnit After = ReadUnit(T, GroupEnd);
          if (!After.Found || (After.Unit != TFigureUnit::Won && After.Unit != TFigureUnit::Shares &&
                               After.Unit != TFigureUnit::Dollar))
            break;
        }
        Value += Group->Value * GM.Mult;
        Precision = Unit10(Group->Decimals) * GM.Mult;
        Level = GM.Found ? GM.Level : 1;
        J = GM.Found ? GM.End : GroupEnd;
      }
    }
    // "3천억여 원", "100여 명": more than, roughly.
    if (StartsAt(T, J, "여") && !HangulAt(T, J + 3)) {
      F.Approximate = true;
      J += 3;
    }

    const TUnit Unit = ReadUnit(T, J);
    if (Unit.NonClaim) {
      P.Next = Unit.End;
      P.NonClaim = true;
      return P;
    }
    // "52주 최고가", "4주 연속": weeks, not shares, when the count is small and plain.
    if (!O.ToolText && Unit.Unit == TFigureUnit::Shares && !M.Found && Number->Decimals == 0 &&
        !Number->Separators && Number->Value < 100) {
      P.Next = Unit.End;
      P.NonClaim = true;
      return P;
    }
    std::size_t End = J;
    if (Unit.Found) {
      F.Unit = Unit.Unit;
      Value *= Unit.Scale;
      Precision *= Unit.Scale;
      F.Approximate = F.Approximate || Unit.Approximate;
      End = Unit.End;
    }

    // What comes before: a currency sign, the sign of the figure, an approximation word.
    std::size_t Begin = I;
    int Sign = 0;
    auto SignBefore = [&](std::size_t At) -> std::size_t {
      if (At == 0) return 0;
      if (T[At - 1] == '+' || T[At - 1] == '-') {
        if (At >= 2 && (IsDigit(T[At - 2]) || IsAsciiLetter(T[At - 2]))) return 0;
        Sign = T[At - 1] == '+' ? 1 : -1;
        return 1;
      }
      if (EndsAt(T, At, "−")) {
        Sign = -1;
        return 3;
      }
      // Arrows and triangles, attached or after one space ("▲ 500").
      static constexpr std::pair<std::string_view, int> kMarks[] = {
          {"▲", 1}, {"△", 1}, {"↑", 1}, {"▼", -1}, {"▽", -1}, {"↓", -1}};
      const std::size_t Near = T[At - 1] == ' ' ? At - 1 : At;
      for (std::size_t From : {At, Near})
        for (const auto& [W, S] : kMarks)
          if (EndsAt(T, From, W)) {
            Sign = S;
            return At - From + W.size();
          }
      return 0;
    };
    Begin -= SignBefore(Begin);
    TFigureUnit Currency = TFigureUnit::None;
    {
      static constexpr std::pair<std::string_view, TFigureUnit> kPrefix[] = {
          {"US$", TFigureUnit::Dollar}, {"$", TFigureUnit::Dollar},  {"₩", TFigureUnit::Won},
          {"￦", TFigureUnit::Won},     {"USD ", TFigureUnit::Dollar}, {"USD", TFigureUnit::Dollar},
          {"KRW ", TFigureUnit::Won},   {"KRW", TFigureUnit::Won}};
      for (const auto& [Word, U] : kPrefix)
        if (EndsAt(T, Begin, Word) && !(IsAsciiLetter(Word[0]) && Begin > Word.size() &&
                                        IsAsciiLetter(T[Begin - Word.size() - 1]))) {
          Currency = U;
          Begin -= Word.size();
          break;
        }
      if (Currency != TFigureUnit::None && Sign == 0) Begin -= SignBefore(Begin);
    }
    // Nothing before the figure may reach back into the one before it ("1KRW 83.09").
    if (Begin < FFloor) {
      Begin = I;
      Sign = 0;
      Currency = TFigureUnit::None;
    }
    if (!Unit.Found && Currency != TFigureUnit::None) F.Unit = Currency;

    const std::size_t Before = BackOverSpaces(T, Begin);
    if (WordEndingAt(T, Before, kApproxBefore)) F.Approximate = true;
    for (std::string_view W : kTilde)  // "~3%", but not the second half of "3~4%"
      if (EndsAt(T, Begin, W) && !(Begin > W.size() && IsDigit(T[Begin - W.size() - 1])))
        F.Approximate = true;
    if (Sign == 0) {
      if (WordEndingAt(T, Before, kEnglishDown) || EndsAt(T, Before, "마이너스")) Sign = -1;
      else if (WordEndingAt(T, Before, kEnglishUp)) Sign = 1;
    }

    // After: approximation words, particles, then a word that gives the sign.
    std::size_t K = End;
    for (int Step = 0; Step < 4; ++Step) {
      std::size_t S = K;
      while (S < T.size() && S - K < 2 && (T[S] == ' ' || T[S] == ')')) ++S;
      if (std::size_t Len = WordAt(T, S, kApproxAfter); Len && !(StartsAt(T, S, "여") && S != K)) {
        F.Approximate = true;
        K = S + Len;
        continue;
      }
      if (std::size_t Len = WordAt(T, S, kSignParticles); Len && S == K) {
        K = S + Len;
        continue;
      }
      K = S;
      break;
    }
    if (Sign == 0) {
      if (WordAt(T, K, kUpWords)) Sign = 1;
      else if (WordAt(T, K, kDownWords)) Sign = -1;
    }

    F.Begin = Begin;
    F.End = End;
    F.Value = Sign < 0 ? -Value : Value;
    F.Precision = Precision;
    F.Signed = Sign != 0;
    P.Next = End;
    P.Bare = !Unit.Found && Currency == TFigureUnit::None && !M.Found;

    // A range: "3~4%", "1~2조 원".
    if (P.Bare) {
      for (std::string_view W : kTilde)
        if (StartsAt(T, End, W)) {
          std::size_t R = End + W.size();
          if (R < T.size() && T[R] == ' ') ++R;
          if (R < T.size() && IsDigit(T[R])) {
            P.RangeFollows = true;
            P.RangeAt = R;
          }
        }
    }

    // No claim: years, 8-digit dates, codes, small counts, list numbers, index names.
    const bool Integer = Number->Decimals == 0 && !Number->Separators;
    if (ListOrHeadingNumber(I, NumberEnd) && Begin == I) P.NonClaim = true;
    if (Number->LeadingZero && Number->Decimals == 0 && !M.Found) P.NonClaim = true;
    if (P.Bare) {
      if (End < T.size() && IsAsciiLetter(T[End])) {  // 3Q24, 1H, 5G, 2nd
        P.Next = SkipWord(End);
        P.NonClaim = true;
      }
      const double V = Number->Value;
      if (Integer && Number->IntDigits == 4 && V >= 1900 && V <= 2100) P.NonClaim = true;
      if (Integer && Number->IntDigits == 8) {
        const long long D = static_cast<long long>(V);
        if (ValidDate(static_cast<int>(D / 10000), static_cast<int>(D / 100 % 100), static_cast<int>(D % 100)))
          P.NonClaim = true;
      }
      if (WordEndingAt(T, BackOverSpaces(T, I, 1), kIndexNames)) P.NonClaim = true;
      // Codes and small counts, unless a range gives them a unit ("1~2%").
      if (P.NonClaim) P.RangeFollows = false;
      if (!O.ToolText && Integer && Number->IntDigits == 6) P.NonClaim = true;
      if (!O.ToolText && Integer && V < 100 && !F.Signed) P.NonClaim = true;
    }
    if (P.NonClaim && !P.Bare) P.RangeFollows = false;
    P.Keep = !P.NonClaim && F.End > F.Begin;
    if (O.KeepText || P.RangeFollows) F.Text = std::string(T.substr(F.Begin, F.End - F.Begin));
    return P;
  }
};

}  // namespace

std::vector<TFigure> ReadFigures(std::string_view AText, const TReadOptions& AOptions) {
  return TReader(AText, AOptions).Run();
}

}  // namespace kestrill
