// Agent mode: the conversation and the tool set sent to a provider, the reply body returned
// unparsed whatever its status. A failure while building or sending returns
// {"error": "<description>"} instead; nothing is thrown.
#pragma once

#include <string>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"

namespace kestrill {

std::string CallOpenAIToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager);
std::string CallDeepseekToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                                 const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager);
std::string CallOllamaToolsAPI(const TChatHistory& ChatHistory, const std::string& OllamaURL,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager);
std::string CallGeminiToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager);
std::string CallClaudeToolsAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                               const std::string& TargetModel,
                               const TOpenAPIToolManager& ToolManager);

// The request bodies, serialised, for a given clock reading (used by the calls above, the
// tests and the benchmark).
enum class TToolsDialect { OpenAI, Deepseek, Ollama };
std::string BuildChatCompletionsToolsBody(TToolsDialect ADialect, const TChatHistory& ChatHistory,
                                          const std::string& TargetModel,
                                          const TOpenAPIToolManager& ToolManager,
                                          const std::tm& ANow);
std::string BuildGeminiToolsBody(const TChatHistory& ChatHistory, const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager);
std::string BuildClaudeToolsBody(const TChatHistory& ChatHistory, const std::string& TargetModel,
                                 const TOpenAPIToolManager& ToolManager, const std::tm& ANow);

}  // namespace kestrill
