// An answer and tool results we do not control, split at NUL bytes: the first part is the
// answer, each later one a tool result. Figures and values stay inside their texts and in order,
// every number is finite, and every check has a status with the sources it calls for.
#include <cmath>
#include <vector>

#include "FuzzCheck.h"
#include "figures/FigureCheck.h"

using namespace kestrill;

namespace {

void CheckFigureRanges(std::string_view AText, const std::vector<TFigure>& AFigures, bool AWithText) {
  std::size_t Previous = 0;
  for (const TFigure& F : AFigures) {
    FUZZ_CHECK(F.Begin < F.End && F.End <= AText.size());
    FUZZ_CHECK(F.Begin >= Previous);
    Previous = F.End;
    FUZZ_CHECK(std::isfinite(F.Value));
    FUZZ_CHECK(std::isfinite(F.Precision) && F.Precision > 0);
    if (AWithText) FUZZ_CHECK(F.Text == AText.substr(F.Begin, F.End - F.Begin));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string_view Input = FuzzText(AData, ASize);
  std::vector<std::string_view> Parts;
  for (std::size_t Start = 0;;) {
    const std::size_t Nul = Input.find('\0', Start);
    Parts.push_back(Input.substr(Start, Nul == std::string_view::npos ? std::string_view::npos : Nul - Start));
    if (Nul == std::string_view::npos) break;
    Start = Nul + 1;
  }
  const std::string_view Answer = Parts[0];
  const std::vector<TFigure> Figures = ReadFigures(Answer);
  CheckFigureRanges(Answer, Figures, true);

  static const char* const kTools[] = {"get_dart_financials", "get_krx_price", "get_yahoo_price"};
  TValueIndex Index;
  for (std::size_t I = 1; I < Parts.size(); ++I) {
    CheckFigureRanges(Parts[I], ReadFigures(Parts[I], {.ToolText = true}), true);
    Index.Add(I, kTools[I % 3], Parts[I], I % 2 ? R"({"year":"2023"})" : R"({"date":"20240105"})");
  }
  for (const TToolValue& V : Index.Values()) {
    FUZZ_CHECK(V.Message >= 1 && V.Message < Parts.size());
    FUZZ_CHECK(V.Begin <= V.End && V.End <= Parts[V.Message].size());
    FUZZ_CHECK(std::isfinite(V.Value) && std::isfinite(V.Precision) && V.Precision >= 0);
    FUZZ_CHECK(V.Section < Index.SectionCount() && V.Label < Index.NameCount());
  }

  const std::vector<TFigureCheck> Checks = CheckFigures(Answer, Index);
  FUZZ_CHECK(Checks.size() == Figures.size());
  for (std::size_t I = 0; I < Checks.size(); ++I) {
    const TFigureCheck& C = Checks[I];
    FUZZ_CHECK(C.Figure == Figures[I]);
    switch (C.Status) {
      case TFigureStatus::Backed: FUZZ_CHECK(C.Sources.size() == 1 && C.How == TDerivation::None); break;
      case TFigureStatus::Derived: FUZZ_CHECK(C.Sources.size() == 2 && C.How != TDerivation::None); break;
      case TFigureStatus::Unbacked: FUZZ_CHECK(C.Sources.empty() && C.How == TDerivation::None); break;
      default: FUZZ_CHECK(false);
    }
    for (const TValueSource& S : C.Sources) {
      FUZZ_CHECK(S.Message >= 1 && S.Message < Parts.size());
      FUZZ_CHECK(S.Begin <= S.End && S.End <= Parts[S.Message].size());
    }
  }
  return 0;
}
