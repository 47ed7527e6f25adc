// The value index and the check: what each tool value is labelled with, the rules that back or
// derive a figure, the conversation-level entry point, and the labelled set of answers over
// recorded tool results in tests/figures/ with its flag rates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/ChatTypes.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "figures/FigureCheck.h"

using namespace kestrill;

namespace {

const std::string kDart2023 =
    "[재무정보 조회 결과]\r\n[연결재무제표]\r\n- 자산총계: 455,905,980,000,000원\r\n"
    "- 부채총계: 92,228,115,000,000원\r\n- 자본총계: 363,677,865,000,000원\r\n"
    "- 매출액: 258,935,494,000,000원\r\n- 영업이익: 6,566,976,000,000원\r\n[재무제표]\r\n"
    "- 매출액: 170,374,090,000,000원\r\n- 영업이익: -11,526,297,000,000원\r\n";
const std::string kDart2022 =
    "[재무정보 조회 결과]\r\n[연결재무제표]\r\n- 매출액: 302,231,360,000,000원\r\n"
    "- 영업이익: 43,376,630,000,000원\r\n";
const std::string kKrx0105 =
    "[삼성전자] 종가: 71500원 (전일대비 -500원, 등락률: -0.69%), 거래량: 12345678주\r\n";
const std::string kKrx0104 =
    "[삼성전자] 종가: 72000원 (전일대비 -600원, 등락률: -0.83%), 거래량: 11062347주\r\n";
const std::string kYahooSummary =
    "[AAPL 재무 요약]\r\n- 통화: USD\r\n- 현재 주가: 189.84\r\n- 총 매출: 383.29B\r\n"
    "- 영업이익: 114.3B\r\n- 영업이익률: 30.13%\r\n- 순이익률: 25.31%\r\n- 추정 PER: 28.51";

struct TResult {
  std::string Tool, Text, Args;
};

TValueIndex IndexOf(const std::vector<TResult>& AResults) {
  TValueIndex Index;
  for (std::size_t I = 0; I < AResults.size(); ++I)
    Index.Add(I, AResults[I].Tool, AResults[I].Text, AResults[I].Args);
  return Index;
}

// "text=status" per figure, derived ones with how: "2.5%=derived:percentage".
std::string Describe(const std::vector<TFigureCheck>& AChecks) {
  std::string Out;
  for (const TFigureCheck& C : AChecks) {
    if (!Out.empty()) Out += ", ";
    Out += C.Figure.Text + "=" + std::string(FigureStatusName(C.Status));
    if (C.Status == TFigureStatus::Derived) Out += ":" + std::string(DerivationName(C.How));
  }
  return Out;
}

const TToolValue* FindValue(const TValueIndex& AIndex, double AValue) {
  for (const TToolValue& V : AIndex.Values())
    if (V.Value == AValue) return &V;
  return nullptr;
}

}  // namespace

TEST(FigureContext, PeriodsAndStatementsATextNames) {
  struct TCase {
    const char* Text;
    TPeriod Period;  // all zero: none
    TStatement Statement;
  };
  const TCase Cases[] = {
      {"2024년 1월 5일 종가는", {2024, 1, 5}, TStatement::Unknown},
      {"2023년 연결 기준, 2022년 별도 기준", {2022, 0, 0}, TStatement::Separate},
      {"1월 4일", {0, 1, 4}, TStatement::Unknown},
      {"종료일 2023-09-30 | 20240105", {2024, 1, 5}, TStatement::Unknown},
      {"FY2023 매출", {2023, 0, 0}, TStatement::Unknown},
      {"| 항목 | 2023 |", {2023, 0, 0}, TStatement::Unknown},
      {"2023년 매출은 전년 대비", {2023, 0, 0}, TStatement::Unknown},
      {"2023년 매출은 작년에", {2022, 0, 0}, TStatement::Unknown},
      {"2023년 영업이익은 전년(43.38조 원) 대비 줄었고 순이익은", {2023, 0, 0}, TStatement::Unknown},
      {"매출 2,024억 원과 2024.5배, 개별 기준", {}, TStatement::Separate},
  };
  for (const TCase& C : Cases) {
    EXPECT_EQ(LastPeriodMention(C.Text).value_or(TPeriod{}), C.Period) << C.Text;
    EXPECT_EQ(LastStatementMention(C.Text), C.Statement) << C.Text;
  }
  EXPECT_EQ(StatementOfName("연결재무제표"), TStatement::Consolidated);
  EXPECT_EQ(StatementOfName("재무제표"), TStatement::Separate);
  EXPECT_EQ(StatementOfName("삼성전자"), TStatement::Unknown);
}

TEST(ValueIndex, LabelsSectionsPeriodsAndPlaces) {
  const std::string Chart =
      R"({"chart":{"result":[{"meta":{"regularMarketPrice":185.56},"indicators":{"quote":[{"close":[181.18,"2,345"]}]}}]}})";
  const TValueIndex Index = IndexOf({{"get_dart_financials", kDart2023, R"({"year":"2023"})"},
                                     {"get_krx_price", kKrx0105, R"({"stock_code":"005930","date":"20240105"})"},
                                     {"get_yahoo_price", Chart, ""},
                                     {"get_financials", "- 종료일: 2022-09-30 | 총매출: 394.33B", ""},
                                     {"get_yahoo_finance", "{ 잘린 JSON 매출: 1,234원", ""}});
  struct TExpect {
    double Value;
    const char* Tool;
    const char* Label;
    const char* Section;
    TStatement Statement;
    TPeriod Period;
    const char* Place;  // the value's bytes in its message
  };
  const std::vector<std::string> Texts{kDart2023, kKrx0105, Chart, "- 종료일: 2022-09-30 | 총매출: 394.33B",
                                       "{ 잘린 JSON 매출: 1,234원"};
  const TExpect Cases[] = {
      {258935494000000, "get_dart_financials", "매출액", "연결재무제표", TStatement::Consolidated, {2023, 0, 0},
       "258,935,494,000,000원"},
      {-11526297000000, "get_dart_financials", "영업이익", "재무제표", TStatement::Separate, {2023, 0, 0},
       "-11,526,297,000,000원"},
      {71500, "get_krx_price", "종가", "삼성전자", TStatement::Unknown, {2024, 1, 5}, "71500원"},
      {-500, "get_krx_price", "전일대비", "삼성전자", TStatement::Unknown, {2024, 1, 5}, "-500원"},
      {185.56, "get_yahoo_price", "regularMarketPrice", "meta", TStatement::Unknown, {}, "185.56"},
      {2345, "get_yahoo_price", "close", "close", TStatement::Unknown, {}, "2,345"},
      {394.33e9, "get_financials", "총매출", "", TStatement::Unknown, {2022, 9, 30}, "394.33B"},
      {1234, "get_yahoo_finance", "잘린 JSON 매출", "", TStatement::Unknown, {}, "1,234원"},
  };
  for (const TExpect& E : Cases) {
    const TToolValue* V = FindValue(Index, E.Value);
    ASSERT_NE(V, nullptr) << E.Value;
    EXPECT_EQ(Index.ToolName(*V), E.Tool) << E.Value;
    EXPECT_EQ(Index.Label(*V), E.Label) << E.Value;
    EXPECT_EQ(Index.SectionName(*V), E.Section) << E.Value;
    EXPECT_EQ(Index.Statement(*V), E.Statement) << E.Value;
    EXPECT_EQ(V->Period, E.Period) << E.Value;
    EXPECT_EQ(Texts[V->Message].substr(V->Begin, V->End - V->Begin), E.Place) << E.Value;
  }
  EXPECT_FALSE(Index.Truncated());
}

TEST(ValueIndex, ReadsABoundedAmount) {
  const std::string Line = "- 값: 1,234원 " + std::string(500, '.') + "\r\n";
  std::string Big;
  while (Big.size() < 3 * kMaxResultBytes) Big += Line;
  TValueIndex Index;
  Index.Add(0, "get_dart_financials", Big);
  EXPECT_TRUE(Index.Truncated());
  ASSERT_FALSE(Index.Values().empty());
  EXPECT_LE(Index.Values().back().End, kMaxResultBytes);
  for (int I = 1; I < 12; ++I) Index.Add(I, "get_dart_financials", Big);
  // Whole lines within the bound, and at most one cut line per result.
  EXPECT_LE(Index.Values().size(), kMaxIndexBytes / Line.size() + kMaxIndexBytes / kMaxResultBytes);
}

TEST(FigureCheck, PrecisionUnitsSignsAndContext) {
  struct TCase {
    const char* Name;
    std::vector<TResult> Results;
    const char* Answer;
    const char* Expected;
  };
  const TCase Cases[] = {
      {"written precision: rounding or truncation, wider when approximate",
       {{"get_dart_financials", "- 매출액: 330,649,000,000원", ""}},
       "매출 3,306억 원. 매출 3,307억 원. 매출 3,300억 원. 매출 약 3,300억 원. 매출 3천억 원. 매출 3,306.5억 원.",
       "3,306억 원=backed, 3,307억 원=unbacked, 3,300억 원=unbacked, 3,300억 원=backed, 3천억 원=backed, "
       "3,306.5억 원=backed"},
      {"a tool value's own rounding counts",
       {{"get_yahoo_finance", kYahooSummary, ""}},
       "매출 3,832억 9천만 달러, 매출 3,833억 달러, 매출 3,834억 달러",
       "3,832억 9천만 달러=backed, 3,833억 달러=backed, 3,834억 달러=unbacked"},
      {"units: a ratio backs a percent, a percent not a multiple, won not dollars",
       {{"get_yahoo_price", R"({"operatingMargins":0.3013,"price":71500})", ""},
        {"get_krx_price", kKrx0105, ""}},
       "영업이익률 30.13%, 30.13배, 종가 71,500원, 종가 $71,500, 거래량 1,234만 5,678주, 거래량 1,234만 5,678원",
       "30.13%=backed, 30.13배=unbacked, 71,500원=backed, $71,500=backed, 1,234만 5,678주=backed, "
       "1,234만 5,678원=unbacked"},
      {"a written sign must match; an unsigned figure claims the magnitude",
       {{"get_krx_price", kKrx0105, ""}},
       "500원 하락, 500원 상승, -0.69%, 등락률 0.69%, +0.69%",
       "500원=backed, 500원=unbacked, -0.69%=backed, 0.69%=backed, +0.69%=unbacked"},
      {"statement and year of the figure's sentence",
       {{"get_dart_financials", kDart2023, R"({"year":"2023"})"},
        {"get_dart_financials", kDart2022, R"({"year":"2022"})"}},
       "연결 매출액은 258조 9,355억 원, 별도 매출액은 170조 3,741억 원이다. 연결 매출액은 170조 3,741억 원이다.\n"
       "2022년 매출액은 258조 9,355억 원이다. 2022년 매출액은 302조 2,314억 원이다.\n"
       "| 항목 | 2023 | 2022 |\n|---|---|---|\n| 매출액 | 258조 9,355억 원 | 258조 9,355억 원 |",
       "258조 9,355억 원=backed, 170조 3,741억 원=backed, 170조 3,741억 원=unbacked, 258조 9,355억 원=unbacked, "
       "302조 2,314억 원=backed, 258조 9,355억 원=backed, 258조 9,355억 원=unbacked"},
      {"the day of a price",
       {{"get_krx_price", kKrx0105, R"({"date":"20240105"})"}, {"get_krx_price", kKrx0104, R"({"date":"20240104"})"}},
       "1월 5일 종가는 71,500원, 1월 4일 종가는 71,500원, 1월 4일 종가는 72,000원",
       "71,500원=backed, 71,500원=unbacked, 72,000원=backed"},
      {"one step over two values: each kind",
       {{"get_dart_financials", kDart2023, R"({"year":"2023"})"},
        {"get_dart_financials", kDart2022, R"({"year":"2022"})"},
        {"get_krx_price", kKrx0105, R"({"date":"20240105"})"},
        {"get_krx_price", kKrx0104, R"({"date":"20240104"})"},
        {"get_yahoo_finance", kYahooSummary, ""}},
       "2023년 연결 영업이익률은 2.5%, 매출은 전년 대비 14.3%, 43조 2,959억 원 감소했다. 영업이익률은 3.5%다.\n\n"
       "삼성전자 주가는 이틀간 1,100원 내렸다.\n\n"
       "애플의 영업이익률은 순이익률보다 4.82%p 높다. 매출은 영업이익의 3.35배다.",
       "2.5%=derived:percentage, 14.3%=derived:percent change, 43조 2,959억 원=derived:difference, 3.5%=unbacked, "
       "1,100원=derived:sum, 4.82%p=derived:difference, 3.35배=derived:ratio"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Describe(CheckFigures(C.Answer, IndexOf(C.Results))), C.Expected) << C.Name;
}

TEST(FigureCheck, SourcesNameTheToolsAndLabels) {
  const std::string Answer = "연결 매출은 258조 9,355억 원, 영업이익률은 2.5%, 근거 없는 수치는 1,234억 원.";
  const auto Checks = CheckFigures(Answer, IndexOf({{"get_dart_financials", kDart2023, R"({"year":"2023"})"}}));
  ASSERT_EQ(Checks.size(), 3u);
  const TValueSource Revenue{"get_dart_financials", "매출액", "연결재무제표", 0, 0, 0, 258935494000000};
  ASSERT_EQ(Checks[0].Sources.size(), 1u);
  EXPECT_EQ(Checks[0].Sources[0].Label, "매출액");
  EXPECT_EQ(Checks[0].Sources[0].Section, "연결재무제표");
  EXPECT_EQ(kDart2023.substr(Checks[0].Sources[0].Begin, Checks[0].Sources[0].End - Checks[0].Sources[0].Begin),
            "258,935,494,000,000원");
  ASSERT_EQ(Checks[1].Sources.size(), 2u);
  EXPECT_EQ(Checks[1].How, TDerivation::Percentage);
  EXPECT_EQ(Checks[1].Sources[0].Label, "영업이익");
  EXPECT_EQ(Checks[1].Sources[1].Label, "매출액");
  EXPECT_EQ(Checks[1].Sources[1].Value, Revenue.Value);
  EXPECT_TRUE(Checks[2].Sources.empty());
  EXPECT_EQ(Answer.substr(Checks[2].Figure.Begin, Checks[2].Figure.End - Checks[2].Figure.Begin), "1,234억 원");
}

TEST(FigureCheck, AnswerInItsConversation) {
  auto Call = [](const std::string& AId, const std::string& AArgs) {
    TChatMessage M = CreateChatMessage(kRoleAssistant, "");
    M.HasToolCall = true;
    M.ToolCallId = AId;
    M.ToolName = "get_dart_financials";
    M.ToolArgs = AArgs;
    return M;
  };
  auto Result = [](const std::string& AId, const std::string& AText) {
    TChatMessage M = CreateChatMessage(kRoleTool, AText);
    M.HasToolCall = true;
    M.ToolCallId = AId;
    M.ToolName = "get_dart_financials";
    return M;
  };
  const std::string Both = "2023년 연결 매출액은 258조 9,355억 원, 2022년은 302조 2,314억 원, 2023년 302조 2,314억 원.";
  const TChatHistory History{
      CreateChatMessage(kRoleUser, "2022년 매출은?"),
      Call("a", R"({"corp_code":"00126380","year":"2022"})"),
      Result("a", kDart2022),
      CreateChatMessage(kRoleAssistant, Both),
      CreateChatMessage(kRoleUser, "2023년은?"),
      Call("b", R"({"corp_code":"00126380","year":"2023"})"),
      Result("b", kDart2023),
      CreateChatMessage(kRoleAssistant, Both),
  };
  // Earlier turns' results count; each result is read with the year its own call asked for.
  EXPECT_EQ(Describe(CheckAnswer(History, 7)),
            "258조 9,355억 원=backed, 302조 2,314억 원=backed, 302조 2,314억 원=unbacked");
  EXPECT_EQ(Describe(CheckAnswer(History, 3)),
            "258조 9,355억 원=unbacked, 302조 2,314억 원=backed, 302조 2,314억 원=unbacked");
  EXPECT_TRUE(CheckAnswer(History, 0).empty());  // no tool result before it
  EXPECT_TRUE(CheckAnswer(History, 8).empty());
  const TChatHistory NoTools{CreateChatMessage(kRoleUser, "?"), CreateChatMessage(kRoleModel, "매출은 3조 원입니다.")};
  EXPECT_TRUE(CheckAnswer(NoTools, 1).empty());
}

// The labelled set: answers over recorded tool results in the tools' own formats, each figure
// marked right or planted wrong (a digit off, 10x off, 억 for 조, the other statement's, the
// other year's or day's).
TEST(FigureCheck, LabelledSetFlagsWrongFiguresAndSparesRightOnes) {
  std::vector<std::filesystem::path> Files;
  for (const auto& Entry : std::filesystem::directory_iterator(KESTRILL_FIGURES_DIR))
    if (Entry.path().extension() == ".json") Files.push_back(Entry.path());
  std::sort(Files.begin(), Files.end());
  ASSERT_FALSE(Files.empty());
  int Right = 0, RightFlagged = 0, Wrong = 0, WrongFlagged = 0;
  for (const auto& File : Files) {
    auto Doc = ParseJson(ReadFileBytes(File.string()).value_or(""));
    ASSERT_TRUE(Doc && Doc->is_object()) << File;
    TChatHistory History{CreateChatMessage(kRoleUser, "질문")};
    int Id = 0;
    for (const TJson& Tool : (*Doc)["tools"]) {
      TChatMessage Call = CreateChatMessage(kRoleAssistant, "");
      Call.HasToolCall = true;
      Call.ToolCallId = "call_" + std::to_string(++Id);
      Call.ToolName = Tool["name"];
      Call.ToolArgs = Tool["args"].dump();
      const TJson& Result = Tool["result"];
      TChatMessage Answer = CreateChatMessage(kRoleTool, Result.is_string() ? Result.get<std::string>() : Result.dump());
      Answer.HasToolCall = true;
      Answer.ToolCallId = Call.ToolCallId;
      Answer.ToolName = Call.ToolName;
      History.push_back(Call);
      History.push_back(Answer);
    }
    for (const TJson& Case : (*Doc)["answers"]) {
      TChatHistory Turn = History;
      Turn.push_back(CreateChatMessage(kRoleAssistant, Case["text"].get<std::string>()));
      const std::vector<TFigureCheck> Checks = CheckAnswer(Turn, Turn.size() - 1);
      const TJson& Labels = Case["figures"];
      ASSERT_EQ(Checks.size(), Labels.size()) << File << ": " << Describe(Checks);
      for (std::size_t I = 0; I < Checks.size(); ++I) {
        const std::string Text = Labels[I][0];
        const bool IsWrong = Labels[I][1] == "wrong";
        EXPECT_EQ(Checks[I].Figure.Text, Text) << File;
        const bool Flagged = Checks[I].Status == TFigureStatus::Unbacked;
        (IsWrong ? Wrong : Right)++;
        (IsWrong ? WrongFlagged : RightFlagged) += Flagged;
        if (IsWrong != Flagged) {
          std::string From;
          for (const TValueSource& S : Checks[I].Sources) From += " " + S.Label + "=" + std::to_string(S.Value);
          std::printf("  %s: %s figure %s is %s %s:%s\n", File.filename().c_str(), IsWrong ? "wrong" : "right",
                      Text.c_str(), std::string(FigureStatusName(Checks[I].Status)).c_str(),
                      std::string(DerivationName(Checks[I].How)).c_str(), From.c_str());
        }
      }
    }
  }
  std::printf("labelled set: %d of %d wrong figures flagged unbacked (%.1f%%), %d of %d right figures "
              "falsely flagged (%.1f%%)\n",
              WrongFlagged, Wrong, 100.0 * WrongFlagged / Wrong, RightFlagged, Right, 100.0 * RightFlagged / Right);
  EXPECT_GE(Right, 60);
  EXPECT_GE(Wrong, 40);
  EXPECT_GE(WrongFlagged * 100, 95 * Wrong);
  EXPECT_LE(RightFlagged * 100, 3 * Right);
}
