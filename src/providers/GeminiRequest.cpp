#include "providers/GeminiRequest.h"

#include <optional>
#include <utility>
#include <vector>

#include "core/TextUtil.h"
#include "providers/AgentInstructions.h"
#include "providers/ToolCallIds.h"

namespace kestrill {
namespace {

// The file types Gemini reads from inline data; any other file goes as its text.
bool GeminiReadsInline(const TChatMessage& M) {
  return AttachmentKindOf(M) != TAttachmentKind::Text || M.MimeType == "text/plain" ||
         M.MimeType == "text/csv";
}

TJson AttachmentPart(const TChatMessage& M, TRequestBody& ABody) {
  if (!GeminiReadsInline(M)) return {{"text", BuildDocumentBlock(M)}};
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

TJson Content(const char* ARole, TJson AParts) {
  TJson E = TJson::object();
  E["role"] = ARole;
  E["parts"] = std::move(AParts);
  return E;
}

// What a call gets back when it never ran (its turn was stopped or failed before it): Gemini
// wants one response for every call of a turn.
constexpr char kNotRun[] = "도구가 실행되지 않았습니다.";

TJson FunctionResponse(const std::string& AName, const std::string& AResult,
                       const std::string& AId) {
  TJson Response = TJson::object();
  Response["name"] = AName;
  Response["response"] = {{"result", AResult}};  // a text, never parsed as JSON
  if (!AId.empty()) Response["id"] = AId;
  TJson Part = TJson::object();
  Part["functionResponse"] = std::move(Response);
  return Part;
}

// A call made by another provider, rebuilt from its own fields. Gemini 3 checks the thought
// signature of calls in the current turn; a call it did not make has none, and this documented
// value tells it so.
TJson FunctionCallPart(const TChatMessage& M) {
  TJson Call = TJson::object();
  Call["name"] = M.ToolName;
  auto Args = ParseJson(M.ToolArgs);
  Call["args"] = Args && Args->is_object() ? std::move(*Args) : TJson::object();
  TJson Part = TJson::object();
  Part["functionCall"] = std::move(Call);
  Part["thoughtSignature"] = "skip_thought_signature_validator";
  return Part;
}

// The model's own parts of a tool request and how many calls they hold; nullopt when they are
// missing or hold no call (the request came from another provider).
std::optional<std::pair<TJson, std::size_t>> RawCallParts(const TChatMessage& M) {
  auto Parts = ParseJson(M.RawPartsJSON);
  if (!Parts || !Parts->is_array()) return std::nullopt;
  std::size_t Calls = 0;
  for (const TJson& P : *Parts)
    if (P.is_object() && P.contains("functionCall") && P["functionCall"].is_object()) ++Calls;
  if (Calls == 0) return std::nullopt;
  return std::make_pair(std::move(*Parts), Calls);
}

}  // namespace

TJson BuildGeminiPlainRequest(const TChatHistory& ChatHistory, TRequestBody& ABody) {
  TJson Contents = TJson::array();
  for (const TChatMessage& M : ChatHistory) {
    TJson Parts = TJson::array();
    const std::string Text = M.Role == kRoleTool ? ToolResultText(M.ToolName, M.Text) : M.Text;
    if (!Trim(Text).empty()) Parts.push_back({{"text", Text}});
    if (!M.ImageBase64.empty()) Parts.push_back(AttachmentPart(M, ABody));
    // After an agent turn the chat holds tool requests (no text) and "assistant"/"tool" roles:
    // the API takes only "user" and "model" and no empty "parts", so those requests (and any
    // message with nothing in it) stay out and the roles are mapped as the agent request maps
    // them.
    if (Parts.empty()) continue;
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
  // A reply with N calls is stored as N request/result pairs; Gemini wants it back as one
  // "model" turn holding the N calls and one "user" turn holding the N responses, in order.
  const TToolCallIds Pairs(ChatHistory);
  std::vector<bool> Sent(ChatHistory.size(), false);
  TJson Contents = TJson::array();
  for (std::size_t I = 0; I < ChatHistory.size(); ++I) {
    if (Sent[I]) continue;
    const TChatMessage& M = ChatHistory[I];
    if (!M.HasToolCall) {
      if (HasNothingToSend(M)) continue;
      TJson Parts = TJson::array();
      Parts.push_back({{"text", M.Text}});
      if (!M.ImageBase64.empty()) Parts.push_back(AttachmentPart(M, ABody));
      TJson E = TJson::object();
      E["role"] = AgentRole(M.Role);
      E["parts"] = std::move(Parts);
      Contents.push_back(std::move(E));
    } else if (M.Role == kRoleTool) {
      // A result whose call is not in the conversation.
      Contents.push_back(
          Content("user", TJson::array({FunctionResponse(
                              M.ToolName, ToolResultText(M.ToolName, M.Text), M.ToolCallId)})));
    } else if (M.Role == kRoleAssistant) {
      TJson Responses = TJson::array();
      auto Respond = [&](std::size_t ACall, bool AWithId) {
        Sent[ACall] = true;
        const TChatMessage& Call = ChatHistory[ACall];
        auto Result = Pairs.ResultOf(ACall);
        if (Result) Sent[*Result] = true;
        Responses.push_back(FunctionResponse(Call.ToolName,
                                             Result ? ToolResultText(Call.ToolName,
                                                                     ChatHistory[*Result].Text)
                                                    : kNotRun,
                                             AWithId ? Call.ToolCallId : ""));
      };
      if (auto Raw = RawCallParts(M)) {
        // The requests of this reply: the following ones with the same parts, up to its calls.
        std::vector<std::size_t> Calls{I};
        for (std::size_t J = I + 1; J < ChatHistory.size() && Calls.size() < Raw->second; ++J) {
          const TChatMessage& N = ChatHistory[J];
          if (!N.HasToolCall) break;
          if (N.Role != kRoleAssistant) continue;
          if (N.RawPartsJSON != M.RawPartsJSON || Sent[J]) break;
          Calls.push_back(J);
        }
        for (std::size_t Call : Calls) Respond(Call, true);
        // Calls of the reply that were never stored (the turn ended first) still get an answer.
        std::size_t Index = 0;
        for (const TJson& P : Raw->first) {
          if (!P.is_object() || !P.contains("functionCall") || !P["functionCall"].is_object())
            continue;
          if (Index++ < Calls.size()) continue;
          const TJson& Call = P["functionCall"];
          Responses.push_back(FunctionResponse(JsonPathTextOr(Call, "name", ""), kNotRun,
                                               JsonPathTextOr(Call, "id", "")));
        }
        Contents.push_back(Content("model", std::move(Raw->first)));
      } else {
        Respond(I, false);  // ids of another provider mean nothing to Gemini
        Contents.push_back(Content("model", TJson::array({FunctionCallPart(M)})));
      }
      Contents.push_back(Content("user", std::move(Responses)));
    }
    // A tool flag on any other role carries nothing, and an element without parts is refused.
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
