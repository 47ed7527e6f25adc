// Costs of the core's hot spots: a settings read (the file is read on every call), a settings
// write (atomic replace with fsync), Base64 of an attachment, and a JSON path lookup.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "core/Config.h"
#include "core/FileHelpers.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"

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

// A settings file as a configured user has it: every key present.
std::string TypicalIni() {
  TConfig C(BenchFolder() + "/Kestrill.Ini");
  C.Write(keys::Left, 90);
  C.Write(keys::Top, 0);
  C.Write(keys::Width, 1200);
  C.Write(keys::Height, 800);
  C.Write(keys::LeftLayoutWidth, 250.0);
  C.Write(keys::Sidebar, true);
  C.Write(keys::Selected, 1);
  C.Write(keys::Mode, 1);
  for (auto K : {keys::GeminiKey, keys::OpenAIKey, keys::ClaudeKey, keys::DeepseekKey})
    C.Write(K, std::string(40, 'k'));
  for (auto K :
       {keys::GeminiModel, keys::OpenAIModel, keys::ClaudeModel, keys::DeepseekModel,
        keys::OllamaModel, keys::OllamaURL, keys::WebSearchKey, keys::DARTKey, keys::KRXKey})
    C.Write(K, "model-or-key-value");
  return C.FileName();
}

void BM_ConfigReadString(benchmark::State& State) {
  TConfig C(TypicalIni());
  for (auto _ : State) benchmark::DoNotOptimize(C.Read(keys::KRXKey, ""));
}
BENCHMARK(BM_ConfigReadString);

void BM_ConfigWriteInteger(benchmark::State& State) {
  TConfig C(TypicalIni());
  int I = 0;
  for (auto _ : State) C.Write(keys::Left, ++I);
}
BENCHMARK(BM_ConfigWriteInteger)->Unit(benchmark::kMicrosecond);

void BM_ImageToBase64(benchmark::State& State) {
  std::string Path = BenchFolder() + "/attachment.png";
  WriteFileAtomic(Path, std::string(static_cast<std::size_t>(State.range(0)), '\x5A'));
  for (auto _ : State) benchmark::DoNotOptimize(ImageToBase64(Path));
  State.SetBytesProcessed(State.iterations() * State.range(0));
}
BENCHMARK(BM_ImageToBase64)->Arg(1 << 20)->Arg(20 << 20)->Unit(benchmark::kMillisecond);

void BM_JsonPathText(benchmark::State& State) {
  auto Doc = ParseJson(R"({"id":"x","choices":[{"index":0,"message":{"role":"assistant",
    "content":"삼성전자의 현재 주가는 ...","tool_calls":[]},"finish_reason":"stop"}],
    "usage":{"prompt_tokens":10,"completion_tokens":20}})");
  for (auto _ : State) benchmark::DoNotOptimize(JsonPathText(*Doc, "choices[0].message.content"));
}
BENCHMARK(BM_JsonPathText);

}  // namespace

BENCHMARK_MAIN();
