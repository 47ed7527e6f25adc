#include <gtest/gtest.h>

#include "agent/ResponseParser.h"
#include "core/JsonPath.h"

using namespace kestrill;

namespace {

TAIResponse Failure(std::string AMessage) {
  TAIResponse R;
  R.IsSuccess = false;
  R.ErrorMessage = std::move(AMessage);
  return R;
}

TAIResponse Reply(std::string AText, std::vector<TAIToolCallRequest> ACalls = {},
                  bool AHasCalls = false) {
  TAIResponse R;
  R.TextContent = std::move(AText);
  R.HasToolCalls = AHasCalls || !ACalls.empty();
  R.ToolCalls = std::move(ACalls);
  return R;
}

struct TCase {
  const char* Name;
  TAIProvider Provider;
  std::string Raw;
  TAIResponse Expected;
};

}  // namespace

TEST(ResponseParser, GeneralFailures) {
  for (TAIProvider P : {aiOpenAI, aiGemini, aiClaude, aiDeepseek, aiOllama}) {
    EXPECT_EQ(TAIResponseParser::Parse(P, " \r\n\t "), Failure("응답값이 비어있습니다."));
    EXPECT_EQ(TAIResponseParser::Parse(P, "<html>502</html>"),
              Failure("유효하지 않은 JSON 양식입니다."));
    EXPECT_EQ(TAIResponseParser::Parse(P, R"([{"a":1}])"),
              Failure("JSON 루트가 Object가 아닙니다."));
  }
  // 40,000 levels inside the very member each parser reads, which it would write back out.
  const std::string Deep = std::string(40000, '[') + std::string(40000, ']');
  const std::pair<TAIProvider, std::string> Deeps[] = {
      {aiGemini, R"({"candidates":[{"content":{"parts":[{"functionCall":{"name":"f","args":{"a":)" +
                     Deep + "}}}]}}]}"},
      {aiClaude, R"({"content":[{"type":"tool_use","id":"t","name":"f","input":)" + Deep + "}]}"},
      {aiOllama, R"({"message":{"tool_calls":[{"id":"t","function":{"name":"f","arguments":{"a":)" +
                     Deep + "}}}]}}"},
  };
  for (const auto& [P, Raw] : Deeps)
    EXPECT_EQ(TAIResponseParser::Parse(P, Raw),
              Failure("응답 JSON의 중첩이 너무 깊어 처리할 수 없습니다."));
  EXPECT_FALSE(ParseJson(Deep));
  EXPECT_TRUE(ParseJson(std::string(512, '[') + std::string(512, ']')));
}

TEST(ResponseParser, ReadsEveryShape) {
  const std::string GeminiParts =
      R"([{"text":"먼저"},{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"AAPL"}}}])";
  TAIResponse GeminiCall = Reply("", {{"", "get_yahoo_price", R"({"ticker":"AAPL"})",
                                       R"({"name":"get_yahoo_price","args":{"ticker":"AAPL"}})"}});
  GeminiCall.RawPartsJSON = GeminiParts;
  TAIResponse GeminiTextLast =
      Reply("나중", {{"c1", "f", "{}", R"({"id":"c1","name":"f","args":{}})"}});
  GeminiTextLast.RawPartsJSON =
      R"([{"functionCall":{"id":"c1","name":"f","args":{}}},{"text":"나중"}])";
  TAIResponse Deepseek = Reply("", {{"call_9", "f", "{}", ""}});
  Deepseek.ReasoningContent = "추론";

  const TCase Cases[] = {
      {"openai text", aiOpenAI,
       R"({"choices":[{"message":{"role":"assistant","content":"안녕"}}]})", Reply("안녕")},
      {"openai null content with calls", aiOpenAI,
       R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"AAPL\"}"}},{"id":"call_2","function":{"name":"g","arguments":"{}"}}]}}]})",
       Reply("", {{"call_1", "get_yahoo_price", R"({"ticker":"AAPL"})", ""},
                  {"call_2", "g", "{}", ""}})},
      {"openai empty call list", aiOpenAI,
       R"({"choices":[{"message":{"content":"x","tool_calls":[]}}]})", Reply("x", {}, true)},
      {"openai text null", aiOpenAI, R"({"choices":[{"message":{"content":"null"}}]})", Reply("")},
      {"openai error body", aiOpenAI,
       R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error"}})",
       Failure("OpenAI 에러: Incorrect API key provided")},
      {"deepseek error body", aiDeepseek, R"({"error":{"message":"Insufficient Balance"}})",
       Failure("Deepseek API 에러: Insufficient Balance")},
      {"openai transport failure object", aiOpenAI, R"({"error": "Couldn't connect to server"})",
       Failure("OpenAI 에러: Couldn't connect to server")},
      {"openai without choices or error", aiOpenAI, R"({"id":"x"})", Reply("")},
      {"deepseek reasoning kept", aiDeepseek,
       R"({"choices":[{"message":{"content":"","reasoning_content":"추론","tool_calls":[{"id":"call_9","function":{"name":"f","arguments":"{}"}}]}}]})",
       Deepseek},
      {"gemini text then call", aiGemini,
       R"({"candidates":[{"content":{"parts":)" + GeminiParts + "}}]}", GeminiCall},
      {"gemini call then text", aiGemini,
       R"({"candidates":[{"content":{"parts":[{"functionCall":{"id":"c1","name":"f","args":{}}},{"text":"나중"}]}}]})",
       GeminiTextLast},
      {"gemini no parts", aiGemini, R"({"candidates":[{"finishReason":"SAFETY"}]})",
       Failure("content.parts 데이터를 찾을 수 없습니다.")},
      {"gemini error body", aiGemini,
       R"({"error":{"code":400,"message":"API key not valid.","status":"INVALID_ARGUMENT"}})",
       Failure("content.parts 데이터를 찾을 수 없습니다. API key not valid.")},
      {"claude blocks joined", aiClaude,
       R"({"content":[{"type":"text","text":"가"},{"type":"tool_use","id":"toolu_1","name":"f","input":{"a":1}},{"type":"thinking","thinking":"…"},{"type":"text","text":"나"}]})",
       Reply("가나", {{"toolu_1", "f", R"({"a":1})", ""}})},
      {"claude error body", aiClaude,
       R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})",
       Failure("content 데이터를 찾을 수 없습니다. Overloaded")},
      {"ollama text", aiOllama, R"({"message":{"role":"assistant","content":"응답"},"done":true})",
       Reply("응답")},
      {"ollama error text", aiOllama, R"({"error":"model 'x' not found"})",
       Failure("model 'x' not found")},
      {"ollama error object", aiOllama, R"({"error":{"message":"busy","code":1}})",
       Failure("busy")},
      {"ollama empty error", aiOllama, R"({"error":""})",
       Failure("Ollama 서버가 내용 없는 오류를 보냈습니다.")},
      {"ollama error null beside a reply", aiOllama,
       R"({"message":{"content":"응답"},"error":null})", Reply("응답")},
      {"ollama error that says nothing beside a reply", aiOllama,
       R"({"message":{"content":"응답"},"error":{"message":" "}})", Reply("응답")},
      {"ollama empty error object alone", aiOllama, R"({"error":{}})",
       Failure("Ollama 서버가 내용 없는 오류를 보냈습니다.")},
      {"ollama error beside a reply", aiOllama,
       R"({"message":{"content":"응답"},"error":"out of memory"})", Failure("out of memory")},
      {"ollama error object without a message", aiOllama, R"({"error":{"code":500}})",
       Failure(R"({"code":500})")},
      {"ollama calls", aiOllama,
       R"({"message":{"content":"","tool_calls":[{"id":"t1","function":{"name":"f","arguments":{"x":"1"}}},{"type":"function"},{"id":"t3","function":{"name":"g"}}]}})",
       Reply("", {{"t1", "f", R"({"x":"1"})", ""}, {}, {"t3", "g", "{}", ""}})},
      {"ollama calls without ids (servers before 0.12.10)", aiOllama,
       R"({"message":{"tool_calls":[{"function":{"name":"f","arguments":{"a":1}}},{"function":{"name":"g","arguments":{}}}]}})",
       Reply("", {{"", "f", R"({"a":1})", ""}, {"", "g", "{}", ""}})},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(TAIResponseParser::Parse(C.Provider, C.Raw), C.Expected) << C.Name;
}

TEST(ResponseParser, MissingRequiredMembersRaise) {
  const std::pair<TAIProvider, const char*> Cases[] = {
      {aiOpenAI,
       R"({"choices":[{"message":{"tool_calls":[{"function":{"name":"f","arguments":"{}"}}]}}]})"},
      {aiOpenAI,
       R"({"choices":[{"message":{"tool_calls":[{"id":"1","function":{"arguments":"{}"}}]}}]})"},
      {aiDeepseek, R"({"choices":[{"message":{"tool_calls":["not an object"]}}]})"},
      {aiGemini, R"({"candidates":[{"content":{"parts":[{"functionCall":{"args":{}}}]}}]})"},
      {aiGemini, R"({"candidates":[{"content":{"parts":[{"functionCall":{"name":"f"}}]}}]})"},
      {aiGemini, R"({"candidates":[{"content":{"parts":["text"]}}]})"},
      {aiClaude, R"({"content":[{"text":"no type"}]})"},
      {aiClaude, R"({"content":[{"type":"tool_use","id":"1","name":"f"}]})"},
      {aiOllama, R"({"message":{"tool_calls":[{"id":"1","function":{"arguments":{}}}]}})"},
  };
  for (auto [P, Raw] : Cases)
    EXPECT_THROW(TAIResponseParser::Parse(P, Raw), EAIResponseError) << Raw;
}
