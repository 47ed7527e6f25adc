#include "engine/ToolDispatcher.h"

#include <climits>
#include <cmath>
#include <ctime>
#include <optional>
#include <vector>

#include "agent/CommandTool.h"
#include "agent/WebSearch.h"
#include "core/Clock.h"
#include "core/JsonPath.h"
#include "core/TextUtil.h"
#include "tools/Daishin.h"
#include "tools/Dart.h"
#include "tools/Krx.h"
#include "tools/YahooFinance.h"
#include "view/PageText.h"

namespace kestrill {
namespace {

// A string's value, a number's text, "" for null; absent for anything else.
std::optional<std::string> Arg(const TJson& AArgs, const char* AName) {
  auto It = AArgs.find(AName);
  if (It == AArgs.end()) return std::nullopt;
  return JsonPathText(*It, "");
}

std::string ArgOr(const TJson& AArgs, const char* AName, const char* ADefault) {
  return Arg(AArgs, AName).value_or(ADefault);
}

// A JSON integer, or a text holding one; anything else (a fraction, a word) is absent.
std::optional<int> IntArg(const TJson& AArgs, const char* AName) {
  auto It = AArgs.find(AName);
  if (It == AArgs.end()) return std::nullopt;
  long long Value = 0;
  if (It->is_number_integer()) {
    Value = It->get<long long>();
  } else if (It->is_string()) {
    const std::string Text = Trim(It->get<std::string>());
    std::size_t Used = 0;
    try {
      Value = std::stoll(Text, &Used);
    } catch (const std::logic_error&) {
      return std::nullopt;
    }
    if (Used != Text.size()) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (Value < INT_MIN || Value > INT_MAX) return std::nullopt;
  return static_cast<int>(Value);
}

TAutomationStarter BrokerOf(IToolHost& AHost) {
  return [&AHost] { return AHost.StartBrokerAutomation(); };
}

// Today's local date as yyyymmdd.
std::string Today() {
  return FormatTimeStamp(LocalNow()).substr(0, 8);
}

std::string DrawChart(const TJson& Args, IToolHost& AHost) {
  auto Title = Arg(Args, "chartTitle");
  if (!Title) return "차트 제목이 없어서 생성 실패";
  std::string Labels = NormalizeDateText(Trim(ArgOr(Args, "timestamps", "")));
  AHost.RunPageScript(BuildChartScript(Trim(*Title), Labels, Trim(ArgOr(Args, "prices", ""))));
  return "";
}

std::string RunCommand(const TJson& Args, IToolHost& AHost) {
  auto Command = Arg(Args, "command");
  if (!Command) return kToolFailedText;
  const std::string Question =
      "AI 에이전트가 다음 명령을 실행하려고 합니다.\r\n\r\n명령어: " + *Command +
      "\r\n\r\n허용하시겠습니까?";
  if (!AHost.ConfirmCommand(Question)) return kToolFailedText;
  AHost.ShowStatus("💻 터미널 실행: " + *Command);
  return ExecuteCmdAndCapture(*Command);
}

std::string RunTool(const std::string& AToolName, const std::string& AArgsJSON,
                    const TConfig& AConfig, IToolHost& AHost) {
  auto Parsed = ParseJson(AArgsJSON);
  if (!Parsed || !Parsed->is_object()) return kToolFailedText;
  const TJson& Args = *Parsed;

  if (AToolName == "search_web") {
    auto Query = Arg(Args, "query");
    if (!Query) return kToolFailedText;
    AHost.ShowStatus("🔍 웹 검색 중: \"" + *Query + "\"");
    return SearchWeb(*Query, AConfig.Read(keys::WebSearchKey, ""));
  }
  if (AToolName == "execute_cmd") return RunCommand(Args, AHost);
  if (AToolName == "draw_stock_chart") return DrawChart(Args, AHost);
  if (AToolName == "get_yahoo_price") {
    auto Ticker = Arg(Args, "ticker");
    if (!Ticker) return kToolFailedText;
    AHost.ShowStatus("🔍 주식 정보 검색 중: \"" + *Ticker + "\"");
    return GetYahooStockData(*Ticker, ArgOr(Args, "date_range", "1d"),
                             ArgOr(Args, "interval", "1d"));
  }
  if (AToolName == "get_yahoo_finance") {
    auto Ticker = Arg(Args, "ticker");
    return Ticker ? GetYahooFinanceData(*Ticker) : kToolFailedText;
  }
  if (AToolName == "get_financials") {
    auto Ticker = Arg(Args, "ticker");
    return Ticker ? GetYahooFinanceFinancials(*Ticker, ArgOr(Args, "period", "quarterly"))
                  : kToolFailedText;
  }
  if (AToolName == "get_daishin_price") {
    auto Code = Arg(Args, "stock_code");
    return Code ? GetStockPriceFromDaishin(*Code, BrokerOf(AHost))
                : "종목 코드를 전달받지 못했습니다.";
  }
  if (AToolName == "get_daishin_investor") {
    auto Code = Arg(Args, "target_code");
    return Code ? GetDaishinInvestorTrend(*Code, IntArg(Args, "days").value_or(1), BrokerOf(AHost))
                : kToolFailedText;
  }
  if (AToolName == "get_dart_financials")
    return GetDARTFinancialInfo(AConfig.Read(keys::DARTKey, ""), ArgOr(Args, "corp_code", ""),
                                ArgOr(Args, "year", ""), ArgOr(Args, "report_code", ""));
  if (AToolName == "search_dart_disclosures")
    return SearchDARTDisclosures(AConfig.Read(keys::DARTKey, ""), ArgOr(Args, "corp_code", ""),
                                 ArgOr(Args, "start_date", ""), ArgOr(Args, "end_date", ""),
                                 ArgOr(Args, "disclosure_type", ""), ArgOr(Args, "keyword", ""));
  if (AToolName == "get_krx_price")
    return GetKRXDailyPrice(AConfig.Read(keys::KRXKey, ""), ArgOr(Args, "stock_code", ""),
                            Arg(Args, "date").value_or(Today()));
  if (AToolName == "get_index_price")
    return GetKRXIndexPrice(AConfig.Read(keys::KRXKey, ""), ArgOr(Args, "index_name", "코스피"),
                            Arg(Args, "date").value_or(Today()));
  return kToolFailedText;
}

}  // namespace

std::string BoundToolResult(std::string AResult) {
  if (AResult.size() <= kMaxToolResultBytes) return AResult;
  const std::size_t Original = AResult.size();
  std::size_t Cut = kMaxToolResultBytes;
  while (Cut > 0 && (static_cast<unsigned char>(AResult[Cut]) & 0xC0) == 0x80)
    --Cut;  // whole characters
  AResult.resize(Cut);
  return AResult + "\r\n\r\n[도구 결과가 너무 길어 앞부분 " + std::to_string(Cut / 1024) +
         "KB만 전달합니다. 원래 크기: " + std::to_string(Original) + " 바이트]";
}

std::string ExecuteLocalTool(const std::string& AToolName, const std::string& AArgsJSON,
                             const TConfig& AConfig, IToolHost& AHost) {
  return BoundToolResult(RunTool(AToolName, AArgsJSON, AConfig, AHost));
}

std::string NormalizeDateText(std::string_view AText) {
  std::string T = Trim(AText);
  if (T.empty() || T.front() != '[') T.insert(T.begin(), '[');
  if (T.back() != ']') T += ']';
  auto Doc = ParseJson(T);
  if (!Doc || !Doc->is_array()) throw EToolError("Invalid input format");
  std::vector<std::string> Dates, Times;
  for (const TJson& E : *Doc) {
    if (E.is_number()) {
      double Seconds = E.get<double>();
      // Years 1 to 9999 only: anything else has no date and must not overflow the conversion.
      if (!std::isfinite(Seconds) || Seconds < -62135596800.0 || Seconds > 253402300799.0)
        throw EToolError("Unsupported value type");
      std::time_t When = static_cast<std::time_t>(std::trunc(Seconds));
      std::tm Local{};
      if (!localtime_r(&When, &Local)) throw EToolError("Unsupported value type");
      char Date[40], Time[20];
      std::snprintf(Date, sizeof(Date), "%04d-%02d-%02d", Local.tm_year + 1900, Local.tm_mon + 1,
                    Local.tm_mday);
      std::snprintf(Time, sizeof(Time), "%02d:%02d", Local.tm_hour, Local.tm_min);
      Dates.push_back(Date);
      Times.push_back(Time);
    } else if (E.is_string()) {
      Dates.push_back(E.get<std::string>());
      Times.push_back(E.get<std::string>());
    } else {
      throw EToolError("Unsupported value type");
    }
  }
  // An empty list has no first and last day to compare: it stays empty.
  const auto& Labels = (!Dates.empty() && Dates.front() != Dates.back()) ? Dates : Times;
  std::string Out = "[";
  for (std::size_t I = 0; I < Labels.size(); ++I) Out += (I ? "," : "") + Labels[I];
  return Out + "]";
}

std::string BuildChartScript(const std::string& ATitle, const std::string& ALabels,
                             const std::string& APrices) {
  // Each value a complete string literal: a quote, backslash or "</script>" in a title or label
  // can neither break the call nor reach the page as code.
  return "appendChart(" + EscapeForJS(ATitle) + ", " + EscapeForJS(ALabels) + ", " +
         EscapeForJS(APrices) + ");";
}

std::optional<std::string> ChartScriptOfCall(const TChatMessage& AMessage) {
  if (!AMessage.HasToolCall || !AMessage.Text.empty() || AMessage.Role != kRoleAssistant ||
      AMessage.ToolName != "draw_stock_chart")
    return std::nullopt;
  auto Args = ParseJson(AMessage.ToolArgs);
  if (!Args || !Args->is_object()) return std::nullopt;
  auto Title = Arg(*Args, "chartTitle");
  if (!Title) return std::nullopt;
  try {
    return BuildChartScript(Trim(*Title), NormalizeDateText(Trim(ArgOr(*Args, "timestamps", ""))),
                            Trim(ArgOr(*Args, "prices", "")));
  } catch (const EToolError&) {
    return std::nullopt;  // the tool refused these labels: no chart was drawn
  }
}

void BuildToolSet(TOpenAPIToolManager& M, const TConfig& AConfig, int AProviderIndex) {
  if (AConfig.Read(keys::Command, false))
    M.AddTool("execute_cmd", "명령 프롬프트(cmd) 명령어를 실행합니다.")
        .AddStringParam("command", "실행할 cmd 명령어 (예: dir)", true);
  M.AddTool("get_yahoo_price",
            "해당 주식의 지연된 현재가와 차트 데이터를 야후 파이낸스에서 가져옵니다.")
      .AddStringParam("ticker", "야후 파이낸스 티커 심볼 (예: 005930.KS)", true)
      .AddStringParam("date_range", "조회 기간 (허용값: 1d, 5d, 1mo, 3mo, 6mo, 1y, 5y, max)", true)
      .AddStringParam("interval", "데이터 간격 (허용값: 1m, 5m, 15m, 1d, 1wk, 1mo)", true);
  M.AddTool("get_yahoo_finance",
            "주식 시장에 상장된 기업의 재무 정보(매출, 영업이익, PER)를 검색합니다.")
      .AddStringParam(
          "ticker",
          "주식 종목 기호. 미국 주식은 애플(AAPL), 테슬라(TSLA), 마이크로소프트(MSFT) 처럼 "
          "입력하고, 한국 주식은 삼성전자(005930.KS), 카카오(035720.KS)처럼 종목코드 뒤에 .KS를 "
          "붙이세요.",
          true);
  M.AddTool("get_financials", "주식 종목의 분기별/연도별 재무 데이터(매출, 순이익)를 조회합니다.")
      .AddStringParam("ticker", "주식 티커 심볼 (예: AAPL, TSLA, 005930.KS)", true)
      .AddStringParam(
          "period",
          "조회 기간. 연간 실적이면 \"annual\", 분기 실적이면 \"quarterly\"를 입력하세요.", true);
  M.AddTool("draw_stock_chart",
            "사용자가 주식 차트, 그래프, 흐름도 등을 시각적으로 보고 싶어할 때 반드시 이 도구를 "
            "호출하세요.")
      .AddStringParam("chartTitle", "차트 제목", true)
      .AddStringParam("timestamps", "X축 값 배열 (예: [1769353200, 1769958000, 1770562800])", true)
      .AddStringParam("prices", "Y축 값 배열 (예: [61400, 56200, 57400])", true);
  if (AProviderIndex != 0 && !AConfig.Read(keys::WebSearchKey, "").empty())
    M.AddTool("search_web", "최신 정보를 위해 웹 검색을 수행합니다.")
        .AddStringParam("query", "검색어", true);
  if (AConfig.Read(keys::UseDaishin, false)) {
    M.AddTool("get_daishin_price",
              "한국 주식 시장의 특정 종목 실시간 주가와 등락을 조회합니다.(국내 종목 주가 조회시 "
              "우선적으로 호출하세요.)")
        .AddStringParam("stock_code", "6자리 주식 종목 코드 (예: 삼성전자는 005930, 카카오는 035720)",
                        true);
    M.AddTool("get_daishin_investor",
              "주식 종목의 일별 개인, 외국인, 기관 투자자의 순매수/순매도 데이터를 조회합니다.")
        .AddStringParam("target_code", "조회 대상 코드. 개별 주식은 6자리 숫자(예: 005930). ", true)
        .AddIntParam("days", "조회할 일수 (기본값 1)", false);
  }
  if (!AConfig.Read(keys::DARTKey, "").empty()) {
    M.AddTool("get_dart_financials",
              "한국 기업의 특정 연도(분기/반기/연도) 재무정보(매출액, 영업이익 등)와 공시 정보를 "
              "조회합니다.")
        .AddStringParam("corp_code", "DART 고유번호 8자리 (예: 삼성전자는 00126380, 카카오는 00258801)",
                        true)
        .AddStringParam("year", "조회할 사업연도 4자리 (예: 2023)", true)
        .AddStringParam("report_code",
                        "보고서 코드 (11011:사업보고서, 11012:반기보고서, 11013:1분기보고서, "
                        "11014:3분기보고서)",
                        true);
    M.AddTool("search_dart_disclosures",
              "DART 공시 목록을 검색합니다. 사업보고서, 유상증자, 결산실적, 단일판매 등 모든 공시를 "
              "찾을 수 있습니다.")
        .AddStringParam("corp_code", "DART 고유번호 8자리 (예: 00126380)", true)
        .AddStringParam("start_date", "검색 시작일 (YYYYMMDD 형식)", true)
        .AddStringParam("end_date", "검색 종료일 (YYYYMMDD 형식)", true)
        .AddStringParam("disclosure_type",
                        "공시 유형 코드. (A:정기공시(사업/반기보고서), B:주요사항보고(유상증자/무상증자), "
                        "C:발행공시, D:지분공시, E:기타공시, I:거래소공시(결산실적, 단일판매공급계약)). "
                        "모르면 비워두세요.",
                        false)
        .AddStringParam("keyword",
                        "보고서 제목 필터링 키워드 (예: \"결산실적\", \"유상증자\", \"단일판매\", "
                        "\"배당\"). 필수가 아니며, 특정 단어가 들어간 공시만 찾을 때 사용합니다.",
                        false);
  }
  if (!AConfig.Read(keys::KRXKey, "").empty()) {
    M.AddTool("get_krx_price",
              "한국거래소(KRX)에서 특정 종목의 주식 시세(종가, 등락률)를 조회합니다. (오늘 데이터는 "
              "조회안됨)")
        .AddStringParam("stock_code",
                        "주식 종목의 6자리 단축코드 (예: 삼성전자는 005930, 카카오는 035720). 반드시 "
                        "6자리 숫자로 변환하여 입력하세요.",
                        true)
        .AddStringParam("date", "조회할 날짜 (YYYYMMDD 형식). 지정하지 않으면 오늘 날짜.", false);
    M.AddTool("get_index_price",
              "코스피(KOSPI), 코스닥(KOSDAQ), 코스피 200 등 시장 전체의 주가 지수(Index)를 "
              "조회합니다. (오늘 데이터는 조회안됨)")
        .AddStringParam("index_name", "조회할 지수명 (예: 코스피, 코스닥, 코스피 200).", true)
        .AddStringParam("date", "조회할 날짜 (YYYYMMDD 형식).", false);
  }
  M.FEnableGeminiGoogleSearch = AProviderIndex == 0;
}

}  // namespace kestrill
