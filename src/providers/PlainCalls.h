// Chatbot mode: one request per send with the whole conversation, one reply text back. Every
// failure comes back as a Korean text marked as a failure, to be shown but never stored as the
// model's words; nothing is thrown.
#pragma once

#include <string>

#include "core/ChatTypes.h"
#include "core/Config.h"

namespace kestrill {

enum class TReplyStatus {
  NotSent,   // no key (URL) or no provider chosen: no request was made
  Answered,  // Text is the model's reply, trimmed
  Failed,    // Text says what went wrong, in Korean
};

struct TPlainReply {
  TReplyStatus Status = TReplyStatus::NotSent;
  std::string Text;

  bool operator==(const TPlainReply&) const = default;
};

TPlainReply CallGeminiAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
TPlainReply CallOpenAIAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
TPlainReply CallClaudeAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                          const std::string& TargetModel);
TPlainReply CallDeepseekAPI(const TChatHistory& ChatHistory, const std::string& APIKey,
                            const std::string& TargetModel);
TPlainReply CallOllamaAPI(const TChatHistory& ChatHistory, const std::string& OllamaURL,
                          const std::string& TargetModel);

// Picks the call for the provider selector's index (0 Gemini, 1 ChatGPT, 2 Claude,
// 3 DeepSeek, 4 Ollama), reading its key and model from the settings now. An empty key (URL)
// or an unknown index makes no request (NotSent).
TPlainReply CallAPI(int ASelectorIndex, const TConfig& AConfig, const TChatHistory& ChatHistory);

}  // namespace kestrill
