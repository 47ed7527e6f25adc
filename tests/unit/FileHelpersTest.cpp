#include <gtest/gtest.h>

#include <filesystem>

#include "TestEnv.h"
#include "core/FileHelpers.h"

using namespace kestrill;
using kestrill::testing::MakeTempFolder;
using kestrill::testing::WriteTestFile;

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
