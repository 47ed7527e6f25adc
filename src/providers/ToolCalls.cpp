#include "providers/ToolCalls.h"

#include <exception>

#include "core/Clock.h"
#include "core/Endpoints.h"
#include "providers/ClaudeRequest.h"
#include "providers/GeminiRequest.h"
#include "providers/OpenAIMessages.h"
#include "providers/ProviderHttp.h"

namespace kestrill {
namespace {

template <class FBuildAndSend>
std::string Guarded(FBuildAndSend ABuildAndSend) {
  try {
    return ABuildAndSend();
  } catch (const std::exception& E) {
    return FailureObject(E.what());
  }
}

THttpHeaders BearerHeaders(const std::string& AKey) {
  return {{"Authorization", "Bearer " + AKey}, {"Content-Type", "application/json"}};
}

}  // namespace

// OpenAI and DeepSeek differ only in host and dialect.
static std::string CallBearerTools(TService AService, TToolsDialect ADialect,
                                   const TChatHistory& ChatHistory, const std::string& APIKey,
                                   const std::string& TargetModel,
                                   const TOpenAPIToolManager& ToolManager) {
  return Guarded([&] {
    return PostChatJson(
        ADialect == TToolsDialect::Deepseek ? aiDeepseek : aiOpenAI,
        EndpointUrl(AService, "/v1/chat/completions"),
        BuildChatCompletionsToolsBody(ADialect, ChatHistory, TargetModel, ToolManager, LocalNow()),
        BearerHeaders(APIKey));
  });
}

std::string BuildChatCompletionsToolsBody(TToolsDialect ADialect, const TChatHistory& ChatHistory,
                                          const std::string& TargetModel,
                                          const TOpenAPIToolManager& ToolManager,
                                          const std::tm& ANow) {
  TRequestBody Body;
  TMessageListOptions Options;
  Options.IsOllama = ADialect == TToolsDialect::Ollama;
  Options.SendReasoning = ADialect == TToolsDialect::Deepseek;
  Options.TextOnly = ADialect != TToolsDialect::OpenAI;
  TJson Doc = TJson::object();
  Doc["model"] = TargetModel;
  if (Options.IsOllama) Doc["stream"] = false;
  Doc["messages"] = AddMessages(ChatHistory, Options, ANow, Body);
  Doc["tools"] = ToolManager.GetOpenAI_ToolsArray();
  Doc["tool_choice"] = "auto";
  if (Options.IsOllama) Doc["temperature"] = 0;
  return Body.Serialize(Doc);
}

std::string BuildGeminiToolsBody(const TChatHistory& ChatHistory, const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager) {
  TRequestBody Body;
  return Body.Serialize(BuildGeminiToolsRequest(ChatHistory, TargetModel, ToolManager, Body));
}

std::string BuildClaudeToolsBody(const TChatHistory& ChatHistory, const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager, const std::tm& ANow) {
  TRequestBody Body;
  return Body.Serialize(BuildClaudeToolsRequest(ChatHistory, TargetModel, ToolManager, ANow, Body));
}

std::string CallOpenAIToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager) {
  return CallBearerTools(TService::OpenAI, TToolsDialect::OpenAI, ChatHistory, APIKey, TargetModel,
                         ToolManager);
}

std::string CallDeepseekToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                                 const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager) {
  return CallBearerTools(TService::DeepSeek, TToolsDialect::Deepseek, ChatHistory, APIKey,
                         TargetModel, ToolManager);
}

std::string CallOllamaToolsAPI(const TChatHistory& ChatHistory, const std::string& OllamaURL,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager) {
  return Guarded([&] {
    return PostChatJson(aiOllama, OllamaURL,
                    BuildChatCompletionsToolsBody(TToolsDialect::Ollama, ChatHistory, TargetModel,
                                                  ToolManager, LocalNow()),
                    {{"Content-Type", "application/json"}});
  });
}

std::string CallGeminiToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager) {
  return Guarded([&] {
    std::string Url = EndpointUrl(
        TService::Gemini, "/v1beta/models/" + TargetModel + ":generateContent?key=" + APIKey);
    return PostChatJson(aiGemini, Url, BuildGeminiToolsBody(ChatHistory, TargetModel, ToolManager),
                    {{"Content-Type", "application/json"}});
  });
}

std::string CallClaudeToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager) {
  return Guarded([&] {
    return PostChatJson(aiClaude, EndpointUrl(TService::Anthropic, "/v1/messages"),
                    BuildClaudeToolsBody(ChatHistory, TargetModel, ToolManager, LocalNow()),
                    {{"x-api-key", APIKey},
                     {"anthropic-version", "2023-06-01"},
                     {"Content-Type", "application/json"}});
  });
}

}  // namespace kestrill
