#include "core/FileHelpers.h"

#include <filesystem>

#include "core/FileIO.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {

std::string GetMimeType(std::string_view AExt) {
  std::string Ext = ToLowerAscii(AExt);
  if (Ext == ".jpg" || Ext == ".jpeg") return "image/jpeg";
  if (Ext == ".png") return "image/png";
  if (Ext == ".webp") return "image/webp";
  if (Ext == ".pdf") return "application/pdf";
  if (Ext == ".txt") return "text/plain";
  if (Ext == ".csv") return "text/csv";
  return "application/octet-stream";
}

std::string ImageToBase64(const std::string& AFileName) {
  std::error_code Ec;
  if (!std::filesystem::is_regular_file(AFileName, Ec)) return {};
  auto Size = std::filesystem::file_size(AFileName, Ec);
  // Checked before reading so a huge file is refused instead of exhausting memory.
  if (!Ec && Size > kMaxAttachmentBytes)
    throw EFileReadError("첨부 파일이 너무 큽니다 (2GB 미만만 가능): " + AFileName);
  auto Bytes = ReadFileBytes(AFileName);
  if (!Bytes) throw EFileReadError("파일을 읽을 수 없습니다: " + AFileName);
  return Base64Encode(*Bytes);
}

std::string DecodeTextAutoEncoding(std::string_view B) {
  if (B.substr(0, 3) == "\xEF\xBB\xBF") return SanitizeUtf8(B.substr(3));
  if (B.substr(0, 2) == "\xFF\xFE") return Utf16ToUtf8(B.substr(2), /*ABigEndian=*/false);
  if (B.substr(0, 2) == "\xFE\xFF") return Utf16ToUtf8(B.substr(2), /*ABigEndian=*/true);
  return DecodeUtf8OrLegacy(B);
}

std::string ReadAllTextAutoEncoding(const std::string& APath) {
  auto Bytes = ReadFileBytes(APath);
  if (!Bytes) throw EFileReadError("파일을 읽을 수 없습니다: " + APath);
  return DecodeTextAutoEncoding(*Bytes);
}

}  // namespace kestrill
