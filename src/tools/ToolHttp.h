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

// A value placed in a query: letters, digits and "-._~" unchanged, every other byte as %XX.
std::string QueryValue(const std::string& AValue);

}  // namespace kestrill
