// What the market-data tools share: one GET with the tools' time limit, and the answer decoded.
#pragma once

#include <string>

#include "core/HttpClient.h"

namespace kestrill {

// The longest any tool request may take (connecting, waiting, and the whole exchange).
inline constexpr std::chrono::seconds kToolRequestLimit{60};

// GETs AUrl with AHeaders and returns the body as UTF-8 (invalid bytes replaced, so the text is
// safe to store and send on). Throws EHttpError on a transport failure and on a reply larger
// than ToolBodyLimit().
std::string ToolGet(const std::string& AUrl, const THttpHeaders& AHeaders = {});

// The same, with the status and content type: a body a tool cannot read is then described.
struct TToolReply {
  long StatusCode = 0;
  std::string ContentType;
  std::string Body;
};
TToolReply ToolFetch(const std::string& AUrl, const THttpHeaders& AHeaders = {});

// "DART 응답을 해석할 수 없습니다 (HTTP 503, text/html)." for a reply that is not what the tool
// reads (a maintenance page, an HTML error): the model learns something went wrong, and what.
std::string UnreadableReplyText(const std::string& AService, const TToolReply& AReply);

// A value placed in a query: letters, digits and "-._~" unchanged, every other byte as %XX.
std::string QueryValue(const std::string& AValue);

}  // namespace kestrill
