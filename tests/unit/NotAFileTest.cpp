// FIFOs, links to devices and giant files where the program's own files or an attachment should
// be: the program starts, says which file it could not use, and never hangs nor aborts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "NotAFile.h"
#include "RecordingView.h"
#include "TestEnv.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "engine/ChatController.h"
#include "storage/ChatJson.h"

using namespace kestrill;
using namespace kestrill::testing;
namespace fs = std::filesystem;

namespace {

using TMake = std::function<void(const std::string&)>;

struct TNotAFile {
  const char* Name;
  TMake Make;
};

const TNotAFile kNotFiles[] = {
    {"FIFO", MakeFifo},
    {"/dev/zero", [](const std::string& P) { MakeLink("/dev/zero", P); }},
    {"/dev/urandom", [](const std::string& P) { MakeLink("/dev/urandom", P); }},
};

// What a window started in the current HOME told its user, up to the moment it is shown.
struct TStart {
  std::string SettingsFile;
  std::vector<std::string> Alarms;
};

TStart StartWindow() {
  TStart Out;
  TConfig Config(SettingsFilePath());
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  TChatController Controller(Config, View, Queue, Dialogs, Controls);
  Controller.FormCreate();
  Controller.ChatWebBrowserDidFinishLoad();
  Controller.FormShow();
  Out.SettingsFile = Config.FileName();
  Out.Alarms = Dialogs.Alarms;
  return Out;
}

}  // namespace

TEST(NotAFile, TheWindowStartsPastSettingsCatalogueAndUserDirsThatAreNoFiles) {
  for (const TNotAFile& Kind : kNotFiles) {
    const std::string Home = UseFreshDataFolder();
    const std::string Data = Home + "/Documents/Kestrill";
    const std::string Settings = Data + "/Kestrill.Ini", Catalogue = Data + "/ChatFileList.json",
                      UserDirs = Home + "/.config/user-dirs.dirs";
    fs::create_directories(Home + "/.config");
    for (const std::string& Path : {Settings, Catalogue, UserDirs}) Kind.Make(Path);

    const TStart Start = WithinDeadline(StartWindow, {Settings, Catalogue, UserDirs});
    EXPECT_EQ(Start.SettingsFile, Settings) << Kind.Name;  // user-dirs.dirs was passed over
    ASSERT_EQ(Start.Alarms.size(), 2u) << Kind.Name;
    EXPECT_EQ(
        Start.Alarms[0],
        "설정 파일이 일반 파일이 아니어서(파이프나 장치 등) 설정을 읽을 수 없습니다: " + Settings);
    const std::string CatalogueAlarm = "채팅 목록 파일을 읽을 수 없습니다.\r\n[" + Catalogue +
                                       "]\r\n일반 파일이 아닙니다 (폴더, 파이프, 장치 등).\r\n" +
                                       "원래 파일은 [" + Catalogue + ".broken-";
    EXPECT_EQ(Start.Alarms[1].substr(0, CatalogueAlarm.size()), CatalogueAlarm) << Kind.Name;
    // Moved aside as it was: the link itself, never what it points to.
    EXPECT_FALSE(fs::exists(fs::symlink_status(Catalogue))) << Kind.Name;
    EXPECT_TRUE(fs::is_character_file("/dev/zero"));
  }
}

TEST(NotAFile, ChatFilesAreReadOnlyWhenTheyAreFilesOfAReasonableSize) {
  const std::string Dir = MakeTempFolder();
  for (const TNotAFile& Kind : kNotFiles) {
    const std::string Path = Dir + "/" + fs::path(Kind.Name).filename().string() + ".json";
    Kind.Make(Path);
    const TJsonFileRead Read = WithinDeadline([&] { return ReadChatJsonFile(Path); }, {Path});
    EXPECT_EQ(Read.Status, TJsonFileStatus::Broken) << Kind.Name;
    EXPECT_EQ(Read.Error, "일반 파일이 아닙니다 (폴더, 파이프, 장치 등).") << Kind.Name;
  }
  MakeSparseFile(Dir + "/giant.json", kTwoGigabytes);
  const TJsonFileRead Giant = WithinDeadline([&] { return ReadChatJsonFile(Dir + "/giant.json"); });
  EXPECT_EQ(Giant.Status, TJsonFileStatus::Broken);
  EXPECT_EQ(Giant.Error, "파일이 너무 큽니다 (2048 MB, 최대 256 MB).");

  // A long chat of tens of megabytes is read, not refused: it gets as far as the parser.
  WriteTestFile(Dir + "/long.json", "x" + std::string(40 << 20, ' '));
  EXPECT_EQ(ReadChatJsonFile(Dir + "/long.json").Error, "올바른 JSON 형식이 아닙니다.");
}

namespace {

class AttachLimitsTest : public ::testing::Test {
 protected:
  std::string Home = UseFreshDataFolder();
  TConfig Config{Home + "/Kestrill.Ini"};
  TFakeHttpServer Server;
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;  // chatbot mode, ChatGPT
  TChatController Controller{Config, View, Queue, Dialogs, Controls};

  void SetUp() override {
    setenv("TMPDIR", Home.c_str(), 1);
    setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
    Config.Write(keys::OpenAIKey, "sk-1");
    Server.SetDefault({200, R"({"choices":[{"message":{"content":"답변"}}]})"});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    unsetenv("KESTRILL_OPENAI_URL");
  }
};

}  // namespace

TEST_F(AttachLimitsTest, AttachRefusesWhatTheChosenProviderCannotTake) {
  const std::string Photo = Home + "/photo.png", Pipe = Home + "/pipe.txt";
  MakeSparseFile(Photo, 4 << 20);
  MakeFifo(Pipe);
  Controls.Provider = 2;  // Claude
  EXPECT_FALSE(Controller.AttachFile(Photo));
  Controls.Provider = 1;  // ChatGPT takes it
  EXPECT_TRUE(Controller.AttachFile(Photo));
  EXPECT_EQ(Controller.AttachedFilePath(), Photo);
  EXPECT_FALSE(WithinDeadline([&] { return Controller.AttachFile(Pipe); }, {Pipe}));
  EXPECT_EQ(Controller.AttachedFilePath(), Photo);  // the refused one changed nothing
  EXPECT_EQ(Dialogs.Alarms,
            (std::vector<std::string>{
                "첨부 파일이 너무 큽니다: photo.png (4 MB)\r\nClaude에 보낼 수 있는 이미지는 "
                "3.75 MB까지입니다.",
                "이 파일은 첨부할 수 없습니다: pipe.txt\r\n일반 파일이 아닙니다 (폴더, 파이프, "
                "장치 등)."}));
}

TEST_F(AttachLimitsTest, AFileThatGrewPastTheLimitBeforeTheSendIsNotRead) {
  const std::string Memo = Home + "/memo.txt";
  WriteTestFile(Memo, "메모");
  ASSERT_TRUE(Controller.AttachFile(Memo));
  MakeSparseFile(Memo, kTwoGigabytes);
  Controls.Prompt = "요약";
  WithinDeadline([&] { Controller.btnSendClick(); });
  EXPECT_EQ(Dialogs.Alarms,
            std::vector<std::string>{"첨부 파일이 너무 큽니다: memo.txt (2048 MB)"
                                     "\r\nChatGPT에 보낼 수 있는 텍스트 파일은 10 MB까지입니다."});
  // The question still goes, without the file.
  ASSERT_EQ(Controller.ChatHistory().size(), 1u);
  EXPECT_EQ(Controller.ChatHistory()[0].ImageBase64, "");
  ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(TJson::parse(Server.LastRequest().Body)["messages"][0]["content"], "요약");
}

TEST(NotAFile, TheTerminalRefusesAnAttachmentTooLargeForItsProvider) {
  const std::string Home = MakeTempFolder();
  fs::create_directories(Home + "/Documents/Kestrill");
  MakeSparseFile(Home + "/photo.png", 4 << 20);
  const std::string Err = Home + "/err.txt";
  // Nothing listens on port 9: a request would fail differently from the refusal.
  const int Raw = std::system(("HOME='" + Home + "' XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= TMPDIR='" +
                               Home + "' KESTRILL_ANTHROPIC_URL=http://127.0.0.1:9 '" +
                               KESTRILL_CLI_PATH "' --provider claude --attach '" + Home +
                               "/photo.png' 질문 >/dev/null 2>'" + Err + "' </dev/null")
                                  .c_str());
  EXPECT_EQ(WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, 2);
  EXPECT_EQ(ReadFileBytes(Err).value_or("").rfind(
                "첨부 파일이 너무 큽니다: photo.png (4 MB)\nClaude에 보낼 수 있는 이미지는 "
                "3.75 MB까지입니다.\n",
                0),
            0u);
}
