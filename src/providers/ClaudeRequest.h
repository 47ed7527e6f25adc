// Conversations in the Anthropic Messages shape.
#pragma once

#include <ctime>
#include <string>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"
#include "providers/RequestBody.h"

namespace kestrill {

// Chatbot mode: {"model", "max_tokens": 4096, "messages"}.
TJson BuildClaudePlainRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              TRequestBody& ABody);

// Agent mode: {"model", "max_tokens", "messages" (instructions and date line first), "tools",
// "tool_choice"}. Throws when tool arguments are JSON but not an object.
TJson BuildClaudeToolsRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TOpenAPIToolManager& AToolManager, const std::tm& ANow,
                              TRequestBody& ABody);

}  // namespace kestrill
