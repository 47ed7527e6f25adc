#include "core/HttpClient.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>

#include "core/TextUtil.h"

namespace kestrill {
namespace {

void GlobalInitOnce() {
  static std::once_flag Once;
  std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TSList {
  curl_slist* List = nullptr;
  ~TSList() { curl_slist_free_all(List); }
  void Add(const std::string& ALine) {
    curl_slist* Next = curl_slist_append(List, ALine.c_str());
    if (!Next) throw EHttpError("out of memory building the request headers");
    List = Next;
  }
};

std::atomic<std::size_t> GProviderReplyLimit{kDefaultProviderReplyLimit};
std::atomic<std::size_t> GToolBodyLimit{kDefaultToolBodyLimit};

struct TBodySink {
  THttpResponse& Resp;
  const std::function<void(std::string_view)>& Observer;
  bool Keep;
  std::size_t Limit;         // 0: none
  std::size_t Received = 0;  // header and body bytes so far
  bool TooLarge = false;
  std::exception_ptr Failure;  // what the observer threw; the exchange is abandoned

  // False once the reply has brought more than the limit: the transfer stops there.
  bool Take(std::size_t ABytes) {
    Received += ABytes;
    if (Limit != 0 && Received > Limit) TooLarge = true;
    return !TooLarge;
  }
};

// "32 MB", "512 KB" or "1000 바이트": the limit as the settings give it where they can.
std::string SizeText(std::size_t ABytes) {
  if (ABytes >= (1u << 20) && ABytes % (1u << 20) == 0) return std::to_string(ABytes >> 20) + " MB";
  if (ABytes >= (1u << 10) && ABytes % (1u << 10) == 0) return std::to_string(ABytes >> 10) + " KB";
  return std::to_string(ABytes) + " 바이트";
}

size_t OnBody(char* AData, size_t ASize, size_t ACount, void* AUser) {
  auto* Sink = static_cast<TBodySink*>(AUser);
  if (!Sink->Take(ASize * ACount)) return 0;
  if (Sink->Keep) Sink->Resp.Body.append(AData, ASize * ACount);
  if (Sink->Observer) {
    try {
      Sink->Observer(std::string_view(AData, ASize * ACount));
    } catch (...) {
      Sink->Failure = std::current_exception();
      return 0;
    }
  }
  return ASize * ACount;
}

size_t OnHeader(char* AData, size_t ASize, size_t ACount, void* AUser) {
  auto* Sink = static_cast<TBodySink*>(AUser);
  if (!Sink->Take(ASize * ACount)) return 0;
  THttpResponse* R = &Sink->Resp;
  std::string_view Line(AData, ASize * ACount);
  std::string T = Trim(Line);
  if (T.rfind("HTTP/", 0) == 0) {
    // A new status line (after a redirect or "100 Continue") starts a new header block.
    R->Headers.clear();
    R->StatusText.clear();
    auto Sp1 = T.find(' ');
    auto Sp2 = Sp1 == std::string::npos ? std::string::npos : T.find(' ', Sp1 + 1);
    if (Sp2 != std::string::npos) R->StatusText = Trim(std::string_view(T).substr(Sp2 + 1));
  } else if (auto Colon = T.find(':'); Colon != std::string::npos) {
    R->Headers.emplace_back(Trim(std::string_view(T).substr(0, Colon)),
                            Trim(std::string_view(T).substr(Colon + 1)));
  }
  return ASize * ACount;
}

// Response time-out as an idle timer: the exchange is given up when no byte has moved either
// way for the whole time-out. (libcurl's own low-speed check averages over several seconds,
// so a request body that was just sent keeps it from firing for a while.)
thread_local std::stop_token GCancel;

struct TIdleWatch {
  std::chrono::milliseconds Limit;
  // A server dripping one byte at a time resets the idle timer forever; the deadline does not.
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point LastActivity = std::chrono::steady_clock::now();
  curl_off_t LastTotal = 0;
  bool Expired = false;
  bool PastDeadline = false;
  bool Cancelled = false;
};

int OnProgress(void* AUser, curl_off_t ADlTotal, curl_off_t ADlNow, curl_off_t AUlTotal,
               curl_off_t AUlNow) {
  (void)ADlTotal;
  (void)AUlTotal;
  auto* W = static_cast<TIdleWatch*>(AUser);
  if (GCancel.stop_requested()) {
    W->Cancelled = true;
    return 1;
  }
  auto Now = std::chrono::steady_clock::now();
  if (Now >= W->Deadline) {
    W->PastDeadline = true;
    return 1;
  }
  if (ADlNow + AUlNow != W->LastTotal) {
    W->LastTotal = ADlNow + AUlNow;
    W->LastActivity = Now;
    return 0;
  }
  if (Now - W->LastActivity >= W->Limit) {
    W->Expired = true;
    return 1;  // abort the transfer
  }
  return 0;
}

// Runs the transfer in short steps so that a cancel request or an idle time-out is noticed
// within ~50 ms (a blocking perform only looks up about once a second).
CURLcode PerformWatched(CURL* AHandle, TIdleWatch& AIdle) {
  CURLM* Multi = curl_multi_init();
  if (!Multi) return curl_easy_perform(AHandle);
  curl_multi_add_handle(Multi, AHandle);
  CURLcode Result = CURLE_OK;
  for (;;) {
    int Running = 0;
    if (curl_multi_perform(Multi, &Running) != CURLM_OK) {
      Result = CURLE_FAILED_INIT;
      break;
    }
    if (Running == 0) {
      int Left = 0;
      while (CURLMsg* Msg = curl_multi_info_read(Multi, &Left))
        if (Msg->msg == CURLMSG_DONE) Result = Msg->data.result;
      break;
    }
    curl_off_t Down = 0, Up = 0;
    curl_easy_getinfo(AHandle, CURLINFO_SIZE_DOWNLOAD_T, &Down);
    curl_easy_getinfo(AHandle, CURLINFO_SIZE_UPLOAD_T, &Up);
    if (OnProgress(&AIdle, 0, Down, 0, Up) != 0) {
      Result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(Multi, nullptr, 0, 50, nullptr);
  }
  curl_multi_remove_handle(Multi, AHandle);
  curl_multi_cleanup(Multi);
  return Result;
}

}  // namespace

struct THttpClient::TCurl {
  CURL* Handle = nullptr;
  TCurl() {
    GlobalInitOnce();
    Handle = curl_easy_init();
    if (!Handle) throw EHttpError("HTTP 클라이언트를 만들 수 없습니다 (curl_easy_init)");
  }
  ~TCurl() { curl_easy_cleanup(Handle); }
};

THttpClient::THttpClient() : FCurl(std::make_unique<TCurl>()), FBodyLimit(ToolBodyLimit()) {}
THttpClient::~THttpClient() = default;

THttpResponse THttpClient::Get(const std::string& AUrl, const THttpHeaders& AHeaders) {
  return Perform(AUrl, nullptr, AHeaders);
}

THttpResponse THttpClient::Post(const std::string& AUrl, const std::string& ABody,
                                const THttpHeaders& AHeaders) {
  return Perform(AUrl, &ABody, AHeaders);
}

std::string UrlOrigin(const std::string& AUrl) {
  CURLU* U = curl_url();
  if (!U) return "";
  std::string Out;
  char *Scheme = nullptr, *Host = nullptr, *Port = nullptr;
  if (curl_url_set(U, CURLUPART_URL, AUrl.c_str(), 0) == CURLUE_OK &&
      curl_url_get(U, CURLUPART_SCHEME, &Scheme, 0) == CURLUE_OK &&
      curl_url_get(U, CURLUPART_HOST, &Host, 0) == CURLUE_OK &&
      curl_url_get(U, CURLUPART_PORT, &Port, CURLU_DEFAULT_PORT) == CURLUE_OK)
    Out = ToLowerAscii(Scheme) + "://" + ToLowerAscii(Host) + ":" + Port;
  curl_free(Scheme);
  curl_free(Host);
  curl_free(Port);
  curl_url_cleanup(U);
  return Out;
}

THttpResponse THttpClient::Perform(const std::string& AUrl, const std::string* ABody,
                                   const THttpHeaders& AHeaders) {
  std::string Url = AUrl;
  for (int Hop = 0;; ++Hop) {
    std::string Next;
    THttpResponse R = PerformOnce(Url, ABody, AHeaders, Next);
    const bool IsRedirect = R.StatusCode >= 300 && R.StatusCode < 400 && !Next.empty();
    if (FRedirects != TRedirects::SameOrigin || !IsRedirect || Hop >= 10) return R;
    const std::string Origin = UrlOrigin(Url);
    if (Origin.empty() || UrlOrigin(Next) != Origin) return R;  // elsewhere: not followed
    // 307 and 308 repeat the request as it was; the others continue with a GET.
    if (R.StatusCode != 307 && R.StatusCode != 308) ABody = nullptr;
    Url = std::move(Next);
  }
}

THttpResponse THttpClient::PerformOnce(const std::string& AUrl, const std::string* ABody,
                                       const THttpHeaders& AHeaders, std::string& ARedirectUrl) {
  CURL* H = FCurl->Handle;
  curl_easy_reset(H);
  THttpResponse Resp;
  TSList Headers;
  for (const auto& [Name, Value] : AHeaders) Headers.Add(Name + ": " + Value);
  // libcurl would otherwise add "Expect: 100-continue" to large POSTs and wait for it.
  if (ABody) Headers.Add("Expect:");
  char ErrBuf[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(H, CURLOPT_URL, AUrl.c_str());
  curl_easy_setopt(H, CURLOPT_NOSIGNAL, 1L);  // we run on worker threads
  curl_easy_setopt(H, CURLOPT_ERRORBUFFER, ErrBuf);
  curl_easy_setopt(H, CURLOPT_HTTPHEADER, Headers.List);
  curl_easy_setopt(H, CURLOPT_ACCEPT_ENCODING, "");  // any encoding libcurl can decode
  curl_easy_setopt(H, CURLOPT_FOLLOWLOCATION, FRedirects == TRedirects::Follow ? 1L : 0L);
  curl_easy_setopt(H, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(H, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(H, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(H, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FConnectTimeout.count()));
  TIdleWatch Idle{FResponseTimeout};
  if (FTotalTimeout.count() > 0) Idle.Deadline = std::chrono::steady_clock::now() + FTotalTimeout;
  curl_easy_setopt(H, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(H, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(H, CURLOPT_XFERINFODATA, &Idle);
  if (!FUserAgent.empty()) curl_easy_setopt(H, CURLOPT_USERAGENT, FUserAgent.c_str());
  if (ABody) {
    curl_easy_setopt(H, CURLOPT_POST, 1L);
    curl_easy_setopt(H, CURLOPT_POSTFIELDS, ABody->data());
    curl_easy_setopt(H, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ABody->size()));
  } else {
    curl_easy_setopt(H, CURLOPT_HTTPGET, 1L);
  }
  TBodySink Sink{Resp, FBodyObserver, FKeepBody || !FBodyObserver, FBodyLimit, 0, false, nullptr};
  curl_easy_setopt(H, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(H, CURLOPT_WRITEDATA, &Sink);
  curl_easy_setopt(H, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(H, CURLOPT_HEADERDATA, &Sink);

  CURLcode Rc = PerformWatched(H, Idle);
  if (Sink.Failure) std::rethrow_exception(Sink.Failure);
  if (Sink.TooLarge) {
    // Nothing of it is returned: a reply cut off at an arbitrary byte is no answer.
    long Status = 0;
    curl_easy_getinfo(H, CURLINFO_RESPONSE_CODE, &Status);
    throw EHttpError("서버 응답이 너무 커서 받기를 중단했습니다 (" + SizeText(FBodyLimit) +
                     " 초과" + (Status > 0 ? ", HTTP " + std::to_string(Status) : std::string()) +
                     ").");
  }
  if (Rc == CURLE_ABORTED_BY_CALLBACK && Idle.Cancelled) throw EHttpError("요청이 취소되었습니다");
  if (Rc == CURLE_ABORTED_BY_CALLBACK && Idle.PastDeadline)
    throw EHttpError("Timeout was reached: the exchange took longer than " +
                     std::to_string(FTotalTimeout.count()) + " ms");
  if (Rc == CURLE_ABORTED_BY_CALLBACK && Idle.Expired)
    throw EHttpError("Timeout was reached: no response within " +
                     std::to_string(FResponseTimeout.count()) + " ms");
  if (Rc != CURLE_OK) {
    std::string Msg = curl_easy_strerror(Rc);
    if (Rc == CURLE_OPERATION_TIMEDOUT && ErrBuf[0] == '\0') Msg += " (time-out)";
    if (ErrBuf[0] != '\0') Msg += std::string(": ") + ErrBuf;
    throw EHttpError(Msg);
  }
  curl_easy_getinfo(H, CURLINFO_RESPONSE_CODE, &Resp.StatusCode);
  if (char* Location = nullptr;
      curl_easy_getinfo(H, CURLINFO_REDIRECT_URL, &Location) == CURLE_OK && Location)
    ARedirectUrl = Location;
  if (Resp.StatusText.empty()) Resp.StatusText = StandardStatusText(Resp.StatusCode);
  return Resp;
}

void SetResponseLimits(std::size_t AProviderReply, std::size_t AToolBody) {
  GProviderReplyLimit = AProviderReply != 0 ? AProviderReply : kDefaultProviderReplyLimit;
  GToolBodyLimit = AToolBody != 0 ? AToolBody : kDefaultToolBodyLimit;
}

std::size_t ProviderReplyLimit() { return GProviderReplyLimit; }
std::size_t ToolBodyLimit() { return GToolBodyLimit; }

THttpCancelScope::THttpCancelScope(std::stop_token AToken) : FPrevious(GCancel) {
  GCancel = std::move(AToken);
}

THttpCancelScope::~THttpCancelScope() { GCancel = std::move(FPrevious); }

std::stop_token CurrentCancelToken() { return GCancel; }

std::string StandardStatusText(long C) {
  switch (C) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Entity";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 529:
      return "Site Overloaded";
    default:
      return {};
  }
}

}  // namespace kestrill
