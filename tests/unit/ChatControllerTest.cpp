#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "RecordingView.h"
#include "TestEnv.h"
#include "core/HttpClient.h"
#include "core/JsonPath.h"
#include "engine/ChatController.h"
#include "view/PageText.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using namespace kestrill::testing;
using TScripts = std::vector<std::string>;

namespace {

class ChatControllerTest : public ::testing::Test {
 protected:
  std::string Dir = UseFreshDataFolder();
  TConfig Config{Dir + "/Kestrill.Ini"};
  TFakeHttpServer Server;
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  TChatController Controller{Config, View, Queue, Dialogs, Controls};

  void SetUp() override {
    setenv("TMPDIR", Dir.c_str(), 1);
    setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
    Config.Write(keys::OpenAIKey, "sk-1");
    Server.SetDefault({200, R"({"choices":[{"message":{"content":"  답변입니다 \n"}}]})"});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    unsetenv("KESTRILL_OPENAI_URL");
  }
  // Types a prompt and sends it; returns the scripts the send itself produced.
  TScripts Send(const std::string& APrompt) {
    View.Scripts.clear();
    Controls.Prompt = APrompt;
    Controller.btnSendClick();
    return View.Scripts;
  }
};

}  // namespace

TEST_F(ChatControllerTest, CreateLoadsThePageAndWaitsForIt) {
  Controller.FormCreate();
  EXPECT_FALSE(Controls.Send);
  EXPECT_EQ(Controls.Title, "");
  ASSERT_EQ(View.Urls.size(), 1u);
  EXPECT_TRUE(std::regex_match(View.Urls[0], std::regex("file:///.*/chat_ui\\.html")));
  EXPECT_FALSE(Controller.MemoInputReturnPressed(true));  // Shift+Return: a line break
  Controls.Prompt = "hi";
  EXPECT_TRUE(Controller.MemoInputReturnPressed(false));  // swallowed, and nothing is sent
  EXPECT_TRUE(Controller.ChatHistory().empty());
  Controller.ChatWebBrowserDidFinishLoad();
  EXPECT_TRUE(Controls.Send);
}

TEST_F(ChatControllerTest, ChatbotTurnInOrder) {
  Controller.SetChatFileState(cfsOpen);
  TScripts Sent = Send("  삼성전자 주가?\r\n");
  ASSERT_EQ(Controller.ChatHistory().size(), 1u);
  const TChatMessage User = Controller.ChatHistory()[0];
  EXPECT_EQ(User.Text, "삼성전자 주가?");
  EXPECT_EQ(Sent,
            (TScripts{"appendChat(true, \"" + User.MsgID +
                          "\", \"%EC%82%BC%EC%84%B1%EC%A0%84%EC%9E%90+%EC%A3%BC%EA%B0%80%3F\");",
                      "showLoading();"}));
  EXPECT_FALSE(Controls.Send);
  EXPECT_EQ(Controls.Prompt, "");
  // The question alone is a change: a window closed before the answer still saves it.
  EXPECT_EQ(Controller.ChatFileState(), cfsModified);

  View.Scripts.clear();
  ASSERT_TRUE(Queue.RunNext());
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  const TChatMessage Reply = Controller.ChatHistory()[1];
  EXPECT_EQ(Reply.Role, "model");
  EXPECT_EQ(Reply.Text, "답변입니다");
  EXPECT_EQ(View.Scripts,
            (TScripts{"removeLoading();",
                      "appendChat(false, \"" + Reply.MsgID +
                          "\", \"%EB%8B%B5%EB%B3%80%EC%9E%85%EB%8B%88%EB%8B%A4\");",
                      "endTurnLines(false);"}));
  EXPECT_TRUE(Controls.Send);
  EXPECT_EQ(Controller.ChatFileState(), cfsModified);
}

TEST_F(ChatControllerTest, BlankPromptIsIgnored) {
  TScripts Sent = Send(" \r\n\t");
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(Controls.Prompt, " \r\n\t");
  EXPECT_TRUE(Controls.Send);
  EXPECT_TRUE(Controller.ChatHistory().empty());
}

TEST_F(ChatControllerTest, NoReplyTakesThePromptBackMarksItAndKeepsTheState) {
  // Chatbot and agent mode alike: a question nothing could be sent for leaves the conversation,
  // and its bubble says so.
  for (int Mode : {0, 1}) {
    SCOPED_TRACE(Mode);
    Controller.NewChat();
    Controller.ChatWebBrowserDidFinishLoad();
    Config.Write(keys::OpenAIKey, "");
    Controls.Mode = Mode;
    Controls.Provider = 1;
    Controller.SetChatFileState(cfsOpen);
    Send("hi");
    const std::string Id = Controller.ChatHistory()[0].MsgID;
    View.Scripts.clear();
    while (!Controls.Send) ASSERT_TRUE(Queue.RunNext());
    EXPECT_TRUE(Controller.ChatHistory().empty());
    const std::string Mark = "markNotSent(\"" + Id + "\");";
    const TScripts Expected =
        Mode == 0 ? TScripts{"removeLoading();", Mark, "endTurnLines(false);"}
                  : TScripts{Mark, "removeLoading();", "endTurnLines(false);"};
    EXPECT_EQ(View.Scripts, Expected);
    EXPECT_EQ(Controls.Prompt, "hi");  // back in the input box, not lost
    // Marked changed by the send; saving again what the file holds loses nothing.
    EXPECT_EQ(Controller.ChatFileState(), cfsModified);
    EXPECT_EQ(Server.RequestCount(), 0u);
  }
  // Both modes say which key is missing and offer the settings.
  const std::string Offer =
      "OpenAI API 키 값을 설정하지 않았습니다.\r\n환경설정에서 키를 넣거나, 오른쪽 위에서 키를 "
      "넣은 제공자를 고르세요.\r\n\r\n환경설정을 열까요?";
  EXPECT_EQ(Dialogs.Questions, (TScripts{Offer, Offer}));
  EXPECT_TRUE(Dialogs.Alarms.empty());
  EXPECT_EQ(Controls.SettingsOpened, 0);  // answered No
}

TEST_F(ChatControllerTest, AFailureIsShownButNeverStoredAsTheModelsWords) {
  const std::pair<TCannedResponse, std::string> Cases[] = {
      // The common causes lead with what to do; the provider's own words and the status stay.
      {{401, R"({"error":{"message":"Incorrect API key"}})"},
       "API 키가 올바르지 않거나 권한이 없습니다 (HTTP 401) — 환경설정에서 키를 확인하세요.\n"
       "OpenAI 에러: Incorrect API key"},
      {{429, R"({"error":{"message":"Rate limit reached"}})"},
       "요청 한도를 넘었습니다 (HTTP 429) — 잠시 후 다시 시도하세요.\nOpenAI 에러: Rate limit "
       "reached"},
      {{502, "<html>Bad Gateway</html>", "text/html"},
       "제공자 서버에 오류가 났습니다 (HTTP 502) — 잠시 후 다시 시도하세요.\n"
       "오류: 응답을 읽을 수 없습니다(JSON이 아니거나 너무 깊게 중첩되어 있습니다) (HTTP 502). "
       "응답 앞부분: "
       "<html>Bad Gateway</html>"},
      {{200, R"({"choices":[]})"}, "오류: 응답을 파싱할 수 없습니다."},
  };
  for (const auto& [Response, Text] : Cases) {
    SCOPED_TRACE(Text);
    Controller.NewChat();
    Controller.ChatWebBrowserDidFinishLoad();
    Controller.SetChatFileState(cfsOpen);
    Server.Enqueue(Response);
    Send("질문");
    const std::string Id = Controller.ChatHistory()[0].MsgID;
    View.Scripts.clear();
    ASSERT_TRUE(Queue.RunNext());
    EXPECT_TRUE(Controller.ChatHistory().empty());
    EXPECT_EQ(View.Scripts, (TScripts{"removeLoading();",
                                      "appendChat(false, \"\", \"" + EncodeForPage(Text) + "\");",
                                      "markNotSent(\"" + Id + "\");", "endTurnLines(false);"}));
    EXPECT_TRUE(Controls.Send);
    EXPECT_EQ(Controller.ChatFileState(), cfsModified);
  }
  // The next question goes alone: no failed question and no error text is sent as the chat.
  Send("다시");
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["messages"],
            TJson::parse(R"([{"role":"user","content":"다시"}])"));
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  EXPECT_EQ(Controller.ChatHistory()[1].Text, "답변입니다");
}

TEST_F(ChatControllerTest, AFileThatIsNotTextIsRefusedAtAttachTime) {
  WriteTestFile(Dir + "/data.bin", std::string("\x7F"
                                               "ELF\x02\x01\x01\0\0\0",
                                               10));
  WriteTestFile(Dir + "/notes.md", "# 메모\r\n목표가 90,000원\r\n");
  EXPECT_FALSE(Controller.AttachFile(Dir + "/data.bin"));
  EXPECT_EQ(Controller.AttachedFilePath(), "");
  EXPECT_EQ(
      Dialogs.Alarms,
      TScripts{"이 파일은 첨부할 수 없습니다: data.bin\r\n이미지(JPG, PNG, WEBP), PDF, 텍스트 "
               "파일(TXT, CSV, MD 등)만 보낼 수 있습니다."});
  EXPECT_TRUE(Controller.AttachFile(Dir + "/notes.md"));  // any text goes, whatever its name
  EXPECT_EQ(Controller.AttachedFilePath(), Dir + "/notes.md");

  // One that got past the attach command is held back at the send; the question still goes.
  Controller.SetAttachedFilePath(Dir + "/data.bin");
  Send("요약");
  EXPECT_EQ(Controller.ChatHistory()[0].AttachedFilePath, "");
  EXPECT_EQ(Controller.ChatHistory()[0].ImageBase64, "");
  EXPECT_EQ(Dialogs.Alarms.size(), 2u);
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["messages"][0]["content"], "요약");
}

TEST_F(ChatControllerTest, AttachmentGoesWithOnePromptOnly) {
  std::string File = Dir + "/note.txt";
  WriteTestFile(File, "메모");
  Controller.SetAttachedFilePath(File);
  Send("see");
  const TChatMessage User = Controller.ChatHistory()[0];
  EXPECT_EQ(User.AttachedFilePath, File);
  EXPECT_EQ(User.MimeType, "text/plain");
  EXPECT_EQ(User.ImageBase64, "66mU66qo");
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(Controller.AttachedFilePath(), "");
  EXPECT_NE(Server.LastRequest().Body.find("=== [첨부문서: note.txt] ===\\r\\n메모\\r\\n"),
            std::string::npos);
}

TEST_F(ChatControllerTest, LateResultNeverLandsInAnotherChat) {
  Send("first chat");
  Controller.NewChat();  // the user moved on before the reply came
  EXPECT_TRUE(Controller.ChatHistory().empty());
  EXPECT_TRUE(std::regex_match(Controls.Title, std::regex("\\d\\d-\\d\\d \\d\\d:\\d\\d 의 대화")));
  EXPECT_EQ(Controller.ChatFileState(), cfsNew);
  Queue.RunNext(2000);  // whatever the old turn posts is dropped
  EXPECT_TRUE(Controller.ChatHistory().empty());

  Controls.Send = true;
  Send("second chat");
  ASSERT_TRUE(Queue.RunNext());
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  EXPECT_EQ(Controller.ChatHistory()[0].Text, "second chat");
}

TEST_F(ChatControllerTest, ShutdownCancelsAPendingRequestAndDropsItsResult) {
  TSilentListener Silent;
  setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
  Send("slow");
  auto Start = std::chrono::steady_clock::now();
  Controller.Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(Controller.Busy());
  EXPECT_TRUE(Controller.IsTerminating());
  EXPECT_FALSE(Queue.RunNext(300));
  EXPECT_EQ(Controller.ChatHistory().size(), 1u);
}

TEST_F(ChatControllerTest, AgentSendMarksAnOpenChatModifiedAtOnce) {
  Controls.Mode = 1;
  Controller.SetChatFileState(cfsOpen);
  Send("hi");
  EXPECT_EQ(Controller.ChatFileState(), cfsModified);
  Controller.Shutdown();
}

TEST_F(ChatControllerTest, NoModeSelectedEndsTheTurnAtOnce) {
  Controls.Mode = -1;
  TScripts Sent = Send("hi");
  ASSERT_GE(Sent.size(), 2u);
  EXPECT_EQ(Sent[Sent.size() - 2], "removeLoading();");
  EXPECT_EQ(Sent.back().rfind("markNotSent(", 0), 0u);
  EXPECT_TRUE(Controls.Send);
  EXPECT_TRUE(Controller.ChatHistory().empty());
}

TEST(FirstStart, AnEmptyChatSaysWhereToEnterAKeyUntilOneIsSet) {
  const std::string Home = UseFreshDataFolder();
  TConfig Config(Home + "/Kestrill.Ini");
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  TChatController Controller(Config, View, Queue, Dialogs, Controls);
  Controller.FormCreate();
  Controller.ChatWebBrowserDidFinishLoad();
  const std::string Note =
      "appendChat(false, \"\", \"" + EncodeForPage(FirstStartNote(Config)) + "\");";
  EXPECT_EQ(View.Scripts, (TScripts{Note, "showStarters();"}));
  EXPECT_NE(FirstStartNote(Config).find("환경설정"), std::string::npos);

  // A send on the provider without a key says which and offers the settings, where the user
  // sets up OpenAI: the box follows, and the note goes at once.
  Controls.Provider = 0;
  Controls.Mode = 1;
  Controls.Prompt = "질문";
  Dialogs.NextAnswer = true;
  Controls.WhileSettingsOpen = [&] { Config.Write(keys::OpenAIKey, "sk-1"); };
  Controller.btnSendClick();
  while (!Controls.Send) ASSERT_TRUE(Queue.RunNext());
  ASSERT_EQ(Dialogs.Questions.size(), 1u);
  EXPECT_EQ(Dialogs.Questions[0],
            "Gemini API 키 값을 설정하지 않았습니다.\r\n환경설정에서 키를 넣거나, 오른쪽 위에서 "
            "키를 넣은 제공자를 고르세요.\r\n\r\n환경설정을 열까요?");
  EXPECT_EQ(Controls.SettingsOpened, 1);
  EXPECT_EQ(Controls.Prompt, "질문");  // the question waits in the input box
  View.Scripts.clear();
  Controller.SettingsSaved();  // as the window does when the dialog is confirmed
  EXPECT_EQ(Controls.Provider, 1);
  EXPECT_EQ(View.Scripts, (TScripts{kClearPageScript, "showStarters();"}));
  // With two set up, the choice stays the user's.
  Controls.Provider = 2;
  Config.Write(keys::GeminiKey, "g");
  Controller.SettingsSaved();
  EXPECT_EQ(Controls.Provider, 2);
  for (auto Key : {keys::GeminiKey, keys::OllamaURL}) {
    TConfig Fresh(Home + "/Other.Ini");
    Fresh.Write(Key, "x");
    EXPECT_EQ(FirstStartNote(Fresh), "");
    Fresh.Write(Key, "");
  }
}

TEST_F(ChatControllerTest, ReplyCapComesFromTheSettingsBeforeEachTurn) {
  const std::string Big =
      R"({"choices":[{"message":{"content":")" + std::string(1536 << 10, 'x') + R"("}}]})";
  // Zero or negative: the default 32 MB; a setting of 1 MB refuses a reply of 1.5 MB; a huge
  // one is held at 4 GB.
  const std::pair<int, std::size_t> Cases[] = {{0, std::size_t{32} << 20},
                                               {-3, std::size_t{32} << 20},
                                               {1, std::size_t{1} << 20},
                                               {999999, std::size_t{4096} << 20}};
  for (const auto& [Setting, Expected] : Cases) {
    SCOPED_TRACE(Setting);
    Config.Write(keys::MaxReplyMB, Setting);
    Controller.NewChat();
    Controller.ChatWebBrowserDidFinishLoad();
    Server.Enqueue({200, Big});
    Send("질문");
    EXPECT_EQ(ProviderReplyLimit(), Expected);
    ASSERT_TRUE(Queue.RunNext());
    const bool Refused = Expected < Big.size();
    EXPECT_EQ(Controller.ChatHistory().size(), Refused ? 0u : 2u);
    std::string Shown;
    for (const std::string& S : View.Scripts) Shown += S;
    EXPECT_EQ(Shown.find(EncodeForPage("서버 응답이 너무 커서 받기를 중단했습니다")) !=
                  std::string::npos,
              Refused);
  }
  Config.Write(keys::MaxToolBodyMB, 2);
  Send("다시");
  EXPECT_EQ(ToolBodyLimit(), std::size_t{2} << 20);
  ASSERT_TRUE(Queue.RunNext());
  SetResponseLimits(0, 0);
}

TEST_F(ChatControllerTest, AnUnsentQuestionIsSentAgainFromItsBubble) {
  Server.Enqueue({503, ""});
  Send("삼성전자 주가?");
  const std::string Id = Controller.ChatHistory()[0].MsgID;
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_TRUE(Controller.ChatHistory().empty());
  // The user starts typing another question, then asks for the first one again.
  Controls.Prompt = "다른 질문";
  Controller.ChatWebBrowserShouldStartLoadWithRequest("chatui://retry/" + Id);
  ASSERT_EQ(Controller.ChatHistory().size(), 1u);
  EXPECT_EQ(Controller.ChatHistory()[0].Text, "삼성전자 주가?");
  EXPECT_EQ(Controls.Prompt, "다른 질문");
  ASSERT_TRUE(Queue.RunNext());
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  EXPECT_EQ(Controller.ChatHistory()[1].Text, "답변입니다");
  // A starter question fills the input box, decoded.
  Controller.ChatWebBrowserShouldStartLoadWithRequest(
      "chatui://prompt/%EC%BD%94%EC%8A%A4%ED%94%BC%20%EC%98%A4%EB%8A%98%20%EC%8B%9C%ED%99%A9");
  EXPECT_EQ(Controls.Prompt, "코스피 오늘 시황");
  // Ctrl+S says where it saved.
  Controller.MenuSaveChatClick();
  ASSERT_EQ(Controls.StatusMessages.size(), 1u);
  EXPECT_EQ(Controls.StatusMessages[0].rfind("저장했습니다: ", 0), 0u);
}
