#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "RecordingView.h"
#include "TestEnv.h"
#include "engine/ChatController.h"

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
  EXPECT_EQ(Controller.ChatFileState(), cfsOpen);  // chatbot mode changes it only on a reply

  View.Scripts.clear();
  ASSERT_TRUE(Queue.RunNext());
  ASSERT_EQ(Controller.ChatHistory().size(), 2u);
  const TChatMessage Reply = Controller.ChatHistory()[1];
  EXPECT_EQ(Reply.Role, "model");
  EXPECT_EQ(Reply.Text, "답변입니다");
  EXPECT_EQ(View.Scripts,
            (TScripts{"removeLoading();",
                      "appendChat(false, \"" + Reply.MsgID +
                          "\", \"%EB%8B%B5%EB%B3%80%EC%9E%85%EB%8B%88%EB%8B%A4\");"}));
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

TEST_F(ChatControllerTest, NoReplyTakesThePromptBackAndKeepsTheState) {
  Config.Write(keys::OpenAIKey, "");
  Controller.SetChatFileState(cfsOpen);
  Send("hi");
  View.Scripts.clear();
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_TRUE(Controller.ChatHistory().empty());
  EXPECT_EQ(View.Scripts, (TScripts{"removeLoading();"}));
  EXPECT_TRUE(Controls.Send);
  EXPECT_EQ(Controller.ChatFileState(), cfsOpen);
  EXPECT_EQ(Server.RequestCount(), 0u);
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
  EXPECT_EQ(Sent.back(), "removeLoading();");
  EXPECT_TRUE(Controls.Send);
  EXPECT_TRUE(Controller.ChatHistory().empty());
}
