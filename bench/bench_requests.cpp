// Cost of building and serialising one tool-enabled request for a long conversation with a
// large attachment, for each request shape, next to the floor: Base64-encoding the file once
// and copying the text once. "peak_MB" is the most heap the operation held at once beyond what
// it started with; "b64_copies" is that peak in units of the attachment's Base64 text.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "ProviderFixtures.h"
#include "core/Clock.h"
#include "core/TextUtil.h"
#include "providers/ToolCalls.h"

namespace {

std::atomic<long long> GLive{0}, GPeak{0};

void Track(long long ADelta) {
  long long Now = GLive.fetch_add(ADelta) + ADelta;
  long long Peak = GPeak.load();
  while (Now > Peak && !GPeak.compare_exchange_weak(Peak, Now)) {
  }
}

}  // namespace

void* operator new(std::size_t N) {
  void* P = std::malloc(N ? N : 1);
  if (!P) throw std::bad_alloc();
  Track(static_cast<long long>(malloc_usable_size(P)));
  return P;
}
void operator delete(void* P) noexcept {
  if (!P) return;
  Track(-static_cast<long long>(malloc_usable_size(P)));
  std::free(P);
}
void operator delete(void* P, std::size_t) noexcept { operator delete(P); }

namespace {

using namespace kestrill;

constexpr std::size_t kPngBytes = 8u << 20;

const std::string& PngBytes() {
  static const std::string Bytes = [] {
    std::string B(kPngBytes, '\0');
    std::mt19937 Rng(42);
    for (char& C : B) C = static_cast<char>(Rng());
    return B;
  }();
  return Bytes;
}

const TChatHistory& Conversation() {
  static const TChatHistory H = [] {
    TChatHistory Out;
    TChatMessage Png = CreateChatMessage("user", "이 차트를 분석해 주세요.");
    Png.AttachedFilePath = "/tmp/chart.png";
    Png.MimeType = "image/png";
    Png.ImageBase64 = Base64Encode(PngBytes());
    Out.push_back(std::move(Png));
    for (int I = 1; I < 200; ++I)
      Out.push_back(CreateChatMessage(I % 2 ? "model" : "user",
                                      "삼성전자와 SK하이닉스의 최근 실적과 주가 흐름을 비교해 주세요. " +
                                          std::to_string(I)));
    return Out;
  }();
  return H;
}

const TOpenAPIToolManager& Tools() {
  static const TOpenAPIToolManager M = [] {
    TOpenAPIToolManager T;
    testing::AddSampleTools(T);
    return T;
  }();
  return M;
}

template <class FOperation>
void Measure(benchmark::State& State, FOperation AOperation) {
  Conversation();
  Tools();
  long long MaxPeak = 0;
  for (auto _ : State) {
    long long Base = GLive.load();
    GPeak.store(Base);
    benchmark::DoNotOptimize(AOperation());
    MaxPeak = std::max(MaxPeak, GPeak.load() - Base);
  }
  double B64 = static_cast<double>(Conversation()[0].ImageBase64.size());
  State.counters["peak_MB"] = static_cast<double>(MaxPeak) / (1 << 20);
  State.counters["b64_copies"] = static_cast<double>(MaxPeak) / B64;
}

void BM_Floor_EncodeOnceCopyOnce(benchmark::State& State) {
  Measure(State, [] {
    std::string B64 = Base64Encode(PngBytes());
    std::string Copy = B64;
    return Copy.size();
  });
}
BENCHMARK(BM_Floor_EncodeOnceCopyOnce)->Unit(benchmark::kMillisecond);

void BM_OpenAIToolsRequest(benchmark::State& State) {
  Measure(State, [] {
    return BuildChatCompletionsToolsBody(TToolsDialect::OpenAI, Conversation(), "gpt-5.4-mini",
                                         Tools(), LocalNow());
  });
}
BENCHMARK(BM_OpenAIToolsRequest)->Unit(benchmark::kMillisecond);

void BM_GeminiToolsRequest(benchmark::State& State) {
  Measure(State, [] { return BuildGeminiToolsBody(Conversation(), "gemini-3.1-pro-preview", Tools()); });
}
BENCHMARK(BM_GeminiToolsRequest)->Unit(benchmark::kMillisecond);

void BM_ClaudeToolsRequest(benchmark::State& State) {
  Measure(State, [] {
    return BuildClaudeToolsBody(Conversation(), "claude-sonnet-4-6", Tools(), LocalNow());
  });
}
BENCHMARK(BM_ClaudeToolsRequest)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
