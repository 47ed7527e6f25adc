// A crash never leaves half a chat: the save-loop tool rewrites two chats and the catalogue
// through the program's own save code and is killed with SIGKILL hundreds of times at random
// moments. After every kill each file must be one whole version, the one before the write that
// was cut short or the one after it, byte for byte.
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

// One run of the tool; killed at the latest when it goes out of scope.
class TSaveLoop {
 public:
  TSaveLoop(const std::string& AFolder, bool AInPlace) {
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
    std::string Tool = KESTRILL_SAVE_LOOP_PATH, Folder = AFolder, Mode = "--in-place";
    char* Argv[] = {Tool.data(), Folder.data(), AInPlace ? Mode.data() : nullptr, nullptr};
    if (posix_spawn(&FPid, Tool.c_str(), &Actions, nullptr, Argv, environ) != 0) FPid = -1;
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

std::uint64_t JournalStep(const std::string& AFolder) {
  auto Bytes = ReadFileBytes(JoinPath(AFolder, kJournalName));
  std::uint64_t Step = 0;
  if (Bytes && Bytes->size() == sizeof Step) std::memcpy(&Step, Bytes->data(), sizeof Step);
  return Step;
}

struct TCheck {
  int Torn = 0;                     // files that are not one whole version
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

// Step J of the journal was begun and possibly cut short: every file holds what step J-1 left
// or what J wrote.
TCheck CheckFolder(const std::string& AFolder) {
  TCheck R;
  const std::uint64_t J = JournalStep(AFolder);
  for (int K = 0; K < kChatCount; ++K) {
    TVersions Chat{J >= 2 ? std::optional(ChatFileBytes(K, J - 1)) : std::nullopt};
    if (J >= 1) Chat.push_back(ChatFileBytes(K, J));
    CheckFile(ChatPath(AFolder, K), Chat, R);
  }
  TVersions Catalogue{
      J >= 2 ? std::optional(FormatCatalogue(CatalogueAt(AFolder, J - 1, kChatCount - 1)))
             : std::nullopt};
  for (int K = 0; J >= 1 && K < kChatCount; ++K)
    Catalogue.push_back(FormatCatalogue(CatalogueAt(AFolder, J, K)));
  const std::string CataloguePath = JoinPath(AFolder, kChatFileListName);
  const int TornBefore = R.Torn;
  CheckFile(CataloguePath, Catalogue, R);

  // A write cut short leaves its temporary file. It must be recognisable as one and never
  // look like a chat: no ".json" ending, and the catalogue never names it.
  std::set<std::string> Known{kJournalName, kChatFileListName};
  for (int K = 0; K < kChatCount; ++K) Known.insert(FileNameOfPath(ChatPath(AFolder, K)));
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
  if (R.Torn == TornBefore && std::filesystem::exists(CataloguePath)) {
    TChatFiles Files(AFolder);
    std::string Error = Files.LoadChatFileList();
    std::set<std::string> Listed;
    for (const TChatFile& E : Files.List()) Listed.insert(E.FileName);
    std::set<std::string> Chats;
    for (int K = 0; K < kChatCount; ++K) Chats.insert(ChatPath(AFolder, K));
    if (!Error.empty() || Listed != Chats) R.Problems.push_back("catalogue lists other chats");
  }
  return R;
}

struct TKillRun {
  int Kills = 0;
  int Torn = 0;
  std::set<std::string> TempFiles;
  std::vector<std::string> Problems;
  std::uint64_t Steps = 0;
};

// Starts the tool, kills it 0 to 15 ms into one of its first three saves (a save writes the chat
// and then the catalogue), checks the folder; AKills times, or until the first torn file when
// AStopAtTorn. A run begins by redoing the step it was killed in; its third save belongs to the
// next step, so the versions move on even where fsync makes one save outlast the longest delay.
TKillRun RunKills(int AKills, bool AInPlace, bool AStopAtTorn) {
  TKillRun Run;
  const std::string Folder = testing::MakeTempFolder();
  const unsigned Seed = std::random_device{}();
  ::testing::Test::RecordProperty(AInPlace ? "in_place_seed" : "seed", std::to_string(Seed));
  std::mt19937 Rng(Seed);
  std::uniform_int_distribution<int> DelayUs(0, 15000), Save(1, 3);
  for (int I = 0; I < AKills && !(AStopAtTorn && Run.Torn > 0); ++I) {
    TSaveLoop Loop(Folder, AInPlace);
    if (!Loop.WaitForSave(Save(Rng))) {
      Run.Problems.push_back("the save loop did not start");
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(DelayUs(Rng)));
    if (!Loop.Kill()) {
      Run.Problems.push_back("the save loop stopped on its own");
      break;
    }
    ++Run.Kills;
    TCheck C = CheckFolder(Folder);
    Run.Torn += C.Torn;
    Run.TempFiles.insert(C.TempFiles.begin(), C.TempFiles.end());
    for (auto& P : C.Problems)
      if (Run.Problems.size() < 10)
        Run.Problems.push_back("kill " + std::to_string(I + 1) + ": " + P);
  }
  Run.Steps = JournalStep(Folder);
  std::error_code Ec;
  std::filesystem::remove_all(Folder, Ec);
  return Run;
}

std::string Join(const std::vector<std::string>& ALines) {
  std::string Out;
  for (const auto& L : ALines) Out += L + "\n";
  return Out;
}

TEST(KillSaveTest, EveryFileIsOneWholeVersionAfterSigkillAtAnyMoment) {
  TKillRun Run = RunKills(500, false, false);
  std::printf("kills: %d, torn files: %d, leftover temp files: %zu, steps reached: %llu\n",
              Run.Kills, Run.Torn, Run.TempFiles.size(),
              static_cast<unsigned long long>(Run.Steps));
  RecordProperty("kills", Run.Kills);
  RecordProperty("torn_files", Run.Torn);
  RecordProperty("leftover_temp_files", static_cast<int>(Run.TempFiles.size()));
  EXPECT_EQ(Run.Kills, 500);
  EXPECT_EQ(Run.Torn, 0);
  EXPECT_TRUE(Run.Problems.empty()) << Join(Run.Problems);
  // Each temporary file left behind is a kill that landed inside a write; without any, the run
  // would have proved nothing.
  EXPECT_GT(Run.TempFiles.size(), 0u);
}

// The same checker against files rewritten in place: it must see them torn, or the test above
// could pass on a checker that sees nothing.
TEST(KillSaveTest, TheCheckerSeesFilesTornByAnInPlaceWriter) {
  TKillRun Run = RunKills(300, true, true);
  std::printf("in-place writer: kills: %d, torn files: %d\n", Run.Kills, Run.Torn);
  EXPECT_GT(Run.Torn, 0);
}

}  // namespace
}  // namespace kestrill
