#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

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

TEST(WriteFileAtomic, ANewFileGetsItsKindsModeAndAReplacedOneKeepsItsOwn) {
  struct TCase {
    const char* What;
    std::function<void(const std::string&)> Write;
    std::optional<mode_t> Before;  // the file's mode before the write; nullopt: no file
    mode_t After;
  };
  auto Chat = [](const std::string& P) { WriteFileAtomic(P, "[]", TFileAccess::Private); };
  auto Export = [](const std::string& P) { WriteFileAtomic(P, "# chat"); };
  auto Settings = [](const std::string& P) { WriteFileAtomic(P, "[Model]", /*AOwnerOnly=*/true); };
  auto NewChat = [](const std::string& P) { ASSERT_TRUE(WriteFileAtomicNew(P, "[]")); };
  const std::vector<TCase> Cases{
      {"new chat", Chat, std::nullopt, 0600},
      {"new chat, created only where no file is", NewChat, std::nullopt, 0600},
      {"chat the user shared with the group", Chat, 0640, 0640},
      {"chat the user made read-only", Chat, 0400, 0400},
      {"new export", Export, std::nullopt, 0644},
      {"export the user made private", Export, 0600, 0600},
      {"new settings", Settings, std::nullopt, 0600},
      {"settings others could read", Settings, 0644, 0600},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Path = MakeTempFolder() + "/file";
    if (Case.Before) {
      WriteFileAtomic(Path, "old");
      ASSERT_EQ(chmod(Path.c_str(), *Case.Before), 0);
    }
    Case.Write(Path);
    struct stat St {};
    ASSERT_EQ(stat(Path.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, Case.After);
    EXPECT_NE(ReadFileBytes(Path), "old");
  }
}

TEST(WriteFileAtomicNew, ATakenNameIsRefusedAndLeftAsItWas) {
  namespace fs = std::filesystem;
  struct TCase {
    const char* What;
    std::function<void(const std::string&)> Make;
  };
  const std::vector<TCase> Cases{
      {"a chat file", [](const std::string& P) { WriteFileAtomic(P, "[{\"text\":\"mine\"}]"); }},
      {"a link to nowhere", [](const std::string& P) { fs::create_symlink("nowhere.json", P); }},
      {"a folder", [](const std::string& P) { fs::create_directory(P); }},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Dir = MakeTempFolder(), Path = Dir + "/20260314120000.json";
    Case.Make(Path);
    struct stat Before {};
    ASSERT_EQ(lstat(Path.c_str(), &Before), 0);
    const auto Bytes = ReadFileBytes(Path);
    EXPECT_FALSE(WriteFileAtomicNew(Path, "[{\"text\":\"theirs\"}]"));
    struct stat After {};
    ASSERT_EQ(lstat(Path.c_str(), &After), 0);
    EXPECT_EQ(After.st_ino, Before.st_ino);
    EXPECT_EQ(After.st_mode, Before.st_mode);
    EXPECT_EQ(ReadFileBytes(Path), Bytes);
    EXPECT_FALSE(fs::exists(Dir + "/nowhere.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), {}), 1);  // no temporary left
  }
  const std::string Free = MakeTempFolder() + "/free.json";
  EXPECT_TRUE(WriteFileAtomicNew(Free, "first"));
  EXPECT_FALSE(WriteFileAtomicNew(Free, "second"));
  EXPECT_EQ(ReadFileBytes(Free), "first");
}

TEST(WriteFileAtomicNew, OfWritersCreatingOneNameAtOnceExactlyOneGetsIt) {
  constexpr int kWriters = 8, kNames = 30;
  const std::string Dir = MakeTempFolder();
  std::vector<std::vector<bool>> Got(kWriters, std::vector<bool>(kNames));
  std::latch Start(kWriters);
  std::vector<std::thread> Writers;
  for (int W = 0; W < kWriters; ++W)
    Writers.emplace_back([&, W] {
      Start.arrive_and_wait();
      for (int N = 0; N < kNames; ++N)
        Got[W][N] =
            WriteFileAtomicNew(Dir + "/" + std::to_string(N), "writer " + std::to_string(W));
    });
  for (auto& T : Writers) T.join();
  for (int N = 0; N < kNames; ++N) {
    int Winners = 0;
    for (int W = 0; W < kWriters; ++W)
      if (Got[W][N]) {
        ++Winners;
        EXPECT_EQ(ReadFileBytes(Dir + "/" + std::to_string(N)), "writer " + std::to_string(W));
      }
    EXPECT_EQ(Winners, 1) << "name " << N;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), kNames);
}

TEST(FileLock, OneHolderAtATimeAndFreeOnceReleased) {
  const std::string Path = MakeTempFolder() + "/ChatFileList.json.lock";
  {
    TFileLock Held(Path);
    // Another holder in the same process (another window's files object) waits too.
    EXPECT_THROW(TFileLock(Path, std::chrono::milliseconds(0)), EFileWriteError);
  }
  EXPECT_NO_THROW(TFileLock(Path, std::chrono::milliseconds(0)));
  struct stat St {};
  ASSERT_EQ(stat(Path.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  EXPECT_THROW(TFileLock(Path + ".d/no/such/folder"), EFileWriteError);
}
