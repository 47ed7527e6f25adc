// A 1 MB reply streamed in 1-byte pieces (one event per byte of text, in each provider's
// framing: about a million events, 60 to 120 MB on the wire) next to the same reply unstreamed.
//   BM_Unstreamed / BM_Streamed: the request over HTTP to a local server in a child process,
//     through the program's own exchange (PostChatJson, with a live-reply observer for the
//     stream), then the reply parser.
//   BM_AssembleByteByByte: the stream's bytes handed to the assembler one byte at a time (the
//     worst a transport can do), then the reply parser; BM_AssembleInOnePiece the same bytes in
//     one piece, BM_ParseUnstreamed the unstreamed body through the same parser.
// Args: 0 OpenAI (DeepSeek shares its framing), 1 Gemini, 2 Claude, 4 Ollama. "events" and
// "wire_MB" say what was streamed; "reports" how often the observer got the text.
// The provider limit is raised for the run: the streams are larger than its 32 MB default.
#include <benchmark/benchmark.h>
#include <sys/wait.h>

#include <optional>

#include "ForkedServer.h"
#include "ShortRun.h"
#include "agent/ResponseParser.h"
#include "core/HttpClient.h"
#include "core/JsonPath.h"
#include "core/TextEncoding.h"
#include "providers/ProviderHttp.h"
#include "providers/StreamAssembler.h"

using namespace kestrill;

namespace {

// 1 MB; 16 KB in the short form.
const std::size_t kReplyBytes = bench::ShortRun() ? std::size_t{16} << 10 : std::size_t{1} << 20;

const std::string& ReplyText() {
  static const std::string Text = [] {
    const std::string Sentence = "Samsung HBM3E demand stays firm; P/E 12x, margin 9.18%. ";
    std::string T;
    while (T.size() < kReplyBytes) T += Sentence;
    T.resize(kReplyBytes);
    return T;
  }();
  return Text;
}

std::string Quoted(std::string_view AText) { return TJson(std::string(AText)).dump(); }

// The body the provider returns without streaming.
std::string PlainBody(TAIProvider AProvider, const std::string& AText) {
  const std::string Q = Quoted(AText);
  switch (AProvider) {
    case aiGemini:
      return R"({"candidates":[{"content":{"parts":[{"text":)" + Q +
             R"(}],"role":"model"},"finishReason":"STOP"}]})";
    case aiClaude:
      return R"({"id":"msg_1","type":"message","role":"assistant","content":[{"type":"text","text":)" +
             Q + R"(}],"stop_reason":"end_turn"})";
    case aiOllama:
      return R"({"model":"m","message":{"role":"assistant","content":)" + Q + R"(},"done":true})";
    default:
      return R"({"choices":[{"index":0,"message":{"role":"assistant","content":)" + Q +
             R"(},"finish_reason":"stop"}]})";
  }
}

// The same reply streamed, one event per byte of text.
std::string StreamBody(TAIProvider AProvider, const std::string& AText) {
  std::string Out;
  Out.reserve(AText.size() * 120);
  if (AProvider == aiClaude)
    Out +=
        "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"msg_1\","
        "\"type\":\"message\",\"role\":\"assistant\",\"content\":[]}}\n\n"
        "event: content_block_start\ndata: {\"type\":\"content_block_start\",\"index\":0,"
        "\"content_block\":{\"type\":\"text\",\"text\":\"\"}}\n\n";
  for (std::size_t I = 0; I < AText.size(); ++I) {
    const std::string Q = Quoted(std::string_view(AText).substr(I, 1));
    switch (AProvider) {
      case aiGemini:
        Out += R"(data: {"candidates":[{"content":{"parts":[{"text":)" + Q +
               R"(}],"role":"model"}}]})"
               "\n\n";
        break;
      case aiClaude:
        Out +=
            "event: content_block_delta\ndata: "
            R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":)" +
            Q + "}}\n\n";
        break;
      case aiOllama:
        Out += R"({"model":"m","message":{"role":"assistant","content":)" + Q +
               R"(},"done":false})"
               "\n";
        break;
      default:
        Out += R"(data: {"choices":[{"index":0,"delta":{"content":)" + Q + "}}]}\n\n";
    }
  }
  switch (AProvider) {
    case aiGemini:
      return Out +
             R"(data: {"candidates":[{"content":{"parts":[{"text":""}],"role":"model"},"finishReason":"STOP"}]})"
             "\n\n";
    case aiClaude:
      return Out +
             "event: content_block_stop\ndata: {\"type\":\"content_block_stop\",\"index\":0}"
             "\n\nevent: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":"
             "{\"stop_reason\":\"end_turn\"}}\n\nevent: message_stop\ndata: "
             "{\"type\":\"message_stop\"}\n\n";
    case aiOllama:
      return Out + R"({"model":"m","message":{"role":"assistant","content":""},"done":true})"
                   "\n";
    default:
      return Out + R"(data: {"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})"
                   "\n\ndata: [DONE]\n\n";
  }
}

// One body at a time is kept: the streams are large.
const std::string& Cached(TAIProvider AProvider, bool AStreamed) {
  static std::pair<int, std::string> Held{-1, ""};
  const int Key = AProvider * 2 + (AStreamed ? 1 : 0);
  if (Held.first != Key) {
    Held.second.clear();
    Held.second.shrink_to_fit();
    Held = {Key,
            AStreamed ? StreamBody(AProvider, ReplyText()) : PlainBody(AProvider, ReplyText())};
  }
  return Held.second;
}

std::string GServerUrl;

// A provider that answers by the request, as the services do: Gemini by its URL, the others by
// "stream": true in the body. The path's first part names the framing ("/p2/..." Claude).
void Routes(httplib::Server& AServer) {
  AServer.Post(R"(/p(\d)/.*)", [](const httplib::Request& Req, httplib::Response& Res) {
    const auto Provider = static_cast<TAIProvider>(std::stoi(Req.matches[1]));
    const bool Streamed = Req.path.find("streamGenerateContent") != std::string::npos ||
                          Req.body.find("\"stream\":true") != std::string::npos;
    const std::string& Body = Cached(Provider, Streamed);
    Res.set_content_provider(
        Body.size(), Streamed ? "text/event-stream" : "application/json",
        [&Body](std::size_t AOffset, std::size_t ALength, httplib::DataSink& Sink) {
          return Sink.write(Body.data() + AOffset, std::min<std::size_t>(ALength, 1 << 16));
        });
  });
}

std::string Url(TAIProvider AProvider) {
  const std::string Base = GServerUrl + "/p" + std::to_string(AProvider);
  return AProvider == aiGemini ? Base + "/v1beta/models/m:generateContent?key=k"
                               : Base + "/v1/chat";
}

const std::string kRequest = R"({"model":"m","messages":[{"role":"user","content":"긴 답"}]})";

void Check(benchmark::State& AState, TAIProvider AProvider, const std::string& ABody) {
  const TAIResponse R = TAIResponseParser::Parse(AProvider, ABody);
  if (!R.IsSuccess || R.TextContent != ReplyText())
    AState.SkipWithError(("the reply did not come back whole: " + R.ErrorMessage).c_str());
}

// The server builds a body the first time it is asked for it: not part of what is measured.
void WarmUp(TAIProvider AProvider, bool AStreamed) {
  static int Warm = -1;
  if (Warm == AProvider * 2 + AStreamed) return;
  Warm = AProvider * 2 + AStreamed;
  std::optional<TLiveReplyScope> Live;
  if (AStreamed) Live.emplace([](const std::string&) {});
  PostChatJson(AProvider, Url(AProvider), kRequest, {});
}

void BM_Unstreamed(benchmark::State& State) {
  const auto Provider = static_cast<TAIProvider>(State.range(0));
  WarmUp(Provider, false);
  for (auto _ : State) Check(State, Provider, PostChatJson(Provider, Url(Provider), kRequest, {}));
}

void BM_Streamed(benchmark::State& State) {
  const auto Provider = static_cast<TAIProvider>(State.range(0));
  WarmUp(Provider, true);
  std::size_t Reports = 0;
  for (auto _ : State) {
    Reports = 0;
    TLiveReplyScope Live([&](const std::string& AText) {
      benchmark::DoNotOptimize(AText.data());
      ++Reports;
    });
    Check(State, Provider, PostChatJson(Provider, Url(Provider), kRequest, {}));
  }
  State.counters["events"] = static_cast<double>(ReplyText().size());
  State.counters["reports"] = static_cast<double>(Reports);
}

void BM_ParseUnstreamed(benchmark::State& State) {
  const auto Provider = static_cast<TAIProvider>(State.range(0));
  const std::string Body = PlainBody(Provider, ReplyText());
  for (auto _ : State) Check(State, Provider, SanitizeUtf8(Body));
}

void Assemble(benchmark::State& State, bool AByteByByte) {
  const auto Provider = static_cast<TAIProvider>(State.range(0));
  const std::string Stream = StreamBody(Provider, ReplyText());
  for (auto _ : State) {
    TStreamAssembler Assembler(
        Provider, [](const std::string& AText) { benchmark::DoNotOptimize(AText.data()); },
        std::chrono::milliseconds(50));
    if (AByteByByte) {
      for (std::size_t I = 0; I < Stream.size(); ++I)
        Assembler.Feed(std::string_view(Stream).substr(I, 1));
    } else {
      Assembler.Feed(Stream);
    }
    Check(State, Provider, SanitizeUtf8(Assembler.Finish()));
  }
  State.counters["wire_MB"] = static_cast<double>(Stream.size()) / (1 << 20);
}

void BM_AssembleByteByByte(benchmark::State& State) { Assemble(State, true); }
void BM_AssembleInOnePiece(benchmark::State& State) { Assemble(State, false); }

void Providers(benchmark::internal::Benchmark* B) {
  for (int P : {aiOpenAI, aiGemini, aiClaude, aiOllama}) B->Arg(P);
  B->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(bench::ShortRun() ? 1 : 5);
  if (!bench::ShortRun()) B->ReportAggregatesOnly(true);
}

BENCHMARK(BM_Unstreamed)->Apply(Providers);
BENCHMARK(BM_Streamed)->Apply(Providers);
BENCHMARK(BM_ParseUnstreamed)->Apply(Providers);
BENCHMARK(BM_AssembleByteByByte)->Apply(Providers);
BENCHMARK(BM_AssembleInOnePiece)->Apply(Providers);

}  // namespace

int main(int argc, char** argv) {
  // The server's process starts before any thread of ours.
  const auto [Pid, Url] = bench::StartForkedServer(Routes);
  GServerUrl = Url;
  SetResponseLimits(std::size_t{1} << 30, 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(Pid, SIGTERM);
  waitpid(Pid, nullptr, 0);
  return 0;
}
