// What the program keeps of a reply is bounded: a model's reply (streamed or not) and a tool's
// reply that bring more than their limit end the exchange with a Korean error saying so, however
// the bytes come (keep-alive comments, one endless line, a body without end).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "ScriptedServer.h"
#include "agent/ResponseParser.h"
#include "agent/WebSearch.h"
#include "core/HttpClient.h"
#include "providers/PlainCalls.h"
#include "providers/ProviderHttp.h"
#include "providers/ToolCalls.h"
#include "tools/ToolHttp.h"

using namespace kestrill;
using namespace kestrill::testing;
using std::chrono::milliseconds;

namespace {

const std::string kTooLarge = "서버 응답이 너무 커서 받기를 중단했습니다 (64 KB 초과, HTTP 200).";

struct THostile {
  const char* Name;
  std::vector<TScriptStep> Script;
};

// Replies that each bring 256 KB and would then hold the line.
std::vector<THostile> HostileReplies() {
  auto Endless = [](const char* AType, std::string AStart, const std::string& APiece) {
    std::vector<TScriptStep> Script{
        {std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + AType + "\r\n\r\n" + AStart,
         milliseconds(0)}};
    for (int I = 0; I < 64; ++I) Script.push_back({APiece, milliseconds(0)});
    return Script;
  };
  std::string Comments;
  while (Comments.size() < 4096) Comments += ": keep-alive\n\n";
  return {
      {"keep-alive comments without end", Endless("text/event-stream", "", Comments)},
      {"one line without end",
       Endless("text/event-stream", "data: {\"a\":\"", std::string(4096, 'x'))},
      {"a body without end", Endless("application/json", "", std::string(4096, ' '))},
  };
}

class ReplyLimits : public ::testing::Test {
 protected:
  void SetUp() override { SetResponseLimits(64 << 10, 64 << 10); }
  void TearDown() override {
    SetResponseLimits(0, 0);
    unsetenv("KESTRILL_OPENAI_URL");
    unsetenv("KESTRILL_TAVILY_URL");
  }
  const TChatHistory History{CreateChatMessage("user", "질문")};
};

}  // namespace

TEST_F(ReplyLimits, AModelsReplyPastTheLimitEndsTheTurnSayingSo) {
  for (const THostile& H : HostileReplies()) {
    for (bool Live : {false, true}) {
      SCOPED_TRACE(std::string(H.Name) + (Live ? ", streamed" : ""));
      std::vector<std::string> Texts;
      std::unique_ptr<TLiveReplyScope> Scope;
      if (Live)
        Scope =
            std::make_unique<TLiveReplyScope>([&](const std::string& T) { Texts.push_back(T); });
      {
        TScriptedServer Server(H.Script, milliseconds(20000));
        setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
        EXPECT_EQ(CallOpenAIAPI(History, "key", "m"),
                  (TPlainReply{TReplyStatus::Failed, "네트워크 통신 에러: " + kTooLarge}));
      }
      {
        TScriptedServer Server(H.Script, milliseconds(20000));
        setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
        const TAIResponse R = TAIResponseParser::Parse(
            aiOpenAI, CallOpenAIToolsAPI(History, "key", "m", TOpenAPIToolManager()));
        EXPECT_FALSE(R.IsSuccess);
        EXPECT_EQ(R.ErrorMessage, "OpenAI 에러: " + kTooLarge);
      }
      EXPECT_TRUE(Texts.empty());
    }
  }
}

TEST_F(ReplyLimits, AToolsReplyPastTheLimitIsRefusedSayingSo) {
  for (const THostile& H : HostileReplies()) {
    SCOPED_TRACE(H.Name);
    {
      TScriptedServer Server(H.Script, milliseconds(20000));
      try {
        ToolGet(Server.BaseUrl() + "/v8/finance/chart/005930.KS");
        ADD_FAILURE() << "the reply should have been refused";
      } catch (const EHttpError& E) {
        EXPECT_EQ(E.what(), kTooLarge);
      }
    }
    TScriptedServer Server(H.Script, milliseconds(20000));
    setenv("KESTRILL_TAVILY_URL", Server.BaseUrl().c_str(), 1);
    EXPECT_EQ(SearchWeb("삼성전자", "key"), "검색 중 오류 발생: " + kTooLarge);
  }
}
