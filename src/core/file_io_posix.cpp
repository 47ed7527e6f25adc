#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

namespace {

// Opens APath as a regular file, or says in AOut why it is none. A path naming something else is
// refused before it is opened where possible (opening some devices has effects of its own); the
// check after opening is the one that counts, as the path may change in between. O_NONBLOCK keeps
// the open of a FIFO without a writer from hanging.
int OpenRegularFile(const std::string& APath, TFileBytes& AOut, struct stat& ASt) {
  if (stat(APath.c_str(), &ASt) == 0 && !S_ISREG(ASt.st_mode)) {
    AOut.Status = TReadStatus::NotAFile;
    return -1;
  }
  int Fd;
  do Fd = open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (Fd < 0 && errno == EINTR);
  if (Fd < 0) {
    AOut.Error = errno;
    AOut.Status = errno == ENOENT || errno == ENOTDIR ? TReadStatus::Missing
                  : errno == ENXIO                    ? TReadStatus::NotAFile  // a socket
                                                      : TReadStatus::Unreadable;
    return -1;
  }
  if (fstat(Fd, &ASt) != 0) {
    AOut.Error = errno;
    AOut.Status = TReadStatus::Unreadable;
    close(Fd);
    return -1;
  }
  if (!S_ISREG(ASt.st_mode)) {
    AOut.Status = TReadStatus::NotAFile;
    close(Fd);
    return -1;
  }
  // Reads of a regular file never wait anyway; the flag goes so the descriptor is an ordinary one.
  if (int Flags = fcntl(Fd, F_GETFL); Flags >= 0) fcntl(Fd, F_SETFL, Flags & ~O_NONBLOCK);
  return Fd;
}

// AHeadOnly: the first ALimit bytes of a file of any size. Otherwise the whole file, refused when
// it holds more than ALimit; never more than ALimit + 1 bytes are read, whatever the file claims.
TFileBytes ReadRegularFile(const std::string& APath, std::uint64_t ALimit, bool AHeadOnly) {
  TFileBytes R;
  struct stat St {};
  const int Fd = OpenRegularFile(APath, R, St);
  if (Fd < 0) return R;
  R.Size = static_cast<std::uint64_t>(St.st_size);
  if (!AHeadOnly && R.Size > ALimit) {
    close(Fd);
    R.Status = TReadStatus::TooLarge;
    return R;
  }
  const std::uint64_t Cap = AHeadOnly || ALimit == UINT64_MAX ? ALimit : ALimit + 1;
  // One allocation of the size the file has now; a file that grows meanwhile is read on (up to
  // the cap), as is one that claims no size (files of /proc).
  R.Bytes.resize(static_cast<std::size_t>(std::min(R.Size, Cap)));
  std::size_t Got = 0;
  while (Got < Cap) {
    if (Got == R.Bytes.size())
      R.Bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(Got + 65536, Cap)));
    const ssize_t N = read(Fd, R.Bytes.data() + Got, R.Bytes.size() - Got);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) {
      R.Error = errno;
      close(Fd);
      R.Bytes = std::string();
      R.Status = TReadStatus::Unreadable;
      return R;
    }
    if (N == 0) break;
    Got += static_cast<std::size_t>(N);
  }
  close(Fd);
  R.Bytes.resize(Got);
  if (!AHeadOnly && Got > ALimit) {  // it grew past the limit while we read
    R.Size = std::max<std::uint64_t>(R.Size, Got);
    R.Bytes = std::string();
    R.Status = TReadStatus::TooLarge;
    return R;
  }
  R.Status = TReadStatus::Ok;
  return R;
}

}  // namespace

TFileBytes ReadFileUpTo(const std::string& APath, std::uint64_t ALimit) {
  return ReadRegularFile(APath, ALimit, /*AHeadOnly=*/false);
}

TFileBytes ReadFileHead(const std::string& APath, std::size_t AHeadBytes) {
  return ReadRegularFile(APath, AHeadBytes, /*AHeadOnly=*/true);
}

std::optional<std::string> ReadFileBytes(const std::string& APath, std::uint64_t ALimit) {
  TFileBytes R = ReadFileUpTo(APath, ALimit);
  if (R.Status == TReadStatus::Ok) return std::move(R.Bytes);
  // Callers that only see nullopt may still ask errno why.
  if (R.Error != 0)
    errno = R.Error;
  else
    errno = R.Status == TReadStatus::TooLarge ? EFBIG : EINVAL;
  return std::nullopt;
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
  // A FIFO or a device in the file's place (a settings file linked to /dev/null) is never
  // replaced: renaming over it would take it away from everything else that uses it. A folder
  // fails at the rename, as it always did.
  struct stat St {};
  if (lstat(APath.c_str(), &St) == 0 && !S_ISREG(St.st_mode) && !S_ISDIR(St.st_mode))
    throw EFileWriteError(APath + ": 일반 파일이 아니어서 덮어쓰지 않습니다.");
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
