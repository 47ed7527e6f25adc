#include "tools/ToolHttp.h"

#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {

std::string ToolGet(const std::string& AUrl, const THttpHeaders& AHeaders) {
  THttpClient Client;
  Client.LimitEveryWait(kToolRequestLimit);
  Client.SetBodyLimit(ToolBodyLimit());
  return SanitizeUtf8(Client.Get(AUrl, AHeaders).Body);
}

std::string QueryValue(const std::string& AValue) { return PercentEncode(AValue); }

}  // namespace kestrill
