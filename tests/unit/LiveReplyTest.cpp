// Live replies: with the setting on, every provider's reply streams into a bubble of its own,
// and the finished reply, the conversation and the turn's end are what they are without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "RecordingView.h"
#include "ScriptedServer.h"
#include "TestEnv.h"
#include "engine/ChatController.h"
#include "providers/ProviderHttp.h"
#include "view/PageText.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

const std::vector<std::string> kPieces = {"삼성전자 ", "**종가**는 ", "71,500원입니다."};
const std::string kReply = "삼성전자 **종가**는 71,500원입니다.";

std::string Sse(const std::vector<std::string>& AData) {
  std::string Out;
  for (const std::string& D : AData) Out += "data: " + D + "\n\n";
  return Out;
}

// The reply as each provider streams it.
std::string StreamOf(int AProvider) {
  std::vector<std::string> Events;
  switch (AProvider) {
    case 0:  // Gemini
      for (std::size_t I = 0; I < kPieces.size(); ++I)
        Events.push_back(R"({"candidates":[{"content":{"parts":[{"text":")" + kPieces[I] +
                         R"("}],"role":"model"})" +
                         (I + 1 == kPieces.size() ? R"(,"finishReason":"STOP")" : "") + "}]}");
      return Sse(Events);
    case 1:  // OpenAI
    case 3:  // DeepSeek
      for (const std::string& P : kPieces)
        Events.push_back(R"({"choices":[{"index":0,"delta":{"content":")" + P + R"("}}]})");
      Events.push_back(R"({"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})");
      return Sse(Events) + "data: [DONE]\n\n";
    case 2: {  // Claude
      std::string Out =
          "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"m\","
          "\"role\":\"assistant\",\"content\":[]}}\n\nevent: content_block_start\ndata: "
          "{\"type\":\"content_block_start\",\"index\":0,\"content_block\":{\"type\":\"text\","
          "\"text\":\"\"}}\n\n";
      for (const std::string& P : kPieces)
        Out += "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,"
               "\"delta\":{\"type\":\"text_delta\",\"text\":\"" + P + "\"}}\n\n";
      return Out + "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
    }
    default: {  // Ollama
      std::string Out;
      for (const std::string& P : kPieces)
        Out += R"({"message":{"role":"assistant","content":")" + P + R"("},"done":false})" "\n";
      return Out + R"({"message":{"role":"assistant","content":""},"done":true})" "\n";
    }
  }
}

// A window's worth of fakes around a controller whose page has loaded.
struct TShell {
  explicit TShell(TConfig& AConfig) : Controller(AConfig, View, Queue, Dialogs, Controls) {
    Controller.SetSaveAfterTurn(false);
    Controller.FormCreate();
    Controller.ChatWebBrowserDidFinishLoad();
  }
  void Send(const std::string& APrompt) {
    Controls.Prompt = APrompt;
    Controller.btnSendClick();
  }
  void Finish() {
    while (Controller.TurnRunning()) ASSERT_TRUE(Queue.RunNext());
  }
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  TChatController Controller;
};

class LiveReplyTest : public ::testing::TestWithParam<std::tuple<int, int>> {
 protected:
  std::string Home = UseFreshDataFolder();
  TConfig Config{Home + "/Kestrill.Ini"};
  TFakeHttpServer Server;

  void SetUp() override {
    setenv("TMPDIR", Home.c_str(), 1);
    for (const char* Var : {"KESTRILL_GEMINI_URL", "KESTRILL_OPENAI_URL", "KESTRILL_ANTHROPIC_URL",
                            "KESTRILL_DEEPSEEK_URL"})
      setenv(Var, Server.BaseUrl().c_str(), 1);
    for (auto Key : {keys::GeminiKey, keys::OpenAIKey, keys::ClaudeKey, keys::DeepseekKey})
      Config.Write(Key, "key");
    Config.Write(keys::OllamaURL, Server.BaseUrl() + "/api/chat");
  }
  void TearDown() override { unsetenv("TMPDIR"); }
};

}  // namespace

TEST_P(LiveReplyTest, TheReplyGrowsInItsOwnBubbleAndEndsAsWithoutStreaming) {
  const auto [Provider, Mode] = GetParam();
  Config.Write(keys::Stream, true);
  Server.SetDefault({200, StreamOf(Provider), Provider == 4 ? "application/x-ndjson" : "text/event-stream"});
  TShell Shell(Config);
  Shell.Controls.Provider = Provider;
  Shell.Controls.Mode = Mode;
  Shell.View.Scripts.clear();
  Shell.Send("종가는?");
  Shell.Finish();
  const auto& View = Shell.View;
  const auto& Controller = Shell.Controller;

  // What went out asked for a stream.
  const TRecordedRequest R = Server.LastRequest();
  if (Provider == 0) {
    EXPECT_NE(R.Path.find(":streamGenerateContent"), std::string::npos) << R.Path;
    EXPECT_EQ(R.Query.rfind("alt=sse&key=key", 0), 0u) << R.Query;
  } else {
    EXPECT_NE(R.Body.find("\"stream\":true"), std::string::npos) << R.Body;
  }
  // The reply grew in its own bubble, which went before the finished reply was drawn.
  std::size_t Live = 0, Removed = std::string::npos, Final = std::string::npos;
  for (std::size_t I = 0; I < View.Scripts.size(); ++I) {
    const std::string& S = View.Scripts[I];
    if (S.rfind("updateLiveReply(", 0) == 0) ++Live;
    if (S == "removeLiveReply();") Removed = I;
    if (S.rfind("appendChat(false", 0) == 0) Final = I;
  }
  EXPECT_GE(Live, 1u);
  ASSERT_NE(Removed, std::string::npos);
  ASSERT_NE(Final, std::string::npos);
  EXPECT_LT(Removed, Final);
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  EXPECT_EQ(Controller.ChatHistory()[1].Text, kReply);
  EXPECT_TRUE(Shell.Dialogs.Alarms.empty());
}

INSTANTIATE_TEST_SUITE_P(EveryProviderAndMode, LiveReplyTest,
                         ::testing::Combine(::testing::Range(0, 5), ::testing::Values(0, 1)));

TEST(LiveReply, OffByDefaultTheRequestIsUnchanged) {
  const std::string Home = UseFreshDataFolder();
  TConfig Config(Home + "/Kestrill.Ini");
  TFakeHttpServer Server;
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  Config.Write(keys::OpenAIKey, "key");
  Server.SetDefault({200, R"({"choices":[{"message":{"content":"답"}}]})"});
  TShell Shell(Config);
  Shell.Send("질문");
  Shell.Finish();
  EXPECT_EQ(Server.LastRequest().Body.find("\"stream\""), std::string::npos);
  for (const std::string& S : Shell.View.Scripts)
    EXPECT_EQ(S.find("LiveReply"), std::string::npos) << S;
  unsetenv("KESTRILL_OPENAI_URL");
}

TEST(LiveReply, StopMidStreamKeepsWhatWasShownAndSaysItStopped) {
  using std::chrono::milliseconds;
  const std::string Home = UseFreshDataFolder();
  TConfig Config(Home + "/Kestrill.Ini");
  // The first pieces arrive, then the server holds the line.
  TScriptedServer Server(
      {{"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n"
        "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"삼성\"}}]}\n\n",
        milliseconds(0)}},
      milliseconds(20000));
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::Stream, true);
  TShell Shell(Config);
  Shell.Send("질문");
  auto& View = Shell.View;
  auto& Controller = Shell.Controller;
  auto Grew = [&] {
    for (const std::string& S : View.Scripts)
      if (S.rfind("updateLiveReply(", 0) == 0) return true;
    return false;
  };
  while (!Grew()) ASSERT_TRUE(Shell.Queue.RunNext());
  Controller.StopCommand();
  EXPECT_FALSE(Controller.TurnRunning());
  // The live bubble gives way to the part of the answer the user saw, stored as the model's
  // reply (so the next request is still one every provider takes), then the status line.
  const auto Removed = std::find(View.Scripts.begin(), View.Scripts.end(), "removeLiveReply();");
  ASSERT_NE(Removed, View.Scripts.end());
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  const TChatMessage& Partial = Controller.ChatHistory()[1];
  EXPECT_EQ(Partial.Role, "model");
  EXPECT_EQ(Partial.Text, "삼성");
  EXPECT_EQ(std::vector<std::string>(Removed + 1, View.Scripts.end()),
            (std::vector<std::string>{
                "appendChat(false, \"" + Partial.MsgID + "\", \"%EC%82%BC%EC%84%B1\");",
                "appendChat(false, \"\", \"%EC%A4%91%EC%A7%80%EB%90%98%EC%97%88%EC%8A%B5%EB%8B%88%EB%8B%A4.\");",
                "endTurnLines(true);"}));
  Controller.Shutdown();
  unsetenv("KESTRILL_OPENAI_URL");
}

TEST(LiveReply, HostileStreamsEndAsTheSameRepliesUnstreamed) {
  const std::string Home = UseFreshDataFolder();
  TConfig Config(Home + "/Kestrill.Ini");
  TFakeHttpServer Server, Yahoo;
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  for (const char* Var :
       {"KESTRILL_YAHOO_CHART_URL", "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
    setenv(Var, Yahoo.BaseUrl().c_str(), 1);
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::OllamaURL, Server.BaseUrl() + "/api/chat");
  Config.Write(keys::Stream, true);

  // Ollama lines whose "error" says nothing: every piece of the reply is kept.
  std::string Lines;
  for (const char* Piece : {"안녕", "하세", "요"})
    Lines += R"({"message":{"role":"assistant","content":")" + std::string(Piece) +
             R"("},"done":false,"error":false})" "\n";
  Lines += R"({"message":{"role":"assistant","content":""},"done":true,"error":""})" "\n";
  Server.SetDefault({200, Lines, "application/x-ndjson"});
  for (int Mode : {0, 1}) {
    TShell Shell(Config);
    Shell.Controls.Provider = 4;
    Shell.Controls.Mode = Mode;
    Shell.Send("인사해 줘");
    Shell.Finish();
    ASSERT_EQ(Shell.Controller.ChatHistory().size(), 2u) << Mode;
    EXPECT_EQ(Shell.Controller.ChatHistory()[1].Text, "안녕하세요") << Mode;
  }

  // Two calls numbered 0 and 2^31: the reply is refused whole and no tool runs.
  const std::string Call = R"({"choices":[{"index":0,"delta":{"tool_calls":[{"index":)";
  Server.SetDefault(
      {200,
       Sse({Call + R"(0,"id":"c1","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"AAPL\"}"}}]}}]})",
            Call + R"(2147483648,"id":"c2","function":{"name":"get_yahoo_price","arguments":"{}"}}]}}]})",
            R"({"choices":[{"index":0,"delta":{},"finish_reason":"tool_calls"}]})"}) +
           "data: [DONE]\n\n",
       "text/event-stream"});
  TShell Shell(Config);
  Shell.Controls.Provider = 1;
  Shell.Controls.Mode = 1;
  Shell.Send("애플 주가는?");
  Shell.Finish();
  EXPECT_EQ(Yahoo.RequestCount(), 0u);
  for (const TChatMessage& M : Shell.Controller.ChatHistory()) EXPECT_FALSE(M.HasToolCall);
  const std::string Shown =
      EncodeForPage("OpenAI 에러: 스트림의 도구 호출 번호(2147483648)가 0~31 범위를 벗어났습니다.");
  EXPECT_TRUE(
      std::any_of(Shell.View.Scripts.begin(), Shell.View.Scripts.end(),
                  [&](const std::string& S) { return S.find(Shown) != std::string::npos; }));
  for (const char* Var : {"KESTRILL_OPENAI_URL", "KESTRILL_YAHOO_CHART_URL",
                          "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
    unsetenv(Var);
}

TEST(LiveReply, AModelRefusedStreamingIsAskedAgainWithoutItAndSaidOnce) {
  const std::string Home = UseFreshDataFolder();
  TConfig Config(Home + "/Kestrill.Ini");
  TFakeHttpServer Server;
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::Stream, true);
  const TCannedResponse Refused{
      400,
      R"({"error":{"message":"Your organization must be verified to stream this model. Please go to: https://platform.example/settings","type":"invalid_request_error","param":"stream","code":"unsupported_value"}})"};
  const TCannedResponse Plain{200, R"({"choices":[{"message":{"content":"답"}}]})"};
  Config.Write(keys::OpenAIModel, std::string("o3-pro"));
  const std::string Notice = UnstreamedModelNotice("o3-pro");
  for (int Mode : {0, 1}) {
    SCOPED_TRACE(Mode);
    ForgetUnstreamedModels();
    TShell Shell(Config);
    Shell.Controls.Provider = 1;
    Shell.Controls.Mode = Mode;
    // The first question: refused streamed, answered unstreamed, said once.
    Server.Enqueue(Refused);
    Server.Enqueue(Plain);
    const std::size_t Before = Server.RequestCount();
    Shell.Send("질문");
    Shell.Finish();
    ASSERT_EQ(Server.RequestCount(), Before + 2);
    EXPECT_EQ(Server.LastRequest().Body.find("\"stream\""), std::string::npos);
    ASSERT_EQ(Shell.Controller.ChatHistory().size(), 2u);
    EXPECT_EQ(Shell.Controller.ChatHistory()[1].Text, "답");
    const std::string NoticeScript = "appendChat(false, \"\", \"" + EncodeForPage(Notice) + "\");";
    EXPECT_EQ(std::count(Shell.View.Scripts.begin(), Shell.View.Scripts.end(), NoticeScript), 1);
    // The next goes unstreamed at once, without saying it again.
    Server.Enqueue(Plain);
    Shell.Send("또");
    Shell.Finish();
    EXPECT_EQ(Server.RequestCount(), Before + 3);
    EXPECT_EQ(Server.LastRequest().Body.find("\"stream\""), std::string::npos);
    EXPECT_EQ(std::count(Shell.View.Scripts.begin(), Shell.View.Scripts.end(), NoticeScript), 1);
  }
  // Any other refusal is the answer, streamed or not: not sent twice.
  ForgetUnstreamedModels();
  TShell Shell(Config);
  Shell.Controls.Provider = 1;
  Shell.Controls.Mode = 0;
  Server.Enqueue({400, R"({"error":{"message":"Invalid model"}})"});
  const std::size_t Before = Server.RequestCount();
  Shell.Send("질문");
  Shell.Finish();
  EXPECT_EQ(Server.RequestCount(), Before + 1);
  EXPECT_NE(Server.LastRequest().Body.find("\"stream\":true"), std::string::npos);
  ForgetUnstreamedModels();
  unsetenv("KESTRILL_OPENAI_URL");
}
