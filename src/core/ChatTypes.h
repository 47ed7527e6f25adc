// The records every layer passes around: one chat message, one catalogue entry, the open
// chat's state against its file, and the reply format the parser must read.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace kestrill {

// Stored roles. Providers map them to their own protocol when a request is built.
inline constexpr std::string_view kRoleUser = "user";
inline constexpr std::string_view kRoleModel = "model";          // chatbot replies
inline constexpr std::string_view kRoleAssistant = "assistant";  // agent replies, tool requests
inline constexpr std::string_view kRoleTool = "tool";            // tool results

// A plain value: copied in and out of the conversation, never shared.
struct TChatMessage {
  std::string MsgID;
  std::string Role;
  std::string Text;
  std::string AttachedFilePath;
  std::string ImageBase64;  // Base64 of the attached file, whatever its type
  std::string MimeType;
  bool HasToolCall = false;
  std::string ToolCallId;
  std::string ToolName;
  std::string ToolArgs;
  std::string RawToolCallJSON;
  std::string RawPartsJSON;
  // DeepSeek thinking models: the reasoning that came with a tool-call reply, which must be
  // sent back with it. In memory only, like the raw Gemini parts.
  std::string ReasoningContent;

  bool operator==(const TChatMessage&) const = default;
};

// The conversation, oldest message first.
using TChatHistory = std::vector<TChatMessage>;

// One entry of the catalogue of saved chats.
struct TChatFile {
  std::string FileName;
  std::string Title;
  std::string LastModified;  // local time, "yyyymmddhhnnss"

  bool operator==(const TChatFile&) const = default;
};

enum TChatFileState { cfsNew = 0, cfsOpen = 1, cfsModified = 2 };

// Reply formats. The order differs from the provider selector's; see ProviderFromSelectorIndex.
enum TAIProvider { aiOpenAI = 0, aiGemini = 1, aiClaude = 2, aiDeepseek = 3, aiOllama = 4 };

// Provider selector index (0 Gemini, 1 ChatGPT, 2 Claude, 3 DeepSeek, 4 Ollama) to reply
// format; anything else falls back to Gemini.
TAIProvider ProviderFromSelectorIndex(int AIndex);

// The only place messages get their identifier: a fresh v4 GUID, 36 upper-case characters.
TChatMessage CreateChatMessage(std::string_view ARole, std::string_view AText);

// What a tool's result tells a model. A tool that returned nothing (the chart tool always does)
// says so in words: the services refuse a message or tool result with empty content.
inline constexpr char kChartDrawnText[] = "차트를 그렸습니다.";
inline constexpr char kEmptyToolResultText[] = "도구가 빈 결과를 돌려주었습니다.";
std::string ToolResultText(std::string_view AToolName, const std::string& AResult);
// A message with nothing in it (blank text, no attachment, no tool call): no request carries it.
bool HasNothingToSend(const TChatMessage& AMessage);

std::ostream& operator<<(std::ostream& AOut, const TChatMessage& AMessage);
std::ostream& operator<<(std::ostream& AOut, const TChatFile& AFile);

}  // namespace kestrill
