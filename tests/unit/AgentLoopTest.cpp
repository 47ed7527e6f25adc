// Agent turns through the controller: every provider's tool round trip against servers on
// 127.0.0.1, the order of bubbles and messages, and every way a turn ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "RecordingView.h"
#include "TestEnv.h"
#include "core/JsonPath.h"
#include "engine/ChatController.h"
#include "providers/RequestBody.h"
#include "tools/YahooFinance.h"
#include "view/PageText.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

const std::string kChart =
    R"({"chart":{"result":[{"meta":{"symbol":"005930.KS","regularMarketPrice":80500}}],"error":null}})";
const std::string kArgs = R"({"ticker":"005930.KS","date_range":"5d","interval":"1d"})";

class AgentLoopTest : public ::testing::Test {
 protected:
  std::string Dir = UseFreshDataFolder();
  TConfig Config{Dir + "/Kestrill.Ini"};
  TFakeHttpServer Provider, Yahoo;
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  std::unique_ptr<TChatController> Controller =
      std::make_unique<TChatController>(Config, View, Queue, Dialogs, Controls);

  void SetUp() override {
    setenv("TMPDIR", Dir.c_str(), 1);
    for (const char* Var : {"KESTRILL_GEMINI_URL", "KESTRILL_OPENAI_URL", "KESTRILL_DEEPSEEK_URL",
                            "KESTRILL_ANTHROPIC_URL"})
      setenv(Var, Provider.BaseUrl().c_str(), 1);
    for (const char* Var :
         {"KESTRILL_YAHOO_CHART_URL", "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
      setenv(Var, Yahoo.BaseUrl().c_str(), 1);
    Yahoo.SetRoute("/v8/finance/chart/005930.KS", {200, kChart});
    for (auto K : {keys::GeminiKey, keys::OpenAIKey, keys::ClaudeKey, keys::DeepseekKey})
      Config.Write(K, "key");
    Config.Write(keys::OllamaURL, Provider.BaseUrl() + "/api/chat");
    Controls.Mode = 1;
    Controller->ChatWebBrowserDidFinishLoad();
  }
  void TearDown() override {
    Controller.reset();
    unsetenv("TMPDIR");
  }
  // Sends APrompt and runs the UI side of the turn until the send button is back.
  void Turn(const std::string& APrompt) {
    Controls.Prompt = APrompt;
    Controller->btnSendClick();
    while (!Controls.Send)
      if (!Queue.RunNext()) FAIL() << "the turn did not end";
  }
  std::vector<std::string> Roles() {
    std::vector<std::string> Out;
    for (const auto& M : Controller->ChatHistory())
      Out.push_back(M.Role + (M.HasToolCall ? "*" : ""));
    return Out;
  }
  std::string LastBubble() {  // the text of the last appendChat script
    for (auto It = View.Scripts.rbegin(); It != View.Scripts.rend(); ++It)
      if (It->rfind("appendChat(", 0) == 0) return *It;
    return {};
  }
  // The message id in an appendChat script (the user's bubble is the first script of a turn).
  static std::string ScriptIdOf(const std::string& AScript) {
    auto Start = AScript.find('"') + 1;
    return AScript.substr(Start, AScript.find('"', Start) - Start);
  }
  std::string Bubble(const std::string& AText, const std::string& AId = "") {
    return "appendChat(false, " + EscapeForJS(AId) + ", \"" + EncodeForPage(AText) + "\");";
  }
};

}  // namespace

TEST_F(AgentLoopTest, EveryProviderRunsAToolAndSendsItsResultBackInItsOwnShape) {
  const std::string Escaped = CompactJson(TJson(kChart));
  const std::string OpenAIArgs = CompactJson(TJson(kArgs));
  struct TCase {
    int Index;
    std::string First, Final;
    const char* Container;  // where the messages are in the second request
    std::string CallElement, ResultElement;
  };
  const TCase Cases[] = {
      {0,
       R"({"candidates":[{"content":{"role":"model","parts":[{"functionCall":{"name":"get_yahoo_price","args":)" +
           kArgs + R"(,"id":"fc1"}}]}}]})",
       R"({"candidates":[{"content":{"parts":[{"text":"최종 답"}]}}]})", "contents",
       R"({"role":"model","parts":[{"functionCall":{"name":"get_yahoo_price","args":)" + kArgs +
           R"(,"id":"fc1"}}]})",
       R"({"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":)" +
           Escaped + R"(},"id":"fc1"}}]})"},
      {1,
       R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           OpenAIArgs + "}}]}}]}",
       R"({"choices":[{"message":{"content":"최종 답"}}]})", "messages",
       R"({"role":"assistant","tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           OpenAIArgs + "}}]}",
       R"({"role":"tool","tool_call_id":"call_1","content":)" + Escaped + "}"},
      {2,
       R"({"content":[{"type":"tool_use","id":"toolu_1","name":"get_yahoo_price","input":)" +
           kArgs + "}]}",
       R"({"content":[{"type":"text","text":"최종 답"}]})", "messages",
       R"({"role":"assistant","content":[{"type":"tool_use","id":"toolu_1","name":"get_yahoo_price","input":)" +
           kArgs + "}]}",
       R"({"role":"user","content":[{"type":"tool_result","tool_use_id":"toolu_1","content":)" +
           Escaped + "}]}"},
      {3,
       R"({"choices":[{"message":{"content":"","reasoning_content":"생각","tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           OpenAIArgs + "}}]}}]}",
       R"({"choices":[{"message":{"content":"최종 답"}}]})", "messages",
       R"({"role":"assistant","reasoning_content":"생각","tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           OpenAIArgs + "}}]}",
       R"({"role":"tool","tool_call_id":"call_1","content":)" + Escaped + "}"},
      {4,
       R"({"message":{"role":"assistant","content":"","tool_calls":[{"id":"t1","function":{"name":"get_yahoo_price","arguments":)" +
           kArgs + "}}]}}",
       R"({"message":{"content":"최종 답"}})", "messages",
       R"({"role":"assistant","tool_calls":[{"id":"t1","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           kArgs + "}}]}",
       R"({"role":"tool","tool_call_id":"t1","content":)" + Escaped + "}"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Index);
    Controller->NewChat();
    Controls.Send = true;
    View.Scripts.clear();
    std::size_t Before = Provider.RequestCount();
    Controls.Provider = C.Index;
    Provider.Enqueue({200, C.First});
    Provider.Enqueue({200, C.Final});
    Turn("삼성전자 주가?");
    ASSERT_EQ(Provider.RequestCount(), Before + 2);
    auto Second = ParseJson(Provider.LastRequest().Body);
    ASSERT_TRUE(Second);
    const TJson& List = (*Second)[C.Container];
    ASSERT_GE(List.size(), 3u);
    EXPECT_EQ(CompactJson(List[List.size() - 2]), C.CallElement);
    EXPECT_EQ(CompactJson(List[List.size() - 1]), C.ResultElement);
    EXPECT_EQ(Roles(), (std::vector<std::string>{"user", "assistant*", "tool*", "assistant"}));
    const auto& H = Controller->ChatHistory();
    EXPECT_EQ(H[2].Text, kChart);
    EXPECT_EQ(H[3].Text, "최종 답");
    // The turn ends (its lines finished), then the answer gets its sources: the tool, its
    // arguments, its result.
    ASSERT_GE(View.Scripts.size(), 3u);
    EXPECT_EQ(View.Scripts[View.Scripts.size() - 3], "removeLoading();");
    EXPECT_EQ(View.Scripts[View.Scripts.size() - 2], "endTurnLines(false);");
    EXPECT_EQ(View.Scripts.back().rfind("appendSources(\"" + H[3].MsgID + "\", \"[{\\\"tool\\\":\\\"get_yahoo_price\\\"", 0), 0u)
        << View.Scripts.back();
    EXPECT_EQ(LastBubble(), Bubble("최종 답", H[3].MsgID));
  }
}

TEST_F(AgentLoopTest, TextAndThreeCallsKeepTheirOrder) {
  Controls.Provider = 1;
  auto Call = [](const char* AId, const char* AName, const std::string& AArgs) {
    return std::string(R"({"id":")") + AId + R"(","type":"function","function":{"name":")" + AName +
           R"(","arguments":)" + CompactJson(TJson(AArgs)) + "}}";
  };
  Provider.Enqueue(
      {200, R"({"choices":[{"message":{"content":" 조회하겠습니다. ","tool_calls":[)" +
                Call("c1", "get_yahoo_price", kArgs) + "," + Call("c2", "Get_Yahoo_Price", kArgs) +
                "," +
                Call("c3", "draw_stock_chart",
                     R"({"chartTitle":"삼성","timestamps":"[\"a\"]","prices":"[1]"})") +
                "]}}]}"});
  Provider.Enqueue({200, R"({"choices":[{"message":{"content":"끝"}}]})"});
  Turn("q");
  EXPECT_EQ(Roles(),
            (std::vector<std::string>{"user", "assistant", "assistant*", "tool*", "assistant*",
                                      "tool*", "assistant*", "tool*", "assistant"}));
  const auto& H = Controller->ChatHistory();
  EXPECT_EQ(H[1].Text, "조회하겠습니다.");
  EXPECT_EQ(H[5].Text, "도구 실행 실패 또는 알 수 없는 도구입니다.");  // names are case-sensitive
  EXPECT_EQ(H[7].Text, kChartDrawnText);  // a result no service refuses as empty
  // Bubbles: the text first, then one line per call, the chart in between, the answer last.
  std::vector<std::string> Chats;
  for (const auto& S : View.Scripts)
    if (S.rfind("appendChat(false", 0) == 0 || S.rfind("appendChart(", 0) == 0) Chats.push_back(S);
  EXPECT_EQ(Chats, (std::vector<std::string>{
                       Bubble("조회하겠습니다.", H[1].MsgID),
                       Bubble("🛠️ [get_yahoo_price] 실행 중...", H[2].MsgID),
                       Bubble("🔍 주식 정보 검색 중: \"005930.KS\""),
                       Bubble("🛠️ [Get_Yahoo_Price] 실행 중...", H[4].MsgID),
                       Bubble("🛠️ [draw_stock_chart] 실행 중...", H[6].MsgID),
                       R"(appendChart("삼성", "[a]", "[1]");)", Bubble("끝", H[8].MsgID)}));
}

TEST_F(AgentLoopTest, EveryEndingGivesTheButtonBackAndSaysWhy) {
  struct TCase {
    const char* Name;
    int Index;
    std::string Body;
    std::string Bubble;  // "" when no bubble is expected
    bool Answered;       // false: the question got nothing and leaves the conversation
  };
  const TCase Cases[] = {
      {"provider error body", 1, R"({"error":{"message":"Incorrect API key provided"}})",
       "OpenAI 에러: Incorrect API key provided", false},
      {"parser error mid-turn", 1,
       R"({"choices":[{"message":{"tool_calls":[{"function":{"name":"x","arguments":"{}"}}]}}]})",
       "모델의 응답을 읽을 수 없습니다: 응답에 필수 항목 'id'이(가) 없습니다.", false},
      {"no text, no calls", 1, R"({"choices":[{"message":{"content":"  "}}]})", "", true},
      {"no provider selected", 7, "", "응답값이 비어있습니다.", false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    Controller->NewChat();
    Controls.Send = true;
    View.Scripts.clear();
    Controls.Provider = C.Index;
    if (!C.Body.empty()) Provider.Enqueue({200, C.Body});
    Turn("q");
    EXPECT_TRUE(Controls.Send);
    std::vector<std::string> Tail{"removeLoading();"};
    if (!C.Bubble.empty()) Tail.push_back(Bubble(C.Bubble));
    Tail.push_back("endTurnLines(false);");
    if (C.Answered) {
      EXPECT_EQ(Roles(), std::vector<std::string>{"user"});
    } else {
      EXPECT_EQ(Roles(), std::vector<std::string>{});
      const std::string PromptId = ScriptIdOf(View.Scripts.front());
      Tail.insert(Tail.begin(), "markNotSent(" + EscapeForJS(PromptId) + ");");
    }
    ASSERT_GE(View.Scripts.size(), Tail.size());
    EXPECT_EQ(std::vector<std::string>(View.Scripts.end() - Tail.size(), View.Scripts.end()), Tail);
  }
}

TEST_F(AgentLoopTest, MissingKeyIsAMessageBoxAndTheQuestionIsNotKept) {
  Config.Write(keys::ClaudeKey, "");
  Controls.Provider = 2;
  View.Scripts.clear();
  Turn("q");
  const std::string PromptId = ScriptIdOf(View.Scripts.front());
  ASSERT_EQ(Dialogs.Questions.size(), 1u);
  EXPECT_EQ(Dialogs.Questions[0].rfind("Claude API 키 값을 설정하지 않았습니다.\r\n", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(View.Scripts.end() - 3, View.Scripts.end()),
            (std::vector<std::string>{"markNotSent(" + EscapeForJS(PromptId) + ");",
                                      "removeLoading();", "endTurnLines(false);"}));
  EXPECT_EQ(Controls.Prompt, "q");  // waiting in the input box
  Controls.Prompt.clear();
  EXPECT_EQ(Provider.RequestCount(), 0u);
  EXPECT_TRUE(Roles().empty());  // the next question is not sent after an unanswered one

  Config.Write(keys::ClaudeKey, "key");
  Provider.Enqueue({200, R"({"content":[{"type":"text","text":"답"}]})"});
  Turn("q2");
  EXPECT_EQ(Roles(), (std::vector<std::string>{"user", "assistant"}));
  EXPECT_EQ(Controller->ChatHistory()[0].Text, "q2");
}

TEST_F(AgentLoopTest, AFailingToolEndsTheTurnCleanly) {
  Controls.Provider = 1;
  Yahoo.SetRoute("/v8/finance/chart/NOPE", {404, "{}"});
  Provider.Enqueue(
      {200,
       R"({"choices":[{"message":{"tool_calls":[{"id":"c1","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"NOPE\"}"}}]}}]})"});
  Turn("q");
  EXPECT_EQ(Roles(), (std::vector<std::string>{"user", "assistant*", "tool*"}));
  EXPECT_EQ(Controller->ChatHistory()[2].Text,
            "도구 실행 중 오류: 요청 중 오류 발생: 야후 API 에러: 404 - Not Found");
  EXPECT_EQ(LastBubble(), Bubble("[get_yahoo_price] 도구 실행 중 오류가 발생했습니다: 요청 "
                                 "중 오류 발생: 야후 API 에러: 404 - Not Found"));
  EXPECT_EQ(View.Scripts.back(), "endTurnLines(false);");
  EXPECT_EQ(Provider.RequestCount(), 1u);
}

TEST_F(AgentLoopTest, CommandRunsOnlyWithConsent) {
  Config.Write(keys::Command, true);
  Controls.Provider = 1;
  for (bool Consent : {false, true}) {
    Controller->NewChat();
    Controls.Send = true;
    Dialogs.NextAnswer = Consent;
    Provider.Enqueue(
        {200,
         R"({"choices":[{"message":{"tool_calls":[{"id":"c1","function":{"name":"execute_cmd","arguments":"{\"command\":\"echo 안녕\"}"}}]}}]})"});
    Provider.Enqueue({200, R"({"choices":[{"message":{"content":"done"}}]})"});
    Turn("run it");
    EXPECT_EQ(Controller->ChatHistory()[2].Text,
              Consent ? "안녕\n" : "도구 실행 실패 또는 알 수 없는 도구입니다.");
    auto First = ParseJson(Provider.Requests()[Provider.RequestCount() - 2].Body);
    EXPECT_EQ((*First)["tools"][0]["function"]["name"], "execute_cmd");
  }
  EXPECT_EQ(Dialogs.Questions.size(), 2u);
}

TEST_F(AgentLoopTest, ANewChatMidTurnGetsNothingFromTheOldOne) {
  Controls.Provider = 1;
  Provider.Enqueue(
      {200,
       R"({"choices":[{"message":{"content":"old text","tool_calls":[{"id":"c1","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}}]}}]})"});
  Provider.SetDefault({200, R"({"choices":[{"message":{"content":"new answer"}}]})"});
  Controls.Prompt = "old question";
  Controller->btnSendClick();
  ASSERT_TRUE(Queue.RunNext());  // the turn reads the provider index, then asks the provider
  for (int I = 0; I < 200 && Provider.RequestCount() == 0; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(Provider.RequestCount(), 1u);
  Controller->NewChat();  // the user moves on while the old turn is under way
  View.Scripts.clear();
  while (Queue.RunNext(500)) {
  }
  EXPECT_TRUE(Controller->ChatHistory().empty());
  for (const auto& S : View.Scripts) EXPECT_EQ(S.find("appendChat"), std::string::npos) << S;
  EXPECT_EQ(Provider.RequestCount(), 1u);  // and it asked no further

  Controls.Send = true;
  Turn("new question");
  EXPECT_EQ(Roles(), (std::vector<std::string>{"user", "assistant"}));
  EXPECT_EQ(Controller->ChatHistory().back().Text, "new answer");
}

TEST_F(AgentLoopTest, ClosingMidTurnIsQuickAndQuiet) {
  TSilentListener Silent;
  setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
  Controls.Provider = 1;
  Controls.Prompt = "slow";
  Controller->btnSendClick();
  Queue.RunNext(300);  // the provider index is read on the UI side
  auto Start = std::chrono::steady_clock::now();
  Controller->Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1500));
  View.Scripts.clear();
  while (Queue.RunNext(300)) {
  }
  EXPECT_TRUE(View.Scripts.empty());
  EXPECT_EQ(Roles(), std::vector<std::string>{"user"});
}

TEST_F(AgentLoopTest, AModelThatNeverStopsAskingIsStoppedAtTheIterationLimit) {
  Controls.Provider = 1;
  Provider.SetDefault(
      {200,
       R"({"choices":[{"message":{"tool_calls":[{"id":"c","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}}]}}]})"});
  Config.Write(keys::MaxIterations, 3);
  Turn("끝없는 질문");
  EXPECT_EQ(Provider.RequestCount(), 3u);
  EXPECT_EQ(LastBubble(),
            Bubble("에이전트 반복 한도(3회)에 도달하여 작업을 중단했습니다. 필요하면 이어서 질문해 "
                   "주세요."));
  EXPECT_EQ(Roles().size(), 1u + 3 * 2);  // the prompt and three request/result pairs
}

TEST_F(AgentLoopTest, ToolCallsAreBoundedPerReplyAndPerTurn) {
  Controls.Provider = 1;
  // One reply asking for 40 charts: 32 run, the model is told of the rest with the last result,
  // and every call kept has its result.
  auto Reply = [](int ACalls) {
    TJson Calls = TJson::array();
    for (int I = 0; I < ACalls; ++I)
      Calls.push_back({{"id", "c" + std::to_string(I)},
                       {"type", "function"},
                       {"function",
                        {{"name", "draw_stock_chart"},
                         {"arguments", R"({"chartTitle":"t","timestamps":"[1,2]","prices":"[1,2]"})"}}}});
    return TJson{{"choices", {{{"message", {{"content", nullptr}, {"tool_calls", Calls}}}}}}}.dump();
  };
  Provider.Enqueue({200, Reply(40)});
  Provider.Enqueue({200, R"({"choices":[{"message":{"content":"끝"}}]})"});
  Turn("차트 40개");
  const TChatHistory& H = Controller->ChatHistory();
  ASSERT_EQ(H.size(), 1u + 32 * 2 + 1);
  EXPECT_NE(H[64].Text.find("이번 응답에서 요청한 도구 호출이 너무 많아 실행하지 않았습니다."),
            std::string::npos);
  EXPECT_NE(std::find(View.Scripts.begin(), View.Scripts.end(),
                      Bubble("🛠️ 8개: 이번 응답에서 요청한 도구 호출이 너무 많아 실행하지 "
                             "않았습니다.")),
            View.Scripts.end());
  // The next request carries exactly the calls that ran, each answered.
  const TJson Sent = TJson::parse(Provider.LastRequest().Body)["messages"];
  std::size_t Calls = 0, Results = 0;
  for (const TJson& M : Sent) {
    if (M.contains("tool_calls")) Calls += M["tool_calls"].size();
    if (M.value("role", "") == "tool") ++Results;
  }
  EXPECT_EQ(Calls, 32u);
  EXPECT_EQ(Results, 32u);

  // A model that asks for 32 calls in every reply is stopped once the turn has run 128.
  Provider.SetDefault({200, Reply(32)});
  Turn("끝없는 차트");
  EXPECT_EQ(LastBubble(), Bubble("이번 질문의 도구 호출 한도(128회)에 도달하여 작업을 중단했습니다. "
                                 "필요하면 이어서 질문해 주세요."));
}

TEST_F(AgentLoopTest, StopEndsARunningCommandWithItsChildrenAndKeepsTheChat) {
  Config.Write(keys::Command, true);
  Controls.Provider = 1;
  Dialogs.NextAnswer = true;
  const std::string PidFile = Dir + "/sleep.pid";
  Provider.Enqueue(
      {200,
       R"({"choices":[{"message":{"tool_calls":[{"id":"c1","function":{"name":"execute_cmd","arguments":"{\"command\":\"sleep 60 & echo $! > )" +
           PidFile + R"(; wait\"}"}}]}}]})"});
  Controls.Prompt = "오래 걸리는 명령";
  Controller->btnSendClick();
  // Run the UI side until the command is running (its status line is drawn).
  const std::string Running = Bubble("💻 터미널 실행: sleep 60 & echo $! > " + PidFile + "; wait");
  while (std::find(View.Scripts.begin(), View.Scripts.end(), Running) == View.Scripts.end())
    ASSERT_TRUE(Queue.RunNext()) << "the command never started";
  std::string Pid;
  for (int I = 0; I < 400 && Pid.empty(); ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream(PidFile) >> Pid;
  }
  ASSERT_FALSE(Pid.empty());

  Controller->StopCommand();
  EXPECT_TRUE(Controls.Send);
  EXPECT_EQ(LastBubble(), Bubble("중지되었습니다."));
  EXPECT_EQ(Roles(), (std::vector<std::string>{"user", "assistant*", "tool*"}));
  EXPECT_EQ(Controller->ChatHistory()[2].Text, "사용자가 도구 실행을 중지했습니다.");
  EXPECT_EQ(Controller->ChatHistory()[2].ToolCallId, "c1");
  EXPECT_FALSE(Controller->TurnRunning());
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);  // saved as far as it went
  for (int I = 0; I < 200 && Controller->Busy(); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(Controller->Busy());  // the background thread is free for the next send
  // The command's own child is gone too (or a zombie waiting for its reaper).
  std::string State;
  for (int I = 0; I < 100; ++I) {
    std::ifstream Stat("/proc/" + Pid + "/stat");
    std::string Skip;
    State.clear();
    Stat >> Skip >> Skip >> State;
    if (State.empty() || State == "Z") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(State.empty() || State == "Z") << "process " << Pid << " is " << State;
}

TEST_F(AgentLoopTest, StopAbandonsTheRequestInFlight) {
  TSilentListener Silent;
  setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
  Controls.Provider = 1;
  Controls.Prompt = "응답 없는 서버";
  Controller->btnSendClick();
  ASSERT_TRUE(Queue.RunNext());  // the turn reads the provider index and sends
  Controller->StopCommand();
  EXPECT_TRUE(Controls.Send);
  EXPECT_EQ(View.Scripts[View.Scripts.size() - 3], "removeLoading();");
  EXPECT_EQ(LastBubble(), Bubble("중지되었습니다."));
  EXPECT_EQ(View.Scripts.back(), "endTurnLines(true);");  // every line says it was stopped
  EXPECT_EQ(Roles(), std::vector<std::string>{"user"});
  for (int I = 0; I < 100 && Controller->Busy(); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(Controller->Busy());
  EXPECT_FALSE(Queue.RunNext(200));  // nothing of the stopped turn lands
  setenv("KESTRILL_OPENAI_URL", Provider.BaseUrl().c_str(), 1);
}

TEST_F(AgentLoopTest, UnreadableSettingsAreNamedInsteadOfAMissingKey) {
  std::filesystem::remove(Dir + "/Kestrill.Ini");
  std::filesystem::create_directory(Dir + "/Kestrill.Ini");  // every read now gives its default
  Turn("q");
  EXPECT_EQ(Dialogs.Alarms, std::vector<std::string>{"설정 파일 자리에 폴더가 있어 설정을 읽을 수 "
                                                     "없습니다: " +
                                                     Dir + "/Kestrill.Ini"});
  EXPECT_EQ(Provider.RequestCount(), 0u);
}

namespace kestrill::testing {
std::string OpenAISchemaViolations(const std::string& ABody);  // OpenAISchemaTest.cpp
}

namespace {

// What each provider's API refuses in a request that carries tool turns; "" when none of it.
std::string ChatCompletionsProblems(const TJson& ABody, bool AOllama, bool ADeepSeek) {
  std::string Out;
  if (!AOllama) Out += OpenAISchemaViolations(CompactJson(ABody));
  std::string Open;  // the id of the call whose result must come next
  for (const TJson& M : ABody["messages"]) {
    if (AOllama && M.contains("content") && !M["content"].is_string())
      Out += "content that is not a string; ";
    if (M.contains("content") ? M["content"] == "" || M["content"].empty()
                              : !M.contains("tool_calls"))
      Out += "empty content; ";
    if (ADeepSeek && M.contains("tool_calls") && !M.contains("reasoning_content"))
      Out += "call without reasoning_content; ";
    if (M.contains("tool_calls")) {
      const TJson& Call = M["tool_calls"][0];
      Open = Call["id"];
      if (Open.empty() || Open.size() > 40) Out += "call id \"" + Open + "\"; ";
      if (AOllama && !Call["function"]["arguments"].is_object()) Out += "arguments not an object; ";
    } else if (M["role"] == "tool" && ABody.contains("tools")) {  // Ollama's chatbot form has none
      if (M.value("tool_call_id", "") != Open) Out += "result without its call; ";
      Open.clear();
    }
  }
  return Out;
}

std::string ClaudeProblems(const TJson& ABody) {
  static const std::regex kId("^[a-zA-Z0-9_-]+$");
  std::string Out, Open;
  for (const TJson& M : ABody["messages"]) {
    if (M["role"] != "user" && M["role"] != "assistant") Out += "role " + M.dump() + "; ";
    if (M["content"].is_string() ? M["content"] == "" : M["content"].empty()) Out += "empty; ";
    if (!M["content"].is_array()) continue;
    for (const TJson& B : M["content"]) {
      if (B["type"] == "tool_use") {
        Open = B["id"];
        if (!std::regex_match(Open, kId)) Out += "tool_use id \"" + Open + "\"; ";
      } else if (B["type"] == "tool_result") {
        if (B["tool_use_id"] != Open) Out += "tool_result without its tool_use; ";
        if (B["content"] == "") Out += "empty tool_result; ";
        Open.clear();
      }
    }
  }
  return Out;
}

std::string GeminiProblems(const TJson& ABody) {
  std::string Out;
  const TJson& Contents = ABody["contents"];
  for (std::size_t I = 0; I < Contents.size(); ++I) {
    const TJson& C = Contents[I];
    if (C["role"] != "user" && C["role"] != "model") Out += "role " + C["role"].dump() + "; ";
    if (!C.contains("parts") || C["parts"].empty()) Out += "no parts; ";
    std::vector<std::string> Calls;
    for (const TJson& P : C.value("parts", TJson::array())) {
      if (P.contains("text") && P["text"] == "") Out += "empty text part; ";
      if (P.contains("functionResponse") && P["functionResponse"]["response"]["result"] == "")
        Out += "empty function response; ";
    }
    for (const TJson& P : C.value("parts", TJson::array()))
      if (P.contains("functionCall")) {
        if (Calls.empty() && !P.contains("thoughtSignature")) Out += "first call unsigned; ";
        Calls.push_back(P["functionCall"]["name"]);
      }
    if (Calls.empty()) continue;
    // A turn of N calls must be answered by one turn of exactly N responses, in order.
    std::vector<std::string> Responses;
    if (I + 1 < Contents.size() && Contents[I + 1]["role"] == "user")
      for (const TJson& P : Contents[I + 1]["parts"])
        if (P.contains("functionResponse")) Responses.push_back(P["functionResponse"]["name"]);
    if (Responses != Calls) Out += "calls not answered one for one; ";
  }
  return Out;
}

}  // namespace

TEST_F(AgentLoopTest, AChatContinuedWithAnotherProviderIsAcceptedByIt) {
  Yahoo.SetRoute(
      "/v8/finance/chart/000660.KS",
      {200,
       R"({"chart":{"result":[{"meta":{"symbol":"000660.KS","regularMarketPrice":182000}}],"error":null}})"});
  const std::string A1 = R"({"ticker":"005930.KS"})", A2 = R"({"ticker":"000660.KS"})";
  const std::string S1 = CompactJson(TJson(A1)), S2 = CompactJson(TJson(A2));
  const std::string Chart = R"({"chartTitle":"t","timestamps":"[20240102,20240103]","prices":"[1,2]"})";
  const std::string SChart = CompactJson(TJson(Chart));
  struct TProvider {
    const char* Name;
    std::string TwoCalls;  // a reply asking for two tools, the way this provider writes it
    std::string Answer;
    std::string ChartCall;  // a reply asking for a chart (whose tool returns nothing)
  };
  const TProvider Providers[] = {
      {"gemini",
       R"({"candidates":[{"content":{"role":"model","parts":[{"text":"조회합니다."},{"functionCall":{"name":"get_yahoo_price","args":)" +
           A1 +
           R"(},"thoughtSignature":"c2ln"},{"functionCall":{"name":"get_yahoo_price","args":)" +
           A2 + "}}]}}]}",
       R"({"candidates":[{"content":{"parts":[{"text":"답"}]}}]})",
       R"({"candidates":[{"content":{"role":"model","parts":[{"functionCall":{"name":"draw_stock_chart","args":)" +
           Chart + R"(},"thoughtSignature":"c2ln"}]}}]})"},
      {"openai",
       R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":"call_a","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           S1 +
           R"(}},{"id":"call_b","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           S2 + "}}]}}]}",
       R"({"choices":[{"message":{"content":"답"}}]})",
       R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":"call_c","type":"function","function":{"name":"draw_stock_chart","arguments":)" +
           SChart + "}}]}}]}"},
      {"claude",
       R"({"content":[{"type":"text","text":"조회합니다."},{"type":"tool_use","id":"toolu_01A","name":"get_yahoo_price","input":)" +
           A1 + R"(},{"type":"tool_use","id":"toolu_01B","name":"get_yahoo_price","input":)" + A2 +
           "}]}",
       R"({"content":[{"type":"text","text":"답"}]})",
       R"({"content":[{"type":"tool_use","id":"toolu_01C","name":"draw_stock_chart","input":)" +
           Chart + "}]}"},
      {"deepseek",
       R"({"choices":[{"message":{"content":"","reasoning_content":"생각","tool_calls":[{"id":"call_00_a","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           S1 +
           R"(}},{"id":"call_01_b","type":"function","function":{"name":"get_yahoo_price","arguments":)" +
           S2 + "}}]}}]}",
       R"({"choices":[{"message":{"content":"답"}}]})",
       // a chart call without reasoning: DeepSeek still wants the member on it
       R"({"choices":[{"message":{"content":"","tool_calls":[{"id":"call_02_c","type":"function","function":{"name":"draw_stock_chart","arguments":)" +
           SChart + "}}]}}]}"},
      {"ollama",  // a server before 0.12.10: no ids
       R"({"message":{"role":"assistant","content":"","tool_calls":[{"function":{"name":"get_yahoo_price","arguments":)" +
           A1 + R"(}},{"function":{"name":"get_yahoo_price","arguments":)" + A2 + "}}]}}",
       R"({"message":{"content":"답"}})",
       R"({"message":{"role":"assistant","content":"","tool_calls":[{"function":{"name":"draw_stock_chart","arguments":)" +
           Chart + "}}]}}"},
  };
  // Two calls, then a chart (a tool that returns nothing), then the other provider in each mode.
  for (int From = 0; From < 5; ++From) {
    for (int To = 0; To < 5; ++To) {
      for (int Mode : {1, 0}) {
        SCOPED_TRACE(std::string(Providers[From].Name) + " -> " + Providers[To].Name +
                     (Mode == 0 ? ", chatbot" : ", agent"));
        Controller->NewChat();
        Controls.Send = true;
        Controls.Mode = 1;
        Controls.Provider = From;
        Provider.Enqueue({200, Providers[From].TwoCalls});
        Provider.Enqueue({200, Providers[From].Answer});
        Turn("두 종목 주가?");
        ASSERT_EQ(Roles().back(), "assistant");
        Provider.Enqueue({200, Providers[From].ChartCall});
        Provider.Enqueue({200, Providers[From].Answer});
        Turn("차트로 보여 줘");
        ASSERT_EQ(Roles().back(), "assistant");
        Controls.Provider = To;
        Controls.Mode = Mode;
        Provider.Enqueue({200, Providers[To].Answer});
        Turn("다시 비교해 줘");
        ASSERT_NE(Roles().back(), "user") << View.Scripts.back();
        const TJson Body = TJson::parse(Provider.LastRequest().Body);
        std::string Problems;
        switch (To) {
          case 0:
            Problems = GeminiProblems(Body);
            break;
          case 2:
            Problems = ClaudeProblems(Body);
            break;
          default:
            Problems = ChatCompletionsProblems(Body, To == 4, To == 3);
            break;
        }
        EXPECT_EQ(Problems, "") << Body.dump().substr(0, 3000);
      }
    }
  }
  Controls.Mode = 1;
}
