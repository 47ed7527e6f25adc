// Checking an answer's figures against the values the tools returned in its chat: each figure is
// Backed (a tool value equals it), Derived (one arithmetic step over two tool values gives it) or
// Unbacked, with the values it rests on.
//
// Equal means: within the rounding the figure's written precision allows. A figure written to
// precision p matches a value that rounds to it or truncates to it: [f - p/2, f + p) for f >= 0,
// mirrored for f < 0 ("3,306억 원" takes 330,550,000,000 up to 330,699,999,999). An approximate
// figure (약, 정도, 가량, 수준, ~, about, ...) takes f ± max(p, 5 % of |f|). Either side widens by
// half the tool value's own rounding ("383.29B" is ±0.005B), and a derived value by the error its
// two operands carry.
//
// Units: won, dollar, share, point and multiple figures compare with values of the same unit or
// of none (JSON numbers, Yahoo's "383.29B"); percent figures with percent values as written and
// with unitless ratios below 10 × 100 (0.3013 backs "30.13%"); %p figures with percent values;
// bare figures with any value. Derived percentages, changes and ratios are never taken over two
// rates (a change of "-0.34%" against "-0.36%" is no claim anyone makes). A figure whose sign was not written claims a magnitude and matches
// either sign.
//
// Context: a figure whose sentence, table column or paragraph names a year or date, or the
// consolidated (연결) or separate (별도) statement, matches only values of that period and
// statement where the value's call, line or section names one — the same account of another year
// or of the other statement does not back it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/ChatTypes.h"
#include "figures/FigureReader.h"
#include "figures/ValueIndex.h"

namespace kestrill {

enum class TFigureStatus : unsigned char { Backed, Derived, Unbacked };

// "backed", "derived", "unbacked".
std::string_view FigureStatusName(TFigureStatus AStatus);

// With a the first source and b the second: a − b, a + b, a ÷ b, a ÷ b × 100, (a − b) ÷ b × 100.
enum class TDerivation : unsigned char { None, Difference, Sum, Ratio, Percentage, PercentChange };

std::string_view DerivationName(TDerivation AHow);

struct TValueSource {
  std::string ToolName, Label, Section;
  std::size_t Message = 0, Begin = 0, End = 0;  // the tool message and the value's bytes in it
  double Value = 0;

  bool operator==(const TValueSource&) const = default;
};

struct TFigureCheck {
  TFigure Figure;
  TFigureStatus Status = TFigureStatus::Unbacked;
  TDerivation How = TDerivation::None;
  std::vector<TValueSource> Sources;  // Backed: one; Derived: a, b; Unbacked: none

  bool operator==(const TFigureCheck&) const = default;
};

// Derived pairs are drawn from values of one section (a statement, a KRX row, a JSON object or
// array) and from values of one label (the same account across calls, consecutive closes), at
// most this many in all.
inline constexpr std::size_t kMaxDerivedPairs = 300000;

// Every figure of AAnswer, in text order.
std::vector<TFigureCheck> CheckFigures(std::string_view AAnswer, const TValueIndex& AIndex);

// The figures of AHistory[AAnswerIndex] against every tool result before it (this turn's and
// earlier turns'), each read with the arguments of the call it answers. Empty when there is no
// tool result before it.
std::vector<TFigureCheck> CheckAnswer(const TChatHistory& AHistory, std::size_t AAnswerIndex);

}  // namespace kestrill
