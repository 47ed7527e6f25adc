// A crash never leaves half a chat: the save-loop tool rewrites two chats and the catalogue
// through the program's own save code and is killed with SIGKILL hundreds of times at random
// moments. After every kill each file must be one whole version, the one before the write that
// was cut short or the one after it, byte for byte. Two such loops sharing one folder write the
// catalogue in turns, each merging its changes into what the other wrote: killed at any moment,
// neither may lose or set back an entry of the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SaveLoopModel.h"
#include "TestEnv.h"
#include "core/FileIO.h"
#include "engine/ChatFiles.h"
#include "storage/ChatJson.h"

extern char** environ;

namespace kestrill {
namespace {

using namespace saveloop;

enum class TWriter { Program, InPlace, Unmerged };

// One run of the tool; killed at the latest when it goes out of scope.
class TSaveLoop {
 public:
  TSaveLoop(const std::string& AFolder, int ALoop, TWriter AWriter) {
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
    std::vector<std::string> Args{KESTRILL_SAVE_LOOP_PATH, AFolder, "--loop",
                                  std::to_string(ALoop)};
    if (AWriter == TWriter::InPlace) Args.push_back("--in-place");
    if (AWriter == TWriter::Unmerged) Args.push_back("--unmerged");
    std::vector<char*> Argv;
    for (std::string& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    if (posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    close(Pipe[1]);
    FOut = Pipe[0];
  }
  ~TSaveLoop() {
    if (FPid > 0) Kill();
    if (FOut >= 0) close(FOut);
  }

  // True once the tool has begun its ASaves-th save; false if it died or went quiet for 10 s.
  bool WaitForSave(int ASaves) {
    if (FPid <= 0) return false;
    char Buf[256];
    while (ASaves > 0) {
      pollfd P{FOut, POLLIN, 0};
      if (poll(&P, 1, 10000) != 1) return false;
      ssize_t N = read(FOut, Buf, sizeof Buf);
      if (N <= 0) return false;
      ASaves -= static_cast<int>(std::count(Buf, Buf + N, '\n'));
    }
    return true;
  }

  // True when it was our SIGKILL that ended the tool, not an error of its own.
  bool Kill() {
    kill(FPid, SIGKILL);
    int Status = 0;
    while (waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL;
  }

 private:
  pid_t FPid = -1;
  int FOut = -1;
};

std::uint64_t JournalStep(const std::string& AFolder, int ALoop) {
  auto Bytes = ReadFileBytes(JoinPath(AFolder, JournalName(ALoop)));
  std::uint64_t Step = 0;
  if (Bytes && Bytes->size() == sizeof Step) std::memcpy(&Step, Bytes->data(), sizeof Step);
  return Step;
}

struct TCheck {
  int Torn = 0;                     // files that are not one whole version
  int LostEntries = 0;              // chats the catalogue no longer lists, or lists set back
  std::set<std::string> TempFiles;  // "<file>.tmpXXXXXX" left by writes cut short
  std::vector<std::string> Problems;
};

// nullopt stands for "no file yet".
using TVersions = std::vector<std::optional<std::string>>;

void CheckFile(const std::string& APath, const TVersions& AAllowed, TCheck& AOut) {
  const std::optional<std::string> Bytes = ReadFileBytes(APath);
  bool Whole = std::find(AAllowed.begin(), AAllowed.end(), Bytes) != AAllowed.end();
  if (Whole && Bytes) {
    TJsonFileRead Read = ReadChatJsonFile(APath);
    Whole = Read.Status == TJsonFileStatus::Ok && Read.Value.is_array();
  }
  if (Whole) return;
  ++AOut.Torn;
  AOut.Problems.push_back(FileNameOfPath(APath) + ": " +
                          (Bytes ? std::to_string(Bytes->size()) + " bytes" : "missing") +
                          ", no whole version");
}

// The versions of loop ALoop's part of the catalogue, in step AJ of its journal: what step J-1
// left, or what J wrote after any of its saves. Before its first step is done, other loops'
// writes may have made the file without any of its entries.
std::vector<std::string> CatalogueVersions(const std::string& AFolder, std::uint64_t AJ, int ALoop,
                                           bool AShared) {
  std::vector<std::string> Out;
  if (AJ < 2 && AShared) Out.push_back(FormatCatalogue({}));
  if (AJ >= 2) Out.push_back(FormatCatalogue(CatalogueAt(AFolder, AJ - 1, kChatCount - 1, ALoop)));
  for (int K = 0; AJ >= 1 && K < kChatCount; ++K)
    Out.push_back(FormatCatalogue(CatalogueAt(AFolder, AJ, K, ALoop)));
  return Out;
}

// The catalogue is one whole file, and each loop's entries in it, in file order, are one whole
// version of that loop's part; nothing else is listed. With one loop that is the whole file,
// byte for byte.
void CheckCatalogue(const std::string& AFolder, const std::vector<std::uint64_t>& AJ,
                    TCheck& AOut) {
  const int Loops = static_cast<int>(AJ.size());
  const std::string Path = JoinPath(AFolder, kChatFileListName);
  const std::optional<std::string> Bytes = ReadFileBytes(Path);
  if (!Bytes) {
    // Only before any loop has finished its first step.
    if (std::any_of(AJ.begin(), AJ.end(), [](std::uint64_t J) { return J >= 2; })) {
      ++AOut.Torn;
      AOut.Problems.push_back(std::string(kChatFileListName) + ": missing");
    }
    return;
  }
  TJsonFileRead Read = ParseChatJsonText(*Bytes);
  TCatalogueData Listed;
  if (Read.Status == TJsonFileStatus::Ok) Listed = ReadCatalogueDocument(Read.Value);
  if (Read.Status != TJsonFileStatus::Ok || !Read.Value.is_array() ||
      FormatCatalogue(Listed) != *Bytes) {
    ++AOut.Torn;
    AOut.Problems.push_back(std::string(kChatFileListName) + ": " + std::to_string(Bytes->size()) +
                            " bytes, no whole version");
    return;
  }
  std::size_t Known = 0;
  for (int L = 0; L < Loops; ++L) {
    TCatalogueData Own;
    std::set<std::string> Chats;
    for (int K = 0; K < kChatCount; ++K) Chats.insert(ChatPath(AFolder, ChatOf(L, K)));
    for (const TChatFile& E : Listed.Entries)
      if (Chats.count(E.FileName)) Own.Entries.push_back(E);
    Known += Own.Entries.size();
    const auto Versions = CatalogueVersions(AFolder, AJ[L], L, Loops > 1);
    if (std::find(Versions.begin(), Versions.end(), FormatCatalogue(Own)) != Versions.end())
      continue;
    // Which chats went missing or back: an entry no allowed version of the loop holds.
    int Lost = 0;
    for (int K = 0; K < kChatCount; ++K) {
      const std::string Chat = ChatPath(AFolder, ChatOf(L, K));
      auto Mine = std::find_if(Own.Entries.begin(), Own.Entries.end(),
                               [&](const TChatFile& E) { return E.FileName == Chat; });
      bool Valid = false;
      for (std::uint64_t Step = AJ[L] - 1; Mine != Own.Entries.end() && AJ[L] >= 1 && Step <= AJ[L];
           ++Step)
        Valid |= *Mine == CatalogueAt(AFolder, Step, kChatCount - 1, L).Entries[K];
      Lost += !Valid;
    }
    AOut.LostEntries += Lost;
    AOut.Problems.push_back("loop " + std::to_string(L) + " at step " + std::to_string(AJ[L]) +
                            ": " + std::to_string(Lost) + " entries lost or set back among " +
                            std::to_string(Own.Entries.size()));
  }
  if (Known != Listed.Entries.size() || !Listed.Unreadable.empty())
    AOut.Problems.push_back("catalogue lists other chats");
  // The program's own reader sees the same list.
  TChatFiles Files(AFolder);
  std::string Error = Files.LoadChatFileList();
  std::multiset<std::string> Loaded, Expected;
  for (const TChatFile& E : Files.List()) Loaded.insert(E.FileName);
  for (const TChatFile& E : Listed.Entries) Expected.insert(E.FileName);
  if (!Error.empty() || Loaded != Expected)
    AOut.Problems.push_back("the catalogue loads otherwise");
}

// Each loop's journal says step J was begun and possibly cut short: every file holds what step
// J-1 left or what J wrote.
TCheck CheckFolder(const std::string& AFolder, int ALoops) {
  TCheck R;
  std::vector<std::uint64_t> J;
  std::set<std::string> Known{kChatFileListName, std::string(kChatFileListName) + ".lock"};
  for (int L = 0; L < ALoops; ++L) {
    J.push_back(JournalStep(AFolder, L));
    Known.insert(JournalName(L));
    for (int K = 0; K < kChatCount; ++K) {
      const int Chat = ChatOf(L, K);
      TVersions Versions{J[L] >= 2 ? std::optional(ChatFileBytes(Chat, J[L] - 1)) : std::nullopt};
      if (J[L] >= 1) Versions.push_back(ChatFileBytes(Chat, J[L]));
      CheckFile(ChatPath(AFolder, Chat), Versions, R);
      Known.insert(FileNameOfPath(ChatPath(AFolder, Chat)));
    }
  }
  CheckCatalogue(AFolder, J, R);

  // A write cut short leaves its temporary file. It must be recognisable as one and never
  // look like a chat: no ".json" ending, and the catalogue never names it.
  for (const auto& E : std::filesystem::directory_iterator(AFolder)) {
    const std::string Name = E.path().filename().string();
    if (Known.count(Name)) continue;
    auto Tmp = Name.rfind(".tmp");
    if (Tmp != std::string::npos && Name.size() == Tmp + 10 && Known.count(Name.substr(0, Tmp)) &&
        !Name.ends_with(".json")) {
      R.TempFiles.insert(Name);
      continue;
    }
    R.Problems.push_back("unexpected file " + Name);
  }
  return R;
}

struct TKillRun {
  int Kills = 0;
  int Torn = 0;
  int LostEntries = 0;
  std::set<std::string> TempFiles;
  std::vector<std::string> Problems;
  std::vector<std::uint64_t> Steps;
};

// Starts ALoops loops on one folder, kills them all 0 to 15 ms into one of the first three saves
// of one of them (a save writes the chat and then the catalogue), checks the folder; until
// AKills kills, or until the first torn file or lost entry when AStopAtFirst. A run begins by
// redoing the step it was killed in; its third save belongs to the next step, so the versions
// move on even where fsync makes one save outlast the longest delay.
TKillRun RunKills(int AKills, TWriter AWriter, int ALoops, bool AStopAtFirst) {
  TKillRun Run;
  const std::string Folder = testing::MakeTempFolder();
  const unsigned Seed = std::random_device{}();
  ::testing::Test::RecordProperty("seed", std::to_string(Seed));
  std::mt19937 Rng(Seed);
  std::uniform_int_distribution<int> DelayUs(0, 15000), Save(1, 3), Aim(0, ALoops - 1);
  for (int I = 0; Run.Kills < AKills && !(AStopAtFirst && Run.Torn + Run.LostEntries > 0); ++I) {
    std::vector<std::unique_ptr<TSaveLoop>> Loops;
    for (int L = 0; L < ALoops; ++L)
      Loops.push_back(std::make_unique<TSaveLoop>(Folder, L, AWriter));
    if (!Loops[static_cast<std::size_t>(Aim(Rng))]->WaitForSave(Save(Rng))) {
      Run.Problems.push_back("the save loop did not start");
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(DelayUs(Rng)));
    bool AllKilled = true;
    for (auto& L : Loops) AllKilled &= L->Kill();
    if (!AllKilled) {
      Run.Problems.push_back("a save loop stopped on its own");
      break;
    }
    Run.Kills += ALoops;
    TCheck C = CheckFolder(Folder, ALoops);
    Run.Torn += C.Torn;
    Run.LostEntries += C.LostEntries;
    Run.TempFiles.insert(C.TempFiles.begin(), C.TempFiles.end());
    for (auto& P : C.Problems)
      if (Run.Problems.size() < 10)
        Run.Problems.push_back("run " + std::to_string(I + 1) + ": " + P);
  }
  for (int L = 0; L < ALoops; ++L) Run.Steps.push_back(JournalStep(Folder, L));
  std::error_code Ec;
  std::filesystem::remove_all(Folder, Ec);
  return Run;
}

std::string Join(const std::vector<std::string>& ALines) {
  std::string Out;
  for (const auto& L : ALines) Out += L + "\n";
  return Out;
}

std::string Join(const std::vector<std::uint64_t>& ASteps) {
  std::string Out;
  for (auto S : ASteps) Out += (Out.empty() ? "" : ", ") + std::to_string(S);
  return Out;
}

void Report(const char* AName, const TKillRun& ARun) {
  std::printf(
      "%s: kills: %d, torn files: %d, lost entries: %d, leftover temp files: %zu, "
      "steps reached: %s\n",
      AName, ARun.Kills, ARun.Torn, ARun.LostEntries, ARun.TempFiles.size(),
      Join(ARun.Steps).c_str());
  ::testing::Test::RecordProperty("kills", ARun.Kills);
  ::testing::Test::RecordProperty("torn_files", ARun.Torn);
  ::testing::Test::RecordProperty("lost_entries", ARun.LostEntries);
  ::testing::Test::RecordProperty("leftover_temp_files", static_cast<int>(ARun.TempFiles.size()));
}

TEST(KillSaveTest, EveryFileIsOneWholeVersionAfterSigkillAtAnyMoment) {
  TKillRun Run = RunKills(500, TWriter::Program, 1, false);
  Report("one loop", Run);
  EXPECT_EQ(Run.Kills, 500);
  EXPECT_EQ(Run.Torn, 0);
  EXPECT_TRUE(Run.Problems.empty()) << Join(Run.Problems);
  // Each temporary file left behind is a kill that landed inside a write; without any, the run
  // would have proved nothing.
  EXPECT_GT(Run.TempFiles.size(), 0u);
}

// Two loops on one folder, both killed at once at any moment of either's saves, some while
// one of them holds the catalogue's lock.
TEST(KillSaveTest, TwoWritersOfOneCatalogueLoseNoEntryOfEachOtherAfterSigkill) {
  TKillRun Run = RunKills(500, TWriter::Program, 2, false);
  Report("two loops", Run);
  EXPECT_EQ(Run.Kills, 500);
  EXPECT_EQ(Run.Torn, 0);
  EXPECT_EQ(Run.LostEntries, 0);
  EXPECT_TRUE(Run.Problems.empty()) << Join(Run.Problems);
  EXPECT_GT(Run.TempFiles.size(), 0u);
  // Both loops got past their first steps, so each had entries the other could have lost.
  EXPECT_GE(*std::min_element(Run.Steps.begin(), Run.Steps.end()), 3u);
}

// The same checker against files rewritten in place: it must see them torn, or the tests above
// could pass on a checker that sees nothing.
TEST(KillSaveTest, TheCheckerSeesFilesTornByAnInPlaceWriter) {
  TKillRun Run = RunKills(300, TWriter::InPlace, 1, true);
  std::printf("in-place writer: kills: %d, torn files: %d\n", Run.Kills, Run.Torn);
  EXPECT_GT(Run.Torn, 0);
}

// And against two loops that each write the catalogue from their own list alone: it must see
// the entries one drops of the other.
TEST(KillSaveTest, TheCheckerSeesEntriesLostByWritersThatDoNotMerge) {
  TKillRun Run = RunKills(200, TWriter::Unmerged, 2, true);
  std::printf("unmerged writers: kills: %d, lost entries: %d\n", Run.Kills, Run.LostEntries);
  EXPECT_GT(Run.LostEntries, 0);
}

}  // namespace
}  // namespace kestrill
