// A saved chat or catalogue file as it may be found on disk: damaged, edited by hand, or not
// ours at all. Reading never throws; what we read, saved again by our writer, reads back the same.
#include "FuzzCheck.h"
#include "core/TextEncoding.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

using namespace kestrill;

namespace {

TJson ReadBack(const std::string& AText) {
  TJsonFileRead R = ParseChatJsonText(AText);
  FUZZ_CHECK(R.Status == TJsonFileStatus::Ok);
  FUZZ_CHECK(R.Value.is_array());
  return std::move(R.Value);
}

void CheckHistory(const TJson& ADocument) {
  const THistoryRead Read = ReadHistoryDocument(ADocument);
  FUZZ_CHECK(Read.SkippedBadElements >= 0);
  FUZZ_CHECK(Read.Messages.size() + static_cast<std::size_t>(Read.SkippedBadElements) <=
             (ADocument.is_array() ? ADocument.size() : 0));
  (void)TitleFromText(FirstPromptOf(ADocument));

  const std::string Saved = FormatHistoryFile(Read.Messages);
  FUZZ_CHECK(Saved.starts_with(kUtf8Bom));
  const THistoryRead Again = ReadHistoryDocument(ReadBack(Saved));
  FUZZ_CHECK(Again.SkippedBadElements == 0);
  FUZZ_CHECK(Again.Messages == Read.Messages);
}

void CheckCatalogue(const TJson& ADocument) {
  TCatalogueData Read = ReadCatalogueDocument(ADocument);
  FUZZ_CHECK(Read.Entries.size() + Read.Unreadable.size() ==
             (ADocument.is_array() ? ADocument.size() : 0));

  const std::string Saved = FormatCatalogue(Read);
  const TCatalogueData Again = ReadCatalogueDocument(ReadBack(Saved));
  // Titles are kept to 80 characters; everything else, the unreadable elements included,
  // survives a save unchanged.
  for (TChatFile& E : Read.Entries) E.Title = std::string(Utf16Prefix(E.Title, 80));
  FUZZ_CHECK(Again.Entries == Read.Entries);
  FUZZ_CHECK(Again.Unreadable == Read.Unreadable);
  SortNewestFirst(Read.Entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const TJsonFileRead File = ParseChatJsonText(FuzzText(AData, ASize));
  FUZZ_CHECK(File.Status != TJsonFileStatus::Missing);
  if (File.Status == TJsonFileStatus::Broken) {
    FUZZ_CHECK(!File.Error.empty());
    return 0;
  }
  FUZZ_CHECK(File.Error.empty());
  CheckHistory(File.Value);
  CheckCatalogue(File.Value);
  return 0;
}
