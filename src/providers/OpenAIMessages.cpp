#include "providers/OpenAIMessages.h"

#include "core/Clock.h"
#include "core/Paths.h"
#include "core/TextUtil.h"
#include "providers/AgentInstructions.h"
#include "providers/ToolCallIds.h"

namespace kestrill {
namespace {

TJson TextPart(const std::string& AText) { return {{"type", "text"}, {"text", AText}}; }

// OpenAI reads a PDF itself from a "file" part (its name and a data URL).
TJson PdfFilePart(const TChatMessage& M, TRequestBody& ABody) {
  TJson File = TJson::object();
  File["filename"] = FileNameOfPath(M.AttachedFilePath);
  File["file_data"] = ABody.Raw("data:application/pdf;base64,", M.ImageBase64);
  TJson Part = TJson::object();
  Part["type"] = "file";
  Part["file"] = std::move(File);
  return Part;
}

// Images always go as a JPEG data URL, whatever their real type.
TJson ImagePart(const TChatMessage& M, TRequestBody& ABody) {
  TJson Url = TJson::object();
  Url["url"] = ABody.Raw("data:image/jpeg;base64,", M.ImageBase64);
  TJson Part = TJson::object();
  Part["type"] = "image_url";
  Part["image_url"] = std::move(Url);
  return Part;
}

// [text part, attachment part]. The providers that take no files get the attachment as text.
TJson AttachmentContent(const TChatMessage& M, const TMessageListOptions& AOptions,
                        TRequestBody& ABody) {
  TJson Parts = TJson::array();
  Parts.push_back(TextPart(M.Text));
  switch (AttachmentKindOf(M)) {
    case TAttachmentKind::Image:
      Parts.push_back(AOptions.TextOnly ? TextPart(BuildImageNote(M)) : ImagePart(M, ABody));
      break;
    case TAttachmentKind::Pdf:
      Parts.push_back(AOptions.TextOnly ? TextPart(BuildDocumentBlock(M)) : PdfFilePart(M, ABody));
      break;
    case TAttachmentKind::Text:
      Parts.push_back(TextPart(BuildDocumentBlock(M)));
      break;
  }
  return Parts;
}

// Ollama's "content" is one string: the typed text, then the attachment as text.
std::string OllamaContent(const TChatMessage& M) {
  if (M.ImageBase64.empty()) return M.Text;
  std::string Block =
      AttachmentKindOf(M) == TAttachmentKind::Image ? BuildImageNote(M) : BuildDocumentBlock(M);
  return M.Text.empty() ? Block : M.Text + "\r\n\r\n" + Block;
}

TJson ToolCallElement(const TChatMessage& M, const std::string& AId, bool AIsOllama) {
  TJson Function = TJson::object();
  Function["name"] = M.ToolName;
  if (!AIsOllama) {
    Function["arguments"] = M.ToolArgs;
  } else if (auto Args = ParseJson(M.ToolArgs)) {
    Function["arguments"] = std::move(*Args);
  }
  TJson Call = TJson::object();
  Call["id"] = AId;
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
  TMessageListOptions Options = AOptions;
  Options.TextOnly = Options.TextOnly || Options.IsOllama;
  // Calls of another provider may have no id, or one these APIs refuse.
  const TToolCallIds Ids(ChatHistory);
  TJson List = TJson::array();
  for (std::size_t I = 0; I < ChatHistory.size(); ++I) {
    const TChatMessage& M = ChatHistory[I];
    if (HasNothingToSend(M)) continue;
    TJson E = TJson::object();
    E["role"] = ChatCompletionsRole(M.Role);
    if (M.HasToolCall) {
      if (M.Role == kRoleAssistant) {
        // DeepSeek's thinking models refuse a call without it, even one another provider made.
        if (Options.SendReasoning) E["reasoning_content"] = M.ReasoningContent;
        E["tool_calls"] = TJson::array({ToolCallElement(M, Ids.Of(I), Options.IsOllama)});
      } else if (M.Role == kRoleTool) {
        E["tool_call_id"] = Ids.Of(I);
        E["content"] = ToolResultText(M.ToolName, M.Text);
      }
    } else if (!M.ImageBase64.empty()) {
      if (Options.IsOllama)
        E["content"] = OllamaContent(M);
      else
        E["content"] = AttachmentContent(M, Options, ABody);
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
    // Without tools a call has nothing to say; its result goes as text.
    const std::string Content =
        M.Role == kRoleTool ? ToolResultText(M.ToolName, M.Text) : OllamaContent(M);
    if (Trim(Content).empty()) continue;
    TJson E = TJson::object();
    E["role"] = ChatCompletionsRole(M.Role);
    E["content"] = Content;
    Messages.push_back(std::move(E));
  }
  TJson Doc = TJson::object();
  Doc["model"] = AModel;
  Doc["stream"] = false;
  Doc["messages"] = std::move(Messages);
  return Doc;
}

}  // namespace kestrill
