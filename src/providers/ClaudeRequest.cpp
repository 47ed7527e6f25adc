#include "providers/ClaudeRequest.h"

#include <stdexcept>

#include "core/TextUtil.h"
#include "providers/AgentInstructions.h"
#include "providers/OpenAIMessages.h"
#include "providers/ToolCallIds.h"

namespace kestrill {
namespace {

// {"type": AType, "source": {"type": "base64", "media_type": …, "data": …}}
TJson Base64Block(const char* AType, const TChatMessage& M, TRequestBody& ABody) {
  TJson Source = TJson::object();
  Source["type"] = "base64";
  Source["media_type"] = M.MimeType;
  Source["data"] = ABody.Raw("", M.ImageBase64);
  TJson Block = TJson::object();
  Block["type"] = AType;
  Block["source"] = std::move(Source);
  return Block;
}

TJson TextBlock(const std::string& AText) { return {{"type", "text"}, {"text", AText}}; }

// An image as an image block, a PDF as a document block (Claude reads both itself), any other
// file as the text of the document.
TJson AttachmentBlocks(const TChatMessage& M, TRequestBody& ABody) {
  TJson Blocks = TJson::array();
  switch (AttachmentKindOf(M)) {
    case TAttachmentKind::Image:
      Blocks.push_back(Base64Block("image", M, ABody));
      break;
    case TAttachmentKind::Pdf:
      Blocks.push_back(Base64Block("document", M, ABody));
      break;
    case TAttachmentKind::Text:
      Blocks.push_back(TextBlock(BuildDocumentBlock(M)));
      break;
  }
  if (!Trim(M.Text).empty()) Blocks.push_back(TextBlock(M.Text));
  return Blocks;
}

TJson ToolUse(const TChatMessage& M, const std::string& AId) {
  TJson Input = TJson::object();
  if (auto Args = ParseJson(M.ToolArgs)) {
    if (!Args->is_object())
      throw std::runtime_error("도구 인자가 JSON 객체가 아닙니다: " + M.ToolArgs);
    Input = std::move(*Args);
  }
  TJson Block = TJson::object();
  Block["type"] = "tool_use";
  Block["id"] = AId;
  Block["name"] = M.ToolName;
  Block["input"] = std::move(Input);
  TJson E = TJson::object();
  E["role"] = "assistant";
  E["content"] = TJson::array({std::move(Block)});
  return E;
}

TJson ToolResult(const TChatMessage& M, const std::string& AId) {
  TJson Block = TJson::object();
  Block["type"] = "tool_result";
  Block["tool_use_id"] = AId;
  Block["content"] = ToolResultText(M.ToolName, M.Text);
  TJson E = TJson::object();
  E["role"] = "user";
  E["content"] = TJson::array({std::move(Block)});
  return E;
}

TJson Message(const std::string& ARole, TJson AContent) {
  TJson E = TJson::object();
  E["role"] = ARole;
  E["content"] = std::move(AContent);
  return E;
}

}  // namespace

TJson BuildClaudePlainRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              TRequestBody& ABody) {
  TJson Messages = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    // After an agent turn the chat holds tool requests with no text and "tool" results: the API
    // takes only "user"/"assistant" and no empty text, so requests stay out and results go as
    // the user's turn, the way the agent request sends them.
    if (M.HasToolCall && M.Role == kRoleAssistant && Trim(M.Text).empty()) continue;
    if (HasNothingToSend(M)) continue;
    std::string Role = M.Role == kRoleTool ? std::string(kRoleUser) : ChatCompletionsRole(M.Role);
    const std::string Text = M.Role == kRoleTool ? ToolResultText(M.ToolName, M.Text) : M.Text;
    Messages.push_back(M.ImageBase64.empty() ? Message(Role, Text)
                                             : Message(Role, AttachmentBlocks(M, ABody)));
  }
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  Doc["max_tokens"] = 4096;
  Doc["messages"] = std::move(Messages);
  return Doc;
}

TJson BuildClaudeToolsRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TOpenAPIToolManager& AToolManager, const std::tm& ANow,
                              TRequestBody& ABody) {
  TJson Messages = TJson::array();
  Messages.push_back(Message("user", kAgentInstructionText));
  Messages.push_back(Message("user", BuildDateLine(ANow)));
  // Calls of another provider may have no id, or one outside the characters Claude takes.
  const TToolCallIds Ids(ChatHistory);
  for (std::size_t I = 0; I < ChatHistory.size(); ++I) {
    const TChatMessage& M = ChatHistory[I];
    if (M.HasToolCall) {
      // A flag on any other role carries nothing to send (and an empty message is refused).
      if (M.Role == kRoleAssistant)
        Messages.push_back(ToolUse(M, Ids.Of(I)));
      else if (M.Role == kRoleTool)
        Messages.push_back(ToolResult(M, Ids.Of(I)));
    } else if (!M.ImageBase64.empty()) {
      Messages.push_back(Message("user", AttachmentBlocks(M, ABody)));
    } else if (!HasNothingToSend(M)) {
      // The API rejects the role "model": chatbot replies travel as "assistant".
      Messages.push_back(Message(ChatCompletionsRole(M.Role), M.Text));
    }
  }
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  Doc["max_tokens"] = 4096;
  Doc["messages"] = std::move(Messages);
  Doc["tools"] = AToolManager.GetClaude_ToolsArray();
  Doc["tool_choice"] = {{"type", "auto"}};
  return Doc;
}

}  // namespace kestrill
