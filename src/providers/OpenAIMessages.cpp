#include "providers/OpenAIMessages.h"

#include "core/Clock.h"
#include "providers/AgentInstructions.h"

namespace kestrill {
namespace {

bool IsImage(const TChatMessage& M) { return M.MimeType.rfind("image", 0) == 0; }

// [text part, image part] or [text part, document text part]. Images always go as a JPEG
// data URL, whatever their real type; documents as their text, since the API takes no other
// file type in a data URL.
TJson AttachmentContent(const TChatMessage& M, TRequestBody& ABody) {
  TJson Parts = TJson::array();
  Parts.push_back({{"type", "text"}, {"text", M.Text}});
  if (IsImage(M)) {
    TJson Url = TJson::object();
    Url["url"] = ABody.Raw("data:image/jpeg;base64,", M.ImageBase64);
    TJson Part = TJson::object();
    Part["type"] = "image_url";
    Part["image_url"] = std::move(Url);
    Parts.push_back(std::move(Part));
  } else {
    Parts.push_back({{"type", "text"}, {"text", BuildDocumentBlock(M.AttachedFilePath)}});
  }
  return Parts;
}

TJson ToolCallElement(const TChatMessage& M, bool AIsOllama) {
  TJson Function = TJson::object();
  Function["name"] = M.ToolName;
  if (!AIsOllama) {
    Function["arguments"] = M.ToolArgs;
  } else if (auto Args = ParseJson(M.ToolArgs)) {
    Function["arguments"] = std::move(*Args);
  }
  TJson Call = TJson::object();
  Call["id"] = M.ToolCallId;
  Call["type"] = "function";
  Call["function"] = std::move(Function);
  return Call;
}

TJson UserTextMessage(const char* AText) {
  TJson M = TJson::object();
  M["role"] = "user";
  M["content"] = AText;
  return M;
}

}  // namespace

std::string ChatCompletionsRole(const std::string& ARole) {
  return ARole == kRoleModel ? std::string(kRoleAssistant) : ARole;
}

TJson AddMessages(const TChatHistory& ChatHistory, bool IsOllama) {
  TRequestBody Body;  // no splicing here: the caller gets an ordinary document
  TMessageListOptions Options;
  Options.IsOllama = IsOllama;
  TJson List = AddMessages(ChatHistory, Options, LocalNow(), Body);
  return TJson::parse(Body.Serialize(List));
}

TJson ChatCompletionsMessages(const TChatHistory& ChatHistory, const TMessageListOptions& AOptions,
                              TRequestBody& ABody) {
  TJson List = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    TJson E = TJson::object();
    E["role"] = ChatCompletionsRole(M.Role);
    if (M.HasToolCall) {
      if (M.Role == kRoleAssistant) {
        if (AOptions.SendReasoning && !M.ReasoningContent.empty())
          E["reasoning_content"] = M.ReasoningContent;
        E["tool_calls"] = TJson::array({ToolCallElement(M, AOptions.IsOllama)});
      } else if (M.Role == kRoleTool) {
        E["tool_call_id"] = M.ToolCallId;
        E["content"] = M.Text;
      }
    } else if (!M.ImageBase64.empty()) {
      E["content"] = AttachmentContent(M, ABody);
    } else {
      E["content"] = M.Text;
    }
    List.push_back(std::move(E));
  }
  return List;
}

TJson AddMessages(const TChatHistory& ChatHistory, const TMessageListOptions& AOptions,
                  const std::tm& ANow, TRequestBody& ABody) {
  TJson List = TJson::array();
  List.push_back(UserTextMessage(kAgentInstructionText.c_str()));
  List.push_back(UserTextMessage(BuildDateLine(ANow).c_str()));
  for (TJson& E : ChatCompletionsMessages(ChatHistory, AOptions, ABody))
    List.push_back(std::move(E));
  return List;
}

TJson BuildOpenAIPlainRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TMessageListOptions& AOptions, TRequestBody& ABody) {
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  Doc["messages"] = ChatCompletionsMessages(ChatHistory, AOptions, ABody);
  return Doc;
}

TJson BuildOllamaPlainRequest(const TChatHistory& ChatHistory, const std::string& AModel) {
  TJson Messages = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    TJson E = TJson::object();
    E["role"] = ChatCompletionsRole(M.Role);
    E["content"] = M.Text;
    Messages.push_back(std::move(E));
  }
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  Doc["stream"] = false;
  Doc["messages"] = std::move(Messages);
  return Doc;
}

}  // namespace kestrill
