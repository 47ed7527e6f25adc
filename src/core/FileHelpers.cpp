#include "core/FileHelpers.h"

#include <filesystem>
#include <fstream>

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

std::string Base64ToBytes(std::string_view ABase64) {
  std::string Out;
  Out.reserve(ABase64.size() / 4 * 3);
  unsigned Bits = 0;
  int Count = 0;
  for (char C : ABase64) {
    int V;
    if (C >= 'A' && C <= 'Z')
      V = C - 'A';
    else if (C >= 'a' && C <= 'z')
      V = C - 'a' + 26;
    else if (C >= '0' && C <= '9')
      V = C - '0' + 52;
    else if (C == '+')
      V = 62;
    else if (C == '/')
      V = 63;
    else
      continue;
    Bits = (Bits << 6) | static_cast<unsigned>(V);
    if (++Count == 4) {
      Out += static_cast<char>((Bits >> 16) & 0xFF);
      Out += static_cast<char>((Bits >> 8) & 0xFF);
      Out += static_cast<char>(Bits & 0xFF);
      Bits = 0;
      Count = 0;
    }
  }
  if (Count == 2) Out += static_cast<char>((Bits >> 4) & 0xFF);
  if (Count == 3) {
    Out += static_cast<char>((Bits >> 10) & 0xFF);
    Out += static_cast<char>((Bits >> 2) & 0xFF);
  }
  return Out;
}

namespace {

// Text as editors and mail programs tell it: a UTF-16 mark, or no NUL byte and hardly any
// control characters in the first few kilobytes. CP949 and UTF-8 both pass.
bool LooksLikeText(std::string_view AHead) {
  if (AHead.starts_with("\xFF\xFE") || AHead.starts_with("\xFE\xFF")) return true;
  std::size_t Controls = 0;
  for (unsigned char C : AHead) {
    if (C == 0) return false;
    if (C < 0x20 && C != '\t' && C != '\n' && C != '\r' && C != '\f' && C != 0x1B) ++Controls;
  }
  return Controls * 20 <= AHead.size();  // at most 5 %
}

}  // namespace

std::string AttachmentProblem(const std::string& APath) {
  const std::filesystem::path Path(APath);
  const std::string Mime = GetMimeType(Path.extension().string());
  if (Mime != "application/octet-stream") return {};
  std::ifstream In(Path, std::ios::binary);
  if (!In) return {};
  std::string Head(8192, '\0');
  In.read(Head.data(), static_cast<std::streamsize>(Head.size()));
  Head.resize(static_cast<std::size_t>(In.gcount()));
  if (LooksLikeText(Head)) return {};
  return "이 파일은 첨부할 수 없습니다: " + Path.filename().string() +
         "\r\n이미지(JPG, PNG, WEBP), PDF, 텍스트 파일(TXT, CSV, MD 등)만 보낼 수 있습니다.";
}

}  // namespace kestrill
