// Saving and reopening a long chat (2,000 messages of mixed Korean and English) with our own
// writer and reader, next to nlohmann's ordered_json dump(4) and parse of the same messages as
// an array of objects. Each pair runs in the same binary, so the ratio can be quoted; the
// format-only and parse-only pairs leave the file system out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "LongChat.h"
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

const TChatHistory& LongChat() {
  static const TChatHistory History = bench::LongChat(2000);
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
