// Searching saved chats: the first search reads every file; later ones, as the user types, use
// the words kept of each chat and read again only the files of their hits (for the snippets).
// Corpora, each picked with --benchmark_filter (e.g. --benchmark_filter=/1MB):
//   50KB       1,000 chats of about 50 KB
//   1MB        1,000 chats of about 1 MB (watch peak_MB: the process's peak memory)
//   10k        10,000 chats of about 5 KB
//   longquery  10 chats of about 50 KB, searched with queries of 10,000 words
// The chats are LongChat's Korean and English stock talk with figures that differ from message
// to message, since what a search keeps grows with a chat's vocabulary.
// Counters: peak_MB is the process's peak resident memory during the run, kept_MB the memory
// the store still holds after a first search, hits the hits of one search.
//
//   kestrill_bench_search [--short] [google benchmark flags]
//   kestrill_bench_search [--short] --data-home=DIR [--corpus=NAME]
// The second writes a corpus (1MB unless named) as the data folder of HOME=DIR, with its
// catalogue, to search it with kestrill-cli or the window.
// --short makes every corpus a few chats and runs every measurement once: a check that it runs.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "LongChat.h"
#include "ShortRun.h"
#include "core/FileIO.h"
#include "storage/Catalogue.h"
#include "storage/ChatSearch.h"
#include "storage/HistoryFile.h"

using namespace kestrill;

namespace {

bool Short = false;

struct TCorpus {
  const char* Name;
  int Chats, ShortChats;
  std::size_t Bytes;  // of one chat file, about
  int FirstRuns;      // first searches measured (each reads every file)
};

const TCorpus kCorpora[] = {
    {"50KB", 1000, 4, 50 << 10, 3},
    {"1MB", 1000, 2, 1 << 20, 1},
    {"10k", 10000, 20, 5 << 10, 1},
    {"longquery", 10, 3, 50 << 10, 3},
};

int ChatsOf(const TCorpus& C) { return Short ? C.ShortChats : C.Chats; }

// From /proc/self/status, in MB: "VmRSS" now or "VmHWM", the peak since ResetPeak.
double StatusMB(const char* AField) {
  std::ifstream In("/proc/self/status");
  for (std::string Line; std::getline(In, Line);)
    if (Line.rfind(AField, 0) == 0) return std::atof(Line.c_str() + std::strlen(AField) + 1) / 1024;
  return 0;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A chat of about ABytes: LongChat's messages, each with a price and a date of its own.
TChatHistory VariedChat(std::size_t ABytes, unsigned ASeed) {
  static const std::size_t PerMessage = FormatHistoryFile(bench::LongChat(400)).size() / 400 + 24;
  TChatHistory H = bench::LongChat(std::max<std::size_t>(2, ABytes / PerMessage), ASeed);
  std::mt19937 Rng(ASeed);
  for (TChatMessage& M : H)
    if (!M.Text.empty() && M.Role != kRoleTool)
      M.Text += " " + std::to_string(10000 + Rng() % 90000) + "원(2024-" +
                std::to_string(1 + Rng() % 12) + "-" + std::to_string(1 + Rng() % 28) + ")";
  return H;
}

// Writes the corpus's chat files (and a catalogue listing them) into AFolder.
void WriteCorpus(const TCorpus& C, const std::string& AFolder) {
  const auto Start = std::chrono::steady_clock::now();
  std::filesystem::create_directories(AFolder);
  TCatalogueData Catalogue;
  std::uintmax_t Total = 0;
  for (int I = 0; I < ChatsOf(C); ++I) {
    char Name[32];
    std::snprintf(Name, sizeof(Name), "/2026%010d.json", I);
    const TChatHistory H = VariedChat(C.Bytes, 1000 + I);
    const std::string Text = FormatHistoryFile(H);
    // Plain writes: a corpus needs no crash safety, and a sync per file would take minutes.
    std::ofstream(AFolder + Name, std::ios::binary).write(Text.data(), Text.size());
    Total += Text.size();
    Catalogue.Entries.push_back({AFolder + Name, TitleFromText(H.front().Text), "20260101090000"});
  }
  WriteFileAtomic(AFolder + "/" + kChatFileListName, FormatCatalogue(Catalogue));
  std::fprintf(stderr, "%s: %d chats, %.1f MB, written in %.1f s\n", C.Name, ChatsOf(C),
               Total / 1048576.0,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
}

// The corpus's folder, written the first time it is asked for and removed at exit.
const std::string& Folder(const TCorpus& C) {
  static std::map<std::string, std::string> Folders;
  auto [It, New] = Folders.try_emplace(C.Name);
  if (New) {
    std::string P = (std::filesystem::temp_directory_path() / "kestrill-search-XXXXXX").string();
    if (!mkdtemp(P.data())) std::abort();
    It->second = P;
    WriteCorpus(C, P);
    static bool Registered = false;
    if (!std::exchange(Registered, true))
      std::atexit([] {
        for (const auto& [Name, Dir] : Folders) std::filesystem::remove_all(Dir);
      });
  }
  return It->second;
}

// A store that has read every file of C (nullptr: none). One at a time, the previous corpus's
// dropped, so that peak_MB is this corpus's.
TChatSearch& WarmStore(const TCorpus* C) {
  static std::unique_ptr<TChatSearch> Store;
  static const TCorpus* StoreOf = nullptr;
  if (std::exchange(StoreOf, C) != C) {
    Store.reset();
    malloc_trim(0);
    Store = std::make_unique<TChatSearch>();
    if (C) Store->Search(Folder(*C), "warm");
  }
  return *Store;
}

void Report(benchmark::State& AState, std::size_t AHits) {
  AState.counters["hits"] = static_cast<double>(AHits);
  AState.counters["peak_MB"] = StatusMB("VmHWM:");
}

// A new store each time: every file is read.
void BM_FirstSearch(benchmark::State& AState, const TCorpus* C) {
  const std::string& Dir = Folder(*C);
  std::size_t Hits = 0;
  double Kept = 0;
  WarmStore(nullptr);
  ResetPeak();
  for (auto _ : AState) {
    AState.PauseTiming();
    auto Search = std::make_unique<TChatSearch>();
    malloc_trim(0);
    const double Before = StatusMB("VmRSS:");
    AState.ResumeTiming();
    Hits = Search->Search(Dir, "배당수익률").size();
    AState.PauseTiming();
    malloc_trim(0);  // what the reading of the files left free is not counted as kept
    Kept = StatusMB("VmRSS:") - Before;
    Search.reset();
    AState.ResumeTiming();
  }
  Report(AState, Hits);
  AState.counters["kept_MB"] = Kept;
}

// The queries a user produces while typing, over a store that has read every file: a common
// word (the most hits, each file read again for its snippet), a rarer phrase, no hit at all.
void BM_LaterSearch(benchmark::State& AState, const TCorpus* C, const char* AQuery) {
  const std::string& Dir = Folder(*C);
  TChatSearch& Search = WarmStore(C);
  malloc_trim(0);
  ResetPeak();
  std::size_t Hits = 0;
  for (auto _ : AState) Hits = Search.Search(Dir, AQuery).size();
  Report(AState, Hits);
}

// A query of 10,000 words, as the search box receives it: the note on the words left out and
// the search itself.
void BM_LongQuery(benchmark::State& AState, const TCorpus* C, bool ADistinct, bool AKept) {
  const std::string& Dir = Folder(*C);
  std::string Query;
  for (int I = 0; I < 10000; ++I) Query += (ADistinct ? "배당" + std::to_string(I) : "배당") + " ";
  TChatSearch& Kept = WarmStore(C);
  ResetPeak();
  std::size_t Hits = 0;
  for (auto _ : AState) {
    TChatSearch Fresh;
    benchmark::DoNotOptimize(SearchQueryNote(Query));
    Hits = (AKept ? Kept : Fresh).Search(Dir, Query).size();
  }
  Report(AState, Hits);
}

void Register() {
  for (const TCorpus& C : kCorpora) {
    const std::string Name = C.Name;
    if (Name == "longquery") {
      for (bool Distinct : {true, false})
        for (bool Kept : {false, true}) {
          auto* B = benchmark::RegisterBenchmark(
              ("LongQuery/" + Name + (Distinct ? "/10000-different" : "/10000-same") +
               (Kept ? "/later" : "/first"))
                  .c_str(),
              BM_LongQuery, &C, Distinct, Kept);
          B->Unit(benchmark::kMillisecond);
          if (Short) B->Iterations(1);
        }
      continue;
    }
    auto* First = benchmark::RegisterBenchmark(("FirstSearch/" + Name).c_str(), BM_FirstSearch, &C);
    First->Unit(benchmark::kMillisecond)->Iterations(Short ? 1 : C.FirstRuns);
    for (const auto& [Label, Query] : {std::pair{"common", "배당"}, std::pair{"phrase", "hbm 인증"},
                                       std::pair{"none", "존재하지않는단어"}}) {
      auto* B = benchmark::RegisterBenchmark(("LaterSearch/" + Name + "/" + Label).c_str(),
                                             BM_LaterSearch, &C, Query);
      B->Unit(benchmark::kMillisecond);
      if (Short) B->Iterations(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string DataHome, CorpusName = "1MB";
  int Kept = 1;
  Short = bench::ShortRun();
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--short") == 0)
      Short = true;
    else if (std::strncmp(argv[I], "--data-home=", 12) == 0)
      DataHome = argv[I] + 12;
    else if (std::strncmp(argv[I], "--corpus=", 9) == 0)
      CorpusName = argv[I] + 9;
    else
      argv[Kept++] = argv[I];
  }
  argc = Kept;
  if (!DataHome.empty()) {
    for (const TCorpus& C : kCorpora)
      if (CorpusName == C.Name) {
        WriteCorpus(C, DataHome + "/Documents/Kestrill");
        return 0;
      }
    std::fprintf(stderr, "no corpus named %s\n", CorpusName.c_str());
    return 2;
  }
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
