// kestrill-cli end to end: a real process, a settings file in a fresh HOME, providers on
// 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "FakeHttpServer.h"
#include "Pty.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

struct TRun {
  int Status;
  std::string Out, Err;
};

const char* const kServiceUrlVariables[] = {"KESTRILL_GEMINI_URL", "KESTRILL_OPENAI_URL",
                                            "KESTRILL_DEEPSEEK_URL", "KESTRILL_ANTHROPIC_URL",
                                            "KESTRILL_YAHOO_CHART_URL"};

// Runs kestrill-cli with AArgs (already shell-quoted) in AHome, the given base URL for every
// provider.
TRun RunCli(const std::string& AHome, const std::string& ABaseUrl, const std::string& AArgs) {
  std::string Out = AHome + "/out.txt", Err = AHome + "/err.txt";
  std::string Env =
      "HOME='" + AHome + "' XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= TMPDIR='" + AHome + "'";
  for (const char* Var : kServiceUrlVariables)
    Env += std::string(" ") + Var + "='" + ABaseUrl + "'";
  int Raw = std::system(
      (Env + " '" KESTRILL_CLI_PATH "' " + AArgs + " >'" + Out + "' 2>'" + Err + "' </dev/null")
          .c_str());
  return {WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadFileBytes(Out).value_or(""),
          ReadFileBytes(Err).value_or("")};
}

// A fresh HOME whose settings send chatbot questions to ChatGPT.
std::string HomeForChatGpt() {
  std::string Home = MakeTempFolder();
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  TConfig Config(Home + "/Documents/Kestrill/Kestrill.Ini");
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::Mode, 0);
  return Home;
}

TCannedResponse ChatGptReply(const std::string& AText) {
  return {200, R"({"choices":[{"message":{"content":")" + AText + R"("}}]})"};
}

// The chat files in AFolder (the catalogue is not one).
std::vector<std::string> ChatFilesIn(const std::string& AFolder) {
  std::vector<std::string> Out;
  for (const auto& E : std::filesystem::directory_iterator(AFolder))
    if (E.path().extension() == ".json" && E.path().filename() != "ChatFileList.json")
      Out.push_back(E.path().string());
  return Out;
}

// --list output as lines of tab-separated fields.
std::vector<std::vector<std::string>> ListedChats(const std::string& AOut) {
  std::vector<std::vector<std::string>> Lines;
  std::size_t Start = 0;
  for (std::size_t End; (End = AOut.find('\n', Start)) != std::string::npos; Start = End + 1) {
    std::vector<std::string> Fields{""};
    for (char C : AOut.substr(Start, End - Start))
      if (C == '\t')
        Fields.emplace_back();
      else
        Fields.back().push_back(C);
    Lines.push_back(Fields);
  }
  EXPECT_EQ(Start, AOut.size()) << "unterminated line: " << AOut;
  return Lines;
}

bool IsTimeStamp(const std::string& AText) {  // yyyymmddhhnnss
  return AText.size() == 14 && AText.find_first_not_of("0123456789") == std::string::npos;
}

// (role, text) of every message in a saved chat file.
std::vector<std::pair<std::string, std::string>> SavedMessages(const std::string& APath) {
  TJsonFileRead Read = ReadChatJsonFile(APath);
  EXPECT_EQ(Read.Status, TJsonFileStatus::Ok) << Read.Error;
  std::vector<std::pair<std::string, std::string>> Out;
  for (const TJson& M : Read.Value) Out.emplace_back(M["role"], M["text"]);
  return Out;
}

// A provider that takes a request and never answers. The test waits until the request is in,
// so that what it does next happens while the turn waits for its reply.
class TNeverAnswering {
 public:
  // The request counts as in once the bytes received hold AMarker.
  explicit TNeverAnswering(std::string AMarker) : FMarker(std::move(AMarker)) {
    FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof(Addr);
    if (FSocket < 0 || bind(FSocket, reinterpret_cast<sockaddr*>(&Addr), Len) != 0 ||
        listen(FSocket, 8) != 0 ||
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&Addr), &Len) != 0)
      throw std::runtime_error("cannot listen");
    FPort = ntohs(Addr.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~TNeverAnswering() {
    FStop = true;
    FThread.join();
    close(FSocket);
  }
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(FPort); }
  // False when nothing came within AGuard (a hang guard, not a timing).
  bool WaitForRequest(std::chrono::seconds AGuard) {
    std::unique_lock Lock(FMutex);
    return FArrived.wait_for(Lock, AGuard, [this] { return FIn; });
  }

 private:
  void Serve() {
    std::vector<pollfd> Fds{{FSocket, POLLIN, 0}};
    std::string Received;
    while (!FStop) {
      if (poll(Fds.data(), Fds.size(), 20) <= 0) continue;
      if (Fds[0].revents & POLLIN) {
        int Client = accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (Client >= 0) Fds.push_back({Client, POLLIN, 0});
      }
      for (std::size_t I = 1; I < Fds.size(); ++I) {
        if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
        char Buf[4096];
        ssize_t N = recv(Fds[I].fd, Buf, sizeof Buf, 0);
        if (N <= 0) {
          close(std::exchange(Fds[I].fd, -1));
          continue;
        }
        Received.append(Buf, static_cast<std::size_t>(N));
        if (Received.find(FMarker) != std::string::npos) {
          std::lock_guard Lock(FMutex);
          FIn = true;
          FArrived.notify_all();
        }
      }
    }
    for (std::size_t I = 1; I < Fds.size(); ++I)
      if (Fds[I].fd >= 0) close(Fds[I].fd);
  }

  std::string FMarker;
  int FSocket = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::condition_variable FArrived;
  bool FIn = false;
  std::thread FThread;
};

// kestrill-cli started like RunCli does, but left running so the test can signal it.
class TCliProcess {
 public:
  // AStdin is its standard input (-1 for /dev/null).
  TCliProcess(const std::string& AHome, const std::string& ABaseUrl,
              const std::vector<std::string>& AArgs, int AStdin = -1)
      : FOut(AHome + "/out.txt"), FErr(AHome + "/err.txt") {
    std::vector<std::string> Env{"HOME=" + AHome,
                                 "XDG_DOCUMENTS_DIR=", "XDG_CONFIG_HOME=", "TMPDIR=" + AHome};
    for (const char* Var : kServiceUrlVariables) Env.push_back(std::string(Var) + "=" + ABaseUrl);
    for (char** E = environ; *E; ++E) {
      const std::string Entry = *E, Name = Entry.substr(0, Entry.find('='));
      bool Ours = false;
      for (const std::string& O : Env)
        Ours = Ours || O.compare(0, Name.size() + 1, Name + "=") == 0;
      if (!Ours) Env.push_back(Entry);
    }
    std::vector<std::string> Argv{KESTRILL_CLI_PATH};
    Argv.insert(Argv.end(), AArgs.begin(), AArgs.end());
    auto Pointers = [](std::vector<std::string>& AList) {
      std::vector<char*> P;
      for (std::string& S : AList) P.push_back(S.data());
      P.push_back(nullptr);
      return P;
    };
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    if (AStdin >= 0)
      posix_spawn_file_actions_adddup2(&Actions, AStdin, STDIN_FILENO);
    else
      posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, FOut.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, FErr.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto ArgvP = Pointers(Argv), EnvP = Pointers(Env);
    if (posix_spawn(&FPid, ArgvP[0], &Actions, nullptr, ArgvP.data(), EnvP.data()) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TCliProcess() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  bool Started() const { return FPid > 0; }
  void Signal(int ASignal) const { kill(FPid, ASignal); }
  // True once standard error holds AText; false after AGuard (a hang guard).
  bool WaitForErr(const std::string& AText, std::chrono::seconds AGuard) const {
    const auto Until = std::chrono::steady_clock::now() + AGuard;
    while (ReadFileBytes(FErr).value_or("").find(AText) == std::string::npos) {
      if (std::chrono::steady_clock::now() > Until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // The exit status, or -1 when it did not exit within AGuard (it is then killed) or died of a
  // signal.
  TRun Wait(std::chrono::seconds AGuard) {
    const auto Until = std::chrono::steady_clock::now() + AGuard;
    int Raw = 0;
    while (waitpid(FPid, &Raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > Until) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &Raw, 0);
        Raw = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FPid = -1;
    return {Raw != -1 && WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadFileBytes(FOut).value_or(""),
            ReadFileBytes(FErr).value_or("")};
  }

 private:
  std::string FOut, FErr;
  pid_t FPid = -1;
};

// A hang guard only: every wait below ends on a condition long before it.
constexpr std::chrono::seconds kHangGuard{10};

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

  // A failure is no reply: its text goes to standard error and the exit status says so.
  Server.SetDefault({401, R"({"error":{"message":"Incorrect API key"}})"});
  TRun R = RunCli(Home, Server.BaseUrl(), "--provider chatgpt hi");
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "");
  EXPECT_EQ(R.Err,
            "API 키가 올바르지 않거나 권한이 없습니다 (HTTP 401) — 환경설정에서 키를 확인하세요.\n"
            "OpenAI 에러: Incorrect API key\n");
}

TEST(Cli, GeminiAsksForTwoToolsInOneReplyAndGetsBothAnswersInOneTurn) {
  std::string Home = MakeTempFolder();
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  TConfig Config(Home + "/Documents/Kestrill/Kestrill.Ini");
  Config.Write(keys::GeminiKey, "key");
  TFakeHttpServer Server;
  Server.SetRoute(
      "/v8/finance/chart/005930.KS",
      {200,
       R"({"chart":{"result":[{"meta":{"symbol":"005930.KS","regularMarketPrice":80500}}]}})"});
  Server.SetRoute(
      "/v8/finance/chart/000660.KS",
      {200,
       R"({"chart":{"result":[{"meta":{"symbol":"000660.KS","regularMarketPrice":182000}}]}})"});
  const std::string Parts =
      R"([{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"005930.KS"},"id":"c1"},"thoughtSignature":"c2ln"},)"
      R"({"functionCall":{"name":"get_yahoo_price","args":{"ticker":"000660.KS"},"id":"c2"}}])";
  Server.Enqueue({200, R"({"candidates":[{"content":{"role":"model","parts":)" + Parts + "}}]}"});
  Server.Enqueue(
      {200,
       R"({"candidates":[{"content":{"parts":[{"text":"삼성전자 80,500원, SK하이닉스 182,000원"}]}}]})"});
  TRun R = RunCli(Home, Server.BaseUrl(), "--mode agent --provider gemini 두 종목 주가?");
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "삼성전자 80,500원, SK하이닉스 182,000원\n");

  std::vector<TRecordedRequest> Asked;
  for (const TRecordedRequest& Q : Server.Requests())
    if (Q.Path == "/v1beta/models/gemini-3.1-pro-preview:generateContent") Asked.push_back(Q);
  ASSERT_EQ(Asked.size(), 2u);
  const TJson Contents = TJson::parse(Asked[1].Body)["contents"];
  ASSERT_EQ(Contents.size(), 3u) << Contents.dump();
  EXPECT_EQ(Contents[0], TJson::parse(R"({"role":"user","parts":[{"text":"두 종목 주가?"}]})"));
  // One model turn with the reply's own parts, one user turn with both responses in order.
  EXPECT_EQ(Contents[1], (TJson{{"role", "model"}, {"parts", TJson::parse(Parts)}}));
  EXPECT_EQ(Contents[2]["role"], "user");
  const TJson& Responses = Contents[2]["parts"];
  ASSERT_EQ(Responses.size(), 2u);
  const char* const Tickers[] = {"005930.KS", "000660.KS"};
  for (std::size_t I = 0; I < 2; ++I) {
    const TJson& F = Responses[I]["functionResponse"];
    EXPECT_EQ(F["name"], "get_yahoo_price");
    EXPECT_EQ(F["id"], I == 0 ? "c1" : "c2");
    EXPECT_NE(F["response"]["result"].get<std::string>().find(Tickers[I]), std::string::npos)
        << F.dump();
  }
}

TEST(Cli, AFileThatIsNotTextIsNotSent) {
  const std::string Home = HomeForChatGpt();
  WriteTestFile(Home + "/data.bin", std::string("PK\x03\x04\0\0\x01\x02", 8));
  TFakeHttpServer Server;
  TRun R =
      RunCli(Home, Server.BaseUrl(), "--provider chatgpt --attach '" + Home + "/data.bin' 요약");
  EXPECT_EQ(R.Status, 2);
  EXPECT_NE(R.Err.find("이 파일은 첨부할 수 없습니다: data.bin"), std::string::npos) << R.Err;
  EXPECT_EQ(Server.RequestCount(), 0u);
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

TEST(Cli, SavedChatIsListedAndContinued) {
  const std::string Home = HomeForChatGpt(), Data = Home + "/Documents/Kestrill";
  TFakeHttpServer Server;

  // A one-off question leaves nothing behind.
  Server.Enqueue(ChatGptReply("80,500원입니다."));
  TRun R = RunCli(Home, Server.BaseUrl(), "--provider chatgpt 삼성전자 주가는?");
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(ChatFilesIn(Data).empty());
  EXPECT_FALSE(std::filesystem::exists(Data + "/ChatFileList.json"));
  R = RunCli(Home, Server.BaseUrl(), "--list");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "");

  Server.Enqueue(ChatGptReply("80,500원입니다."));
  R = RunCli(Home, Server.BaseUrl(), "--provider chatgpt --save 삼성전자 주가는?");
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "80,500원입니다.\n");
  const std::vector<std::string> Files = ChatFilesIn(Data);
  ASSERT_EQ(Files.size(), 1u);
  const std::string Chat = Files[0];
  EXPECT_NE(R.Err.find("저장됨: " + Chat + "\n"), std::string::npos) << R.Err;

  R = RunCli(Home, Server.BaseUrl(), "--list");
  EXPECT_EQ(R.Status, 0) << R.Err;
  auto Listed = ListedChats(R.Out);
  ASSERT_EQ(Listed.size(), 1u) << R.Out;
  ASSERT_EQ(Listed[0].size(), 3u) << R.Out;
  EXPECT_EQ(Listed[0][0], Chat);
  EXPECT_EQ(Listed[0][1], "삼성전자 주가는?");
  EXPECT_TRUE(IsTimeStamp(Listed[0][2])) << Listed[0][2];

  // Continued under another spelling of the same path: the earlier messages go with the new
  // prompt, only the new answer is printed, and the catalogue keeps one entry for the chat.
  Server.Enqueue(ChatGptReply("190,000원입니다."));
  const std::string Spelt = Data + "/./" + std::filesystem::path(Chat).filename().string();
  R = RunCli(Home, Server.BaseUrl(),
             "--provider chatgpt --chat '" + Spelt + "' 그럼 SK하이닉스는?");
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "190,000원입니다.\n");
  EXPECT_NE(R.Err.find("저장됨: " + Chat + "\n"), std::string::npos) << R.Err;
  auto Sent = ParseJson(Server.LastRequest().Body);
  ASSERT_TRUE(Sent);
  EXPECT_EQ((*Sent)["messages"], TJson::parse(R"([
      {"role": "user", "content": "삼성전자 주가는?"},
      {"role": "assistant", "content": "80,500원입니다."},
      {"role": "user", "content": "그럼 SK하이닉스는?"}])"));
  const std::vector<std::pair<std::string, std::string>> Whole{{"user", "삼성전자 주가는?"},
                                                               {"model", "80,500원입니다."},
                                                               {"user", "그럼 SK하이닉스는?"},
                                                               {"model", "190,000원입니다."}};
  EXPECT_EQ(SavedMessages(Chat), Whole);
  EXPECT_EQ(ChatFilesIn(Data).size(), 1u);

  R = RunCli(Home, Server.BaseUrl(), "--list");
  Listed = ListedChats(R.Out);
  ASSERT_EQ(Listed.size(), 1u) << R.Out;
  ASSERT_EQ(Listed[0].size(), 3u) << R.Out;
  EXPECT_EQ(Listed[0][0], Chat);
  EXPECT_EQ(Listed[0][1], "삼성전자 주가는?");
  EXPECT_TRUE(IsTimeStamp(Listed[0][2])) << Listed[0][2];
}

TEST(Cli, ListedNamesStayOnOneLineAndACutTurnSaysItWasSaved) {
  const std::string Home = HomeForChatGpt();
  const std::string Data = Home + "/Documents/Kestrill";
  WriteTestFile(Data + "/ChatFileList.json",
                "\xEF\xBB\xBF" + TJson::array({{{"filename", "/x/a\nb\tc\u0001.json"},
                                                 {"title", "제목\r\n둘째\a줄"},
                                                 {"lastModified", "20261201090000"}}})
                                     .dump());
  TRun R = RunCli(Home, "http://127.0.0.1:9", "--list");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "/x/a\\nb\\tc\\x01.json\t제목  둘째 줄\t20261201090000\n");

  // A turn cut at the iteration cap is saved all the same, and says so.
  TConfig(Data + "/Kestrill.Ini").Write(keys::MaxIterations, 1);
  TFakeHttpServer Server;
  Server.SetDefault(
      {200,
       R"({"choices":[{"message":{"tool_calls":[{"id":"c","function":{"name":"draw_stock_chart","arguments":"{\"chartTitle\":\"t\",\"timestamps\":\"[1]\",\"prices\":\"[1]\"}"}}]}}]})"});
  R = RunCli(Home, Server.BaseUrl(), "--mode agent --provider chatgpt --save 차트");
  const std::vector<std::string> Files = ChatFilesIn(Data);
  ASSERT_EQ(Files.size(), 1u) << R.Err;
  EXPECT_NE(R.Err.find("에이전트 반복 한도(1회)"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("저장됨: " + Files[0] + "\n"), std::string::npos) << R.Err;
}

TEST(Cli, FiguresFileSaysWhichFiguresTheToolResultsBack) {
  const std::string Home = HomeForChatGpt();
  TFakeHttpServer Server;
  Server.SetRoute("/v8/finance/chart/005930.KS",
                  {200, R"({"chart":{"result":[{"meta":{"symbol":"005930.KS",)"
                        R"("regularMarketPrice":80500,"chartPreviousClose":78900}}],"error":null}})"});
  Server.Enqueue(
      {200,
       R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":"c1","type":"function",)"
       R"("function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}}]}}]})"});
  Server.Enqueue(ChatGptReply("삼성전자(005930) 현재가는 80,500원으로 전일 78,900원보다 "
                              "1,600원 올랐습니다. 목표가는 95,000원입니다."));
  const std::string Out = Home + "/figures.json";
  TRun R = RunCli(Home, Server.BaseUrl(),
                  "--mode agent --provider chatgpt --figures '" + Out + "' 삼성전자 주가는?");
  ASSERT_EQ(R.Status, 0) << R.Err;
  auto Doc = ParseJson(ReadFileBytes(Out).value_or(""));
  ASSERT_TRUE(Doc && Doc->is_array()) << ReadFileBytes(Out).value_or("(none)");
  std::vector<std::string> Seen;
  for (const TJson& F : *Doc)
    Seen.push_back(F["text"].get<std::string>() + "|" + F["status"].get<std::string>() + "|" +
                   F["source"].get<std::string>());
  // The stock code is no claim; the difference of two closes is derived.
  EXPECT_EQ(Seen, (std::vector<std::string>{"80,500원|backed|get_yahoo_price",
                                            "78,900원|backed|get_yahoo_price",
                                            "1,600원|derived|get_yahoo_price",
                                            "95,000원|unbacked|"}));
}

TEST(Cli, AttachedFileGoesWithThePromptAndIsKeptByPath) {
  const std::string Home = HomeForChatGpt();
  const std::string Memo = Home + "/memo.txt";
  WriteTestFile(Memo, "목표가는 90,000원");
  TFakeHttpServer Server;
  Server.Enqueue(ChatGptReply("요약: 목표가 90,000원"));
  TRun R =
      RunCli(Home, Server.BaseUrl(), "--provider chatgpt --save --attach '" + Memo + "' 요약해 줘");
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string Body = Server.LastRequest().Body;
  EXPECT_NE(Body.find("[첨부문서: memo.txt]"), std::string::npos) << Body;
  EXPECT_NE(Body.find("목표가는 90,000원"), std::string::npos) << Body;
  const auto Files = ChatFilesIn(Home + "/Documents/Kestrill");
  ASSERT_EQ(Files.size(), 1u);
  TJsonFileRead Saved = ReadChatJsonFile(Files[0]);
  ASSERT_EQ(Saved.Status, TJsonFileStatus::Ok) << Saved.Error;
  EXPECT_EQ(Saved.Value[0]["attached"], Memo);
}

TEST(Cli, SavedChatOptionErrors) {
  TFakeHttpServer Server;
  Server.SetDefault(ChatGptReply("답"));  // whatever gets through would be answered
  const char* kBrokenChat = "{\"msgId\": ";
  const char* kForeign = R"([{"name": "삼성전자", "code": "005930"}])";
  const char* kDamaged =
      R"([{"msgId": "1", "role": "user", "text": "ok"}, {"msgId": "2", "role": "model", "text": 42}])";
  struct TCase {
    const char* Args;       // "@" stands for the HOME of the case
    const char* Catalogue;  // ChatFileList.json's text, nullptr for none
    int Status;
    const char* Err;
  };
  const TCase Cases[] = {
      {"--provider chatgpt --chat '@/gone.json' 질문", nullptr, 2,
       "채팅 파일이 없습니다: @/gone.json"},
      {"--provider chatgpt --chat '@' 질문", nullptr, 2,
       "채팅 파일로 쓸 수 없습니다(일반 파일이 아닙니다): @"},
      // A folder or a FIFO is there, but is no file to send.
      {"--provider chatgpt --attach '@' 질문", nullptr, 2,
       "첨부할 파일로 쓸 수 없습니다(일반 파일이 아닙니다): @"},
      {"--provider chatgpt --attach '@/fifo' 질문", nullptr, 2,
       "첨부할 파일로 쓸 수 없습니다(일반 파일이 아닙니다): @/fifo"},
      {"--provider chatgpt 질문 --chat", nullptr, 2, "값이 빠졌습니다: --chat"},
      {"--provider chatgpt --attach '@/gone.png' 질문", nullptr, 2,
       "첨부할 파일이 없습니다: @/gone.png"},
      {"--provider chatgpt --chat '@/broken.json' 질문", nullptr, 1,
       "채팅 파일을 읽을 수 없습니다.\n[@/broken.json]"},
      // JSON arrays that are not chats are refused and never written.
      {"--provider chatgpt --chat '@/foreign.json' 질문", nullptr, 1,
       "채팅 파일이 아닙니다. 대화 메시지의 목록이 아닌 파일은 채팅으로 열거나 덮어쓰지 "
       "않습니다.\n[@/foreign.json]"},
      {"--provider chatgpt --chat '@/damaged.json' 질문", nullptr, 1,
       "채팅 파일의 일부(1개 항목)를 읽을 수 없습니다."},
      {"--provider chatgpt --chat '@/Documents/Kestrill/ChatFileList.json' 질문",
       "[{\"filename\": \"/x.json\", \"title\": \"t\", \"lastModified\": \"1\"}]", 1,
       "채팅 파일이 아닙니다."},
      {"--list", "[{", 1, "채팅 목록 파일을 읽을 수 없습니다.\n[@/Documents/Kestrill/"},
      {"--list 질문", nullptr, 2, "--list는"},
  };
  for (const TCase& C : Cases) {
    const std::string Home = HomeForChatGpt();
    auto InHome = [&](std::string AText) {
      for (std::size_t At = AText.find('@'); At != std::string::npos;
           At = AText.find('@', At + Home.size()))
        AText.replace(At, 1, Home);
      return AText;
    };
    SCOPED_TRACE(InHome(C.Args));
    WriteTestFile(Home + "/broken.json", kBrokenChat);
    mkfifo((Home + "/fifo").c_str(), 0600);
    WriteTestFile(Home + "/foreign.json", kForeign);
    WriteTestFile(Home + "/damaged.json", kDamaged);
    if (C.Catalogue) WriteTestFile(Home + "/Documents/Kestrill/ChatFileList.json", C.Catalogue);
    TRun R = RunCli(Home, Server.BaseUrl(), InHome(C.Args));
    EXPECT_EQ(R.Status, C.Status) << R.Err;
    EXPECT_NE(R.Err.find(InHome(C.Err)), std::string::npos) << R.Err;
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(Server.RequestCount(), 0u);
    // A chat file we could not read is left exactly as it was.
    EXPECT_EQ(ReadFileBytes(Home + "/broken.json"), kBrokenChat);
    EXPECT_EQ(ReadFileBytes(Home + "/foreign.json"), kForeign);
    EXPECT_EQ(ReadFileBytes(Home + "/damaged.json"), kDamaged);
    if (C.Catalogue && std::string(C.Args).find("--chat") != std::string::npos) {
      EXPECT_EQ(ReadFileBytes(Home + "/Documents/Kestrill/ChatFileList.json"), C.Catalogue);
    }
    EXPECT_EQ(ChatFilesIn(Home + "/Documents/Kestrill").size(), 0u);
  }
}

TEST(Cli, LongRepliesArePrintedWhole) {
  const std::string Home = HomeForChatGpt();
  TFakeHttpServer Server;
  std::string Korean, Ascii;
  // Line breaks, spaces, quotes and the encoding's own + and % all along; replies are trimmed,
  // so neither ends on a space.
  for (int I = 1; I <= 200000; ++I) Korean += I % 50 == 0 ? "\n" : "가";
  for (int I = 1; I <= 1000000; ++I) Ascii += "ab c\"d+%'x"[I % 10];
  Korean += "끝";
  for (const std::string& Text : {Korean, Ascii}) {
    SCOPED_TRACE(Text.size());
    Server.Enqueue({200, TJson{{"choices", {{{"message", {{"content", Text}}}}}}}.dump()});
    TRun R = RunCli(Home, Server.BaseUrl(), "--provider chatgpt 긴 답을 줘");
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_TRUE(R.Out == Text + "\n") << "printed " << R.Out.size() << " bytes";
  }
}

TEST(Cli, CtrlCStopsTheTurnAndKeepsThePrompt) {
  const std::string Prompt = "삼성전자 주가는?";
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    bool Saves;
  };
  const TCase Cases[] = {
      {"chatbot", {"--provider", "chatgpt"}, false},
      {"chatbot, saved", {"--provider", "chatgpt", "--save"}, true},
      {"agent, saved", {"--mode", "agent", "--provider", "chatgpt", "--save"}, true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Home = HomeForChatGpt(), Data = Home + "/Documents/Kestrill";
    TNeverAnswering Provider(Prompt);
    std::vector<std::string> Args = C.Args;
    Args.push_back(Prompt);
    TCliProcess Cli(Home, Provider.BaseUrl(), Args);
    ASSERT_TRUE(Cli.Started());
    ASSERT_TRUE(Provider.WaitForRequest(kHangGuard));
    Cli.Signal(SIGINT);
    TRun R = Cli.Wait(kHangGuard);
    EXPECT_EQ(R.Status, 130) << R.Err;
    EXPECT_NE(R.Err.find("중지되었습니다.\n"), std::string::npos) << R.Err;
    EXPECT_EQ(R.Out, "");
    const std::vector<std::string> Files = ChatFilesIn(Data);
    if (!C.Saves) {
      EXPECT_TRUE(Files.empty());
      continue;
    }
    ASSERT_EQ(Files.size(), 1u) << R.Err;
    EXPECT_EQ(SavedMessages(Files[0]),
              (std::vector<std::pair<std::string, std::string>>{{"user", Prompt}}));
    EXPECT_NE(R.Err.find("저장됨: " + Files[0] + "\n"), std::string::npos) << R.Err;
  }
}

TEST(Cli, CtrlCWhileTheCommandQuestionWaitsOnTheTerminal) {
  const std::string Home = HomeForChatGpt();
  TConfig(Home + "/Documents/Kestrill/Kestrill.Ini").Write(keys::Command, true);
  const std::string Marker = Home + "/ran";
  TFakeHttpServer Server;
  Server.Enqueue(
      {200,
       TJson{{"choices",
              {{{"message",
                 {{"content", "확인해 볼게요."},
                  {"tool_calls",
                   {{{"id", "c1"},
                     {"function",
                      {{"name", "execute_cmd"},
                       {"arguments", TJson{{"command", "touch '" + Marker + "'"}}.dump()}}}}}}}}}}}}
           .dump()});
  TPty Terminal;
  ASSERT_GE(Terminal.Slave, 0);
  TCliProcess Cli(Home, Server.BaseUrl(),
                  {"--mode", "agent", "--provider", "chatgpt", "--save", "파일을 만들어 줘"},
                  Terminal.Slave);
  ASSERT_TRUE(Cli.Started());
  ASSERT_TRUE(Cli.WaitForErr("허용하려면 y, 거부하려면 Enter: ", kHangGuard));
  Cli.Signal(SIGINT);
  TRun R = Cli.Wait(kHangGuard);
  EXPECT_EQ(R.Status, 130) << R.Err;
  EXPECT_NE(R.Err.find("Enter: \n중지되었습니다.\n"), std::string::npos) << R.Err;
  EXPECT_FALSE(std::filesystem::exists(Marker));
  const std::vector<std::string> Files = ChatFilesIn(Home + "/Documents/Kestrill");
  ASSERT_EQ(Files.size(), 1u) << R.Err;
  // The call stays with a result, so the chat can be sent to any provider again: answered as
  // stopped, or as refused when the refusal Ctrl+C gave the question got there first.
  std::vector<std::pair<std::string, std::string>> Kept{
      {"user", "파일을 만들어 줘"},
      {"assistant", "확인해 볼게요."},
      {"assistant", ""},
      {"tool", "사용자가 도구 실행을 중지했습니다."}};
  const auto Saved = SavedMessages(Files[0]);
  if (Saved.size() == 4 && Saved[3].second == "도구 실행 실패 또는 알 수 없는 도구입니다.")
    Kept[3].second = Saved[3].second;
  EXPECT_EQ(Saved, Kept);
  EXPECT_EQ(ReadChatJsonFile(Files[0]).Value[2]["toolname"], "execute_cmd");
}

TEST(Cli, ASecondQuickCtrlCStillEndsTheRunningCommand) {
  const std::string Home = HomeForChatGpt();
  TConfig(Home + "/Documents/Kestrill/Kestrill.Ini").Write(keys::Command, true);
  const std::string PidFile = Home + "/command.pid";
  TFakeHttpServer Server;
  const std::string Command = "echo $$ > '" + PidFile + "'; sleep 30";
  Server.Enqueue(
      {200,
       TJson{{"choices",
              {{{"message",
                 {{"content", nullptr},
                  {"tool_calls",
                   {{{"id", "c1"},
                     {"function",
                      {{"name", "execute_cmd"},
                       {"arguments", TJson{{"command", Command}}.dump()}}}}}}}}}}}}
           .dump()});
  TCliProcess Cli(Home, Server.BaseUrl(),
                  {"--mode", "agent", "--provider", "chatgpt", "--allow-commands", "명령"});
  ASSERT_TRUE(Cli.Started());
  std::optional<std::string> Pid;
  for (int I = 0; I < 500 && !(Pid = ReadFileBytes(PidFile)); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(Pid);
  const pid_t Group = static_cast<pid_t>(std::stol(*Pid));
  // The user insists: the second Ctrl+C comes before the first has been dealt with.
  Cli.Signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Cli.Signal(SIGINT);
  TRun R = Cli.Wait(kHangGuard);
  EXPECT_EQ(R.Status, 130) << R.Err;
  // The command's process group is gone with it (a zombie waiting to be reaped is gone too).
  auto Running = [&] {
    int Count = 0;
    for (const auto& E : std::filesystem::directory_iterator("/proc")) {
      std::string Stat = ReadFileBytes(E.path().string() + "/stat").value_or("");
      const std::size_t Close = Stat.rfind(')');
      if (Close == std::string::npos) continue;
      char State = 0;
      long Parent = 0, ProcessGroup = 0;
      if (std::sscanf(Stat.c_str() + Close + 1, " %c %ld %ld", &State, &Parent, &ProcessGroup) == 3 &&
          ProcessGroup == Group && State != 'Z')
        ++Count;
    }
    return Count;
  };
  for (int I = 0; I < 100 && Running() > 0; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Running(), 0);
  kill(-Group, SIGKILL);  // never leave a sleeper behind, whatever the outcome
}

TEST(Cli, SearchAndExportSavedChats) {
  const std::string Home = HomeForChatGpt();
  const std::string Data = Home + "/Documents/Kestrill";
  TChatHistory Chat{CreateChatMessage(kRoleUser, "삼성전자 배당은?"),
                    CreateChatMessage(kRoleModel, "분기 배당은 361원입니다.")};
  WriteFileAtomic(Data + "/20261201090000.json", FormatHistoryFile(Chat));
  Chat[0].Text = "Apple earnings";
  WriteFileAtomic(Data + "/20261202090000.json", FormatHistoryFile(Chat));

  TRun R = RunCli(Home, "http://127.0.0.1:9", "--search 배당 삼성전자");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, Data + "/20261201090000.json\t삼성전자 배당은?\t삼성전자 배당은?\n");
  R = RunCli(Home, "http://127.0.0.1:9", "--search 361원");
  EXPECT_LT(R.Out.find("20261202090000.json"), R.Out.find("20261201090000.json")) << R.Out;
  R = RunCli(Home, "http://127.0.0.1:9", "--search 없는단어");
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "");

  const std::string Md = Home + "/삼성 배당.md";
  R = RunCli(Home, "http://127.0.0.1:9",
             "--chat '" + Data + "/20261201090000.json' --export '" + Md + "'");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(ReadFileBytes(Md).value_or("").rfind("# 삼성전자 배당은?\r\n\r\n## 질문", 0), 0u);
  const std::pair<std::string, int> Refused[] = {
      {"--export '" + Home + "/x.md'", 2},
      {"--chat '" + Data + "/20261201090000.json' --export '" + Home + "/x.txt'", 1},
      {"--chat '" + Data + "/20261201090000.json' --export '" + Home + "/x.md' 질문", 2},
      {"--search", 2},
  };
  for (const auto& [Args, Status] : Refused)
    EXPECT_EQ(RunCli(Home, "http://127.0.0.1:9", Args).Status, Status) << Args;
}
