#include "tools/ToolHttp.h"

#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {

std::string ToolGet(const std::string& AUrl, const THttpHeaders& AHeaders) {
  return ToolFetch(AUrl, AHeaders).Body;
}

TToolReply ToolFetch(const std::string& AUrl, const THttpHeaders& AHeaders) {
  THttpClient Client;
  Client.LimitEveryWait(kToolRequestLimit);
  Client.SetBodyLimit(ToolBodyLimit());
  THttpResponse R = Client.Get(AUrl, AHeaders);
  TToolReply Out{R.StatusCode, "", SanitizeUtf8(R.Body)};
  for (const auto& [Name, Value] : R.Headers)
    if (SameTextAscii(Name, "Content-Type")) Out.ContentType = Value.substr(0, Value.find(';'));
  return Out;
}

std::string UnreadableReplyText(const std::string& AService, const TToolReply& AReply) {
  std::string Type = Trim(AReply.ContentType);
  if (Type.size() > 60) Type.resize(60);
  Type = SanitizeUtf8(Type);
  return AService + " 응답을 해석할 수 없습니다 (HTTP " + std::to_string(AReply.StatusCode) +
         (Type.empty() ? "" : ", " + Type) + ").";
}

std::string QueryValue(const std::string& AValue) { return PercentEncode(AValue); }

}  // namespace kestrill
