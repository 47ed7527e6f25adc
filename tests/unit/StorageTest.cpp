// The chat history file and the catalogue byte for byte, and what is read back from files that
// are damaged, foreign or hostile.
#include <gtest/gtest.h>

#include "TestEnv.h"
#include "core/FileIO.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

TChatMessage Msg(std::string AId, std::string ARole, std::string AText) {
  TChatMessage M;
  M.MsgID = std::move(AId);
  M.Role = std::move(ARole);
  M.Text = std::move(AText);
  return M;
}

// An agent chat: a prompt with a Windows path and an attachment, a tool request and its result,
// and a reply holding CR LF, a tab, a quote, a control character and Korean.
TChatHistory AgentChat() {
  TChatMessage User = Msg("A-1", "user", "C:\\Users\\kim/보고서 요약");
  User.AttachedFilePath = "C:\\docs\\report.pdf";
  User.MimeType = "application/pdf";
  User.ImageBase64 = "not stored";
  TChatMessage Request = Msg("A-2", "assistant", "");
  Request.HasToolCall = true;
  Request.ToolCallId = "call_1";
  Request.ToolName = "get_yahoo_price";
  Request.ToolArgs = R"({"ticker":"005930.KS"})";
  TChatMessage Result = Msg("A-3", "tool", "80,500");
  Result.HasToolCall = true;
  Result.ToolCallId = "call_1";
  Result.ToolName = "get_yahoo_price";
  TChatMessage Reply = Msg("A-4", "assistant", "삼성전자 \"주가\"\r\n\t80,500원\x01");
  return {User, Request, Result, Reply};
}

const std::string kAgentChatFile =
    "\xEF\xBB\xBF[\r\n"
    "    {\r\n"
    "        \"msgId\": \"A-1\",\r\n"
    "        \"role\": \"user\",\r\n"
    "        \"text\": \"C:\\\\Users\\\\kim\\/보고서 요약\",\r\n"
    "        \"attached\": \"C:\\\\docs\\\\report.pdf\",\r\n"
    "        \"mimetype\": \"application\\/pdf\"\r\n"
    "    },\r\n"
    "    {\r\n"
    "        \"msgId\": \"A-2\",\r\n"
    "        \"role\": \"assistant\",\r\n"
    "        \"text\": \"\",\r\n"
    "        \"attached\": \"\",\r\n"
    "        \"mimetype\": \"\",\r\n"
    "        \"hastoolcall\": true,\r\n"
    "        \"toolname\": \"get_yahoo_price\",\r\n"
    "        \"toolargs\": \"{\\\"ticker\\\":\\\"005930.KS\\\"}\"\r\n"
    "    },\r\n"
    "    {\r\n"
    "        \"msgId\": \"A-3\",\r\n"
    "        \"role\": \"tool\",\r\n"
    "        \"text\": \"80,500\",\r\n"
    "        \"attached\": \"\",\r\n"
    "        \"mimetype\": \"\",\r\n"
    "        \"hastoolcall\": true,\r\n"
    "        \"toolname\": \"get_yahoo_price\",\r\n"
    "        \"toolargs\": \"\"\r\n"
    "    },\r\n"
    "    {\r\n"
    "        \"msgId\": \"A-4\",\r\n"
    "        \"role\": \"assistant\",\r\n"
    "        \"text\": \"삼성전자 \\\"주가\\\"\\r\\n\\t80,500원\x01\",\r\n"
    "        \"attached\": \"\",\r\n"
    "        \"mimetype\": \"\"\r\n"
    "    }\r\n"
    "]";

TJson Parsed(const std::string& AText) {
  TJsonFileRead R = ParseChatJsonText(AText);
  EXPECT_EQ(R.Status, TJsonFileStatus::Ok) << R.Error;
  return R.Value;
}

}  // namespace

TEST(HistoryFile, LayoutIsExactToTheByte) {
  EXPECT_EQ(FormatHistoryFile(AgentChat()), kAgentChatFile);
  EXPECT_EQ(FormatHistoryFile({}), "\xEF\xBB\xBF[]");
  // The remaining escapes: backspace and form feed.
  EXPECT_EQ(FormatHistoryFile({Msg("B", "user", "\b\f")}),
            "\xEF\xBB\xBF[\r\n    {\r\n        \"msgId\": \"B\",\r\n        \"role\": \"user\",\r\n"
            "        \"text\": \"\\b\\f\",\r\n        \"attached\": \"\",\r\n"
            "        \"mimetype\": \"\"\r\n    }\r\n]");
}

TEST(HistoryFile, ReopenedAgentChatHoldsThePromptAndTheReply) {
  THistoryRead R = ReadHistoryDocument(Parsed(kAgentChatFile));
  TChatHistory Want = AgentChat();
  Want[0].ImageBase64.clear();  // the file keeps the path, never the content
  ASSERT_EQ(R.Messages, (TChatHistory{Want[0], Want[3]}));
  EXPECT_EQ(R.SkippedBadElements, 0);
  // Without the byte order mark the same file reads the same.
  EXPECT_EQ(ReadHistoryDocument(Parsed(kAgentChatFile.substr(3))).Messages, R.Messages);
}

TEST(HistoryFile, TextWithAToolCallKeepsItsToolFieldsButNoCallId) {
  TChatMessage M = Msg("C", "assistant", "잠시만요");
  M.HasToolCall = true;
  M.ToolCallId = "call_9";
  M.ToolName = "web_search";
  M.ToolArgs = R"({"q":"x"})";
  THistoryRead R = ReadHistoryDocument(Parsed(FormatHistoryFile({M})));
  ASSERT_EQ(R.Messages.size(), 1u);
  M.ToolCallId.clear();
  EXPECT_EQ(R.Messages[0], M);
}

TEST(HistoryFile, BadElementsAreSkippedOneByOne) {
  const std::string Text = R"([1, "x", null, {"msgId":"1","role":"user","text":"ok"},
    {"msgId":"2","role":"user","text":42}, {"msgId":"3","role":"model","text":"also ok",
    "hastoolcall":"yes"}, {"msgId":"4","role":"model","text":"fine","hastoolcall":false},
    {"role":"model"}, {"msgId":"5","role":"user","text":"last","attached":null},
    {"filename":"a.json","title":"t"}, {"msgId":"6","role":"system","text":"no"}])";
  THistoryRead R = ReadHistoryDocument(Parsed(Text));
  std::vector<std::string> Ids;
  for (const auto& M : R.Messages) Ids.push_back(M.MsgID);
  EXPECT_EQ(Ids, (std::vector<std::string>{"1", "4", "5"}));
  EXPECT_EQ(R.SkippedBadElements, 7);
  EXPECT_EQ(FirstPromptOf(Parsed(Text)), "");
  EXPECT_EQ(FirstPromptOf(Parsed(R"([{"text":"첫 질문"},{"text":"둘"}])")), "첫 질문");
}

TEST(ChatJson, WhatReadsAndWhatIsRefused) {
  struct TCase {
    std::string Name, Text;
    TJsonFileStatus Want;
  };
  const std::string Deep(10000, '[');
  const std::vector<TCase> Cases{
      {"empty array", "\xEF\xBB\xBF[]", TJsonFileStatus::Ok},
      {"raw control character inside a string", "[\"a\x01\x1F b\"]", TJsonFileStatus::Ok},
      {"brackets inside strings do not count as depth", "[\"" + Deep + "\"]", TJsonFileStatus::Ok},
      {"not JSON", "\xEF\xBB\xBF[{", TJsonFileStatus::Broken},
      {"nested past the limit", Deep + std::string(10000, ']'), TJsonFileStatus::Broken},
      {"empty file", "", TJsonFileStatus::Broken},
  };
  for (const TCase& C : Cases) {
    TJsonFileRead R = ParseChatJsonText(C.Text);
    EXPECT_EQ(R.Status, C.Want) << C.Name;
    EXPECT_EQ(R.Error.empty(), C.Want == TJsonFileStatus::Ok) << C.Name;
  }
  EXPECT_EQ(ParseChatJsonText("[\"a\x01\"]").Value[0], "a\x01");
  std::string Dir = MakeTempFolder();
  EXPECT_EQ(ReadChatJsonFile(Dir + "/none.json").Status, TJsonFileStatus::Missing);
  EXPECT_EQ(ReadChatJsonFile(Dir).Status, TJsonFileStatus::Broken);  // a folder
}

TEST(ChatJson, IllFormedUtf8IsWrittenSoItReadsBack) {
  std::string Text = FormatHistoryFile({Msg("D", "user", "a\xFF\xC3(b")});
  THistoryRead R = ReadHistoryDocument(Parsed(Text));
  ASSERT_EQ(R.Messages.size(), 1u);
  EXPECT_EQ(R.Messages[0].Text, "a\xEF\xBF\xBD\xEF\xBF\xBD(b");
}

TEST(Title, FirstEightyCharactersOnOneLine) {
  const std::string Hundred = std::string(100, 'a');
  std::string Korean;
  for (int I = 0; I < 90; ++I) Korean += "가";
  std::string KoreanCut;
  for (int I = 0; I < 80; ++I) KoreanCut += "가";
  struct TCase {
    std::string Text, Want;
  } Cases[] = {
      {Hundred, std::string(80, 'a')},
      {"a\r\nb", "a b"},
      {Korean, KoreanCut},
      // CR LF counts as two characters; a break at either end goes.
      {std::string(79, 'x') + "\r\nyy", std::string(79, 'x')},
      {std::string(78, 'x') + "\r\nyy", std::string(78, 'x')},
      // Any run of line breaks and tabs is one space: a title is one line.
      {"lone\nfeed", "lone feed"},
      {"a\r\n\r\n\tb\rc", "a b c"},
      {"\t 첫 줄\n", "첫 줄"},
  };
  for (const TCase& C : Cases) EXPECT_EQ(TitleFromText(C.Text), C.Want) << C.Text;
}

TEST(Catalogue, LayoutCutsTitlesAndKeepsWhatItCouldNotRead) {
  TCatalogueData Data;
  Data.Entries.push_back(
      {"C:\\Kestrill\\20260102030405.json", std::string(100, 't'), "20260102030405"});
  Data.Entries.push_back({"/home/u/a.json", "", ""});
  Data.Unreadable.push_back(TJson(7));
  Data.Unreadable.push_back(TJson::parse(R"({"filename":1,"x":[true,null]})"));
  const std::string Want =
      "\xEF\xBB\xBF[\r\n"
      "    {\r\n"
      "        \"filename\": \"C:\\\\Kestrill\\\\20260102030405.json\",\r\n"
      "        \"title\": \"" +
      std::string(80, 't') +
      "\",\r\n"
      "        \"lastModified\": \"20260102030405\"\r\n"
      "    },\r\n"
      "    {\r\n"
      "        \"filename\": \"\\/home\\/u\\/a.json\",\r\n"
      "        \"title\": \"\",\r\n"
      "        \"lastModified\": \"\"\r\n"
      "    },\r\n"
      "    7,\r\n"
      "    {\r\n"
      "        \"filename\": 1,\r\n"
      "        \"x\": [\r\n"
      "            true,\r\n"
      "            null\r\n"
      "        ]\r\n"
      "    }\r\n"
      "]";
  EXPECT_EQ(FormatCatalogue(Data), Want);

  TCatalogueData Back = ReadCatalogueDocument(Parsed(Want));
  ASSERT_EQ(Back.Entries.size(), 2u);
  EXPECT_EQ(Back.Entries[0].Title, std::string(80, 't'));
  EXPECT_EQ(Back.Unreadable, Data.Unreadable);
  EXPECT_EQ(FormatCatalogue(Back), Want);  // a second save loses nothing
}

TEST(Catalogue, NewestFirstAndAnEmptyTimeLast) {
  std::vector<TChatFile> L{{"a", "A", "20250101000000"},
                           {"b", "B", ""},
                           {"c", "C", "20261231235959"},
                           {"d", "D", "20250101000000"}};
  SortNewestFirst(L);
  std::string Order;
  for (const auto& E : L) Order += E.FileName;
  EXPECT_EQ(Order, "cadb");  // equal times keep their order
}

TEST(ChatJsonFile, WrittenFileReadsBackWhole) {
  std::string Path = MakeTempFolder() + "/20260101000000.json";
  WriteFileAtomic(Path, FormatHistoryFile(AgentChat()));
  EXPECT_EQ(*ReadFileBytes(Path), kAgentChatFile);
  TJsonFileRead R = ReadChatJsonFile(Path);
  ASSERT_EQ(R.Status, TJsonFileStatus::Ok);
  EXPECT_EQ(ReadHistoryDocument(R.Value).Messages.size(), 2u);
}
