#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestEnv.h"
#include "core/FileIO.h"

using namespace kestrill;
using kestrill::testing::MakeTempFolder;

TEST(WriteFileAtomic, ReplacesTheFileWholeAndLeavesNoTemporary) {
  std::string Dir = MakeTempFolder();
  std::string Path = Dir + "/chat.json";
  WriteFileAtomic(Path, "old");
  WriteFileAtomic(Path, "new content");
  EXPECT_EQ(ReadFileBytes(Path), "new content");
  struct stat St {};
  ASSERT_EQ(stat(Path.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0644u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1);
}

TEST(WriteFileAtomic, FailureKeepsTheOldFileAndSaysWhy) {
  std::string Dir = MakeTempFolder();
  std::string Path = Dir + "/taken";
  std::filesystem::create_directory(Path);  // a folder where the file should go
  try {
    WriteFileAtomic(Path, "data");
    FAIL() << "expected a failure";
  } catch (const EFileWriteError& E) {
    EXPECT_NE(std::string(E.what()).find("rename"), std::string::npos) << E.what();
  }
  EXPECT_TRUE(std::filesystem::is_directory(Path));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1);
  EXPECT_THROW(WriteFileAtomic(Dir + "/no/such/folder/x", "data"), EFileWriteError);
  EXPECT_EQ(ReadFileBytes(Dir + "/absent"), std::nullopt);
}

TEST(WriteFileAtomic, ALinkStaysALinkAndItsTargetIsWritten) {
  namespace fs = std::filesystem;
  std::string Dir = MakeTempFolder();
  fs::create_directory(Dir + "/real");
  WriteFileAtomic(Dir + "/real/Kestrill.Ini", "old");
  fs::create_symlink("real/Kestrill.Ini", Dir + "/relative.ini");
  fs::create_symlink(Dir + "/relative.ini", Dir + "/absolute.ini");  // a link to a link
  WriteFileAtomic(Dir + "/absolute.ini", "[Model]\r\nOpenAIKey=sk\r\n", /*AOwnerOnly=*/true);
  EXPECT_TRUE(fs::is_symlink(Dir + "/absolute.ini"));
  EXPECT_TRUE(fs::is_symlink(Dir + "/relative.ini"));
  EXPECT_EQ(ReadFileBytes(Dir + "/real/Kestrill.Ini"), "[Model]\r\nOpenAIKey=sk\r\n");
  // A dangling link gets its target created.
  fs::create_symlink("real/new.json", Dir + "/dangling.json");
  WriteFileAtomic(Dir + "/dangling.json", "[]");
  EXPECT_EQ(ReadFileBytes(Dir + "/real/new.json"), "[]");
}

TEST(WriteFileAtomic, LeftoversOfAKilledWriteAreRemovedNextTime) {
  namespace fs = std::filesystem;
  std::string Dir = MakeTempFolder();
  const std::string Path = Dir + "/Kestrill.Ini";
  for (const char* Name : {"/Kestrill.Ini.tmpAb12Cd", "/Kestrill.Ini.tmpYoung1",
                           "/Kestrill.Ini.tmpToolong7", "/Other.Ini.tmpAb12Cd"})
    WriteFileAtomic(Dir + Name, "OpenAIKey=sk-leaked");
  const auto Old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  for (const char* Name :
       {"/Kestrill.Ini.tmpAb12Cd", "/Kestrill.Ini.tmpToolong7", "/Other.Ini.tmpAb12Cd"})
    fs::last_write_time(Dir + Name, Old);
  WriteFileAtomic(Path, "fresh", true);
  EXPECT_FALSE(fs::exists(Dir + "/Kestrill.Ini.tmpAb12Cd"));
  EXPECT_TRUE(fs::exists(Dir + "/Kestrill.Ini.tmpYoung1"));    // may be another writer's
  EXPECT_TRUE(fs::exists(Dir + "/Kestrill.Ini.tmpToolong7"));  // not a name we make
  EXPECT_TRUE(fs::exists(Dir + "/Other.Ini.tmpAb12Cd"));       // another file's
}
