#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "TestEnv.h"
#include "core/Config.h"
#include "core/Paths.h"

using namespace kestrill;
using kestrill::testing::MakeTempFolder;
using kestrill::testing::UseFreshHome;
using kestrill::testing::WriteTestFile;

TEST(Paths, DataFolderFollowsXdgDocumentsThenUserDirsThenHome) {
  std::string Home = UseFreshHome();
  EXPECT_EQ(GetDataPath(), Home + "/Documents/Kestrill");
  EXPECT_EQ(SettingsFilePath(), Home + "/Documents/Kestrill/Kestrill.Ini");

  WriteTestFile(Home + "/.config/user-dirs.dirs",
                "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/문서\"\n");
  EXPECT_EQ(GetDataPath(), Home + "/문서/Kestrill");

  setenv("XDG_DOCUMENTS_DIR", "/srv/docs", 1);
  EXPECT_EQ(GetDataPath(), "/srv/docs/Kestrill");
  UseFreshHome();
}

TEST(Paths, CheckAndCreateDirectoryMakesMissingParentsAndSwallowsFailures) {
  std::string Home = UseFreshHome();
  CheckAndCreateDirectory("Kestrill");
  EXPECT_TRUE(std::filesystem::is_directory(Home + "/Documents/Kestrill"));
  CheckAndCreateDirectory("Kestrill");  // already there: nothing happens

  WriteTestFile(Home + "/blocked", "x");
  setenv("XDG_DOCUMENTS_DIR", (Home + "/blocked").c_str(), 1);
  EXPECT_NO_THROW(CheckAndCreateDirectory("Kestrill"));
  UseFreshHome();
}

TEST(Paths, TempFolderAndJoin) {
  std::string Saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  unsetenv("TMPDIR");
  EXPECT_EQ(GetTempFolder(), "/tmp");
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(GetTempFolder(), "/var/tmp");
  if (Saved.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", Saved.c_str(), 1);
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("", "Kestrill"), "Kestrill");
}
