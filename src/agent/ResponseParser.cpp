#include "agent/ResponseParser.h"

#include <ostream>

#include "core/JsonPath.h"
#include "core/TextUtil.h"

namespace kestrill {
namespace {

std::string Compact(const TJson& AValue) {
  return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

const TJson& RequireObject(const TJson& AValue, const char* AWhat) {
  if (!AValue.is_object()) throw EAIResponseError(std::string(AWhat) + " 항목이 객체가 아닙니다.");
  return AValue;
}

std::string RequireText(const TJson& AObject, std::string_view APath) {
  auto V = JsonPathText(AObject, APath);
  if (V) return *V;
  // Present but a list or an object: saying it is missing would send the user looking for it.
  if (FindJsonPath(AObject, APath))
    throw EAIResponseError("응답의 '" + std::string(APath) + "' 항목 형식이 맞지 않습니다.");
  throw EAIResponseError("응답에 필수 항목 '" + std::string(APath) + "'이(가) 없습니다.");
}

const TJson& RequireMember(const TJson& AObject, std::string_view APath) {
  const TJson* V = FindJsonPath(AObject, APath);
  if (!V) throw EAIResponseError("응답에 필수 항목 '" + std::string(APath) + "'이(가) 없습니다.");
  return *V;
}

// What a provider said went wrong: "error.message", or an "error" that is itself a text (the
// form our own transport failures take).
std::optional<std::string> ProviderErrorText(const TJson& ARoot) {
  if (auto M = JsonPathText(ARoot, "error.message")) return M;
  return JsonPathText(ARoot, "error");
}

void ParseOpenAI(const TJson& Root, TAIProvider AProvider, TAIResponse& R) {
  // An error body without choices is a failure, not an empty success that ends the turn
  // without a word.
  if (!Root.contains("choices") && Root.contains("error")) {
    if (auto Msg = ProviderErrorText(Root)) {
      R.IsSuccess = false;
      R.ErrorMessage = (AProvider == aiDeepseek ? "Deepseek API 에러: " : "OpenAI 에러: ") + *Msg;
      return;
    }
  }
  R.TextContent = JsonPathTextOr(Root, "choices[0].message.content", "");
  if (R.TextContent == "null") R.TextContent.clear();
  R.ReasoningContent = JsonPathTextOr(Root, "choices[0].message.reasoning_content", "");
  const TJson* Calls = FindJsonPath(Root, "choices[0].message.tool_calls");
  if (!Calls || !Calls->is_array()) return;
  R.HasToolCalls = true;
  for (const TJson& C : *Calls) {
    RequireObject(C, "tool_calls");
    R.ToolCalls.push_back({RequireText(C, "id"), RequireText(C, "function.name"),
                           RequireText(C, "function.arguments"), ""});
  }
}

// Appends the provider's own reason, when the body has one, to our fixed text.
std::string WithProviderReason(std::string AText, const TJson& ARoot) {
  if (auto Msg = ProviderErrorText(ARoot); Msg && !Msg->empty()) AText += " " + *Msg;
  return AText;
}

void ParseGemini(const TJson& Root, TAIResponse& R) {
  const TJson* Parts = FindJsonPath(Root, "candidates[0].content.parts");
  if (!Parts || !Parts->is_array()) {
    R.IsSuccess = false;
    auto Blocked = GeminiBlockText(Root);
    R.ErrorMessage = Blocked ? std::move(*Blocked)
                             : WithProviderReason("content.parts 데이터를 찾을 수 없습니다.", Root);
    return;
  }
  R.RawPartsJSON = Compact(*Parts);
  for (const TJson& Part : *Parts) {
    RequireObject(Part, "parts");
    // Every part overwrites the text: the last part's text is the reply.
    auto Text = JsonPathText(Part, "text");
    R.TextContent = Text.value_or("");
    if (Part.contains("text")) continue;
    auto Call = Part.find("functionCall");
    if (Call == Part.end() || !Call->is_object()) continue;
    R.HasToolCalls = true;
    const TJson& Args = RequireMember(*Call, "args");
    R.ToolCalls.push_back({JsonPathTextOr(*Call, "id", ""), RequireText(*Call, "name"),
                           Compact(RequireObject(Args, "args")), Compact(*Call)});
  }
}

void ParseClaude(const TJson& Root, TAIResponse& R) {
  const TJson* Content = FindJsonPath(Root, "content");
  if (!Content || !Content->is_array()) {
    R.IsSuccess = false;
    R.ErrorMessage = WithProviderReason("content 데이터를 찾을 수 없습니다.", Root);
    return;
  }
  for (const TJson& Block : *Content) {
    RequireObject(Block, "content");
    std::string Type = RequireText(Block, "type");
    if (Type == "text") {
      R.TextContent += RequireText(Block, "text");
    } else if (Type == "tool_use") {
      R.HasToolCalls = true;
      std::string Id = RequireText(Block, "id");
      std::string Name = RequireText(Block, "name");
      R.ToolCalls.push_back(
          {std::move(Id), std::move(Name), Compact(RequireMember(Block, "input")), ""});
    }
  }
}

// What an "error" member of Ollama's says went wrong: a text, or an object's "message" (the
// object itself when it holds something else); "" when it says nothing.
std::string OllamaErrorText(const TJson& AError) {
  if (AError.is_string())
    return Trim(AError.get_ref<const std::string&>()).empty() ? std::string()
                                                              : AError.get<std::string>();
  if (auto M = JsonPathText(AError, "message"); M && !Trim(*M).empty()) return *M;
  for (const auto& [Key, Value] : AError.items())
    if (Key != "message") return Compact(AError);
  return {};
}

void ParseOllama(const TJson& Root, TAIResponse& R) {
  auto Msg = Root.find("message");
  const bool HasReply = Msg != Root.end() && Msg->is_object();
  // Only a text or an object can be an error. One that says nothing ("", {}) beside a reply is
  // not, just like null or false; alone it still ends the turn as an empty complaint, so the
  // user sees that something went wrong.
  if (auto Err = Root.find("error"); Err != Root.end() && (Err->is_string() || Err->is_object())) {
    std::string Why = OllamaErrorText(*Err);
    if (!Why.empty() || !HasReply) {
      R.IsSuccess = false;
      R.ErrorMessage = Why.empty() ? "Ollama 서버가 내용 없는 오류를 보냈습니다." : std::move(Why);
      return;
    }
  }
  if (!HasReply) return;
  R.TextContent = JsonPathTextOr(*Msg, "content", "");
  auto Calls = Msg->find("tool_calls");
  if (Calls == Msg->end() || !Calls->is_array()) return;
  R.HasToolCalls = true;
  for (const TJson& C : *Calls) {
    RequireObject(C, "tool_calls");
    TAIToolCallRequest Call;
    auto Fn = C.find("function");
    if (Fn != C.end() && Fn->is_object()) {
      // Servers before 0.12.10 send no id: such a call is paired with its result by position.
      Call.ToolCallId = JsonPathTextOr(C, "id", "");
      Call.ToolName = RequireText(*Fn, "name");
      // Ollama sends the arguments as an object; a call without any gets an empty one.
      auto Args = Fn->find("arguments");
      Call.ArgumentsJSON = (Args != Fn->end() && Args->is_object()) ? Compact(*Args) : "{}";
    }
    R.ToolCalls.push_back(std::move(Call));
  }
}

}  // namespace

std::optional<std::string> GeminiBlockText(const TJson& AReply) {
  const TJson* Reason = FindJsonPath(AReply, "promptFeedback.blockReason");
  if (!Reason || Reason->is_null()) return std::nullopt;
  std::string Why = Reason->is_string() ? Reason->get<std::string>() : Compact(*Reason);
  if (auto More = JsonPathText(AReply, "promptFeedback.blockReasonMessage"); More && !More->empty())
    Why += ", " + *More;
  return "Gemini가 이 질문을 차단했습니다 (차단 사유: " + Why + ").";
}

TAIResponse TAIResponseParser::Parse(TAIProvider AProvider, std::string_view ARawJSON) {
  TAIResponse R;
  if (Trim(ARawJSON).empty()) {
    R.IsSuccess = false;
    R.ErrorMessage = "응답값이 비어있습니다.";
    return R;
  }
  if (JsonNestsDeeperThan(ARawJSON)) {
    R.IsSuccess = false;
    R.ErrorMessage = "응답 JSON의 중첩이 너무 깊어 처리할 수 없습니다.";
    return R;
  }
  auto Doc = ParseJson(ARawJSON);
  if (!Doc) {
    R.IsSuccess = false;
    R.ErrorMessage = "유효하지 않은 JSON 양식입니다.";
    return R;
  }
  if (!Doc->is_object()) {
    R.IsSuccess = false;
    R.ErrorMessage = "JSON 루트가 Object가 아닙니다.";
    return R;
  }
  switch (AProvider) {
    case aiOpenAI:
    case aiDeepseek:
      ParseOpenAI(*Doc, AProvider, R);
      break;
    case aiGemini:
      ParseGemini(*Doc, R);
      break;
    case aiClaude:
      ParseClaude(*Doc, R);
      break;
    case aiOllama:
      ParseOllama(*Doc, R);
      break;
  }
  return R;
}

std::ostream& operator<<(std::ostream& AOut, const TAIToolCallRequest& C) {
  return AOut << "{id=" << C.ToolCallId << ", name=" << C.ToolName << ", args=" << C.ArgumentsJSON
              << ", raw=" << C.RawToolCallJSON << "}";
}

std::ostream& operator<<(std::ostream& AOut, const TAIResponse& R) {
  AOut << "TAIResponse{IsSuccess=" << R.IsSuccess << ", ErrorMessage=\"" << R.ErrorMessage
       << "\", TextContent=\"" << R.TextContent << "\", HasToolCalls=" << R.HasToolCalls
       << ", ToolCalls=[";
  for (const auto& C : R.ToolCalls) AOut << C;
  return AOut << "], RawPartsJSON=" << R.RawPartsJSON << "}";
}

}  // namespace kestrill
