// PDF text for the providers that take no files: real documents through poppler, and what the
// model is told when a document has no text to give.
#include <gtest/gtest.h>

#include "ProviderFixtures.h"
#include "agent/PdfText.h"

using namespace kestrill;
using namespace kestrill::testing;

TEST(PdfText, PagesInOrderOrANoteSayingWhyNot) {
  const std::pair<std::string, std::string> Cases[] = {
      {MakePdf({"Quarterly report", "Revenue 300 trillion"}),
       "Quarterly report\n\nRevenue 300 trillion"},
      {MakePdf({"", ""}),
       "(PDF에서 텍스트를 찾을 수 없습니다. 스캔한 이미지로 된 문서일 수 있습니다.)"},
      {"%PDF-1.4 sample", "(PDF를 읽을 수 없습니다. 손상되었거나 PDF가 아닌 파일입니다.)"},
      {"", "(PDF를 읽을 수 없습니다. 손상되었거나 PDF가 아닌 파일입니다.)"},
  };
  for (const auto& [Bytes, Text] : Cases) EXPECT_EQ(PdfTextForModel(Bytes), Text);
}

TEST(PdfText, ALongDocumentIsCutAndSaysSo) {
  std::vector<std::string> Pages(kMaxPdfPages + 1, "page");
  Pages.back() = "last";
  std::string Text = PdfTextForModel(MakePdf(Pages));
  EXPECT_EQ(Text.find("last"), std::string::npos);
  EXPECT_EQ(Text.substr(0, 10), "page\n\npage");
  const std::string Note = "\n(문서가 길어 여기까지만 보냅니다.)";
  ASSERT_GT(Text.size(), Note.size());
  EXPECT_EQ(Text.substr(Text.size() - Note.size()), Note);
}
