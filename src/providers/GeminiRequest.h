// Conversations in the Gemini generateContent shape.
#pragma once

#include <string>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"
#include "providers/RequestBody.h"

namespace kestrill {

// Chatbot mode: {"contents", "tools": [{"googleSearch": {}}]}.
TJson BuildGeminiPlainRequest(const TChatHistory& ChatHistory, TRequestBody& ABody);

// Agent mode: {"model", "systemInstruction", "contents", "tools", "tool_config"}. Tool requests
// replay the model's own raw parts; tool results go back as function responses.
TJson BuildGeminiToolsRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TOpenAPIToolManager& AToolManager, TRequestBody& ABody);

}  // namespace kestrill
