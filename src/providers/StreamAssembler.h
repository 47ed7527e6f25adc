// Replies that stream in (server-sent events, or Ollama's one JSON object per line) put back
// together into the body the same request would have returned without streaming, so the reply
// parser, the conversation and the saved file cannot tell the difference. The text is reported
// as it grows.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/ChatTypes.h"

namespace kestrill {

class TStreamAssembler {
 public:
  // AOnText gets the whole reply text so far, each time it grows. Called on the feeding thread.
  using TTextObserver = std::function<void(const std::string& ATextSoFar)>;

  TStreamAssembler(TAIProvider AProvider, TTextObserver AOnText);
  ~TStreamAssembler();
  TStreamAssembler(const TStreamAssembler&) = delete;
  TStreamAssembler& operator=(const TStreamAssembler&) = delete;

  // The body's bytes, in pieces of any size, as they arrive.
  void Feed(std::string_view APiece);

  // The body without streaming: assembled from the stream; the service's own error object when
  // the stream carried one; AWholeBody itself when it held no stream at all (an error answered
  // as plain JSON); {"error": ...} in the provider's shape when the stream broke off before its
  // end or held something that is not JSON.
  std::string Finish(const std::string& AWholeBody);

  const std::string& Text() const;

  struct TState;

 private:
  std::unique_ptr<TState> FState;
};

}  // namespace kestrill
