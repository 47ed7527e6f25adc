// The DART, KRX and broker tools: DART and KRX against servers on 127.0.0.1, the broker's
// automation against a fake that logs every creation, call and release.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "FakeAutomation.h"
#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "tools/Daishin.h"
#include "tools/Dart.h"
#include "tools/Krx.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

struct THttpCase {
  const char* Name;
  TCannedResponse Answer;
  std::string Expected;
};

// A DART list element.
std::string Disclosure(int AIndex, const std::string& AName) {
  return R"({"rcept_dt":"202401)" + std::to_string(10 + AIndex) + R"(","report_nm":")" + AName +
         R"(","rcept_no":"2024000)" + std::to_string(AIndex) + R"("})";
}

std::string DisclosureList(const std::vector<std::string>& ANames) {
  std::string List;
  for (std::size_t I = 0; I < ANames.size(); ++I)
    List += (I ? "," : "") + Disclosure(static_cast<int>(I), ANames[I]);
  return R"({"status":"000","message":"정상","list":[)" + List + "]}";
}

class DartTest : public ::testing::Test {
 protected:
  TFakeHttpServer Server;
  std::string Viewer;
  void SetUp() override {
    setenv("KESTRILL_DART_URL", Server.BaseUrl().c_str(), 1);
    Viewer = "http://viewer.test";
    setenv("KESTRILL_DART_VIEWER_URL", Viewer.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KESTRILL_DART_URL");
    unsetenv("KESTRILL_DART_VIEWER_URL");
  }
  std::string Link(int AIndex) {
    return "  링크: " + Viewer + "/dsaf001/main.do?rcpNo=2024000" + std::to_string(AIndex) + "\r\n";
  }
  std::string Line(int AIndex, const std::string& AName) {
    return "- [202401" + std::to_string(10 + AIndex) + "] " + AName + "\r\n" + Link(AIndex);
  }
};

}  // namespace

TEST_F(DartTest, FinancialInfoAnswers) {
  const THttpCase Cases[] = {
      {"accounts, empty amounts skipped",
       {200,
        R"({"status":"000","message":"정상","list":[{"account_nm":"매출액","thstrm_amount":"258,935,494,000,000"},{"account_nm":"영업이익","thstrm_amount":""},{"account_nm":"당기순이익","thstrm_amount":"15,487,100,000,000"},{"account_nm":"자산총계"}]})"},
       "[재무정보 조회 결과]\r\n- 매출액: 258,935,494,000,000원\r\n- 당기순이익: 15,487,100,000,000원\r\n"},
      {"every amount empty", {200, R"({"status":"000","list":[{"account_nm":"매출액","thstrm_amount":""}]})"},
       "[재무정보 조회 결과]\r\n"},
      {"each statement under its header: by name, else by code, none when neither",
       {200,
        R"({"status":"000","list":[)"
        R"({"fs_div":"CFS","fs_nm":"연결재무제표","account_nm":"매출액","thstrm_amount":"258,935,494,000,000"},)"
        R"({"fs_div":"CFS","fs_nm":"연결재무제표","account_nm":"영업이익","thstrm_amount":"6,566,976,000,000"},)"
        R"({"fs_div":"OFS","fs_nm":"재무제표","account_nm":"매출액","thstrm_amount":"170,374,090,000,000"},)"
        R"({"fs_div":"OFS","fs_nm":"재무제표","account_nm":"영업이익","thstrm_amount":""},)"
        R"({"fs_div":"CFS","account_nm":"자산총계","thstrm_amount":"455,905,980,000,000"},)"
        R"({"account_nm":"부채총계","thstrm_amount":"92,228,115,000,000"}]})"},
       "[재무정보 조회 결과]\r\n[연결재무제표]\r\n- 매출액: 258,935,494,000,000원\r\n"
       "- 영업이익: 6,566,976,000,000원\r\n[재무제표]\r\n- 매출액: 170,374,090,000,000원\r\n"
       "[연결재무제표]\r\n- 자산총계: 455,905,980,000,000원\r\n- 부채총계: 92,228,115,000,000원\r\n"},
      {"service error", {200, R"({"status":"020","message":"요청 제한을 초과하였습니다."})"},
       "DART API 오류: 요청 제한을 초과하였습니다. (코드: 020)"},
      {"013 is an ordinary error here", {200, R"({"status":"013","message":"조회된 데이타가 없습니다."})"},
       "DART API 오류: 조회된 데이타가 없습니다. (코드: 013)"},
      {"no list", {200, R"({"status":"000","message":"정상"})"}, "재무 데이터(list)가 존재하지 않습니다."},
      {"list not an array", {200, R"({"status":"000","list":{}})"}, "재무 데이터(list)가 존재하지 않습니다."},
      {"not JSON", {502, "<html>bad gateway</html>", "text/html"},
       "DART 응답을 해석할 수 없습니다 (HTTP 502, text/html)."},
  };
  for (const THttpCase& C : Cases) {
    Server.Enqueue(C.Answer);
    EXPECT_EQ(GetDARTFinancialInfo("KEY", "00126380", "2023", "11011"), C.Expected) << C.Name;
  }
  EXPECT_EQ(Server.LastRequest().Path, "/api/fnlttSinglAcnt.json");
  EXPECT_EQ(Server.LastRequest().Query,
            "crtfc_key=KEY&corp_code=00126380&bsns_year=2023&reprt_code=11011");
  Server.Enqueue({200, "[1]"});
  EXPECT_EQ(GetDARTFinancialInfo("KEY", "1", "2", "3").rfind("통신 또는 파싱 오류: ", 0), 0u);
}

TEST_F(DartTest, DisclosureSearchAnswers) {
  std::vector<std::string> Twenty(20, "분기보고서"), TwentyOne(21, "분기보고서");
  std::string TwentyLines, Note = "\r\n※ 결과가 너무 많아 최신 20건만 표시합니다.";
  for (int I = 0; I < 20; ++I) TwentyLines += Line(I, "분기보고서");
  struct TSearch {
    const char* Name;
    std::string Keyword;
    TCannedResponse Answer;
    std::string Expected;
  };
  const TSearch Cases[] = {
      {"no keyword: all, in answer order", "", {200, DisclosureList({"사업보고서", "주요사항보고서(유상증자결정)"})},
       "[DART 공시 검색 결과]\r\n" + Line(0, "사업보고서") + Line(1, "주요사항보고서(유상증자결정)")},
      {"keyword ignores letter case and skips the rest", "ir",
       {200, DisclosureList({"기업설명회(IR)개최", "사업보고서", "IR 자료"})},
       "[DART 공시 검색 결과]\r\n" + Line(0, "기업설명회(IR)개최") + Line(2, "IR 자료")},
      {"exactly 20 matches: all, then the note", "", {200, DisclosureList(Twenty)},
       "[DART 공시 검색 결과]\r\n" + TwentyLines + Note},
      {"21 matches: the first 20, then the note", "", {200, DisclosureList(TwentyOne)},
       "[DART 공시 검색 결과]\r\n" + TwentyLines + Note},
      {"non-matches do not count toward 20", "분기",
       [&] {
         std::vector<std::string> Mixed(5, "사업보고서");
         Mixed.insert(Mixed.end(), Twenty.begin(), Twenty.end());
         return TCannedResponse(200, DisclosureList(Mixed));
       }(),
       [&] {
         std::string S = "[DART 공시 검색 결과]\r\n";
         for (int I = 5; I < 25; ++I) S += Line(I, "분기보고서");
         return S + Note;
       }()},
      {"no match", "배당", {200, DisclosureList({"사업보고서"})}, "조건에 맞는 공시가 존재하지 않습니다."},
      {"empty list", "", {200, DisclosureList({})}, "조건에 맞는 공시가 존재하지 않습니다."},
      {"013", "", {200, R"({"status":"013","message":"조회된 데이타가 없습니다."})"},
       "해당 기간에 조회된 공시 데이터가 없습니다."},
      {"other status", "", {200, R"({"status":"010","message":"등록되지 않은 키입니다."})"},
       "DART API 오류: 등록되지 않은 키입니다. (코드: 010)"},
      {"no list", "", {200, R"({"status":"000"})"}, "공시 목록(list)이 응답에 없습니다."},
      {"not JSON", "", {200, "오류", "text/plain"},
       "DART 응답을 해석할 수 없습니다 (HTTP 200, text/plain)."},
      {"a maintenance page", "", {503, "<html>점검 중</html>", "text/html; charset=utf-8"},
       "DART 응답을 해석할 수 없습니다 (HTTP 503, text/html)."},
  };
  for (const TSearch& C : Cases) {
    Server.Enqueue(C.Answer);
    EXPECT_EQ(SearchDARTDisclosures("KEY", "00126380", "20240101", "20241231", "A", C.Keyword),
              C.Expected)
        << C.Name;
  }
  EXPECT_EQ(Server.LastRequest().Path, "/api/list.json");
  EXPECT_EQ(Server.LastRequest().Query,
            "crtfc_key=KEY&page_count=100&corp_code=00126380&bgn_de=20240101&end_de=20241231&"
            "pblntf_ty=A");
  Server.Enqueue({200, "\"text\""});
  EXPECT_EQ(SearchDARTDisclosures("KEY", "", "", "", "", "").rfind("통신 또는 파싱 오류: ", 0), 0u);
  EXPECT_EQ(Server.LastRequest().Query, "crtfc_key=KEY&page_count=100");
}

TEST_F(DartTest, ValuesCannotChangeTheQueryAndFailuresSaySo) {
  Server.SetDefault({200, DisclosureList({})});
  SearchDARTDisclosures("K&Y=1", "0012 6380", "2024#01", "", "가", "");
  EXPECT_EQ(Server.LastRequest().Query,
            "crtfc_key=K%26Y%3D1&page_count=100&corp_code=0012%206380&bgn_de=2024%2301&"
            "pblntf_ty=%EA%B0%80");
  GetDARTFinancialInfo("a/b", "c?d", "2023", "11011");
  EXPECT_EQ(Server.LastRequest().Query,
            "crtfc_key=a%2Fb&corp_code=c%3Fd&bsns_year=2023&reprt_code=11011");

  setenv("KESTRILL_DART_URL", ("http://127.0.0.1:" + std::to_string(UnusedLocalPort())).c_str(), 1);
  EXPECT_EQ(GetDARTFinancialInfo("K", "1", "2", "3").rfind("통신 또는 파싱 오류: ", 0), 0u);
  EXPECT_EQ(SearchDARTDisclosures("K", "1", "", "", "", "").rfind("통신 또는 파싱 오류: ", 0), 0u);
}

namespace {

class KrxTest : public ::testing::Test {
 protected:
  TFakeHttpServer Server;
  void SetUp() override { setenv("KESTRILL_KRX_URL", Server.BaseUrl().c_str(), 1); }
  void TearDown() override { unsetenv("KESTRILL_KRX_URL"); }
};

const char kStockRows[] =
    R"({"OutBlock_1":[)"
    R"({"ISU_CD":"000660","ISU_NM":"SK하이닉스","TDD_CLSPRC":"140000","CMPPREVDD_PRC":"1000","FLUC_RT":"0.72","ACC_TRDVOL":"3000000"},)"
    R"({"ISU_CD":"005930","ISU_NM":"삼성전자","TDD_CLSPRC":"71500","CMPPREVDD_PRC":"-500","FLUC_RT":"-0.69","ACC_TRDVOL":"12345678"},)"
    R"({"ISU_CD":"035720","ISU_NM":"카카오","TDD_CLSPRC":"40000","CMPPREVDD_PRC":"100","FLT_RT":"0.25","ACC_TRDVOL":"1000"},)"
    R"({"ISU_CD":"035420","TDD_CLSPRC":"200000"},)"
    R"({"ISU_CD":"035720","ISU_NM":"카카오","TDD_CLSPRC":"40100","CMPPREVDD_PRC":"200","FLUC_RT":"0.5","FLT_RT":"9.99","ACC_TRDVOL":"2000"}]})";

}  // namespace

TEST_F(KrxTest, DailyPriceAnswers) {
  struct TPrice {
    const char* Name;
    std::string Code;
    TCannedResponse Answer;
    std::string Expected;
  };
  const std::string Garbage = R"({"respCode":"401","respMsg":"Unauthorized Key"})";
  const TPrice Cases[] = {
      {"the requested row", "005930", {200, kStockRows},
       "[삼성전자] 종가: 71500원 (전일대비 -500원, 등락률: -0.69%), 거래량: 12345678주\r\n"},
      {"rate under its older name, and the same code twice", "035720", {200, kStockRows},
       "[카카오] 종가: 40000원 (전일대비 100원, 등락률: 0.25%), 거래량: 1000주\r\n"
       "[카카오] 종가: 40100원 (전일대비 200원, 등락률: 0.5%), 거래량: 2000주\r\n"},
      {"missing fields", "035420", {200, kStockRows},
       "[알수없음] 종가: 200000원 (전일대비 0원, 등락률: 0%), 거래량: 0주\r\n"},
      {"code with a market suffix", "005930.KS", {200, kStockRows},
       "KRX: 20240105 자료에 종목코드 005930.KS인 종목이 없습니다. 6자리 숫자 단축코드(예: "
       "005930)로 다시 조회하세요."},
      {"empty block", "005930", {200, R"({"OutBlock_1":[]})"},
       "KRX: 조건에 맞는 주식 데이터가 없습니다. (당일/휴장일이거나 종목코드 오류)"},
      {"no block", "005930", {401, Garbage}, "KRX API 응답 오류: " + Garbage},
      {"not JSON", "005930", {500, "<html/>", "text/html"},
       "해당 종목의 데이터를 찾을 수 없거나 통신에 실패했습니다."},
  };
  for (const TPrice& C : Cases) {
    Server.Enqueue(C.Answer);
    EXPECT_EQ(GetKRXDailyPrice("SECRET", C.Code, "20240105"), C.Expected) << C.Name;
  }
  const TRecordedRequest R = Server.LastRequest();
  EXPECT_EQ(R.Path, "/svc/apis/sto/stk_bydd_trd");
  EXPECT_EQ(R.Query, "basDd=20240105&");
  EXPECT_EQ(R.Header("AUTH_KEY"), "SECRET");

  Server.Enqueue({200, kStockRows});
  GetKRXDailyPrice("SECRET", "005930", "");
  EXPECT_EQ(Server.LastRequest().Query, "");
  Server.Enqueue({200, kStockRows});
  GetKRXDailyPrice("SECRET", "005930", "2024&x=1");
  EXPECT_EQ(Server.LastRequest().Query, "basDd=2024%26x%3D1&");
}

TEST_F(KrxTest, IndexAnswers) {
  const std::string Rows =
      R"({"OutBlock_1":[{"IDX_NM":"코스피","CLSPRC_IDX":"2500.10","CMPPREVDD_IDX":"-10.5","FLUC_RT":"-0.42","ACC_TRDVOL":"400000"},)"
      R"({"IDX_NM":"코스피 200","CLSPRC_IDX":"330.2","CMPPREVDD_IDX":"1.1","FLT_RT":"0.33"},{}]})";
  const THttpCase Cases[] = {
      {"every row, the index asked for first", {200, Rows},
       "[지수: 코스피 200] 마감: 330.2pt (전일대비 1.1pt, 등락률: 0.33%), 거래량: 0\r\n"
       "[지수: 코스피] 마감: 2500.10pt (전일대비 -10.5pt, 등락률: -0.42%), 거래량: 400000\r\n"
       "[지수: 알수없음] 마감: 0pt (전일대비 0pt, 등락률: 0%), 거래량: 0\r\n"},
      {"no row of that name: every row in the service's order",
       {200,
        R"({"OutBlock_1":[{"IDX_NM":"코스피 200 TR","CLSPRC_IDX":"1"},{"IDX_NM":"코스피","CLSPRC_IDX":"2"}]})"},
       "[지수: 코스피 200 TR] 마감: 1pt (전일대비 0pt, 등락률: 0%), 거래량: 0\r\n"
       "[지수: 코스피] 마감: 2pt (전일대비 0pt, 등락률: 0%), 거래량: 0\r\n"},
      {"empty block", {200, R"({"OutBlock_1":[]})"},
       "KRX: 조건에 맞는 지수 데이터가 없습니다. (당일/휴장일이거나 지수명 오타)"},
      {"no block", {200, R"({"OutBlock_1":"x"})"}, R"(KRX 지수 API 에러: {"OutBlock_1":"x"})"},
      {"not JSON", {200, "busy", "text/plain"}, "지수 API 파싱 실패. RAW 응답: busy"},
  };
  for (const THttpCase& C : Cases) {
    Server.Enqueue(C.Answer);
    EXPECT_EQ(GetKRXIndexPrice("SECRET", "코스피 200", "20240105"), C.Expected) << C.Name;
  }
  EXPECT_EQ(Server.LastRequest().Path, "/svc/apis/idx/kospi_dd_trd");
  EXPECT_EQ(Server.LastRequest().Query, "basDd=20240105&idxNm=%EC%BD%94%EC%8A%A4%ED%94%BC+200");
  EXPECT_EQ(Server.LastRequest().Header("AUTH_KEY"), "SECRET");
  Server.Enqueue({200, Rows});
  GetKRXIndexPrice("SECRET", "KOSDAQ 150", "");
  EXPECT_EQ(Server.LastRequest().Query, "idxNm=KOSDAQ+150");
  EXPECT_EQ(FormEncode("a&b c/가"), "a%26b+c%2F%EA%B0%80");
}

TEST_F(KrxTest, TransportFailures) {
  setenv("KESTRILL_KRX_URL", ("http://127.0.0.1:" + std::to_string(UnusedLocalPort())).c_str(), 1);
  EXPECT_EQ(GetKRXDailyPrice("K", "005930", "20240105").rfind("KRX API 통신 에러: ", 0), 0u);
  EXPECT_EQ(GetKRXIndexPrice("K", "코스피", "20240105").rfind("KRX 지수 통신 에러: ", 0), 0u);
}

// ---- the broker's automation objects ----

namespace {

constexpr char kNotConnected[] =
    "오류: 대신증권 API에 연결되어 있지 않습니다. CYBOS Plus 로그인을 확인하세요.";

void Connect(TFakeAutomation& AFake, bool AConnected = true) {
  AFake.Answers["CpUtil.CpCybos.IsConnect"] = std::int32_t{AConnected ? 1 : 0};
}

void AnswerPrice(TFakeAutomation& AFake) {
  Connect(AFake);
  AFake.Answers["DsCbo1.StockMst.GetHeaderValue(1)"] = std::string("삼성전자");
  AFake.Answers["DsCbo1.StockMst.GetHeaderValue(11)"] = std::int64_t{71500};
  AFake.Answers["DsCbo1.StockMst.GetHeaderValue(12)"] = -500.0;
}

// ARows rows of (date, individuals, foreigners, institutions).
void AnswerTrend(TFakeAutomation& AFake, int ARows) {
  Connect(AFake);
  AFake.Answers["CpSysDib.CpSvr7254.GetDibStatus"] = std::int32_t{0};
  AFake.Answers["CpSysDib.CpSvr7254.GetHeaderValue(1)"] = std::int32_t{ARows};
  for (int Row = 0; Row < ARows; ++Row) {
    const std::string R = ", " + std::to_string(Row) + ")";
    AFake.Answers["CpSysDib.CpSvr7254.GetDataValue(0" + R] = std::int32_t{20240105 - Row};
    AFake.Answers["CpSysDib.CpSvr7254.GetDataValue(1" + R] = std::int64_t{-1000 * (Row + 1)};
    AFake.Answers["CpSysDib.CpSvr7254.GetDataValue(2" + R] = std::int32_t{700};
    AFake.Answers["CpSysDib.CpSvr7254.GetDataValue(3" + R] = std::string("300");
  }
}

std::string TrendLine(int ARow, const std::string& AUnit) {
  return "- 일자: " + std::to_string(20240105 - ARow) + " | 개인: " +
         std::to_string(-1000 * (ARow + 1)) + AUnit + " | 외국인: 700" + AUnit +
         " | 기관: 300" + AUnit + "\r\n";
}

// Every object created is released, and before the set-up ends.
void ExpectAllReleased(const TFakeAutomation& AFake, const std::string& ATrace) {
  EXPECT_EQ(AFake.LiveObjects, 0) << ATrace;
  EXPECT_EQ(AFake.LiveSessions, 0) << ATrace;
  if (AFake.Log.front() != "start" || AFake.FailAt == "start") return;
  EXPECT_EQ(AFake.Log.back(), "end") << ATrace;
}

}  // namespace

TEST(Daishin, PriceAsksInOrderAndKeepsAnAPrefix) {
  for (const auto& [Given, Sent] : std::vector<std::pair<std::string, std::string>>{
           {"005930", "A005930"}, {"A005930", "A005930"}, {"a005930", "a005930"}}) {
    TFakeAutomation Fake;
    AnswerPrice(Fake);
    EXPECT_EQ(GetStockPriceFromDaishin(Given, Fake.Starter()),
              "종목명: 삼성전자, 현재가: 71500원, 전일대비: -500원 입니다.");
    EXPECT_EQ(Fake.Log, (std::vector<std::string>{
                            "start", "create CpUtil.CpCybos", "CpUtil.CpCybos.IsConnect()",
                            "create DsCbo1.StockMst",
                            "DsCbo1.StockMst.SetInputValue(0, \"" + Sent + "\")",
                            "DsCbo1.StockMst.BlockRequest()", "DsCbo1.StockMst.GetHeaderValue(1)",
                            "DsCbo1.StockMst.GetHeaderValue(11)",
                            "DsCbo1.StockMst.GetHeaderValue(12)", "release DsCbo1.StockMst",
                            "release CpUtil.CpCybos", "end"}));
  }
  TFakeAutomation Empty;
  AnswerPrice(Empty);
  EXPECT_EQ(GetStockPriceFromDaishin("", Empty.Starter()),
            "증권 API 호출 중 에러 발생: 종목 코드가 비어 있습니다.");
  ExpectAllReleased(Empty, "empty code");
}

TEST(Daishin, InvestorTrendCodesUnitsAndRows) {
  struct TCase {
    std::string Code;
    int Days, Rows;
    std::string Sent, Kind, Unit;
    int Lines;
  };
  const TCase Cases[] = {
      {"005930", 1, 3, "A005930", "'1'", "주", 1},
      {"A005930", 1, 3, "A005930", "'1'", "주", 1},  // no second "A"
      {"u001", 5, 3, "U001", "'2'", "백만원", 3},
      {"005930", 2, 10, "A005930", "'1'", "주", 2},
      {"005930", 0, 3, "A005930", "'1'", "주", 0},
      {"005930", -4, 3, "A005930", "'1'", "주", 0},
  };
  for (const TCase& C : Cases) {
    const std::string Trace = C.Code + " days " + std::to_string(C.Days);
    TFakeAutomation Fake;
    AnswerTrend(Fake, C.Rows);
    std::string Expected = "요청코드 [" + C.Code + "]의 최근 매매 동향\r\n";
    for (int Row = 0; Row < C.Lines; ++Row) Expected += TrendLine(Row, C.Unit);
    EXPECT_EQ(GetDaishinInvestorTrend(C.Code, C.Days, Fake.Starter()), Expected) << Trace;
    const std::vector<std::string> Head(Fake.Log.begin(), Fake.Log.begin() + 12);
    EXPECT_EQ(Head, (std::vector<std::string>{
                        "start", "create CpUtil.CpCybos", "CpUtil.CpCybos.IsConnect()",
                        "create CpSysDib.CpSvr7254",
                        "CpSysDib.CpSvr7254.SetInputValue(0, \"" + C.Sent + "\")",
                        "CpSysDib.CpSvr7254.SetInputValue(1, 1)",
                        "CpSysDib.CpSvr7254.SetInputValue(4, '0')",
                        "CpSysDib.CpSvr7254.SetInputValue(5, 0)",
                        "CpSysDib.CpSvr7254.SetInputValue(6, " + C.Kind + ")",
                        "CpSysDib.CpSvr7254.BlockRequest()", "CpSysDib.CpSvr7254.GetDibStatus()",
                        "CpSysDib.CpSvr7254.GetHeaderValue(1)"}))
        << Trace;
    // Only the rows shown are read.
    EXPECT_EQ(std::count_if(Fake.Log.begin(), Fake.Log.end(),
                            [](const std::string& L) { return L.find("GetDataValue") != L.npos; }),
              4 * C.Lines)
        << Trace;
    ExpectAllReleased(Fake, Trace);
  }

  TFakeAutomation Refused;
  AnswerTrend(Refused, 3);
  Refused.Answers["CpSysDib.CpSvr7254.GetDibStatus"] = std::int32_t{-1};
  Refused.Answers["CpSysDib.CpSvr7254.GetDibMsg1"] = std::string("요청 제한 초과");
  EXPECT_EQ(GetDaishinInvestorTrend("005930", 1, Refused.Starter()), "통신 오류: 요청 제한 초과");
  TFakeAutomation NoRows;
  AnswerTrend(NoRows, 0);
  EXPECT_EQ(GetDaishinInvestorTrend("005930", 1, NoRows.Starter()),
            "매매 동향 데이터가 없습니다. (종목 코드를 다시 확인해주세요)");
}

TEST(Daishin, NotConnectedCreatesNoRequestObject) {
  TFakeAutomation Price, Trend;
  Connect(Price, false);
  Connect(Trend, false);
  EXPECT_EQ(GetStockPriceFromDaishin("005930", Price.Starter()), kNotConnected);
  EXPECT_EQ(GetDaishinInvestorTrend("005930", 1, Trend.Starter()), kNotConnected);
  const std::vector<std::string> Expected{"start", "create CpUtil.CpCybos",
                                          "CpUtil.CpCybos.IsConnect()", "release CpUtil.CpCybos",
                                          "end"};
  EXPECT_EQ(Price.Log, Expected);
  EXPECT_EQ(Trend.Log, Expected);
}

TEST(Daishin, AFailureAtAnyStepReleasesEverything) {
  struct TTool {
    const char* Prefix;
    std::function<std::string(TFakeAutomation&)> Run;
    std::function<void(TFakeAutomation&)> Answer;
  };
  const TTool Tools[] = {
      {"증권 API 호출 중 에러 발생: ",
       [](TFakeAutomation& F) { return GetStockPriceFromDaishin("005930", F.Starter()); },
       AnswerPrice},
      {"COM 에러: ",
       [](TFakeAutomation& F) { return GetDaishinInvestorTrend("005930", 2, F.Starter()); },
       [](TFakeAutomation& F) { AnswerTrend(F, 2); }},
  };
  for (const TTool& Tool : Tools) {
    TFakeAutomation Whole;
    Tool.Answer(Whole);
    Tool.Run(Whole);
    for (const std::string& Step : Whole.Log) {
      if (Step.rfind("release ", 0) == 0 || Step == "end") continue;
      TFakeAutomation Fake;
      Tool.Answer(Fake);
      Fake.FailAt = Step;
      EXPECT_EQ(Tool.Run(Fake), Tool.Prefix + std::string("fake failure at ") + Step);
      ExpectAllReleased(Fake, Step);
    }
    // A result the program cannot read as a number is a failure too.
    TFakeAutomation Odd;
    Tool.Answer(Odd);
    Odd.Answers["CpUtil.CpCybos.IsConnect"] = std::string("예");
    EXPECT_EQ(Tool.Run(Odd).rfind(Tool.Prefix, 0), 0u);
    ExpectAllReleased(Odd, "odd IsConnect");
  }
}

TEST(Daishin, WithoutWindowsTheUserIsToldWhy) {
#ifndef _WIN32
  const std::string Why = GetStockPriceFromDaishin("005930");
  EXPECT_NE(Why.find("Windows"), std::string::npos) << Why;
  EXPECT_NE(Why.find("로그인"), std::string::npos) << Why;
  EXPECT_EQ(GetDaishinInvestorTrend("005930", 1), Why);
#endif
}

TEST(Automation, ResultConversions) {
  EXPECT_EQ(AutoToInt64(std::string(" 71500 ")), 71500);
  EXPECT_EQ(AutoToInt64(-500.4), -500);
  EXPECT_EQ(AutoToInt(std::int64_t{7}), 7);
  EXPECT_THROW(AutoToInt(std::int64_t{1} << 40), EAutomationError);
  EXPECT_THROW(AutoToInt64(std::string("1.5")), EAutomationError);
  EXPECT_EQ(AutoToText(std::int64_t{-500}), "-500");
  EXPECT_EQ(AutoToText(u'가'), "가");
  EXPECT_EQ(AutoToText(std::monostate{}), "");
}

// ---- a whole agent turn through kestrill-cli ----

namespace {

struct TCliRun {
  bool Ok;
  std::string Out, Err;
};

// kestrill-cli in AHome with every service aimed at ABaseUrl.
TCliRun RunAgent(const std::string& AHome, const std::string& ABaseUrl, const std::string& AArgs) {
  const std::string Out = AHome + "/out.txt", Err = AHome + "/err.txt";
  std::string Command =
      "HOME='" + AHome + "' XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= TMPDIR='" + AHome + "'";
  for (const char* Var : {"KESTRILL_OPENAI_URL", "KESTRILL_DART_URL", "KESTRILL_KRX_URL"})
    Command += std::string(" ") + Var + "='" + ABaseUrl + "'";
  Command += " '" KESTRILL_CLI_PATH "' --mode agent " + AArgs + " >'" + Out + "' 2>'" + Err +
             "' </dev/null";
  const int Status = std::system(Command.c_str());
  return {WIFEXITED(Status) && WEXITSTATUS(Status) == 0, ReadFileBytes(Out).value_or(""),
          ReadFileBytes(Err).value_or("")};
}

// A fresh HOME whose settings hold AKeys.
std::string HomeWith(const std::vector<std::pair<TSettingKey<std::string>, std::string>>& AKeys) {
  const std::string Home = MakeTempFolder();
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  TConfig Config(Home + "/Documents/Kestrill/Kestrill.Ini");
  for (const auto& [Key, Value] : AKeys) Config.Write(Key, Value);
  return Home;
}

}  // namespace

TEST(KoreanToolsCli, AgentTurnCallsDartAndKrxAndAnswers) {
  const std::string Home = HomeWith(
      {{keys::OpenAIKey, "key"}, {keys::DARTKey, "dart-key"}, {keys::KRXKey, "krx-key"}});
  TFakeHttpServer Server;
  Server.SetRoute("/api/list.json", {200, DisclosureList({"분기보고서 (2024.09)"})});
  Server.SetRoute("/svc/apis/sto/stk_bydd_trd", {200, kStockRows});
  Server.Enqueue(
      {200,
       R"({"choices":[{"message":{"content":null,"tool_calls":[)"
       R"({"id":"d","type":"function","function":{"name":"search_dart_disclosures","arguments":"{\"corp_code\":\"00126380\",\"start_date\":\"20240101\",\"end_date\":\"20241231\",\"keyword\":\"분기\"}"}},)"
       R"({"id":"k","type":"function","function":{"name":"get_krx_price","arguments":"{\"stock_code\":\"005930\",\"date\":\"20240105\"}"}}]}}]})"});
  Server.Enqueue({200, R"({"choices":[{"message":{"content":"삼성전자 종가는 71,500원입니다."}}]})"});

  const TCliRun R = RunAgent(Home, Server.BaseUrl(), "--provider chatgpt '삼성전자 공시와 주가는?'");
  ASSERT_TRUE(R.Ok) << R.Err;
  EXPECT_EQ(R.Out, "삼성전자 종가는 71,500원입니다.\n");
  EXPECT_NE(R.Err.find("🛠️ [search_dart_disclosures] 실행 중..."), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("🛠️ [get_krx_price] 실행 중..."), std::string::npos) << R.Err;

  // The tools went out as the services expect, and their texts went back to the model.
  std::vector<TRecordedRequest> Requests = Server.Requests();
  ASSERT_EQ(Requests.size(), 4u);
  EXPECT_EQ(Requests[1].Path, "/api/list.json");
  EXPECT_EQ(Requests[1].Query,
            "crtfc_key=dart-key&page_count=100&corp_code=00126380&bgn_de=20240101&end_de=20241231");
  EXPECT_EQ(Requests[2].Path, "/svc/apis/sto/stk_bydd_trd");
  EXPECT_EQ(Requests[2].Query, "basDd=20240105&");
  EXPECT_EQ(Requests[2].Header("AUTH_KEY"), "krx-key");
  auto First = ParseJson(Requests[0].Body);
  ASSERT_TRUE(First);
  std::vector<std::string> Offered;
  for (const TJson& Tool : (*First)["tools"]) Offered.push_back(Tool["function"]["name"]);
  EXPECT_EQ(std::vector<std::string>(Offered.end() - 4, Offered.end()),
            (std::vector<std::string>{"get_dart_financials", "search_dart_disclosures",
                                      "get_krx_price", "get_index_price"}));
  auto Last = ParseJson(Requests[3].Body);
  ASSERT_TRUE(Last);
  const TJson& Messages = (*Last)["messages"];
  EXPECT_EQ(Messages[Messages.size() - 3]["content"],
            "[DART 공시 검색 결과]\r\n- [20240110] 분기보고서 (2024.09)\r\n  링크: "
            "https://dart.fss.or.kr/dsaf001/main.do?rcpNo=20240000\r\n");
  EXPECT_EQ(Messages[Messages.size() - 1]["content"],
            "[삼성전자] 종가: 71500원 (전일대비 -500원, 등락률: -0.69%), 거래량: 12345678주\r\n");
}

// Ollama servers before 0.12.10 send tool calls without an "id": the tools still run, and each
// result follows its call.
TEST(KoreanToolsCli, OllamaToolCallsWithoutIdsRunAndAnswer) {
  TFakeHttpServer Server;
  const std::string Home =
      HomeWith({{keys::OllamaURL, Server.BaseUrl() + "/api/chat"}, {keys::KRXKey, "krx-key"}});
  Server.SetRoute("/svc/apis/sto/stk_bydd_trd", {200, kStockRows});
  Server.Enqueue(
      {200,
       R"({"model":"m","message":{"role":"assistant","content":"","tool_calls":[)"
       R"({"function":{"name":"get_krx_price","arguments":{"stock_code":"005930","date":"20240105"}}},)"
       R"({"function":{"name":"get_krx_price","arguments":{"stock_code":"000660","date":"20240105"}}}]},"done":true})"});
  Server.Enqueue({200, R"({"model":"m","message":{"role":"assistant","content":"두 종목을 비교했습니다."},"done":true})"});
  const TCliRun R = RunAgent(Home, Server.BaseUrl(), "--provider ollama '비교해 줘'");
  ASSERT_TRUE(R.Ok) << R.Err;
  EXPECT_EQ(R.Out, "두 종목을 비교했습니다.\n");
  auto Last = ParseJson(Server.LastRequest().Body);
  ASSERT_TRUE(Last);
  const TJson& Messages = (*Last)["messages"];
  ASSERT_GE(Messages.size(), 4u);
  const std::size_t N = Messages.size();
  EXPECT_EQ(Messages[N - 4]["tool_calls"][0]["function"]["arguments"]["stock_code"], "005930");
  EXPECT_EQ(Messages[N - 3]["role"], "tool");
  EXPECT_EQ(Messages[N - 3]["content"],
            "[삼성전자] 종가: 71500원 (전일대비 -500원, 등락률: -0.69%), 거래량: 12345678주\r\n");
  EXPECT_EQ(Messages[N - 2]["tool_calls"][0]["function"]["arguments"]["stock_code"], "000660");
  EXPECT_EQ(Messages[N - 1]["content"],
            "[SK하이닉스] 종가: 140000원 (전일대비 1000원, 등락률: 0.72%), 거래량: 3000000주\r\n");
}
