// Saving and reopening a long chat (2,000 messages of mixed Korean and English) with our own
// writer and reader, next to nlohmann's ordered_json dump(4) and parse of the same messages as
// an array of objects. Each pair runs in the same binary, so the ratio can be quoted; the
// format-only and parse-only pairs leave the file system out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "core/ChatTypes.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

using namespace kestrill;

namespace {

std::string BenchFolder() {
  static std::string Dir = [] {
    std::string P = (std::filesystem::temp_directory_path() / "kestrill-bench-XXXXXX").string();
    if (!mkdtemp(P.data())) std::abort();
    return P;
  }();
  return Dir;
}

// Sentences as they turn up in stock questions and answers: Korean and English, slashes in
// dates, paths and URLs, quotes, Markdown.
const char* const kPieces[] = {
    "삼성전자(005930)의 2024년 3분기 영업이익은 9.18조 원으로 시장 예상치를 밑돌았습니다. ",
    "SK하이닉스는 HBM3E 12단 제품의 양산을 시작했고, 엔비디아向 공급 비중이 커지고 있습니다. ",
    "The P/E ratio sits near 12x on 2025 consensus, below the 5-year average of 14x. ",
    "\"메모리 업황 피크아웃\" 우려가 있지만, AI 서버 수요는 여전히 견조합니다. ",
    "See https://dart.fss.or.kr/dsaf001/main.do?rcpNo=20241031000123 for the filing. ",
    "| 구분 | 2023/12 | 2024/12 |\r\n|---|---|---|\r\n| 매출 | 258.9조 | 300.9조 |\r\n",
    "배당수익률은 약 2.1%이며, 분기 배당 361원이 유지될 것으로 보입니다.\r\n",
    "Revenue grew 17% y/y; gross margin expanded by 3.2 pp to 38.1%. ",
    "환율(USD/KRW 1,380원)과 반도체 수출 지표를 함께 보세요. ",
    "- 리스크: 중국 레거시 공급 과잉, 'HBM 인증 지연', 그리고 capex 부담\r\n",
    "C:\\Users\\투자자\\Documents\\리포트\\2024Q3.pdf 파일을 참고했습니다. ",
    "```python\r\nprint(df[\"close\"].rolling(20).mean())\r\n```\r\n",
};

std::string TextOf(std::mt19937& ARng, std::size_t AMinBytes) {
  std::string T;
  while (T.size() < AMinBytes) T += kPieces[ARng() % std::size(kPieces)];
  return T;
}

// 2,000 messages: prompts and replies, and every fiftieth exchange an agent turn with a tool
// request and its result.
const TChatHistory& LongChat() {
  static const TChatHistory History = [] {
    std::mt19937 Rng(20240601);
    TChatHistory H;
    while (H.size() < 2000) {
      if (H.size() % 50 == 48) {
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
      H.push_back(CreateChatMessage(User ? "user" : "model", TextOf(Rng, User ? 150 : 450)));
    }
    return H;
  }();
  return History;
}

TJson ToOrderedJson(const TChatHistory& AHistory) {
  TJson A = TJson::array();
  for (const TChatMessage& M : AHistory) {
    TJson O = {{"msgId", M.MsgID},
               {"role", M.Role},
               {"text", M.Text},
               {"attached", M.AttachedFilePath},
               {"mimetype", M.MimeType}};
    if (M.HasToolCall) {
      O["hastoolcall"] = true;
      O["toolname"] = M.ToolName;
      O["toolargs"] = M.ToolArgs;
    }
    A.push_back(std::move(O));
  }
  return A;
}

// What a reader built on the library alone would do with the document: the same members into
// the same records, tool results and text-less requests left out.
TChatHistory FromOrderedJson(const TJson& ADocument) {
  TChatHistory H;
  H.reserve(ADocument.size());
  for (const TJson& E : ADocument) {
    TChatMessage M;
    M.MsgID = E.value("msgId", "");
    M.Role = E.value("role", "");
    M.Text = E.value("text", "");
    M.AttachedFilePath = E.value("attached", "");
    M.MimeType = E.value("mimetype", "");
    M.HasToolCall = E.value("hastoolcall", false);
    if (M.HasToolCall) {
      M.ToolName = E.value("toolname", "");
      M.ToolArgs = E.value("toolargs", "");
    }
    if (M.Role == "tool" || M.Text.empty()) continue;
    H.push_back(std::move(M));
  }
  return H;
}

void Bytes(benchmark::State& AState, std::size_t ASize) {
  AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations() * ASize));
  AState.counters["file_KiB"] = static_cast<double>(ASize) / 1024;
}

// --- Save: the conversation to a file on disk (atomic replace with fsync) ---

void BM_Save_Kestrill(benchmark::State& State) {
  const std::string Path = BenchFolder() + "/kestrill.json";
  std::size_t Size = 0;
  for (auto _ : State) {
    std::string Text = FormatHistoryFile(LongChat());
    WriteFileAtomic(Path, Text);
    Size = Text.size();
  }
  Bytes(State, Size);
}
BENCHMARK(BM_Save_Kestrill)->Unit(benchmark::kMillisecond);

void BM_Save_Nlohmann(benchmark::State& State) {
  const std::string Path = BenchFolder() + "/nlohmann.json";
  std::size_t Size = 0;
  for (auto _ : State) {
    std::string Text = ToOrderedJson(LongChat()).dump(4);
    WriteFileAtomic(Path, Text);
    Size = Text.size();
  }
  Bytes(State, Size);
}
BENCHMARK(BM_Save_Nlohmann)->Unit(benchmark::kMillisecond);

// --- Load: the file back into the conversation ---

void BM_Load_Kestrill(benchmark::State& State) {
  const std::string Path = BenchFolder() + "/kestrill-load.json";
  WriteFileAtomic(Path, FormatHistoryFile(LongChat()));
  for (auto _ : State) {
    TJsonFileRead Read = ReadChatJsonFile(Path);
    THistoryRead History = ReadHistoryDocument(Read.Value);
    if (History.Messages.size() < 1900) State.SkipWithError("messages lost");
    benchmark::DoNotOptimize(History);
  }
  Bytes(State, std::filesystem::file_size(Path));
}
BENCHMARK(BM_Load_Kestrill)->Unit(benchmark::kMillisecond);

void BM_Load_Nlohmann(benchmark::State& State) {
  const std::string Path = BenchFolder() + "/nlohmann-load.json";
  WriteFileAtomic(Path, ToOrderedJson(LongChat()).dump(4));
  for (auto _ : State) {
    TJson Doc = TJson::parse(*ReadFileBytes(Path));
    TChatHistory History = FromOrderedJson(Doc);
    if (History.size() < 1900) State.SkipWithError("messages lost");
    benchmark::DoNotOptimize(History);
  }
  Bytes(State, std::filesystem::file_size(Path));
}
BENCHMARK(BM_Load_Nlohmann)->Unit(benchmark::kMillisecond);

// --- Without the file system ---

void BM_FormatOnly_Kestrill(benchmark::State& State) {
  std::size_t Size = 0;
  for (auto _ : State) {
    std::string Text = FormatHistoryFile(LongChat());
    Size = Text.size();
    benchmark::DoNotOptimize(Text);
  }
  Bytes(State, Size);
}
BENCHMARK(BM_FormatOnly_Kestrill)->Unit(benchmark::kMillisecond);

// Building the document is part of the library's way of writing, so it is counted.
void BM_FormatOnly_Nlohmann(benchmark::State& State) {
  std::size_t Size = 0;
  for (auto _ : State) {
    std::string Text = ToOrderedJson(LongChat()).dump(4);
    Size = Text.size();
    benchmark::DoNotOptimize(Text);
  }
  Bytes(State, Size);
}
BENCHMARK(BM_FormatOnly_Nlohmann)->Unit(benchmark::kMillisecond);

// The text to a JSON document, nothing more (bounds checks included on our side).
void BM_ParseOnly_Kestrill(benchmark::State& State) {
  const std::string Text = FormatHistoryFile(LongChat());
  for (auto _ : State) {
    TJsonFileRead Read = ParseChatJsonText(Text);
    if (Read.Status != TJsonFileStatus::Ok) State.SkipWithError("parse failed");
    benchmark::DoNotOptimize(Read);
  }
  Bytes(State, Text.size());
}
BENCHMARK(BM_ParseOnly_Kestrill)->Unit(benchmark::kMillisecond);

void BM_ParseOnly_Nlohmann(benchmark::State& State) {
  const std::string Text = ToOrderedJson(LongChat()).dump(4);
  for (auto _ : State) {
    TJson Doc = TJson::parse(Text);
    benchmark::DoNotOptimize(Doc);
  }
  Bytes(State, Text.size());
}
BENCHMARK(BM_ParseOnly_Nlohmann)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
