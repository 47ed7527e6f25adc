// Streamed replies put back together: for each provider, a stream in the service's published
// shape gives the same parsed reply as the body the same request returns without streaming,
// however the bytes are cut into pieces; errors and broken streams stay failures.
#include <gtest/gtest.h>

#include <chrono>

#include "agent/ResponseParser.h"
#include "core/JsonPath.h"
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
      {"OpenAI: lone CR line ends, a comment, an event's data over two lines", aiOpenAI,
       ": keep-alive\rdata: " + Chunk + R"({"content":"삼성"},)" + "\rdata: " +
           R"("finish_reason":null}]})" + "\r\rdata: " + Chunk +
           R"({"content":"전자"},"finish_reason":"stop"}]})" + "\r\rdata: [DONE]\r\r",
       R"({"choices":[{"message":{"content":"삼성전자"},"finish_reason":"stop"}]})", "삼성전자"},
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
  return A.Finish();
}

// The reply as the parser reads it, for AStream fed whole and in pieces of 1 and 5 bytes: the
// same whatever the cut (the test fails otherwise), so one answer is returned.
TAIResponse ParsedStream(TAIProvider AProvider, const std::string& AStream) {
  const TAIResponse Whole = TAIResponseParser::Parse(AProvider, Assemble(AProvider, AStream, 0));
  for (std::size_t Piece : {1, 5})
    EXPECT_EQ(TAIResponseParser::Parse(AProvider, Assemble(AProvider, AStream, Piece)), Whole)
        << "pieces of " << Piece;
  return Whole;
}

std::string ClaudeToolStream(const std::string& APartialJson) {
  return "event: message_start\ndata: "
         R"({"type":"message_start","message":{"id":"m","role":"assistant","content":[]}})"
         "\n\nevent: content_block_start\ndata: "
         R"({"type":"content_block_start","index":0,"content_block":{"type":"tool_use","id":"toolu_1","name":"get_yahoo_price","input":{}}})"
         "\n\nevent: content_block_delta\ndata: " +
         TJson{{"type", "content_block_delta"},
               {"index", 0},
               {"delta", {{"type", "input_json_delta"}, {"partial_json", APartialJson}}}}
             .dump() +
         "\n\nevent: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
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
      {"Gemini question blocked", aiGemini,
       Sse({R"({"promptFeedback":{"blockReason":"SAFETY","safetyRatings":[]},"usageMetadata":{"promptTokenCount":8}})"}),
       "Gemini가 이 질문을 차단했습니다 (차단 사유: SAFETY)."},
      {"Ollama error line", aiOllama, "{\"error\":\"model 'x' not found\"}\n", "model 'x' not found"},
      // A member of the wrong type: the reply cannot be read (never a piece lost or turned
      // into digits).
      {"OpenAI content that is a list", aiOpenAI,
       Sse({R"({"choices":[{"index":0,"delta":{"content":["반"]}}]})",
            R"({"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})"}),
       "OpenAI 에러: 응답을 읽을 수 없습니다: 스트림의 'content' 항목이 문자열이 아닙니다."},
      {"OpenAI call arguments that are an object", aiOpenAI,
       Sse({R"({"choices":[{"index":0,"delta":{"tool_calls":[{"index":0,"id":"c","function":{"name":"f","arguments":{"a":1}}}]}}]})",
            R"({"choices":[{"index":0,"delta":{},"finish_reason":"tool_calls"}]})"}),
       "OpenAI 에러: 응답을 읽을 수 없습니다: 스트림의 'function.arguments' 항목이 문자열이 "
       "아닙니다."},
      {"Claude text that is a number", aiClaude,
       "event: content_block_delta\ndata: "
       R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":5}})"
       "\n\nevent: message_stop\ndata: {\"type\":\"message_stop\"}\n\n",
       "content 데이터를 찾을 수 없습니다. 응답을 읽을 수 없습니다: 스트림의 'text' 항목이 "
       "문자열이 아닙니다."},
      {"Gemini text that is an object", aiGemini,
       Sse({R"({"candidates":[{"content":{"parts":[{"text":{}}]},"finishReason":"STOP"}]})"}),
       "content.parts 데이터를 찾을 수 없습니다. 응답을 읽을 수 없습니다: 스트림의 'text' 항목이 "
       "문자열이 아닙니다."},
      {"Ollama content that is a number", aiOllama,
       "{\"message\":{\"role\":\"assistant\",\"content\":7},\"done\":true}\n",
       "응답을 읽을 수 없습니다: 스트림의 'content' 항목이 문자열이 아닙니다."},
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

TEST(StreamAssembler, AnErrorMemberThatSaysNothingLosesNoPiece) {
  // Ollama lines, each carrying the same "error" member: null-like ones are nothing, real ones
  // fail the reply with their text, exactly as in the unstreamed body.
  struct TCase {
    std::string Error;  // the member's JSON
    bool Fails;
    std::string Message;
  };
  const TCase Cases[] = {
      {"null", false, ""},
      {"false", false, ""},
      {R"("")", false, ""},
      {"{}", false, ""},
      {R"({"message":""})", false, ""},
      {R"("model 'x' not found")", true, "model 'x' not found"},
      {R"({"message":"busy","code":1})", true, "busy"},
      {R"({"code":500})", true, R"({"code":500})"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Error);
    std::string Stream;
    for (const char* Piece : {"안녕", "하세요"})
      Stream += R"({"message":{"role":"assistant","content":")" + std::string(Piece) +
                R"("},"done":false,"error":)" + C.Error + "}\n";
    Stream +=
        R"({"message":{"role":"assistant","content":""},"done":true,"error":)" + C.Error + "}\n";
    const TAIResponse Streamed = ParsedStream(aiOllama, Stream);
    const TAIResponse Unstreamed = TAIResponseParser::Parse(
        aiOllama, R"({"message":{"role":"assistant","content":"안녕하세요"},"done":true,"error":)" +
                      C.Error + "}");
    EXPECT_EQ(Streamed, Unstreamed);
    EXPECT_EQ(Streamed.IsSuccess, !C.Fails);
    EXPECT_EQ(Streamed.IsSuccess ? Streamed.TextContent : Streamed.ErrorMessage,
              C.Fails ? C.Message : "안녕하세요");
  }
  // The other services' chunks are read by the same rule.
  const std::string Chunk = R"({"choices":[{"index":0,"delta":{"content":")";
  EXPECT_EQ(ParsedStream(aiOpenAI, Sse({Chunk + R"(안녕"}}],"error":false})",
                                        Chunk + R"(하세요"},"finish_reason":"stop"}],"error":""})"},
                                       "data: [DONE]\n\n"))
                .TextContent,
            "안녕하세요");
}

TEST(StreamAssembler, AToolInputInPiecesFailsAsTheSameInputUnstreamed) {
  const std::string Deep = std::string(600, '[');
  const std::string DeepButWhole = std::string(511, '[') + std::string(511, ']');
  struct TCase {
    const char* Name;
    std::string Input;    // the input's text, as the pieces join up
    std::string Message;  // "" when the call is read
  };
  const TCase Cases[] = {
      {"whole", R"({"ticker":"AAPL"})", ""},
      {"cut off", R"({"ticker":"AA)", "유효하지 않은 JSON 양식입니다."},
      {"something after the value", R"({"ticker":"AAPL"} x)", "유효하지 않은 JSON 양식입니다."},
      {"nested too deep and cut off", Deep, "응답 JSON의 중첩이 너무 깊어 처리할 수 없습니다."},
      {"whole, but too deep inside the reply", DeepButWhole,
       "응답 JSON의 중첩이 너무 깊어 처리할 수 없습니다."},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Unstreamed =
        R"({"id":"m","role":"assistant","content":[{"type":"tool_use","id":"toolu_1","name":"get_yahoo_price","input":)" +
        C.Input + "}]}";
    const TAIResponse Streamed = ParsedStream(aiClaude, ClaudeToolStream(C.Input));
    EXPECT_EQ(Streamed, TAIResponseParser::Parse(aiClaude, Unstreamed));
    if (C.Message.empty()) {
      ASSERT_EQ(Streamed.ToolCalls.size(), 1u);
      EXPECT_EQ(Streamed.ToolCalls[0].ArgumentsJSON, R"({"ticker":"AAPL"})");
    } else {
      EXPECT_FALSE(Streamed.IsSuccess);
      EXPECT_EQ(Streamed.ErrorMessage, C.Message);
      EXPECT_TRUE(Streamed.ToolCalls.empty());
    }
  }
}

TEST(StreamAssembler, ACallIndexOutOfRangeRefusesTheWholeReply) {
  const std::string Chunk = R"({"choices":[{"index":0,"delta":{"tool_calls":[{"index":)";
  auto OpenAIStream = [&](const std::string& AIndex) {
    return Sse(
        {Chunk + R"(0,"id":"call_1","function":{"name":"get_yahoo_price","arguments":"{}"}}]}}]})",
         Chunk + AIndex +
             R"(,"id":"call_2","function":{"name":"get_yahoo_price","arguments":"{}"}}]}}]})",
         R"({"choices":[{"index":0,"delta":{},"finish_reason":"tool_calls"}]})"},
        "data: [DONE]\n\n");
  };
  const TAIResponse Edge = ParsedStream(aiOpenAI, OpenAIStream("31"));
  ASSERT_TRUE(Edge.IsSuccess);
  EXPECT_EQ(Edge.ToolCalls.size(), 2u);
  for (const char* Index :
       {"32", "2147483648", "-2147483648", "-1", "1.5", R"("1")", "18446744073709551615", "1e30"}) {
    SCOPED_TRACE(Index);
    const TAIResponse R = ParsedStream(aiOpenAI, OpenAIStream(Index));
    EXPECT_FALSE(R.IsSuccess);
    EXPECT_TRUE(R.ToolCalls.empty());
    EXPECT_EQ(R.ErrorMessage, "OpenAI 에러: 스트림의 도구 호출 번호(" +
                                  TJson::parse(Index).dump() + ")가 0~31 범위를 벗어났습니다.");
  }
  // Claude numbers its blocks the same way.
  std::string Claude = ClaudeToolStream(R"({"a":1})");
  Claude.replace(Claude.find(R"("index":0)"), 9, R"("index":2147483648)");
  const TAIResponse R = ParsedStream(aiClaude, Claude);
  EXPECT_FALSE(R.IsSuccess);
  EXPECT_EQ(R.ErrorMessage,
            "content 데이터를 찾을 수 없습니다. 스트림의 내용 블록 번호(2147483648)가 0~127 범위를 "
            "벗어났습니다.");
}

TEST(StreamAssembler, StrayBytesAreReadAsTheUnstreamedBodyReadsThem) {
  // An invalid byte, and a character missing its last byte, each replaced as in the body.
  const std::string Stream =
      Sse({R"({"choices":[{"index":0,"delta":{"content":"삼)" "\xFF" R"(성"}}]})",
           R"({"choices":[{"index":0,"delta":{"content":"전)" "\xEC\x9E" R"("}}]})",
           R"({"choices":[{"index":0,"delta":{"content":"자"},"finish_reason":"stop"}]})"},
          "data: [DONE]\n\n");
  const TAIResponse R = ParsedStream(aiOpenAI, Stream);
  ASSERT_TRUE(R.IsSuccess) << R;
  EXPECT_EQ(R.TextContent, "삼\uFFFD성전\uFFFD\uFFFD자");
}

TEST(StreamAssembler, TextIsReportedAtMostOncePerIntervalAndWhollyAtTheEnd) {
  // A day between reports: the first growth is reported, the rest only by Finish.
  std::vector<std::string> Texts;
  TStreamAssembler A(
      aiOpenAI, [&](const std::string& T) { Texts.push_back(T); }, std::chrono::hours(24));
  std::string Whole;
  for (int I = 0; I < 1000; ++I) {
    const std::string Piece(1, static_cast<char>('a' + I % 26));
    Whole += Piece;
    A.Feed(Sse({R"({"choices":[{"index":0,"delta":{"content":")" + Piece + R"("}}]})"}));
  }
  A.Feed(Sse({R"({"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})"}));
  EXPECT_EQ(A.Text(), Whole);
  A.Finish();
  EXPECT_EQ(Texts, (std::vector<std::string>{"a", Whole}));
}
