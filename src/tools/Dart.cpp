#include "tools/Dart.h"

#include <exception>

#include "core/Endpoints.h"
#include "core/JsonPath.h"
#include "core/TextUtil.h"
#include "tools/ToolHttp.h"

namespace kestrill {
namespace {

constexpr char kFailurePrefix[] = "통신 또는 파싱 오류: ";

std::string Member(const TJson& AObject, const char* AName) {
  return JsonPathTextOr(AObject, AName, "");
}

std::string ApiError(const std::string& AMessage, const std::string& AStatus) {
  return "DART API 오류: " + AMessage + " (코드: " + AStatus + ")";
}

// Members of a value that is not an object read as empty, like missing ones.
const TJson& AsObject(const TJson& AValue) {
  static const TJson Empty = TJson::object();
  return AValue.is_object() ? AValue : Empty;
}

// "[연결재무제표]" or "[재무제표]": the item's statement name, or its CFS/OFS code where the name
// is missing; empty when the item says neither.
std::string StatementHeader(const TJson& ARow) {
  std::string Name = Trim(Member(ARow, "fs_nm"));
  if (Name.empty()) {
    const std::string Code = Member(ARow, "fs_div");
    if (Code == "CFS") Name = "연결재무제표";
    if (Code == "OFS") Name = "재무제표";
  }
  return Name.empty() ? "" : "[" + Name + "]";
}

std::string FinancialInfo(const std::string& APIKey, const std::string& ACorpCode,
                          const std::string& AYear, const std::string& AReprtCode) {
  const std::string Url = EndpointUrl(TService::Dart, "/api/fnlttSinglAcnt.json") +
                          "?crtfc_key=" + QueryValue(APIKey) +
                          "&corp_code=" + QueryValue(ACorpCode) +
                          "&bsns_year=" + QueryValue(AYear) +
                          "&reprt_code=" + QueryValue(AReprtCode);
  const TToolReply Reply = ToolFetch(Url);
  auto Doc = ParseJson(Reply.Body);
  if (!Doc) return UnreadableReplyText("DART", Reply);
  if (!Doc->is_object()) throw std::runtime_error("DART 응답이 JSON 객체가 아닙니다.");
  const std::string Status = Member(*Doc, "status");
  if (Status != "000") return ApiError(Member(*Doc, "message"), Status);
  auto List = Doc->find("list");
  if (List == Doc->end() || !List->is_array()) return "재무 데이터(list)가 존재하지 않습니다.";
  std::string Result = "[재무정보 조회 결과]\r\n";
  std::string Statement;  // the header last written
  for (const TJson& Item : *List) {
    const TJson& Row = AsObject(Item);
    const std::string Amount = Member(Row, "thstrm_amount");
    if (Amount.empty()) continue;
    // Consolidated and separate statements share account names: without a header the model
    // cannot tell which of two 매출액 of one year is which.
    const std::string Header = StatementHeader(Row);
    if (!Header.empty() && Header != Statement) Result += Header + "\r\n";
    if (!Header.empty()) Statement = Header;
    Result += "- " + Member(Row, "account_nm") + ": " + Amount + "원\r\n";
  }
  return Result;
}

std::string Disclosures(const std::string& APIKey, const std::string& ACorpCode,
                        const std::string& AStartDate, const std::string& AEndDate,
                        const std::string& AType, const std::string& AKeyword) {
  std::string Url = EndpointUrl(TService::Dart, "/api/list.json") +
                    "?crtfc_key=" + QueryValue(APIKey) + "&page_count=100";
  for (const auto& [Key, Value] : {std::pair<const char*, const std::string&>{"corp_code", ACorpCode},
                                   {"bgn_de", AStartDate},
                                   {"end_de", AEndDate},
                                   {"pblntf_ty", AType}})
    if (!Value.empty()) Url += std::string("&") + Key + "=" + QueryValue(Value);
  const TToolReply Reply = ToolFetch(Url);
  auto Doc = ParseJson(Reply.Body);
  if (!Doc) return UnreadableReplyText("DART", Reply);
  if (!Doc->is_object()) throw std::runtime_error("DART 응답이 JSON 객체가 아닙니다.");
  const std::string Status = Member(*Doc, "status");
  if (Status == "013") return "해당 기간에 조회된 공시 데이터가 없습니다.";
  if (Status != "000") return ApiError(Member(*Doc, "message"), Status);
  auto List = Doc->find("list");
  if (List == Doc->end() || !List->is_array()) return "공시 목록(list)이 응답에 없습니다.";

  const std::string Keyword = ToLowerAscii(AKeyword);
  const std::string Viewer = EndpointUrl(TService::DartViewer, "/dsaf001/main.do?rcpNo=");
  std::string Result = "[DART 공시 검색 결과]\r\n";
  int Count = 0;
  for (const TJson& Item : *List) {
    const TJson& Row = AsObject(Item);
    const std::string Name = Member(Row, "report_nm");
    if (!Keyword.empty() && ToLowerAscii(Name).find(Keyword) == std::string::npos) continue;
    ++Count;
    Result += "- [" + Member(Row, "rcept_dt") + "] " + Name + "\r\n" + "  링크: " + Viewer +
              QueryValue(Member(Row, "rcept_no")) + "\r\n";
    if (Count == MAX_RESULTS) {
      Result += "\r\n※ 결과가 너무 많아 최신 " + std::to_string(MAX_RESULTS) + "건만 표시합니다.";
      break;
    }
  }
  return Count == 0 ? "조건에 맞는 공시가 존재하지 않습니다." : Result;
}

}  // namespace

std::string GetDARTFinancialInfo(const std::string& APIKey, const std::string& ACorpCode,
                                 const std::string& AYear, const std::string& AReprtCode) {
  try {
    return FinancialInfo(APIKey, ACorpCode, AYear, AReprtCode);
  } catch (const std::exception& E) {
    return kFailurePrefix + std::string(E.what());
  }
}

std::string SearchDARTDisclosures(const std::string& APIKey, const std::string& ACorpCode,
                                  const std::string& AStartDate, const std::string& AEndDate,
                                  const std::string& AType, const std::string& AKeyword) {
  try {
    return Disclosures(APIKey, ACorpCode, AStartDate, AEndDate, AType, AKeyword);
  } catch (const std::exception& E) {
    return kFailurePrefix + std::string(E.what());
  }
}

}  // namespace kestrill
