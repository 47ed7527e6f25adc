#include "providers/ProviderHttp.h"

#include <atomic>

#include "core/TextEncoding.h"
#include "core/TextUtil.h"
#include "providers/RequestBody.h"

namespace kestrill {

namespace {
std::atomic<std::chrono::milliseconds::rep> GConnectMs{60000};
std::atomic<std::chrono::milliseconds::rep> GResponseMs{300000};
std::atomic<std::chrono::milliseconds::rep> GDeadlineMs{300000};
}  // namespace

void SetProviderDeadline(std::chrono::milliseconds ADeadline) { GDeadlineMs = ADeadline.count(); }

void SetProviderTimeouts(std::chrono::milliseconds AConnect, std::chrono::milliseconds AResponse) {
  GConnectMs = AConnect.count();
  GResponseMs = AResponse.count();
}

std::string PostJson(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders) {
  THttpClient Client;
  Client.SetConnectionTimeout(std::chrono::milliseconds(GConnectMs.load()));
  Client.SetResponseTimeout(std::chrono::milliseconds(GResponseMs.load()));
  Client.SetTotalTimeout(std::chrono::milliseconds(GDeadlineMs.load()));
  // The request carries the API key in its headers: it never follows a redirect anywhere.
  Client.SetRedirects(TRedirects::Never);
  THttpResponse R = Client.Post(AUrl, ABody, AHeaders);
  if (R.StatusCode >= 300 && R.StatusCode < 400) {
    std::string Where;
    for (const auto& [Name, Value] : R.Headers)
      if (SameTextAscii(Name, "Location")) Where = Value;
    throw EHttpError("서버가 다른 주소로 보내려 했지만(" + std::to_string(R.StatusCode) +
                     (Where.empty() ? "" : " → " + Where) +
                     ") API 키를 지키기 위해 따라가지 않았습니다.");
  }
  // Bodies are read as UTF-8; a stray invalid byte must not make the whole reply unreadable.
  return SanitizeUtf8(R.Body);
}

std::string FailureObject(const std::string& ADescription) {
  return "{\"error\": " + CompactJson(TJson(ADescription)) + "}";
}

}  // namespace kestrill
