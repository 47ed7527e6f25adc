#include <gtest/gtest.h>

#include <cstdlib>
#include <stop_token>
#include <thread>

#include "FakeHttpServer.h"
#include "ScriptedServer.h"
#include "core/Endpoints.h"
#include "core/HttpClient.h"

using namespace kestrill;
using namespace kestrill::testing;

TEST(HttpClient, PostSendsHeadersAndBodyAndReturnsTheReply) {
  TFakeHttpServer Server;
  Server.SetDefault({200, R"({"ok":"응답"})"});
  THttpClient Client;
  std::string Body = R"({"contents":[{"text":"삼성전자"}]})";
  THttpResponse R = Client.Post(Server.BaseUrl() + "/v1/messages?key=abc", Body,
                                {{"Content-Type", "application/json"}, {"x-api-key", "secret"}});
  EXPECT_EQ(R.StatusCode, 200);
  EXPECT_EQ(R.StatusText, "OK");
  EXPECT_EQ(R.Body, R"({"ok":"응답"})");

  TRecordedRequest Req = Server.LastRequest();
  EXPECT_EQ(Req.Method, "POST");
  EXPECT_EQ(Req.Path, "/v1/messages");
  EXPECT_EQ(Req.Query, "key=abc");
  EXPECT_EQ(Req.Header("content-type"), "application/json");
  EXPECT_EQ(Req.Header("X-Api-Key"), "secret");
  EXPECT_FALSE(Req.HasHeader("Expect"));
  EXPECT_EQ(Req.Body, Body);
}

TEST(HttpClient, GetReturnsTheBodyWhateverTheStatus) {
  TFakeHttpServer Server;
  Server.Enqueue({500, R"({"error":{"message":"boom"}})"});
  Server.Enqueue({404, "not here", "text/plain"});
  THttpClient Client;  // one client, several requests
  THttpResponse R = Client.Get(Server.BaseUrl() + "/v8/finance/chart/005930.KS?range=1d",
                               {{"User-Agent", "Mozilla/5.0"}});
  EXPECT_EQ(R.StatusCode, 500);
  EXPECT_EQ(R.StatusText, "Internal Server Error");
  EXPECT_EQ(R.Body, R"({"error":{"message":"boom"}})");
  EXPECT_EQ(Server.LastRequest().Method, "GET");
  EXPECT_EQ(Server.LastRequest().Header("user-agent"), "Mozilla/5.0");

  R = Client.Get(Server.BaseUrl() + "/x");
  EXPECT_EQ(R.StatusCode, 404);
  EXPECT_EQ(R.Body, "not here");
  EXPECT_EQ(Server.LastRequest().Body, "");
}

TEST(HttpClient, TransportFailuresThrowWithADescription) {
  THttpClient Client;
  try {
    Client.Get("http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/");
    FAIL() << "connection should be refused";
  } catch (const EHttpError& E) {
    EXPECT_NE(std::string(E.what()).find("connect"), std::string::npos) << E.what();
  }

  TSilentListener Silent;
  Client.SetResponseTimeout(std::chrono::milliseconds(1000));
  try {
    Client.Post(Silent.BaseUrl() + "/v1/chat/completions", "{}");
    FAIL() << "the request should time out";
  } catch (const EHttpError& E) {
    EXPECT_NE(std::string(E.what()).find("Timeout"), std::string::npos) << E.what();
  }

  EXPECT_THROW(Client.Get("notascheme://x"), EHttpError);
}

TEST(Endpoints, DefaultsAreHttpsAndEnvironmentOverrides) {
  for (TService S : {TService::Gemini, TService::OpenAI, TService::DeepSeek, TService::Anthropic,
                     TService::Tavily, TService::YahooChart, TService::YahooSummary,
                     TService::YahooCookie, TService::Dart, TService::DartViewer, TService::Krx}) {
    std::string Var(EndpointEnvVar(S));
    unsetenv(Var.c_str());
    EXPECT_EQ(EndpointBase(S).rfind("https://", 0), 0u) << Var;
  }
  setenv("KESTRILL_OPENAI_URL", "http://127.0.0.1:8080/", 1);
  EXPECT_EQ(EndpointUrl(TService::OpenAI, "/v1/chat/completions"),
            "http://127.0.0.1:8080/v1/chat/completions");
  unsetenv("KESTRILL_OPENAI_URL");
  EXPECT_EQ(EndpointUrl(TService::Anthropic, "/v1/messages"),
            "https://api.anthropic.com/v1/messages");
}

TEST(HttpClient, ACancelledTaskAbandonsItsRequest) {
  TSilentListener Silent;
  std::stop_source Stop;
  std::thread Canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Stop.request_stop();
  });
  auto Start = std::chrono::steady_clock::now();
  try {
    THttpCancelScope Scope(Stop.get_token());
    THttpClient().Post(Silent.BaseUrl() + "/slow", "{}");
    ADD_FAILURE() << "the request should have been cancelled";
  } catch (const EHttpError& E) {
    EXPECT_STREQ(E.what(), "요청이 취소되었습니다");
  }
  Canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(900));
}

TEST(HttpClient, HostileRepliesEndWithinTheirTimeOuts) {
  using std::chrono::milliseconds;
  const std::string Head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n";
  struct TCase {
    const char* Name;
    std::vector<TScriptStep> Script;
    const char* Want;  // part of the error
  };
  std::vector<TScriptStep> Drip{{Head, milliseconds(0)}};
  for (int I = 0; I < 100; ++I) Drip.push_back({"x", milliseconds(100)});  // each byte in time
  const std::vector<TCase> Cases{
      {"drips one byte at a time", Drip, "took longer than 1500 ms"},
      {"lies about its length and holds the line",
       {{Head + "{\"a\":1}", milliseconds(0)}},
       "no response within 500 ms"},
  };
  for (const TCase& C : Cases) {
    TScriptedServer Server(C.Script, milliseconds(10000));
    THttpClient Client;
    Client.SetResponseTimeout(milliseconds(500));
    Client.SetTotalTimeout(milliseconds(1500));
    try {
      Client.Get(Server.BaseUrl() + "/");
      ADD_FAILURE() << C.Name;
    } catch (const EHttpError& E) {
      EXPECT_NE(std::string(E.what()).find(C.Want), std::string::npos)
          << C.Name << ": " << E.what();
    }
  }
}

TEST(HttpClient, RedirectsFollowThePolicyAndNeverCarryHeadersElsewhere) {
  TFakeHttpServer Home, Elsewhere;
  Elsewhere.SetDefault({200, "elsewhere"});
  Home.SetRoute("/same", {200, "same"});
  TCannedResponse ToHome(302, "");
  ToHome.Headers = {{"Location", Home.BaseUrl() + "/same"}};
  TCannedResponse Away(302, "");
  Away.Headers = {{"Location", Elsewhere.BaseUrl() + "/steal"}};
  Home.SetRoute("/to-home", ToHome);
  Home.SetRoute("/away", Away);
  const THttpHeaders Secret{{"x-api-key", "secret"}};

  struct TCase {
    TRedirects Policy;
    const char* Path;
    long WantStatus;
    std::size_t WantElsewhere;
  };
  const TCase Cases[] = {
      {TRedirects::SameOrigin, "/to-home", 200, 0},  // same host and port: followed
      {TRedirects::SameOrigin, "/away", 302, 0},     // another port: not followed
      {TRedirects::Never, "/to-home", 302, 0},
      {TRedirects::Never, "/away", 302, 0},
  };
  for (const TCase& C : Cases) {
    THttpClient Client;
    Client.SetRedirects(C.Policy);
    THttpResponse R = Client.Post(Home.BaseUrl() + C.Path, "{}", Secret);
    EXPECT_EQ(R.StatusCode, C.WantStatus) << C.Path;
    EXPECT_EQ(Elsewhere.RequestCount(), C.WantElsewhere) << C.Path;
  }
  EXPECT_EQ(UrlOrigin("HTTPS://Api.Example.com/v1?x=1"), "https://api.example.com:443");
  EXPECT_EQ(UrlOrigin("http://127.0.0.1:8080/a"), "http://127.0.0.1:8080");
}

TEST(HttpClient, TheBodyObserverSeesEachPieceAsItArrives) {
  using std::chrono::milliseconds;
  const std::string Head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n";
  TScriptedServer Server({{Head, milliseconds(0)},
                          {"data: 1\n\n", milliseconds(150)},
                          {"data: 2\n\n", milliseconds(150)},
                          {"data: [DONE]\n\n", milliseconds(0)}},
                         milliseconds(0));
  THttpClient Client;
  std::vector<std::string> Pieces;
  Client.SetBodyObserver([&](std::string_view APiece) { Pieces.emplace_back(APiece); });
  THttpResponse R = Client.Post(Server.BaseUrl() + "/", "{}");
  EXPECT_EQ(R.Body, "data: 1\n\ndata: 2\n\ndata: [DONE]\n\n");
  std::string Joined;
  for (const std::string& P : Pieces) Joined += P;
  EXPECT_EQ(Joined, R.Body);
  EXPECT_GE(Pieces.size(), 2u);  // the pauses split the body

  // What the observer throws ends the exchange and reaches the caller.
  TScriptedServer Endless({{Head + "data: 1\n\n", milliseconds(0)}}, milliseconds(10000));
  THttpClient Stopping;
  Stopping.SetBodyObserver([](std::string_view) { throw std::runtime_error("enough"); });
  try {
    Stopping.Get(Endless.BaseUrl() + "/");
    ADD_FAILURE();
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "enough");
  }
}

TEST(HttpClient, AReplyPastItsLimitEndsTheExchangeWithAClearError) {
  using std::chrono::milliseconds;
  const std::string Ok = "HTTP/1.1 200 OK\r\n";
  // Each brings far more than the limit and would then hold the line for 10 s.
  auto Endless = [](std::string AHead, const std::string& APiece) {
    std::vector<TScriptStep> Script{{std::move(AHead), milliseconds(0)}};
    for (int I = 0; I < 64; ++I) Script.push_back({APiece, milliseconds(0)});
    return Script;
  };
  std::string Comments, Padding;
  while (Comments.size() < 4096) Comments += ": keep-alive\n\n";
  while (Padding.size() < 4096) Padding += "X-Padding: 0123456789abcdef0123456789abcdef\r\n";
  const struct {
    const char* Name;
    std::vector<TScriptStep> Script;
  } Cases[] = {
      {"endless comments of a stream",
       Endless(Ok + "Content-Type: text/event-stream\r\n\r\n", Comments)},
      {"an endless body",
       Endless(Ok + "Content-Type: application/json\r\n\r\n", std::string(4096, 'x'))},
      {"one endless line",
       Endless(Ok + "Content-Type: application/json\r\n\r\n{\"a\":\"", std::string(4096, 'x'))},
      {"endless headers", Endless(Ok, Padding)},
  };
  for (const auto& C : Cases) {
    for (bool Kept : {true, false}) {
      SCOPED_TRACE(std::string(C.Name) + (Kept ? ", kept" : ", only observed"));
      TScriptedServer Server(C.Script, milliseconds(10000));
      THttpClient Client;
      Client.SetBodyLimit(64 << 10);
      std::size_t Observed = 0;
      if (!Kept) Client.SetBodyObserver([&](std::string_view P) { Observed += P.size(); }, false);
      try {
        Client.Get(Server.BaseUrl() + "/");
        ADD_FAILURE() << "the reply should have been refused";
      } catch (const EHttpError& E) {
        EXPECT_STREQ(E.what(), "서버 응답이 너무 커서 받기를 중단했습니다 (64 KB 초과, HTTP 200).");
      }
      EXPECT_LE(Observed, std::size_t{64} << 10);
    }
  }
}

TEST(HttpClient, TheLimitCountsEveryByteOfTheReplyAndStartsAtTheToolLimit) {
  const std::string Head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n";
  const std::string Body(1000, 'x');
  for (std::size_t Limit : {Head.size() + Body.size(), Head.size() + Body.size() - 1}) {
    TScriptedServer Server({{Head + Body, std::chrono::milliseconds(0)}},
                           std::chrono::milliseconds(0));
    THttpClient Client;
    Client.SetBodyLimit(Limit);
    std::string Seen;
    Client.SetBodyObserver([&](std::string_view P) { Seen += P; }, false);
    if (Limit == Head.size() + Body.size()) {
      const THttpResponse R = Client.Get(Server.BaseUrl() + "/");
      EXPECT_EQ(R.Body, "");  // only observed
      EXPECT_EQ(Seen, Body);
    } else {
      EXPECT_THROW(Client.Get(Server.BaseUrl() + "/"), EHttpError);
    }
  }

  EXPECT_EQ(ProviderReplyLimit(), std::size_t{32} << 20);
  EXPECT_EQ(ToolBodyLimit(), std::size_t{8} << 20);
  SetResponseLimits(0, 1000);
  TFakeHttpServer Server;
  Server.SetDefault({200, std::string(2000, 'x')});
  try {
    THttpClient().Get(Server.BaseUrl() + "/");
    ADD_FAILURE() << "a new client should start at the tool limit";
  } catch (const EHttpError& E) {
    EXPECT_STREQ(E.what(),
                 "서버 응답이 너무 커서 받기를 중단했습니다 (1000 바이트 초과, HTTP 200).");
  }
  SetResponseLimits(0, 0);
  EXPECT_EQ(ProviderReplyLimit(), std::size_t{32} << 20);
  EXPECT_EQ(ToolBodyLimit(), std::size_t{8} << 20);
}
