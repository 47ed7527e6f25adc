// Streamed model replies of every provider. The first byte picks the framing (A OpenAI,
// B Gemini, C Claude, D DeepSeek, E Ollama, and so on round) and the size of the pieces the rest
// is fed in; the rest is the body as the server sent it. However the bytes are cut, the body
// put together is the same, the text reported only grows and ends as the text assembled, and
// the reply parser reads the result without anything but its own refusal.
#include <sstream>

#include "FuzzCheck.h"
#include "agent/ResponseParser.h"
#include "core/TextEncoding.h"
#include "providers/StreamAssembler.h"

using namespace kestrill;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize == 0) return 0;
  const auto Provider = static_cast<TAIProvider>(AData[0] % 5);
  const std::size_t Piece = 1 + (AData[0] / 5) % 16;
  const std::string_view Body = FuzzText(AData + 1, ASize - 1);

  TStreamAssembler Whole(Provider, nullptr);
  Whole.Feed(Body);
  const std::string Expected = Whole.Finish();

  std::string Last;
  bool Reported = false;
  TStreamAssembler Cut(Provider, [&](const std::string& AText) {
    FUZZ_CHECK(AText.size() > Last.size() && AText.compare(0, Last.size(), Last) == 0);
    Last = AText;
    Reported = true;
  });
  for (std::size_t I = 0; I < Body.size(); I += Piece) Cut.Feed(Body.substr(I, Piece));
  const std::string Assembled = Cut.Finish();
  FUZZ_CHECK(Assembled == Expected);
  FUZZ_CHECK(Cut.Text() == Whole.Text());
  FUZZ_CHECK(!Reported || Last == Cut.Text());
  FUZZ_CHECK(IsValidUtf8(Cut.Text()));

  TAIResponse R;
  try {
    R = TAIResponseParser::Parse(Provider, SanitizeUtf8(Assembled));
  } catch (const EAIResponseError& E) {
    FUZZ_CHECK(*E.what() != '\0');
    return 0;
  }
  if (!R.IsSuccess) FUZZ_CHECK(!R.ErrorMessage.empty());
  // A streamed call index past the most one reply may hold is refused, never folded (a body
  // that held no stream is given back as it came, and may hold any number of calls).
  if ((Provider == aiOpenAI || Provider == aiDeepseek) && Assembled != Body)
    FUZZ_CHECK(R.ToolCalls.size() <= kMaxToolCallsPerReply);
  std::ostringstream Out;
  Out << R;
  return 0;
}
