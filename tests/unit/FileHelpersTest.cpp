#include <gtest/gtest.h>

#include <filesystem>

#include "NotAFile.h"
#include "TestEnv.h"
#include "core/FileHelpers.h"

using namespace kestrill;
using namespace kestrill::testing;

TEST(GetMimeType, MapsExtensionsInAnyCase) {
  const std::pair<const char*, const char*> Cases[] = {{".jpg", "image/jpeg"},
                                                       {".JPG", "image/jpeg"},
                                                       {".jpeg", "image/jpeg"},
                                                       {".png", "image/png"},
                                                       {".WebP", "image/webp"},
                                                       {".pdf", "application/pdf"},
                                                       {".txt", "text/plain"},
                                                       {".csv", "text/csv"},
                                                       {".md", "application/octet-stream"},
                                                       {"", "application/octet-stream"},
                                                       {"jpg", "application/octet-stream"}};
  for (auto [Ext, Mime] : Cases) EXPECT_EQ(GetMimeType(Ext), Mime) << Ext;
}

TEST(ImageToBase64, WholeFileOnOneLine) {
  std::string Dir = MakeTempFolder();
  std::string Bytes;
  for (int I = 0; I < 100; ++I) Bytes += static_cast<char>(I * 7);
  WriteTestFile(Dir + "/a.png", Bytes);
  std::string B64 = ImageToBase64(Dir + "/a.png");
  EXPECT_EQ(B64.size(), 136u);
  EXPECT_EQ(B64.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(B64.substr(B64.size() - 2), "==");

  WriteTestFile(Dir + "/big.bin", std::string(100000, 'x'));  // far past one 76-column line
  EXPECT_EQ(ImageToBase64(Dir + "/big.bin").find_first_of("\r\n"), std::string::npos);

  EXPECT_EQ(ImageToBase64(Dir + "/gone.png"), "");
  EXPECT_EQ(ImageToBase64(Dir), "");  // a folder is not a file
}

TEST(ImageToBase64, RefusesFilesTooLargeToHold) {
  std::string Path = MakeTempFolder() + "/huge.bin";
  WriteTestFile(Path, "");
  std::filesystem::resize_file(Path, kMaxAttachmentBytes + 1);  // sparse: no disk used
  EXPECT_THROW(ImageToBase64(Path), EFileReadError);
}

TEST(ReadAllTextAutoEncoding, DetectsTheEncoding) {
  std::string Dir = MakeTempFolder();
  const std::pair<std::string, std::string> Cases[] = {
      {"\xEF\xBB\xBF"
       "한글 BOM",
       "한글 BOM"},
      {"UTF-8 한국어 without BOM", "UTF-8 한국어 without BOM"},
      {"\xC7\xD1\xB1\xDB \xC5\xD8\xBD\xBA\xC6\xAE", "한글 텍스트"},   // CP949
      {std::string("\xFF\xFE\x5C\xD5\x00\xAE\x41\x00", 8), "한글A"},  // UTF-16LE
      {std::string("\xFE\xFF\xD5\x5C\xAE\x00\x00\x41", 8), "한글A"},  // UTF-16BE
      {"\xEF\xBB\xBF"
       "bad\xFF",
       "bad\xEF\xBF\xBD"},  // damaged after a BOM
      {"", ""},
  };
  int N = 0;
  for (const auto& [Bytes, Text] : Cases) {
    std::string Path = Dir + "/f" + std::to_string(N++) + ".txt";
    WriteTestFile(Path, Bytes);
    EXPECT_EQ(ReadAllTextAutoEncoding(Path), Text) << "case " << N - 1;
  }
  EXPECT_THROW(ReadAllTextAutoEncoding(Dir + "/missing.txt"), EFileReadError);
}

TEST(Base64ToBytes, UndoesImageToBase64) {
  std::string Bytes;
  for (int I = 0; I < 256; ++I) Bytes += static_cast<char>(I);
  for (std::size_t Size : {0u, 1u, 2u, 3u, 4u, 256u}) {
    std::string Path = MakeTempFolder() + "/f.bin";
    WriteTestFile(Path, Bytes.substr(0, Size));
    EXPECT_EQ(Base64ToBytes(ImageToBase64(Path)), Bytes.substr(0, Size)) << Size;
  }
  EXPECT_EQ(Base64ToBytes("7JWI\r\n64WV"), "안녕");  // line breaks are skipped
}

TEST(AttachmentProblem, OnlyFilesThatWouldReachTheModelAsGarbageAreRefused) {
  std::string Dir = MakeTempFolder();
  const std::pair<const char*, std::string> Allowed[] = {
      {"a.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},  // by type, whatever the bytes
      {"r.pdf", "%PDF-1.4\n\0\0\0"},
      {"notes.md", "# 메모\n- 삼성전자\n"},
      {"euc.log", "\xBB\xEF\xBC\xBA\xC0\xFC\xC0\xDA"},  // CP949
      {"u16.json", std::string("\xFF\xFE{\0}\0", 6)},
      {"empty", ""},
      {"gone.zip", ""},  // not there: the send reports it
  };
  for (const auto& [Name, Bytes] : Allowed) {
    if (std::string(Name) != "gone.zip") WriteTestFile(Dir + "/" + Name, Bytes);
    EXPECT_EQ(AttachmentProblem(Dir + "/" + Name), "") << Name;
  }
  const std::pair<const char*, std::string> Refused[] = {
      {"a.zip", std::string("PK\x03\x04\x14\0\0\0", 8)},
      {"report.docx", std::string("PK\x03\x04\x14\0\x06\0", 8) + std::string(100, 'x')},
      {"data.bin", std::string("\x01\x02\x03\x04\x05\x06\x07\x08 text", 13)},
  };
  for (const auto& [Name, Bytes] : Refused) {
    WriteTestFile(Dir + "/" + Name, Bytes);
    EXPECT_EQ(
        AttachmentProblem(Dir + "/" + Name),
        "이 파일은 첨부할 수 없습니다: " + std::string(Name) +
            "\r\n이미지(JPG, PNG, WEBP), PDF, 텍스트 파일(TXT, CSV, MD 등)만 보낼 수 있습니다.")
        << Name;
  }
}

TEST(AttachmentProblem, WhatIsNoFileIsRefused) {
  const std::string Dir = MakeTempFolder();
  MakeFifo(Dir + "/pipe.png");
  MakeLink("/dev/zero", Dir + "/zero.pdf");
  MakeLink("/dev/urandom", Dir + "/random.txt");
  std::filesystem::create_directory(Dir + "/folder.md");
  for (const char* Name : {"pipe.png", "zero.pdf", "random.txt", "folder.md"}) {
    const std::string Problem = WithinDeadline(
        [&] { return AttachmentProblem(Dir + "/" + Name, aiClaude); }, {Dir + "/pipe.png"});
    EXPECT_EQ(Problem, "이 파일은 첨부할 수 없습니다: " + std::string(Name) +
                           "\r\n일반 파일이 아닙니다 (폴더, 파이프, 장치 등).");
  }
}

TEST(AttachmentProblem, AFileLargerThanTheProviderTakesIsRefusedWithTheLimit) {
  const std::string Dir = MakeTempFolder();
  constexpr std::uint64_t MB = 1 << 20;
  struct TCase {
    const char* Name;
    std::uint64_t Size;
    std::optional<TAIProvider> Provider;
    std::string Problem;
  };
  const TCase Cases[] = {
      {"photo.png", 4 * MB, aiClaude,
       "첨부 파일이 너무 큽니다: photo.png (4 MB)\r\nClaude에 보낼 수 있는 이미지는 3.75 "
       "MB까지입니다."},
      {"photo.png", 4 * MB, aiOpenAI, ""},
      {"photo.png", 4 * MB, std::nullopt, ""},
      {"scan.jpg", 15 * MB, aiGemini, ""},  // exactly the limit
      {"scan.jpg", 15 * MB + 1, aiGemini,
       "첨부 파일이 너무 큽니다: scan.jpg (15.01 MB)\r\nGemini에 보낼 수 있는 이미지는 15 "
       "MB까지입니다."},
      {"report.pdf", 30 * MB, aiClaude,
       "첨부 파일이 너무 큽니다: report.pdf (30 MB)\r\nClaude에 보낼 수 있는 PDF는 24 "
       "MB까지입니다."},
      {"report.pdf", 30 * MB, aiOpenAI, ""},
      {"huge.pdf", kTwoGigabytes, std::nullopt,
       "첨부 파일이 너무 큽니다: huge.pdf (2048 MB)\r\n보낼 수 있는 PDF는 32 MB까지입니다."},
      {"log.txt", kTwoGigabytes, aiDeepseek,
       "첨부 파일이 너무 큽니다: log.txt (2048 MB)\r\nDeepSeek에 보낼 수 있는 텍스트 파일은 10 "
       "MB까지입니다."},
      {"log.txt", 10 * MB, aiOllama, ""},
  };
  for (const TCase& C : Cases) {
    MakeSparseFile(Dir + "/" + C.Name, C.Size);
    const std::string Problem =
        WithinDeadline([&] { return AttachmentProblem(Dir + "/" + C.Name, C.Provider); });
    EXPECT_EQ(Problem, C.Problem) << C.Name << " " << C.Size;
  }
}

TEST(ImageToBase64, ReadsNoFurtherThanAnyProviderTakes) {
  const std::string Dir = MakeTempFolder();
  MakeSparseFile(Dir + "/huge.png", kTwoGigabytes);
  MakeFifo(Dir + "/pipe.png");
  MakeLink("/dev/zero", Dir + "/zero.png");
  try {
    WithinDeadline([&] { return ImageToBase64(Dir + "/huge.png"); });
    ADD_FAILURE() << "expected a refusal";
  } catch (const EFileReadError& E) {
    EXPECT_EQ(
        std::string(E.what()),
        "첨부 파일이 너무 큽니다: huge.png (2048 MB)\r\n보낼 수 있는 이미지는 20 MB까지입니다.");
  }
  EXPECT_THROW(ImageToBase64(Dir + "/huge.png", aiClaude), EFileReadError);
  // What is no file reads like a file that is gone: nothing to show or send.
  for (const char* Name : {"pipe.png", "zero.png"})
    EXPECT_EQ(WithinDeadline([&] { return ImageToBase64(Dir + "/" + Name); }, {Dir + "/pipe.png"}),
              "")
        << Name;
}

TEST(ReadAllTextAutoEncoding, RefusesWhatIsNoFileOrTooLargeNamingIt) {
  const std::string Dir = MakeTempFolder();
  MakeFifo(Dir + "/pipe.txt");
  MakeLink("/dev/urandom", Dir + "/random.txt");
  MakeSparseFile(Dir + "/huge.txt", kTwoGigabytes);
  const std::pair<std::string, std::string> Cases[] = {
      {Dir + "/pipe.txt", "일반 파일이 아니어서 읽을 수 없습니다: " + Dir + "/pipe.txt"},
      {Dir + "/random.txt", "일반 파일이 아니어서 읽을 수 없습니다: " + Dir + "/random.txt"},
      {Dir + "/huge.txt", "파일이 너무 큽니다 (2048 MB, 최대 10 MB): " + Dir + "/huge.txt"},
  };
  for (const auto& [Path, Message] : Cases) {
    const std::string Error = WithinDeadline(
        [&]() -> std::string {
          try {
            ReadAllTextAutoEncoding(Path);
          } catch (const EFileReadError& E) {
            return E.what();
          }
          return "read";
        },
        {Dir + "/pipe.txt"});
    EXPECT_EQ(Error, Message);
  }
}
