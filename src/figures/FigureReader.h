// Reading the figures of a financial text in Korean or English: amounts with their units and
// Korean or English magnitudes ("1조 2,345억 원", "$383.29B"), percentages, points, multiples,
// share counts, with the sign and approximation words around them. Dates, periods, codes, list
// numbers and small counts are no claims and are not returned. Pure: no I/O, one linear pass.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrill {

enum class TFigureUnit : unsigned char { None, Won, Dollar, Shares, Percent, PercentPoint, Point, Times };

// "원", "달러", "주", "%", "%p", "pt", "배"; empty for None.
std::string_view FigureUnitName(TFigureUnit AUnit);

struct TFigure {
  std::size_t Begin = 0, End = 0;  // bytes [Begin, End) of the text: sign, currency, number, unit
  std::string Text;  // those bytes, e.g. "1조 2,345억 원", "-3.2%", "$1.2B"; empty without KeepText
  double Value = 0;                // magnitudes applied: "3,306억 원" is 330,600,000,000
  TFigureUnit Unit = TFigureUnit::None;
  bool Approximate = false;  // 약, 대략, 정도, 가량, 수준, ~, about, ...
  // What the last written digit stands for, magnitudes applied: "3,306억" 1e8, "1.2조" 1e11,
  // "71,500원" 1.
  double Precision = 1;
  // The sign was written (+, -, ▲, ▼, or a word such as 하락): the figure claims a signed change.
  // Otherwise it claims a magnitude ("등락률은 0.69%").
  bool Signed = false;

  bool operator==(const TFigure&) const = default;
};

struct TReadOptions {
  // A tool result rather than an answer: small and bare numbers are values too, and there is no
  // Markdown whose code would hide them.
  bool ToolText = false;
  // Fill TFigure::Text; the value index, which keeps places only, saves the copies.
  bool KeepText = true;
};

// The figures of AText in text order, none overlapping another.
std::vector<TFigure> ReadFigures(std::string_view AText, const TReadOptions& AOptions = {});

}  // namespace kestrill
