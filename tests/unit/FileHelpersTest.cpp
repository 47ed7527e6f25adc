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
