// Several writers on one data folder at once (the window, kestrill-cli in a terminal, a second
// window): no chat file is ever replaced by another chat, and the catalogue loses nobody's
// entries. First two TChatFiles of one process taking turns, then real processes racing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FakeHttpServer.h"
#include "SaveLoopModel.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "core/FileIO.h"
#include "engine/ChatFiles.h"
#include "storage/ChatJson.h"

extern char** environ;

namespace kestrill {
namespace {

namespace fs = std::filesystem;
using testing::MakeTempFolder;

TCatalogueData OnDisk(const std::string& AFolder) {
  TJsonFileRead Read = ReadChatJsonFile(JoinPath(AFolder, kChatFileListName));
  EXPECT_EQ(Read.Status, TJsonFileStatus::Ok) << Read.Error;
  return Read.Status == TJsonFileStatus::Ok ? ReadCatalogueDocument(Read.Value) : TCatalogueData{};
}

void WriteCatalogue(const std::string& AFolder, const TCatalogueData& AData) {
  WriteFileAtomic(JoinPath(AFolder, kChatFileListName), FormatCatalogue(AData));
}

std::vector<std::string> TextsIn(const std::string& APath) {
  TJsonFileRead Read = ReadChatJsonFile(APath);
  if (Read.Status != TJsonFileStatus::Ok) return {"<unreadable>"};
  std::vector<std::string> Out;
  for (const TChatMessage& M : ReadHistoryDocument(Read.Value).Messages) Out.push_back(M.Text);
  return Out;
}

unsigned ModeOf(const std::string& APath) {
  struct stat St {};
  return stat(APath.c_str(), &St) == 0 ? St.st_mode & 07777 : 0;
}

std::tm Noon() {
  std::tm T{};
  T.tm_year = 2026 - 1900;
  T.tm_mon = 2;
  T.tm_mday = 14;
  T.tm_hour = 12;
  return T;
}

TChatHistory Chat(const std::string& AText) { return {CreateChatMessage(kRoleUser, AText)}; }

TEST(SharedCatalogue, EachWriterChangesOnlyTheEntriesItChanged) {
  const std::string Dir = MakeTempFolder();
  auto E = [&](const char* AName, const char* ATitle, const char* ATime) {
    return TChatFile{JoinPath(Dir, AName), ATitle, ATime};
  };
  const TChatFile A = E("a.json", "A", "20260101000003"), B = E("b.json", "B", "20260101000002"),
                  C = E("c.json", "C", "20260101000001");
  WriteCatalogue(Dir, {{A, B, C}, {TJson(42)}});  // 42: an element no reader understands
  TChatFiles One(Dir), Two(Dir);
  ASSERT_EQ(One.LoadChatFileList(), "");
  ASSERT_EQ(Two.LoadChatFileList(), "");

  const TChatFile B1 = E("b.json", "B by one", "20260102000000"),
                  N1 = E("n1.json", "New of one", "20260102000000"),
                  N2 = E("n2.json", "New of two", "20260102000000");
  One.AddEntry(N1);
  One.RemoveEntry(One.GetChatFileIndex(A.FileName));
  One.ReplaceEntry(One.GetChatFileIndex(B.FileName), B1);
  Two.AddEntry(N2);
  Two.RemoveEntry(Two.GetChatFileIndex(C.FileName));
  ASSERT_EQ(One.SaveChatFileList(), "");
  ASSERT_EQ(Two.SaveChatFileList(), "");
  EXPECT_EQ(OnDisk(Dir).Entries, (std::vector<TChatFile>{B1, N1, N2}));
  EXPECT_EQ(OnDisk(Dir).Unreadable, std::vector<TJson>{TJson(42)});
  // Each keeps its own view: the sidebar shows what this window did.
  EXPECT_EQ(One.List(), (std::vector<TChatFile>{B1, C, N1}));
  EXPECT_EQ(Two.List(), (std::vector<TChatFile>{A, B, N2}));

  // Changes to entries the other has removed meanwhile: removing one again is nothing; a
  // changed entry is listed again; a renamed file leaves its old name.
  const TChatFile A2 = E("a.json", "A by two", "20260103000000"),
                  N3 = E("n3.json", "New of two", "20260103000000");
  One.RemoveEntry(One.GetChatFileIndex(C.FileName));
  Two.ReplaceEntry(Two.GetChatFileIndex(A.FileName), A2);
  Two.ReplaceEntry(Two.GetChatFileIndex(N2.FileName), N3);
  ASSERT_EQ(One.SaveChatFileList(), "");
  ASSERT_EQ(Two.SaveChatFileList(), "");
  EXPECT_EQ(OnDisk(Dir).Entries, (std::vector<TChatFile>{B1, N1, A2, N3}));
  // Nothing is changed twice: what one wrote since stays when the other writes again.
  const TChatFile B2 = E("b.json", "B by one again", "20260104000000");
  One.ReplaceEntry(One.GetChatFileIndex(B.FileName), B2);
  ASSERT_EQ(One.SaveChatFileList(), "");
  ASSERT_EQ(Two.SaveChatFileList(), "");
  EXPECT_EQ(OnDisk(Dir).Entries, (std::vector<TChatFile>{B2, N1, A2, N3}));
}

TEST(SharedCatalogue, ACatalogueGoneOrBrokenMeanwhileGetsTheWholeList) {
  struct TCase {
    const char* What;
    std::optional<std::string> Bytes;  // what the file holds when we write; nullopt: deleted
  };
  for (const TCase& Case : {TCase{"deleted", std::nullopt}, TCase{"broken", "[{\"filename\":"},
                            TCase{"not an array", "{\"filename\":\"x.json\"}"}}) {
    SCOPED_TRACE(Case.What);
    const std::string Dir = MakeTempFolder(), Path = JoinPath(Dir, kChatFileListName);
    WriteCatalogue(Dir, {{{JoinPath(Dir, "a.json"), "A", "20260101000002"},
                          {JoinPath(Dir, "b.json"), "B", "20260101000001"}},
                         {}});
    TChatFiles One(Dir);
    ASSERT_EQ(One.LoadChatFileList(), "");
    One.AddEntry({JoinPath(Dir, "n.json"), "N", "20260102000000"});
    fs::remove(Path);
    if (Case.Bytes) testing::WriteTestFile(Path, *Case.Bytes);
    ASSERT_EQ(One.SaveChatFileList(), "");
    EXPECT_EQ(OnDisk(Dir).Entries, One.List());
    EXPECT_EQ(One.List().size(), 3u);
    std::vector<std::string> Aside;
    for (const auto& F : fs::directory_iterator(Dir))
      if (F.path().filename().string().starts_with("ChatFileList.json.broken-"))
        Aside.push_back(*ReadFileBytes(F.path().string()));
    EXPECT_EQ(Aside, Case.Bytes ? std::vector{*Case.Bytes} : std::vector<std::string>{});
  }
}

// The name a new chat wants can be taken after it was seen free; the link here stands for
// another process's chat created in between (it is not seen as a file, but its name is taken).
TEST(SharedCatalogue, ANewChatNeverReplacesAFileThatHasItsName) {
  const std::string Dir = MakeTempFolder();
  TChatFiles One(Dir, Noon), Two(Dir, Noon);
  TSaveResult First = Two.SaveChat(Chat("둘째 창의 채팅"));
  ASSERT_TRUE(First.Ok()) << First.Error;
  const std::string Stamp = JoinPath(Dir, FormatTimeStamp(Noon()));
  ASSERT_EQ(First.Entry.FileName, Stamp + ".json");
  fs::create_symlink("elsewhere.json", Stamp + "-2.json");

  TSaveResult Mine = One.SaveChat(Chat("첫째 창의 채팅"));
  ASSERT_TRUE(Mine.Ok()) << Mine.Error;
  EXPECT_EQ(Mine.Entry.FileName, Stamp + "-3.json");
  EXPECT_EQ(TextsIn(Stamp + ".json"), std::vector<std::string>{"둘째 창의 채팅"});
  EXPECT_EQ(TextsIn(Stamp + "-3.json"), std::vector<std::string>{"첫째 창의 채팅"});
  EXPECT_TRUE(fs::is_symlink(Stamp + "-2.json"));
  EXPECT_FALSE(fs::exists(JoinPath(Dir, "elsewhere.json")));
  std::vector<std::string> Listed;
  for (const TChatFile& E : OnDisk(Dir).Entries) Listed.push_back(E.FileName);
  EXPECT_EQ(Listed, (std::vector<std::string>{Stamp + ".json", Stamp + "-3.json"}));
}

TEST(SharedCatalogue, ChatsAreTheOwnersOnlyUnlessTheUserChoseOtherwise) {
  const std::string Dir = MakeTempFolder(), Catalogue = JoinPath(Dir, kChatFileListName);
  TChatFiles Files(Dir, Noon);
  TSaveResult New = Files.SaveChat(Chat("질문"));
  ASSERT_TRUE(New.Ok()) << New.Error;
  EXPECT_EQ(ModeOf(New.Entry.FileName), 0600u);
  EXPECT_EQ(ModeOf(Catalogue), 0600u);
  // Shared with the group by the user: each save keeps that.
  chmod(New.Entry.FileName.c_str(), 0640);
  chmod(Catalogue.c_str(), 0640);
  Files.FileName = New.Entry.FileName;
  Files.State = cfsModified;
  Files.Selected = New.Entry;
  ASSERT_TRUE(Files.SaveChat({Chat("질문")[0], CreateChatMessage(kRoleModel, "답")}).Ok());
  EXPECT_EQ(TextsIn(New.Entry.FileName), (std::vector<std::string>{"질문", "답"}));
  EXPECT_EQ(ModeOf(New.Entry.FileName), 0640u);
  EXPECT_EQ(ModeOf(Catalogue), 0640u);
}

// A saver process (kestrill_save_loop --serve) that takes one command a line.
class TSaver {
 public:
  TSaver(const std::string& AFolder, int AId) {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0) return;
    if (pipe2(Out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    std::string Tool = KESTRILL_SAVE_LOOP_PATH, Folder = AFolder, Serve = "--serve",
                Id = std::to_string(AId);
    char* Argv[] = {Tool.data(), Folder.data(), Serve.data(), Id.data(), nullptr};
    if (posix_spawn(&FPid, Tool.c_str(), &Actions, nullptr, Argv, environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    close(In[0]);
    close(Out[1]);
    FIn = In[1];
    FOut = Out[0];
  }
  ~TSaver() {
    if (FIn >= 0) close(FIn);
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
  }

  bool Send(const std::string& ALine) {
    const std::string Text = ALine + "\n";
    return FPid > 0 && write(FIn, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
  }
  // The next line it answers; nullopt when it died or said nothing for 60 s (a hang guard).
  std::optional<std::string> Answer() {
    for (;;) {
      if (auto End = FBuffer.find('\n'); End != std::string::npos) {
        std::string Line = FBuffer.substr(0, End);
        FBuffer.erase(0, End + 1);
        return Line;
      }
      pollfd P{FOut, POLLIN, 0};
      char Buf[4096];
      if (FPid <= 0 || poll(&P, 1, 60000) != 1) return std::nullopt;
      ssize_t N = read(FOut, Buf, sizeof Buf);
      if (N <= 0) return std::nullopt;
      FBuffer.append(Buf, static_cast<std::size_t>(N));
    }
  }
  // Ends its input and waits: true when it exited by itself with status 0.
  bool Finish() {
    close(FIn);
    FIn = -1;
    int Status = 0;
    while (waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  }

 private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
  std::string FBuffer;
};

// 8 processes, 50 rounds: in each, every process continues a chat another made in an earlier
// round and saves a new chat, all new chats of a round wanting the same file name. Half of them
// keep their catalogue in memory like the window, half read it afresh like kestrill-cli.
TEST(ConcurrentSaves, EightProcessesSavingAndContinuingEachOthersChatsLoseNothing) {
  constexpr int kProcesses = 8, kRounds = 50;
  const std::string Dir = MakeTempFolder();
  const unsigned Seed = std::random_device{}();
  RecordProperty("seed", std::to_string(Seed));
  std::mt19937 Rng(Seed);

  struct TExpected {
    std::vector<std::string> Texts;
    int LastRound = 0;
  };
  std::map<std::string, TExpected> Chats;
  std::vector<std::vector<std::string>> Made(kProcesses);  // by process, one a round
  std::vector<std::unique_ptr<TSaver>> Savers;
  for (int P = 0; P < kProcesses; ++P) Savers.push_back(std::make_unique<TSaver>(Dir, P));

  for (int Round = 0; Round < kRounds; ++Round) {
    std::vector<std::string> Continued(kProcesses);
    for (int P = 0; P < kProcesses && Round > 0; ++P) {
      // Another process each, a different one for every P: no chat is continued twice at once.
      const int Other = (P + 1 + Round % (kProcesses - 1)) % kProcesses;
      Continued[P] = Made[Other][std::uniform_int_distribution<int>(0, Round - 1)(Rng)];
    }
    for (int P = 0; P < kProcesses; ++P)
      ASSERT_TRUE(Savers[P]->Send(std::to_string(Round) +
                                  (Continued[P].empty() ? "" : " " + Continued[P])));
    for (int P = 0; P < kProcesses; ++P) {
      std::optional<std::string> Answer = Savers[P]->Answer();
      ASSERT_TRUE(Answer && Answer->starts_with("ok "))
          << "process " << P << ", round " << Round << ": " << Answer.value_or("no answer");
      const std::string New = Answer->substr(3);
      ASSERT_EQ(Chats.count(New), 0u) << New << " was made twice";
      Chats[New] = {{"chat of " + std::to_string(P) + " in " + std::to_string(Round)}, Round};
      Made[P].push_back(New);
      if (!Continued[P].empty()) {
        TExpected& C = Chats[Continued[P]];
        C.Texts.push_back(std::to_string(P) + " " + std::to_string(Round));
        C.LastRound = Round;
      }
    }
  }
  for (auto& S : Savers) EXPECT_TRUE(S->Finish());

  // Every chat once, whole, with every message it was given; nothing else in the folder.
  int Wrong = 0, Private = 0;
  for (const auto& [Path, Expected] : Chats) {
    if (TextsIn(Path) != Expected.Texts && Wrong++ < 5)
      ADD_FAILURE() << Path << " holds other messages than it was given";
    Private += ModeOf(Path) == 0600;
  }
  EXPECT_EQ(Wrong, 0);
  EXPECT_EQ(Private, kProcesses * kRounds);
  std::vector<std::string> Others;
  for (const auto& F : fs::directory_iterator(Dir)) {
    const std::string Name = F.path().filename().string();
    if (!Chats.count(F.path().string()) && Name != kChatFileListName &&
        Name != std::string(kChatFileListName) + ".lock")
      Others.push_back(Name);
  }
  EXPECT_EQ(Others, std::vector<std::string>{});
  EXPECT_EQ(Chats.size(), static_cast<std::size_t>(kProcesses * kRounds));

  // The catalogue lists each exactly once, titled by its first message, timed by its last save.
  const TCatalogueData Listed = OnDisk(Dir);
  EXPECT_TRUE(Listed.Unreadable.empty());
  std::map<std::string, int> Times;
  int Stale = 0;
  for (const TChatFile& E : Listed.Entries) {
    ++Times[E.FileName];
    auto It = Chats.find(E.FileName);
    if (It == Chats.end()) continue;
    const TChatFile Want{E.FileName, TitleFromText(It->second.Texts.front()),
                         FormatTimeStamp(saveloop::SecondOfRound(It->second.LastRound))};
    if (E != Want && Stale++ < 5)
      ADD_FAILURE() << E.FileName << " is listed as \"" << E.Title << "\" of " << E.LastModified;
  }
  EXPECT_EQ(Stale, 0);
  int Missing = 0, Twice = 0, Unknown = 0;
  for (const auto& [Path, Expected] : Chats) Missing += Times.count(Path) == 0;
  for (const auto& [Path, N] : Times) {
    Twice += N > 1;
    Unknown += Chats.count(Path) == 0;
  }
  EXPECT_EQ(Missing, 0);
  EXPECT_EQ(Twice, 0);
  EXPECT_EQ(Unknown, 0);
}

// The loss users saw, end to end: questions saved from several terminals in the same moment.
TEST(ConcurrentSaves, TerminalSavesAtOnceKeepEveryChat) {
  constexpr int kTerminals = 4;
  testing::TFakeHttpServer Server;
  Server.SetDefault({200, R"({"choices":[{"message":{"content":"답변"}}]})"});
  const std::string Home = MakeTempFolder(), Data = Home + "/Documents/Kestrill";
  fs::create_directories(Data);
  TConfig Config(Data + "/Kestrill.Ini");
  Config.Write(keys::OpenAIKey, "key");
  Config.Write(keys::Mode, 0);
  std::string Script;
  for (int I = 0; I < kTerminals; ++I)
    Script += "( HOME='" + Home + "' XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= TMPDIR='" + Home +
              "' KESTRILL_OPENAI_URL='" + Server.BaseUrl() +
              "' '" KESTRILL_CLI_PATH "' --provider chatgpt --save '질문 " + std::to_string(I) +
              "' >/dev/null 2>'" + Home + "/err" + std::to_string(I) + "' </dev/null; echo $? >'" +
              Home + "/status" + std::to_string(I) + "' ) & ";
  ASSERT_EQ(std::system((Script + "wait").c_str()), 0);

  std::multiset<std::string> Questions;
  for (int I = 0; I < kTerminals; ++I) {
    EXPECT_EQ(ReadFileBytes(Home + "/status" + std::to_string(I)), "0\n")
        << ReadFileBytes(Home + "/err" + std::to_string(I)).value_or("");
    Questions.insert("질문 " + std::to_string(I));
  }
  std::multiset<std::string> Saved, Listed;
  for (const auto& F : fs::directory_iterator(Data))
    if (F.path().extension() == ".json" && F.path().filename() != kChatFileListName)
      Saved.insert(TextsIn(F.path().string()).front());
  for (const TChatFile& E : OnDisk(Data).Entries) Listed.insert(E.Title);
  EXPECT_EQ(Saved, Questions);
  EXPECT_EQ(Listed, Questions);
}

}  // namespace
}  // namespace kestrill
