// Whole-file reads and crash-safe whole-file writes.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrill {

class EFileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file's bytes, or nullopt when it does not exist or cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& APath);

// Replaces APath with AContent atomically: a temporary file in the same folder is written,
// flushed to disk and renamed over the target, so a crash leaves either the old file or the
// new one, never half of one. AOwnerOnly creates it readable by its owner only.
// Throws EFileWriteError describing the failure.
void WriteFileAtomic(const std::string& APath, std::string_view AContent, bool AOwnerOnly = false);

}  // namespace kestrill
