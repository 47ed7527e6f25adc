// Turns a provider's raw reply into a provider-neutral response: success, text, tool calls,
// and the raw fragments the next request must replay.
#pragma once

#include <cstddef>

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/ChatTypes.h"
#include "core/JsonPath.h"

namespace kestrill {

// The most tool calls taken from one model reply: a reply asking for more is answered for the
// rest without running them, and a streamed call index past it is a broken reply.
inline constexpr std::size_t kMaxToolCallsPerReply = 32;

struct TAIToolCallRequest {
  std::string ToolCallId;  // empty when the provider gave none
  std::string ToolName;
  std::string ArgumentsJSON;
  std::string RawToolCallJSON;  // Gemini: the whole "functionCall" object

  bool operator==(const TAIToolCallRequest&) const = default;
};

struct TAIResponse {
  bool IsSuccess = true;
  std::string ErrorMessage;
  std::string TextContent;
  bool HasToolCalls = false;
  std::vector<TAIToolCallRequest> ToolCalls;
  std::string RawPartsJSON;  // Gemini: the whole "parts" array of the first candidate
  // DeepSeek thinking models: must be sent back with the tool-call turn it belongs to.
  std::string ReasoningContent;

  bool operator==(const TAIResponse&) const = default;
};

// A reply that lacks a member the tool-call protocol requires (e.g. a tool call without a
// name). Nothing partial is returned.
// "Gemini가 이 질문을 차단했습니다 (차단 사유: SAFETY)." for a reply that says the question was
// blocked (promptFeedback.blockReason), nullopt otherwise.
std::optional<std::string> GeminiBlockText(const TJson& AReply);

class EAIResponseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TAIResponseParser {
 public:
  // Never fails for unusable text (IsSuccess false with a Korean ErrorMessage instead);
  // throws EAIResponseError when a required member is missing.
  static TAIResponse Parse(TAIProvider AProvider, std::string_view ARawJSON);
};

std::ostream& operator<<(std::ostream& AOut, const TAIToolCallRequest& ACall);
std::ostream& operator<<(std::ostream& AOut, const TAIResponse& AResponse);

}  // namespace kestrill
