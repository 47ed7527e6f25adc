#include "providers/GeminiRequest.h"

#include "core/TextUtil.h"
#include "providers/AgentInstructions.h"

namespace kestrill {
namespace {

TJson InlineData(const TChatMessage& M, TRequestBody& ABody) {
  TJson Data = TJson::object();
  Data["mime_type"] = M.MimeType;
  Data["data"] = ABody.Raw("", M.ImageBase64);
  TJson Part = TJson::object();
  Part["inline_data"] = std::move(Data);
  return Part;
}

std::string AgentRole(const std::string& ARole) {
  if (ARole == kRoleAssistant) return "model";
  if (ARole == kRoleTool) return "user";
  return ARole;
}

TJson FunctionResponse(const TChatMessage& M) {
  TJson Response = TJson::object();
  Response["name"] = M.ToolName;
  Response["response"] = {{"result", M.Text}};  // a text, never parsed as JSON
  if (!M.ToolCallId.empty()) Response["id"] = M.ToolCallId;
  TJson Part = TJson::object();
  Part["functionResponse"] = std::move(Response);
  return TJson::array({std::move(Part)});
}

}  // namespace

TJson BuildGeminiPlainRequest(const TChatHistory& ChatHistory, TRequestBody& ABody) {
  TJson Contents = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    TJson Parts = TJson::array();
    if (!Trim(M.Text).empty()) Parts.push_back({{"text", M.Text}});
    if (!M.ImageBase64.empty()) Parts.push_back(InlineData(M, ABody));
    // After an agent turn the chat holds tool requests (no text) and "assistant"/"tool" roles:
    // the API takes only "user" and "model" and no empty "parts", so those requests stay out and
    // the roles are mapped as the agent request maps them.
    if (Parts.empty() && M.HasToolCall) continue;
    TJson E = TJson::object();
    E["role"] = AgentRole(M.Role);
    E["parts"] = std::move(Parts);
    Contents.push_back(std::move(E));
  }
  TJson Doc = TJson::object();
  Doc["contents"] = std::move(Contents);
  Doc["tools"] = TJson::array({{{"googleSearch", TJson::object()}}});
  return Doc;
}

TJson BuildGeminiToolsRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TOpenAPIToolManager& AToolManager, TRequestBody& ABody) {
  TJson Contents = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    TJson E = TJson::object();
    E["role"] = AgentRole(M.Role);
    if (M.HasToolCall) {
      if (M.Role == kRoleAssistant) {
        if (auto Parts = ParseJson(M.RawPartsJSON)) E["parts"] = std::move(*Parts);
      } else if (M.Role == kRoleTool) {
        E["parts"] = FunctionResponse(M);
      }
    } else {
      TJson Parts = TJson::array();
      Parts.push_back({{"text", M.Text}});
      if (!M.ImageBase64.empty()) Parts.push_back(InlineData(M, ABody));
      E["parts"] = std::move(Parts);
    }
    Contents.push_back(std::move(E));
  }
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  // The API takes only "user" and "model" roles in "contents"; instructions have their own
  // member.
  Doc["systemInstruction"] = {{"parts", TJson::array({{{"text", kAgentInstructionText}}})}};
  Doc["contents"] = std::move(Contents);
  Doc["tools"] = AToolManager.GetGemini_ToolsArray();
  Doc["tool_config"] = {{"include_server_side_tool_invocations", true}};
  return Doc;
}

}  // namespace kestrill
