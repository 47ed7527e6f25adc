#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "FakeAutomation.h"
#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "engine/ToolDispatcher.h"
#include "tools/YahooFinance.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

class TRecordingHost : public IToolHost {
 public:
  void ShowStatus(const std::string& AText) override { Statuses.push_back(AText); }
  void RunPageScript(const std::string& AScript) override { Scripts.push_back(AScript); }
  bool ConfirmCommand(const std::string& AQuestion) override {
    Questions.push_back(AQuestion);
    return Answer;
  }
  std::vector<std::string> Statuses, Scripts, Questions;
  bool Answer = false;
};

// The labels the test's own time zone gives for Unix time ASeconds.
std::string Local(std::time_t ASeconds, const char* AFormat) {
  std::tm T{};
  localtime_r(&ASeconds, &T);
  char Buf[32];
  std::strftime(Buf, sizeof(Buf), AFormat, &T);
  return Buf;
}

class DispatcherTest : public ::testing::Test {
 protected:
  std::string Dir = MakeTempFolder();
  TConfig Config{Dir + "/Kestrill.Ini"};
  TRecordingHost Host;
  std::string Run(const std::string& AName, const std::string& AArgs) {
    return ExecuteLocalTool(AName, AArgs, Config, Host);
  }
};

}  // namespace

TEST(NormalizeDateText, DatesTimesStringsAndErrors) {
  const std::time_t A = 1769353200, B = 1769958000, C = 1770562800;
  const std::string Dates =
      "[" + Local(A, "%Y-%m-%d") + "," + Local(B, "%Y-%m-%d") + "," + Local(C, "%Y-%m-%d") + "]";
  EXPECT_EQ(NormalizeDateText("[1769353200, 1769958000, 1770562800]"), Dates);
  EXPECT_EQ(NormalizeDateText(" 1769353200, 1769958000, 1770562800 "), Dates);
  EXPECT_EQ(NormalizeDateText("[1769353200.9, 1769958000, 1770562800]"), Dates);  // truncated
  // Two times of one local day: hh:mm labels.
  std::tm Day{};
  Day.tm_year = 126, Day.tm_mon = 0, Day.tm_mday = 26, Day.tm_hour = 10, Day.tm_isdst = -1;
  std::time_t Ten = std::mktime(&Day);
  EXPECT_EQ(NormalizeDateText("[" + std::to_string(Ten) + "," + std::to_string(Ten + 3600) + "]"),
            "[10:00,11:00]");
  EXPECT_EQ(NormalizeDateText(R"(["1월", "2월", "3월"])"), "[1월,2월,3월]");
  EXPECT_EQ(NormalizeDateText("[]"), "[]");
  EXPECT_EQ(NormalizeDateText(""), "[]");
  // Timestamps without a date (past year 9999 or before year 1) are bad elements too.
  for (const char* Bad :
       {"[1, {\"a\":1}]", "[true]", "[[1]]", "[null]", "[1e20]", "[-1e20]", "[253402300800]"}) {
    try {
      NormalizeDateText(Bad);
      ADD_FAILURE() << Bad;
    } catch (const EToolError& E) {
      EXPECT_STREQ(E.what(), "Unsupported value type") << Bad;
    }
  }
  EXPECT_THROW(NormalizeDateText("{\"a\": 1}"), EToolError);  // becomes "[{...}]": unsupported
  try {
    NormalizeDateText("a, b");
    ADD_FAILURE();
  } catch (const EToolError& E) {
    EXPECT_STREQ(E.what(), "Invalid input format");
  }
}

TEST_F(DispatcherTest, UnknownNamesAndBadArguments) {
  for (auto [Name, Args] : std::vector<std::pair<std::string, std::string>>{
           {"Search_Web", R"({"query":"x"})"},
           {"nope", "{}"},
           {"search_web", "[1]"},
           {"search_web", "not json"},
           {"search_web", "{}"},
           {"search_web", R"({"query":["a"]})"},
           {"get_yahoo_finance", R"({"ticker":{"a":1}})"},
           {"execute_cmd", "{}"}})
    EXPECT_EQ(Run(Name, Args), kToolFailedText) << Name << " " << Args;
  EXPECT_TRUE(Host.Statuses.empty());
}

TEST_F(DispatcherTest, ChartScriptIsEscapedAndQueued) {
  EXPECT_EQ(Run("draw_stock_chart", R"({"timestamps":"[1,2]","prices":"[3,4]"})"),
            "차트 제목이 없어서 생성 실패");
  EXPECT_TRUE(Host.Scripts.empty());
  EXPECT_EQ(
      Run("draw_stock_chart",
          R"({"chartTitle":" 삼성전자 ","timestamps":"[\"a\",\"b\"]","prices":" [61400, 56200] "})"),
      "");
  ASSERT_EQ(Host.Scripts.size(), 1u);
  EXPECT_EQ(Host.Scripts[0], R"(appendChart("삼성전자", "[a,b]", "[61400, 56200]");)");
  EXPECT_EQ(BuildChartScript("a\"b\\c</script>", "[x]", "[1]"),
            R"(appendChart("a\"b\\c<\/script>", "[x]", "[1]");)");
  EXPECT_THROW(Run("draw_stock_chart", R"({"chartTitle":"t","timestamps":"[{}]"})"), EToolError);
}

TEST_F(DispatcherTest, CommandNeedsConsent) {
  Host.Answer = false;
  EXPECT_EQ(Run("execute_cmd", R"({"command":"echo hi"})"), kToolFailedText);
  ASSERT_EQ(Host.Questions.size(), 1u);
  EXPECT_EQ(Host.Questions[0],
            "AI 에이전트가 다음 명령을 실행하려고 합니다.\r\n\r\n명령어: echo "
            "hi\r\n\r\n허용하시겠습니까?");
  EXPECT_TRUE(Host.Statuses.empty());
  Host.Answer = true;
  EXPECT_EQ(Run("execute_cmd", R"({"command":"echo hi"})"), "hi\n");
  EXPECT_EQ(Host.Statuses, std::vector<std::string>{"💻 터미널 실행: echo hi"});
}

TEST(BoundToolResult, LongResultsAreCutOnACharacterWithANote) {
  EXPECT_EQ(BoundToolResult("짧은 결과"), "짧은 결과");
  std::string Long = "ab";
  while (Long.size() < 300 * 1024) Long += "가";  // 3-byte characters, not aligned to the cut
  std::string Cut = BoundToolResult(Long);
  const std::string Note = "\r\n\r\n[도구 결과가 너무 길어 앞부분 255KB만 전달합니다. 원래 크기: " +
                           std::to_string(Long.size()) + " 바이트]";
  ASSERT_GT(Cut.size(), Note.size());
  EXPECT_EQ(Cut.substr(Cut.size() - Note.size()), Note);
  std::string Kept = Cut.substr(0, Cut.size() - Note.size());
  EXPECT_LE(Kept.size(), kMaxToolResultBytes);
  EXPECT_EQ(Long.compare(0, Kept.size(), Kept), 0);
  EXPECT_EQ(Kept.size() % 3, 2u);  // "ab" and whole characters only
}

TEST_F(DispatcherTest, ArgumentsDefaultsAndStatusLines) {
  TFakeHttpServer Server;
  Server.SetDefault({200, R"({"results":[]})"});
  setenv("KESTRILL_TAVILY_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_YAHOO_CHART_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_YAHOO_SUMMARY_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_YAHOO_COOKIE_URL", Server.BaseUrl().c_str(), 1);
  Config.Write(keys::WebSearchKey, "tvly-1");

  EXPECT_EQ(Run("search_web", R"({"query":2026})"), "검색 결과가 없습니다.");
  EXPECT_EQ(Server.LastRequest().Body,
            R"({"api_key":"tvly-1","query":"2026","search_depth":"basic","include_answer":false})");
  EXPECT_EQ(Host.Statuses.back(), "🔍 웹 검색 중: \"2026\"");

  // An answer that is not a chart is refused instead of being handed to the model as prices.
  EXPECT_EQ(Run("get_yahoo_price", R"({"ticker":"005930.KS"})"),
            "야후 API 응답을 해석할 수 없습니다: 차트 데이터(JSON)가 아닙니다 (14 바이트).");
  EXPECT_EQ(Server.LastRequest().Path, "/v8/finance/chart/005930.KS");
  EXPECT_EQ(Server.LastRequest().Query, "range=1d&interval=1d");
  EXPECT_EQ(Host.Statuses.back(), "🔍 주식 정보 검색 중: \"005930.KS\"");

  ResetYahooSession();
  Run("get_financials", R"({"ticker":1234})");
  EXPECT_EQ(Server.LastRequest().Path, "/v10/finance/quoteSummary/1234");
  EXPECT_EQ(Server.LastRequest().Query.rfind("modules=incomeStatementHistoryQuarterly", 0), 0u);
  for (const char* Var : {"KESTRILL_TAVILY_URL", "KESTRILL_YAHOO_CHART_URL",
                          "KESTRILL_YAHOO_SUMMARY_URL", "KESTRILL_YAHOO_COOKIE_URL"})
    unsetenv(Var);
}

TEST(ToolSet, OrderAndConditions) {
  std::string Dir = MakeTempFolder();
  TConfig Config(Dir + "/Kestrill.Ini");
  auto Names = [&](int AIndex, bool* ASearch = nullptr) {
    TOpenAPIToolManager M;
    BuildToolSet(M, Config, AIndex);
    if (ASearch) *ASearch = M.FEnableGeminiGoogleSearch;
    std::vector<std::string> Out;
    for (const auto& T : M.Tools()) Out.push_back(T.Name());
    return Out;
  };
  const std::vector<std::string> Base{"get_yahoo_price", "get_yahoo_finance", "get_financials",
                                      "draw_stock_chart"};
  bool Search = false;
  EXPECT_EQ(Names(1, &Search), Base);
  EXPECT_FALSE(Search);
  Config.WriteString("Tools", "Command", "true");  // a word reads as the default: off
  EXPECT_EQ(Names(1), Base);
  Config.Write(keys::Command, true);
  Config.Write(keys::WebSearchKey, "tvly");
  EXPECT_EQ(Names(1),
            (std::vector<std::string>{"execute_cmd", "get_yahoo_price", "get_yahoo_finance",
                                      "get_financials", "draw_stock_chart", "search_web"}));
  auto Gemini = Names(0, &Search);  // Gemini searches with its own tool
  EXPECT_EQ(std::count(Gemini.begin(), Gemini.end(), "search_web"), 0);
  EXPECT_TRUE(Search);

  Config.Write(keys::UseDaishin, true);
  Config.Write(keys::DARTKey, "dart");
  Config.Write(keys::KRXKey, "krx");
  EXPECT_EQ(Names(1), (std::vector<std::string>{
                          "execute_cmd", "get_yahoo_price", "get_yahoo_finance", "get_financials",
                          "draw_stock_chart", "search_web", "get_daishin_price",
                          "get_daishin_investor", "get_dart_financials",
                          "search_dart_disclosures", "get_krx_price", "get_index_price"}));
  Config.Write(keys::UseDaishin, false);
  Config.Write(keys::DARTKey, "");
  auto OnlyKrx = Names(2);
  EXPECT_EQ(std::vector<std::string>(OnlyKrx.end() - 3, OnlyKrx.end()),
            (std::vector<std::string>{"search_web", "get_krx_price", "get_index_price"}));
}

namespace {

// A host whose broker automation is a fake.
class TBrokerHost : public TRecordingHost {
 public:
  std::unique_ptr<IAutomationSession> StartBrokerAutomation() override {
    return Broker.Starter()();
  }
  TFakeAutomation Broker;
};

}  // namespace

TEST(Dispatcher, BrokerRowsReadCodesAndDays) {
  std::string Dir = MakeTempFolder();
  TConfig Config(Dir + "/Kestrill.Ini");
  const std::pair<const char*, const char*> Refused[] = {
      {"get_daishin_price", R"({})"},
      {"get_daishin_investor", R"({"days":3})"},
  };
  for (auto [Tool, Args] : Refused) {
    TBrokerHost Host;
    EXPECT_EQ(ExecuteLocalTool(Tool, Args, Config, Host),
              std::string(Tool) == "get_daishin_price" ? "종목 코드를 전달받지 못했습니다."
                                                       : kToolFailedText);
    EXPECT_TRUE(Host.Broker.Log.empty()) << Tool;  // the implementation is not called
  }

  TBrokerHost Price;
  Price.Broker.Answers["CpUtil.CpCybos.IsConnect"] = std::int32_t{1};
  ExecuteLocalTool("get_daishin_price", R"({"stock_code":5930})", Config, Price);
  EXPECT_EQ(Price.Broker.Log[4], "DsCbo1.StockMst.SetInputValue(0, \"A5930\")");

  // days: an integer or the text of one; anything else is 1. Five rows are available.
  const std::pair<const char*, int> Days[] = {
      {"", 1},      {R"(,"days":3)", 3},    {R"(,"days":" 2 ")", 2},
      {R"(,"days":2.5)", 1}, {R"(,"days":"2.5")", 1}, {R"(,"days":"다섯")", 1},
      {R"(,"days":99999999999)", 1},
  };
  for (auto [Extra, Rows] : Days) {
    TBrokerHost Host;
    Host.Broker.Answers["CpUtil.CpCybos.IsConnect"] = std::int32_t{1};
    Host.Broker.Answers["CpSysDib.CpSvr7254.GetDibStatus"] = std::int32_t{0};
    Host.Broker.Answers["CpSysDib.CpSvr7254.GetHeaderValue(1)"] = std::int32_t{5};
    const std::string Result = ExecuteLocalTool(
        "get_daishin_investor", std::string(R"({"target_code":"005930")") + Extra + "}", Config,
        Host);
    EXPECT_EQ(std::count(Result.begin(), Result.end(), '\n'), 1 + Rows) << Extra;
  }
}

TEST_F(DispatcherTest, MarketRowsReadTheirKeysAndDefaults) {
  TFakeHttpServer Server;
  Server.SetDefault({200, R"({"status":"013","OutBlock_1":[]})"});
  setenv("KESTRILL_DART_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_KRX_URL", Server.BaseUrl().c_str(), 1);
  Config.Write(keys::DARTKey, "dart-key");
  Config.Write(keys::KRXKey, "krx-key");
  const std::string Today = Local(std::time(nullptr), "%Y%m%d");

  Run("get_dart_financials", R"({"corp_code":"00126380","year":2023})");
  EXPECT_EQ(Server.LastRequest().Query,
            "crtfc_key=dart-key&corp_code=00126380&bsns_year=2023&reprt_code=");
  EXPECT_EQ(Run("search_dart_disclosures", R"({"corp_code":"00126380","keyword":null})"),
            "해당 기간에 조회된 공시 데이터가 없습니다.");
  EXPECT_EQ(Server.LastRequest().Query, "crtfc_key=dart-key&page_count=100&corp_code=00126380");

  Run("get_krx_price", R"({"stock_code":"005930"})");
  EXPECT_EQ(Server.LastRequest().Path, "/svc/apis/sto/stk_bydd_trd");
  EXPECT_EQ(Server.LastRequest().Query, "basDd=" + Today + "&");
  EXPECT_EQ(Server.LastRequest().Header("AUTH_KEY"), "krx-key");
  Run("get_index_price", "{}");
  EXPECT_EQ(Server.LastRequest().Query, "basDd=" + Today + "&idxNm=%EC%BD%94%EC%8A%A4%ED%94%BC");
  Run("get_index_price", R"({"index_name":"코스닥","date":"20240105"})");
  EXPECT_EQ(Server.LastRequest().Query, "basDd=20240105&idxNm=%EC%BD%94%EC%8A%A4%EB%8B%A5");
  EXPECT_TRUE(Host.Statuses.empty());  // these tools show no status line
  unsetenv("KESTRILL_DART_URL");
  unsetenv("KESTRILL_KRX_URL");
}
