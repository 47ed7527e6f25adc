// Files turned into the texts messages carry: MIME type, Base64 and decoded text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrill {

class EFileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest attachment we encode: the size must fit a signed 32-bit length.
inline constexpr std::uint64_t kMaxAttachmentBytes = 0x7FFFFFFF;

// AExt includes the dot, any letter case (".JPG" → "image/jpeg"); unknown → octet-stream.
std::string GetMimeType(std::string_view AExt);

// Base64 of the whole file on one line; "" when the file does not exist. Throws
// EFileReadError with a Korean message when the file is too large or cannot be read.
std::string ImageToBase64(const std::string& AFileName);

// The file's text: a BOM picks UTF-8, UTF-16LE or UTF-16BE; otherwise UTF-8 when valid, else
// the legacy code page. Throws EFileReadError when the file cannot be read.
std::string ReadAllTextAutoEncoding(const std::string& APath);

// The same decision on bytes already in memory.
std::string DecodeTextAutoEncoding(std::string_view ABytes);

// The bytes of Base64 text (as ImageToBase64 writes it); anything outside the alphabet is
// skipped. Requests are built from these bytes, read once when the message was sent, never from
// the file again.
std::string Base64ToBytes(std::string_view ABase64);

// "" when the file may be attached: images, PDFs, and files whose bytes are text. Any other
// file (an archive, an office document, a program) would reach the model as garbage, so it gets
// a Korean explanation instead. A file that cannot be read is left to the send to report.
std::string AttachmentProblem(const std::string& APath);

}  // namespace kestrill
