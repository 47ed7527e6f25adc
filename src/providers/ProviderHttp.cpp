#include "providers/ProviderHttp.h"

#include <atomic>

#include "core/JsonPath.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"
#include "providers/RequestBody.h"
#include "providers/StreamAssembler.h"

namespace kestrill {

namespace {
std::atomic<std::chrono::milliseconds::rep> GConnectMs{60000};
std::atomic<std::chrono::milliseconds::rep> GResponseMs{300000};
std::atomic<std::chrono::milliseconds::rep> GDeadlineMs{300000};
thread_local const std::function<void(const std::string&)>* GLiveReply = nullptr;
constexpr std::chrono::milliseconds kLiveReplyEvery{50};

THttpClient& Configure(THttpClient& AClient) {
  AClient.SetConnectionTimeout(std::chrono::milliseconds(GConnectMs.load()));
  AClient.SetResponseTimeout(std::chrono::milliseconds(GResponseMs.load()));
  AClient.SetTotalTimeout(std::chrono::milliseconds(GDeadlineMs.load()));
  AClient.SetBodyLimit(ProviderReplyLimit());
  // The request carries the API key in its headers: it never follows a redirect anywhere.
  AClient.SetRedirects(TRedirects::Never);
  return AClient;
}

void RefuseRedirect(const THttpResponse& R) {
  if (R.StatusCode < 300 || R.StatusCode >= 400) return;
  std::string Where;
  for (const auto& [Name, Value] : R.Headers)
    if (SameTextAscii(Name, "Location")) Where = Value;
  throw EHttpError("서버가 다른 주소로 보내려 했지만(" + std::to_string(R.StatusCode) +
                   (Where.empty() ? "" : " → " + Where) +
                   ") API 키를 지키기 위해 따라가지 않았습니다.");
}

// The same request asking for a stream: Gemini by its URL, the others by "stream": true.
std::pair<std::string, std::string> StreamingForm(TAIProvider AProvider, const std::string& AUrl,
                                                  const std::string& ABody) {
  if (AProvider == aiGemini) {
    std::string Url = AUrl;
    if (auto At = Url.find(":generateContent?"); At != std::string::npos)
      Url.replace(At, 17, ":streamGenerateContent?alt=sse&");
    return {Url, ABody};
  }
  auto Doc = ParseJson(ABody);
  if (!Doc || !Doc->is_object()) return {AUrl, ABody};
  (*Doc)["stream"] = true;
  return {AUrl, Doc->dump(-1, ' ', false, TJson::error_handler_t::replace)};
}
TChatReply PostPlain(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders) {
  THttpClient Client;
  THttpResponse R = Configure(Client).Post(AUrl, ABody, AHeaders);
  RefuseRedirect(R);
  // Bodies are read as UTF-8; a stray invalid byte must not make the whole reply unreadable.
  return {R.StatusCode, SanitizeUtf8(R.Body)};
}
}  // namespace

TLiveReplyScope::TLiveReplyScope(std::function<void(const std::string&)> AOnText)
    : FOnText(std::move(AOnText)), FPrevious(GLiveReply) {
  GLiveReply = &FOnText;
}

TLiveReplyScope::~TLiveReplyScope() { GLiveReply = FPrevious; }

std::string PostChatJson(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody,
                         const THttpHeaders& AHeaders) {
  TChatReply R = PostChatRequest(AProvider, AUrl, ABody, AHeaders);
  if (R.StatusCode >= 200 && R.StatusCode < 300) return std::move(R.Body);
  // The provider's own error object says what went wrong; anything else (a proxy's HTML page,
  // an empty body) would be read as "not JSON" and the status lost.
  if (auto Doc = ParseJson(R.Body); Doc && Doc->is_object()) return std::move(R.Body);
  std::string Head(Utf16Prefix(Trim(R.Body), 120));
  for (char& C : Head)
    if (static_cast<unsigned char>(C) < 0x20) C = ' ';
  const std::string Status = "HTTP " + std::to_string(R.StatusCode);
  return FailureObject(Head.empty() ? "서버가 빈 응답과 함께 " + Status + " 오류를 보냈습니다."
                                    : "서버가 " + Status + " 오류를 보냈습니다. 응답 앞부분: " + Head);
}

TChatReply PostChatRequest(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody,
                           const THttpHeaders& AHeaders) {
  if (!GLiveReply || !*GLiveReply) return PostPlain(AUrl, ABody, AHeaders);
  const auto [Url, Body] = StreamingForm(AProvider, AUrl, ABody);
  // The text is valid UTF-8 as it grows and is handed on by reference; the page cannot draw
  // more often than every 50 ms anyway, so the whole text goes out no more often than that.
  TStreamAssembler Assembler(
      AProvider, [Live = GLiveReply](const std::string& AText) { (*Live)(AText); },
      kLiveReplyEvery);
  THttpClient Client;
  // The assembler keeps what it needs of the bytes: the client keeps no second copy.
  Configure(Client).SetBodyObserver([&](std::string_view APiece) { Assembler.Feed(APiece); },
                                    false);
  THttpResponse R = Client.Post(Url, Body, AHeaders);
  RefuseRedirect(R);
  return {R.StatusCode, SanitizeUtf8(Assembler.Finish())};
}

void SetProviderDeadline(std::chrono::milliseconds ADeadline) { GDeadlineMs = ADeadline.count(); }

void SetProviderTimeouts(std::chrono::milliseconds AConnect, std::chrono::milliseconds AResponse) {
  GConnectMs = AConnect.count();
  GResponseMs = AResponse.count();
}

std::string PostJson(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders) {
  return PostPlain(AUrl, ABody, AHeaders).Body;
}

std::string FailureObject(const std::string& ADescription) {
  return "{\"error\": " + CompactJson(TJson(ADescription)) + "}";
}

}  // namespace kestrill
