#include "providers/PlainCalls.h"

#include <exception>
#include <functional>
#include <optional>

#include "core/Endpoints.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"
#include "agent/ResponseParser.h"
#include "providers/ClaudeRequest.h"
#include "providers/GeminiRequest.h"
#include "providers/OpenAIMessages.h"
#include "providers/ProviderHttp.h"

namespace kestrill {
namespace {

constexpr char kNoResponse[] = "오류: 응답을 받지 못했습니다.";
constexpr char kCannotParse[] = "오류: 응답을 파싱할 수 없습니다.";

// How one provider's reply is read and its failures are worded.
struct TReplyRules {
  const char* ReplyPath;
  const char*
      ErrorPrefix;  // nullptr: the provider's reason, when it gives one, follows MissingText
  const char* MissingText;
  std::function<std::string(const std::string&)> TransportFailure;
};

TPlainReply Failure(std::string AText) { return {TReplyStatus::Failed, std::move(AText)}; }

// What the provider said went wrong: "error.message", or an "error" that is itself a text
// (Ollama's form).
std::optional<std::string> ProviderReason(const TJson& ADoc) {
  if (auto M = JsonPathText(ADoc, "error.message")) return M;
  return JsonPathText(ADoc, "error");
}

// A body that came but is not JSON we can read (a proxy's HTML page, JSON nested too deep):
// saying nothing came would be wrong, so its start is shown.
std::string UnreadableText(const std::string& ABody, const std::string& AStatus) {
  const std::string Trimmed = Trim(ABody);
  std::string Head(Utf16Prefix(Trimmed, 120));
  for (char& C : Head)
    if (static_cast<unsigned char>(C) < 0x20) C = ' ';
  return "오류: 응답을 읽을 수 없습니다(JSON이 아니거나 너무 깊게 중첩되어 있습니다)" + AStatus +
         ". 응답 앞부분: " + Head;
}

// " (HTTP 502)" for a status that is not success: the body alone may not say what went wrong.
std::string StatusNote(long AStatus) {
  return AStatus >= 200 && AStatus < 300 ? "" : " (HTTP " + std::to_string(AStatus) + ")";
}

TPlainReply Exchange(const TReplyRules& ARules, const std::function<TChatReply()>& ASend) {
  try {
    const TChatReply Sent = ASend();
    const std::string& Body = Sent.Body;
    const std::string Status = StatusNote(Sent.StatusCode);
    auto Doc = ParseJson(Body);
    if (!Doc) {
      if (!Trim(Body).empty()) return Failure(UnreadableText(Body, Status));
      return Failure(Status.empty() ? kNoResponse : "오류: 서버가 빈 응답을 보냈습니다" + Status + ".");
    }
    if (auto Reply = JsonPathText(*Doc, ARules.ReplyPath))
      return {TReplyStatus::Answered, Trim(*Reply)};
    if (auto Blocked = GeminiBlockText(*Doc)) return Failure("오류: " + *Blocked);
    if (ARules.ErrorPrefix) {
      if (auto Err = JsonPathText(*Doc, "error.message")) return Failure(ARules.ErrorPrefix + *Err);
    } else if (auto Reason = ProviderReason(*Doc); Reason && !Reason->empty()) {
      return Failure(ARules.MissingText + (" " + *Reason));
    }
    return Failure(ARules.MissingText + Status);
  } catch (const std::exception& E) {
    return Failure(ARules.TransportFailure(E.what()));
  }
}

std::string NetworkError(const std::string& ADesc) { return "네트워크 통신 에러: " + ADesc; }

const TReplyRules kOpenAIRules{"choices[0].message.content", "OpenAI 에러: ", kCannotParse,
                               NetworkError};
const TReplyRules kDeepseekRules{"choices[0].message.content", "Deepseek API 에러: ", kCannotParse,
                                 NetworkError};

TPlainReply CallChatCompletions(const TReplyRules& ARules, TService AService,
                                const TChatHistory& ChatHistory, const std::string& APIKey,
                                const std::string& TargetModel) {
  return Exchange(ARules, [&] {
    TRequestBody Body;
    TMessageListOptions Options;
    Options.SendReasoning = AService == TService::DeepSeek;
    Options.TextOnly = AService == TService::DeepSeek;
    std::string Text =
        Body.Serialize(BuildOpenAIPlainRequest(ChatHistory, TargetModel, Options, Body));
    return PostChatRequest(AService == TService::DeepSeek ? aiDeepseek : aiOpenAI,
                        EndpointUrl(AService, "/v1/chat/completions"), Text,
                    {{"Authorization", "Bearer " + APIKey}, {"Content-Type", "application/json"}});
  });
}

}  // namespace

TPlainReply CallGeminiAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel) {
  static const TReplyRules kRules{"candidates[0].content.parts[0].text", nullptr, kCannotParse,
                                  [](const std::string& D) { return "통신 에러: " + D; }};
  return Exchange(kRules, [&] {
    TRequestBody Body;
    std::string Text = Body.Serialize(BuildGeminiPlainRequest(ChatHistory, Body));
    std::string Url = EndpointUrl(
        TService::Gemini, "/v1beta/models/" + TargetModel + ":generateContent?key=" + APIKey);
    return PostChatRequest(aiGemini, Url, Text, {{"Content-Type", "application/json"}});
  });
}

TPlainReply CallOpenAIAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel) {
  return CallChatCompletions(kOpenAIRules, TService::OpenAI, ChatHistory, APIKey, TargetModel);
}

TPlainReply CallDeepseekAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                            const std::string& TargetModel) {
  return CallChatCompletions(kDeepseekRules, TService::DeepSeek, ChatHistory, APIKey, TargetModel);
}

TPlainReply CallClaudeAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel) {
  static const TReplyRules kRules{"content[0].text", "Claude API 에러: ", kCannotParse,
                                  NetworkError};
  return Exchange(kRules, [&] {
    TRequestBody Body;
    std::string Text = Body.Serialize(BuildClaudePlainRequest(ChatHistory, TargetModel, Body));
    return PostChatRequest(aiClaude, EndpointUrl(TService::Anthropic, "/v1/messages"), Text,
                    {{"x-api-key", APIKey},
                     {"anthropic-version", "2023-06-01"},
                     {"Content-Type", "application/json"}});
  });
}

TPlainReply CallOllamaAPI(const TChatHistory& ChatHistory, const std::string& OllamaURL,
                          const std::string& TargetModel) {
  static const TReplyRules kRules{
      "message.content", nullptr, "오류: Ollama 응답에서 텍스트를 찾을 수 없습니다.",
      [](const std::string& D) {
        return "Ollama 통신 에러: " + D + "\r\nOllama가 실행 중인지 확인하세요.";
      }};
  return Exchange(kRules, [&] {
    std::string Text = CompactJson(BuildOllamaPlainRequest(ChatHistory, TargetModel));
    return PostChatRequest(aiOllama, OllamaURL, Text, {{"Content-Type", "application/json"}});
  });
}

TPlainReply CallAPI(int ASelectorIndex, const TConfig& AConfig, const TChatHistory& ChatHistory) {
  using TCall = TPlainReply (*)(const TChatHistory&, const std::string&, const std::string&);
  struct TRow {
    const TSettingKey<std::string>& Key;
    const TSettingKey<std::string>& Model;
    const char* DefaultModel;
    TCall Call;
  };
  static const TRow kRows[] = {
      {keys::GeminiKey, keys::GeminiModel, "gemini-3.1-pro-preview", CallGeminiAPI},
      {keys::OpenAIKey, keys::OpenAIModel, "gpt-5-nano", CallOpenAIAPI},
      {keys::ClaudeKey, keys::ClaudeModel, "claude-sonnet-4-6", CallClaudeAPI},
      {keys::DeepseekKey, keys::DeepseekModel, "deepseek-chat", CallDeepseekAPI},
      {keys::OllamaURL, keys::OllamaModel, "gemma4:26b", CallOllamaAPI},
  };
  if (ASelectorIndex < 0 || ASelectorIndex >= static_cast<int>(std::size(kRows))) return {};
  const TRow& Row = kRows[ASelectorIndex];
  std::string Key = AConfig.Read(Row.Key, "");
  if (Key.empty()) return {};
  return Row.Call(ChatHistory, Key, AConfig.Read(Row.Model, Row.DefaultModel));
}

}  // namespace kestrill
