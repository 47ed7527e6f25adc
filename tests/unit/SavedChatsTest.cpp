// Saved chats through the controller: every state change of the open chat, the catalogue and the
// sidebar, re-run, rename, delete, the page's edit and delete links, failed saves, damaged files
// and turns that are running while the user moves on.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include "FakeHttpServer.h"
#include "FakeShell.h"
#include "RecordingView.h"
#include "TestEnv.h"
#include "core/FileIO.h"
#include "engine/ChatController.h"
#include "engine/OrderedWriter.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using namespace kestrill::testing;
namespace fs = std::filesystem;

namespace {

std::tm At(int AHour, int AMin, int ASec) {
  std::tm T{};
  T.tm_year = 2026 - 1900;
  T.tm_mon = 11;
  T.tm_mday = 10;
  T.tm_hour = AHour;
  T.tm_min = AMin;
  T.tm_sec = ASec;
  return T;
}

class SavedChatsTest : public ::testing::Test {
 protected:
  std::string Home = UseFreshDataFolder();
  std::string Data = Home + "/Documents/Kestrill";
  TConfig Config{Home + "/Kestrill.Ini"};
  TFakeHttpServer Server;
  TRecordingView View;
  TFakeQueue Queue;
  TFakeDialogs Dialogs;
  TFakeControls Controls;
  std::unique_ptr<TChatController> Controller;
  int Second = 0;

  void SetUp() override {
    setenv("TMPDIR", Home.c_str(), 1);
    setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
    Config.Write(keys::OpenAIKey, "sk-1");
    Server.SetDefault({200, R"({"choices":[{"message":{"content":"답변"}}]})"});
    NewController();
  }
  void TearDown() override {
    Controller.reset();
    unsetenv("TMPDIR");
    unsetenv("KESTRILL_OPENAI_URL");
  }
  // A fresh window: created, page loaded, shown. The clock moves on a second at every reading.
  void NewController() {
    Controller.reset();
    Controls = TFakeControls();
    Controller = std::make_unique<TChatController>(Config, View, Queue, Dialogs, Controls);
    Controller->Files().SetClock([this] { return At(9, 0, Second++ % 60); });
    Controller->FormCreate();
    Controller->ChatWebBrowserDidFinishLoad();
    Controller->FormShow();
  }
  // Sends APrompt and runs the UI side until the turn has ended.
  void Turn(const std::string& APrompt) {
    Controls.Prompt = APrompt;
    Controller->btnSendClick();
    while (Controller->TurnRunning()) ASSERT_TRUE(Queue.RunNext());
  }
  std::string File(const std::string& AName) { return Data + "/" + AName; }
  std::string CataloguePath() { return File(kChatFileListName); }
  // Writes a chat file of user/model pairs and returns its path.
  std::string WriteChat(const std::string& AName, const std::vector<std::string>& ATexts) {
    TChatHistory H;
    for (std::size_t I = 0; I < ATexts.size(); ++I) {
      TChatMessage M = CreateChatMessage(I % 2 ? kRoleModel : kRoleUser, ATexts[I]);
      H.push_back(M);
    }
    WriteFileAtomic(File(AName), FormatHistoryFile(H));
    return File(AName);
  }
  void WriteCatalogue(const std::vector<TChatFile>& AEntries) {
    TCatalogueData D;
    D.Entries = AEntries;
    WriteFileAtomic(CataloguePath(), FormatCatalogue(D));
  }
  std::vector<TChatFile> CatalogueOnDisk() {
    TJsonFileRead R = ReadChatJsonFile(CataloguePath());
    if (R.Status != TJsonFileStatus::Ok) return {};
    return ReadCatalogueDocument(R.Value).Entries;
  }
  // The title the catalogue file gives AFile ("<unlisted>" when it has none).
  std::string TitleOnDisk(const std::string& AFile) {
    for (const TChatFile& E : CatalogueOnDisk())
      if (E.FileName == AFile) return E.Title;
    return "<unlisted>";
  }
  std::vector<std::string> TextsOnDisk(const std::string& APath) {
    std::vector<std::string> Out;
    TJsonFileRead R = ReadChatJsonFile(APath);
    if (R.Status != TJsonFileStatus::Ok) return {"<unreadable>"};
    for (const TJson& E : R.Value) Out.push_back(E.value("text", ""));
    return Out;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> Out;
    for (const auto& M : Controller->ChatHistory()) Out.push_back(M.Text);
    return Out;
  }
  std::vector<std::string> JsonFiles() {
    std::vector<std::string> Out;
    for (const auto& E : fs::directory_iterator(Data))
      if (E.path().extension() == ".json" && E.path().filename() != kChatFileListName)
        Out.push_back(E.path().filename().string());
    std::sort(Out.begin(), Out.end());
    return Out;
  }
  // Two saved chats, "a" (newer) and "b", listed in the sidebar.
  void TwoSavedChats() {
    WriteChat("a.json", {"질문 A", "답 A"});
    WriteChat("b.json", {"질문 B", "답 B"});
    WriteCatalogue(
        {{File("b.json"), "B", "20261201000000"}, {File("a.json"), "A", "20261202000000"}});
    NewController();
  }
  void Open(const std::string& AName, const std::string& ATitle) {
    Controls.SelectHistoryItem(File(AName));
    Controller->ListBoxHistoryChange(File(AName), ATitle);
  }
};

}  // namespace

TEST_F(SavedChatsTest, FinishedTurnIsSavedAtOnceAndContinuesOnItsFile) {
  Turn("삼성전자 주가는?");
  ASSERT_EQ(JsonFiles(), std::vector<std::string>{"20261210090000.json"});
  const std::string Path = File("20261210090000.json");
  EXPECT_EQ(TextsOnDisk(Path), (std::vector<std::string>{"삼성전자 주가는?", "답변"}));
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(Controller->ChatFileName(), Path);
  ASSERT_EQ(Controls.Items.size(), 1u);
  EXPECT_EQ(Controls.Items[0].Title, "삼성전자 주가는?");
  EXPECT_EQ(Controls.Items[0].FontSize, 12);
  EXPECT_EQ(Controls.Selected, Path);
  ASSERT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk()[0].FileName, Path);

  Turn("두 번째");  // the same file is rewritten, no second file or entry
  EXPECT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(TextsOnDisk(Path).size(), 4u);
  EXPECT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk()[0].Title, "삼성전자 주가는?");  // a later save keeps the title
}

TEST_F(SavedChatsTest, StateOfTheOpenChatThroughEachCommand) {
  TwoSavedChats();
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  EXPECT_EQ(Controller->ChatFileName(), "");

  Controller->MenuSaveChatClick();  // a new empty chat stays new and writes nothing
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  EXPECT_EQ(JsonFiles(), (std::vector<std::string>{"a.json", "b.json"}));

  Open("b.json", "B");
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(Controller->ChatFileName(), File("b.json"));
  EXPECT_EQ(Controls.Title, "B");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"질문 B", "답 B"}));

  Controller->SetSaveAfterTurn(false);  // to see the state a turn leaves before its save
  Controls.Mode = 1;
  Controls.Prompt = "agent";
  Server.SetDefault({500, "{}"});
  Controller->btnSendClick();
  EXPECT_EQ(Controller->ChatFileState(), cfsModified);  // an agent run starts
  while (Controller->TurnRunning()) ASSERT_TRUE(Queue.RunNext());
  Controller->MenuSaveChatClick();
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(TextsOnDisk(File("b.json")).front(), "질문 B");

  Controller->sbNewChatClick();
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  EXPECT_EQ(Controller->ChatFileName(), "");
  EXPECT_TRUE(std::regex_match(Controls.Title, std::regex("\\d\\d-\\d\\d \\d\\d:\\d\\d 의 대화")));
  EXPECT_EQ(Controls.Selected, "");
}

TEST_F(SavedChatsTest, SidebarShowsTheNewestEntriesAndTheFileKeepsAll) {
  std::vector<TChatFile> Entries;
  for (int I = 0; I < 35; ++I) {
    char Stamp[32];
    std::snprintf(Stamp, sizeof Stamp, "202612%02d000000", I % 28 + 1);
    Entries.push_back(
        {File("c" + std::to_string(I) + ".json"), "chat " + std::to_string(I), Stamp});
  }
  Entries[34].Title = "";  // not listed, but kept
  WriteCatalogue(Entries);
  NewController();
  ASSERT_EQ(Controls.Items.size(), 30u);
  EXPECT_EQ(Controls.Items[0].Title, "chat 27");  // day 28, the newest
  for (const auto& Item : Controls.Items) EXPECT_NE(Item.FileName, File("c34.json"));

  Turn("새 대화");  // a catalogue save
  std::vector<TChatFile> OnDisk = CatalogueOnDisk();
  EXPECT_EQ(OnDisk.size(), 36u);
  EXPECT_EQ(OnDisk.back().Title, "새 대화");           // added entries go to the end of the file
  EXPECT_EQ(Controls.Items.front().Title, "새 대화");  // and to the top of the sidebar

  Config.Write(keys::MaxFileCount, 0);  // one at least
  NewController();
  EXPECT_EQ(Controls.Items.size(), 1u);
}

TEST_F(SavedChatsTest, SameSecondNewChatsGetTheirOwnFiles) {
  Controller->Files().SetClock([] { return At(9, 30, 0); });
  Turn("첫째");
  Controller->sbNewChatClick();
  Turn("둘째");
  Controller->sbNewChatClick();
  Turn("셋째");
  EXPECT_EQ(JsonFiles(), (std::vector<std::string>{"20261210093000-2.json", "20261210093000-3.json",
                                                   "20261210093000.json"}));
  EXPECT_EQ(TextsOnDisk(File("20261210093000.json")).front(), "첫째");
  EXPECT_EQ(CatalogueOnDisk().size(), 3u);
}

TEST_F(SavedChatsTest, LeavingANewChatWithMessagesSavesItAndQueuesItsItem) {
  TwoSavedChats();
  Controller->SetSaveAfterTurn(false);
  Turn("저장 안 된 질문");
  Open("a.json", "A");
  ASSERT_EQ(JsonFiles().size(), 3u);
  EXPECT_EQ(CatalogueOnDisk().back().Title, "저장 안 된 질문");
  EXPECT_EQ(Controls.Items.size(), 2u);  // the item comes after the handler has returned
  ASSERT_TRUE(Queue.RunNext(1000));
  ASSERT_EQ(Controls.Items.size(), 3u);
  EXPECT_EQ(Controls.Items[0].Title, "저장 안 된 질문");
  EXPECT_EQ(Controls.Items[0].FontSize, 10);

  // Leaving a chat that did not change, or a new empty one, writes nothing.
  auto Before = *ReadFileBytes(CataloguePath());
  Open("b.json", "B");
  Controller->sbNewChatClick();
  Open("a.json", "A");
  EXPECT_EQ(*ReadFileBytes(CataloguePath()), Before);
  EXPECT_EQ(JsonFiles().size(), 3u);
}

TEST_F(SavedChatsTest, SaveCommandTwiceWritesOneFileAndOneEntry) {
  Controller->SetSaveAfterTurn(false);
  Turn("q");
  Controller->MenuSaveChatClick();
  Controller->MenuSaveChatClick();
  EXPECT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_EQ(Controls.Items.size(), 1u);
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(Controller->Files().Selected, CatalogueOnDisk()[0]);
}

TEST_F(SavedChatsTest, ReRunSendsTheEditedFirstPromptIntoTheSameFile) {
  TwoSavedChats();
  Open("b.json", "B");
  Dialogs.NextEdit = std::nullopt;  // cancelled: the opened chat stays as loaded
  Controller->MenuItemReRunClick(File("a.json"));
  EXPECT_EQ(Controller->ChatFileName(), File("a.json"));
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"질문 A", "답 A"}));

  Dialogs.NextEdit = "질문 A, 다시";
  Controller->SetSaveAfterTurn(false);
  Controller->MenuItemReRunClick(File("a.json"));
  EXPECT_EQ(Controller->ChatFileState(), cfsModified);
  while (Controller->TurnRunning()) ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(Texts(), (std::vector<std::string>{"질문 A, 다시", "답변"}));
  Controller->MenuSaveChatClick();
  EXPECT_EQ(TextsOnDisk(File("a.json")), (std::vector<std::string>{"질문 A, 다시", "답변"}));
  EXPECT_EQ(CatalogueOnDisk().size(), 2u);

  // A blank edit is a cancel; a missing file and an empty chat say why nothing happens.
  Dialogs.NextEdit = "  ";
  Controller->MenuItemReRunClick(File("a.json"));
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  WriteFileAtomic(File("b.json"), "\xEF\xBB\xBF[]");
  fs::remove(File("a.json"));
  Controller->MenuItemReRunClick(File("a.json"));
  Controller->MenuItemReRunClick(File("b.json"));
  EXPECT_EQ(Dialogs.Alarms, (std::vector<std::string>{File("a.json") + " 파일이 존재하지 않습니다.",
                                                      "다시 실행할 프롬프트가 없습니다."}));
}

TEST_F(SavedChatsTest, RenameKeepsTheTitleThroughLaterSavesAndCutsItInTheFile) {
  TwoSavedChats();
  Open("a.json", "A");
  const std::string Long(100, 'T');
  Dialogs.NextEdit = Long;
  Controller->MenuItemEditClick(File("a.json"), "A");
  EXPECT_EQ(Controls.Title, Long);
  EXPECT_EQ(Controls.Items[0].Title, Long);  // in full until the next start
  Turn("이어서");
  EXPECT_EQ(TitleOnDisk(File("a.json")), std::string(80, 'T'));
  EXPECT_EQ(TextsOnDisk(File("a.json")).size(), 4u);

  Dialogs.NextEdit = "";  // a blank title would hide the chat: refused as a cancel
  Controller->MenuItemEditClick(File("b.json"), "B");
  EXPECT_EQ(TitleOnDisk(File("b.json")), "B");
}

TEST_F(SavedChatsTest, DeletingChatsRemovesExactlyThoseAndTheOpenOneStartsANewChat) {
  WriteChat("c.json", {"질문 C"});
  TwoSavedChats();
  WriteCatalogue(
      {{File("a.json"), "A", "3"}, {File("b.json"), "B", "2"}, {File("c.json"), "C", "1"}});
  NewController();
  Open("a.json", "A");
  Dialogs.NextAnswer = false;
  Controller->MenuItemDeleteClick(File("a.json"), "A");
  EXPECT_TRUE(fs::exists(File("a.json")));
  EXPECT_EQ(Dialogs.Questions.back(), "다음 채팅 파일을 삭제하시겠습니까?\r\n[A]");

  Dialogs.NextAnswer = true;
  Controller->MenuItemDeleteClick(File("a.json"), "A");
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  EXPECT_TRUE(Controller->ChatHistory().empty());
  Controller->MenuItemDeleteClick(File("c.json"), "C");
  EXPECT_FALSE(fs::exists(File("a.json")));
  EXPECT_FALSE(fs::exists(File("c.json")));
  ASSERT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk()[0].FileName, File("b.json"));
  EXPECT_EQ(Controls.ItemFiles(), std::vector<std::string>{File("b.json")});

  Controller->sbNewChatClick();  // the deleted chat is not written back
  EXPECT_FALSE(fs::exists(File("a.json")));
  Controller->MenuItemDeleteClick("", "");
  EXPECT_EQ(Dialogs.Alarms.back(), "선택된 채팅 파일이 없습니다.");
}

TEST_F(SavedChatsTest, OpeningAMissingFileShowsAnEmptyChatThatASendWritesAgain) {
  TwoSavedChats();
  fs::remove(File("b.json"));
  Controller->MenuItemOpenClick(File("b.json"));
  EXPECT_EQ(Dialogs.Alarms.back(), File("b.json") + " 파일이 존재하지 않습니다.");
  Controller->MenuItemOpenClick(File("a.json"));
  EXPECT_EQ(Controls.Opened, std::vector<std::string>{File("a.json")});

  Open("b.json", "B");
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_TRUE(Controller->ChatHistory().empty());
  Turn("다시 씀");
  EXPECT_EQ(TextsOnDisk(File("b.json")), (std::vector<std::string>{"다시 씀", "답변"}));
}

TEST_F(SavedChatsTest, AReopenedAgentChatShowsWhereItsAnswerCameFrom) {
  TChatHistory H{CreateChatMessage(kRoleUser, "종가는?")};
  TChatMessage Call = CreateChatMessage(kRoleAssistant, "");
  Call.HasToolCall = true;
  Call.ToolName = "get_krx_price";
  Call.ToolArgs = R"({"stock_code":"005930"})";
  TChatMessage Result = CreateChatMessage(kRoleTool, "[삼성전자] 종가: 71500원");
  Result.HasToolCall = true;
  Result.ToolName = "get_krx_price";
  H.insert(H.end(), {Call, Result, CreateChatMessage(kRoleAssistant, "71,500원입니다.")});
  WriteFileAtomic(File("agent.json"), FormatHistoryFile(H));
  WriteCatalogue({{File("agent.json"), "종가는?", "20261201000000"}});
  NewController();
  View.Scripts.clear();
  View.Evaluations = View.Replays = 0;
  Open("agent.json", "종가는?");
  // The page is cleared as the chat is left, then gets the whole conversation in one script.
  EXPECT_EQ(View.Evaluations, 2);
  EXPECT_EQ(View.Replays, 1);
  ASSERT_GE(View.Scripts.size(), 2u);
  // The sources, then the figure check of the answer (71,500원 is the tool's 71500원).
  EXPECT_EQ(View.Scripts.back(),
            "markFigures(\"" + H[3].MsgID +
                "\", \"[{\\\"text\\\":\\\"71,500원\\\",\\\"status\\\":\\\"backed\\\",\\\"source\\\":"
                "\\\"get_krx_price · 종가\\\"}]\", \"수치 확인: 1개 중 1개 일치\");");
  EXPECT_EQ(View.Scripts[View.Scripts.size() - 2],
            "appendSources(\"" + H[3].MsgID +
                "\", \"[{\\\"tool\\\":\\\"get_krx_price\\\",\\\"args\\\":\\\"{\\\\\\\"stock_code\\\\\\\":"
                "\\\\\\\"005930\\\\\\\"}\\\",\\\"result\\\":\\\"[삼성전자] 종가: 71500원\\\",\\\"time\\\":\\\"\\\"}]\");");
  // The conversation holds all the file held, tool messages included; the page shows the texts.
  EXPECT_EQ(Texts(), (std::vector<std::string>{"종가는?", "", "[삼성전자] 종가: 71500원",
                                               "71,500원입니다."}));
  EXPECT_EQ(std::count_if(View.Scripts.begin(), View.Scripts.end(),
                          [](const std::string& S) { return S.rfind("appendChat(", 0) == 0; }),
            2);
}

TEST_F(SavedChatsTest, PageLinksDeleteAndEditSaveAndRedraw) {
  TwoSavedChats();
  Open("a.json", "A");
  const std::string FirstId = Controller->ChatHistory()[0].MsgID;
  const std::string ReplyId = Controller->ChatHistory()[1].MsgID;
  // Links that do nothing, whatever the answer would be.
  Dialogs.NextAnswer = true;
  for (std::string Url :
       {"CHATUI://delete/" + FirstId, "chatui://DELETE/" + FirstId, std::string("chatui://delete"),
        "chatui://copy/" + FirstId, std::string("file:///x/y/z")})
    Controller->ChatWebBrowserShouldStartLoadWithRequest(Url);
  Dialogs.NextEdit = std::nullopt;
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://edit/" + FirstId);
  Dialogs.NextAnswer = false;
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" + FirstId);
  EXPECT_EQ(Texts().size(), 2u);
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(Dialogs.Questions,
            std::vector<std::string>{"이 메시지를 대화 기록에서 삭제하시겠습니까?"});

  Dialogs.NextAnswer = true;
  View.Scripts.clear();
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" + FirstId + "/extra");
  EXPECT_EQ(Texts(), std::vector<std::string>{"답 A"});
  EXPECT_EQ(TextsOnDisk(File("a.json")), std::vector<std::string>{"답 A"});
  ASSERT_FALSE(View.Scripts.empty());
  EXPECT_EQ(View.Scripts.front(), "document.body.innerHTML = \"\";");  // drawn again from the file

  const std::string Before = *ReadFileBytes(CataloguePath());
  Dialogs.NextEdit = "답 A";  // unchanged text still saves
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://edit/" + ReplyId);
  EXPECT_NE(*ReadFileBytes(CataloguePath()), Before);  // the entry's time moved on

  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" + ReplyId);
  EXPECT_TRUE(Controller->ChatHistory().empty());
  EXPECT_EQ(*ReadFileBytes(File("a.json")), "\xEF\xBB\xBF[]");  // the user emptied it
}

TEST_F(SavedChatsTest, PageLinksInAChatNeverSaved) {
  Controller->SetSaveAfterTurn(false);
  Turn("지울 질문");
  const std::string Id = Controller->ChatHistory()[0].MsgID;
  Dialogs.NextEdit = "고친 질문";
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://edit/" + Id);
  // The edit gives the chat its file, as the save command would.
  ASSERT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_EQ(TextsOnDisk(File(JsonFiles()[0])), (std::vector<std::string>{"고친 질문", "답변"}));

  Controller->sbNewChatClick();
  Controls.Mode = 1;
  Server.SetDefault({500, "{}"});
  Turn("혼자");  // the agent turn fails: only the prompt stays
  ASSERT_EQ(Texts().size(), 1u);
  Dialogs.NextAnswer = true;
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" +
                                                       Controller->ChatHistory()[0].MsgID);
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);  // emptied before it ever had a file
  EXPECT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(View.Scripts.back(), "document.body.innerHTML = \"\";");
}

TEST_F(SavedChatsTest, FailedSaveSaysSoKeepsTheChatAndAsksAtClose) {
  fs::remove_all(Data);
  Turn("사라지면 안 되는 질문");
  ASSERT_EQ(Dialogs.Alarms.size(), 1u);
  EXPECT_EQ(Dialogs.Alarms[0].rfind("채팅 파일을 저장하지 못했습니다.\r\n[" + Data + "/", 0), 0u)
      << Dialogs.Alarms[0];
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  EXPECT_EQ(Texts().size(), 2u);

  Controller->sbNewChatClick();  // leaving would lose it: the chat stays
  EXPECT_EQ(Texts().size(), 2u);
  Dialogs.NextEdit = "다른 채팅의 질문";
  Controller->MenuItemReRunClick(Data + "/other.json");  // so does a re-run of another chat
  EXPECT_EQ(Texts().size(), 2u);
  EXPECT_EQ(Controller->ChatFileName(), "");

  Dialogs.NextAnswer = false;
  EXPECT_FALSE(Controller->FormCloseQuery());
  EXPECT_NE(Dialogs.Questions.back().find("저장하지 않고 닫으시겠습니까?"), std::string::npos);
  EXPECT_FALSE(Controller->IsTerminating());
  fs::create_directories(Data);
  Turn("다시 시도");  // the next save tries again and succeeds
  EXPECT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  EXPECT_TRUE(Controller->FormCloseQuery());
}

TEST(OrderedWriter, RunsEveryJobInOrderAndTheDestructorDropsNone) {
  std::vector<int> Ran;  // touched by the writer only until Flush or the destructor returns
  {
    TOrderedWriter Writer;
    Writer.Post([] { throw std::runtime_error("a failing job"); });  // the next ones still run
    for (int I = 0; I < 50; ++I)
      Writer.Post([&Ran, I] {
        if (I == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Ran.push_back(I);
      });
    Writer.Flush();
    EXPECT_EQ(Ran.size(), 50u);
    EXPECT_TRUE(Writer.Idle());
    for (int I = 50; I < 100; ++I)
      Writer.Post([&Ran, I] {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        Ran.push_back(I);
      });
  }
  ASSERT_EQ(Ran.size(), 100u);
  for (int I = 0; I < 100; ++I) EXPECT_EQ(Ran[static_cast<std::size_t>(I)], I);
}

// The window writes the save after each turn on a writer thread: the writes land in order, the
// close waits for them, and a failure is told once and leaves the chat to be saved again.
TEST_F(SavedChatsTest, BackgroundSavesLandInOrderAndCloseWaitsForThem) {
  Controller->WriteInBackground();
  Turn("첫 질문");  // a new chat's first file is written at once: its name is needed now
  const std::string Path = File("20261210090000.json");
  ASSERT_EQ(TextsOnDisk(Path).size(), 2u);
  for (int I = 0; I < 5; ++I) Turn("질문 " + std::to_string(I));
  Controller->SettleWrites();
  EXPECT_EQ(TextsOnDisk(Path), Texts());
  EXPECT_EQ(TextsOnDisk(Path).size(), 12u);
  ASSERT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk()[0].Title, "첫 질문");
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);

  Turn("닫기 직전");
  EXPECT_TRUE(Controller->FormCloseQuery());
  EXPECT_EQ(TextsOnDisk(Path).size(), 14u);
  Controller.reset();
  EXPECT_EQ(TextsOnDisk(Path).size(), 14u);
  EXPECT_TRUE(Dialogs.Alarms.empty());
}

TEST_F(SavedChatsTest, AFailedBackgroundSaveIsToldOnceAndTheChatIsSavedAgain) {
  Controller->WriteInBackground();
  Turn("첫 질문");
  const std::string Path = File("20261210090000.json");
  // The file's place is taken by a folder: the rewrite cannot replace it.
  fs::remove(Path);
  fs::create_directories(Path + "/x");
  Turn("두 번째");
  Controller->SettleWrites();
  ASSERT_EQ(Dialogs.Alarms.size(), 1u);
  EXPECT_EQ(Dialogs.Alarms[0].rfind("채팅 파일을 저장하지 못했습니다.\r\n[" + Path + "]", 0), 0u)
      << Dialogs.Alarms[0];
  EXPECT_EQ(Controller->ChatFileState(), cfsModified);
  while (Queue.RunNext(0)) {
  }
  EXPECT_EQ(Dialogs.Alarms.size(), 1u);  // the writer's own notice finds it already told

  fs::remove_all(Path);
  Controller->MenuSaveChatClick();
  EXPECT_EQ(TextsOnDisk(Path), (std::vector<std::string>{"첫 질문", "답변", "두 번째", "답변"}));
  EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  ASSERT_EQ(CatalogueOnDisk().size(), 1u);

  // Leaving a chat whose last write failed writes it before anything else happens.
  fs::remove(Path);
  fs::create_directories(Path + "/x");
  Turn("세 번째");
  fs::remove_all(Path);
  Controller->sbNewChatClick();
  EXPECT_EQ(TextsOnDisk(Path).size(), 6u);
  EXPECT_TRUE(Controller->ChatHistory().empty());
}

TEST_F(SavedChatsTest, CloseSavesTheConversationWithoutAnItem) {
  Controller->SetSaveAfterTurn(false);
  Turn("닫기 전에");
  EXPECT_TRUE(Controller->FormCloseQuery());
  EXPECT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(CatalogueOnDisk().size(), 1u);
  EXPECT_TRUE(Controls.Items.empty());
  NewController();
  EXPECT_EQ(Controls.Items.size(), 1u);
}

TEST_F(SavedChatsTest, DamagedFilesAreReportedAndNeverOverwritten) {
  WriteTestFile(File("bad.json"), "[{\"msgId\":");
  WriteTestFile(CataloguePath(), "\xEF\xBB\xBF{\"not\":\"an array\"}");
  NewController();
  ASSERT_EQ(Dialogs.Alarms.size(), 1u);
  EXPECT_EQ(Dialogs.Alarms[0].rfind("채팅 목록 파일을 읽을 수 없습니다.", 0), 0u);
  EXPECT_TRUE(Controls.Items.empty());
  bool KeptAside = false;
  for (const auto& E : fs::directory_iterator(Data))
    KeptAside |= E.path().filename().string().rfind("ChatFileList.json.broken-", 0) == 0;
  EXPECT_TRUE(KeptAside);

  Controller->ListBoxHistoryChange(File("bad.json"), "bad");
  EXPECT_EQ(Dialogs.Alarms.back().rfind("채팅 파일을 읽을 수 없습니다.", 0), 0u);
  Turn("새 내용");
  EXPECT_EQ(TextsOnDisk(File("bad.json")), (std::vector<std::string>{"새 내용", "답변"}));
  int Broken = 0;
  for (const auto& E : fs::directory_iterator(Data))
    if (E.path().filename().string().rfind("bad.json.broken-", 0) == 0) {
      ++Broken;
      EXPECT_EQ(*ReadFileBytes(E.path().string()), "[{\"msgId\":");
    }
  EXPECT_EQ(Broken, 1);
}

TEST_F(SavedChatsTest, MovingOnDuringATurnStopsIt) {
  TSilentListener Silent;
  setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
  TwoSavedChats();
  struct TCase {
    const char* Name;
    std::function<void()> Act;
  };
  const std::vector<TCase> Cases{
      {"open another chat", [&] { Open("b.json", "B"); }},
      {"new chat", [&] { Controller->sbNewChatClick(); }},
      {"clear the conversation", [&] { Controller->ClearChatHistory(); }},
      {"re-run",
       [&] {
         Dialogs.NextEdit = "재실행";
         Controller->MenuItemReRunClick(File("b.json"));
       }},
  };
  for (const TCase& C : Cases) {
    Open("a.json", "A");
    Controls.Prompt = "느린 질문";
    Controller->btnSendClick();
    ASSERT_FALSE(Controls.Send) << C.Name;
    View.Scripts.clear();
    C.Act();
    if (std::string(C.Name) == "re-run") {
      EXPECT_TRUE(Controller->TurnRunning()) << C.Name;  // the re-run's own turn
      EXPECT_EQ(Texts(), std::vector<std::string>{"재실행"}) << C.Name;
    } else {
      EXPECT_FALSE(Controller->TurnRunning()) << C.Name;
      EXPECT_TRUE(Controls.Send || std::string(C.Name) == "new chat") << C.Name;
      EXPECT_NE(std::find(View.Scripts.begin(), View.Scripts.end(), "removeLoading();"),
                View.Scripts.end())
          << C.Name;
    }
    Controller->ChatWebBrowserDidFinishLoad();
    if (Controller->TurnRunning()) {
      Controller->ClearChatHistory();
    }
    EXPECT_TRUE(Controls.Send) << C.Name;
  }
  // The prompt of the stopped turn stayed with its chat.
  EXPECT_EQ(TextsOnDisk(File("a.json")).back(), "느린 질문");
  setenv("KESTRILL_OPENAI_URL", Server.BaseUrl().c_str(), 1);
}

TEST_F(SavedChatsTest, PromptFileInUtf8OrTheLegacyCodePageStartsANewChat) {
  WriteTestFile(Home + "/utf8.txt", "삼성전자 분석");
  WriteTestFile(Home + "/cp949.md", "\xBB\xEF\xBC\xBA\xC0\xFC\xC0\xDA \xBA\xD0\xBC\xAE");
  Controller->SetSaveAfterTurn(false);
  Turn("먼저 한 질문");
  Controller->OpenPromptFile(Home + "/utf8.txt");
  EXPECT_EQ(Controls.Prompt, "삼성전자 분석");
  EXPECT_EQ(JsonFiles().size(), 1u);  // the chat before was saved first
  EXPECT_EQ(Controller->ChatFileState(), cfsNew);
  Controls.Prompt.clear();
  Controller->OpenPromptFile(Home + "/cp949.md");
  EXPECT_EQ(Controls.Prompt, "삼성전자 분석");
  EXPECT_TRUE(Controller->ChatHistory().empty());  // typed in, not sent
}

namespace {

// An OpenAI reply asking for one chart.
TCannedResponse ChartCall(const std::string& AId) {
  return {200, R"({"choices":[{"message":{"content":null,"tool_calls":[{"id":")" + AId +
                   R"(","type":"function","function":{"name":"draw_stock_chart","arguments":)"
                   R"("{\"chartTitle\":\"삼성전자\",\"timestamps\":\"[20240102,20240103]\",)"
                   R"(\"prices\":\"[100,101]\"}"}}]}}]})"};
}

std::size_t Count(const std::vector<std::string>& AScripts, const std::string& APrefix) {
  return static_cast<std::size_t>(std::count_if(
      AScripts.begin(), AScripts.end(),
      [&](const std::string& S) { return S.rfind(APrefix, 0) == 0; }));
}

}  // namespace

TEST_F(SavedChatsTest, EditingWhileTheReplyArrivesKeepsTheEditAndTheReply) {
  // Both modes: the turn's work runs inside the editor and grows the conversation under it.
  for (int Mode : {0, 1}) {
    SCOPED_TRACE(Mode);
    Controller->sbNewChatClick();
    Controller->ChatWebBrowserDidFinishLoad();
    Controls.Mode = Mode;
    if (Mode == 1) {
      Server.Enqueue(ChartCall("c1"));
      Server.Enqueue(ChartCall("c2"));
    }
    Controls.Prompt = "질문";
    Controller->btnSendClick();
    const std::string Id = Controller->ChatHistory()[0].MsgID;
    Dialogs.NextEdit = "고친 질문";
    Dialogs.WhileOpen = [&] {
      while (Controller->TurnRunning()) ASSERT_TRUE(Queue.RunNext());
    };
    Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://edit/" + Id);
    Dialogs.WhileOpen = nullptr;
    const std::vector<std::string> Want =
        Mode == 0 ? std::vector<std::string>{"고친 질문", "답변"}
                  : std::vector<std::string>{"고친 질문", "", kChartDrawnText, "", kChartDrawnText, "답변"};
    EXPECT_EQ(Texts(), Want);
    EXPECT_EQ(TextsOnDisk(Controller->ChatFileName()), Want);
    EXPECT_EQ(Controller->ChatFileState(), cfsOpen);
  }
}

TEST_F(SavedChatsTest, AReopenedAgentChatKeepsItsToolsAndChartThroughEverySave) {
  Controls.Mode = 1;
  Server.Enqueue(ChartCall("c1"));
  Turn("차트 보여 줘");
  const std::string Chat = Controller->ChatFileName();
  const std::vector<std::string> Saved = TextsOnDisk(Chat);
  ASSERT_EQ(Saved, (std::vector<std::string>{"차트 보여 줘", "", kChartDrawnText, "답변"}));

  // Reopened: the page draws the chart again where the call was, and the tool line is not a
  // bubble; the conversation holds all four messages.
  NewController();
  View.Scripts.clear();
  Open(fs::path(Chat).filename().string(), "차트 보여 줘");
  EXPECT_EQ(Controller->ChatHistory().size(), 4u);
  EXPECT_EQ(Count(View.Scripts, "appendChart("), 1u);
  EXPECT_EQ(Count(View.Scripts, "appendChat("), 2u);
  EXPECT_EQ(Count(View.Scripts, "appendSources("), 1u);

  // Continued in chatbot mode, then a message deleted: the file keeps the tool messages and the
  // page keeps its chart each time it is drawn again.
  Controls.Mode = 0;
  Turn("고마워");
  EXPECT_EQ(TextsOnDisk(Chat),
            (std::vector<std::string>{"차트 보여 줘", "", kChartDrawnText, "답변", "고마워", "답변"}));
  View.Scripts.clear();
  Dialogs.NextAnswer = true;
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" +
                                                       Controller->ChatHistory().back().MsgID);
  EXPECT_EQ(TextsOnDisk(Chat),
            (std::vector<std::string>{"차트 보여 줘", "", kChartDrawnText, "답변", "고마워"}));
  EXPECT_EQ(Count(View.Scripts, "appendChart("), 1u);
  EXPECT_EQ(Count(View.Scripts, "appendChat("), 3u);
}

TEST_F(SavedChatsTest, DeletingDuringAnAgentTurnRedrawsWhatAReopenedChatShows) {
  Turn("먼저");
  Controls.Mode = 1;
  Server.Enqueue(ChartCall("c1"));
  Controls.Prompt = "차트";
  Controller->btnSendClick();
  // The call and its result have landed; the final answer has not.
  while (Controller->ChatHistory().size() < 5) ASSERT_TRUE(Queue.RunNext());
  View.Scripts.clear();
  Dialogs.NextAnswer = true;
  Controller->ChatWebBrowserShouldStartLoadWithRequest("chatui://delete/" +
                                                       Controller->ChatHistory()[1].MsgID);
  EXPECT_EQ(Count(View.Scripts, "appendChat("), 2u);  // "먼저" and "차트", no tool bubbles
  EXPECT_EQ(Count(View.Scripts, "appendChart("), 1u);
  EXPECT_EQ(View.Scripts.back(), "showLoading();");  // the turn goes on
  while (Controller->TurnRunning()) ASSERT_TRUE(Queue.RunNext());
  EXPECT_EQ(TextsOnDisk(Controller->ChatFileName()),
            (std::vector<std::string>{"먼저", "차트", "", kChartDrawnText, "답변"}));
}

TEST_F(SavedChatsTest, ClosingGivesTheTurnItsSecondAndSavesWhatItMade) {
  // Chatbot in a reopened chat, then agent: the answers arrive while the window waits to close,
  // and nothing queued for the window has run.
  TwoSavedChats();
  for (int Mode : {0, 1}) {
    SCOPED_TRACE(Mode);
    NewController();
    Open("a.json", "A");
    Controls.Mode = Mode;
    if (Mode == 1) Server.Enqueue(ChartCall("c1"));
    Controls.Prompt = Mode == 0 ? "닫기 전 질문" : "닫기 전 차트";
    const auto Asked = Server.RequestCount();
    Controller->btnSendClick();
    // The agent's iteration asks which provider before it sends; the close comes once the
    // request is on its way.
    while (Server.RequestCount() == Asked) Queue.RunNext(20);
    EXPECT_TRUE(Controller->FormCloseQuery(std::chrono::milliseconds(5000)));
    std::vector<std::string> Tail = TextsOnDisk(File("a.json"));
    Tail.erase(Tail.begin(), Tail.end() - (Mode == 0 ? 2 : 3));
    EXPECT_EQ(Tail, (Mode == 0 ? std::vector<std::string>{"닫기 전 질문", "답변"}
                               : std::vector<std::string>{"닫기 전 차트", "", kChartDrawnText}));
  }
}

TEST_F(SavedChatsTest, ReRunSaysWhatConfirmingDoesAndTitlesStayOnOneLine) {
  TwoSavedChats();
  Dialogs.NextEdit = std::nullopt;
  Controller->MenuItemReRunClick(File("a.json"));
  ASSERT_FALSE(Dialogs.Notes.empty());
  EXPECT_EQ(Dialogs.Notes.back(),
            "확인하면 이 채팅이 이 질문으로 다시 시작되고, 지금까지의 대화는 저장된 파일에서 "
            "지워집니다.");
  Dialogs.NextEdit = "  새\r\n제목\t\t이름 ";
  Controller->MenuItemEditClick(File("a.json"), "A");
  const int Index = Controller->Files().GetChatFileIndex(File("a.json"));
  EXPECT_EQ(Controller->Files().List()[static_cast<std::size_t>(Index)].Title, "새 제목 이름");
  for (const auto& Item : Controls.Items)
    if (Item.FileName == File("a.json")) {
      EXPECT_EQ(Item.Title, "새 제목 이름");
    }
  // A first question of several lines gives a one-line title.
  Controller->sbNewChatClick();
  Controller->ChatWebBrowserDidFinishLoad();
  Turn("첫 줄\n둘째 줄\t끝");
  EXPECT_EQ(Controls.Items[0].Title, "첫 줄 둘째 줄 끝");
}

TEST_F(SavedChatsTest, OnlyChatFilesInTheDataFolderAreDeletedOrWritten) {
  // Entries pointing outside the data folder, at a file that is not a chat, and by a relative
  // name (taken from the data folder, never the working folder).
  const std::string Outside = Home + "/important.json";
  TChatHistory Chat{CreateChatMessage(kRoleUser, "밖의 질문"), CreateChatMessage(kRoleModel, "답")};
  WriteFileAtomic(Outside, FormatHistoryFile(Chat));
  const std::string OutsideBytes = ReadFileBytes(Outside).value();
  WriteTestFile(File("notes.json"), R"([{"name": "메모"}])");
  WriteChat("rel.json", {"상대 경로 질문", "답"});
  const std::string WorkDir = MakeTempFolder();
  WriteTestFile(WorkDir + "/rel.json", "작업 폴더의 파일");
  const fs::path Before = fs::current_path();
  fs::current_path(WorkDir);
  WriteCatalogue({{Outside, "밖", "20261201000003"},
                  {File("notes.json"), "메모", "20261201000002"},
                  {"rel.json", "상대", "20261201000001"}});
  NewController();

  Dialogs.NextAnswer = true;
  Controller->MenuItemDeleteClick(Outside, "밖");
  Controller->MenuItemDeleteClick(File("notes.json"), "메모");
  EXPECT_EQ(ReadFileBytes(Outside), OutsideBytes);
  EXPECT_TRUE(fs::exists(File("notes.json")));
  ASSERT_EQ(Dialogs.Alarms.size(), 2u);
  EXPECT_EQ(Dialogs.Alarms[0], "데이터 폴더 밖의 파일이므로 지우지 않고 목록에서만 뺐습니다.\r\n[" +
                                   Outside + "]");
  EXPECT_EQ(Dialogs.Alarms[1],
            "채팅 파일이 아니므로 지우지 않고 목록에서만 뺐습니다.\r\n[" + File("notes.json") + "]");
  Controller->MenuItemDeleteClick("rel.json", "상대");
  EXPECT_FALSE(fs::exists(File("rel.json")));
  EXPECT_EQ(ReadFileBytes(WorkDir + "/rel.json"), "작업 폴더의 파일");
  EXPECT_TRUE(CatalogueOnDisk().empty());

  // A chat outside the data folder opened (here through a fresh catalogue) and continued is
  // saved as a new chat in the data folder; its file stays as it was.
  fs::remove(File("notes.json"));
  WriteCatalogue({{Outside, "밖", "20261201000003"}});
  NewController();
  Dialogs.Alarms.clear();
  Controls.SelectHistoryItem(Outside);
  Controller->ListBoxHistoryChange(Outside, "밖");
  Turn("이어서");
  EXPECT_EQ(ReadFileBytes(Outside), OutsideBytes);
  ASSERT_EQ(JsonFiles().size(), 1u);
  EXPECT_EQ(TextsOnDisk(File(JsonFiles()[0])),
            (std::vector<std::string>{"밖의 질문", "답", "이어서", "답변"}));
  EXPECT_EQ(Controller->ChatFileName(), File(JsonFiles()[0]));
  ASSERT_FALSE(Dialogs.Alarms.empty());
  EXPECT_EQ(Dialogs.Alarms.back().rfind("데이터 폴더 밖의 파일에는 쓰지 않으므로", 0), 0u);
  EXPECT_EQ(TitleOnDisk(File(JsonFiles()[0])), "밖");
  fs::current_path(Before);
}
