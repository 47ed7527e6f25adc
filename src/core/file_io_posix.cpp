#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/FileIO.h"

namespace kestrill {
namespace {

std::string FolderOf(const std::string& APath) {
  auto Slash = APath.find_last_of('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : APath.substr(0, Slash);
}

// A settings or chat file that is a symbolic link is written through to its target, so the
// link the user made stays a link. Relative targets are taken from the link's own folder.
std::string ResolveLinks(const std::string& APath) {
  std::string Path = APath;
  for (int Hop = 0; Hop < 40; ++Hop) {
    struct stat St {};
    if (lstat(Path.c_str(), &St) != 0 || !S_ISLNK(St.st_mode)) return Path;
    std::string Target(4096, '\0');
    ssize_t N = readlink(Path.c_str(), Target.data(), Target.size());
    if (N <= 0) return Path;
    Target.resize(static_cast<std::size_t>(N));
    Path = Target.front() == '/' ? Target : FolderOf(Path) + "/" + Target;
  }
  return Path;
}

// Temporary files of writes that were killed midway ("NAME.tmpXXXXXX") may hold API keys; they
// are removed when the file is next written. Young ones are left alone: another process may be
// writing the same file right now.
void RemoveLeftovers(const std::string& APath) {
  const std::string Folder = FolderOf(APath);
  const std::string Prefix = APath.substr(APath.find_last_of('/') + 1) + ".tmp";
  DIR* D = opendir(Folder.c_str());
  if (!D) return;
  const std::time_t Now = std::time(nullptr);
  while (dirent* E = readdir(D)) {
    std::string_view Name = E->d_name;
    if (Name.size() != Prefix.size() + 6 || Name.substr(0, Prefix.size()) != Prefix) continue;
    std::string Full = Folder + "/" + std::string(Name);
    struct stat St {};
    if (lstat(Full.c_str(), &St) == 0 && S_ISREG(St.st_mode) && Now - St.st_mtime > 10)
      unlink(Full.c_str());
  }
  closedir(D);
}

[[noreturn]] void Fail(const std::string& APath, const char* AStep, int AErr) {
  throw EFileWriteError(APath + ": " + AStep + ": " + std::strerror(AErr));
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& APath) {
  int Fd = open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return std::nullopt;
  struct stat St {};
  if (fstat(Fd, &St) != 0 || S_ISDIR(St.st_mode)) {
    close(Fd);
    return std::nullopt;
  }
  // One allocation of the size the file has now; a file that grows meanwhile is read on.
  std::string Bytes(static_cast<std::size_t>(St.st_size), '\0');
  std::size_t Got = 0;
  for (;;) {
    if (Got == Bytes.size()) Bytes.resize(Bytes.size() + 65536);
    ssize_t N = read(Fd, Bytes.data() + Got, Bytes.size() - Got);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) {
      close(Fd);
      return std::nullopt;
    }
    if (N == 0) break;
    Got += static_cast<std::size_t>(N);
  }
  close(Fd);
  Bytes.resize(Got);
  return Bytes;
}

void WriteFileAtomic(const std::string& ALinkOrPath, std::string_view AContent, bool AOwnerOnly) {
  const std::string APath = ResolveLinks(ALinkOrPath);
  RemoveLeftovers(APath);
  std::string Tmp = APath + ".tmpXXXXXX";
  int Fd = mkstemp(Tmp.data());
  if (Fd < 0) Fail(APath, "create", errno);

  auto Abandon = [&](const char* AStep) {
    int Err = errno;
    close(Fd);
    unlink(Tmp.c_str());
    Fail(APath, AStep, Err);
  };
  // mkstemp makes 0600; widen to the usual mode unless the file holds secrets. (Asking for
  // the umask would change it process-wide for a moment, which is not thread-safe.)
  if (!AOwnerOnly && fchmod(Fd, 0644) != 0) Abandon("chmod");
  const char* P = AContent.data();
  std::size_t Left = AContent.size();
  while (Left > 0) {
    ssize_t N = write(Fd, P, Left);
    if (N < 0) {
      if (errno == EINTR) continue;
      Abandon("write");
    }
    P += N;
    Left -= static_cast<std::size_t>(N);
  }
  if (fsync(Fd) != 0) Abandon("fsync");
  if (close(Fd) != 0) {
    int Err = errno;
    unlink(Tmp.c_str());
    Fail(APath, "close", Err);
  }
  if (rename(Tmp.c_str(), APath.c_str()) != 0) {
    int Err = errno;
    unlink(Tmp.c_str());
    Fail(APath, "rename", Err);
  }
  // Make the rename itself durable.
  if (int Dir = open(FolderOf(APath).c_str(), O_RDONLY | O_DIRECTORY); Dir >= 0) {
    fsync(Dir);
    close(Dir);
  }
}

}  // namespace kestrill
