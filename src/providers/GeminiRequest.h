// Conversations in the Gemini generateContent shape.
#pragma once

#include <string>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"
#include "providers/RequestBody.h"

namespace kestrill {

// Chatbot mode: {"contents", "tools": [{"googleSearch": {}}]}.
TJson BuildGeminiPlainRequest(const TChatHistory& ChatHistory, TRequestBody& ABody);

// Agent mode: {"model", "systemInstruction", "contents", "tools", "tool_config"}. A reply's tool
// requests go back as one "model" turn of the model's own raw parts, their results as one "user"
// turn of function responses in call order; calls another provider made are rebuilt from their
// name and arguments, each with its response.
TJson BuildGeminiToolsRequest(const TChatHistory& ChatHistory, const std::string& AModel,
                              const TOpenAPIToolManager& AToolManager, TRequestBody& ABody);

}  // namespace kestrill
