#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "NotAFile.h"
#include "TestEnv.h"
#include "core/Config.h"
#include "core/FileIO.h"

using namespace kestrill;
using kestrill::testing::kTwoGigabytes;
using kestrill::testing::MakeFifo;
using kestrill::testing::MakeLink;
using kestrill::testing::MakeSparseFile;
using kestrill::testing::MakeTempFolder;
using kestrill::testing::WithinDeadline;
using kestrill::testing::WriteTestFile;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  std::string Folder = MakeTempFolder();
  std::string Path = Folder + "/Kestrill.Ini";
  TConfig Config{Path};

  void SetFile(const std::string& AText) { WriteTestFile(Path, AText); }
  std::string FileText() { return ReadFileBytes(Path).value_or("<missing>"); }
};

}  // namespace

TEST_F(ConfigTest, MissingFileGivesEveryReadersDefaultAndCreatesNothing) {
  EXPECT_EQ(Config.Read(keys::GeminiModel, "gemini-3.1-pro-preview"), "gemini-3.1-pro-preview");
  EXPECT_EQ(Config.Read(keys::Mode, 1), 1);
  EXPECT_TRUE(Config.Read(keys::Sidebar, true));
  EXPECT_DOUBLE_EQ(Config.Read(keys::LeftLayoutWidth, 250.0), 250.0);
  EXPECT_FALSE(std::filesystem::exists(Path));
}

TEST_F(ConfigTest, AbsentKeyGivesDefaultButPresentEmptyGivesEmpty) {
  SetFile("[Model]\nOpenAIModel=\nGeminiKey = abc \n");
  EXPECT_EQ(Config.Read(keys::OpenAIModel, "gpt-5-nano"), "");
  EXPECT_EQ(Config.Read(keys::ClaudeModel, "claude-sonnet-4-6"), "claude-sonnet-4-6");
  EXPECT_EQ(Config.Read(keys::GeminiKey, ""), "abc");
  // Another section's key of the same name does not count.
  EXPECT_EQ(Config.ReadString("Tools", "OpenAIModel", "d"), "d");
}

TEST_F(ConfigTest, IntegersAndBooleans) {
  SetFile(
      "[General]\nA=42\nB=0x1F\nC=$ff\nD=-7\nE=12abc\nF=\nG=99999999999\n"
      "[Tools]\nCommand=true\nUseDaishin=1\nX=0\nY=2\n");
  const std::pair<const char*, int> Ints[] = {{"A", 42}, {"B", 31}, {"C", 255}, {"D", -7},
                                              {"E", 5},  {"F", 5},  {"G", 5},   {"Nope", 5}};
  for (auto [Key, Expected] : Ints)
    EXPECT_EQ(Config.ReadInteger("General", Key, 5), Expected) << Key;
  // "true" is not an integer, so the reader's default wins.
  EXPECT_FALSE(Config.Read(keys::Command, false));
  EXPECT_TRUE(Config.ReadBool("Tools", "Command", true));
  EXPECT_TRUE(Config.Read(keys::UseDaishin, false));
  EXPECT_FALSE(Config.ReadBool("Tools", "X", true));
  EXPECT_TRUE(Config.ReadBool("Tools", "Y", false));
}

TEST_F(ConfigTest, WritesLandInTheFileAtOnceInTheirEncodings) {
  Config.Write(keys::Selected, 3);
  Config.Write(keys::Sidebar, false);
  Config.Write(keys::LeftLayoutWidth, 250.0);
  Config.Write(keys::FontSize, 12.5);
  Config.Write(keys::GeminiKey, "키-123");
  EXPECT_EQ(FileText(),
            "[Model]\nSelected=3\nGeminiKey=키-123\n\n"
            "[General]\nSidebar=0\nLeftLayoutWidth=250\nFontSize=12.5\n");
  // A second store over the same file sees every value: nothing is cached.
  TConfig Other(Path);
  EXPECT_EQ(Other.Read(keys::Selected, 0), 3);
  EXPECT_FALSE(Other.Read(keys::Sidebar, true));
  EXPECT_DOUBLE_EQ(Other.Read(keys::FontSize, 0.0), 12.5);
  Config.Write(keys::Selected, 1);
  EXPECT_EQ(Other.Read(keys::Selected, 0), 1);
}

TEST_F(ConfigTest, WriteKeepsTheRestOfTheFile) {
  SetFile("; keys by hand\r\n[general]\r\nfontsize=14\r\nMaxFileCount=5\r\n\r\n[Other]\r\nx=1\r\n");
  Config.Write(keys::FontSize, 16.0);  // matches "general"/"fontsize" whatever the case
  Config.Write(keys::Left, 90);        // appended to its section, before the blank line
  EXPECT_EQ(FileText(),
            "; keys by hand\r\n[general]\r\nfontsize=16\r\nMaxFileCount=5\r\nLeft=90\r\n\r\n"
            "[Other]\r\nx=1\r\n");
}

TEST_F(ConfigTest, FloatsParseStrictly) {
  SetFile("[General]\nA=14\nB=10.75\nC=abc\nD=\nE=1,5\n");
  EXPECT_DOUBLE_EQ(Config.ReadFloat("General", "A", 0), 14.0);
  EXPECT_DOUBLE_EQ(Config.ReadFloat("General", "B", 0), 10.75);
  for (const char* Key : {"C", "D", "E", "Z"})
    EXPECT_DOUBLE_EQ(Config.ReadFloat("General", Key, 9), 9) << Key;
}

TEST_F(ConfigTest, StringReadsAreCappedAt2047Characters) {
  SetFile("[Model]\nA=" + std::string(3000, 'k') + "\nB=" + [] {
    std::string S;
    for (int I = 0; I < 2100; ++I) S += "가";
    return S;
  }() + "\n");
  EXPECT_EQ(Config.ReadString("Model", "A", ""), std::string(2047, 'k'));
  std::string Korean = Config.ReadString("Model", "B", "");
  EXPECT_EQ(Korean.size(), 2047u * 3);  // 2047 characters of three bytes each
  std::string Exact(2047, 'x');
  Config.WriteString("Model", "C", Exact);
  EXPECT_EQ(Config.ReadString("Model", "C", ""), Exact);
}

TEST_F(ConfigTest, ValueWithLineBreaksCannotInjectKeys) {
  Config.WriteString("Model", "GeminiKey", "abc\r\n[Tools]\nCommand=1");
  EXPECT_FALSE(Config.Read(keys::Command, false));
  EXPECT_EQ(Config.Read(keys::GeminiKey, ""), "abc[Tools]Command=1");
}

TEST_F(ConfigTest, FileIsOwnerOnlyAndReplacedWithoutLeftovers) {
  Config.Write(keys::OpenAIKey, "sk-test");
  struct stat St {};
  ASSERT_EQ(stat(Path.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  Config.Write(keys::ClaudeKey, "x");
  std::size_t Files = 0;
  for (const auto& E : std::filesystem::directory_iterator(Folder)) (void)E, ++Files;
  EXPECT_EQ(Files, 1u);  // no temporary file is left behind
}

TEST_F(ConfigTest, RefusedWriteRaisesUnableToWrite) {
  WriteTestFile(Folder + "/not-a-folder", "x");
  TConfig Bad(Folder + "/not-a-folder/Kestrill.Ini");
  try {
    Bad.Write(keys::Mode, 0);
    FAIL() << "the write should have been refused";
  } catch (const EIniFileException& E) {
    EXPECT_EQ(std::string(E.what()), "Unable to write to " + Folder + "/not-a-folder/Kestrill.Ini");
  }
  EXPECT_EQ(Bad.Read(keys::Mode, 1), 1);
}

TEST_F(ConfigTest, ConcurrentWritesLoseNothing) {
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([this, T] {
      for (int I = 0; I < 20; ++I)
        Config.WriteInteger("S" + std::to_string(T), "K" + std::to_string(I), I);
    });
  for (auto& Th : Threads) Th.join();
  for (int T = 0; T < 4; ++T)
    for (int I = 0; I < 20; ++I)
      EXPECT_EQ(Config.ReadInteger("S" + std::to_string(T), "K" + std::to_string(I), -1), I);
}

TEST(IniValues, IntegerAndFloatText) {
  int V = 0;
  EXPECT_TRUE(ParseIniInteger("$FFFFFFFF", V));
  EXPECT_EQ(V, -1);
  EXPECT_TRUE(ParseIniInteger("-2147483648", V));
  EXPECT_EQ(V, INT32_MIN);
  EXPECT_FALSE(ParseIniInteger("2147483648", V));
  EXPECT_FALSE(ParseIniInteger("0x", V));
  EXPECT_FALSE(ParseIniInteger("1.5", V));
  EXPECT_EQ(FormatIniFloat(250), "250");
  EXPECT_EQ(FormatIniFloat(0.1), "0.1");
  EXPECT_EQ(FormatIniFloat(-3.25), "-3.25");
}

TEST(SettingsProblem, SaysWhySettingsCannotBeRead) {
  std::string Dir = MakeTempFolder();
  EXPECT_EQ(SettingsProblem(Dir + "/Kestrill/Kestrill.Ini"), "");  // nothing written yet: fine
  WriteTestFile(Dir + "/Kestrill", "a file where the data folder belongs");
  EXPECT_EQ(SettingsProblem(Dir + "/Kestrill/Kestrill.Ini"),
            "데이터 폴더 자리에 같은 이름의 파일이 있어 설정과 채팅을 읽고 저장할 수 없습니다: " +
                Dir + "/Kestrill");
  std::filesystem::create_directories(Dir + "/Data/Kestrill.Ini");
  EXPECT_EQ(SettingsProblem(Dir + "/Data/Kestrill.Ini"),
            "설정 파일 자리에 폴더가 있어 설정을 읽을 수 없습니다: " + Dir + "/Data/Kestrill.Ini");
  WriteTestFile(Dir + "/Ok/Kestrill.Ini", "[Model]\r\n");
  EXPECT_EQ(SettingsProblem(Dir + "/Ok/Kestrill.Ini"), "");
}

TEST(SettingsProblem, AFifoDeviceOrGiantInTheFilesPlaceGivesDefaultsAndSaysWhy) {
  const std::string Dir = MakeTempFolder();
  const std::string NoFile =
      "설정 파일이 일반 파일이 아니어서(파이프나 장치 등) 설정을 읽을 수 없습니다: ";
  struct TCase {
    const char* Folder;
    std::function<void(const std::string&)> Make;
    std::string Problem;
  };
  const TCase Cases[] = {
      {"fifo", MakeFifo, NoFile},
      {"zero", [](const std::string& P) { MakeLink("/dev/zero", P); }, NoFile},
      {"urandom", [](const std::string& P) { MakeLink("/dev/urandom", P); }, NoFile},
      {"giant", [](const std::string& P) { MakeSparseFile(P, kTwoGigabytes); },
       "설정 파일이 너무 커서(2048 MB, 최대 4 MB) 설정을 읽을 수 없습니다: "},
  };
  for (const TCase& C : Cases) {
    const std::string Path = Dir + "/" + C.Folder + "/Kestrill.Ini";
    std::filesystem::create_directory(Dir + "/" + C.Folder);
    C.Make(Path);
    TConfig Config(Path);
    auto [Model, Mode, Problem] = WithinDeadline(
        [&] {
          return std::tuple(Config.Read(keys::GeminiModel, "gemini-default"),
                            Config.Read(keys::Mode, 1), SettingsProblem(Path));
        },
        {Path});
    EXPECT_EQ(Model, "gemini-default") << C.Folder;
    EXPECT_EQ(Mode, 1) << C.Folder;
    EXPECT_EQ(Problem, C.Problem + Path);
  }
  // Writing would lose whatever the file holds, or take a FIFO's place: it is refused. (Links to
  // devices are not written to here: a test must never risk replacing /dev/zero.)
  for (const char* Folder : {"fifo", "giant"}) {
    const std::string Path = Dir + "/" + Folder + "/Kestrill.Ini";
    TConfig Config(Path);
    EXPECT_THROW(WithinDeadline([&] { Config.Write(keys::GeminiKey, "key"); }, {Path}),
                 EIniFileException)
        << Folder;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(Dir + "/fifo/Kestrill.Ini"));
  EXPECT_EQ(std::filesystem::file_size(Dir + "/giant/Kestrill.Ini"), kTwoGigabytes);
}
