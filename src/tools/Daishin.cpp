#include "tools/Daishin.h"

#include <algorithm>
#include <cctype>

namespace kestrill {
namespace {

constexpr char kNotConnected[] =
    "오류: 대신증권 API에 연결되어 있지 않습니다. CYBOS Plus 로그인을 확인하세요.";

bool StartsWithLetter(const std::string& ACode, char AUpper) {
  return !ACode.empty() && std::toupper(static_cast<unsigned char>(ACode[0])) == AUpper;
}

// The broker wants stock codes with their "A" prefix; one already there is kept.
std::string StockRequestCode(const std::string& ACode) {
  return StartsWithLetter(ACode, 'A') ? ACode : "A" + ACode;
}

std::string UpperAscii(std::string AText) {
  for (char& C : AText) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return AText;
}

bool Connected(IAutomationObject& ACybos) { return AutoToInt(ACybos.Call("IsConnect")) != 0; }

std::string Price(const std::string& AStockCode, const TAutomationStarter& AStart) {
  auto Session = AStart();
  auto Cybos = Session->Create("CpUtil.CpCybos");
  if (!Connected(*Cybos)) return kNotConnected;
  auto Mst = Session->Create("DsCbo1.StockMst");
  if (AStockCode.empty()) throw EAutomationError("종목 코드가 비어 있습니다.");
  Mst->Call("SetInputValue", {std::int32_t{0}, StockRequestCode(AStockCode)});
  Mst->Call("BlockRequest");
  const std::string Name = AutoToText(Mst->Call("GetHeaderValue", {std::int32_t{1}}));
  const std::string Current = std::to_string(AutoToInt64(Mst->Call("GetHeaderValue", {std::int32_t{11}})));
  const std::string Change = std::to_string(AutoToInt64(Mst->Call("GetHeaderValue", {std::int32_t{12}})));
  return "종목명: " + Name + ", 현재가: " + Current + "원, 전일대비: " + Change + "원 입니다.";
}

std::string InvestorTrend(const std::string& ATargetCode, int ADays,
                          const TAutomationStarter& AStart) {
  auto Session = AStart();
  auto Cybos = Session->Create("CpUtil.CpCybos");
  if (!Connected(*Cybos)) return kNotConnected;
  const bool IsIndex = StartsWithLetter(ATargetCode, 'U');
  const std::string Code = IsIndex ? UpperAscii(ATargetCode) : StockRequestCode(ATargetCode);
  const std::string Unit = IsIndex ? "백만원" : "주";

  auto Request = Session->Create("CpSysDib.CpSvr7254");
  Request->Call("SetInputValue", {std::int32_t{0}, Code});
  Request->Call("SetInputValue", {std::int32_t{1}, std::int32_t{1}});
  Request->Call("SetInputValue", {std::int32_t{4}, u'0'});
  Request->Call("SetInputValue", {std::int32_t{5}, std::int32_t{0}});
  Request->Call("SetInputValue", {std::int32_t{6}, IsIndex ? u'2' : u'1'});
  Request->Call("BlockRequest");
  if (AutoToInt(Request->Call("GetDibStatus")) != 0)
    return "통신 오류: " + AutoToText(Request->Call("GetDibMsg1"));
  const std::int32_t Count = AutoToInt(Request->Call("GetHeaderValue", {std::int32_t{1}}));
  if (Count == 0) return "매매 동향 데이터가 없습니다. (종목 코드를 다시 확인해주세요)";

  std::string Result = "요청코드 [" + ATargetCode + "]의 최근 매매 동향\r\n";
  const std::int32_t Rows = std::min<std::int32_t>(ADays, Count);
  for (std::int32_t Row = 0; Row < Rows; ++Row) {
    auto Value = [&](std::int32_t AColumn) {
      return AutoToText(Request->Call("GetDataValue", {AColumn, Row}));
    };
    const std::string Date = Value(0), Individuals = Value(1), Foreigners = Value(2),
                      Institutions = Value(3);
    Result += "- 일자: " + Date + " | 개인: " + Individuals + Unit + " | 외국인: " + Foreigners +
              Unit + " | 기관: " + Institutions + Unit + "\r\n";
  }
  return Result;
}

}  // namespace

std::string GetStockPriceFromDaishin(const std::string& StockCode, const TAutomationStarter& AStart) {
  try {
    return Price(StockCode, AStart);
  } catch (const EAutomationUnavailable& E) {
    return E.what();
  } catch (const std::exception& E) {
    return "증권 API 호출 중 에러 발생: " + std::string(E.what());
  }
}

std::string GetDaishinInvestorTrend(const std::string& ATargetCode, int ADays,
                                    const TAutomationStarter& AStart) {
  try {
    return InvestorTrend(ATargetCode, ADays, AStart);
  } catch (const EAutomationUnavailable& E) {
    return E.what();
  } catch (const std::exception& E) {
    return "COM 에러: " + std::string(E.what());
  }
}

}  // namespace kestrill
