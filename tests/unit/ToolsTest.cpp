// The web search and Yahoo Finance tools against servers on 127.0.0.1, and the command tool
// with real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stop_token>
#include <thread>

#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "agent/CommandTool.h"
#include "agent/WebSearch.h"
#include "core/FileIO.h"
#include "core/HttpClient.h"
#include "tools/YahooFinance.h"

using namespace kestrill;
using namespace kestrill::testing;

TEST(SearchWeb, HitsAndFailures) {
  TFakeHttpServer Server;
  setenv("KESTRILL_TAVILY_URL", Server.BaseUrl().c_str(), 1);
  Server.Enqueue(
      {200,
       R"({"query":"q","results":[{"title":"삼성","url":"u","content":"내용 1"},{"title":3,"content":null}]})"});
  EXPECT_EQ(SearchWeb("q", "k"), "[출처: 삼성]\r\n내용 1\r\n\r\n[출처: 3]\r\n\r\n\r\n");
  EXPECT_EQ(Server.LastRequest().Path, "/search");
  EXPECT_EQ(Server.LastRequest().Header("content-type"), "application/json");
  Server.Enqueue({200, R"({"results":[{"title":"a","content":"b"},{"title":"c"}]})"});
  EXPECT_EQ(SearchWeb("q", "k").rfind("검색 중 오류 발생: ", 0), 0u);
  Server.Enqueue({401, R"({"detail":{"error":"Unauthorized"}})"});
  EXPECT_EQ(SearchWeb("q", "bad"), "검색 결과가 없습니다.");
  Server.Enqueue({502, "<html>bad gateway</html>", "text/html"});
  EXPECT_EQ(SearchWeb("q", "k"), "검색 결과가 없습니다.");
  Server.Enqueue({200, "[1]"});
  EXPECT_EQ(SearchWeb("q", "k").rfind("검색 중 오류 발생: ", 0), 0u);
  setenv("KESTRILL_TAVILY_URL", ("http://127.0.0.1:" + std::to_string(UnusedLocalPort())).c_str(),
         1);
  EXPECT_EQ(SearchWeb("q", "k").rfind("검색 중 오류 발생: ", 0), 0u);
  unsetenv("KESTRILL_TAVILY_URL");
}

TEST(ExecuteCmdAndCapture, OutputShapes) {
  std::string Long(300, 'x');
  EXPECT_EQ(ExecuteCmdAndCapture("printf '%0300d' 0 | tr 0 x"), Long);
  // 254 ASCII bytes, then a three-byte character across the 255-byte read boundary.
  EXPECT_EQ(ExecuteCmdAndCapture("printf '%0254d' 0; printf '한글'"),
            std::string(254, '0') + "한글");
  EXPECT_EQ(ExecuteCmdAndCapture("echo 오류 1>&2"), "오류\n");
  EXPECT_EQ(ExecuteCmdAndCapture("echo out; echo err 1>&2"), "out\nerr\n");
  EXPECT_EQ(ExecuteCmdAndCapture("true"), "명령이 실행되었으나 출력 결과가 없습니다.");
  EXPECT_EQ(ExecuteCmdAndCapture("printf '\\307\\321\\261\\333'"), "한글");  // CP949 output
  EXPECT_EQ(ExecuteCmdAndCapture("printf 'ab\\000cd'"), "ab");  // a zero byte ends its chunk
}

namespace {

// The pids a command wrote to the files AFiles of ADir (0 for a file it did not write).
std::vector<pid_t> PidsIn(const std::string& ADir, const std::vector<std::string>& AFiles) {
  std::vector<pid_t> Out;
  for (const std::string& F : AFiles) {
    const std::string Text = ReadFileBytes(ADir + "/" + F).value_or("");
    Out.push_back(static_cast<pid_t>(std::atoi(Text.c_str())));
  }
  return Out;
}

// Gone: no such process at all, so neither running nor a zombie left unreaped by us.
bool GoneWithin(pid_t APid, std::chrono::seconds ALimit) {
  const auto Deadline = std::chrono::steady_clock::now() + ALimit;
  while (kill(APid, 0) == 0 || errno != ESRCH) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool FileWritten(const std::string& APath) { return !ReadFileBytes(APath).value_or("").empty(); }

// Every way a command puts work out of its own reach: in the background, immune to hang-ups,
// in a session of its own started from a subshell that is gone at once (so the process is an
// orphan before the command ends), and with its environment cleared. Each writes its pid to a
// file; the command waits for all of them, then runs AForeground.
std::string Escapes(const std::string& ADir, const std::string& AForeground) {
  return "cd '" + ADir +
         "' || exit 1\n"
         "sleep 1000 >/dev/null 2>&1 & echo $! >bg\n"
         "nohup sleep 1000 >/dev/null 2>&1 & echo $! >nohup\n"
         "(setsid sh -c 'echo $$ >orphan; exec sleep 1000' >/dev/null 2>&1 &)\n"
         "env -i /bin/sh -c 'setsid sh -c \"echo \\$\\$ >bare; exec sleep 1000\" &' >/dev/null "
         "2>&1\n"
         "until [ -s bg ] && [ -s nohup ] && [ -s orphan ] && [ -s bare ]; do sleep 0.01; done\n" +
         AForeground;
}

const std::vector<std::string> kEscaped = {"bg", "nohup", "orphan", "bare"};

}  // namespace

// However a command ends, it leaves nothing running and no zombie behind: not what it put in the
// background, not what left its group and session.
TEST(ExecuteCmdAndCapture, NothingTheCommandStartedOutlivesIt) {
  struct TCase {
    const char* Name;
    std::string Foreground;
    bool Stop;
    std::string Expected;
  };
  const TCase Cases[] = {
      {"ends by itself", "echo done", false, "done\n"},
      // Stopped while its foreground work runs in a session of its own, out of the group's reach.
      {"stopped", "setsid sh -c 'echo $$ >front; exec sleep 1000'", true,
       "사용자가 명령 실행을 중지했습니다."},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Dir = MakeTempFolder();
    std::stop_source StopSource;
    std::string Result;
    std::thread Runner([&] {
      THttpCancelScope Scope(StopSource.get_token());
      Result = ExecuteCmdAndCapture(Escapes(Dir, C.Foreground));
    });
    if (C.Stop) {
      const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!FileWritten(Dir + "/front") && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      StopSource.request_stop();
    }
    Runner.join();
    EXPECT_EQ(Result, C.Expected);
    std::vector<std::string> Files = kEscaped;
    if (C.Stop) Files.push_back("front");
    const std::vector<pid_t> Pids = PidsIn(Dir, Files);
    for (std::size_t I = 0; I < Pids.size(); ++I) {
      ASSERT_GT(Pids[I], 0) << Files[I];
      EXPECT_TRUE(GoneWithin(Pids[I], std::chrono::seconds(10))) << Files[I] << " " << Pids[I];
    }
  }
}

// A program that leaves while a command runs ends the command and all it started on its way out.
TEST(ExecuteCmdAndCapture, ProgramExitEndsARunningCommand) {
  const std::string Dir = MakeTempFolder();
  std::fflush(nullptr);
  const pid_t Program = fork();
  ASSERT_GE(Program, 0);
  if (Program == 0) {
    std::thread([Dir] {
      ExecuteCmdAndCapture(Escapes(Dir, "echo $$ >front; sleep 1000"));
    }).detach();
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!FileWritten(Dir + "/front") && std::chrono::steady_clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::exit(0);
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Program, &Status, 0), Program);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
  std::vector<std::string> Files = kEscaped;
  Files.push_back("front");
  const std::vector<pid_t> Pids = PidsIn(Dir, Files);
  for (std::size_t I = 0; I < Pids.size(); ++I) {
    ASSERT_GT(Pids[I], 0) << Files[I];
    EXPECT_TRUE(GoneWithin(Pids[I], std::chrono::seconds(10))) << Files[I] << " " << Pids[I];
  }
}

class YahooTest : public ::testing::Test {
 protected:
  TFakeHttpServer Server;
  void SetUp() override {
    for (const char* Var :
         {"KESTRILL_YAHOO_CHART_URL", "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
      setenv(Var, Server.BaseUrl().c_str(), 1);
    ResetYahooSession();
    TCannedResponse Cookie(404, "not found", "text/html");
    Cookie.Headers = {
        {"Set-Cookie", "A3=session-1; Max-Age=31557600; Domain=.yahoo.com; Path=/; Secure"}};
    Server.SetRoute("/", Cookie);
    Server.SetRoute("/v1/test/getcrumb", {200, "crumb/1", "text/plain"});
  }
  void TearDown() override {
    for (const char* Var :
         {"KESTRILL_YAHOO_CHART_URL", "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
      unsetenv(Var);
  }
  std::size_t Count(const std::string& APath) {
    std::size_t N = 0;
    for (const auto& R : Server.Requests()) N += R.Path == APath;
    return N;
  }
};

TEST_F(YahooTest, ChartBodyVerbatimOrARaisedError) {
  const std::string Body =
      R"({"chart":{"result":[{"meta":{"symbol":"005930.KS","regularMarketPrice":80500}}],"error":null}})";
  Server.SetRoute("/v8/finance/chart/005930.KS", {200, Body});
  EXPECT_EQ(GetYahooStockData("005930.KS", "5d", "1d"), Body);
  TRecordedRequest R = Server.LastRequest();
  EXPECT_EQ(R.Query, "range=5d&interval=1d");
  EXPECT_EQ(R.Header("user-agent"),
            "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/114.0.0.0 Safari/537.36");
  Server.SetRoute("/v8/finance/chart/NOPE",
                  {404, R"({"chart":{"result":null,"error":{"code":"Not Found"}}})"});
  try {
    GetYahooStockData("NOPE", "1d", "1d");
    FAIL();
  } catch (const EYahooError& E) {
    EXPECT_STREQ(E.what(), "요청 중 오류 발생: 야후 API 에러: 404 - Not Found");
  }
  setenv("KESTRILL_YAHOO_CHART_URL",
         ("http://127.0.0.1:" + std::to_string(UnusedLocalPort())).c_str(), 1);
  try {
    GetYahooStockData("AAPL", "1d", "1d");
    FAIL();
  } catch (const EYahooError& E) {
    EXPECT_EQ(std::string(E.what()).rfind("요청 중 오류 발생: ", 0), 0u);
  }
  EXPECT_EQ(Count("/v1/test/getcrumb"), 0u);  // the chart service needs no session
}

TEST_F(YahooTest, SummaryWithSessionCookieAndCrumb) {
  Server.SetRoute("/v10/finance/quoteSummary/AAPL", {200, R"({"quoteSummary":{"result":[{
    "financialData":{"financialCurrency":"USD","currentPrice":{"raw":1,"fmt":"227.48"},"totalRevenue":{"fmt":"391.04B"},
      "profitMargins":{"fmt":"23.97%"},"operatingMargins":{"fmt":"31.17%"}},
    "defaultKeyStatistics":{"forwardPE":{"fmt":"29.62"}},
    "incomeStatementHistory":{"incomeStatementHistory":[{"operatingIncome":{"fmt":"123.22B"}}]}}],"error":null}})"});
  EXPECT_EQ(GetYahooFinanceData("AAPL"),
            "[AAPL 재무 요약]\r\n- 통화: USD\r\n- 현재 주가: 227.48\r\n- 총 매출: 391.04B\r\n- "
            "영업이익: 123.22B\r\n"
            "- 영업이익률: 31.17%\r\n- 순이익률: 23.97%\r\n- 추정 PER: 29.62");
  TRecordedRequest R = Server.LastRequest();
  EXPECT_EQ(R.Query,
            "modules=financialData,defaultKeyStatistics,incomeStatementHistory&crumb=crumb%2F1");
  EXPECT_EQ(R.Header("cookie"), "A3=session-1");
  EXPECT_EQ(R.Header("user-agent"),
            "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/120.0.0.0 Safari/537.36");
  GetYahooFinanceData("AAPL");
  EXPECT_EQ(Count("/v1/test/getcrumb"), 1u);  // once per process

  Server.SetRoute(
      "/v10/finance/quoteSummary/ONLY",
      {200,
       R"({"quoteSummary":{"result":[{"financialData":{"currentPrice":{"fmt":"1.00"},"totalRevenue":{"fmt":""}}}]}})"});
  EXPECT_EQ(GetYahooFinanceData("ONLY"),
            "[ONLY 재무 요약]\r\n- 통화: USD\r\n- 현재 주가: 1.00\r\n- 총 매출: 정보 없음\r\n- "
            "영업이익: 정보 없음\r\n"
            "- 영업이익률: 정보 없음\r\n- 순이익률: 정보 없음\r\n- 추정 PER: 정보 없음");
  Server.SetRoute(
      "/v10/finance/quoteSummary/ZZZ",
      {404,
       R"({"quoteSummary":{"result":null,"error":{"code":"Not Found","description":"Quote not found for symbol: ZZZ"}}})"});
  EXPECT_EQ(GetYahooFinanceData("ZZZ"), "해당 종목 기호(ZZZ)를 찾을 수 없습니다.");
  Server.SetRoute("/v10/finance/quoteSummary/HTML", {200, "<html></html>", "text/html"});
  EXPECT_EQ(GetYahooFinanceData("HTML"), "API 응답을 해석할 수 없습니다.");
}

TEST_F(YahooTest, AnExpiredSessionIsRenewedOnceThenReportedNotSummarised) {
  const std::string Unauthorized =
      R"({"finance":{"result":null,"error":{"code":"Unauthorized","description":"Invalid Crumb"}}})";
  Server.SetRoute("/v10/finance/quoteSummary/MSFT", {401, Unauthorized});
  EXPECT_EQ(GetYahooFinanceData("MSFT"), "API 호출 중 오류 발생: Unauthorized: Invalid Crumb");
  EXPECT_EQ(Count("/v1/test/getcrumb"), 2u);  // first session, then one renewal after the 401
  EXPECT_EQ(Count("/v10/finance/quoteSummary/MSFT"), 2u);
  EXPECT_EQ(GetYahooFinanceFinancials("MSFT", "annual"), "통신 오류: Unauthorized: Invalid Crumb");
}

TEST_F(YahooTest, IncomeStatements) {
  Server.SetRoute("/v10/finance/quoteSummary/TSLA", {200, R"({"quoteSummary":{"result":[{
    "incomeStatementHistory":{"incomeStatementHistory":[
      {"endDate":{"fmt":"2025-12-31"},"totalRevenue":{"fmt":"97.69B"},"netIncome":{"fmt":"7.13B"}},
      {"endDate":{"fmt":"2024-12-31"},"totalRevenue":{"fmt":"96.77B"}}]},
    "incomeStatementHistoryQuarterly":{"incomeStatementHistory":[]}}]}})"});
  EXPECT_EQ(GetYahooFinanceFinancials("TSLA", "Annual"),
            "TSLA의 연도별(최근 4년) 재무 요약:\r\n- 종료일: 2025-12-31 | 총매출: 97.69B | 순이익: "
            "7.13B\r\n"
            "- 종료일: 2024-12-31 | 총매출: 96.77B | 순이익: N/A\r\n");
  EXPECT_EQ(Server.LastRequest().Query.rfind("modules=incomeStatementHistory&crumb=", 0), 0u);
  EXPECT_EQ(Server.LastRequest().Header("accept"), "application/json");
  EXPECT_EQ(GetYahooFinanceFinancials("TSLA", "yearly"),
            "TSLA의 분기별(최근 4분기) 재무 요약:\r\n");
  EXPECT_EQ(Server.LastRequest().Query.rfind("modules=incomeStatementHistoryQuarterly&", 0), 0u);
  Server.SetRoute("/v10/finance/quoteSummary/EMPTY", {200, R"({"quoteSummary":{"result":[]}})"});
  EXPECT_EQ(GetYahooFinanceFinancials("EMPTY", ""), "종목 기호(EMPTY)를 찾을 수 없습니다.");
  Server.SetRoute("/v10/finance/quoteSummary/NODATA", {200, R"({"quoteSummary":{"result":[{}]}})"});
  EXPECT_EQ(GetYahooFinanceFinancials("NODATA", ""), "해당 종목의 재무 데이터를 찾을 수 없습니다.");
  Server.SetRoute("/v10/finance/quoteSummary/BAD", {200, "not json"});
  EXPECT_EQ(GetYahooFinanceFinancials("BAD", ""), "오류: 응답을 해석할 수 없습니다.");
}
