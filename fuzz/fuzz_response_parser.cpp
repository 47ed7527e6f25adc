// Model replies of every provider. The first byte picks the reply format (A OpenAI, B Gemini,
// C Claude, D DeepSeek, E Ollama, and so on round), the rest is the body as the server sent it.
// A reply may be refused with EAIResponseError; anything else thrown, or a crash, is a bug.
#include <sstream>

#include "FuzzCheck.h"
#include "agent/ResponseParser.h"
#include "core/JsonPath.h"

using namespace kestrill;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize == 0) return 0;
  const auto Provider = static_cast<TAIProvider>(AData[0] % 5);
  const std::string_view Body = FuzzText(AData + 1, ASize - 1);
  TAIResponse R;
  try {
    R = TAIResponseParser::Parse(Provider, Body);
  } catch (const EAIResponseError& E) {
    FUZZ_CHECK(*E.what() != '\0');  // the user sees this text
    return 0;
  }
  // A failure says why and carries nothing the agent loop could act on.
  if (!R.IsSuccess) {
    FUZZ_CHECK(!R.ErrorMessage.empty());
    FUZZ_CHECK(R.ToolCalls.empty());
  }
  if (!R.ToolCalls.empty()) FUZZ_CHECK(R.HasToolCalls);
  // What we replay to Gemini must be JSON it can read again.
  if (!R.RawPartsJSON.empty()) {
    auto Parts = ParseJson(R.RawPartsJSON);
    FUZZ_CHECK(Parts && Parts->is_array());
  }
  // Arguments we wrote ourselves (all but OpenAI's, which arrive as a text) are JSON again.
  for (const TAIToolCallRequest& C : R.ToolCalls) {
    if (Provider == aiGemini) {
      auto Raw = ParseJson(C.RawToolCallJSON);
      FUZZ_CHECK(Raw && Raw->is_object());
      auto Args = ParseJson(C.ArgumentsJSON);
      FUZZ_CHECK(Args && Args->is_object());
    } else if (Provider == aiClaude || (Provider == aiOllama && !C.ArgumentsJSON.empty())) {
      FUZZ_CHECK(ParseJson(C.ArgumentsJSON).has_value());
    }
  }
  std::ostringstream Out;  // what a failing test would print
  Out << R;
  return 0;
}
