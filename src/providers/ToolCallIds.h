// Tool-call ids every provider accepts. A conversation may hold tool turns of another provider
// (the selector can change between turns), whose calls came without an id (Gemini, older
// Ollama) or with one another API refuses: Claude takes only [A-Za-z0-9_-], OpenAI at most 40
// characters, and both need the result to carry its call's id.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/ChatTypes.h"

namespace kestrill {

class TToolCallIds {
 public:
  // Pairs every tool result of AHistory with its call: the same provider id, else the latest
  // unanswered call of the same tool, else the latest unanswered call.
  explicit TToolCallIds(const TChatHistory& AHistory);

  // The id to send for the request or result at AIndex: the provider's own when it is usable,
  // else one made from the call message's MsgID, so a call and its result always agree and the
  // same conversation always gives the same id.
  const std::string& Of(std::size_t AIndex) const { return FIds[AIndex]; }
  // The result of the request at AIndex, and the request of the result at AIndex.
  std::optional<std::size_t> ResultOf(std::size_t AIndex) const { return Link(FResultOf, AIndex); }
  std::optional<std::size_t> CallOf(std::size_t AIndex) const { return Link(FCallOf, AIndex); }

 private:
  static std::optional<std::size_t> Link(const std::vector<std::size_t>& ALinks,
                                         std::size_t AIndex);
  std::vector<std::string> FIds;
  std::vector<std::size_t> FResultOf, FCallOf;  // kNone when unpaired
};

// AId made acceptable everywhere: characters outside [A-Za-z0-9_-] become "_", and an id longer
// than 40 characters is replaced by "call_" and a hash of it. An empty AId gives "call_" and the
// hexadecimal digits of AMsgId.
std::string PortableToolCallId(const std::string& AId, const std::string& AMsgId);

}  // namespace kestrill
