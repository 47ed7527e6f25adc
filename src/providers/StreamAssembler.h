// Replies that stream in (server-sent events, or Ollama's one JSON object per line) put back
// together into the body the same request would have returned without streaming, so the reply
// parser, the conversation and the saved file cannot tell the difference. The text is reported
// as it grows.
//
// The work done for each piece is proportional to the piece: the text is appended to, never
// rebuilt, and only new bytes are looked at, so a reply in a million tiny pieces costs about
// what it costs in one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/ChatTypes.h"

namespace kestrill {

class TStreamAssembler {
 public:
  // AOnText gets the whole reply text so far (always valid UTF-8) after it has grown: at most
  // once per AEvery while pieces arrive (every time when AEvery is zero), and once more from
  // Finish when the last growth was not reported yet. Called on the feeding thread.
  using TTextObserver = std::function<void(const std::string& ATextSoFar)>;

  TStreamAssembler(TAIProvider AProvider, TTextObserver AOnText,
                   std::chrono::milliseconds AEvery = std::chrono::milliseconds(0));
  ~TStreamAssembler();
  TStreamAssembler(const TStreamAssembler&) = delete;
  TStreamAssembler& operator=(const TStreamAssembler&) = delete;

  // The body's bytes, in pieces of any size, as they arrive.
  void Feed(std::string_view APiece);

  // The body without streaming: assembled from the stream; the service's own error, in the
  // provider's error shape, when the stream carried one; the bytes fed themselves when they held
  // no stream at all (an error answered as plain JSON); {"error": ...} in the provider's shape
  // when the stream broke off before its end, held something that is not JSON, or numbered a
  // tool call outside what one reply may hold. A tool input that arrived in pieces and is not
  // one JSON value is written as it came, so the reply fails the way the same body unstreamed
  // would.
  std::string Finish();

  const std::string& Text() const;

  struct TState;

 private:
  std::unique_ptr<TState> FState;
};

}  // namespace kestrill
