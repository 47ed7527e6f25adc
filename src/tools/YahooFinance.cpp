#include "tools/YahooFinance.h"

#include <mutex>

#include "core/Endpoints.h"
#include "core/HttpClient.h"
#include "core/JsonPath.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {
namespace {

constexpr char kChartAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/114.0.0.0 Safari/537.36";
constexpr char kSummaryAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

// Tickers like 005930.KS or BRK-B reach the service unchanged; anything else is encoded.
std::string EncodeComponent(const std::string& AText) { return PercentEncode(AText); }

// The quote-summary service answers 401 without a session cookie and its "crumb". One session
// per process, renewed after a 401.
struct TYahooSession {
  std::mutex Mutex;
  std::string Cookie;  // "name=value; name2=value2"
  std::string Crumb;
  bool Tried = false;
};

TYahooSession& Session() {
  static TYahooSession S;
  return S;
}

// The quote-summary, cookie and crumb requests: a minute at most, however the server behaves.
void LimitTo60s(THttpClient& AClient) { AClient.LimitEveryWait(std::chrono::seconds(60)); }

void Obtain(TYahooSession& S) {
  S.Tried = true;
  S.Cookie.clear();
  S.Crumb.clear();
  THttpClient Client;
  LimitTo60s(Client);
  Client.SetUserAgent(kSummaryAgent);
  // Any answer will do (the page itself is a 404): only its cookies matter.
  THttpResponse Page = Client.Get(EndpointBase(TService::YahooCookie) + "/");
  for (const auto& [Name, Value] : Page.Headers) {
    if (!SameTextAscii(Name, "Set-Cookie")) continue;
    std::string Pair = Value.substr(0, Value.find(';'));
    if (Pair.empty()) continue;
    if (!S.Cookie.empty()) S.Cookie += "; ";
    S.Cookie += Pair;
  }
  THttpResponse Crumb =
      Client.Get(EndpointUrl(TService::YahooSummary, "/v1/test/getcrumb"), {{"Cookie", S.Cookie}});
  if (Crumb.StatusCode == 200) S.Crumb = Trim(Crumb.Body);
}

// GET a quote-summary URL with the session, renewing it once after a 401.
THttpResponse SummaryGet(const std::string& APathAndQuery, const THttpHeaders& AExtra) {
  TYahooSession& S = Session();
  std::lock_guard Lock(S.Mutex);
  for (int Attempt = 0;; ++Attempt) {
    if (!S.Tried || Attempt > 0) {
      try {
        Obtain(S);
      } catch (const EHttpError&) {
        // No session: the request goes without one and its answer says what is wrong.
      }
    }
    THttpClient Client;
    LimitTo60s(Client);
    Client.SetUserAgent(kSummaryAgent);
    THttpHeaders Headers = AExtra;
    if (!S.Cookie.empty()) Headers.emplace_back("Cookie", S.Cookie);
    std::string Url = EndpointUrl(TService::YahooSummary, APathAndQuery);
    if (!S.Crumb.empty()) Url += "&crumb=" + EncodeComponent(S.Crumb);
    THttpResponse R = Client.Get(Url, Headers);
    if (R.StatusCode != 401 || Attempt > 0) return R;
  }
}

// The service's own complaint ("finance.error" or "quoteSummary.error"), if the body has one.
std::optional<std::string> ServiceError(const TJson& ADoc) {
  for (const char* Path : {"finance.error", "quoteSummary.error"}) {
    const TJson* E = FindJsonPath(ADoc, Path);
    if (!E || E->is_null()) continue;
    std::string Code = JsonPathTextOr(*E, "code", "");
    std::string Description = JsonPathTextOr(*E, "description", "");
    std::string Text =
        Code.empty() ? Description : (Description.empty() ? Code : Code + ": " + Description);
    return Text.empty() ? std::string("Yahoo 오류") : Text;
  }
  return std::nullopt;
}

std::string OrDefault(const TJson& ADoc, const std::string& APath, const char* ADefault) {
  auto V = JsonPathText(ADoc, APath);
  return (V && !V->empty()) ? *V : std::string(ADefault);
}

}  // namespace

void ResetYahooSession() {
  TYahooSession& S = Session();
  std::lock_guard Lock(S.Mutex);
  S.Tried = false;
  S.Cookie.clear();
  S.Crumb.clear();
}

std::string GetYahooStockData(const std::string& Ticker, const std::string& DateRange,
                              const std::string& Interval) {
  try {
    THttpClient Client;
    Client.SetConnectionTimeout(std::chrono::seconds(30));
    Client.SetResponseTimeout(std::chrono::seconds(30));
    Client.SetTotalTimeout(std::chrono::seconds(30));
    THttpResponse R = Client.Get(
        EndpointUrl(TService::YahooChart, "/v8/finance/chart/" + EncodeComponent(Ticker)) +
            "?range=" + EncodeComponent(DateRange) + "&interval=" + EncodeComponent(Interval),
        {{"User-Agent", kChartAgent}});
    if (R.StatusCode != 200)
      throw EYahooError("야후 API 에러: " + std::to_string(R.StatusCode) + " - " + R.StatusText);
    std::string Body = SanitizeUtf8(R.Body);
    // Whatever is not a chart answer would go to the model as if it were prices.
    auto Doc = ParseJson(Body);
    if (!Doc || !Doc->is_object() || !Doc->contains("chart"))
      return "야후 API 응답을 해석할 수 없습니다: 차트 데이터(JSON)가 아닙니다 (" +
             std::to_string(R.Body.size()) + " 바이트).";
    return Body;
  } catch (const std::exception& E) {
    throw EYahooError(std::string("요청 중 오류 발생: ") + E.what());
  }
}

std::string GetYahooFinanceData(const std::string& Ticker) {
  try {
    THttpResponse R =
        SummaryGet("/v10/finance/quoteSummary/" + Ticker +
                       "?modules=financialData,defaultKeyStatistics,incomeStatementHistory",
                   {});
    auto Doc = ParseJson(SanitizeUtf8(R.Body));
    if (!Doc) return "API 응답을 해석할 수 없습니다.";
    if (JsonPathText(*Doc, "quoteSummary.error.code"))
      return "해당 종목 기호(" + Ticker + ")를 찾을 수 없습니다.";
    // Any other complaint (an expired session, say) must not read as a summary of "정보 없음".
    if (auto Err = ServiceError(*Doc)) return "API 호출 중 오류 발생: " + *Err;
    const std::string P = "quoteSummary.result[0].";
    return "[" + Ticker + " 재무 요약]\r\n- 통화: " +
           OrDefault(*Doc, P + "financialData.financialCurrency", "USD") + "\r\n- 현재 주가: " +
           OrDefault(*Doc, P + "financialData.currentPrice.fmt", "정보 없음") +
           "\r\n- 총 매출: " + OrDefault(*Doc, P + "financialData.totalRevenue.fmt", "정보 없음") +
           "\r\n- 영업이익: " +
           OrDefault(*Doc,
                     P + "incomeStatementHistory.incomeStatementHistory[0].operatingIncome.fmt",
                     "정보 없음") +
           "\r\n- 영업이익률: " +
           OrDefault(*Doc, P + "financialData.operatingMargins.fmt", "정보 없음") +
           "\r\n- 순이익률: " +
           OrDefault(*Doc, P + "financialData.profitMargins.fmt", "정보 없음") +
           "\r\n- 추정 PER: " +
           OrDefault(*Doc, P + "defaultKeyStatistics.forwardPE.fmt", "정보 없음");
  } catch (const std::exception& E) {
    return std::string("API 호출 중 오류 발생: ") + E.what();
  }
}

std::string GetYahooFinanceFinancials(const std::string& ATicker, const std::string& APeriod) {
  try {
    const bool Annual = ToLowerAscii(APeriod) == "annual";
    const std::string Module =
        Annual ? "incomeStatementHistory" : "incomeStatementHistoryQuarterly";
    const std::string ArrayPath = Module + ".incomeStatementHistory";
    const std::string Label = Annual ? "연도별(최근 4년)" : "분기별(최근 4분기)";
    THttpResponse R = SummaryGet("/v10/finance/quoteSummary/" + ATicker + "?modules=" + Module,
                                 {{"Accept", "application/json"}});
    auto Doc = ParseJson(SanitizeUtf8(R.Body));
    if (!Doc) return "오류: 응답을 해석할 수 없습니다.";
    const TJson* Results = FindJsonPath(*Doc, "quoteSummary.result");
    if (!Results || !Results->is_array() || Results->empty()) {
      if (auto Err = ServiceError(*Doc); Err && !JsonPathText(*Doc, "quoteSummary.error.code"))
        return "통신 오류: " + *Err;
      return "종목 기호(" + ATicker + ")를 찾을 수 없습니다.";
    }
    const TJson* Rows = FindJsonPath((*Results)[0], ArrayPath);
    if (!Rows || !Rows->is_array()) return "해당 종목의 재무 데이터를 찾을 수 없습니다.";
    std::string Out = ATicker + "의 " + Label + " 재무 요약:\r\n";
    for (const TJson& Row : *Rows)
      Out += "- 종료일: " + JsonPathTextOr(Row, "endDate.fmt", "N/A") +
             " | 총매출: " + JsonPathTextOr(Row, "totalRevenue.fmt", "N/A") +
             " | 순이익: " + JsonPathTextOr(Row, "netIncome.fmt", "N/A") + "\r\n";
    return Out;
  } catch (const std::exception& E) {
    return std::string("통신 오류: ") + E.what();
  }
}

}  // namespace kestrill
