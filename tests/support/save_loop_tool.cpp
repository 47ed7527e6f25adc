// Saves chats and the catalogue through TChatFiles, the program's own save code, for the tests
// that run several savers at once or kill them.
//
//   kestrill_save_loop FOLDER [--loop L] [--in-place | --unmerged]
//
// Saves the two chats of loop L (0 when not given) and the catalogue in a loop, forever, so the
// kill test can SIGKILL it at any moment and look at what is left. Resumes at the step its
// journal names, so every run continues the same sequence of versions (see SaveLoopModel.h).
// Several loops may share FOLDER. Prints a line ("save CHAT STEP") as each chat's save begins,
// so the test can aim its kills at any save, not only the first one of a run. --in-place
// rewrites the files where they are (truncate, then write in pieces), the way a careless program
// would; --unmerged writes the catalogue whole from what this loop alone knows, as a program
// that does not merge would. The kill test uses them to show that its checker does see torn
// files and lost entries.
//
//   kestrill_save_loop FOLDER --serve ID
//
// Reads commands from stdin, one a line: "ROUND" or "ROUND PATH". For each it continues the chat
// at PATH (when given) by one message "ID ROUND", then saves a new chat whose only message is
// "chat of ID in ROUND", the clock standing at SecondOfRound(ROUND). Answers "ok NEWPATH"
// or "error WHY". An even ID keeps one TChatFiles all along, as the window does; an odd one
// reads the catalogue afresh for every command, as kestrill-cli does.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "SaveLoopModel.h"
#include "core/FileIO.h"
#include "engine/ChatFiles.h"
#include "storage/ChatJson.h"

using namespace kestrill;
using namespace kestrill::saveloop;

namespace {

void Die(const std::string& AWhat) {
  std::fprintf(stderr, "save loop: %s\n", AWhat.c_str());
  std::exit(2);
}

void WriteInPlace(const std::string& APath, const std::string& ABytes) {
  int Fd = open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) Die(APath + ": " + std::strerror(errno));
  for (std::size_t At = 0; At < ABytes.size(); At += 4096) {
    std::size_t Len = std::min<std::size_t>(4096, ABytes.size() - At);
    if (write(Fd, ABytes.data() + At, Len) != static_cast<ssize_t>(Len)) Die(APath + ": write");
  }
  close(Fd);
}

enum class TWriter { Program, InPlace, Unmerged };

int SaveLoop(const std::string& AFolder, int ALoop, TWriter AWriter) {
  const std::string JournalPath = JoinPath(AFolder, JournalName(ALoop));
  int Journal = open(JournalPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (Journal < 0) Die(JournalPath + ": " + std::strerror(errno));
  std::uint64_t Step = 0;
  if (pread(Journal, &Step, sizeof Step, 0) != sizeof Step) Step = 0;
  // The step the last run was in may be half done: it is written again, which leaves every
  // file at that step's version, as a finished step would have.
  if (Step == 0) Step = 1;

  std::tm Now{};
  TChatFiles Files(AFolder, [&Now] { return Now; });
  for (const TChatFile& E : CatalogueAt(AFolder, Step - 1, kChatCount - 1, ALoop).Entries)
    Files.AddEntry(E);

  for (;; ++Step) {
    // No fsync: a killed process loses nothing the kernel already has, and that is the only
    // crash this journal has to survive.
    if (pwrite(Journal, &Step, sizeof Step, 0) != sizeof Step) Die(JournalPath + ": write");
    for (int K = 0; K < kChatCount; ++K) {
      const int Chat = ChatOf(ALoop, K);
      Now = ClockAt(Step, Chat);
      std::printf("save %d %llu\n", Chat, static_cast<unsigned long long>(Step));
      std::fflush(stdout);
      const std::string Catalogue = FormatCatalogue(CatalogueAt(AFolder, Step, K, ALoop));
      if (AWriter == TWriter::InPlace) {
        WriteInPlace(ChatPath(AFolder, Chat), ChatFileBytes(Chat, Step));
        WriteInPlace(Files.CatalogueFilePath(), Catalogue);
        continue;
      }
      if (AWriter == TWriter::Unmerged) {
        WriteFileAtomic(ChatPath(AFolder, Chat), ChatFileBytes(Chat, Step));
        WriteFileAtomic(Files.CatalogueFilePath(), Catalogue);
        continue;
      }
      Files.FileName = ChatPath(AFolder, Chat);
      Files.State = cfsModified;
      Files.Selected = Files.EntryOf(Files.FileName);
      TSaveResult R = Files.SaveChat(ChatVersion(Chat, Step));  // the chat, then the catalogue
      if (!R.Ok()) Die(R.Error);
    }
  }
}

int Serve(const std::string& AFolder, int AId) {
  std::tm Now{};
  auto Clock = [&Now] { return Now; };
  std::unique_ptr<TChatFiles> Files;
  std::string Line;
  while (std::getline(std::cin, Line)) {
    std::istringstream In(Line);
    int Round = 0;
    std::string Continued;
    In >> Round >> Continued;
    Now = SecondOfRound(Round);
    std::string Error;
    if (!Files || AId % 2 == 1) {
      Files = std::make_unique<TChatFiles>(AFolder, Clock);
      if (AId % 2 == 1) Error = Files->LoadChatFileList();
    }
    if (Error.empty() && !Continued.empty()) {
      TJsonFileRead Read = ReadChatJsonFile(Continued);
      if (Read.Status != TJsonFileStatus::Ok) {
        Error = Continued + ": " + Read.Error;
      } else {
        TChatHistory H = ReadHistoryDocument(Read.Value).Messages;
        H.push_back(
            CreateChatMessage(kRoleUser, std::to_string(AId) + " " + std::to_string(Round)));
        Files->FileName = Continued;
        Files->State = cfsModified;
        Files->Selected = Files->EntryOf(Continued);
        Error = Files->SaveChat(H).Error;
      }
    }
    TSaveResult New;
    if (Error.empty()) {
      Files->FileName.clear();
      Files->State = cfsNew;
      New = Files->SaveChat({CreateChatMessage(
          kRoleUser, "chat of " + std::to_string(AId) + " in " + std::to_string(Round))});
      Error = New.Error;
    }
    std::replace(Error.begin(), Error.end(), '\n', ' ');
    if (Error.empty())
      std::printf("ok %s\n", New.Entry.FileName.c_str());
    else
      std::printf("error %s\n", Error.c_str());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: kestrill_save_loop FOLDER [--loop L] [--in-place | --unmerged]");
  // Never outlive the test that started us, even if it dies before it could kill us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) return 2;
  alarm(120);
  const std::string Folder = argv[1];
  int Loop = 0, Id = -1;
  TWriter Writer = TWriter::Program;
  for (int I = 2; I < argc; ++I) {
    const std::string A = argv[I];
    if (A == "--in-place")
      Writer = TWriter::InPlace;
    else if (A == "--unmerged")
      Writer = TWriter::Unmerged;
    else if ((A == "--loop" || A == "--serve") && I + 1 < argc)
      (A == "--loop" ? Loop : Id) = std::atoi(argv[++I]);
    else
      Die("unknown argument " + A);
  }
  if (Loop < 0 || Loop >= kMaxLoops) Die("no such loop");
  return Id >= 0 ? Serve(Folder, Id) : SaveLoop(Folder, Loop, Writer);
}
