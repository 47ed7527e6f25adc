// The figure reader: every written form of an amount, a sign, a unit, a magnitude and an
// approximation it knows, one row each, and the dates, codes, counts and Markdown code it must
// leave alone.
#include <gtest/gtest.h>

#include <cstdio>

#include "figures/FigureReader.h"

using namespace kestrill;

namespace {

// "[text] value unit p=precision" plus "~" when approximate and "±" when the sign was written.
std::string Describe(const std::vector<TFigure>& AFigures) {
  std::string Out;
  for (const TFigure& F : AFigures) {
    char Line[160];
    std::snprintf(Line, sizeof(Line), "%s[%s] %.15g%s p=%g%s%s", Out.empty() ? "" : "; ", F.Text.c_str(),
                  F.Value, std::string(FigureUnitName(F.Unit)).c_str(), F.Precision,
                  F.Approximate ? " ~" : "", F.Signed ? " ±" : "");
    Out += Line;
  }
  return Out;
}

struct TCase {
  const char* Text;
  const char* Expected;
};

void ExpectReads(const TCase* ACases, std::size_t ACount, const TReadOptions& AOptions = {}) {
  for (std::size_t I = 0; I < ACount; ++I) {
    const std::vector<TFigure> Figures = ReadFigures(ACases[I].Text, AOptions);
    EXPECT_EQ(Describe(Figures), ACases[I].Expected) << ACases[I].Text;
    for (const TFigure& F : Figures)
      EXPECT_EQ(std::string_view(ACases[I].Text).substr(F.Begin, F.End - F.Begin), F.Text);
  }
}

}  // namespace

TEST(FigureReader, AmountsUnitsAndMagnitudes) {
  const TCase Cases[] = {
      {"매출액은 3,306억 원입니다.", "[3,306억 원] 330600000000원 p=1e+08"},
      {"1조 2,345억 원", "[1조 2,345억 원] 1234500000000원 p=1e+08"},
      {"13만 7,500원", "[13만 7,500원] 137500원 p=1"},
      {"188억 7,652만 원", "[188억 7,652만 원] 18876520000원 p=10000"},
      {"1.2조 원", "[1.2조 원] 1200000000000원 p=1e+11"},
      {"종가 71,500원", "[71,500원] 71500원 p=1"},
      {"5천억 원", "[5천억 원] 500000000000원 p=1e+11"},
      {"1억 2천만 원", "[1억 2천만 원] 120000000원 p=1e+07"},
      {"1,234백만원", "[1,234백만원] 1234000000원 p=1e+06"},
      {"3조2,000억원", "[3조2,000억원] 3200000000000원 p=1e+08"},
      {"₩71,500", "[₩71,500] 71500원 p=1"},
      {"KRW 1,000", "[KRW 1,000] 1000원 p=1"},
      {"$383.29B", "[$383.29B] 383290000000달러 p=1e+07"},
      {"USD 1.2 billion", "[USD 1.2 billion] 1200000000달러 p=1e+08"},
      {"5.3bn 달러", "[5.3bn 달러] 5300000000달러 p=1e+08"},
      {"3,833억 달러", "[3,833억 달러] 383300000000달러 p=1e+08"},
      {"12.5K shares", "[12.5K shares] 12500주 p=100"},
      {"거래량 12,345,678주", "[12,345,678주] 12345678주 p=1"},
      {"1,234만 5,678주", "[1,234만 5,678주] 12345678주 p=1"},
      {"영업이익률 30.13%", "[30.13%] 30.13% p=0.01"},
      {"금리 0.25%p 인상", "[0.25%p] 0.25%p p=0.01"},
      {"2.5%포인트", "[2.5%포인트] 2.5%p p=0.1"},
      {"25bp", "[25bp] 0.25%p p=0.01"},
      {"2,578.08포인트", "[2,578.08포인트] 2578.08pt p=0.01"},
      {"마감: 2500.10pt", "[2500.10pt] 2500.1pt p=0.01"},
      {"PER 12.3배", "[12.3배] 12.3배 p=0.1"},
      {"PBR 1.2x", "[1.2x] 1.2배 p=0.1"},
      {"PER 28.51", "[28.51] 28.51 p=0.01"},
      // A currency word after one figure is not also the prefix of the next.
      {"1KRW 83.09", "[1KRW] 1원 p=1; [83.09] 83.09 p=0.01"},
  };
  ExpectReads(Cases, std::size(Cases));
}

TEST(FigureReader, SignsAndApproximations) {
  const TCase Cases[] = {
      {"-3.2%", "[-3.2%] -3.2% p=0.1 ±"},
      {"−3.2%", "[−3.2%] -3.2% p=0.1 ±"},
      {"+1.5%p", "[+1.5%p] 1.5%p p=0.1 ±"},
      {"▲500원", "[▲500원] 500원 p=1 ±"},
      {"▼ 1,200원", "[▼ 1,200원] -1200원 p=1 ±"},
      {"주가가 3.2% 하락했다", "[3.2%] -3.2% p=0.1 ±"},
      {"500원 올랐다", "[500원] 500원 p=1 ±"},
      {"매출이 10%나 증가", "[10%] 10% p=1 ±"},
      {"영업이익이 20% 감소", "[20%] -20% p=1 ±"},
      {"900원 내린 7만 원", "[900원] -900원 p=1 ±; [7만 원] 70000원 p=10000"},
      {"71,500원으로 하락", "[71,500원] 71500원 p=1"},  // the level reached, not the change
      {"fell 2.8%", "[2.8%] -2.8% p=0.1 ±"},
      {"약 3,300억 원", "[3,300억 원] 330000000000원 p=1e+08 ~"},
      {"대략 15조 원", "[15조 원] 15000000000000원 p=1e+12 ~"},
      {"3,300억 원 정도", "[3,300억 원] 330000000000원 p=1e+08 ~"},
      {"2조 원가량", "[2조 원] 2000000000000원 p=1e+12 ~"},
      {"2,500pt 수준", "[2,500pt] 2500pt p=1 ~"},
      {"7만원대", "[7만원] 70000원 p=10000 ~"},
      {"3천억여 원", "[3천억여 원] 300000000000원 p=1e+11 ~"},
      {"~5%", "[5%] 5% p=1 ~"},
      {"about $5M", "[$5M] 5000000달러 p=1e+06 ~"},
      {"3~4%", "[3] 3% p=1 ~; [4%] 4% p=1 ~"},
      {"2~3조 원", "[2] 2000000000000원 p=1e+12 ~; [3조 원] 3000000000000원 p=1e+12 ~"},
  };
  ExpectReads(Cases, std::size(Cases));
}

TEST(FigureReader, NonClaimsAndCodeAreNotRead) {
  const TCase Cases[] = {
      {"2024년 1월 5일", ""},
      {"2024-01-05, 2024.01.05, 20240105", ""},
      {"1분기, 3Q24, FY2023, 2H23", ""},
      {"종목코드 005930, 005930.KS, A005930", ""},
      {"1. 개요\n2) 실적\n## 3 전망", ""},
      {"3개 종목, 2가지 이유, 5일 동안, 3주간, 12개월", ""},
      {"상위 10 종목 중 3곳", ""},
      {"코스피 200 지수와 S&P 500", ""},
      {"오후 3:30, 1/5", ""},
      {"`3,306억 원`은 코드다", ""},
      {"```\n매출 3,306억 원\n```\n영업이익 6조 원", "[6조 원] 6000000000000원 p=1e+12"},
      {"~~~text\n1조 원\n", ""},
      {"[공시](https://dart.fss.or.kr/dsaf001/main.do?rcpNo=20240312000736)", ""},
      {"HBM3E 12단, H100 GPU, COVID-19", ""},
      {"2023~2024년", ""},
  };
  ExpectReads(Cases, std::size(Cases));
}

TEST(FigureReader, AnswerSentencesAndToolLines) {
  const TCase Answers[] = {
      {"2023년 연결 매출액은 258조 9,355억 원으로 전년 대비 14.3% 감소했다.",
       "[258조 9,355억 원] 258935500000000원 p=1e+08; [14.3%] -14.3% p=0.1 ±"},
      {"1월 5일 종가는 71,500원으로 전일 대비 500원(0.69%) 하락했습니다.",
       "[71,500원] 71500원 p=1; [500원] 500원 p=1; [0.69%] -0.69% p=0.01 ±"},
      {"| 항목 | 2023 | 2022 |\n|---|---|---|\n| 매출액 | 258.9조 원 | 302.2조 원 |",
       "[258.9조 원] 258900000000000원 p=1e+11; [302.2조 원] 302200000000000원 p=1e+11"},
  };
  ExpectReads(Answers, std::size(Answers));
  // Tool results: small and bare numbers are values, index names and dates are not.
  const TCase ToolLines[] = {
      {"[지수: 코스피 200] 마감: 330.2pt (전일대비 1.1pt, 등락률: 0.33%), 거래량: 0",
       "[330.2pt] 330.2pt p=0.1; [1.1pt] 1.1pt p=0.1; [0.33%] 0.33% p=0.01; [0] 0 p=1"},
      {"- 종료일: 2023-09-30 | 총매출: 383.29B | 순이익: 97B",
       "[383.29B] 383290000000 p=1e+07; [97B] 97000000000 p=1e+09"},
      {"[삼성전자] 종가: 71500원 (전일대비 -500원, 등락률: -0.69%), 거래량: 12345678주",
       "[71500원] 71500원 p=1; [-500원] -500원 p=1 ±; [-0.69%] -0.69% p=0.01 ±; [12345678주] 12345678주 p=1"},
  };
  ExpectReads(ToolLines, std::size(ToolLines), {.ToolText = true});
}
