// Searching every saved chat in a folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestEnv.h"
#include "storage/ChatSearch.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

void WriteChat(const std::string& APath, const std::vector<std::pair<const char*, std::string>>& AMessages) {
  TChatHistory History;
  for (const auto& [Role, Text] : AMessages) History.push_back(CreateChatMessage(Role, Text));
  WriteTestFile(APath, FormatHistoryFile(History));
}

std::vector<std::string> Files(const std::vector<TChatSearchHit>& AHits) {
  std::vector<std::string> Out;
  for (const auto& H : AHits) Out.push_back(std::filesystem::path(H.FilePath).filename().string());
  return Out;
}

class ChatSearchTest : public ::testing::Test {
 protected:
  std::string Dir = MakeTempFolder();
  TChatSearch Search;
  void SetUp() override {
    WriteChat(Dir + "/20261201090000.json",
              {{"user", "삼성전자 주가는?"}, {"model", "삼성전자의 종가는 71,500원입니다."}});
    WriteChat(Dir + "/20261202090000.json",
              {{"user", "Apple earnings"}, {"model", "AAPL reported revenue of $94.9B."}});
    WriteChat(Dir + "/20261203090000.json",
              {{"user", "배당 일정"},
               {"assistant", std::string(200, 'x') + " 카카오 배당은 연 1회이며 " + std::string(200, 'y')}});
    WriteTestFile(Dir + "/ChatFileList.json", "\xEF\xBB\xBF[{\"FileName\":\"삼성전자\"}]");
    WriteTestFile(Dir + "/20261204090000.json", "{ broken");
    WriteTestFile(Dir + "/notes.txt", "삼성전자");
  }
};

}  // namespace

TEST_F(ChatSearchTest, FindsByTitleAndTextWithEveryWord) {
  struct TCase {
    const char* Query;
    std::vector<std::string> Expected;
  };
  const TCase Cases[] = {
      {"삼성전자", {"20261201090000.json"}},           // title and text; not the catalogue or .txt
      {"aapl", {"20261202090000.json"}},               // ASCII letters ignore case
      {"apple REVENUE", {"20261202090000.json"}},      // words may be in the title and the text
      {"apple 삼성전자", {}},                           // every word must be there
      {"  ", {}},
      {"배당", {"20261203090000.json"}},
      {"원", {"20261201090000.json"}},
  };
  for (const TCase& C : Cases) EXPECT_EQ(Files(Search.Search(Dir, C.Query)), C.Expected) << C.Query;

  WriteChat(Dir + "/20261205090000.json", {{"user", "삼성전자 실적"}});
  EXPECT_EQ(Files(Search.Search(Dir, "삼성전자")),
            (std::vector<std::string>{"20261205090000.json", "20261201090000.json"}));  // newest first
  EXPECT_EQ(Search.Search(Dir, "삼성전자", {}, 1).size(), 1u);
}

TEST_F(ChatSearchTest, TitlesAndSnippets) {
  auto Hits = Search.Search(Dir, "카카오");
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0].Title, "배당 일정");
  EXPECT_EQ(Hits[0].Snippet, "…" + std::string(29, 'x') + " 카카오 배당은 연 1회이며 " +
                                 std::string(44, 'y') + "…");

  // A renamed chat shows, and is found by, the catalogue's title.
  const std::string Renamed = Dir + "/20261202090000.json";
  Hits = Search.Search(Dir, "실적 발표", {{Renamed, "애플 실적 발표"}});
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0], (TChatSearchHit{Renamed, "애플 실적 발표", "Apple earnings"}));
}

TEST_F(ChatSearchTest, OnlyChangedFilesAreReadAgain) {
  Search.Search(Dir, "삼성전자");
  const std::size_t First = Search.FilesRead();
  EXPECT_EQ(First, 4u);  // three chats and the broken file
  Search.Search(Dir, "배당");
  EXPECT_EQ(Search.FilesRead(), First);

  WriteChat(Dir + "/20261201090000.json", {{"user", "현대차 주가는?"}, {"model", "현대차는 올랐습니다."}});
  std::filesystem::remove(Dir + "/20261202090000.json");
  EXPECT_EQ(Files(Search.Search(Dir, "현대차")), (std::vector<std::string>{"20261201090000.json"}));
  EXPECT_EQ(Search.FilesRead(), First + 1);
  EXPECT_TRUE(Search.Search(Dir, "삼성전자").empty());
  EXPECT_TRUE(Search.Search(Dir, "apple").empty());
  EXPECT_TRUE(Search.Search(Dir + "/missing", "a").empty());
}

TEST(SearchQuery, EachWordOnceAndAtMostThirtyTwo) {
  EXPECT_EQ(SearchWords("삼성 SAMSUNG 삼성 samsung\t삼성"), (std::vector<std::string>{"삼성", "samsung"}));
  std::string Repeated;
  for (int I = 0; I < 10000; ++I) Repeated += "배당 ";
  EXPECT_EQ(SearchWords(Repeated), std::vector<std::string>{"배당"});
  EXPECT_EQ(SearchQueryNote(Repeated), "");
  std::string Many;
  for (int I = 0; I < 40; ++I) Many += "w" + std::to_string(I) + " ";
  const std::vector<std::string> Words = SearchWords(Many);
  ASSERT_EQ(Words.size(), kMaxSearchWords);
  EXPECT_EQ(Words.front(), "w0");
  EXPECT_EQ(Words.back(), "w31");
  EXPECT_EQ(SearchQueryNote(Many), "검색어가 너무 많아 앞의 32개 단어로만 찾았습니다.");
}
