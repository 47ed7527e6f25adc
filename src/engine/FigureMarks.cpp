#include "engine/FigureMarks.h"

#include "core/JsonPath.h"

namespace kestrill {
namespace {

std::string SourceOf(const TValueSource& ASource) {
  return ASource.Label.empty() ? ASource.ToolName : ASource.ToolName + " · " + ASource.Label;
}

}  // namespace

std::string FigureSourceText(const TFigureCheck& ACheck) {
  std::string Out;
  for (const TValueSource& S : ACheck.Sources) Out += (Out.empty() ? "" : ", ") + SourceOf(S);
  return Out;
}

std::string FiguresJson(const std::vector<TFigureCheck>& AChecks, bool AToolNameOnly) {
  TJson List = TJson::array();
  for (const TFigureCheck& C : AChecks) {
    std::string Source = FigureSourceText(C);
    if (AToolNameOnly) Source = C.Sources.empty() ? "" : C.Sources.front().ToolName;
    List.push_back({{"text", C.Figure.Text},
                    {"status", std::string(FigureStatusName(C.Status))},
                    {"source", Source}});
  }
  return List.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

std::string FigureSummary(const std::vector<TFigureCheck>& AChecks) {
  if (AChecks.empty()) return "";
  std::size_t Unbacked = 0;
  for (const TFigureCheck& C : AChecks) Unbacked += C.Status == TFigureStatus::Unbacked;
  std::string Text = "수치 확인: " + std::to_string(AChecks.size()) + "개 중 " +
                     std::to_string(AChecks.size() - Unbacked) + "개 일치";
  if (Unbacked > 0) Text += " · " + std::to_string(Unbacked) + "개 확인 안 됨";
  return Text;
}

bool IsCheckedAnswer(const TChatHistory& AHistory, std::size_t AIndex) {
  if (AIndex >= AHistory.size()) return false;
  const TChatMessage& M = AHistory[AIndex];
  if (M.Role != kRoleAssistant || M.Text.empty() || M.HasToolCall) return false;
  for (std::size_t I = 0; I < AIndex; ++I)
    if (AHistory[I].Role == kRoleTool) return true;
  return false;
}

void ShowFiguresOf(IChatView& AView, const TChatHistory& AHistory, std::size_t AFromIndex) {
  for (std::size_t I = AFromIndex; I < AHistory.size(); ++I) {
    if (!IsCheckedAnswer(AHistory, I)) continue;
    const std::vector<TFigureCheck> Checks = CheckAnswer(AHistory, I);
    if (!Checks.empty())
      AView.ShowFigures(AHistory[I].MsgID, FiguresJson(Checks), FigureSummary(Checks));
  }
}

}  // namespace kestrill
