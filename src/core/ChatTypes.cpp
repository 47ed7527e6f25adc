#include "core/ChatTypes.h"

#include <ostream>

#include "core/Guid.h"
#include "core/TextUtil.h"

namespace kestrill {

TAIProvider ProviderFromSelectorIndex(int AIndex) {
  switch (AIndex) {
    case 0:
      return aiGemini;
    case 1:
      return aiOpenAI;
    case 2:
      return aiClaude;
    case 3:
      return aiDeepseek;
    case 4:
      return aiOllama;
    default:
      return aiGemini;
  }
}

std::string ToolResultText(std::string_view AToolName, const std::string& AResult) {
  if (!Trim(AResult).empty()) return AResult;
  return AToolName == "draw_stock_chart" ? kChartDrawnText : kEmptyToolResultText;
}

bool HasNothingToSend(const TChatMessage& AMessage) {
  return !AMessage.HasToolCall && AMessage.ImageBase64.empty() && Trim(AMessage.Text).empty();
}

TChatMessage CreateChatMessage(std::string_view ARole, std::string_view AText) {
  TChatMessage Msg;
  Msg.MsgID = NewGuid();
  Msg.Role = ARole;
  Msg.Text = AText;
  return Msg;
}

std::ostream& operator<<(std::ostream& AOut, const TChatMessage& M) {
  AOut << "TChatMessage{MsgID=" << M.MsgID << ", Role=" << M.Role << ", Text=\"" << M.Text << "\"";
  if (!M.AttachedFilePath.empty())
    AOut << ", AttachedFilePath=" << M.AttachedFilePath << ", MimeType=" << M.MimeType
         << ", ImageBase64=<" << M.ImageBase64.size() << " chars>";
  if (M.HasToolCall)
    AOut << ", ToolCallId=" << M.ToolCallId << ", ToolName=" << M.ToolName
         << ", ToolArgs=" << M.ToolArgs;
  return AOut << "}";
}

std::ostream& operator<<(std::ostream& AOut, const TChatFile& F) {
  return AOut << "TChatFile{FileName=" << F.FileName << ", Title=\"" << F.Title
              << "\", LastModified=" << F.LastModified << "}";
}

}  // namespace kestrill
