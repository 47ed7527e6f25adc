// Searching every saved chat in a folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "TestEnv.h"
#include "core/TextUtil.h"
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

// Only the words of each chat are kept: a query word must be found inside one of them exactly
// when it is inside a message text.
TEST_F(ChatSearchTest, WordsInsideTheTextsWords) {
  WriteChat(Dir + "/20261206090000.json",
            {{"user", "SK하이닉스는 HBM3E를\t양산합니다"},
             {"model", "종가는 71,500원입니다.\r\n(전일 대비 +2.3%)"}});
  const std::string File = Dir + "/20261206090000.json";
  struct TCase {
    const char* Query;
    bool Found;
  };
  const TCase Cases[] = {
      {"하이닉스", true},  // Korean inside a word
      {"hbm3e를", true},   // ASCII case, a particle attached
      {"HbM3", true},
      {"500원입", true},  // digits and Korean inside "71,500원입니다."
      {"+2.3%)", true},
      {"하이닉스는hbm3e", false},  // across a tab: no text holds it
      {"종가는71,500원", false},   // across a space
      {"합니다종가는", false},     // across two messages
      {"양산합니다 대비", true},   // words from two messages
      {"업무일지 대비", true},     // one from the catalogue's title, one from the text
      {"업무일지 없는말", false},
  };
  for (const TCase& C : Cases) {
    const auto Hits = Search.Search(Dir, C.Query, {{File, "업무일지"}});
    const bool Found = std::any_of(Hits.begin(), Hits.end(),
                                   [&](const TChatSearchHit& H) { return H.FilePath == File; });
    EXPECT_EQ(Found, C.Found) << C.Query;
  }
}

// Many chats of random words: the kept words find exactly what a plain look through every
// lower-cased message text (and title) finds.
TEST(ChatSearchWords, FindWhatTheTextsHold) {
  const std::string Dir = MakeTempFolder();
  std::mt19937 Rng(7);
  const char* const kPieces[] = {"삼성", "전자", "배당", "Ab", "aB", "x",    "7", ",",
                                 ".",    "원",   " ",    " ",  "\t", "\r\n", "(", "HBM"};
  auto RandomText = [&] {
    std::string T;
    for (int I = 1 + Rng() % 12; I > 0; --I) T += kPieces[Rng() % std::size(kPieces)];
    return T;
  };
  std::vector<std::vector<std::string>> Chats;  // the texts of each chat, oldest first
  for (int C = 0; C < 30; ++C) {
    std::vector<std::pair<const char*, std::string>> Messages;
    std::vector<std::string> Texts;
    for (int M = 0; M < 4; ++M) {
      Texts.push_back(RandomText());
      Messages.push_back({M % 2 ? "model" : "user", Texts.back()});
    }
    WriteChat(Dir + "/2026120" + std::to_string(1000 + C) + ".json", Messages);
    Chats.push_back(Texts);
  }
  TChatSearch Kept;
  for (int Q = 0; Q < 300; ++Q) {
    std::string Query = RandomText() + " " + (Q % 3 ? RandomText() : "");
    std::vector<std::string> Expected;
    for (int C = int(Chats.size()) - 1; C >= 0; --C) {
      const std::string Title = ToLowerAscii(TitleFromText(Chats[C][0]));
      bool All = true;
      for (const std::string& W : SearchWords(Query)) {
        bool In = Title.find(W) != std::string::npos;
        for (const std::string& T : Chats[C])
          In = In || ToLowerAscii(T).find(W) != std::string::npos;
        All = All && In;
      }
      if (All && !SearchWords(Query).empty())
        Expected.push_back("2026120" + std::to_string(1000 + C) + ".json");
    }
    TChatSearch Fresh;  // a fresh store now and then, the kept one otherwise
    EXPECT_EQ(Files((Q % 10 ? Kept : Fresh).Search(Dir, Query)), Expected) << Query;
  }
}

TEST_F(ChatSearchTest, AHitIsJudgedOnTheFileItsSnippetIsReadFrom) {
  const std::string File = Dir + "/20261203090000.json";
  ASSERT_EQ(Search.Search(Dir, "카카오").size(), 1u);
  // Changed without its time or size showing it: the kept words are old, the snippet is read
  // from what the file holds now.
  const auto Time = std::filesystem::last_write_time(File);
  auto Rewrite = [&](const std::vector<std::pair<const char*, std::string>>& AMessages) {
    const std::uintmax_t Size = std::filesystem::file_size(File);
    TChatHistory History;
    for (const auto& [Role, Text] : AMessages) History.push_back(CreateChatMessage(Role, Text));
    std::string Bytes = FormatHistoryFile(History);
    ASSERT_LE(Bytes.size(), Size);
    Bytes.insert(Bytes.size() - 1, Size - Bytes.size(), ' ');  // padded before the final "]"
    WriteTestFile(File, Bytes);
    std::filesystem::last_write_time(File, Time);
    ASSERT_EQ(std::filesystem::file_size(File), Size);
  };
  Rewrite({{"user", "배당 일정"}, {"assistant", "카카오 배당은 연 2회로 바뀌었습니다"}});
  auto Hits = Search.Search(Dir, "카카오");
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0].Snippet, "카카오 배당은 연 2회로 바뀌었습니다");
  // No longer holding the word: not a hit, and what is kept of it is read anew.
  Rewrite({{"user", "배당 일정"}, {"assistant", "네이버 배당은 연 1회입니다"}});
  EXPECT_TRUE(Search.Search(Dir, "카카오").empty());
  EXPECT_EQ(Files(Search.Search(Dir, "네이버")), (std::vector<std::string>{"20261203090000.json"}));
  // Unreadable by the time its snippet is read: not a hit.
  const std::uintmax_t Size = std::filesystem::file_size(File);
  WriteTestFile(File, std::string(Size, '{'));
  std::filesystem::last_write_time(File, Time);
  EXPECT_TRUE(Search.Search(Dir, "네이버").empty());
  // A catalogue title still finds a chat whose file cannot be read, as it always did.
  EXPECT_EQ(Search.Search(Dir, "카카오", {{File, "카카오 메모"}}),
            (std::vector<TChatSearchHit>{{File, "카카오 메모", ""}}));
  EXPECT_EQ(Search.FilesRead(), 4u);  // nothing was read again to index it
}

TEST_F(ChatSearchTest, ARemovedFileIsForgotten) {
  Search.Search(Dir, "배당");
  const std::size_t First = Search.FilesRead();
  // Moved away and back unchanged (same time and size): nothing of it was kept meanwhile.
  const std::string File = Dir + "/20261203090000.json";
  std::filesystem::rename(File, Dir + ".away");
  EXPECT_TRUE(Search.Search(Dir, "배당").empty());
  std::filesystem::rename(Dir + ".away", File);
  EXPECT_EQ(Search.Search(Dir, "배당").size(), 1u);
  EXPECT_EQ(Search.FilesRead(), First + 1);
}

TEST(ChatSearchBatches, HitsAreHandedOnAsFoundAndAStopEndsTheSearch) {
  const std::string Dir = MakeTempFolder();
  for (int I = 0; I < 40; ++I)
    WriteChat(Dir + "/202612" + std::to_string(10000000 + I) + ".json",
              {{"user", "배당 질문 " + std::to_string(I)}, {"model", "배당 답"}});
  TChatSearch Search;
  std::vector<std::vector<TChatSearchHit>> Batches;
  const auto Hits = Search.Search(Dir, "배당", {}, kMaxSearchHits, {},
                                  [&](std::vector<TChatSearchHit> A) { Batches.push_back(A); });
  ASSERT_EQ(Hits.size(), 40u);
  EXPECT_GT(Batches.size(), 1u);  // the first hits come before the last file is read
  std::vector<TChatSearchHit> Joined;
  for (const auto& B : Batches) Joined.insert(Joined.end(), B.begin(), B.end());
  EXPECT_EQ(Joined, Hits);  // newest first, each once

  // Stopped after the first batch: no file more is read, and what was handed on is returned.
  TChatSearch Fresh;
  std::stop_source Stop;
  Batches.clear();
  const auto Some = Fresh.Search(Dir, "배당", {}, kMaxSearchHits, Stop.get_token(),
                                 [&](std::vector<TChatSearchHit> A) {
                                   Batches.push_back(A);
                                   Stop.request_stop();
                                 });
  ASSERT_EQ(Batches.size(), 1u);
  EXPECT_EQ(Some, Batches[0]);
  EXPECT_LT(Fresh.FilesRead(), 40u);
  EXPECT_EQ(Fresh.Search(Dir, "배당"), Hits);

  // Two threads searching with one store take turns.
  std::vector<TChatSearchHit> Other;
  std::thread T([&] { Other = Fresh.Search(Dir, "답"); });
  EXPECT_EQ(Files(Fresh.Search(Dir, "질문")), Files(Hits));
  T.join();
  EXPECT_EQ(Files(Other), Files(Hits));
}
