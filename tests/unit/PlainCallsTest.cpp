#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "FakeHttpServer.h"
#include "ProviderFixtures.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "providers/PlainCalls.h"
#include "providers/ProviderHttp.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace kestrill {
void PrintTo(const TPlainReply& R, std::ostream* AOut) {
  static const char* const kStatus[] = {"NotSent", "Answered", "Failed"};
  *AOut << kStatus[static_cast<int>(R.Status)] << " \"" << R.Text << "\"";
}
}  // namespace kestrill

namespace {

using TPlainCall = TPlainReply (*)(const TChatHistory&, const std::string&, const std::string&);

struct TProvider {
  const char* Name;
  TPlainCall Call;
  const char* EnvVar;  // nullptr: Ollama, whose URL is its key
  const char* Path;
  const char* Query;
  THttpHeaders Headers;
  const char* ReplyBody;  // holds the reply " 답변 \n"
  const char* ErrorText;  // for {"error":{"message":"bad key"}}, a failure
  const char* MissingText;
  const char* TransportPrefix;
};

const TProvider kProviders[] = {
    {"gemini",
     CallGeminiAPI,
     "KESTRILL_GEMINI_URL",
     "/v1beta/models/gemini-x:generateContent",
     "key=K-1",
     {{"content-type", "application/json"}},
     R"({"candidates":[{"content":{"parts":[{"text":" 답변 \n"},{"text":"ignored"}]}}]})",
     "오류: 응답을 파싱할 수 없습니다. bad key",
     "오류: 응답을 파싱할 수 없습니다.",
     "통신 에러: "},
    {"openai",
     CallOpenAIAPI,
     "KESTRILL_OPENAI_URL",
     "/v1/chat/completions",
     "",
     {{"authorization", "Bearer K-1"}, {"content-type", "application/json"}},
     R"({"choices":[{"message":{"content":" 답변 \n"}}]})",
     "OpenAI 에러: bad key",
     "오류: 응답을 파싱할 수 없습니다.",
     "네트워크 통신 에러: "},
    {"deepseek",
     CallDeepseekAPI,
     "KESTRILL_DEEPSEEK_URL",
     "/v1/chat/completions",
     "",
     {{"authorization", "Bearer K-1"}, {"content-type", "application/json"}},
     R"({"choices":[{"message":{"content":" 답변 \n"}}]})",
     "Deepseek API 에러: bad key",
     "오류: 응답을 파싱할 수 없습니다.",
     "네트워크 통신 에러: "},
    {"claude",
     CallClaudeAPI,
     "KESTRILL_ANTHROPIC_URL",
     "/v1/messages",
     "",
     {{"x-api-key", "K-1"},
      {"anthropic-version", "2023-06-01"},
      {"content-type", "application/json"}},
     R"({"content":[{"type":"text","text":" 답변 \n"}]})",
     "Claude API 에러: bad key",
     "오류: 응답을 파싱할 수 없습니다.",
     "네트워크 통신 에러: "},
    {"ollama",
     CallOllamaAPI,
     nullptr,
     "/api/chat",
     "",
     {},
     R"({"message":{"role":"assistant","content":" 답변 \n"}})",
     "오류: Ollama 응답에서 텍스트를 찾을 수 없습니다. bad key",
     "오류: Ollama 응답에서 텍스트를 찾을 수 없습니다.",
     "Ollama 통신 에러: "},
};

TPlainReply Answer(const char* AText) { return {TReplyStatus::Answered, AText}; }
TPlainReply Failure(const std::string& AText) { return {TReplyStatus::Failed, AText}; }

// Points the provider at ABaseUrl and calls it with key "K-1" and model "gemini-x" etc.
TPlainReply CallAt(const TProvider& P, const std::string& ABaseUrl, const TChatHistory& H) {
  if (P.EnvVar) {
    setenv(P.EnvVar, ABaseUrl.c_str(), 1);
    return P.Call(H, "K-1", "gemini-x");
  }
  return P.Call(H, ABaseUrl + "/api/chat", "gemini-x");
}

}  // namespace

TEST(PlainCalls, RequestLineAndHeadersAndEveryOutcome) {
  TChatHistory H{CreateChatMessage("user", "안녕")};
  for (const TProvider& P : kProviders) {
    SCOPED_TRACE(P.Name);
    TFakeHttpServer Server;
    Server.Enqueue({200, P.ReplyBody});
    Server.Enqueue({401, R"({"error":{"message":"bad key"}})"});
    Server.Enqueue({502, "<html><body>Bad Gateway</body></html>", "text/html"});
    Server.Enqueue({200, R"({"unexpected":true})"});
    Server.Enqueue({500, R"({"unexpected":true})"});
    Server.Enqueue({503, ""});
    Server.Enqueue({200, ""});
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Answer("답변"));
    TRecordedRequest R = Server.LastRequest();
    EXPECT_EQ(R.Method, "POST");
    EXPECT_EQ(R.Path, P.Path);
    EXPECT_EQ(R.Query, P.Query);
    for (const auto& [Name, Value] : P.Headers) EXPECT_EQ(R.Header(Name), Value) << Name;
    EXPECT_EQ(R.Body.substr(0, 3) == "\xEF\xBB\xBF", false);

    // Every other outcome is a failure: shown, never taken for the model's words.
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Failure(P.ErrorText));
    // A body that came but cannot be read says so, with its status and start (never "nothing
    // came"); a failure status is named wherever the body does not say what went wrong.
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H),
              Failure("오류: 응답을 읽을 수 없습니다(JSON이 아니거나 너무 깊게 중첩되어 있습니다) "
                      "(HTTP 502). 응답 앞부분: <html><body>Bad Gateway</body></html>"));
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Failure(P.MissingText));
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Failure(P.MissingText + std::string(" (HTTP 500)")));
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Failure("오류: 서버가 빈 응답을 보냈습니다 (HTTP 503)."));
    EXPECT_EQ(CallAt(P, Server.BaseUrl(), H), Failure("오류: 응답을 받지 못했습니다."));

    TPlainReply Refused = CallAt(P, "http://127.0.0.1:" + std::to_string(UnusedLocalPort()), H);
    EXPECT_EQ(Refused.Status, TReplyStatus::Failed);
    EXPECT_EQ(Refused.Text.rfind(P.TransportPrefix, 0), 0u) << Refused.Text;
    EXPECT_GT(Refused.Text.size(), std::string(P.TransportPrefix).size());
    if (P.EnvVar) unsetenv(P.EnvVar);
  }
  std::string Ollama =
      CallOllamaAPI(H, "http://127.0.0.1:" + std::to_string(UnusedLocalPort()), "m").Text;
  const std::string Hint = "\r\nOllama가 실행 중인지 확인하세요.";
  ASSERT_GT(Ollama.size(), Hint.size());
  EXPECT_EQ(Ollama.substr(Ollama.size() - Hint.size()), Hint);

  // Ollama's own error form is a text.
  TFakeHttpServer Server;
  Server.SetDefault({404, R"({"error":"model \"m\" not found, try pulling it first"})"});
  EXPECT_EQ(CallOllamaAPI(H, Server.BaseUrl() + "/api/chat", "m"),
            Failure("오류: Ollama 응답에서 텍스트를 찾을 수 없습니다. model \"m\" not found, try "
                    "pulling it first"));
}

TEST(PlainCalls, ABlockedQuestionSaysSoWithItsReason) {
  TFakeHttpServer Server;
  Server.Enqueue({200, R"({"promptFeedback":{"blockReason":"PROHIBITED_CONTENT"}})"});
  Server.Enqueue(
      {200, R"({"promptFeedback":{"blockReason":"OTHER","blockReasonMessage":"정책 위반"}})"});
  setenv("KESTRILL_GEMINI_URL", Server.BaseUrl().c_str(), 1);
  const TChatHistory H{CreateChatMessage("user", "x")};
  EXPECT_EQ(CallGeminiAPI(H, "k", "m"),
            Failure("오류: Gemini가 이 질문을 차단했습니다 (차단 사유: PROHIBITED_CONTENT)."));
  EXPECT_EQ(CallGeminiAPI(H, "k", "m"),
            Failure("오류: Gemini가 이 질문을 차단했습니다 (차단 사유: OTHER, 정책 위반)."));
  unsetenv("KESTRILL_GEMINI_URL");
}

TEST(PlainCalls, TimeOutIsATransportFailure) {
  SetProviderTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(1000));
  TSilentListener Silent;
  setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
  std::string R = CallOpenAIAPI({CreateChatMessage("user", "x")}, "k", "m").Text;
  unsetenv("KESTRILL_OPENAI_URL");
  SetProviderTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(300000));
  EXPECT_EQ(R.rfind("네트워크 통신 에러: ", 0), 0u) << R;
  EXPECT_NE(R.find("Timeout"), std::string::npos) << R;
}

TEST(PlainCalls, AttachmentsReachEachProviderInItsOwnForm) {
  TAttachmentFiles F;
  TChatHistory H = AttachmentConversation(F);
  // Requests are built from the bytes read at send time: the files may be gone since.
  std::filesystem::remove_all(F.Folder);
  auto V = StandardValues(F);
  V["$NOIMG"] =
      "=== [첨부 이미지: a.png] ===\r\n(이 모델에는 이미지를 보낼 수 없어 빠졌습니다.)\r\n";
  V["$PDFBLOCK"] = "=== [첨부문서: r.pdf] ===\r\n" + F.PdfText + "\r\n";
  V["$CSVBLOCK"] = "=== [첨부문서: report.csv] ===\r\n" + F.CsvText + "\r\n";
  const std::string Expected[] = {
      // Gemini reads images, PDFs and text files itself.
      ExpectedBody(R"({"contents":[
        {"role":"user","parts":[{"text":"see"},{"inline_data":{"mime_type":"image/png","data":"$PNG"}}]},
        {"role":"model","parts":[{"text":"  보았습니다  "}]},
        {"role":"user","parts":[{"inline_data":{"mime_type":"application/pdf","data":"$PDF"}}]},
        {"role":"user","parts":[{"text":"표 요약"},{"inline_data":{"mime_type":"text/csv","data":"$CSV"}}]}],
        "tools":[{"googleSearch":{}}]})",
                   V),
      // OpenAI: an image URL, a PDF as a file part, other documents as their text.
      ExpectedBody(R"({"model":"gemini-x","messages":[
        {"role":"user","content":[{"type":"text","text":"see"},{"type":"image_url","image_url":{"url":"data:image/jpeg;base64,$PNG"}}]},
        {"role":"assistant","content":"  보았습니다  "},
        {"role":"user","content":[{"type":"text","text":""},{"type":"file","file":{"filename":"r.pdf","file_data":"data:application/pdf;base64,$PDF"}}]},
        {"role":"user","content":[{"type":"text","text":"표 요약"},{"type":"text","text":"$CSVBLOCK"}]}]})",
                   V),
      // DeepSeek takes text parts only: the PDF's text, and a word about the image.
      ExpectedBody(R"({"model":"gemini-x","messages":[
        {"role":"user","content":[{"type":"text","text":"see"},{"type":"text","text":"$NOIMG"}]},
        {"role":"assistant","content":"  보았습니다  "},
        {"role":"user","content":[{"type":"text","text":""},{"type":"text","text":"$PDFBLOCK"}]},
        {"role":"user","content":[{"type":"text","text":"표 요약"},{"type":"text","text":"$CSVBLOCK"}]}]})",
                   V),
      ExpectedBody(R"({"model":"gemini-x","max_tokens":4096,"messages":[
        {"role":"user","content":[{"type":"image","source":{"type":"base64","media_type":"image/png","data":"$PNG"}},{"type":"text","text":"see"}]},
        {"role":"assistant","content":"  보았습니다  "},
        {"role":"user","content":[{"type":"document","source":{"type":"base64","media_type":"application/pdf","data":"$PDF"}}]},
        {"role":"user","content":[{"type":"text","text":"$CSVBLOCK"},{"type":"text","text":"표 요약"}]}]})",
                   V),
      // Ollama: one string per message.
      ExpectedBody(R"({"model":"gemini-x","stream":false,"messages":[
        {"role":"user","content":"see\r\n\r\n$NOIMG"},{"role":"assistant","content":"  보았습니다  "},
        {"role":"user","content":"$PDFBLOCK"},{"role":"user","content":"표 요약\r\n\r\n$CSVBLOCK"}]})",
                   V),
  };
  for (std::size_t I = 0; I < std::size(kProviders); ++I) {
    SCOPED_TRACE(kProviders[I].Name);
    TFakeHttpServer Server;
    Server.SetDefault({200, kProviders[I].ReplyBody});
    EXPECT_EQ(CallAt(kProviders[I], Server.BaseUrl(), H), Answer("답변"));
    EXPECT_EQ(Server.LastRequest().Body, Expected[I]);
    if (kProviders[I].EnvVar) unsetenv(kProviders[I].EnvVar);
  }
}

TEST(PlainCalls, ChatbotAfterAnAgentRunSendsRolesTheApisAccept) {
  TAttachmentFiles F;
  TChatHistory H =
      AgentRunConversation(F);  // user, model, user+csv, assistant, 2 × (request, result)
  TFakeHttpServer Server;
  Server.SetDefault(
      {200,
       R"({"content":[{"type":"text","text":"ok"}],"candidates":[{"content":{"parts":[{"text":"ok"}]}}]})"});
  setenv("KESTRILL_ANTHROPIC_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_GEMINI_URL", Server.BaseUrl().c_str(), 1);
  auto Roles = [](const TJson& AList) {
    std::vector<std::string> Out;
    for (const auto& E : AList) Out.push_back(E["role"]);
    return Out;
  };
  EXPECT_EQ(CallClaudeAPI(H, "k", "claude-x"), Answer("ok"));
  auto Claude = TJson::parse(Server.LastRequest().Body)["messages"];
  EXPECT_EQ(Roles(Claude),
            (std::vector<std::string>{"user", "assistant", "user", "assistant", "user", "user"}));
  EXPECT_EQ(Claude[4]["content"], R"({"price": 80500})");
  EXPECT_EQ(Claude[5]["content"], "재무 정보");

  EXPECT_EQ(CallGeminiAPI(H, "k", "gemini-x"), Answer("ok"));
  auto Gemini = TJson::parse(Server.LastRequest().Body)["contents"];
  EXPECT_EQ(Roles(Gemini),
            (std::vector<std::string>{"user", "model", "user", "model", "user", "user"}));
  for (const auto& E : Gemini) EXPECT_FALSE(E["parts"].empty());
  unsetenv("KESTRILL_ANTHROPIC_URL");
  unsetenv("KESTRILL_GEMINI_URL");
}

TEST(CallAPI, PicksTheProviderAndItsSettings) {
  std::string Dir = MakeTempFolder();
  TConfig Config(Dir + "/Kestrill.Ini");
  TChatHistory H{CreateChatMessage("user", "hi")};
  TFakeHttpServer Server;
  Server.SetDefault(
      {200,
       R"({"choices":[{"message":{"content":"openai"}}],"content":[{"type":"text","text":"claude"}],"message":{"content":"ollama"}})"});
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
  setenv("KESTRILL_ANTHROPIC_URL", Server.BaseUrl().c_str(), 1);

  // Empty keys and an unknown index make no request at all.
  for (int Index : {0, 1, 2, 3, 4, 5, -1})
    EXPECT_EQ(CallAPI(Index, Config, H), TPlainReply{}) << Index;  // not sent
  EXPECT_EQ(Server.RequestCount(), 0u);

  Config.Write(keys::OpenAIKey, "sk-1");
  EXPECT_EQ(CallAPI(1, Config, H), Answer("openai"));
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["model"], "gpt-5-nano");
  EXPECT_EQ(Server.LastRequest().Header("authorization"), "Bearer sk-1");

  Config.Write(keys::ClaudeKey, "ck");
  EXPECT_EQ(CallAPI(2, Config, H), Answer("claude"));
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["model"], "claude-sonnet-4-6");
  Config.Write(keys::ClaudeModel, "claude-opus-x");  // read again at every call
  CallAPI(2, Config, H);
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["model"], "claude-opus-x");

  Config.Write(keys::OllamaURL, Server.BaseUrl() + "/api/chat");
  EXPECT_EQ(CallAPI(4, Config, H), Answer("ollama"));
  EXPECT_EQ(Server.LastRequest().Path, "/api/chat");
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["model"], "gemma4:26b");
  unsetenv("KESTRILL_OPENAI_URL");
  unsetenv("KESTRILL_ANTHROPIC_URL");
}
