#include "TestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kestrill::testing {

std::string MakeTempFolder() {
  const char* Tmp = std::getenv("TMPDIR");
  std::string Pattern = std::string(Tmp && *Tmp ? Tmp : "/tmp") + "/kestrill-test-XXXXXX";
  if (!mkdtemp(Pattern.data())) throw std::runtime_error("mkdtemp failed");
  return Pattern;
}

std::string UseFreshHome() {
  std::string Home = MakeTempFolder();
  setenv("HOME", Home.c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_CONFIG_HOME");
  return Home;
}

std::string UseFreshDataFolder() {
  std::string Home = UseFreshHome();
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  return Home;
}

void WriteTestFile(const std::string& APath, const std::string& ABytes) {
  std::filesystem::create_directories(std::filesystem::path(APath).parent_path());
  std::ofstream Out(APath, std::ios::binary | std::ios::trunc);
  Out.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size()));
  if (!Out) throw std::runtime_error("cannot write " + APath);
}

}  // namespace kestrill::testing
