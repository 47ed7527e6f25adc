// What a user types into the search box or after --search: any bytes, any number of words. The
// words looked for are each distinct, at most kMaxSearchWords, never blank, and only a query
// the search cut short gets a note.
#include <set>

#include "FuzzCheck.h"
#include "storage/ChatSearch.h"

using namespace kestrill;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string Query(FuzzText(AData, ASize));
  const std::vector<std::string> Words = SearchWords(Query);
  FUZZ_CHECK(Words.size() <= kMaxSearchWords);
  std::set<std::string> Seen;
  for (const std::string& W : Words) {
    FUZZ_CHECK(!W.empty());
    FUZZ_CHECK(Seen.insert(W).second);
    for (char C : W) FUZZ_CHECK(static_cast<unsigned char>(C) > ' ');
    for (char C : W) FUZZ_CHECK(!(C >= 'A' && C <= 'Z'));
  }
  // A query with fewer distinct words than the bound was read whole: no note.
  if (Words.size() < kMaxSearchWords) FUZZ_CHECK(SearchQueryNote(Query).empty());
  return 0;
}
