// Streamed replies put back together: for each provider, a stream in the service's published
// shape gives the same parsed reply as the body the same request returns without streaming,
// however the bytes are cut into pieces; errors and broken streams stay failures.
#include <gtest/gtest.h>

#include "agent/ResponseParser.h"
#include "providers/StreamAssembler.h"

using namespace kestrill;

namespace {

std::string Sse(const std::vector<std::string>& AData, const std::string& AEnd = "") {
  std::string Out;
  for (const std::string& D : AData) Out += "data: " + D + "\n\n";
  return Out + AEnd;
}

struct TStreamCase {
  const char* Name;
  TAIProvider Provider;
  std::string Stream;
  std::string Unstreamed;  // the body the same request gives without streaming
  std::string Text;        // the reply text shown as it grows
};

std::vector<TStreamCase> Cases() {
  const std::string Chunk = R"({"id":"c1","object":"chat.completion.chunk","choices":[{"index":0,"delta":)";
  return {
      {"OpenAI: text and two tool calls in pieces", aiOpenAI,
       Sse({Chunk + R"({"role":"assistant","content":""},"finish_reason":null}]})",
            Chunk + R"({"content":"삼성전자 "},"finish_reason":null}]})",
            Chunk + R"({"content":"주가를 확인할게요."},"finish_reason":null}]})",
            Chunk + R"({"tool_calls":[{"index":0,"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":""}}]},"finish_reason":null}]})",
            Chunk + R"({"tool_calls":[{"index":0,"function":{"arguments":"{\"ticker\":"}}]},"finish_reason":null}]})",
            Chunk + R"({"tool_calls":[{"index":0,"function":{"arguments":"\"005930.KS\"}"}}]},"finish_reason":null}]})",
            Chunk + R"({"tool_calls":[{"index":1,"id":"call_2","type":"function","function":{"name":"get_krx_price","arguments":"{\"stock_code\":\"005930\"}"}}]},"finish_reason":null}]})",
            Chunk + R"({},"finish_reason":"tool_calls"}]})"},
           "data: [DONE]\n\n"),
       R"({"choices":[{"index":0,"message":{"role":"assistant","content":"삼성전자 주가를 확인할게요.","tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}},{"id":"call_2","type":"function","function":{"name":"get_krx_price","arguments":"{\"stock_code\":\"005930\"}"}}]},"finish_reason":"tool_calls"}]})",
       "삼성전자 주가를 확인할게요."},
      {"DeepSeek: reasoning and text, CR LF line ends", aiDeepseek,
       "data: " + Chunk + R"({"reasoning_content":"생각 중"},"finish_reason":null}]})" + "\r\n\r\n" +
           "data: " + Chunk + R"({"content":"답"},"finish_reason":"stop"}]})" + "\r\n\r\n" +
           "data: [DONE]\r\n\r\n",
       R"({"choices":[{"message":{"content":"답","reasoning_content":"생각 중"}}]})", "답"},
      {"Claude: text, then a tool call whose input comes in pieces", aiClaude,
       "event: message_start\ndata: "
       R"({"type":"message_start","message":{"id":"msg_1","type":"message","role":"assistant","model":"claude","content":[],"stop_reason":null}})"
       "\n\nevent: content_block_start\ndata: "
       R"({"type":"content_block_start","index":0,"content_block":{"type":"text","text":""}})"
       "\n\nevent: ping\ndata: {\"type\": \"ping\"}\n\n"
       "event: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"종가를 "}})"
       "\n\nevent: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"조회합니다."}})"
       "\n\nevent: content_block_stop\ndata: {\"type\":\"content_block_stop\",\"index\":0}\n\n"
       "event: content_block_start\ndata: "
       R"({"type":"content_block_start","index":1,"content_block":{"type":"tool_use","id":"toolu_1","name":"get_krx_price","input":{}}})"
       "\n\nevent: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":1,"delta":{"type":"input_json_delta","partial_json":"{\"stock_co"}})"
       "\n\nevent: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":1,"delta":{"type":"input_json_delta","partial_json":"de\": \"005930\"}"}})"
       "\n\nevent: content_block_stop\ndata: {\"type\":\"content_block_stop\",\"index\":1}\n\n"
       "event: message_delta\ndata: "
       R"({"type":"message_delta","delta":{"stop_reason":"tool_use","stop_sequence":null},"usage":{"output_tokens":40}})"
       "\n\nevent: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
       R"({"id":"msg_1","type":"message","role":"assistant","content":[{"type":"text","text":"종가를 조회합니다."},{"type":"tool_use","id":"toolu_1","name":"get_krx_price","input":{"stock_code":"005930"}}],"stop_reason":"tool_use"})",
       "종가를 조회합니다."},
      {"Gemini: text in pieces, then a whole function call", aiGemini,
       Sse({R"({"candidates":[{"content":{"parts":[{"text":"삼성"}],"role":"model"},"index":0}]})",
            R"({"candidates":[{"content":{"parts":[{"text":"전자 종가"}],"role":"model"},"index":0}]})",
            R"({"candidates":[{"content":{"parts":[{"functionCall":{"name":"get_krx_price","args":{"stock_code":"005930"}},"thoughtSignature":"c2ln"}],"role":"model"},"finishReason":"STOP","index":0}],"usageMetadata":{"totalTokenCount":9}})"}),
       R"({"candidates":[{"content":{"parts":[{"text":"삼성전자 종가"},{"functionCall":{"name":"get_krx_price","args":{"stock_code":"005930"}},"thoughtSignature":"c2ln"}],"role":"model"},"finishReason":"STOP"}]})",
       "삼성전자 종가"},
      {"Ollama: one object per line, the call whole", aiOllama,
       R"({"model":"m","created_at":"t","message":{"role":"assistant","content":"삼성"},"done":false})"
       "\n"
       R"({"model":"m","created_at":"t","message":{"role":"assistant","content":"전자"},"done":false})"
       "\n"
       R"({"model":"m","created_at":"t","message":{"role":"assistant","content":"","tool_calls":[{"function":{"name":"get_krx_price","arguments":{"stock_code":"005930"}}}]},"done":false})"
       "\n"
       R"({"model":"m","created_at":"t","message":{"role":"assistant","content":""},"done":true,"done_reason":"stop","total_duration":1})"
       "\n",
       R"({"message":{"role":"assistant","content":"삼성전자","tool_calls":[{"function":{"name":"get_krx_price","arguments":{"stock_code":"005930"}}}]},"done":true})",
       "삼성전자"},
  };
}

// AStream fed in pieces of APiece bytes (0: whole), with the texts reported on the way.
std::string Assemble(TAIProvider AProvider, const std::string& AStream, std::size_t APiece,
                     std::vector<std::string>* ATexts = nullptr) {
  TStreamAssembler A(AProvider, [&](const std::string& T) {
    if (ATexts) ATexts->push_back(T);
  });
  if (APiece == 0) {
    A.Feed(AStream);
  } else {
    for (std::size_t I = 0; I < AStream.size(); I += APiece) A.Feed(AStream.substr(I, APiece));
  }
  return A.Finish(AStream);
}

}  // namespace

TEST(StreamAssembler, EveryProvidersStreamParsesAsItsUnstreamedBody) {
  for (const TStreamCase& C : Cases()) {
    const TAIResponse Expected = TAIResponseParser::Parse(C.Provider, C.Unstreamed);
    ASSERT_TRUE(Expected.IsSuccess) << C.Name;
    for (std::size_t Piece : {0, 1, 7, 64}) {
      std::vector<std::string> Texts;
      const std::string Body = Assemble(C.Provider, C.Stream, Piece, &Texts);
      EXPECT_EQ(TAIResponseParser::Parse(C.Provider, Body), Expected)
          << C.Name << ", pieces of " << Piece << "\n" << Body;
      ASSERT_FALSE(Texts.empty()) << C.Name;
      EXPECT_EQ(Texts.back(), C.Text) << C.Name;
      for (std::size_t I = 1; I < Texts.size(); ++I)  // it only ever grows
        EXPECT_EQ(Texts[I].rfind(Texts[I - 1], 0), 0u) << C.Name;
    }
  }
}

TEST(StreamAssembler, ErrorsAndBrokenStreamsStayFailures) {
  struct TCase {
    const char* Name;
    TAIProvider Provider;
    std::string Body;
    std::string Message;  // the parsed failure's message
  };
  const std::string Cut = "응답이 끝나기 전에 스트림이 끊겼습니다.";
  const TCase Cases[] = {
      {"OpenAI error answered as plain JSON", aiOpenAI,
       R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error"}})",
       "OpenAI 에러: Incorrect API key provided"},
      {"OpenAI error event mid-stream", aiOpenAI,
       Sse({R"({"choices":[{"index":0,"delta":{"content":"반쯤"}}]})",
            R"({"error":{"message":"Rate limit reached","type":"requests"}})"}),
       "OpenAI 에러: Rate limit reached"},
      {"OpenAI cut before its end", aiOpenAI,
       Sse({R"({"choices":[{"index":0,"delta":{"content":"반쯤"}}]})"}), "OpenAI 에러: " + Cut},
      {"DeepSeek line that is not JSON", aiDeepseek,
       Sse({R"({"choices":[{"index":0,"delta":{"content":"a"}}]})", "{broken"}, "data: [DONE]\n\n"),
       "Deepseek API 에러: 스트림에 JSON이 아닌 데이터가 있습니다."},
      {"Claude error event", aiClaude,
       "event: message_start\ndata: "
       R"({"type":"message_start","message":{"id":"m","content":[]}})"
       "\n\nevent: error\ndata: "
       R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})"
       "\n\n",
       "content 데이터를 찾을 수 없습니다. Overloaded"},
      {"Claude cut before message_stop", aiClaude,
       "event: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"반"}})"
       "\n\n",
       "content 데이터를 찾을 수 없습니다. " + Cut},
      {"Gemini error chunk", aiGemini,
       Sse({R"({"error":{"code":429,"message":"Resource has been exhausted","status":"RESOURCE_EXHAUSTED"}})"}),
       "content.parts 데이터를 찾을 수 없습니다. Resource has been exhausted"},
      {"Gemini cut before its finish reason", aiGemini,
       Sse({R"({"candidates":[{"content":{"parts":[{"text":"반"}]}}]})"}),
       "content.parts 데이터를 찾을 수 없습니다. " + Cut},
      {"Ollama error line", aiOllama, "{\"error\":\"model 'x' not found\"}\n", "model 'x' not found"},
      {"Ollama cut before done", aiOllama,
       "{\"message\":{\"role\":\"assistant\",\"content\":\"반\"},\"done\":false}\n", Cut},
  };
  for (const TCase& C : Cases) {
    for (std::size_t Piece : {0, 3}) {
      const TAIResponse R = TAIResponseParser::Parse(C.Provider, Assemble(C.Provider, C.Body, Piece));
      EXPECT_FALSE(R.IsSuccess) << C.Name;
      EXPECT_EQ(R.ErrorMessage, C.Message) << C.Name;
    }
  }
}
