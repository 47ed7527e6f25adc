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
                          "KESTRILL_ANTHROPIC_URL"})
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

TEST(Cli, EndingsWithoutAReply) {
  std::string Home = MakeTempFolder();
  TFakeHttpServer Server;
  // No key: no request, exit 1 with a hint.
  TRun R = RunCli(Home, Server.BaseUrl(), "--mode chatbot --provider claude hi");
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "");
  EXPECT_NE(R.Err.find("API 키"), std::string::npos) << R.Err;
  EXPECT_EQ(Server.RequestCount(), 0u);

  // Usage errors exit 2; the default mode from a fresh settings file is the agent.
  for (const char* Args : {"", "--provider nobody hi", "--bogus hi", "--mode agent hi", "hi"}) {
    R = RunCli(Home, Server.BaseUrl(), Args);
    EXPECT_EQ(R.Status, 2) << Args;
    EXPECT_NE(R.Err.find("사용법"), std::string::npos) << Args;
  }
  EXPECT_NE(RunCli(Home, Server.BaseUrl(), "--mode agent hi").Err.find("아직 지원되지 않습니다"),
            std::string::npos);
}
