#include "tools/Krx.h"

#include <exception>
#include <optional>

#include "core/Endpoints.h"
#include "core/JsonPath.h"
#include "core/TextUtil.h"
#include "tools/ToolHttp.h"

namespace kestrill {
namespace {

std::string Member(const TJson& ARow, const char* AName, const char* ADefault) {
  if (!ARow.is_object()) return ADefault;
  return JsonPathTextOr(ARow, AName, ADefault);
}

// The service calls the rate of change "FLUC_RT"; older answers and some mirrors say "FLT_RT".
std::string RateOfChange(const TJson& ARow) {
  if (ARow.is_object())
    for (const char* Name : {"FLUC_RT", "FLT_RT"})
      if (auto Rate = JsonPathText(ARow, Name)) return *Rate;
  return "0";
}

// "https://host/path?" + "basDd=DATE&" when a date is given.
std::string DayUrl(const char* APath, const std::string& ADate) {
  std::string Url = EndpointUrl(TService::Krx, APath) + "?";
  if (!ADate.empty()) Url += "basDd=" + QueryValue(ADate) + "&";
  return Url;
}

// The key travels in a header only, never in the URL.
std::string Fetch(const std::string& AUrl, const std::string& APIKey) {
  return ToolGet(AUrl, {{"AUTH_KEY", APIKey}});
}

std::string DailyPrice(const std::string& APIKey, const std::string& AStockCode,
                       const std::string& ADate) {
  const std::string Body = Fetch(DayUrl("/svc/apis/sto/stk_bydd_trd", ADate), APIKey);
  auto Doc = ParseJson(Body);
  if (!Doc) return "해당 종목의 데이터를 찾을 수 없거나 통신에 실패했습니다.";
  const TJson* Rows = Doc->is_object() ? FindJsonPath(*Doc, "OutBlock_1") : nullptr;
  if (!Rows || !Rows->is_array()) return "KRX API 응답 오류: " + Body;
  if (Rows->empty()) return "KRX: 조건에 맞는 주식 데이터가 없습니다. (당일/휴장일이거나 종목코드 오류)";
  std::string Result;
  for (const TJson& Row : *Rows) {
    if (Member(Row, "ISU_CD", "알수없음") != AStockCode) continue;
    Result += "[" + Member(Row, "ISU_NM", "알수없음") + "] 종가: " +
              Member(Row, "TDD_CLSPRC", "0") + "원 (전일대비 " +
              Member(Row, "CMPPREVDD_PRC", "0") + "원, 등락률: " + RateOfChange(Row) +
              "%), 거래량: " + Member(Row, "ACC_TRDVOL", "0") + "주\r\n";
  }
  // An empty result would reach the model as nothing at all: say what was missing.
  if (Result.empty())
    Result = "KRX: " + (ADate.empty() ? std::string("조회한 날짜") : ADate) +
             " 자료에 종목코드 " + AStockCode +
             "인 종목이 없습니다. 6자리 숫자 단축코드(예: 005930)로 다시 조회하세요.";
  return Result;
}

std::string IndexPrice(const std::string& APIKey, const std::string& AIndexName,
                       const std::string& ADate) {
  std::string Url = DayUrl("/svc/apis/idx/kospi_dd_trd", ADate);
  if (!AIndexName.empty()) Url += "idxNm=" + FormEncode(AIndexName);
  const std::string Body = Fetch(Url, APIKey);
  auto Doc = ParseJson(Body);
  if (!Doc) return "지수 API 파싱 실패. RAW 응답: " + Body;
  const TJson* Rows = Doc->is_object() ? FindJsonPath(*Doc, "OutBlock_1") : nullptr;
  if (!Rows || !Rows->is_array()) return "KRX 지수 API 에러: " + Body;
  if (Rows->empty()) return "KRX: 조건에 맞는 지수 데이터가 없습니다. (당일/휴장일이거나 지수명 오타)";
  // The service answers with every index of the day: the one asked for goes first, so the
  // model does not take a neighbour's close for it.
  std::string Asked, Others;
  for (const TJson& Row : *Rows) {
    const std::string Name = Member(Row, "IDX_NM", "알수없음");
    (!AIndexName.empty() && Name == AIndexName ? Asked : Others) +=
        "[지수: " + Name + "] 마감: " + Member(Row, "CLSPRC_IDX", "0") + "pt (전일대비 " +
        Member(Row, "CMPPREVDD_IDX", "0") + "pt, 등락률: " + RateOfChange(Row) +
        "%), 거래량: " + Member(Row, "ACC_TRDVOL", "0") + "\r\n";
  }
  return Asked + Others;
}

}  // namespace

std::string FormEncode(const std::string& AText) {
  std::string Out;
  std::size_t Start = 0;
  for (std::size_t Space; (Space = AText.find(' ', Start)) != std::string::npos; Start = Space + 1)
    Out += PercentEncode(std::string_view(AText).substr(Start, Space - Start)) + "+";
  return Out + PercentEncode(std::string_view(AText).substr(Start));
}

std::string GetKRXDailyPrice(const std::string& APIKey, const std::string& AStockCode,
                             const std::string& ADate) {
  try {
    return DailyPrice(APIKey, AStockCode, ADate);
  } catch (const std::exception& E) {
    return "KRX API 통신 에러: " + std::string(E.what());
  }
}

std::string GetKRXIndexPrice(const std::string& APIKey, const std::string& AIndexName,
                             const std::string& ADate) {
  try {
    return IndexPrice(APIKey, AIndexName, ADate);
  } catch (const std::exception& E) {
    return "KRX 지수 통신 에러: " + std::string(E.what());
  }
}

}  // namespace kestrill
