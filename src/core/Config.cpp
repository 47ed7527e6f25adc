#include "core/Config.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

#include "core/FileIO.h"
#include "core/IniDocument.h"
#include "core/Paths.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {
namespace {

// The Windows settings API returns at most 2047 characters; readers keep that limit.
constexpr std::size_t kMaxStringChars = 2047;
// A settings file holds keys, models and a few numbers: some kilobytes. Anything far larger is
// not ours, and each read of a setting reads the whole file.
constexpr std::uint64_t kMaxSettingsBytes = std::uint64_t{4} << 20;

// Writes read, change and replace the whole file; two at once would lose one of them.
std::mutex& WriteMutex() {
  static std::mutex M;
  return M;
}

std::optional<std::string> Lookup(const std::string& AFile, std::string_view ASection,
                                  std::string_view AKey) {
  auto Bytes = ReadFileBytes(AFile, kMaxSettingsBytes);
  if (!Bytes) return std::nullopt;
  return TIniDocument::Parse(*Bytes).Get(ASection, AKey);
}

}  // namespace

std::string SettingsProblem(const std::string& ASettingsFile) {
  namespace fs = std::filesystem;
  std::error_code Ec;
  const fs::path File(ASettingsFile);
  const fs::path Folder = File.parent_path();
  if (!Folder.empty() && fs::exists(Folder, Ec) && !fs::is_directory(Folder, Ec))
    return "데이터 폴더 자리에 같은 이름의 파일이 있어 설정과 채팅을 읽고 저장할 수 없습니다: " +
           Folder.string();
  if (!fs::exists(File, Ec)) return "";
  if (fs::is_directory(File, Ec))
    return "설정 파일 자리에 폴더가 있어 설정을 읽을 수 없습니다: " + ASettingsFile;
  const TFileBytes Read = ReadFileUpTo(ASettingsFile, kMaxSettingsBytes);
  switch (Read.Status) {
    case TReadStatus::Ok:
    case TReadStatus::Missing:  // gone since we looked: a first start
      return "";
    case TReadStatus::NotAFile:
      return "설정 파일이 일반 파일이 아니어서(파이프나 장치 등) 설정을 읽을 수 없습니다: " +
             ASettingsFile;
    case TReadStatus::TooLarge:
      return "설정 파일이 너무 커서(" + std::to_string((Read.Size + (1 << 20) - 1) >> 20) +
             " MB, 최대 " + std::to_string(kMaxSettingsBytes >> 20) +
             " MB) 설정을 읽을 수 없습니다: " + ASettingsFile;
    case TReadStatus::Unreadable:
      break;
  }
  return "설정 파일을 읽을 수 없습니다: " + ASettingsFile + " (" + std::strerror(Read.Error) + ")";
}

std::string SettingsFilePath() {
  return JoinPath(GetDataPath(), std::string(kProductName) + ".Ini");
}

bool ParseIniInteger(std::string_view AText, int& AOut) {
  std::string T = Trim(AText);
  std::string_view S = T;
  bool Negative = false;
  if (!S.empty() && (S.front() == '-' || S.front() == '+')) {
    Negative = S.front() == '-';
    S.remove_prefix(1);
  }
  int Base = 10;
  if (!S.empty() && S.front() == '$') {
    Base = 16;
    S.remove_prefix(1);
  } else if (S.size() > 1 && S[0] == '0' && (S[1] == 'x' || S[1] == 'X')) {
    Base = 16;
    S.remove_prefix(2);
  }
  if (S.empty()) return false;
  std::uint64_t Magnitude = 0;
  auto [End, Ec] = std::from_chars(S.data(), S.data() + S.size(), Magnitude, Base);
  if (Ec != std::errc() || End != S.data() + S.size()) return false;
  // Hexadecimal may spell a negative number in two's complement ("$FFFFFFFF" is -1).
  if (Base == 16 && !Negative && Magnitude <= 0xFFFFFFFFu) {
    AOut = static_cast<int>(static_cast<std::uint32_t>(Magnitude));
    return true;
  }
  const std::uint64_t Limit = Negative ? 2147483648u : 2147483647u;
  if (Magnitude > Limit) return false;
  AOut = Negative ? static_cast<int>(-static_cast<std::int64_t>(Magnitude))
                  : static_cast<int>(Magnitude);
  return true;
}

bool ParseIniFloat(std::string_view AText, double& AOut) {
  std::string T = Trim(AText);
  if (T.empty()) return false;
  const char* B = T.data();
  if (*B == '+') ++B;
  auto [End, Ec] = std::from_chars(B, T.data() + T.size(), AOut);
  return Ec == std::errc() && End == T.data() + T.size();
}

std::string FormatIniFloat(double AValue) {
  char Buf[64];
  auto [End, Ec] = std::to_chars(Buf, Buf + sizeof(Buf), AValue);  // shortest round-trip form
  return Ec == std::errc() ? std::string(Buf, End) : std::string("0");
}

TConfig::TConfig(std::string AFileName) : FFileName(std::move(AFileName)) {}

std::string TConfig::ReadString(std::string_view ASection, std::string_view AKey,
                                std::string_view ADefault) const {
  auto V = Lookup(FFileName, ASection, AKey);
  return std::string(Utf16Prefix(V ? std::string_view(*V) : ADefault, kMaxStringChars));
}

int TConfig::ReadInteger(std::string_view ASection, std::string_view AKey, int ADefault) const {
  auto V = Lookup(FFileName, ASection, AKey);
  int Out;
  return (V && ParseIniInteger(*V, Out)) ? Out : ADefault;
}

bool TConfig::ReadBool(std::string_view ASection, std::string_view AKey, bool ADefault) const {
  return ReadInteger(ASection, AKey, ADefault ? 1 : 0) != 0;
}

double TConfig::ReadFloat(std::string_view ASection, std::string_view AKey, double ADefault) const {
  auto V = Lookup(FFileName, ASection, AKey);
  double Out;
  return (V && ParseIniFloat(*V, Out)) ? Out : ADefault;
}

void TConfig::WriteString(std::string_view ASection, std::string_view AKey,
                          std::string_view AValue) {
  std::lock_guard Lock(WriteMutex());
  const TFileBytes Read = ReadFileUpTo(FFileName, kMaxSettingsBytes);
  // Only a file we could read is rewritten: starting over from nothing would lose every other
  // setting, and a FIFO or device in its place must not be replaced.
  if (Read.Status != TReadStatus::Ok && Read.Status != TReadStatus::Missing)
    throw EIniFileException("Unable to write to " + FFileName);
  TIniDocument Doc = TIniDocument::Parse(Read.Bytes);
  Doc.Set(ASection, AKey, AValue);
  try {
    // Owner-only: the file holds API keys.
    WriteFileAtomic(FFileName, Doc.Serialize(), /*AOwnerOnly=*/true);
  } catch (const EFileWriteError&) {
    throw EIniFileException("Unable to write to " + FFileName);
  }
}

void TConfig::WriteInteger(std::string_view ASection, std::string_view AKey, int AValue) {
  WriteString(ASection, AKey, std::to_string(AValue));
}

void TConfig::WriteBool(std::string_view ASection, std::string_view AKey, bool AValue) {
  WriteString(ASection, AKey, AValue ? "1" : "0");
}

void TConfig::WriteFloat(std::string_view ASection, std::string_view AKey, double AValue) {
  WriteString(ASection, AKey, FormatIniFloat(AValue));
}

}  // namespace kestrill
