// Files turned into the texts messages carry: MIME type, Base64 and decoded text.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/ChatTypes.h"

namespace kestrill {

class EFileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest attachment any provider takes (see AttachmentProblem); no file is read past it.
inline constexpr std::uint64_t kMaxAttachmentBytes = std::uint64_t{32} << 20;
// Largest text file sent as text, or read into the prompt.
inline constexpr std::uint64_t kMaxTextFileBytes = std::uint64_t{10} << 20;

// AExt includes the dot, any letter case (".JPG" → "image/jpeg"); unknown → octet-stream.
std::string GetMimeType(std::string_view AExt);

// Base64 of the whole file on one line; "" when the file does not exist or is no regular file
// (a folder, a FIFO, a device). Throws EFileReadError with a Korean message when the file cannot
// be read or is larger than AProvider takes for its kind of file (without a provider: than any
// provider takes); nothing past that bound is read.
std::string ImageToBase64(const std::string& AFileName,
                          std::optional<TAIProvider> AProvider = std::nullopt);

// The file's text: a BOM picks UTF-8, UTF-16LE or UTF-16BE; otherwise UTF-8 when valid, else
// the legacy code page. Throws EFileReadError when the file cannot be read, is no regular file
// or is larger than ALimit.
std::string ReadAllTextAutoEncoding(const std::string& APath,
                                    std::uint64_t ALimit = kMaxTextFileBytes);

// The same decision on bytes already in memory.
std::string DecodeTextAutoEncoding(std::string_view ABytes);

// The bytes of Base64 text (as ImageToBase64 writes it); anything outside the alphabet is
// skipped. Requests are built from these bytes, read once when the message was sent, never from
// the file again.
std::string Base64ToBytes(std::string_view ABase64);

// "" when the file may be attached: images, PDFs, and files whose bytes are text, no larger
// than AProvider takes inline (without a provider: than any provider takes). Any other file (an
// archive, an office document, a program) would reach the model as garbage, and a folder, FIFO
// or device is no file at all, so they get a Korean explanation instead. A file that is missing
// or cannot be read is left to the send to report. Only the first few kilobytes are read.
std::string AttachmentProblem(const std::string& APath,
                              std::optional<TAIProvider> AProvider = std::nullopt);

}  // namespace kestrill
