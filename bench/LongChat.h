// A long conversation as users accumulate them: stock questions and Markdown answers in mixed
// Korean and English, with slashes, quotes, line breaks, tables and code, and now and then an
// agent turn with a tool request and its result. The same seed gives the same chat.
#pragma once

#include <cstddef>
#include <iterator>
#include <random>
#include <string>

#include "core/ChatTypes.h"

namespace kestrill::bench {

inline std::string ChatText(std::mt19937& ARng, std::size_t AMinBytes) {
  static const char* const kPieces[] = {
      "삼성전자(005930)의 2024년 3분기 영업이익은 9.18조 원으로 시장 예상치를 밑돌았습니다. ",
      "SK하이닉스는 HBM3E 12단 제품의 양산을 시작했고, 엔비디아向 공급 비중이 커지고 있습니다. ",
      "The P/E ratio sits near 12x on 2025 consensus, below the 5-year average of 14x. ",
      "\"메모리 업황 피크아웃\" 우려가 있지만, AI 서버 수요는 여전히 견조합니다. ",
      "See https://dart.fss.or.kr/dsaf001/main.do?rcpNo=20241031000123 for the filing. ",
      "\r\n\r\n| 구분 | 2023/12 | 2024/12 |\r\n|---|---|---|\r\n| 매출 | 258.9조 | 300.9조 "
      "|\r\n\r\n",
      "배당수익률은 약 2.1%이며, 분기 배당 361원이 유지될 것으로 보입니다.\r\n",
      "Revenue grew 17% y/y; gross margin expanded by 3.2 pp to 38.1%. ",
      "환율(USD/KRW 1,380원)과 반도체 수출 지표를 함께 보세요. ",
      "\r\n- 리스크: 중국 레거시 공급 과잉, 'HBM 인증 지연', 그리고 capex 부담\r\n",
      "C:\\Users\\투자자\\Documents\\리포트\\2024Q3.pdf 파일을 참고했습니다. ",
      "\r\n```python\r\nprint(df[\"close\"].rolling(20).mean())\r\n```\r\n",
  };
  std::string T;
  while (T.size() < AMinBytes) T += kPieces[ARng() % std::size(kPieces)];
  return T;
}

// ACount messages: user prompts of about 150 bytes and replies of about 450, and every
// fiftieth exchange an agent turn (a tool request without text and the tool's result).
inline TChatHistory LongChat(std::size_t ACount, unsigned ASeed = 20240601) {
  std::mt19937 Rng(ASeed);
  TChatHistory H;
  while (H.size() < ACount) {
    if (H.size() % 50 == 48 && H.size() + 2 < ACount) {
      TChatMessage Request = CreateChatMessage("assistant", "");
      Request.HasToolCall = true;
      Request.ToolName = "get_yahoo_price";
      Request.ToolArgs = R"({"ticker":"005930.KS","date_range":"1mo","interval":"1d"})";
      H.push_back(Request);
      H.push_back(CreateChatMessage(
          "tool", R"({"symbol":"005930.KS","close":[71200,71800,70900,72300],"currency":"KRW",)"
                  R"("note":"종가 기준 \"adjusted\" / 2024-06-01~"})"));
      continue;
    }
    const bool User = H.size() % 2 == 0;
    H.push_back(CreateChatMessage(User ? "user" : "model", ChatText(Rng, User ? 150 : 450)));
  }
  return H;
}

}  // namespace kestrill::bench
