#include "engine/ToolSources.h"

#include "core/JsonPath.h"

namespace kestrill {

std::vector<TAnswerSources> CollectSources(const TChatHistory& AAll) {
  std::vector<TAnswerSources> Out;
  std::vector<TToolSource> Pending;
  for (std::size_t I = 0; I < AAll.size(); ++I) {
    const TChatMessage& M = AAll[I];
    if (M.Role == kRoleUser) {
      Pending.clear();
    } else if (M.Role == kRoleTool) {
      for (TToolSource& S : Pending)
        if (S.ResultMsgID.empty() && S.ToolName == M.ToolName) {
          S.Result = M.Text;
          S.ResultMsgID = M.MsgID;
          break;
        }
    } else if (M.HasToolCall && M.Text.empty()) {
      Pending.push_back({M.ToolName, M.ToolArgs, "", ""});
    } else if (!M.Text.empty() && !Pending.empty()) {
      Out.push_back({I, std::move(Pending)});
      Pending.clear();
    }
  }
  return Out;
}

std::string SourcesJson(const std::vector<TToolSource>& ASources, const TAnswerTimes& ATimes) {
  TJson List = TJson::array();
  for (const TToolSource& S : ASources) {
    auto Time = ATimes.find(S.ResultMsgID);
    List.push_back({{"tool", S.ToolName},
                    {"args", S.Arguments},
                    {"result", S.Result},
                    {"time", Time == ATimes.end() ? std::string() : Time->second}});
  }
  return List.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

void ShowSourcesOf(IChatView& AView, const TChatHistory& AAll, const TAnswerTimes& ATimes,
                   std::size_t AFromIndex) {
  for (const TAnswerSources& A : CollectSources(AAll))
    if (A.AnswerIndex >= AFromIndex)
      AView.ShowSources(AAll[A.AnswerIndex].MsgID, SourcesJson(A.Sources, ATimes));
}

}  // namespace kestrill
