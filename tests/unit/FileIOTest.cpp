#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include "NotAFile.h"
#include "TestEnv.h"
#include "core/FileIO.h"

using namespace kestrill;
using namespace kestrill::testing;

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

TEST(ReadFileUpTo, OnlyARegularFileIsReadAndNeverPastTheLimit) {
  const std::string Dir = MakeTempFolder();
  MakeFifo(Dir + "/fifo");
  MakeLink(Dir + "/fifo", Dir + "/to-fifo");
  MakeLink("/dev/zero", Dir + "/zero");
  MakeLink("/dev/urandom", Dir + "/urandom");
  MakeLink(Dir + "/nothing", Dir + "/dangling");
  std::filesystem::create_directory(Dir + "/folder");
  MakeSparseFile(Dir + "/huge", kTwoGigabytes);
  WriteTestFile(Dir + "/ten", "0123456789");
  struct TCase {
    const char* Name;
    std::uint64_t Limit;
    TReadStatus Status;
    std::string Bytes;
    std::uint64_t Size;
  };
  const TCase Cases[] = {
      {"fifo", 100, TReadStatus::NotAFile, "", 0},
      {"to-fifo", 100, TReadStatus::NotAFile, "", 0},
      {"zero", 100, TReadStatus::NotAFile, "", 0},
      {"urandom", 100, TReadStatus::NotAFile, "", 0},
      {"folder", 100, TReadStatus::NotAFile, "", 0},
      {"dangling", 100, TReadStatus::Missing, "", 0},
      {"absent", 100, TReadStatus::Missing, "", 0},
      {"huge", 1 << 20, TReadStatus::TooLarge, "", kTwoGigabytes},
      {"ten", 10, TReadStatus::Ok, "0123456789", 10},
      {"ten", 9, TReadStatus::TooLarge, "", 10},
  };
  for (const TCase& C : Cases) {
    const TFileBytes R =
        WithinDeadline([&] { return ReadFileUpTo(Dir + "/" + C.Name, C.Limit); }, {Dir + "/fifo"});
    EXPECT_EQ(R.Status, C.Status) << C.Name << " " << C.Limit;
    EXPECT_EQ(R.Bytes, C.Bytes) << C.Name << " " << C.Limit;
    if (C.Size != 0) {
      EXPECT_EQ(R.Size, C.Size) << C.Name << " " << C.Limit;
    }
  }
  // Files of /proc claim no size at all: the limit holds all the same.
  EXPECT_EQ(ReadFileUpTo("/proc/self/status", 16).Status, TReadStatus::TooLarge);
  EXPECT_EQ(ReadFileUpTo("/proc/self/status", 1 << 20).Status, TReadStatus::Ok);
  // The default limit is a long chat's, far below a giant.
  EXPECT_EQ(ReadFileBytes(Dir + "/huge"), std::nullopt);
  EXPECT_EQ(WithinDeadline([&] { return ReadFileBytes(Dir + "/fifo"); }, {Dir + "/fifo"}),
            std::nullopt);
}

TEST(ReadFileHead, TheStartOfAFileOfAnySizeButOfNothingElse) {
  const std::string Dir = MakeTempFolder();
  MakeSparseFile(Dir + "/huge", kTwoGigabytes);
  WriteTestFile(Dir + "/ten", "0123456789");
  MakeFifo(Dir + "/fifo");
  TFileBytes Huge = ReadFileHead(Dir + "/huge", 8);
  EXPECT_EQ(Huge.Status, TReadStatus::Ok);
  EXPECT_EQ(Huge.Bytes, std::string(8, '\0'));
  EXPECT_EQ(Huge.Size, kTwoGigabytes);
  TFileBytes Ten = ReadFileHead(Dir + "/ten", 4);
  EXPECT_EQ(Ten.Bytes, "0123");
  EXPECT_EQ(Ten.Size, 10u);
  EXPECT_EQ(WithinDeadline([&] { return ReadFileHead(Dir + "/fifo", 8); }, {Dir + "/fifo"}).Status,
            TReadStatus::NotAFile);
}

TEST(WriteFileAtomic, AFifoInTheFilesPlaceIsLeftAlone) {
  const std::string Dir = MakeTempFolder();
  MakeFifo(Dir + "/Kestrill.Ini");
  MakeLink("Kestrill.Ini", Dir + "/link.ini");
  for (const std::string& Path : {Dir + "/Kestrill.Ini", Dir + "/link.ini"}) {
    try {
      WriteFileAtomic(Path, "[Model]\r\n", /*AOwnerOnly=*/true);
      ADD_FAILURE() << "expected a refusal: " << Path;
    } catch (const EFileWriteError& E) {
      EXPECT_EQ(std::string(E.what()),
                Dir + "/Kestrill.Ini: 일반 파일이 아니어서 덮어쓰지 않습니다.");
    }
  }
  EXPECT_TRUE(std::filesystem::is_fifo(Dir + "/Kestrill.Ini"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 2);  // no temporary
}
