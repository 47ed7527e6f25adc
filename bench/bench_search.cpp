// Searching 1,000 saved chats of 100 messages each (about 30 MB of mixed Korean and English):
// the first search reads every file; later ones, as the user types, use what was kept.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "LongChat.h"
#include "core/FileIO.h"
#include "storage/ChatSearch.h"
#include "storage/HistoryFile.h"

using namespace kestrill;

namespace {

constexpr int kChats = 1000, kMessages = 100;

const std::string& Folder() {
  static const std::string Dir = [] {
    std::string P = (std::filesystem::temp_directory_path() / "kestrill-search-XXXXXX").string();
    if (!mkdtemp(P.data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(Folder()); });
    for (int I = 0; I < kChats; ++I) {
      char Name[32];
      std::snprintf(Name, sizeof(Name), "/2026%010d.json", I);
      WriteFileAtomic(P + Name, FormatHistoryFile(bench::LongChat(kMessages, 1000 + I)));
    }
    return P;
  }();
  return Dir;
}

void BM_FirstSearch(benchmark::State& State) {
  for (auto _ : State) {
    TChatSearch Search;
    benchmark::DoNotOptimize(Search.Search(Folder(), "배당수익률"));
  }
}
BENCHMARK(BM_FirstSearch)->Unit(benchmark::kMillisecond)->Iterations(3);

// The queries a user produces while typing: a common word, a rarer phrase, no hit at all.
void BM_LaterSearch(benchmark::State& State) {
  static const char* const kQueries[] = {"배당", "hbm 인증", "존재하지않는단어"};
  TChatSearch Search;
  Search.Search(Folder(), "warm");
  for (auto _ : State)
    benchmark::DoNotOptimize(Search.Search(Folder(), kQueries[State.range(0)]));
}
BENCHMARK(BM_LaterSearch)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
