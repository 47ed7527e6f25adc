// What the save-loop tool writes and the kill test expects: every version of every file is a
// pure function of the step that wrote it, so after a crash the checker knows the exact bytes
// the files may hold. Several loops may share one folder and its catalogue: loop L owns chats
// L * kChatCount to L * kChatCount + kChatCount - 1 and keeps its own journal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/ChatTypes.h"
#include "core/Clock.h"
#include "core/Paths.h"
#include "storage/Catalogue.h"
#include "storage/HistoryFile.h"

namespace kestrill::saveloop {

inline constexpr int kChatCount = 2;  // per loop
inline constexpr int kMaxLoops = 5;   // chat numbers stay one digit

// Holds the step loop ALoop is working on, as 8 raw bytes written by one pwrite: a kill cannot
// leave half of it.
inline std::string JournalName(int ALoop) { return "save-loop-" + std::to_string(ALoop) + ".step"; }

// Chat AK of loop ALoop.
inline int ChatOf(int ALoop, int AK) { return ALoop * kChatCount + AK; }

// A conversation grows one message per step and starts again after this many, so files stay
// a few dozen kilobytes however long the loop runs.
inline constexpr std::uint64_t kCycle = 64;

inline std::string ChatPath(const std::string& AFolder, int AChat) {
  return JoinPath(AFolder, "2025010209300" + std::to_string(AChat) + ".json");
}

// Message AIndex of chat AChat; the same in every version that holds it.
inline TChatMessage MessageOf(int AChat, std::uint64_t AIndex) {
  char Id[40];
  std::snprintf(Id, sizeof(Id), "%08X-0000-4000-8000-%012llX", static_cast<unsigned>(AChat),
                static_cast<unsigned long long>(AIndex));
  const std::string N = std::to_string(AIndex);
  TChatMessage M;
  M.MsgID = Id;
  switch (AIndex % 6) {
    case 0:
      M.Role = "user";
      M.Text = "대화 " + std::to_string(AChat) + " 질문 " + N +
               ": 삼성전자(005930)와 SK하이닉스의 \"HBM\" 매출 비중을 비교해 줘.\r\n"
               "Compare revenue per segment, 2023/2024, and cite C:\\Reports\\" +
               N + ".pdf";
      break;
    case 1:
      M.Role = "model";
      M.Text = "## 요약 " + N +
               "\r\n\r\n| 구분 | 2023 | 2024 |\r\n|---|---|---|\r\n"
               "| 메모리 | 44.1조 | 61.5조 |\r\n\r\n"
               "HBM demand grew as AI servers ramped; see https://example.com/hbm/" +
               N + " for the \"full\" table.\r\n- 투자 판단은 본인 책임입니다.";
      break;
    case 2:
      M.Role = "assistant";
      M.HasToolCall = true;
      M.ToolName = "get_stock_price";
      M.ToolArgs = R"({"symbol":"005930.KS","range":"1mo/)" + N + "\"}";
      break;
    case 3:
      M.Role = "tool";
      M.Text =
          R"({"symbol":"005930.KS","close":[71200,71800,70900],"note":"step )" + N + "\\n종가\"}";
      break;
    case 4:
      M.Role = "assistant";
      M.Text = "최근 한 달 종가는 70,900원에서 71,800원 사이입니다 (" + N +
               "). The 20-day average sits near 71,300 KRW / 주.\r\n\tTab and \f form feed.";
      break;
    default:
      M.Role = "user";
      M.Text = "고마워! Next: 배당 수익률은? \"dividend yield\" / payout ratio, 질문 " + N;
      break;
  }
  return M;
}

// Version AStep (1, 2, ...) of chat AChat: a conversation of 1 to kCycle messages.
inline TChatHistory ChatVersion(int AChat, std::uint64_t AStep) {
  TChatHistory H;
  const std::uint64_t Count = 1 + (AStep - 1) % kCycle;
  for (std::uint64_t I = 0; I < Count; ++I) H.push_back(MessageOf(AChat, I));
  return H;
}

inline std::string ChatFileBytes(int AChat, std::uint64_t AStep) {
  return FormatHistoryFile(ChatVersion(AChat, AStep));
}

// The clock while step AStep saves chat AChat: two seconds a step, one per chat of a loop.
inline std::tm ClockAt(std::uint64_t AStep, int AChat) {
  std::time_t T = 1735808400 + static_cast<std::time_t>(AStep * kChatCount) + AChat % kChatCount;
  std::tm Out{};
  gmtime_r(&T, &Out);
  return Out;
}

// Loop ALoop's entries of the catalogue, in file order, once its step AStep has saved its chats
// 0 to ALastSaved (the others still carry the time of the step before).
inline TCatalogueData CatalogueAt(const std::string& AFolder, std::uint64_t AStep, int ALastSaved,
                                  int ALoop = 0) {
  TCatalogueData D;
  for (int K = 0; K < kChatCount; ++K) {
    const std::uint64_t SavedIn = K <= ALastSaved ? AStep : AStep - 1;
    const int Chat = ChatOf(ALoop, K);
    D.Entries.push_back({ChatPath(AFolder, Chat), TitleFromText(MessageOf(Chat, 0).Text),
                         FormatTimeStamp(ClockAt(SavedIn, Chat))});
  }
  return D;
}

// The clock of round ARound of the savers that take commands (--serve): all of a round's new
// chats want the same file name.
inline std::tm SecondOfRound(int ARound) {
  std::time_t T = 1767225600 + ARound;
  std::tm Out{};
  gmtime_r(&T, &Out);
  return Out;
}

}  // namespace kestrill::saveloop
