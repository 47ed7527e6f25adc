// kestrill-cli end to end: a real process, a settings file in a fresh HOME, providers on
// 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

struct TRun {
  int Status;
  std::string Out, Err;
};

// Runs kestrill-cli with AArgs (already shell-quoted) in AHome, the given base URL for every
// provider.
TRun RunCli(const std::string& AHome, const std::string& ABaseUrl, const std::string& AArgs) {
  std::string Out = AHome + "/out.txt", Err = AHome + "/err.txt";
  std::string Env =
      "HOME='" + AHome + "' XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= TMPDIR='" + AHome + "'";
  for (const char* Var : {"KESTRILL_GEMINI_URL", "KESTRILL_OPENAI_URL", "KESTRILL_DEEPSEEK_URL",
                          "KESTRILL_ANTHROPIC_URL", "KESTRILL_YAHOO_CHART_URL"})
    Env += std::string(" ") + Var + "='" + ABaseUrl + "'";
  int Raw = std::system(
      (Env + " '" KESTRILL_CLI_PATH "' " + AArgs + " >'" + Out + "' 2>'" + Err + "' </dev/null")
          .c_str());
  return {WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadFileBytes(Out).value_or(""),
          ReadFileBytes(Err).value_or("")};
}

}  // namespace

TEST(Cli, OneChatbotTurnPerProvider) {
  std::string Home = MakeTempFolder();
  TFakeHttpServer Server;
  TConfig Config(Home + "/Documents/Kestrill/Kestrill.Ini");
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  for (auto K : {keys::GeminiKey, keys::OpenAIKey, keys::ClaudeKey, keys::DeepseekKey})
    Config.Write(K, "key");
  Config.Write(keys::OllamaURL, Server.BaseUrl() + "/api/chat");
  Config.Write(keys::Mode, 0);
  struct TCase {
    const char* Provider;
    const char* Path;
    std::string Body;
  };
  const TCase Cases[] = {
      {"gemini", "/v1beta/models/gemini-3.1-pro-preview:generateContent",
       R"({"candidates":[{"content":{"parts":[{"text":"  삼성전자는 80,500원입니다.\n"}]}}]})"},
      {"chatgpt", "/v1/chat/completions",
       R"({"choices":[{"message":{"content":"삼성전자는 80,500원입니다."}}]})"},
      {"claude", "/v1/messages",
       R"({"content":[{"type":"text","text":"삼성전자는 80,500원입니다."}]})"},
      {"deepseek", "/v1/chat/completions",
       R"({"choices":[{"message":{"content":"삼성전자는 80,500원입니다."}}]})"},
      {"ollama", "/api/chat", R"({"message":{"content":"삼성전자는 80,500원입니다."}})"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Provider);
    Server.SetDefault({200, C.Body});
    TRun R = RunCli(Home, Server.BaseUrl(),
                    std::string("--provider ") + C.Provider + " 삼성전자 주가는?");
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "삼성전자는 80,500원입니다.\n");
    EXPECT_EQ(Server.LastRequest().Path, C.Path);
    EXPECT_NE(Server.LastRequest().Body.find("삼성전자 주가는?"), std::string::npos);
  }

  // A provider error is the reply text the user gets; it is still a reply.
  Server.SetDefault({401, R"({"error":{"message":"Incorrect API key"}})"});
  TRun R = RunCli(Home, Server.BaseUrl(), "--provider chatgpt hi");
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out, "OpenAI 에러: Incorrect API key\n");
}

TEST(Cli, AgentTurnWithToolsAndACommandPolicy) {
  std::string Home = MakeTempFolder();
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  TFakeHttpServer Server;
  TConfig Config(Home + "/Documents/Kestrill/Kestrill.Ini");
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::Command, true);
  Server.SetRoute("/v8/finance/chart/005930.KS", {200, R"({"chart":{"result":[]}})"});
  const std::string Calls =
      R"({"choices":[{"message":{"content":"확인해 볼게요.","tool_calls":[)"
      R"({"id":"a","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}},)"
      R"({"id":"b","function":{"name":"execute_cmd","arguments":"{\"command\":\"echo ran\"}"}},)"
      R"({"id":"c","function":{"name":"draw_stock_chart","arguments":"{\"chartTitle\":\"삼성전자\",\"timestamps\":\"[\\\"a\\\",\\\"b\\\"]\",\"prices\":\"[1,2]\"}"}}]}}]})";
  for (const char* Policy : {"--deny-commands", "--allow-commands", ""}) {
    SCOPED_TRACE(Policy);
    Server.Enqueue({200, Calls});
    Server.Enqueue({200, R"({"choices":[{"message":{"content":"80,500원입니다."}}]})"});
    TRun R = RunCli(Home, Server.BaseUrl(),
                    std::string("--mode agent --provider chatgpt ") + Policy + " 주가?");
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "확인해 볼게요.\n📈 차트: 삼성전자 — X [a,b], Y [1,2]\n80,500원입니다.\n");
    EXPECT_NE(R.Err.find("🛠️ [get_yahoo_price] 실행 중..."), std::string::npos) << R.Err;
    EXPECT_NE(R.Err.find("명령어: echo ran"), std::string::npos) << R.Err;
    const bool Ran = std::string(Policy) == "--allow-commands";  // no terminal and no flag: refused
    auto Last = ParseJson(Server.LastRequest().Body);
    ASSERT_TRUE(Last);
    const TJson& Messages = (*Last)["messages"];
    EXPECT_EQ(Messages[Messages.size() - 3]["content"],
              Ran ? "ran\n" : "도구 실행 실패 또는 알 수 없는 도구입니다.");
  }
}

TEST(Cli, EndingsWithoutAReply) {
  std::string Home = MakeTempFolder();
  TFakeHttpServer Server;
  // No key: no request, exit 1 with a hint.
  TRun R = RunCli(Home, Server.BaseUrl(), "--mode chatbot --provider claude hi");
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "");
  EXPECT_NE(R.Err.find("API 키"), std::string::npos) << R.Err;
  EXPECT_EQ(Server.RequestCount(), 0u);

  // Usage errors exit 2.
  for (const char* Args : {"", "--provider nobody hi", "--bogus hi", "--mode robot hi"}) {
    R = RunCli(Home, Server.BaseUrl(), Args);
    EXPECT_EQ(R.Status, 2) << Args;
    EXPECT_NE(R.Err.find("사용법"), std::string::npos) << Args;
  }
  // A fresh settings file means Gemini in agent mode: without its key, a message and exit 1.
  R = RunCli(Home, Server.BaseUrl(), "hi");
  EXPECT_EQ(R.Status, 1);
  EXPECT_NE(R.Err.find("Gemini API 키 값을 설정하지 않았습니다."), std::string::npos) << R.Err;
}
