#include "providers/ProviderHttp.h"

#include <atomic>
#include <cctype>
#include <mutex>
#include <set>

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
thread_local const std::function<void(const std::string&)>* GLiveNotice = nullptr;
thread_local long GLastStatus = 0;
// Models a service refused to stream in this run ("provider model").
std::mutex GUnstreamedMutex;
std::set<std::string> GUnstreamed;
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
// The model a request names: Gemini's in its URL, the others' in the body.
std::string ModelOf(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody) {
  if (AProvider == aiGemini) {
    const auto Start = AUrl.find("/models/");
    if (Start == std::string::npos) return {};
    const auto End = AUrl.find(':', Start + 8);
    return AUrl.substr(Start + 8, End == std::string::npos ? End : End - Start - 8);
  }
  auto Doc = ParseJson(ABody);
  return Doc && Doc->is_object() ? JsonPathTextOr(*Doc, "model", "") : std::string();
}

// A refusal of the streamed form itself ("Your organization must be verified to stream this
// model", "streaming is not supported"): a client error whose reason speaks of streaming. Keys,
// quotas and everything else are answered the same either way and are not retried.
bool RefusesStreaming(const TChatReply& AReply) {
  if (AReply.StatusCode < 400 || AReply.StatusCode >= 500 || AReply.StatusCode == 401 ||
      AReply.StatusCode == 429)
    return false;
  auto Doc = ParseJson(AReply.Body);
  if (!Doc || !Doc->is_object()) return false;
  std::string Reason = JsonPathTextOr(*Doc, "error.message", "");
  if (Reason.empty()) Reason = JsonPathTextOr(*Doc, "error", "");
  for (char& C : Reason) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Reason.find("stream") != std::string::npos;
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

TLiveReplyScope::TLiveReplyScope(std::function<void(const std::string&)> AOnText,
                                 std::function<void(const std::string&)> AOnNotice)
    : FOnText(std::move(AOnText)),
      FOnNotice(std::move(AOnNotice)),
      FPrevious(GLiveReply),
      FPreviousNotice(GLiveNotice) {
  GLiveReply = &FOnText;
  GLiveNotice = &FOnNotice;
}

TLiveReplyScope::~TLiveReplyScope() {
  GLiveReply = FPrevious;
  GLiveNotice = FPreviousNotice;
}

std::string UnstreamedModelNotice(const std::string& AModel) {
  return "💡 이 모델(" + AModel +
         ")은 서비스가 실시간 표시를 허용하지 않아, 답변이 완성된 뒤 한 번에 표시됩니다.";
}

void ForgetUnstreamedModels() {
  std::lock_guard Lock(GUnstreamedMutex);
  GUnstreamed.clear();
}

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

static TChatReply PostStreamed(TAIProvider AProvider, const std::string& AUrl,
                               const std::string& ABody, const THttpHeaders& AHeaders);
static TChatReply SendChatRequest(TAIProvider AProvider, const std::string& AUrl,
                                  const std::string& ABody, const THttpHeaders& AHeaders);

long LastProviderStatus() { return GLastStatus; }

TChatReply PostChatRequest(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody,
                           const THttpHeaders& AHeaders) {
  GLastStatus = 0;
  TChatReply Reply = SendChatRequest(AProvider, AUrl, ABody, AHeaders);
  GLastStatus = Reply.StatusCode;
  return Reply;
}

static TChatReply SendChatRequest(TAIProvider AProvider, const std::string& AUrl,
                                  const std::string& ABody, const THttpHeaders& AHeaders) {
  if (!GLiveReply || !*GLiveReply) return PostPlain(AUrl, ABody, AHeaders);
  const std::string Model = ModelOf(AProvider, AUrl, ABody);
  const std::string Key = std::to_string(AProvider) + " " + Model;
  {
    std::lock_guard Lock(GUnstreamedMutex);
    if (GUnstreamed.count(Key)) return PostPlain(AUrl, ABody, AHeaders);
  }
  TChatReply Streamed = PostStreamed(AProvider, AUrl, ABody, AHeaders);
  if (!RefusesStreaming(Streamed)) return Streamed;
  bool First = false;
  {
    std::lock_guard Lock(GUnstreamedMutex);
    First = GUnstreamed.insert(Key).second;
  }
  if (First && GLiveNotice && *GLiveNotice) (*GLiveNotice)(UnstreamedModelNotice(Model));
  return PostPlain(AUrl, ABody, AHeaders);
}

static TChatReply PostStreamed(TAIProvider AProvider, const std::string& AUrl,
                               const std::string& ABody, const THttpHeaders& AHeaders) {
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
