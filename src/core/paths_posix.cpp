#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/TextUtil.h"

namespace kestrill {
namespace {

std::string Env(const char* AName) {
  const char* V = std::getenv(AName);
  return V ? std::string(V) : std::string();
}

std::string HomeFolder() {
  std::string Home = Env("HOME");
  if (!Home.empty()) return Home;
  if (const passwd* Pw = getpwuid(getuid()); Pw && Pw->pw_dir) return Pw->pw_dir;
  return {};
}

// The XDG_DOCUMENTS_DIR line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documents".
std::string FromUserDirsFile(const std::string& AHome) {
  std::string ConfigHome = Env("XDG_CONFIG_HOME");
  if (ConfigHome.empty()) {
    if (AHome.empty()) return {};
    ConfigHome = AHome + "/.config";
  }
  // A few lines; one that is no file, or far too large to be this one, is passed over.
  const std::string Text =
      ReadFileBytes(ConfigHome + "/user-dirs.dirs", std::uint64_t{1} << 20).value_or("");
  for (std::size_t Start = 0; Start < Text.size();) {
    std::size_t End = Text.find('\n', Start);
    if (End == std::string::npos) End = Text.size();
    std::string T = Trim(std::string_view(Text).substr(Start, End - Start));
    Start = End + 1;
    constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
    if (T.rfind(kKey, 0) != 0) continue;
    std::string V = T.substr(kKey.size());
    if (V.size() >= 2 && V.front() == '"' && V.back() == '"') V = V.substr(1, V.size() - 2);
    if (V.rfind("$HOME", 0) == 0) V = AHome + V.substr(5);
    if (!V.empty() && V.front() == '/') return V;
  }
  return {};
}

}  // namespace

std::string GetDocumentsFolder() {
  if (std::string V = Env("XDG_DOCUMENTS_DIR"); !V.empty()) return V;
  std::string Home = HomeFolder();
  if (std::string V = FromUserDirsFile(Home); !V.empty()) return V;
  return Home.empty() ? std::string() : Home + "/Documents";
}

std::string GetDataPath() { return JoinPath(GetDocumentsFolder(), kProductName); }

std::string GetTempFolder() {
  std::string T = Env("TMPDIR");
  return T.empty() ? std::string("/tmp") : T;
}

std::string GetUserTempFolder() {
  std::string Folder = JoinPath(GetTempFolder(), "kestrill-" + std::to_string(getuid()));
  mkdir(Folder.c_str(), 0700);
  struct stat St {};
  // Someone else's folder, or a link planted in its place, is not used.
  if (lstat(Folder.c_str(), &St) != 0 || !S_ISDIR(St.st_mode) || St.st_uid != getuid())
    return GetTempFolder();
  return Folder;
}

void CheckAndCreateDirectory(std::string_view AName) {
  std::error_code Ec;
  std::filesystem::path P(JoinPath(GetDocumentsFolder(), AName));
  if (!std::filesystem::exists(P, Ec)) std::filesystem::create_directories(P, Ec);
}

std::string JoinPath(std::string_view AFolder, std::string_view AName) {
  if (AFolder.empty()) return std::string(AName);
  std::string Out(AFolder);
  if (Out.back() != '/') Out += '/';
  Out += AName;
  return Out;
}

std::string FileNameOfPath(std::string_view APath) {
  auto Slash = APath.find_last_of("/\\");
  return std::string(Slash == std::string_view::npos ? APath : APath.substr(Slash + 1));
}

}  // namespace kestrill
