// One HTTP exchange at a time over libcurl. The body comes back whatever the status; only a
// transport failure (no connection, time-out, TLS) throws. TLS peers are always verified and
// proxies come from the environment (https_proxy, no_proxy, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrill {

using THttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct THttpResponse {
  long StatusCode = 0;
  std::string StatusText;  // the reason phrase, or the standard one when the server sent none
  THttpHeaders Headers;
  std::string Body;
};

// A transport failure; what() describes it (for example "Couldn't connect to server: ...").
class EHttpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What to do with a redirect answer (3xx with a Location).
enum class TRedirects {
  Follow,      // follow it anywhere
  SameOrigin,  // follow it only to the same scheme, host and port; else the 3xx is the answer
  Never,       // the 3xx is the answer (headers with secrets never travel to another host)
};

class THttpClient {
 public:
  THttpClient();
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // Time to establish the connection.
  void SetConnectionTimeout(std::chrono::milliseconds ATimeout) { FConnectTimeout = ATimeout; }
  // Longest wait for the server to send anything (the reply may take as long as it keeps
  // arriving).
  void SetResponseTimeout(std::chrono::milliseconds ATimeout) { FResponseTimeout = ATimeout; }
  // Longest time the whole exchange may take, however slowly bytes keep arriving (0: none).
  void SetTotalTimeout(std::chrono::milliseconds ATimeout) { FTotalTimeout = ATimeout; }
  // Connection, first byte and the whole exchange each bounded by ATimeout: a tool's request
  // never holds a turn longer, however the server stalls or drips.
  void LimitEveryWait(std::chrono::milliseconds ATimeout) {
    FConnectTimeout = FResponseTimeout = FTotalTimeout = ATimeout;
  }
  void SetRedirects(TRedirects APolicy) { FRedirects = APolicy; }
  void SetUserAgent(std::string AUserAgent) { FUserAgent = std::move(AUserAgent); }
  // Called on the calling thread with each piece of the body as it arrives. The whole body is
  // still returned unless AKeepBody is false (the observer keeps what it needs). What it throws
  // abandons the exchange and reaches the caller.
  void SetBodyObserver(std::function<void(std::string_view)> AObserver, bool AKeepBody = true) {
    FBodyObserver = std::move(AObserver);
    FKeepBody = AKeepBody;
  }
  // The most bytes one reply may bring: headers and body as delivered (decompressed), whether
  // kept or only observed, so a stream's comments and framing count too. Passing it abandons
  // the exchange with EHttpError. Every client starts at ToolBodyLimit() (a request that is not
  // a model's is a tool's); 0 means no limit.
  void SetBodyLimit(std::size_t ABytes) { FBodyLimit = ABytes; }

  THttpResponse Get(const std::string& AUrl, const THttpHeaders& AHeaders = {});
  THttpResponse Post(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders = {});

 private:
  THttpResponse Perform(const std::string& AUrl, const std::string* ABody,
                        const THttpHeaders& AHeaders);
  THttpResponse PerformOnce(const std::string& AUrl, const std::string* ABody,
                            const THttpHeaders& AHeaders, std::string& ARedirectUrl);

  struct TCurl;
  std::unique_ptr<TCurl> FCurl;
  std::chrono::milliseconds FConnectTimeout{60000};
  std::chrono::milliseconds FResponseTimeout{300000};
  std::chrono::milliseconds FTotalTimeout{0};
  TRedirects FRedirects = TRedirects::SameOrigin;
  std::string FUserAgent;
  std::function<void(std::string_view)> FBodyObserver;
  bool FKeepBody = true;
  std::size_t FBodyLimit;
};

// While alive, HTTP exchanges made on this thread are abandoned (EHttpError "cancelled") as soon
// as AToken is stopped, so a closing window need not wait out a slow provider.
class THttpCancelScope {
 public:
  explicit THttpCancelScope(std::stop_token AToken);
  ~THttpCancelScope();
  THttpCancelScope(const THttpCancelScope&) = delete;
  THttpCancelScope& operator=(const THttpCancelScope&) = delete;

 private:
  std::stop_token FPrevious;
};

// The most a provider's reply and a tool's reply may bring (the "MaxReplyMB" and "MaxToolBodyMB"
// settings; 32 MB and 8 MB until set). Read each time a request is made; 0 keeps the default.
inline constexpr std::size_t kDefaultProviderReplyLimit = std::size_t{32} << 20;
inline constexpr std::size_t kDefaultToolBodyLimit = std::size_t{8} << 20;
void SetResponseLimits(std::size_t AProviderReply, std::size_t AToolBody);
std::size_t ProviderReplyLimit();
std::size_t ToolBodyLimit();

// "scheme://host:port" of AUrl with the scheme's default port filled in ("" when it does not
// parse).
std::string UrlOrigin(const std::string& AUrl);

// The token of the innermost THttpCancelScope on this thread (a token that is never stopped when
// there is none): other long waits of a task, such as a console command, watch it too.
std::stop_token CurrentCancelToken();

// The standard reason phrase of an HTTP status code ("" when unknown).
std::string StandardStatusText(long AStatusCode);

}  // namespace kestrill
