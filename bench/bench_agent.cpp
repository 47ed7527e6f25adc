// One agent iteration's own cost (tool set, request body, a local provider that answers at
// once, parsing) for a conversation that already holds a 1 MB Yahoo chart body, next to the
// floor: parsing and serialising that many bytes once.
#include <benchmark/benchmark.h>

#include <random>

#include "FakeHttpServer.h"
#include "agent/ResponseParser.h"
#include "core/Clock.h"
#include "core/Config.h"
#include "core/JsonPath.h"
#include "engine/ToolDispatcher.h"
#include "providers/ProviderHttp.h"
#include "providers/ToolCalls.h"

using namespace kestrill;

namespace {

// A chart answer of about 1 MB: timestamps and OHLCV arrays, as the chart service sends them.
const std::string& ChartBody() {
  static const std::string Body = [] {
    std::mt19937 Rng(7);
    TJson Quote = TJson::object();
    TJson Stamps = TJson::array();
    for (const char* K : {"open", "high", "low", "close", "volume"}) Quote[K] = TJson::array();
    for (int I = 0; I < 20000; ++I) {
      Stamps.push_back(1769353200 + I * 60);
      for (const char* K : {"open", "high", "low", "close"})
        Quote[K].push_back(80000.0 + (Rng() % 100000) / 100.0);
      Quote["volume"].push_back(Rng() % 1000000);
    }
    TJson Doc;
    Doc["chart"]["result"] =
        TJson::array({TJson{{"meta", {{"symbol", "005930.KS"}, {"currency", "KRW"}}},
                            {"timestamp", Stamps},
                            {"indicators", {{"quote", TJson::array({Quote})}}}}});
    Doc["chart"]["error"] = nullptr;
    return Doc.dump();
  }();
  return Body;
}

TChatHistory Conversation() {
  TChatMessage Request = CreateChatMessage("assistant", "");
  Request.HasToolCall = true;
  Request.ToolCallId = "call_1";
  Request.ToolName = "get_yahoo_price";
  Request.ToolArgs = R"({"ticker":"005930.KS","date_range":"5d","interval":"1m"})";
  TChatMessage Result = CreateChatMessage("tool", ChartBody());
  Result.HasToolCall = true;
  Result.ToolCallId = "call_1";
  Result.ToolName = "get_yahoo_price";
  return {CreateChatMessage("user", "삼성전자 5일 분봉을 분석해 줘"), Request, Result};
}

void BM_Floor_ParseAndSerialiseOnce(benchmark::State& State) {
  const std::string& Body = ChartBody();
  for (auto _ : State) {
    auto Doc = ParseJson(Body);
    benchmark::DoNotOptimize(Doc->dump());
  }
  State.counters["MB"] = Body.size() / 1e6;
}
BENCHMARK(BM_Floor_ParseAndSerialiseOnce)->Unit(benchmark::kMillisecond);

void BM_AgentIteration_OpenAI(benchmark::State& State) {
  kestrill::testing::TFakeHttpServer Server;
  Server.SetDefault({200, R"({"choices":[{"message":{"content":"분석 결과입니다."}}]})"});
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  char Dir[] = "/tmp/kestrill-bench-XXXXXX";
  TConfig Config(std::string(mkdtemp(Dir)) + "/Kestrill.Ini");
  const TChatHistory History = Conversation();
  for (auto _ : State) {
    TOpenAPIToolManager Tools;
    BuildToolSet(Tools, Config, 1);
    std::string Raw = CallOpenAIToolsAPI(History, "key", "gpt-5.4-mini", Tools);
    benchmark::DoNotOptimize(TAIResponseParser::Parse(aiOpenAI, Raw));
  }
  State.counters["request_MB"] = Server.LastRequest().Body.size() / 1e6;
}
BENCHMARK(BM_AgentIteration_OpenAI)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
