#include "core/FileHelpers.h"

#include <algorithm>
#include <filesystem>

#include "core/FileIO.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {
namespace {

constexpr std::uint64_t kMB = std::uint64_t{1} << 20;

// What each provider takes inline, per attached file, counted in the file's own bytes. Where the
// published limit counts the Base64 text in the request (Gemini's 20 MB request, Claude's 5 MB
// image and 32 MB request), the file may be three quarters of it. DeepSeek and Ollama get text
// only (a picture becomes a note, a PDF its text); their bounds just keep what we read in
// proportion. Text files go as text everywhere.
struct TProviderLimits {
  TAIProvider Provider;
  const char* Name;
  std::uint64_t Image, Pdf, Text;
};
constexpr TProviderLimits kProviderLimits[] = {
    {aiGemini, "Gemini", 15 * kMB, 15 * kMB, kMaxTextFileBytes},
    {aiOpenAI, "ChatGPT", 20 * kMB, 32 * kMB, kMaxTextFileBytes},
    {aiClaude, "Claude", 5 * kMB / 4 * 3, 24 * kMB, kMaxTextFileBytes},
    {aiDeepseek, "DeepSeek", 20 * kMB, 32 * kMB, kMaxTextFileBytes},
    {aiOllama, "Ollama", 20 * kMB, 32 * kMB, kMaxTextFileBytes},
};

constexpr std::uint64_t LargestLimit() {
  std::uint64_t Max = 0;
  for (const TProviderLimits& L : kProviderLimits) Max = std::max({Max, L.Image, L.Pdf, L.Text});
  return Max;
}
static_assert(LargestLimit() == kMaxAttachmentBytes, "the read cap is the largest provider limit");

enum class TSendAs { Image, Pdf, Text };

TSendAs SendAsOf(std::string_view AMime) {
  if (AMime.starts_with("image/")) return TSendAs::Image;
  if (AMime == "application/pdf") return TSendAs::Pdf;
  return TSendAs::Text;
}

std::uint64_t LimitOf(const TProviderLimits& L, TSendAs AKind) {
  return AKind == TSendAs::Image ? L.Image : AKind == TSendAs::Pdf ? L.Pdf : L.Text;
}

// "3.75 MB", "2048 MB": two decimals at most; sizes round up so a file just over a limit never
// reads as equal to it.
std::string MegabytesText(std::uint64_t ABytes, bool ARoundUp) {
  const std::uint64_t Hundredths = (ABytes * 100 + (ARoundUp ? kMB - 1 : 0)) / kMB;
  std::string Out = std::to_string(Hundredths / 100);
  if (const std::uint64_t Frac = Hundredths % 100; Frac != 0)
    Out += Frac % 10 == 0 ? "." + std::to_string(Frac / 10)
                          : (Frac < 10 ? ".0" : ".") + std::to_string(Frac);
  return Out + " MB";
}

std::string SizeText(std::uint64_t ABytes) { return MegabytesText(ABytes, true); }
std::string LimitText(std::uint64_t ABytes) { return MegabytesText(ABytes, false); }

// The bound for APath's kind of file: AProvider's, or without one the largest any provider has.
struct TAttachmentLimit {
  const char* Provider = nullptr;
  TSendAs Kind = TSendAs::Text;
  std::uint64_t Bytes = 0;
};

TAttachmentLimit AttachmentLimitOf(const std::string& APath, std::optional<TAIProvider> AProvider) {
  TAttachmentLimit Out;
  Out.Kind = SendAsOf(GetMimeType(std::filesystem::path(APath).extension().string()));
  for (const TProviderLimits& L : kProviderLimits) {
    if (AProvider && L.Provider == *AProvider) {
      Out.Provider = L.Name;
      Out.Bytes = LimitOf(L, Out.Kind);
      return Out;
    }
    Out.Bytes = std::max(Out.Bytes, LimitOf(L, Out.Kind));
  }
  return Out;
}

std::string TooLargeText(const std::string& APath, std::uint64_t ASize,
                         const TAttachmentLimit& ALimit) {
  const char* What = ALimit.Kind == TSendAs::Image ? "이미지는"
                     : ALimit.Kind == TSendAs::Pdf ? "PDF는"
                                                   : "텍스트 파일은";
  return "첨부 파일이 너무 큽니다: " + std::filesystem::path(APath).filename().string() + " (" +
         SizeText(ASize) + ")\r\n" +
         (ALimit.Provider ? std::string(ALimit.Provider) + "에 " : std::string()) +
         "보낼 수 있는 " + What + " " + LimitText(ALimit.Bytes) + "까지입니다.";
}

}  // namespace

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

std::string ImageToBase64(const std::string& AFileName, std::optional<TAIProvider> AProvider) {
  const TAttachmentLimit Limit = AttachmentLimitOf(AFileName, AProvider);
  TFileBytes File = ReadFileUpTo(AFileName, Limit.Bytes);
  switch (File.Status) {
    case TReadStatus::Ok:
      return Base64Encode(File.Bytes);
    case TReadStatus::Missing:
    case TReadStatus::NotAFile:
      return {};
    case TReadStatus::TooLarge:
      throw EFileReadError(TooLargeText(AFileName, File.Size, Limit));
    case TReadStatus::Unreadable:
      break;
  }
  throw EFileReadError("파일을 읽을 수 없습니다: " + AFileName);
}

std::string DecodeTextAutoEncoding(std::string_view B) {
  if (B.substr(0, 3) == "\xEF\xBB\xBF") return SanitizeUtf8(B.substr(3));
  if (B.substr(0, 2) == "\xFF\xFE") return Utf16ToUtf8(B.substr(2), /*ABigEndian=*/false);
  if (B.substr(0, 2) == "\xFE\xFF") return Utf16ToUtf8(B.substr(2), /*ABigEndian=*/true);
  return DecodeUtf8OrLegacy(B);
}

std::string ReadAllTextAutoEncoding(const std::string& APath, std::uint64_t ALimit) {
  TFileBytes File = ReadFileUpTo(APath, ALimit);
  switch (File.Status) {
    case TReadStatus::Ok:
      return DecodeTextAutoEncoding(File.Bytes);
    case TReadStatus::NotAFile:
      throw EFileReadError("일반 파일이 아니어서 읽을 수 없습니다: " + APath);
    case TReadStatus::TooLarge:
      throw EFileReadError("파일이 너무 큽니다 (" + SizeText(File.Size) + ", 최대 " +
                           LimitText(ALimit) + "): " + APath);
    case TReadStatus::Missing:
    case TReadStatus::Unreadable:
      break;
  }
  throw EFileReadError("파일을 읽을 수 없습니다: " + APath);
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

std::string AttachmentProblem(const std::string& APath, std::optional<TAIProvider> AProvider) {
  const std::string Name = std::filesystem::path(APath).filename().string();
  const TFileBytes Head = ReadFileHead(APath, 8192);
  if (Head.Status == TReadStatus::NotAFile)
    return "이 파일은 첨부할 수 없습니다: " + Name +
           "\r\n일반 파일이 아닙니다 (폴더, 파이프, 장치 등).";
  if (Head.Status != TReadStatus::Ok) return {};
  if (GetMimeType(std::filesystem::path(APath).extension().string()) ==
          "application/octet-stream" &&
      !LooksLikeText(Head.Bytes))
    return "이 파일은 첨부할 수 없습니다: " + Name +
           "\r\n이미지(JPG, PNG, WEBP), PDF, 텍스트 파일(TXT, CSV, MD 등)만 보낼 수 있습니다.";

  const TAttachmentLimit Limit = AttachmentLimitOf(APath, AProvider);
  return Head.Size > Limit.Bytes ? TooLargeText(APath, Head.Size, Limit) : std::string();
}

}  // namespace kestrill
