#include <gtest/gtest.h>

#include <filesystem>

#include "RecordingView.h"
#include "TestEnv.h"
#include "core/FileIO.h"
#include "core/TextUtil.h"
#include "view/ChatPage.h"
#include "view/PageText.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using namespace kestrill::testing;
using TScripts = std::vector<std::string>;

TEST(PageText, EncodeForPage) {
  const std::pair<std::string, std::string> Cases[] = {
      {"a b\nc", "a+b%0Ac"},
      {"1+1=2", "1%2B1%3D2"},
      {"AZaz09!$'()*-.@_", "AZaz09!$'()*-.@_"},
      {"\"\\%&#~\r\t", "%22%5C%25%26%23%7E%0D%09"},
      {"한", "%ED%95%9C"},
      {"😀", "%F0%9F%98%80"},        // a surrogate pair is one character
      {"bad\xFF", "bad%EF%BF%BD"},  // ill-formed UTF-8 cannot reach the page's decoder
      {"", ""},
  };
  for (const auto& [In, Out] : Cases) EXPECT_EQ(EncodeForPage(In), Out) << In;
}

TEST(PageText, EscapeForJS) {
  EXPECT_EQ(EscapeForJS("a\"b\\c/d\b\t\n\f\re"), R"("a\"b\\c\/d\b\t\n\f\re")");
  EXPECT_EQ(EscapeForJS("한글 \x01"), "\"한글 \x01\"");
  EXPECT_EQ(EscapeForJS(""), "\"\"");
}

TEST(ViewBridge, AddMessageToWebScriptsForEachKindOfMessage) {
  std::string Dir = MakeTempFolder();
  WriteTestFile(Dir + "/photo.JPG", "jpegbytes");
  WriteTestFile(Dir + "/report.pdf", "%PDF");
  const std::string B64 = Base64Encode("jpegbytes");
  const std::string Id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  struct TCase {
    const char* Name;
    std::string Text, File;
    bool IsUser;
    std::string MsgId;
    TScripts Expected;
  };
  const TCase Cases[] = {
      {"nothing", "", "", true, Id, {}},
      {"document",
       "hi",
       Dir + "/report.pdf",
       true,
       Id,
       {R"(appendFileMessage('user', "report.pdf");)",
        R"(appendChat(true, ")" + Id + R"(", "hi");)"}},
      {"image by extension",
       "보세요",
       Dir + "/photo.JPG",
       true,
       Id,
       {"appendImageMessage('user', 'image/jpg', '" + B64 + "');",
        R"(appendChat(true, ")" + Id + R"(", "%EB%B3%B4%EC%84%B8%EC%9A%94");)"}},
      {"missing image",
       "x",
       Dir + "/gone.png",
       true,
       Id,
       {R"(appendChat(true, ")" + Id + R"(", "x");)"}},
      {"file without text",
       "",
       Dir + "/report.pdf",
       false,
       Id,
       {R"(appendFileMessage('model', "report.pdf");)",
        R"(appendChat(false, ")" + Id + R"(", "");)"}},
      {"status line",
       "조회 중...",
       "",
       false,
       "",
       {R"(appendChat(false, "", "%EC%A1%B0%ED%9A%8C+%EC%A4%91...");)"}},
      {"reply", "a b\nc", "", false, Id, {R"(appendChat(false, ")" + Id + R"(", "a+b%0Ac");)"}},
      {"hostile names",
       "x",
       Dir + "/it's\");alert(1);.txt",
       true,
       "\");alert(2);//",
       {R"(appendFileMessage('user', "it's\");alert(1);.txt");)",
        R"(appendChat(true, "\");alert(2);\/\/", "x");)"}},
  };
  for (const TCase& C : Cases) {
    TRecordingView View;
    AddMessageToWeb(View, C.Text, C.File, C.IsUser, C.MsgId);
    EXPECT_EQ(View.Scripts, C.Expected) << C.Name;
  }
}

TEST(ViewBridge, RefreshChatUIRedrawsEveryTextWithoutAttachments) {
  TChatMessage User = CreateChatMessage("user", "질문");
  User.AttachedFilePath = "/tmp/a.png";
  TChatMessage Call = CreateChatMessage("assistant", "");
  TChatMessage Reply = CreateChatMessage("model", "답 1");
  TRecordingView View;
  RefreshChatUI(View, {User, Call, Reply});
  EXPECT_EQ(
      View.Scripts,
      (TScripts{"clearChat();", "appendChat(true, \"" + User.MsgID + "\", \"%EC%A7%88%EB%AC%B8\");",
                "appendChat(false, \"" + Call.MsgID + "\", \"\");",
                "appendChat(false, \"" + Reply.MsgID + "\", \"%EB%8B%B5+1\");"}));

  TChatHistory History{User, Reply};
  TRecordingView Cleared;
  ClearChatHistory(History, Cleared);
  EXPECT_TRUE(History.empty());
  EXPECT_EQ(Cleared.Scripts, (TScripts{"document.body.innerHTML = \"\";"}));
}

TEST(ViewBridge, LoadDefaultHTMLWritesThePageWithBomAndNavigatesToIt) {
  std::string Tmp = MakeTempFolder();
  setenv("TMPDIR", Tmp.c_str(), 1);
  TRecordingView View;
  LoadDefaultHTML(View);
  LoadDefaultHTML(View);  // replaces the file
  unsetenv("TMPDIR");
  std::string Expected = Tmp + "/kestrill-" + std::to_string(getuid()) + "/chat_ui.html";
  EXPECT_EQ(View.Urls, (TScripts{"file://" + Expected, "file://" + Expected}));
  EXPECT_EQ(ReadFileBytes(Expected), "\xEF\xBB\xBF" + ChatPageHtml());
  EXPECT_EQ(std::filesystem::status(Tmp + "/kestrill-" + std::to_string(getuid())).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  // The page is whole and needs nothing from the network.
  const std::string& Html = ChatPageHtml();
  EXPECT_EQ(Html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(Html.find("function appendChat("), std::string::npos);
  EXPECT_EQ(Html.find("<script src"), std::string::npos);
  EXPECT_EQ(Html.find("cdn"), std::string::npos);
}

TEST(ViewBridge, PageFileUrlSurvivesAnyFolderName) {
  EXPECT_EQ(FileUrlOfPath("/tmp/a #b%c?/한/chat_ui.html"),
            "file:///tmp/a%20%23b%25c%3F/%ED%95%9C/chat_ui.html");
}
