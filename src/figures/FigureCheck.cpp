#include "figures/FigureCheck.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <tuple>

#include "figures/TextScan.h"

namespace kestrill {

using namespace figures_detail;

std::string_view FigureStatusName(TFigureStatus AStatus) {
  switch (AStatus) {
    case TFigureStatus::Backed: return "backed";
    case TFigureStatus::Derived: return "derived";
    case TFigureStatus::Unbacked: break;
  }
  return "unbacked";
}

std::string_view DerivationName(TDerivation AHow) {
  switch (AHow) {
    case TDerivation::Difference: return "difference";
    case TDerivation::Sum: return "sum";
    case TDerivation::Ratio: return "ratio";
    case TDerivation::Percentage: return "percentage";
    case TDerivation::PercentChange: return "percent change";
    case TDerivation::None: break;
  }
  return "";
}

namespace {

constexpr double kApproximateShare = 0.05;
constexpr std::size_t kScopeBytes = 600;      // how far back a paragraph's year or statement reaches
constexpr std::size_t kHeadingReach = 4000;  // how far back a section's heading is looked for
constexpr std::size_t kMaxTableLines = 200;  // how far up a table's header is looked for
constexpr std::size_t kSmallGroup = 24;      // groups this small pair every value with every other
constexpr std::size_t kMaxWindow = 16;
constexpr std::size_t kMaxOpenCalls = 256;

// ---- what the answer says around a figure ----

struct TContext {
  TPeriod Period;
  TStatement Statement = TStatement::Unknown;
};

bool TableRow(std::string_view ALine) {
  const std::size_t Lead = ALine.find_first_not_of(" \t");
  return Lead != std::string_view::npos && ALine[Lead] == '|';
}

bool HeadingLine(std::string_view ALine) {
  const std::size_t Lead = ALine.find_first_not_of(" \t");
  return Lead != std::string_view::npos && ALine[Lead] == '#';
}

std::string_view LineAt(std::string_view A, std::size_t AStart) {
  return A.substr(AStart, LineEnd(A, AStart) - AStart);
}

// The ACell-th cell of a table line ("| a | b |": cell 1 is " a ").
std::string_view Cell(std::string_view ALine, std::size_t ACell) {
  std::size_t From = 0;
  for (std::size_t I = 0; I < ACell; ++I) {
    From = ALine.find('|', From);
    if (From == std::string_view::npos) return {};
    ++From;
  }
  const std::size_t To = ALine.find('|', From);
  return ALine.substr(From, To == std::string_view::npos ? std::string_view::npos : To - From);
}

// Nearest first: a parenthesis right after the figure ("258조 원(2023년)"), its line up to it,
// its table column's header, the lines before it up to a heading.
TContext ContextOf(std::string_view A, const TFigure& F) {
  const std::size_t Start = LineStart(A, F.Begin), End = LineEnd(A, F.Begin);
  std::string_view Sources[5];
  std::size_t Count = 0;
  std::size_t K = F.End;
  if (K < End && A[K] == ' ') ++K;
  if (K < End && A[K] == '(') {
    const std::size_t Close = A.find(')', K);
    if (Close != std::string_view::npos && Close < End && Close - K < 64) Sources[Count++] = A.substr(K, Close - K);
  }
  Sources[Count++] = A.substr(Start, F.Begin - Start);
  std::size_t Above = Start;
  if (TableRow(LineAt(A, Start))) {
    const std::string_view Before = A.substr(Start, F.Begin - Start);
    const std::size_t Column = static_cast<std::size_t>(std::count(Before.begin(), Before.end(), '|'));
    std::size_t Top = Start;
    for (std::size_t Lines = 0; Top > 0 && Lines < kMaxTableLines; ++Lines) {
      const std::size_t Previous = LineStart(A, Top - 1);
      if (!TableRow(LineAt(A, Previous))) break;
      Top = Previous;
    }
    if (Top != Start && Column > 0) Sources[Count++] = Cell(LineAt(A, Top), Column);
    Above = Top;
  }
  // The paragraph above (to a blank line or a heading), then the heading of its section: an
  // earlier paragraph's year does not carry over, a heading's does.
  std::size_t From = Above;
  bool Heading = false;
  while (From > 0 && Above - From < kScopeBytes) {
    const std::size_t Previous = LineStart(A, From - 1);
    const std::string_view Line = LineAt(A, Previous);
    if (Line.find_first_not_of(" \t\r") == std::string_view::npos) break;
    From = Previous;
    if ((Heading = HeadingLine(Line))) break;
  }
  Sources[Count++] = A.substr(From, Above - From);
  for (std::size_t Up = From; !Heading && Up > 0 && From - Up < kHeadingReach;) {
    Up = LineStart(A, Up - 1);
    if (HeadingLine(LineAt(A, Up))) {
      Sources[Count++] = LineAt(A, Up);
      break;
    }
  }

  TContext C;
  bool HavePeriod = false;
  for (std::size_t I = 0; I < Count; ++I) {
    if (!HavePeriod) {
      if (auto P = LastPeriodMention(Sources[I])) {
        C.Period = *P;
        HavePeriod = true;
      }
    } else if (!C.Period.Year) {
      if (auto P = LastPeriodMention(Sources[I]); P && P->Year) C.Period.Year = P->Year;
    }
    if (C.Statement == TStatement::Unknown) C.Statement = LastStatementMention(Sources[I]);
  }
  return C;
}

// ---- the values a figure accepts ----

struct TInterval {
  double Lo, Hi;
};

TInterval IntervalOf(double AValue, double APrecision, bool AApproximate) {
  const double Slack = 1e-9 * std::max(1.0, std::fabs(AValue));
  if (AApproximate) {
    const double W = std::max(APrecision, kApproximateShare * std::fabs(AValue));
    return {AValue - W - Slack, AValue + W + Slack};
  }
  // Rounded or truncated to the last written digit.
  if (AValue >= 0) return {AValue - APrecision / 2 - Slack, AValue + APrecision + Slack};
  return {AValue - APrecision - Slack, AValue + APrecision / 2 + Slack};
}

bool UnitsMatch(TFigureUnit AFigure, TFigureUnit AValue) {
  if (AFigure == TFigureUnit::None || AValue == TFigureUnit::None || AFigure == AValue) return true;
  auto Percentish = [](TFigureUnit U) { return U == TFigureUnit::Percent || U == TFigureUnit::PercentPoint; };
  return Percentish(AFigure) && Percentish(AValue);
}

enum : std::uint16_t {
  kDirect = 1,      // the value as written
  kDirectPct = 2,   // a unitless ratio × 100
  kDiff = 4,         // a − b; matched in the space of differences
  kDiffReversed = 8, // b − a, as the mirror of a signed figure in the same space
  kSum = 16,         // a + b
  kRatio = 32,       // a ÷ b; this and the next two are matched in the space of ratios
  kRatioPct = 64,    // a ÷ b × 100
  kChangePct = 128,  // (a − b) ÷ b × 100
};

struct TTarget {
  double Lo, Hi;
  std::uint32_t Figure;
  std::uint16_t Kinds;
};

// Intervals of the figures, found from a number in constant time: each interval is listed under
// the buckets its bounds fall in, a bucket being the sign, exponent and top four mantissa bits
// of a double (a sixteenth of an octave). Intervals around zero or very wide are checked always.
class TTargets {
 public:
  void Add(TInterval AInterval, std::uint32_t AFigure, std::uint16_t AKinds) {
    FTargets.push_back({AInterval.Lo, AInterval.Hi, AFigure, AKinds});
    FMin = std::min(FMin, AInterval.Lo);
    FMax = std::max(FMax, AInterval.Hi);
  }

  bool Empty() const { return FTargets.empty(); }

  void Build() {
    // A few targets are scanned; the buckets pay off only for many.
    if (FTargets.size() <= kScanned) return;
    FStart.assign(kBuckets + 1, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Spans(FTargets.size(), {1, 0});
    for (std::uint32_t I = 0; I < FTargets.size(); ++I) {
      const TTarget& T = FTargets[I];
      if (!std::isfinite(T.Lo) || !std::isfinite(T.Hi) || (T.Lo <= 0 && T.Hi >= 0)) {
        FWide.push_back(I);
        continue;
      }
      const auto [First, Last] = std::minmax({Key(T.Lo), Key(T.Hi)});
      if (Last - First > 512) {
        FWide.push_back(I);
        continue;
      }
      Spans[I] = {First, Last};
      for (std::uint32_t B = First; B <= Last; ++B) ++FStart[B + 1];
    }
    for (std::uint32_t I = 0; I < FTargets.size(); ++I) {
      const TTarget& T = FTargets[I];
      const double Distance = (T.Lo <= 0 && T.Hi >= 0) ? 0 : std::min(std::fabs(T.Lo), std::fabs(T.Hi));
      FNearZero.emplace_back(Distance, I);
    }
    std::sort(FNearZero.begin(), FNearZero.end());
    for (std::size_t B = 0; B < kBuckets; ++B) FStart[B + 1] += FStart[B];
    FItems.resize(FStart[kBuckets]);
    std::vector<std::uint32_t> Fill(FStart.begin(), FStart.end() - 1);
    for (std::uint32_t I = 0; I < FTargets.size(); ++I)
      for (std::uint32_t B = Spans[I].first; B <= Spans[I].second && Spans[I].first <= Spans[I].second; ++B)
        FItems[Fill[B]++] = I;
  }

  // AFn for every target whose interval, widened by AError, may hold AValue (a few more too).
  template <class TFn>
  void Visit(double AValue, double AError, TFn&& AFn) const {
    if (!std::isfinite(AValue) || AValue + AError < FMin || AValue - AError > FMax) return;
    if (FTargets.size() <= kScanned) {
      for (const TTarget& T : FTargets) AFn(T);
      return;
    }
    if (AError == 0 && AValue != 0) {
      const std::uint32_t B = Key(AValue);
      for (std::uint32_t I = FStart[B]; I < FStart[B + 1]; ++I) AFn(FTargets[FItems[I]]);
      for (std::uint32_t I : FWide) AFn(FTargets[I]);
      return;
    }
    const double Low = AValue - AError, High = AValue + AError;
    const auto [First, Last] = std::minmax({Key(Low), Key(High)});
    if ((Low <= 0 && High >= 0) || Low == 0 || High == 0 || Last - First > 128) {
      // A number that may be zero, or hardly known: the targets no farther from zero than it.
      const double Reach = std::max(std::fabs(Low), std::fabs(High));
      for (const auto& [Distance, I] : FNearZero) {
        if (Distance > Reach) break;
        AFn(FTargets[I]);
      }
      return;
    }
    for (std::uint32_t B = First; B <= Last; ++B)
      for (std::uint32_t I = FStart[B]; I < FStart[B + 1]; ++I) AFn(FTargets[FItems[I]]);
    for (std::uint32_t I : FWide) AFn(FTargets[I]);
  }

 private:
  static constexpr std::size_t kBuckets = std::size_t{1} << 16;
  static constexpr std::size_t kScanned = 24;
  static std::uint32_t Key(double AValue) {
    return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(AValue) >> 48);
  }
  std::vector<TTarget> FTargets;
  std::vector<std::uint32_t> FStart, FItems, FWide;
  std::vector<std::pair<double, std::uint32_t>> FNearZero;  // by distance from zero
  double FMin = std::numeric_limits<double>::infinity();
  double FMax = -std::numeric_limits<double>::infinity();
};

// A figure's interval, and its mirror when the figure claims only a magnitude.
void AddFigure(TTargets& ATargets, const TFigure& F, std::uint32_t AIndex, std::uint16_t AKinds) {
  ATargets.Add(IntervalOf(F.Value, F.Precision, F.Approximate), AIndex, AKinds);
  if (!F.Signed && F.Value != 0) ATargets.Add(IntervalOf(-F.Value, F.Precision, F.Approximate), AIndex, AKinds);
}

bool Percentish(TFigureUnit U) { return U == TFigureUnit::Percent || U == TFigureUnit::PercentPoint; }

class TChecker {
 public:
  TChecker(std::string_view AAnswer, const TValueIndex& AIndex) : FIndex(AIndex), FValues(AIndex.Values()) {
    for (TFigure& F : ReadFigures(AAnswer)) {
      FContexts.push_back(ContextOf(AAnswer, F));
      TFigureCheck C;
      C.Figure = std::move(F);
      FOut.push_back(std::move(C));
    }
  }

  std::vector<TFigureCheck> Run() {
    if (FOut.empty() || FValues.empty()) return std::move(FOut);
    // A figure repeated with the same context (a summary restating a table) is checked once.
    std::map<std::tuple<double, double, int, int, int, int, int>, std::uint32_t> Seen;
    for (std::uint32_t I = 0; I < FOut.size(); ++I) {
      const TFigure& F = FOut[I].Figure;
      const TContext& C = FContexts[I];
      FFirst.push_back(Seen.emplace(std::make_tuple(F.Value, F.Precision,
                                                    int(F.Unit) * 4 + F.Approximate * 2 + F.Signed,
                                                    C.Period.Year, C.Period.Month, C.Period.Day,
                                                    int(C.Statement)),
                                    I)
                           .first->second);
    }
    Backed();
    Derived();
    for (std::uint32_t I = 0; I < FOut.size(); ++I)
      if (FFirst[I] != I) {
        FOut[I].Status = FOut[FFirst[I]].Status;
        FOut[I].How = FOut[FFirst[I]].How;
        FOut[I].Sources = FOut[FFirst[I]].Sources;
      }
    return std::move(FOut);
  }

 private:
  const TValueIndex& FIndex;
  const std::vector<TToolValue>& FValues;
  std::vector<TFigureCheck> FOut;
  std::vector<TContext> FContexts;
  std::vector<std::uint32_t> FFirst;  // the first figure equal to each, which stands for it
  std::size_t FOpen = 0;               // such figures not yet backed or derived

  bool Agrees(const TContext& C, const TToolValue& V) const {
    const TStatement S = FIndex.Statement(V);
    return PeriodsAgree(C.Period, V.Period) &&
           !(C.Statement != TStatement::Unknown && S != TStatement::Unknown && S != C.Statement);
  }

  // Both values of the figure's statement, one at least of its period, and not of two statements.
  bool PairAgrees(const TContext& C, const TToolValue& A, const TToolValue& B) const {
    const TStatement SA = FIndex.Statement(A), SB = FIndex.Statement(B);
    if (SA != TStatement::Unknown && SB != TStatement::Unknown && SA != SB) return false;
    for (TStatement S : {SA, SB})
      if (C.Statement != TStatement::Unknown && S != TStatement::Unknown && S != C.Statement) return false;
    return PeriodsAgree(C.Period, A.Period) || PeriodsAgree(C.Period, B.Period);
  }

  TValueSource Source(const TToolValue& V) const {
    return {std::string(FIndex.ToolName(V)), std::string(FIndex.Label(V)), std::string(FIndex.SectionName(V)),
            V.Message, V.Begin, V.End, V.Value};
  }

  void Backed() {
    TTargets Targets, Percents;
    for (std::uint32_t I = 0; I < FOut.size(); ++I) {
      if (FFirst[I] != I) continue;
      const TFigure& F = FOut[I].Figure;
      AddFigure(Targets, F, I, kDirect);
      if (F.Unit == TFigureUnit::Percent) AddFigure(Percents, F, I, kDirectPct);
    }
    Targets.Build();
    Percents.Build();
    struct TBest {
      std::size_t Value = std::numeric_limits<std::size_t>::max();
      bool SameUnit = false;
      double Distance = 0;
    };
    std::vector<TBest> Best(FOut.size());
    auto Consider = [&](const TTarget& T, std::size_t AValue, double AScaled, double AError,
                        std::uint16_t AKind) {
      if (!(T.Kinds & AKind) || AScaled + AError < T.Lo || AScaled - AError > T.Hi) return;
      const TFigure& F = FOut[T.Figure].Figure;
      const TToolValue& V = FValues[AValue];
      if (!UnitsMatch(F.Unit, V.Unit) || !Agrees(FContexts[T.Figure], V)) return;
      const bool SameUnit = V.Unit == F.Unit;
      const double Distance = std::fabs(std::fabs(AScaled) - std::fabs(F.Value));
      TBest& B = Best[T.Figure];
      // Prefer the value of the figure's own unit, then the nearest, then the latest.
      if (B.Value == std::numeric_limits<std::size_t>::max() || (SameUnit && !B.SameUnit) ||
          (SameUnit == B.SameUnit && Distance <= B.Distance))
        B = {AValue, SameUnit, Distance};
    };
    for (std::size_t J = 0; J < FValues.size(); ++J) {
      const TToolValue& V = FValues[J];
      const double Error = V.Precision / 2;
      Targets.Visit(V.Value, Error, [&](const TTarget& T) { Consider(T, J, V.Value, Error, kDirect); });
      if (V.Unit == TFigureUnit::None && V.Value != 0 && std::fabs(V.Value) < 10 && !Percents.Empty())
        Percents.Visit(V.Value * 100, Error * 100,
                      [&](const TTarget& T) { Consider(T, J, V.Value * 100, Error * 100, kDirectPct); });
    }
    for (std::size_t I = 0; I < FOut.size(); ++I) {
      if (FFirst[I] != I) continue;
      if (Best[I].Value == std::numeric_limits<std::size_t>::max()) {
        ++FOpen;
        continue;
      }
      FOut[I].Status = TFigureStatus::Backed;
      FOut[I].Sources.push_back(Source(FValues[Best[I].Value]));
    }
  }

  void Derived() {
    if (FOpen == 0) return;
    // Every kind of result lives in one of two spaces, so that a pair costs four look-ups: a − b
    // (a signed figure also as b − a, mirrored) and a + b in the space of amounts; a ÷ b and b ÷ a
    // in the space of ratios, where a percent figure p stands at p ÷ 100 (a share) and at
    // 1 + p ÷ 100 (a change). Each table turns away by its range alone whatever is far from it.
    TTargets Differences, Sums, Ratios;
    auto AddAmount = [&](const TFigure& F, std::uint32_t I, bool ASum) {
      AddFigure(Differences, F, I, kDiff);
      if (F.Signed) {
        const TInterval In = IntervalOf(F.Value, F.Precision, F.Approximate);
        Differences.Add({-In.Hi, -In.Lo}, I, kDiffReversed);
      }
      if (ASum) AddFigure(Sums, F, I, kSum);
    };
    auto AddRatio = [&](const TFigure& F, std::uint32_t I, double AScale, double AShift, std::uint16_t AKind) {
      for (double Sign : {1.0, -1.0}) {
        if (Sign < 0 && (F.Signed || F.Value == 0)) break;
        const TInterval In = IntervalOf(Sign * F.Value, F.Precision, F.Approximate);
        Ratios.Add({AShift + In.Lo * AScale, AShift + In.Hi * AScale}, I, AKind);
      }
    };
    for (std::uint32_t I = 0; I < FOut.size(); ++I) {
      if (FFirst[I] != I || FOut[I].Status != TFigureStatus::Unbacked) continue;
      const TFigure& F = FOut[I].Figure;
      switch (F.Unit) {
        case TFigureUnit::Won:
        case TFigureUnit::Dollar:
        case TFigureUnit::Shares:
        case TFigureUnit::Point: AddAmount(F, I, true); break;
        case TFigureUnit::Percent:
          AddAmount(F, I, false);
          AddRatio(F, I, 0.01, 0, kRatioPct);
          AddRatio(F, I, 0.01, 1, kChangePct);
          break;
        case TFigureUnit::PercentPoint: AddAmount(F, I, false); break;
        case TFigureUnit::Times: AddRatio(F, I, 1, 0, kRatio); break;
        case TFigureUnit::None:
          AddAmount(F, I, true);
          AddRatio(F, I, 1, 0, kRatio);
          break;
      }
    }
    Differences.Build();
    Sums.Build();
    Ratios.Build();

    std::size_t Pairs = 0;
    auto Found = [&](const TTarget& T, std::size_t AFirst, std::size_t ASecond, TDerivation AHow) {
      TFigureCheck& C = FOut[T.Figure];
      if (C.Status != TFigureStatus::Unbacked) return;
      if (!PairAgrees(FContexts[T.Figure], FValues[AFirst], FValues[ASecond])) return;
      C.Status = TFigureStatus::Derived;
      C.How = AHow;
      C.Sources = {Source(FValues[AFirst]), Source(FValues[ASecond])};
      --FOpen;
    };
    auto Inside = [](const TTarget& T, double AValue, double AError) {
      return AValue + AError >= T.Lo && AValue - AError <= T.Hi;
    };
    auto AmountUnits = [&](const TTarget& T, TFigureUnit AUnit) {
      const TFigureUnit Figure = FOut[T.Figure].Figure.Unit;
      return UnitsMatch(Figure, AUnit) && !(Percentish(Figure) && !Percentish(AUnit));
    };
    auto Pair = [&](std::size_t X, std::size_t Y) {
      ++Pairs;
      const TToolValue &A = FValues[X], &B = FValues[Y];
      if (A.Value == B.Value || A.Value == 0 || B.Value == 0) return;
      const TFigureUnit Unit = A.Unit == TFigureUnit::None ? B.Unit : A.Unit;
      if (A.Unit != TFigureUnit::None && B.Unit != TFigureUnit::None && !UnitsMatch(A.Unit, B.Unit)) return;
      const double Error = (A.Precision + B.Precision) / 2;
      const double Difference = A.Value - B.Value;
      Differences.Visit(Difference, Error, [&](const TTarget& T) {
        if (!Inside(T, Difference, Error) || !AmountUnits(T, Unit)) return;
        // A magnitude is shown as the larger less the smaller.
        const bool Swap = (T.Kinds & kDiffReversed) || (!FOut[T.Figure].Figure.Signed && Difference < 0);
        Found(T, Swap ? Y : X, Swap ? X : Y, TDerivation::Difference);
      });
      const double Sum = A.Value + B.Value;
      Sums.Visit(Sum, Error, [&](const TTarget& T) {
        if (Inside(T, Sum, Error) && AmountUnits(T, Unit)) Found(T, X, Y, TDerivation::Sum);
      });
      // Ratios and changes of rates ("-0.34%" against "-0.36%") say nothing a reader claims.
      if (Ratios.Empty() || Percentish(Unit)) return;
      const double Relative = (A.Precision / std::fabs(A.Value) + B.Precision / std::fabs(B.Value)) / 2;
      for (int Order = 0; Order < 2; ++Order) {
        const std::size_t P = Order ? Y : X, Q = Order ? X : Y;
        const double R = Order ? B.Value / A.Value : A.Value / B.Value, E = std::fabs(R) * Relative;
        Ratios.Visit(R, E, [&](const TTarget& T) {
          if (!Inside(T, R, E)) return;
          Found(T, P, Q, T.Kinds == kRatio      ? TDerivation::Ratio
                         : T.Kinds == kRatioPct ? TDerivation::Percentage
                                                : TDerivation::PercentChange);
        });
      }
    };

    // Values grouped by label, then by section: small groups pair all, large ones a window.
    auto Grouped = [&](auto AKeyOf, std::size_t AKeys, bool ASkipZero, std::size_t ABudget, bool AOtherLabels) {
      std::vector<std::uint32_t> Start(AKeys + 1, 0), Order(FValues.size());
      for (const TToolValue& V : FValues) ++Start[AKeyOf(V) + 1];
      for (std::size_t K = 0; K < AKeys; ++K) Start[K + 1] += Start[K];
      std::vector<std::uint32_t> Fill(Start.begin(), Start.end() - 1);
      for (std::uint32_t J = 0; J < FValues.size(); ++J) Order[Fill[AKeyOf(FValues[J])]++] = J;
      std::size_t SmallPairs = 0, LargeValues = 0;
      for (std::size_t K = ASkipZero; K < AKeys; ++K) {
        const std::size_t Size = Start[K + 1] - Start[K];
        if (Size <= kSmallGroup) SmallPairs += Size ? Size * (Size - 1) / 2 : 0;
        else LargeValues += Size;
      }
      const std::size_t Left = ABudget > SmallPairs ? ABudget - SmallPairs : 0;
      const std::size_t Window = std::clamp<std::size_t>(LargeValues ? Left / LargeValues : 1, 1, kMaxWindow);
      const std::size_t Limit = Pairs + ABudget;
      for (std::size_t K = ASkipZero; K < AKeys && FOpen > 0 && Pairs < Limit; ++K) {
        const std::size_t Begin = Start[K], End = Start[K + 1];
        const std::size_t Reach = End - Begin <= kSmallGroup ? End - Begin : Window;
        for (std::size_t P = Begin; P < End && FOpen > 0 && Pairs < Limit; ++P)
          for (std::size_t Q = P + 1; Q < End && Q <= P + Reach && FOpen > 0; ++Q)
            if (!AOtherLabels || FValues[Order[P]].Label != FValues[Order[Q]].Label ||
                FValues[Order[P]].Label == 0)
              Pair(Order[P], Order[Q]);
      }
    };
    Grouped([](const TToolValue& V) { return V.Label; }, FIndex.NameCount(), true, kMaxDerivedPairs / 2, false);
    // A JSON array is one label and one section: its pairs were drawn already.
    Grouped([](const TToolValue& V) { return V.Section; }, FIndex.SectionCount(), false,
            kMaxDerivedPairs - std::min(Pairs, kMaxDerivedPairs), true);
  }
};

}  // namespace

std::vector<TFigureCheck> CheckFigures(std::string_view AAnswer, const TValueIndex& AIndex) {
  return TChecker(AAnswer, AIndex).Run();
}

std::vector<TFigureCheck> CheckAnswer(const TChatHistory& AHistory, std::size_t AAnswerIndex) {
  if (AAnswerIndex >= AHistory.size()) return {};
  TValueIndex Index;
  bool Any = false;
  std::vector<const TChatMessage*> Calls;  // not yet answered
  for (std::size_t I = 0; I < AAnswerIndex; ++I) {
    const TChatMessage& M = AHistory[I];
    if (M.Role == kRoleTool) {
      // The call it answers: the one of its id, else the earliest open call of its tool.
      auto Call = std::find_if(Calls.begin(), Calls.end(), [&](const TChatMessage* C) {
        return !M.ToolCallId.empty() && C->ToolCallId == M.ToolCallId;
      });
      if (Call == Calls.end())
        Call = std::find_if(Calls.begin(), Calls.end(),
                            [&](const TChatMessage* C) { return C->ToolName == M.ToolName; });
      std::string_view Args;
      if (Call != Calls.end()) {
        Args = (*Call)->ToolArgs;
        Calls.erase(Call);
      }
      Index.Add(I, M.ToolName, M.Text, Args);
      Any = true;
    } else if (M.HasToolCall) {
      // Calls never answered must not make the search quadratic: the oldest are dropped.
      if (Calls.size() >= kMaxOpenCalls) Calls.erase(Calls.begin());
      Calls.push_back(&M);
    }
  }
  if (!Any) return {};
  return CheckFigures(AHistory[AAnswerIndex].Text, Index);
}

}  // namespace kestrill
