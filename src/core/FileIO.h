// Whole-file reads, crash-safe whole-file writes, and the lock that lets processes sharing a
// folder take turns.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrill {

class EFileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a read refuses to hold unless its caller knows better: a long chat is tens of MB.
inline constexpr std::uint64_t kDefaultReadLimit = std::uint64_t{256} << 20;

enum class TReadStatus {
  Ok,
  Missing,     // no such file (or a link to nothing)
  NotAFile,    // a folder, a FIFO, a socket, a device: nothing we could read as a file
  TooLarge,    // more than the limit; nothing past the limit was read
  Unreadable,  // open or read failed (Error holds errno)
};

struct TFileBytes {
  TReadStatus Status = TReadStatus::Unreadable;
  std::string Bytes;       // Ok: the whole file; from ReadFileHead, its first bytes
  std::uint64_t Size = 0;  // the size the file had when opened (TooLarge: at least limit + 1)
  int Error = 0;           // errno, for Missing and Unreadable
};

// Reads a whole regular file of at most ALimit bytes. The open never blocks (a FIFO without a
// writer would hang the program) and what it opened is checked to be a regular file, so a link
// to /dev/zero is refused instead of read until memory runs out.
TFileBytes ReadFileUpTo(const std::string& APath, std::uint64_t ALimit);

// The same checks, but only the first AHeadBytes are read; a larger file is Ok, with Size telling
// how large it is.
TFileBytes ReadFileHead(const std::string& APath, std::size_t AHeadBytes);

// The file's bytes, or nullopt when it does not exist, is no regular file, is larger than
// ALimit or cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& APath,
                                         std::uint64_t ALimit = kDefaultReadLimit);

// Who may read a file we write.
enum class TFileAccess {
  Shared,   // a new file is readable by all (0644); a replaced file keeps its mode
  Private,  // a new file is its owner's only (0600); a replaced file keeps its mode (chats)
  Secret,   // always its owner's only (0600), whatever the replaced file allowed (settings)
};

// Replaces APath with AContent atomically: a temporary file in the same folder is written,
// flushed to disk and renamed over the target, so a crash leaves either the old file or the
// new one, never half of one. Throws EFileWriteError describing the failure.
void WriteFileAtomic(const std::string& APath, std::string_view AContent,
                     TFileAccess AAccess = TFileAccess::Shared);
// AOwnerOnly: Secret, else Shared.
inline void WriteFileAtomic(const std::string& APath, std::string_view AContent, bool AOwnerOnly) {
  WriteFileAtomic(APath, AContent, AOwnerOnly ? TFileAccess::Secret : TFileAccess::Shared);
}

// Creates APath holding AContent, as crash-safely as WriteFileAtomic, but only if no file (nor
// link, nor folder) has that name: false when it is taken, and then nothing was changed. Two
// processes creating one name at once: exactly one gets true. Throws EFileWriteError on any
// other failure, a file system that can neither rename without replacing nor link among them.
bool WriteFileAtomicNew(const std::string& APath, std::string_view AContent,
                        TFileAccess AAccess = TFileAccess::Private);

// An exclusive advisory lock on ALockPath (created, owner-only, when missing; never removed),
// held until destruction. Every process or object locking the same path waits for the others,
// threads of one process included. A process that dies lets go of its lock. The lock file is
// only a meeting point: the data it guards lives in other files, which may be replaced freely.
// On a file system without locks it holds none, which is how things were before there were locks.
class TFileLock {
 public:
  // Waits up to ATimeout for the lock. Throws EFileWriteError when the lock file cannot be
  // opened or the lock is still held by another after ATimeout.
  explicit TFileLock(const std::string& ALockPath,
                     std::chrono::milliseconds ATimeout = std::chrono::seconds(10));
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

 private:
  std::intptr_t FHandle;
};

}  // namespace kestrill
