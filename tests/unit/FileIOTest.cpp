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
