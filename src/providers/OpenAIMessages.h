// Conversations in the chat-completions shape (OpenAI, DeepSeek, Ollama): the agent message
// list with its two leading instruction messages, and the plain chatbot bodies.
#pragma once

#include <ctime>
#include <string>

#include "core/ChatTypes.h"
#include "core/JsonPath.h"
#include "providers/RequestBody.h"

namespace kestrill {

struct TMessageListOptions {
  // Ollama: tool-call arguments as JSON objects instead of JSON strings, and every "content" a
  // string (its API takes no content parts); implies TextOnly.
  bool IsOllama = false;
  bool SendReasoning = false;  // DeepSeek: send "reasoning_content" back with tool calls
  // DeepSeek, Ollama: no image or file parts (refused); documents and PDFs go as their text.
  bool TextOnly = false;
};

// The agent message list: instruction text, date line, then every conversation message.
// Attachments come from the bytes each message carries; no file is read.
TJson AddMessages(const TChatHistory& ChatHistory, bool IsOllama);
TJson AddMessages(const TChatHistory& ChatHistory, const TMessageListOptions& AOptions,
                  const std::tm& ANow, TRequestBody& ABody);

// The conversation as chat-completions messages: "model" replies as "assistant", tool
// requests with "tool_calls", tool results with "tool_call_id", attachments as content parts.
TJson ChatCompletionsMessages(const TChatHistory& ChatHistory, const TMessageListOptions& AOptions,
                              TRequestBody& ABody);

// {"model", "messages"} for the plain OpenAI and DeepSeek calls. Tool turns of an earlier
// agent run keep their tool fields: a "tool" message without its call is rejected.
TJson BuildOpenAIPlainRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TMessageListOptions& AOptions, TRequestBody& ABody);
// {"model", "stream": false, "messages"} for the plain Ollama call (documents as their text).
TJson BuildOllamaPlainRequest(const TChatHistory& ChatHistory, const std::string& AModel);

// "model" replies from chatbot mode travel as "assistant": these APIs reject "model".
std::string ChatCompletionsRole(const std::string& ARole);

}  // namespace kestrill
