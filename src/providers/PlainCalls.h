// Chatbot mode: one request per send with the whole conversation, one reply text back. Every
// failure comes back as a Korean text in place of the reply; nothing is thrown.
#pragma once

#include <string>

#include "core/ChatTypes.h"
#include "core/Config.h"

namespace kestrill {

std::string CallGeminiAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
std::string CallOpenAIAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
std::string CallClaudeAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
std::string CallDeepseekAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                            const std::string& TargetModel);
std::string CallOllamaAPI(const TChatHistory& ChatHistory, const std::string& OllamaURL,
                          const std::string& TargetModel);

// Picks the call for the provider selector's index (0 Gemini, 1 ChatGPT, 2 Claude,
// 3 DeepSeek, 4 Ollama), reading its key and model from the settings now. An empty key (URL)
// or an unknown index makes no request and returns "".
std::string CallAPI(int ASelectorIndex, const TConfig& AConfig, const TChatHistory& ChatHistory);

}  // namespace kestrill
