// Saves two chats and the catalogue in a loop, forever, through TChatFiles, so the kill test can
// SIGKILL it at any moment and look at what is left. Resumes at the step its journal names, so
// every run continues the same sequence of versions (see SaveLoopModel.h).
//
//   kestrill_save_loop FOLDER [--in-place]
//
// Prints a line ("save CHAT STEP") as each chat's save begins, so the test can aim its kills
// at any save, not only the first one of a run. --in-place rewrites the files where they are
// (truncate, then write in pieces), the way a careless program would: the kill test uses it to
// show that its checker does see torn files.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SaveLoopModel.h"
#include "engine/ChatFiles.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: kestrill_save_loop FOLDER [--in-place]");
  // Never outlive the test that started us, even if it dies before it could kill us.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) return 2;
  alarm(120);
  const std::string Folder = argv[1];
  const bool InPlace = argc > 2 && std::string(argv[2]) == "--in-place";

  const std::string JournalPath = JoinPath(Folder, kJournalName);
  int Journal = open(JournalPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (Journal < 0) Die(JournalPath + ": " + std::strerror(errno));
  std::uint64_t Step = 0;
  if (pread(Journal, &Step, sizeof Step, 0) != sizeof Step) Step = 0;
  // The step the last run was in may be half done: it is written again, which leaves every
  // file at that step's version, as a finished step would have.
  if (Step == 0) Step = 1;

  std::tm Now{};
  TChatFiles Files(Folder, [&Now] { return Now; });
  for (const TChatFile& E : CatalogueAt(Folder, Step - 1, kChatCount - 1).Entries)
    Files.AddEntry(E);

  for (;; ++Step) {
    // No fsync: a killed process loses nothing the kernel already has, and that is the only
    // crash this journal has to survive.
    if (pwrite(Journal, &Step, sizeof Step, 0) != sizeof Step) Die(JournalPath + ": write");
    for (int K = 0; K < kChatCount; ++K) {
      Now = ClockAt(Step, K);
      std::printf("save %d %llu\n", K, static_cast<unsigned long long>(Step));
      std::fflush(stdout);
      if (InPlace) {
        WriteInPlace(ChatPath(Folder, K), ChatFileBytes(K, Step));
        WriteInPlace(Files.CatalogueFilePath(), FormatCatalogue(CatalogueAt(Folder, Step, K)));
        continue;
      }
      Files.FileName = ChatPath(Folder, K);
      Files.State = cfsModified;
      Files.Selected = Files.EntryOf(Files.FileName);
      TSaveResult R = Files.SaveChat(ChatVersion(K, Step));  // the chat, then the catalogue
      if (!R.Ok()) Die(R.Error);
    }
  }
}
