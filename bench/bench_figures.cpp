// Checking a 5,000-character agent answer against 1 MB of tool results: a long Yahoo chart JSON,
// DART statements, KRX index days and Yahoo summaries, indexed and checked as after each answer.
// Run: build/figures-rel/bench/kestrill_bench_figures --benchmark_repetitions=9
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core/ChatTypes.h"
#include "figures/FigureCheck.h"

using namespace kestrill;

namespace {

std::string Number(double AValue, int ADecimals) {
  char Buffer[64];
  std::snprintf(Buffer, sizeof(Buffer), "%.*f", ADecimals, AValue);
  return Buffer;
}

// Ten thousand trading days of one ticker (about 800 KB).
std::string ChartJson(int ADays) {
  std::string Time, Open, High, Low, Close, Volume;
  double Price = 150;
  for (int I = 0; I < ADays; ++I) {
    const std::string Sep = I ? "," : "";
    Price *= 1 + ((I * 7919) % 201 - 100) / 10000.0;
    Time += Sep + std::to_string(1104537600 + I * 86400);
    Open += Sep + Number(Price * 0.997, 2);
    High += Sep + Number(Price * 1.012, 2);
    Low += Sep + Number(Price * 0.988, 2);
    Close += Sep + Number(Price, 2);
    Volume += Sep + std::to_string(50000000 + (I * 104729) % 40000000);
  }
  return R"({"chart":{"result":[{"meta":{"currency":"USD","symbol":"AAPL","regularMarketPrice":)" +
         Number(Price, 2) + R"(,"chartPreviousClose":150.0},"timestamp":[)" + Time +
         R"(],"indicators":{"quote":[{"open":[)" + Open + "],\"high\":[" + High + "],\"low\":[" + Low +
         "],\"close\":[" + Close + "],\"volume\":[" + Volume + "]}]}}],\"error\":null}}";
}

std::string DartResult(int AYear) {
  const double Scale = 1 + (AYear - 2015) * 0.03;
  auto Line = [&](const char* AName, double AValue) {
    std::string Digits = Number(AValue * Scale, 0), Grouped;
    for (std::size_t I = 0; I < Digits.size(); ++I) {
      if (I && (Digits.size() - I) % 3 == 0) Grouped += ',';
      Grouped += Digits[I];
    }
    return std::string("- ") + AName + ": " + Grouped + "원\r\n";
  };
  std::string Out = "[재무정보 조회 결과]\r\n[연결재무제표]\r\n";
  for (int Statement = 0; Statement < 2; ++Statement) {
    const double S = Statement ? 0.66 : 1.0;
    if (Statement) Out += "[재무제표]\r\n";
    Out += Line("유동자산", 195936557e6 * S) + Line("자산총계", 455905980e6 * S) +
           Line("부채총계", 92228115e6 * S) + Line("자본총계", 363677865e6 * S) +
           Line("매출액", 258935494e6 * S) + Line("영업이익", 6566976e6 * S) +
           Line("당기순이익(손실)", 15487100e6 * S);
  }
  return Out;
}

std::string KrxIndexDay(int ADay) {
  std::string Out;
  for (int Row = 0; Row < 60; ++Row)
    Out += "[지수: 코스피 " + std::to_string(Row * 10) + "] 마감: " + Number(2500 + Row * 3.7 + ADay, 2) +
           "pt (전일대비 " + Number(-9.19 + Row * 0.3, 2) + "pt, 등락률: " + Number(-0.36 + Row * 0.01, 2) +
           "%), 거래량: " + std::to_string(419337000 + Row * 1000 + ADay) + "\r\n";
  return Out;
}

void AddTool(TChatHistory& AHistory, const std::string& AName, const std::string& AArgs, const std::string& AText) {
  TChatMessage Call = CreateChatMessage(kRoleAssistant, "");
  Call.HasToolCall = true;
  Call.ToolName = AName;
  Call.ToolArgs = AArgs;
  TChatMessage Result = CreateChatMessage(kRoleTool, AText);
  Result.HasToolCall = true;
  Result.ToolName = AName;
  AHistory.push_back(Call);
  AHistory.push_back(Result);
}

// About 5,000 characters of answer: tables, lists and sentences with right and wrong figures.
std::string Answer() {
  const std::string Paragraphs[] = {
      "## 삼성전자 2023년 실적 (연결 기준)\n\n- 매출액: 258조 9,355억 원 (전년 대비 14.3% 감소)\n"
      "- 영업이익: 6조 5,670억 원\n- 당기순이익: 약 15.5조 원\n- 영업이익률: 2.5%\n- 부채비율: 25.4%\n\n",
      "| 항목 | 2023년 | 2022년 | 증감률 |\n|---|---|---|---|\n| 매출액 | 258.9조 원 | 302.2조 원 | -14.3% |\n"
      "| 영업이익 | 6.57조 원 | 43.38조 원 | -84.9% |\n\n",
      "1월 5일 코스피는 2,578.08포인트로 마감해 전일보다 9.19포인트(0.36%) 내렸고, 거래량은 약 4억 1,934만 주였습니다. "
      "코스피 200 지수는 346.96pt로 1.2포인트 하락했습니다.\n\n",
      "AAPL의 최근 종가는 $185.56로 직전 거래일 종가 $181.18보다 2.4% 올랐습니다. 52주 최고가는 $199.62, 최저가는 "
      "$164.08입니다. 최근 거래량은 약 5,914만 주이며 시가총액은 약 2.9조 달러, PER은 28.5배입니다.\n\n",
      "Microsoft trades at about $375 (last $374.69). Revenue is $227.58 billion and operating income $88.52B, "
      "an operating margin of 44.59%; net margin is 36.27%. Forward P/E is 31.2x.\n\n",
  };
  // Each round's figures differ from the others' (a digit turned), most of them backed by
  // nothing: open figures are the costly ones, as every pair is tried against them.
  std::string Out;
  std::size_t Characters = 0;
  for (int I = 0; Characters < 5000; ++I) {
    std::string P = Paragraphs[I % 5];
    for (char& C : P)
      if (C == '5' || C == '8') C = static_cast<char>('0' + (C - '0' + I / 5) % 10);
    Out += P;
    for (unsigned char C : P) Characters += (C & 0xC0) != 0x80;
  }
  return Out;
}

const TChatHistory& Conversation() {
  static const TChatHistory History = [] {
    TChatHistory H{CreateChatMessage(kRoleUser, "삼성전자, 코스피, 애플, 마이크로소프트를 정리해 줘")};
    AddTool(H, "get_yahoo_price", R"({"ticker":"AAPL","date_range":"max"})", ChartJson(10000));
    std::size_t Bytes = H.back().Text.size();
    for (int I = 0; Bytes < (std::size_t{1} << 20); ++I) {
      if (I % 3 == 0) AddTool(H, "get_dart_financials", "{\"year\":\"" + std::to_string(2015 + I % 9) + "\"}",
                              DartResult(2015 + I % 9));
      else AddTool(H, "get_index_price", R"({"index_name":"코스피","date":"20240105"})", KrxIndexDay(I));
      Bytes += H.back().Text.size();
    }
    H.push_back(CreateChatMessage(kRoleAssistant, Answer()));
    return H;
  }();
  return History;
}

// What the engine runs after an answer: index every tool result, then check.
void BM_CheckAnswer(benchmark::State& State) {
  const TChatHistory& H = Conversation();
  std::size_t Figures = 0;
  for (auto _ : State) {
    auto Checks = CheckAnswer(H, H.size() - 1);
    Figures = Checks.size();
    benchmark::DoNotOptimize(Checks);
  }
  std::size_t Bytes = 0;
  for (const TChatMessage& M : H)
    if (M.Role == kRoleTool) Bytes += M.Text.size();
  State.counters["tool_bytes"] = static_cast<double>(Bytes);
  State.counters["figures"] = static_cast<double>(Figures);
}
BENCHMARK(BM_CheckAnswer)->Unit(benchmark::kMillisecond);

// The check alone, over an index built once.
void BM_CheckFigures(benchmark::State& State) {
  const TChatHistory& H = Conversation();
  TValueIndex Index;
  for (std::size_t I = 0; I + 1 < H.size(); ++I)
    if (H[I].Role == kRoleTool) Index.Add(I, H[I].ToolName, H[I].Text);
  for (auto _ : State) benchmark::DoNotOptimize(CheckFigures(H.back().Text, Index));
  State.counters["values"] = static_cast<double>(Index.Values().size());
}
BENCHMARK(BM_CheckFigures)->Unit(benchmark::kMillisecond);

// Indexing the tool results alone.
void BM_IndexToolResults(benchmark::State& State) {
  const TChatHistory& H = Conversation();
  for (auto _ : State) {
    TValueIndex Index;
    for (std::size_t I = 0; I + 1 < H.size(); ++I)
      if (H[I].Role == kRoleTool) Index.Add(I, H[I].ToolName, H[I].Text, H[I > 0 ? I - 1 : 0].ToolArgs);
    benchmark::DoNotOptimize(Index);
  }
}
BENCHMARK(BM_IndexToolResults)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
