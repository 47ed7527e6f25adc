#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "FakeHttpServer.h"
#include "ProviderFixtures.h"
#include "core/TextEncoding.h"
#include "providers/AgentInstructions.h"
#include "providers/OpenAIMessages.h"
#include "providers/ProviderHttp.h"
#include "providers/ToolCalls.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

const char* kOpenAITools =
    R"([{"type":"function","function":{"name":"get_yahoo_price","description":"야후 파이낸스 현재가","parameters":{"type":"object","properties":{"ticker":{"type":"string","description":"티커"},"days":{"type":"integer","description":"기간"}},"required":["ticker"]}}}])";

// The agent-run conversation in the chat-completions dialects; with reasoning (DeepSeek) every
// call carries it, empty for the one made without any.
std::string ChatCompletionsTemplate(bool AOllama, bool AReasoning) {
  std::string T = R"({"model":"m",)";
  if (AOllama) T += R"("stream":false,)";
  T += R"("messages":[
    {"role":"user","content":"$INSTR"},{"role":"user","content":"$DATE"},
    {"role":"user","content":"삼성전자 주가?"},{"role":"assistant","content":"이전 답변"},
    {"role":"user","content":)";
  T +=
      AOllama
          ? R"("지금은?\r\n\r\n=== [첨부문서: report.csv] ===\r\n$CSVTEXT\r\n"},)"
          : R"([{"type":"text","text":"지금은?"},{"type":"text","text":"=== [첨부문서: report.csv] ===\r\n$CSVTEXT\r\n"}]},)";
  T += R"({"role":"assistant","content":"조회하겠습니다."},
    {"role":"assistant",)";
  if (AReasoning) T += R"("reasoning_content":"생각",)";
  T +=
      AOllama
          ? R"("tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":{"ticker":"005930.KS"}}}]},)"
          : R"("tool_calls":[{"id":"call_1","type":"function","function":{"name":"get_yahoo_price","arguments":"{\"ticker\":\"005930.KS\"}"}}]},)";
  T += R"({"role":"tool","tool_call_id":"call_1","content":"{\"price\": 80500}"},)";
  T +=
      AOllama
          ? R"({"role":"assistant","tool_calls":[{"id":"$ID2","type":"function","function":{"name":"get_financials"}}]},)"
          : std::string(R"({"role":"assistant",)") +
                (AReasoning ? R"("reasoning_content":"",)" : "") +
                R"("tool_calls":[{"id":"$ID2","type":"function","function":{"name":"get_financials","arguments":"not json"}}]},)";
  T += R"({"role":"tool","tool_call_id":"$ID2","content":"재무 정보"}],"tools":)";
  T += kOpenAITools;
  T += R"(,"tool_choice":"auto")";
  if (AOllama) T += R"(,"temperature":0)";
  return T + "}";
}

const char* kGeminiTemplate =
    R"({"model":"m","systemInstruction":{"parts":[{"text":"$INSTR"}]},"contents":[
  {"role":"user","parts":[{"text":"삼성전자 주가?"}]},
  {"role":"model","parts":[{"text":"이전 답변"}]},
  {"role":"user","parts":[{"text":"지금은?"},{"inline_data":{"mime_type":"text/csv","data":"$CSV"}}]},
  {"role":"model","parts":[{"text":"조회하겠습니다."}]},
  {"role":"model","parts":$PARTS},
  {"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":"{\"price\": 80500}"},"id":"call_1"}},
                          {"functionResponse":{"name":"get_financials","response":{"result":"재무 정보"}}}]}],
  "tools":[{"function_declarations":[{"name":"get_yahoo_price","description":"야후 파이낸스 현재가","parameters":{"type":"object","properties":{"ticker":{"type":"string","description":"티커"},"days":{"type":"integer","description":"기간"}},"required":["ticker"]}}]},{"googleSearch":{}}],
  "tool_config":{"include_server_side_tool_invocations":true}})";

const char* kClaudeTemplate = R"({"model":"m","max_tokens":4096,"messages":[
  {"role":"user","content":"$INSTR"},{"role":"user","content":"$DATE"},
  {"role":"user","content":"삼성전자 주가?"},{"role":"assistant","content":"이전 답변"},
  {"role":"user","content":[{"type":"text","text":"=== [첨부문서: report.csv] ===\r\n$CSVTEXT\r\n"},{"type":"text","text":"지금은?"}]},
  {"role":"assistant","content":"조회하겠습니다."},
  {"role":"assistant","content":[{"type":"tool_use","id":"call_1","name":"get_yahoo_price","input":{"ticker":"005930.KS"}}]},
  {"role":"user","content":[{"type":"tool_result","tool_use_id":"call_1","content":"{\"price\": 80500}"}]},
  {"role":"assistant","content":[{"type":"tool_use","id":"$ID2","name":"get_financials","input":{}}]},
  {"role":"user","content":[{"type":"tool_result","tool_use_id":"$ID2","content":"재무 정보"}]}],
  "tools":[{"name":"get_yahoo_price","description":"야후 파이낸스 현재가","input_schema":{"type":"object","properties":{"ticker":{"type":"string","description":"티커"},"days":{"type":"integer","description":"기간"}},"required":["ticker"]}}],
  "tool_choice":{"type":"auto"}})";

// The request as sent, with the live date line put back to the sample clock reading.
std::string AtSampleTime(const std::string& ABody) {
  static const std::regex kStamp(R"(현재 시간은 \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}입니다)");
  return std::regex_replace(ABody, kStamp, "현재 시간은 2026-12-10 09:05:03입니다");
}

std::string Splice(std::string ATemplate, const std::string& AName, const std::string& ARawJson) {
  for (auto At = ATemplate.find(AName); At != std::string::npos; At = ATemplate.find(AName))
    ATemplate.replace(At, AName.size(), ARawJson);
  return ATemplate;
}

// The hexadecimal digits of a MsgID.
std::string Hex(std::string AId) {
  std::erase(AId, '-');
  return AId;
}

class ToolCallsTest : public ::testing::Test {
 protected:
  TAttachmentFiles Files;
  TChatHistory History = AgentRunConversation(Files);
  TOpenAPIToolManager Tools;
  std::map<std::string, std::string> Values = StandardValues(Files);
  TFakeHttpServer Server;

  void SetUp() override {
    // The second call came without an id: one is made from its request message.
    Values["$ID2"] = "call_" + Hex(History[6].MsgID);
    AddSampleTools(Tools);
    for (const char* Var : {"KESTRILL_OPENAI_URL", "KESTRILL_DEEPSEEK_URL", "KESTRILL_GEMINI_URL",
                            "KESTRILL_ANTHROPIC_URL"})
      setenv(Var, Server.BaseUrl().c_str(), 1);
  }
  void TearDown() override {
    for (const char* Var : {"KESTRILL_OPENAI_URL", "KESTRILL_DEEPSEEK_URL", "KESTRILL_GEMINI_URL",
                            "KESTRILL_ANTHROPIC_URL"})
      unsetenv(Var);
  }
};

using TToolsCall = std::string (*)(const TChatHistory&, const std::string&, const std::string&,
                                   const TOpenAPIToolManager&);

}  // namespace

TEST_F(ToolCallsTest, EachProviderGetsTheAgentRunInItsShape) {
  const std::string Parts = History[4].RawPartsJSON;
  struct TCase {
    const char* Name;
    TToolsCall Call;
    std::string Key;  // the Ollama URL for Ollama
    std::string Path, Query;
    THttpHeaders Headers;
    std::string Expected;
  };
  const TCase Cases[] = {
      {"openai",
       CallOpenAIToolsAPI,
       "sk-1",
       "/v1/chat/completions",
       "",
       {{"authorization", "Bearer sk-1"}, {"content-type", "application/json"}},
       ExpectedBody(ChatCompletionsTemplate(false, false), Values)},
      {"deepseek",
       CallDeepseekToolsAPI,
       "sk-1",
       "/v1/chat/completions",
       "",
       {{"authorization", "Bearer sk-1"}, {"content-type", "application/json"}},
       ExpectedBody(ChatCompletionsTemplate(false, true), Values)},
      {"ollama",
       CallOllamaToolsAPI,
       Server.BaseUrl() + "/api/chat",
       "/api/chat",
       "",
       {},
       ExpectedBody(ChatCompletionsTemplate(true, false), Values)},
      {"gemini",
       CallGeminiToolsAPI,
       "g-key",
       "/v1beta/models/m:generateContent",
       "key=g-key",
       {{"content-type", "application/json"}},
       ExpectedBody(Splice(kGeminiTemplate, "$PARTS", Parts), Values)},
      {"claude",
       CallClaudeToolsAPI,
       "c-key",
       "/v1/messages",
       "",
       {{"x-api-key", "c-key"},
        {"anthropic-version", "2023-06-01"},
        {"content-type", "application/json"}},
       ExpectedBody(kClaudeTemplate, Values)},
  };
  // Attachments travel as the bytes read when they were sent: the files may be gone since.
  std::filesystem::remove_all(Files.Folder);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    // Error statuses come back untouched, like any body.
    Server.Enqueue({401, R"({"error":{"message":"bad key","type":"auth"}})"});
    EXPECT_EQ(C.Call(History, C.Key, "m", Tools),
              R"({"error":{"message":"bad key","type":"auth"}})");
    TRecordedRequest R = Server.LastRequest();
    EXPECT_EQ(R.Path, C.Path);
    EXPECT_EQ(R.Query, C.Query);
    for (const auto& [Name, Value] : C.Headers) EXPECT_EQ(R.Header(Name), Value) << Name;
    EXPECT_EQ(AtSampleTime(R.Body), C.Expected);
  }
}

TEST_F(ToolCallsTest, FailuresBecomeAnErrorObjectThatIsValidJson) {
  const std::string Refused = "http://127.0.0.1:" + std::to_string(UnusedLocalPort());
  for (const char* Var : {"KESTRILL_OPENAI_URL", "KESTRILL_DEEPSEEK_URL", "KESTRILL_GEMINI_URL",
                          "KESTRILL_ANTHROPIC_URL"})
    setenv(Var, Refused.c_str(), 1);
  for (TToolsCall Call :
       {CallOpenAIToolsAPI, CallDeepseekToolsAPI, CallGeminiToolsAPI, CallClaudeToolsAPI}) {
    std::string R = Call(History, "k", "m", Tools);
    EXPECT_EQ(R.rfind("{\"error\": \"", 0), 0u) << R;
    auto Doc = ParseJson(R);
    ASSERT_TRUE(Doc) << R;
    EXPECT_NE(JsonPathTextOr(*Doc, "error", "").find("connect"), std::string::npos) << R;
  }
  EXPECT_TRUE(ParseJson(CallOllamaToolsAPI(History, Refused + "/api/chat", "m", Tools)));

  // Quotes, backslashes and line breaks in a description are escaped.
  EXPECT_EQ(FailureObject("bad \"quote\" \\ \r\n"), R"({"error": "bad \"quote\" \\ \r\n"})");

  // Arguments that are JSON but not an object cannot become a Claude tool input.
  TChatHistory H = History;
  H[4].ToolArgs = "[1,2]";
  EXPECT_TRUE(ParseJson(CallClaudeToolsAPI(H, "k", "m", Tools))->contains("error"));
  EXPECT_EQ(Server.RequestCount(), 0u);
}

TEST_F(ToolCallsTest, AFailureStatusWithoutTheProvidersErrorObjectIsNamed) {
  const std::pair<TCannedResponse, std::string> Cases[] = {
      {{502, "<html>\n<b>Bad Gateway</b></html>", "text/html"},
       R"({"error": "서버가 HTTP 502 오류를 보냈습니다. 응답 앞부분: <html> <b>Bad Gateway</b></html>"})"},
      {{503, ""}, R"({"error": "서버가 빈 응답과 함께 HTTP 503 오류를 보냈습니다."})"},
      // The provider's own error object is passed on for the reply reader to word.
      {{401, R"({"error":{"message":"bad key"}})"}, R"({"error":{"message":"bad key"}})"},
      {{200, "<html>ok</html>", "text/html"}, "<html>ok</html>"},
  };
  for (const auto& [Response, Expected] : Cases) {
    SCOPED_TRACE(Expected);
    Server.Enqueue(Response);
    EXPECT_EQ(CallOpenAIToolsAPI(History, "k", "m", Tools), Expected);
  }
}

TEST_F(ToolCallsTest, TimeOutBecomesAnErrorObject) {
  SetProviderTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(1000));
  TSilentListener Silent;
  std::string R = CallOllamaToolsAPI(History, Silent.BaseUrl() + "/api/chat", "m", Tools);
  SetProviderTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(300000));
  EXPECT_NE(JsonPathTextOr(*ParseJson(R), "error", "").find("Timeout"), std::string::npos) << R;
}

TEST(AgentMessages, LeadingMessagesAndElementRules) {
  ASSERT_TRUE(IsValidUtf8(kAgentInstructionText));
  EXPECT_EQ(Utf16Prefix(kAgentInstructionText, 10000).size(), kAgentInstructionText.size());
  std::u32string Chars;  // count code points
  std::size_t CodePoints = 0;
  for (unsigned char C : kAgentInstructionText) CodePoints += (C & 0xC0) != 0x80;
  EXPECT_EQ(CodePoints, 701u);
  EXPECT_EQ(kAgentInstructionText.back(), ' ');
  EXPECT_EQ(kAgentInstructionText.find('\n'), std::string::npos);
  EXPECT_EQ(BuildDateLine(SampleNow()),
            "서울 기준 현재 시간은 2026-12-10 09:05:03입니다. 기준 년도/월/일을 참고할 때는 이 "
            "날짜를 기준으로 하세요.");

  TJson Empty = AddMessages({}, false);
  ASSERT_EQ(Empty.size(), 2u);
  EXPECT_EQ(Empty[0], (TJson{{"role", "user"}, {"content", kAgentInstructionText}}));
  EXPECT_EQ(Empty[1]["role"], "user");
  EXPECT_TRUE(std::regex_match(
      Empty[1]["content"].get<std::string>(),
      std::regex("서울 기준 현재 시간은 \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}입니다\\..*")));

  TChatMessage Odd = CreateChatMessage("user", "flagged");
  Odd.HasToolCall = true;  // a tool call flag on a user message carries nothing but its role
  TJson List = AddMessages({Odd}, true);
  EXPECT_EQ(List[2], (TJson{{"role", "user"}}));
}

TEST(RequestBody, SplicedAttachmentsGiveTheSameBytesAsAPlainDump) {
  TAttachmentFiles F;
  std::string Big(300000, 'A');
  TChatMessage M = F.UserWith("크다", F.Png);
  M.ImageBase64 = Big;
  TChatMessage NotBase64 = F.UserWith("이상", F.Png);
  NotBase64.ImageBase64 = "bad\"value";  // not Base64: copied and escaped like any text
  TOpenAPIToolManager Tools;
  AddSampleTools(Tools);
  TChatHistory H{M, NotBase64, M};
  std::string Body =
      BuildChatCompletionsToolsBody(TToolsDialect::OpenAI, H, "m", Tools, SampleNow());
  TJson Doc = TJson::parse(Body);
  EXPECT_EQ(Doc["messages"][2]["content"][1]["image_url"]["url"], "data:image/jpeg;base64," + Big);
  EXPECT_EQ(Doc["messages"][3]["content"][1]["image_url"]["url"],
            "data:image/jpeg;base64,bad\"value");
  EXPECT_EQ(Doc["messages"][4]["content"][1]["image_url"]["url"], "data:image/jpeg;base64," + Big);
  EXPECT_EQ(Body, CompactJson(Doc));
  EXPECT_EQ(Body.find("@@raw-"), std::string::npos);
}

TEST_F(ToolCallsTest, ARedirectNeverTakesTheKeyToAnotherHost) {
  TFakeHttpServer Stranger;
  TCannedResponse Redirect(302, "");
  Redirect.Headers = {{"Location", Stranger.BaseUrl() + "/v1/messages"}};
  Server.SetDefault(Redirect);
  std::string R = CallClaudeToolsAPI(History, "sk-ant-secret", "m", Tools);
  EXPECT_EQ(Stranger.RequestCount(), 0u);
  EXPECT_NE(JsonPathTextOr(*ParseJson(R), "error", "").find("따라가지 않았습니다"),
            std::string::npos)
      << R;
  EXPECT_EQ(Server.LastRequest().Header("x-api-key"),
            "sk-ant-secret");  // only ever to its own host
}

TEST_F(ToolCallsTest, GeminiGetsOneResponseForEveryCallOfAReply) {
  auto Request = [](const std::string& AParts, const char* AId, const char* AArgs) {
    TChatMessage M = CreateChatMessage("assistant", "");
    M.HasToolCall = true;
    M.ToolCallId = AId;
    M.ToolName = "get_yahoo_price";
    M.ToolArgs = AArgs;
    M.RawPartsJSON = AParts;
    return M;
  };
  auto Result = [](const char* AId, const char* AText) {
    TChatMessage M = CreateChatMessage("tool", AText);
    M.HasToolCall = true;
    M.ToolCallId = AId;
    M.ToolName = "get_yahoo_price";
    return M;
  };
  const std::string Two =
      R"([{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"A"}},"thoughtSignature":"c2ln"},{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"B"}}}])";
  const std::string One =
      R"([{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"A"}},"thoughtSignature":"c2ln"}])";
  const TChatMessage Q = CreateChatMessage("user", "q");
  struct TCase {
    const char* Name;
    TChatHistory History;
    std::string Contents;  // after the question
  };
  const TCase Cases[] = {
      {"the turn ended after the first of two calls",
       {Q, Request(Two, "", R"({"ticker":"A"})"), Result("", "80500")},
       R"({"role":"model","parts":)" + Two +
           R"(},{"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":"80500"}}},{"functionResponse":{"name":"get_yahoo_price","response":{"result":"도구가 실행되지 않았습니다."}}}]})"},
      {"two replies with the same single call",
       {Q, Request(One, "", R"({"ticker":"A"})"), Result("", "1"),
        Request(One, "", R"({"ticker":"A"})"), Result("", "2")},
       R"({"role":"model","parts":)" + One +
           R"(},{"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":"1"}}}]},{"role":"model","parts":)" +
           One +
           R"(},{"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":"2"}}}]})"},
      {"a call another provider made",
       {Q, Request("", "toolu_01", R"({"ticker":"A"})"), Result("toolu_01", "80500")},
       R"({"role":"model","parts":[{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"A"}},"thoughtSignature":"skip_thought_signature_validator"}]},{"role":"user","parts":[{"functionResponse":{"name":"get_yahoo_price","response":{"result":"80500"}}}]})"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TJson Contents = TJson::parse(BuildGeminiToolsBody(C.History, "m", Tools))["contents"];
    Contents.erase(Contents.begin());
    EXPECT_EQ(CompactJson(Contents), CompactJson(TJson::parse("[" + C.Contents + "]")));
  }
}

TEST_F(ToolCallsTest, APdfReachesEveryAgentRequestInItsProvidersForm) {
  TChatHistory H{Files.UserWith("요약해 줘", Files.Pdf)};
  std::filesystem::remove_all(Files.Folder);  // what was read at send time is what goes
  const std::string Block = "=== [첨부문서: r.pdf] ===\r\n" + Files.PdfText + "\r\n";
  const std::string Pdf = Files.PdfBase64;
  const std::pair<std::string, TJson> Cases[] = {
      {BuildChatCompletionsToolsBody(TToolsDialect::OpenAI, H, "m", Tools, SampleNow()),
       TJson::parse(
           R"({"type":"file","file":{"filename":"r.pdf","file_data":"data:application/pdf;base64,)" +
           Pdf + R"("}})")},
      {BuildChatCompletionsToolsBody(TToolsDialect::Deepseek, H, "m", Tools, SampleNow()),
       {{"type", "text"}, {"text", Block}}},
      {BuildChatCompletionsToolsBody(TToolsDialect::Ollama, H, "m", Tools, SampleNow()),
       "요약해 줘\r\n\r\n" + Block},
      {BuildClaudeToolsBody(H, "m", Tools, SampleNow()),
       TJson::parse(
           R"({"type":"document","source":{"type":"base64","media_type":"application/pdf","data":")" +
           Pdf + R"("}})")},
      {BuildGeminiToolsBody(H, "m", Tools),
       TJson::parse(R"({"inline_data":{"mime_type":"application/pdf","data":")" + Pdf + R"("}})")},
  };
  for (const auto& [Body, Expected] : Cases) {
    const std::string Text = CompactJson(TJson::parse(Body));
    EXPECT_NE(Text.find(CompactJson(Expected)), std::string::npos) << Text.substr(0, 2000);
  }
}
