#include "providers/ProviderHttp.h"

#include <atomic>

#include "core/TextEncoding.h"
#include "providers/RequestBody.h"

namespace kestrill {

namespace {
std::atomic<std::chrono::milliseconds::rep> GConnectMs{60000};
std::atomic<std::chrono::milliseconds::rep> GResponseMs{300000};
}  // namespace

void SetProviderTimeouts(std::chrono::milliseconds AConnect, std::chrono::milliseconds AResponse) {
  GConnectMs = AConnect.count();
  GResponseMs = AResponse.count();
}

std::string PostJson(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders) {
  THttpClient Client;
  Client.SetConnectionTimeout(std::chrono::milliseconds(GConnectMs.load()));
  Client.SetResponseTimeout(std::chrono::milliseconds(GResponseMs.load()));
  // Bodies are read as UTF-8; a stray invalid byte must not make the whole reply unreadable.
  return SanitizeUtf8(Client.Post(AUrl, ABody, AHeaders).Body);
}

std::string FailureObject(const std::string& ADescription) {
  return "{\"error\": " + CompactJson(TJson(ADescription)) + "}";
}

}  // namespace kestrill
