#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "core/ChatTypes.h"
#include "core/Clock.h"

using namespace kestrill;

TEST(CreateChatMessage, IdsAreUpperCaseV4GuidsWithoutBracesAndUnique) {
  static const std::regex kForm(
      "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> Seen;
  for (int I = 0; I < 5000; ++I) {
    TChatMessage M = CreateChatMessage("tool", "result");
    ASSERT_EQ(M.MsgID.size(), 36u);
    ASSERT_TRUE(std::regex_match(M.MsgID, kForm)) << M.MsgID;
    ASSERT_TRUE(Seen.insert(M.MsgID).second) << "duplicate " << M.MsgID;
  }
}

TEST(CreateChatMessage, SetsRoleAndTextOnly) {
  TChatMessage M = CreateChatMessage("user", "삼성전자 주가?");
  TChatMessage Expected;
  Expected.MsgID = M.MsgID;
  Expected.Role = "user";
  Expected.Text = "삼성전자 주가?";
  EXPECT_EQ(M, Expected);
  EXPECT_FALSE(M.HasToolCall);
}

TEST(ProviderFromSelectorIndex, MapsSelectorOrderToReplyFormat) {
  const std::pair<int, TAIProvider> Cases[] = {{0, aiGemini},   {1, aiOpenAI}, {2, aiClaude},
                                               {3, aiDeepseek}, {4, aiOllama}, {-1, aiGemini},
                                               {5, aiGemini}};
  for (auto [Index, Provider] : Cases)
    EXPECT_EQ(ProviderFromSelectorIndex(Index), Provider) << Index;
}

TEST(Clock, TimeStampIsFourteenDigitsWith24Hours) {
  std::tm T{};
  T.tm_year = 2026 - 1900;
  T.tm_mon = 11;
  T.tm_mday = 9;
  T.tm_hour = 23;
  T.tm_min = 5;
  T.tm_sec = 7;
  EXPECT_EQ(FormatTimeStamp(T), "20261209230507");
  EXPECT_EQ(FormatTimeStamp(LocalNow()).size(), 14u);
}
