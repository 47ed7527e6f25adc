#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

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

namespace {

// The mode the new version of APath gets: an existing file's own (the user may have narrowed
// or widened it on purpose), except for secrets, which are never left readable by others.
mode_t ModeFor(const std::string& APath, TFileAccess AAccess) {
  struct stat St {};
  if (AAccess != TFileAccess::Secret && stat(APath.c_str(), &St) == 0 && S_ISREG(St.st_mode))
    return St.st_mode & 0777;
  return AAccess == TFileAccess::Shared ? 0644 : 0600;
}

// Writes AContent to a new temporary file next to APath ("NAME.tmpXXXXXX"), with AMode, flushed
// to disk and closed. Returns its path; on failure nothing is left behind.
std::string WriteTemporary(const std::string& APath, std::string_view AContent, mode_t AMode) {
  std::string Tmp = APath + ".tmpXXXXXX";
  int Fd = mkstemp(Tmp.data());
  if (Fd < 0) Fail(APath, "create", errno);

  auto Abandon = [&](const char* AStep) {
    int Err = errno;
    close(Fd);
    unlink(Tmp.c_str());
    Fail(APath, AStep, Err);
  };
  // Set explicitly: mkstemp's 0600 is cut by the umask, and asking for the umask would change
  // it process-wide for a moment, which is not thread-safe.
  if (fchmod(Fd, AMode) != 0) Abandon("chmod");
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
  return Tmp;
}

// Makes a rename or link in APath's folder durable.
void SyncFolderOf(const std::string& APath) {
  if (int Dir = open(FolderOf(APath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); Dir >= 0) {
    fsync(Dir);
    close(Dir);
  }
}

}  // namespace

void WriteFileAtomic(const std::string& ALinkOrPath, std::string_view AContent,
                     TFileAccess AAccess) {
  const std::string APath = ResolveLinks(ALinkOrPath);
  RemoveLeftovers(APath);
  const std::string Tmp = WriteTemporary(APath, AContent, ModeFor(APath, AAccess));
  if (rename(Tmp.c_str(), APath.c_str()) != 0) {
    int Err = errno;
    unlink(Tmp.c_str());
    Fail(APath, "rename", Err);
  }
  SyncFolderOf(APath);
}

bool WriteFileAtomicNew(const std::string& APath, std::string_view AContent, TFileAccess AAccess) {
  RemoveLeftovers(APath);
  const std::string Tmp =
      WriteTemporary(APath, AContent, AAccess == TFileAccess::Shared ? 0644 : 0600);
  // The whole file gets the name in one step that fails when the name is taken: a rename that
  // never replaces, or where the file system lacks it, a hard link (then the temporary name
  // goes).
  int Err = 0;
  if (renameat2(AT_FDCWD, Tmp.c_str(), AT_FDCWD, APath.c_str(), RENAME_NOREPLACE) != 0) {
    Err = errno;
    if (Err == EINVAL || Err == ENOSYS || Err == ENOTSUP) {
      Err = link(Tmp.c_str(), APath.c_str()) == 0 ? 0 : errno;
      unlink(Tmp.c_str());
    } else {
      unlink(Tmp.c_str());
    }
  }
  if (Err == EEXIST) return false;
  if (Err != 0) Fail(APath, "create", Err);
  SyncFolderOf(APath);
  return true;
}

TFileLock::TFileLock(const std::string& ALockPath, std::chrono::milliseconds ATimeout) {
  int Fd = open(ALockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // A lock file someone else made read-only locks as well through a read-only descriptor.
  if (Fd < 0 && errno == EACCES) Fd = open(ALockPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) Fail(ALockPath, "lock", errno);
  FHandle = Fd;
  // flock, not fcntl locks: those belong to the process, so two objects of one process would
  // not exclude each other, and closing any descriptor of the file would drop them.
  const auto Deadline = std::chrono::steady_clock::now() + ATimeout;
  auto Pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(Fd, LOCK_EX | LOCK_NB) == 0) return;
    const int Err = errno;
    if (Err == EINTR) continue;
    // A file system without locks at all: go on unlocked, as before there were locks, rather
    // than never saving there again.
    if (Err == ENOLCK || Err == EINVAL || Err == ENOTSUP || Err == ENOSYS) return;
    if (Err != EWOULDBLOCK || std::chrono::steady_clock::now() >= Deadline) {
      close(Fd);
      Fail(ALockPath, "lock", Err);
    }
    // Polled rather than waited for, so that a holder that never lets go (a stopped process)
    // costs a failed save instead of a hung window. Holders keep it for milliseconds.
    std::this_thread::sleep_for(Pause);
    Pause = std::min(Pause * 2, std::chrono::milliseconds(16));
  }
}

TFileLock::~TFileLock() { close(static_cast<int>(FHandle)); }

}  // namespace kestrill
