#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/FileIO.h"

namespace kestrill {
namespace {

std::string FolderOf(const std::string& APath) {
  auto Slash = APath.find_last_of('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : APath.substr(0, Slash);
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

void WriteFileAtomic(const std::string& APath, std::string_view AContent, bool AOwnerOnly) {
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
