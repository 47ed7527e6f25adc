#include "engine/ToolSources.h"

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

}  // namespace kestrill
