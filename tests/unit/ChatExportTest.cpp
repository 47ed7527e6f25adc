// An answer's sources read from the conversation, and a chat exported as Markdown.
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestEnv.h"
#include "core/FileIO.h"
#include "core/TextEncoding.h"
#include "engine/ChatArchive.h"
#include "engine/ChatExport.h"
#include "engine/ChatFiles.h"
#include "storage/HistoryFile.h"
#include "engine/ToolSources.h"

using namespace kestrill;

namespace {

TChatMessage Msg(std::string_view ARole, std::string_view AText) {
  TChatMessage M = CreateChatMessage(ARole, AText);
  M.MsgID = std::string(ARole) + ":" + std::string(AText);  // stable for the comparison
  return M;
}

TChatMessage Call(const std::string& AName, const std::string& AArgs) {
  TChatMessage M = Msg(kRoleAssistant, "");
  M.MsgID = "call:" + AName;
  M.HasToolCall = true;
  M.ToolName = AName;
  M.ToolArgs = AArgs;
  return M;
}

TChatMessage Result(const std::string& AName, const std::string& AText) {
  TChatMessage M = Msg(kRoleTool, AText);
  M.HasToolCall = true;
  M.ToolName = AName;
  return M;
}

// A chatbot exchange, then an agent turn with two tools and a chart, then a turn stopped before
// its answer.
TChatHistory AgentChat() {
  return {
      Msg(kRoleUser, "삼성전자는?"),
      Msg(kRoleModel, "반도체 회사입니다."),
      Msg(kRoleUser, "종가와 공시를 알려줘"),
      Msg(kRoleAssistant, "조회해 볼게요."),
      Call("get_krx_price", R"({"stock_code":"005930"})"),
      Call("search_dart_disclosures", R"({"corp_code":"00126380"})"),
      Result("get_krx_price", "[삼성전자] 종가: 71500원"),
      Result("search_dart_disclosures", "- [20241114] 분기보고서 ```x```"),
      Call("draw_stock_chart",
           R"({"chartTitle":"삼성전자 | 주가","timestamps":"[\"1월\",\"2월\"]","prices":"[71000, 71500]"})"),
      Result("draw_stock_chart", ""),
      Msg(kRoleAssistant, "종가는 71,500원입니다."),
      Msg(kRoleUser, "더 알려줘"),
      Call("get_krx_price", R"({"stock_code":"000660"})"),
      Result("get_krx_price", "[SK하이닉스]"),
  };
}

}  // namespace

TEST(ToolSources, EachAnswerGetsItsTurnsCallsPairedWithTheirResults) {
  const auto Sources = CollectSources(AgentChat());
  ASSERT_EQ(Sources.size(), 1u);
  EXPECT_EQ(Sources[0].AnswerIndex, 10u);
  EXPECT_EQ(Sources[0].Sources,
            (std::vector<TToolSource>{
                {"get_krx_price", R"({"stock_code":"005930"})", "[삼성전자] 종가: 71500원",
                 "tool:[삼성전자] 종가: 71500원"},
                {"search_dart_disclosures", R"({"corp_code":"00126380"})",
                 "- [20241114] 분기보고서 ```x```", "tool:- [20241114] 분기보고서 ```x```"},
                {"draw_stock_chart",
                 R"({"chartTitle":"삼성전자 | 주가","timestamps":"[\"1월\",\"2월\"]","prices":"[71000, 71500]"})",
                 "", "tool:"}}));
}

TEST(ChatExport, MarkdownWithSourcesAndCharts) {
  TChatHistory Chat = AgentChat();
  Chat[0].AttachedFilePath = "/home/me/보고서.pdf";
  EXPECT_EQ(ExportChatMarkdown(Chat, "삼성전자는?"),
            "# 삼성전자는?\r\n\r\n"
            "## 질문\r\n\r\n삼성전자는?\r\n\r\n📎 첨부: /home/me/보고서.pdf\r\n\r\n"
            "## 답변\r\n\r\n반도체 회사입니다.\r\n\r\n"
            "## 질문\r\n\r\n종가와 공시를 알려줘\r\n\r\n"
            "## 답변\r\n\r\n조회해 볼게요.\r\n\r\n"
            "📈 **삼성전자 \\| 주가**\r\n\r\n| 날짜 | 값 |\r\n|---|---:|\r\n"
            "| 1월 | 71000 |\r\n| 2월 | 71500 |\r\n\r\n"
            "## 답변\r\n\r\n종가는 71,500원입니다.\r\n\r\n"
            "<details><summary>출처: get_krx_price, search_dart_disclosures, draw_stock_chart"
            "</summary>\r\n\r\n"
            "**get_krx_price** `{\"stock_code\":\"005930\"}`\r\n\r\n"
            "```text\r\n[삼성전자] 종가: 71500원\r\n```\r\n\r\n"
            "**search_dart_disclosures** `{\"corp_code\":\"00126380\"}`\r\n\r\n"
            "````text\r\n- [20241114] 분기보고서 ```x```\r\n````\r\n\r\n"
            "**draw_stock_chart** `{\"chartTitle\":\"삼성전자 \\| 주가\",\"timestamps\":\"[\\\"1월\\\",\\\"2월\\\"]\",\"prices\":\"[71000, 71500]\"}`\r\n\r\n"
            "</details>\r\n\r\n"
            // Under the answer, which of its figures the tool results back.
            "**수치 확인: 1개 중 1개 일치**\r\n\r\n- 71,500원 — 일치 (get_krx_price · 종가)\r\n\r\n"
            "## 질문\r\n\r\n더 알려줘\r\n\r\n");
}

// Whatever a tool was called with stays inside its code span, and a tool's name is text: nothing
// in either can open HTML, a link or a code span of its own in the exported Markdown.
TEST(ChatExport, MarkdownQuotesEachCallSoNothingInItBecomesMarkup) {
  struct TCase {
    std::string Name, Args, Line;
  };
  const TCase Cases[] = {
      {"t", "`a` <img src=x onerror=alert(1)> `b`", "**t** `` `a` <img src=x onerror=alert(1)> `b` ``"},
      {"t", "x``y```z", "**t** ````x``y```z````"},
      {"t", "``", "**t** ``` `` ```"},
      {"t", " a", "**t** `  a `"},
      {"t", "a\r\n\r\n<b>x</b>\n", "**t** ` a    <b>x</b>  `"},
      {"t", "", "**t**"},
      {"x`y", "<i>", "**x\\`y** `<i>`"},
      {"<img src=x onerror=alert(1)>", "{}", "**\\<img src=x onerror=alert(1)>** `{}`"},
      {"![p](http://x/p)", "{}", "**!\\[p](http://x/p)** `{}`"},
  };
  for (const TCase& C : Cases) {
    const std::string Md = ExportChatMarkdown(
        {Msg(kRoleUser, "q"), Call(C.Name, C.Args), Result(C.Name, "r"), Msg(kRoleAssistant, "a")},
        "");
    EXPECT_NE(Md.find("\r\n\r\n" + C.Line + "\r\n\r\n"), std::string::npos) << C.Args << "\n" << Md;
  }
  // The fold's heading is HTML: the names are escaped and stay on its one line.
  const std::string Md = ExportChatMarkdown(
      {Msg(kRoleUser, "q"), Call("a</summary>\n\n<img src=x>", "{}"), Call("b&c", "{}"),
       Result("a</summary>\n\n<img src=x>", "r"), Result("b&c", "r"), Msg(kRoleAssistant, "a")},
      "");
  EXPECT_NE(Md.find("<details><summary>출처: a&lt;/summary&gt;  &lt;img src=x&gt;, b&amp;c</summary>\r\n"),
            std::string::npos)
      << Md;
}

// The exported file opened in real headless Chromium, offline: the bubbles, the sources fold,
// and the chart as an image.
TEST(ChatExport, HtmlDrawsItselfWithoutTheNetwork) {
  TChatHistory Chat = AgentChat();
  Chat[10].Text = "종가는 **71,500원**입니다.";  // drawn as a reply: Markdown
  const std::string Html = ExportChatHtml(Chat, "삼성전자 <종가>");
  EXPECT_EQ(Html.find("src=\"http"), std::string::npos);
  const std::string Dir = kestrill::testing::MakeTempFolder();
  kestrill::testing::WriteTestFile(Dir + "/chat.html", Html);
  const std::string Dom = Dir + "/dom.html";
  const std::string Command =
      "chromium --headless=new --no-sandbox --disable-gpu --no-proxy-server "
      "--proxy-server=127.0.0.1:9 --virtual-time-budget=10000 --dump-dom 'file://" +
      Dir + "/chat.html' >'" + Dom + "' 2>/dev/null";
  ASSERT_EQ(std::system(Command.c_str()), 0);
  const std::string Page = ReadFileBytes(Dom).value_or("");
  for (const char* Expected :
       {"종가와 공시를 알려줘",
        // The figure the tool backs is marked, inside the Markdown as drawn.
        "종가는 <strong><span class=\"fig fig-backed\" title=\"get_krx_price · 종가\">71,500원</span>"
        "</strong>입니다.",
        "<details class=\"sources\">",
        "<summary>출처: <span class=\"tool-label\" title=\"get_krx_price\">KRX 시세</span>, "
        "<span class=\"tool-label\" title=\"search_dart_disclosures\">DART 공시</span>, "
        "<span class=\"tool-label\" title=\"draw_stock_chart\">차트</span> · <span "
        "class=\"figure-summary\">수치 확인: 1개 중 1개 일치</span></summary>",
        "[삼성전자] 종가: 71500원", "class=\"export-chart\"", "src=\"data:image/png;base64,",
        "<title>삼성전자 &lt;종가&gt;</title>"})
    EXPECT_NE(Page.find(Expected), std::string::npos) << Expected << "\n" << Page.substr(0, 3000);
  EXPECT_EQ(Page.find("<canvas"), std::string::npos);
}

// The exported page's own script: nothing from the chat can end it early, make the parser run
// it on past its end, or differ from the text its hash in the page's policy was taken of.
TEST(ChatExport, HtmlScriptHoldsNoMarkupFromTheChat) {
  TChatHistory Chat = AgentChat();
  Chat[0].AttachedFilePath = "/tmp/R&D <v2>.pdf";
  Chat[6].Text = "<!--<script></script> \xff\xfe";
  Chat[6].Text += '\0';
  const std::string Html = ExportChatHtml(Chat, "</script><!--<script>");
  const std::size_t Start = Html.rfind("<script>"), End = Html.rfind("</script>");
  ASSERT_LT(Start, End);
  const std::string Script = Html.substr(Start + 8, End - Start - 8);
  EXPECT_EQ(Script.find('<'), std::string::npos) << Script;
  EXPECT_EQ(Script.find('\0'), std::string::npos);
  EXPECT_EQ(Script.find('\r'), std::string::npos);
  EXPECT_EQ(SanitizeUtf8(Script), Script);
  EXPECT_NE(Script.find("var EXPORT_TITLE = \"\\u003C\\/script>\\u003C!--\\u003Cscript>\";"),
            std::string::npos);
  // Shown by the page as text, so not escaped for HTML.
  EXPECT_NE(Script.find("appendFileMessage(\"user\", \"R&D \\u003Cv2>.pdf\");"), std::string::npos);
  EXPECT_NE(Html.find("script-src 'sha256-"), std::string::npos);
  // Line and paragraph separators end a line, and so a string literal, in older engines.
  const std::string Separated = ExportChatScript({Msg(kRoleUser, "q")}, "a\u2028b\u2029c").Text;
  EXPECT_NE(Separated.find("var EXPORT_TITLE = \"a\\u2028b\\u2029c\";"), std::string::npos)
      << Separated;
}

// With scripts off the exported page still holds the whole conversation: each message as text
// in a bubble of its side, the sources folded under their answer, the chart as a table. Nothing
// from the chat becomes markup, so nothing in it can end or start a script or a comment.
TEST(ChatExport, HtmlHoldsThePlainConversationForReadersWithoutScripts) {
  struct TCase {
    std::string Text, Shown;
  };
  const TCase Cases[] = {
      {"</script><script>alert(1)</script>",
       "&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"<!-- 주석 --> & <!--", "&lt;!-- 주석 --&gt; &amp; &lt;!--"},
      {"]]> \"따옴표\"", "]]&gt; &quot;따옴표&quot;"},
      {"줄\r\n바꿈\r끝\u2028", "줄\n바꿈\n끝\u2028"},
      {std::string("a\0b\xff", 4), "ab\xef\xbf\xbd"},
  };
  for (const TCase& C : Cases) {
    TChatHistory Chat = {Msg(kRoleUser, C.Text), Msg(kRoleModel, C.Text)};
    Chat[0].AttachedFilePath = "/tmp/R&D <v2>.pdf";
    const std::string Html = ExportChatHtml(Chat, C.Text);
    const std::size_t Start = Html.find("<div id=\"export-static\">"),
                      End = Html.find("<script>", Start);
    ASSERT_LT(Start, End) << C.Text;
    const std::string Plain = Html.substr(Start, End - Start);
    EXPECT_EQ(
        Plain,
        "<div id=\"export-static\">\n"
        "<div class=\"msg-row row-user\"><div class=\"bubble img-bubble\"><div "
        "class=\"file-box\">📄 R&amp;D &lt;v2&gt;.pdf</div></div></div>\n"
        "<div class=\"msg-container user-wrap\"><div class=\"msg user-msg export-text\">" +
            C.Shown + "</div></div>\n" +
            "<div class=\"msg-container ai-wrap\"><div class=\"msg ai-msg export-text\">" +
            C.Shown + "</div></div>\n</div>\n" +
            "<style>.action-menu{display:none!important}img.export-chart{max-width:100%;margin:0}"
            ".export-text{white-space:pre-wrap}.export-chart-title{margin-bottom:10px;text-align:"
            "center}</style>\n");
    EXPECT_NE(Html.find("<title>" + C.Shown + "</title>"), std::string::npos) << C.Text;
  }

  // The sources and the figure check under the answer, and the chart's points.
  const std::string Html = ExportChatHtml(AgentChat(), "");
  for (const char* Expected :
       {"<details class=\"sources\"><summary>출처: get_krx_price, search_dart_disclosures, "
        "draw_stock_chart · <span class=\"figure-summary\">수치 확인: 1개 중 1개 "
        "일치</span></summary>"
        "<div class=\"source-call\">get_krx_price {&quot;stock_code&quot;:&quot;005930&quot;}</div>"
        "<pre>[삼성전자] 종가: 71500원</pre>",
        "<strong>삼성전자 | 주가</strong></div><div "
        "class=\"table-wrap\"><table><thead><tr><th>날짜</th>"
        "<th>값</th></tr></thead><tbody><tr><td>1월</td><td>71000</td></tr><tr><td>2월</td>"
        "<td>71500</td></tr></tbody></table>"})
    EXPECT_NE(Html.find(Expected), std::string::npos) << Expected;
}

TEST(ChatArchive, SavedChatsAreExportedAndSearchedWithTheirCatalogueTitles) {
  const std::string Home = kestrill::testing::UseFreshDataFolder();
  const std::string Data = Home + "/Documents/Kestrill";
  const std::string Chat = Data + "/20261210090000.json";
  kestrill::testing::WriteTestFile(Chat, FormatHistoryFile(AgentChat()));

  // The file's tool requests and results come back as the answer's sources.
  EXPECT_EQ(ExportSavedChat(Chat, "", Data + "/out.md"), "");
  const std::string Md = ReadFileBytes(Data + "/out.md").value_or("");
  EXPECT_EQ(Md.rfind("# 삼성전자는?\r\n", 0), 0u);
  EXPECT_NE(Md.find("<details><summary>출처: get_krx_price"), std::string::npos);
  EXPECT_EQ(ExportSavedChat(Chat, "제목", Data + "/out.html"), "");
  EXPECT_NE(ReadFileBytes(Data + "/out.html").value_or("").find("var EXPORT_TITLE = \"제목\";"),
            std::string::npos);

  const std::pair<std::string, std::string> Failures[] = {
      {ExportSavedChat(Chat, "", Data + "/out.txt"), "내보낼 파일의 확장자는 .md 또는 .html이어야"},
      {ExportSavedChat(Data + "/none.json", "", Data + "/x.md"), "채팅 파일이 없습니다."},
      {ExportSavedChat(Chat, "", Data + "/no/such/folder/x.md"), "채팅을 내보내지 못했습니다."},
  };
  for (const auto& [Error, Start] : Failures) EXPECT_EQ(Error.rfind(Start, 0), 0u) << Error;

  TChatFiles Files(Data);
  Files.AddEntry({Chat, "삼성전자 종가 정리", "20261210090000"});
  TChatSearch Search;
  auto Hits = SearchSavedChats(Search, Files, "정리");
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0].Title, "삼성전자 종가 정리");
  EXPECT_EQ(SearchSavedChats(Search, Files, "71500원").size(), 0u);  // tool results are not text
  EXPECT_EQ(SearchSavedChats(Search, Files, "71,500원").size(), 1u);
}
