#include "engine/ChatExport.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "core/JsonPath.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"
#include "engine/ToolDispatcher.h"
#include "engine/FigureMarks.h"
#include "engine/ToolSources.h"
#include "view/ChatPage.h"
#include "view/PageText.h"

namespace kestrill {
namespace {

std::size_t LongestBacktickRun(const std::string& AText) {
  std::size_t Longest = 0, Run = 0;
  for (char C : AText) {
    Run = C == '`' ? Run + 1 : 0;
    Longest = std::max(Longest, Run);
  }
  return Longest;
}

// A code fence longer than any run of backticks in AText, so the text cannot close it.
std::string Fenced(const std::string& AText) {
  const std::string Fence(std::max<std::size_t>(3, LongestBacktickRun(AText) + 1), '`');
  std::string Body = AText;
  if (!Body.empty() && Body.back() != '\n' && Body.back() != '\r') Body += "\r\n";
  return Fence + "text\r\n" + Body + Fence + "\r\n";
}

// "[a,b,c]" → its elements (the labels the chart tool makes are not quoted).
std::vector<std::string> SplitList(const std::string& AList) {
  std::string T = Trim(AList);
  if (!T.empty() && T.front() == '[') T.erase(0, 1);
  if (!T.empty() && T.back() == ']') T.pop_back();
  std::vector<std::string> Out;
  std::size_t Start = 0;
  for (std::size_t Comma; (Comma = T.find(',', Start)) != std::string::npos; Start = Comma + 1)
    Out.push_back(Trim(T.substr(Start, Comma - Start)));
  if (!Trim(T.substr(Start)).empty() || !Out.empty()) Out.push_back(Trim(T.substr(Start)));
  return Out;
}

// One line that cannot end a table cell.
std::string TableCell(std::string AText) {
  std::string Out;
  for (char C : AText) {
    if (C == '|') Out += "\\|";
    else if (C == '\r' || C == '\n') Out += ' ';
    else Out += C;
  }
  return Out;
}

// A text from the model or a file name, shown as it is on one line: no code span, link, image
// or HTML of its own can start in it.
std::string PlainText(const std::string& AText) {
  std::string Out;
  for (char C : AText) {
    if (C == '\r' || C == '\n') {
      Out += ' ';
      continue;
    }
    if (C == '\\' || C == '`' || C == '<' || C == '[' || C == '|') Out += '\\';
    Out += C;
  }
  return Out;
}

// An inline code span that AText cannot close: delimited by a longer run of backticks than any
// in it, and padded where it starts or ends with a backtick or a space (a reader takes one space
// off each side again, unless the text is nothing but spaces).
std::string CodeSpan(const std::string& AText) {
  const std::string Line = TableCell(AText);
  if (Line.empty()) return "";
  const std::string Ticks(LongestBacktickRun(Line) + 1, '`');
  const bool Pad = (Line.front() == '`' || Line.back() == '`' || Line.front() == ' ' ||
                    Line.back() == ' ') &&
                   Line.find_first_not_of(' ') != std::string::npos;
  return Ticks + (Pad ? " " : "") + Line + (Pad ? " " : "") + Ticks;
}

// The chart the model asked for, as a table of its points.
std::string ChartTable(const std::string& AArguments) {
  auto Args = ParseJson(AArguments);
  if (!Args || !Args->is_object()) return "";
  const std::string Title = JsonPathTextOr(*Args, "chartTitle", "");
  std::string Labels = JsonPathTextOr(*Args, "timestamps", "");
  try {
    Labels = NormalizeDateText(Labels);
  } catch (const EToolError&) {
    // Labels the chart could not read are listed as the model wrote them.
  }
  const std::vector<std::string> X = SplitList(Labels),
                                 Y = SplitList(JsonPathTextOr(*Args, "prices", ""));
  std::string Out = "📈 **" + PlainText(Title) + "**\r\n\r\n| 날짜 | 값 |\r\n|---|---:|\r\n";
  for (std::size_t I = 0; I < std::max(X.size(), Y.size()); ++I)
    Out += "| " + PlainText(I < X.size() ? X[I] : "") + " | " +
           PlainText(I < Y.size() ? Y[I] : "") + " |\r\n";
  return Out + "\r\n";
}

// On one line: a blank line would end the HTML block it stands in.
std::string HtmlEscape(const std::string& AText) {
  std::string Out;
  for (char C : AText) {
    switch (C) {
      case '\r': case '\n': Out += ' '; break;
      case '&': Out += "&amp;"; break;
      case '<': Out += "&lt;"; break;
      case '>': Out += "&gt;"; break;
      case '"': Out += "&quot;"; break;
      default: Out += C;
    }
  }
  return Out;
}

// The figure check under an answer: the summary, then each figure with what backs it.
std::string FiguresBlock(const std::vector<TFigureCheck>& AChecks) {
  if (AChecks.empty()) return "";
  std::string Out = "**" + FigureSummary(AChecks) + "**\r\n\r\n";
  for (const TFigureCheck& C : AChecks) {
    const char* Word = C.Status == TFigureStatus::Backed    ? "일치"
                       : C.Status == TFigureStatus::Derived ? "계산으로 일치"
                                                            : "확인 안 됨";
    const std::string Source = FigureSourceText(C);
    Out += "- " + PlainText(C.Figure.Text) + " — " + Word +
           (Source.empty() ? "" : " (" + PlainText(Source) + ")") + "\r\n";
  }
  return Out + "\r\n";
}

std::string SourcesBlock(const std::vector<TToolSource>& ASources) {
  std::vector<std::string> Seen;
  std::string Names;
  for (const TToolSource& S : ASources) {
    if (std::find(Seen.begin(), Seen.end(), S.ToolName) != Seen.end()) continue;
    Seen.push_back(S.ToolName);
    Names += (Names.empty() ? "" : ", ") + HtmlEscape(S.ToolName);
  }
  std::string Out = "<details><summary>출처: " + Names + "</summary>\r\n\r\n";
  for (const TToolSource& S : ASources) {
    const std::string Args = CodeSpan(S.Arguments);
    Out += "**" + PlainText(S.ToolName) + "**" + (Args.empty() ? "" : " " + Args) + "\r\n\r\n";
    if (!S.Result.empty()) Out += Fenced(S.Result) + "\r\n";
  }
  return Out + "</details>\r\n\r\n";
}

std::string BaseName(const std::string& APath) {
  const std::size_t Slash = APath.find_last_of("/\\");
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

// An attached image is written once, in the plain copy; the drawn page takes it from there.
std::string StaticImageId(std::size_t AIndex) { return "export-image-" + std::to_string(AIndex); }

// Text as HTML element content or a double-quoted attribute value; line breaks kept (the static
// bubbles keep white space, as the page's do), no NUL, and only well-formed UTF-8.
std::string HtmlText(std::string_view AText) {
  std::string Out;
  const std::string Text = SanitizeUtf8(AText);
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    switch (C) {
      case '\r':
        Out += '\n';
        if (I + 1 < Text.size() && Text[I + 1] == '\n') ++I;
        break;
      case '\0':
        break;
      case '&':
        Out += "&amp;";
        break;
      case '<':
        Out += "&lt;";
        break;
      case '>':
        Out += "&gt;";
        break;
      case '"':
        Out += "&quot;";
        break;
      default:
        Out += C;
    }
  }
  return Out;
}

// A chart item without the quotes around it, as the page's chart reads it.
std::string Unquoted(std::string AItem) {
  if (!AItem.empty() && (AItem.front() == '"' || AItem.front() == '\'')) AItem.erase(0, 1);
  if (!AItem.empty() && (AItem.back() == '"' || AItem.back() == '\'')) AItem.pop_back();
  return AItem;
}

// The chart as the table of its points, in the bubble the page would draw it in.
std::string StaticChart(const std::string& AArguments) {
  auto Args = ParseJson(AArguments);
  if (!Args || !Args->is_object()) return "";
  std::string Labels = JsonPathTextOr(*Args, "timestamps", "");
  try {
    Labels = NormalizeDateText(Trim(Labels));
  } catch (const EToolError&) {
    // Labels the chart could not read are listed as the model wrote them.
  }
  const std::vector<std::string> X = SplitList(Labels),
                                 Y = SplitList(JsonPathTextOr(*Args, "prices", ""));
  std::string Out =
      "<div class=\"msg-row row-model\"><div class=\"bubble chart-container\">"
      "<div class=\"export-chart-title\"><strong>" +
      HtmlText(Trim(JsonPathTextOr(*Args, "chartTitle", ""))) +
      "</strong></div><div class=\"table-wrap\"><table><thead><tr><th>날짜</th>"
      "<th>값</th></tr></thead><tbody>";
  for (std::size_t I = 0; I < std::max(X.size(), Y.size()); ++I)
    Out += "<tr><td>" + HtmlText(I < X.size() ? Unquoted(X[I]) : "") + "</td><td>" +
           HtmlText(I < Y.size() ? Unquoted(Y[I]) : "") + "</td></tr>";
  return Out + "</tbody></table></div></div></div>\n";
}

// An answer's sources and its figure summary, folded under it as the page folds them.
std::string StaticSources(const std::vector<TToolSource>& ASources, const std::string& ASummary) {
  const std::string Line =
      ASummary.empty() ? "" : "<span class=\"figure-summary\">" + HtmlText(ASummary) + "</span>";
  if (ASources.empty()) return Line.empty() ? "" : "<div class=\"sources\">" + Line + "</div>\n";
  std::vector<std::string> Seen;
  for (const TToolSource& S : ASources)
    if (std::find(Seen.begin(), Seen.end(), S.ToolName) == Seen.end()) Seen.push_back(S.ToolName);
  std::string Names;
  for (const std::string& Name : Seen) Names += (Names.empty() ? "" : ", ") + Name;
  std::string Out = "<details class=\"sources\"><summary>출처: " + HtmlText(Names) +
                    (Line.empty() ? "" : " · " + Line) + "</summary>";
  for (const TToolSource& S : ASources) {
    Out += "<div class=\"source-call\">" + HtmlText(S.ToolName + " " + S.Arguments) + "</div>";
    if (!S.Result.empty()) Out += "<pre>" + HtmlText(S.Result) + "</pre>";
  }
  return Out + "</details>\n";
}

// The conversation as plain, escaped HTML: what a reader sees with scripts off. Each message in
// a bubble of the page's classes, without the message id, so the page's functions, which find a
// bubble by its id, never touch these. The exported script replaces them with the drawn page.
std::string StaticConversation(const TChatHistory& AAll,
                               const std::vector<TAnswerSources>& ASources) {
  auto Next = ASources.begin();
  std::string Out = "<div id=\"export-static\">\n";
  for (std::size_t I = 0; I < AAll.size(); ++I) {
    const TChatMessage& M = AAll[I];
    if (ChartScriptOfCall(M)) {
      Out += StaticChart(M.ToolArgs);
      continue;
    }
    if (M.Role == kRoleTool || M.Text.empty()) continue;
    const bool IsUser = M.Role == kRoleUser;
    const std::string Row = IsUser ? "msg-row row-user" : "msg-row row-model";
    if (!M.AttachedFilePath.empty()) {
      if (!M.ImageBase64.empty() && M.MimeType.rfind("image/", 0) == 0)
        Out += "<div class=\"" + Row + "\"><div class=\"bubble img-bubble\"><img id=\"" +
               StaticImageId(I) + "\" alt=\"\" src=\"data:" + HtmlText(M.MimeType) + ";base64," +
               HtmlText(M.ImageBase64) + "\"></div></div>\n";
      else
        Out += "<div class=\"" + Row +
               "\"><div class=\"bubble img-bubble\"><div class=\"file-box\">📄 " +
               HtmlText(BaseName(M.AttachedFilePath)) + "</div></div></div>\n";
    }
    Out += std::string("<div class=\"msg-container ") + (IsUser ? "user-wrap" : "ai-wrap") +
           "\"><div class=\"msg " + (IsUser ? "user-msg" : "ai-msg") + " export-text\">" +
           HtmlText(M.Text) + "</div></div>\n";
    const bool HasSources = Next != ASources.end() && Next->AnswerIndex == I;
    std::string Summary;
    if (IsCheckedAnswer(AAll, I))
      if (const auto Checks = CheckAnswer(AAll, I); !Checks.empty())
        Summary = FigureSummary(Checks);
    Out += StaticSources(HasSources ? (Next++)->Sources : std::vector<TToolSource>{}, Summary);
  }
  return Out + "</div>\n";
}

// SHA-256 (FIPS 180-4): the page's policy runs an inline script only when it knows the hash of
// its text, and the exported page adds a script of its own.
std::array<std::uint8_t, 32> Sha256(std::string_view AData) {
  static constexpr std::uint32_t K[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::uint32_t H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  auto Rotr = [](std::uint32_t X, int N) { return (X >> N) | (X << (32 - N)); };
  std::string Msg(AData);
  const std::uint64_t Bits = static_cast<std::uint64_t>(AData.size()) * 8;
  Msg += '\x80';
  while (Msg.size() % 64 != 56) Msg += '\0';
  for (int I = 7; I >= 0; --I) Msg += static_cast<char>((Bits >> (8 * I)) & 0xff);
  for (std::size_t Block = 0; Block < Msg.size(); Block += 64) {
    std::uint32_t W[64];
    for (int I = 0; I < 16; ++I) {
      W[I] = 0;
      for (int B = 0; B < 4; ++B)
        W[I] = (W[I] << 8) | static_cast<std::uint8_t>(Msg[Block + 4 * I + B]);
    }
    for (int I = 16; I < 64; ++I) {
      const std::uint32_t S0 = Rotr(W[I - 15], 7) ^ Rotr(W[I - 15], 18) ^ (W[I - 15] >> 3);
      const std::uint32_t S1 = Rotr(W[I - 2], 17) ^ Rotr(W[I - 2], 19) ^ (W[I - 2] >> 10);
      W[I] = W[I - 16] + S0 + W[I - 7] + S1;
    }
    std::uint32_t A = H[0], B = H[1], C = H[2], D = H[3], E = H[4], F = H[5], G = H[6], Hh = H[7];
    for (int I = 0; I < 64; ++I) {
      const std::uint32_t T1 =
          Hh + (Rotr(E, 6) ^ Rotr(E, 11) ^ Rotr(E, 25)) + ((E & F) ^ (~E & G)) + K[I] + W[I];
      const std::uint32_t T2 = (Rotr(A, 2) ^ Rotr(A, 13) ^ Rotr(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));
      Hh = G;
      G = F;
      F = E;
      E = D + T1;
      D = C;
      C = B;
      B = A;
      A = T1 + T2;
    }
    const std::uint32_t Add[8] = {A, B, C, D, E, F, G, Hh};
    for (int I = 0; I < 8; ++I) H[I] += Add[I];
  }
  std::array<std::uint8_t, 32> Out{};
  for (int I = 0; I < 32; ++I) Out[I] = static_cast<std::uint8_t>(H[I / 4] >> (24 - 8 * (I % 4)));
  return Out;
}

// Script text made of calls whose every "<" stands in a string literal, as it may stand in a
// <script> element: no "<" at all (so no "</script", and no "<!--" that would make the parser
// run the element on past its end), no NUL, and well-formed UTF-8, so that the text the browser
// hashes is the text we hashed. U+2028 and U+2029 are escaped too: older engines end a line (and
// so the string literal) at them.
std::string ForScriptElement(std::string_view ACalls) {
  const std::string Text = SanitizeUtf8(ACalls);
  std::string Out;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == '<') Out += "\\u003C";
    else if (C == '\0') Out += "\\u0000";
    else if (Text.compare(I, 2, "\xE2\x80") == 0 && I + 2 < Text.size() &&
             (Text[I + 2] == '\xA8' || Text[I + 2] == '\xA9')) {
      Out += Text[I + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      I += 2;
    } else
      Out += C;
  }
  return Out;
}

// Draws the items on the page with its own functions, then turns every drawn chart into an
// image (the chart library may load after the first chart is asked for: wait for it).
constexpr char kLoader[] = R"JS(
function exportedChartsToImages(triesLeft) {
  var pending = 0;
  document.querySelectorAll('.chart-container canvas').forEach(function (canvas) {
    var chart = window.Chart && window.Chart.getChart ? window.Chart.getChart(canvas) : null;
    if (!chart) { pending++; return; }
    chart.stop();
    chart.options.animation = false;
    chart.update('none');
    var img = document.createElement('img');
    img.src = chart.toBase64Image('image/png', 1);
    img.alt = 'chart';
    img.className = 'export-chart';
    chart.destroy();
    canvas.replaceWith(img);
  });
  if (pending > 0 && triesLeft > 0)
    setTimeout(function () { exportedChartsToImages(triesLeft - 1); }, 50);
}
function exportedImage(role, id) {
  var img = document.getElementById(id);
  if (!img) return;
  var src = img.getAttribute('src');
  var at = src.indexOf(';base64,');
  appendImageMessage(role, src.substring(5, at), src.substring(at + 8));
}
// The drawn page takes the place of the plain copy of the conversation written for readers
// without scripts: all of it, or, should drawing fail, none of it, so nothing shows twice.
var exportScript = document.currentScript;
function exportedDraw() {
  document.title = EXPORT_TITLE;
  var plain = document.getElementById('export-static');
  try {
    EXPORT_ITEMS.forEach(function (it) { it(); });
  } catch (e) {
    while (exportScript && exportScript.nextSibling) exportScript.nextSibling.remove();
    console.error(e);
    return;
  }
  if (plain) plain.remove();
  exportedChartsToImages(100);
  // The page scrolls to its newest bubble on the next frame: the reader starts at the top.
  requestAnimationFrame(function () {
    requestAnimationFrame(function () { window.scrollTo(0, 0); });
  });
}
if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', exportedDraw);
else exportedDraw();
)JS";

}  // namespace

TExportScript ExportChatScript(const TChatHistory& AAll, const std::string& ATitle) {
  const std::vector<TAnswerSources> Sources = CollectSources(AAll);
  auto Next = Sources.begin();
  std::string Items;
  auto Item = [&](const std::string& ACall) { Items += "  function () { " + ACall + " },\n"; };
  for (std::size_t I = 0; I < AAll.size(); ++I) {
    const TChatMessage& M = AAll[I];
    if (auto Chart = ChartScriptOfCall(M)) {
      Item(*Chart);
      continue;
    }
    if (M.Role == kRoleTool || M.Text.empty()) continue;
    const bool IsUser = M.Role == kRoleUser;
    const char* Role = IsUser ? "\"user\"" : "\"model\"";
    if (!M.AttachedFilePath.empty()) {
      if (!M.ImageBase64.empty() && M.MimeType.rfind("image/", 0) == 0)
        Item(std::string("exportedImage(") + Role + ", " + EscapeForJS(StaticImageId(I)) + ");");
      else
        Item(std::string("appendFileMessage(") + Role + ", " +
             EscapeForJS(BaseName(M.AttachedFilePath)) + ");");
    }
    // With its id, as when the chat is open: a bubble without one is drawn as a status line.
    const std::string Id = M.MsgID.empty() ? "m" + std::to_string(I) : M.MsgID;
    Item(std::string("appendChat(") + (IsUser ? "true" : "false") + ", " + EscapeForJS(Id) +
         ", \"" + EncodeForPage(M.Text) + "\");");
    if (Next != Sources.end() && Next->AnswerIndex == I) {
      Item("appendSources(" + EscapeForJS(Id) + ", " + EscapeForJS(SourcesJson(Next->Sources, {})) +
           ");");
      ++Next;
    }
    if (IsCheckedAnswer(AAll, I))
      if (const auto Checks = CheckAnswer(AAll, I); !Checks.empty())
        Item("markFigures(" + EscapeForJS(Id) + ", " + EscapeForJS(FiguresJson(Checks)) + ", " +
             EscapeForJS(FigureSummary(Checks)) + ");");
  }
  TExportScript Out;
  Out.Text = ForScriptElement("\nvar EXPORT_TITLE = " + EscapeForJS(ATitle) +
                              ";\nvar EXPORT_ITEMS = [\n" + Items + "];\n") +
             kLoader;
  const std::array<std::uint8_t, 32> Hash = Sha256(Out.Text);
  Out.PolicySource =
      "'sha256-" +
      Base64Encode(std::string_view(reinterpret_cast<const char*>(Hash.data()), Hash.size())) + "'";
  return Out;
}

std::string ExportChatHtml(const TChatHistory& AAll, const std::string& ATitle) {
  const TExportScript Script = ExportChatScript(AAll, ATitle);
  const std::string Block =
      StaticConversation(AAll, CollectSources(AAll)) +
      "<style>.action-menu{display:none!important}img.export-chart{max-width:100%;margin:0}"
      ".export-text{white-space:pre-wrap}.export-chart-title{margin-bottom:10px;text-align:center}"
      "</style>\n<script>" +
      Script.Text + "</script>\n";
  // The page's policy names its own scripts; this one joins them.
  const std::string& Page = ChatPageHtml();
  const std::size_t Policy = Page.find("http-equiv=\"Content-Security-Policy\"");
  const std::size_t Scripts =
      Policy == std::string::npos ? Policy : Page.find("script-src ", Policy);
  const bool Named = Scripts != std::string::npos;
  const std::size_t At = Named ? Scripts + 11 : 0;
  const std::size_t End = std::max(At, std::min(Page.rfind("</body>"), Page.size()));
  // The title as text, for a reader without scripts too.
  constexpr std::string_view kCharset = "<meta charset=\"utf-8\">\n";
  const std::size_t Charset = Page.find(kCharset);
  const std::size_t TitleAt = Charset != std::string::npos && Charset + kCharset.size() <= At
                                  ? Charset + kCharset.size()
                                  : 0;
  std::string Out;
  Out.reserve(Page.size() + ATitle.size() + Script.PolicySource.size() + Block.size() + 32);
  Out.append(Page, 0, TitleAt);
  if (TitleAt != 0) Out += "<title>" + HtmlText(ATitle) + "</title>\n";
  Out.append(Page, TitleAt, At - TitleAt);
  if (Named) Out += Script.PolicySource + " ";
  Out.append(Page, At, End - At);
  Out += Block;
  Out.append(Page, End);
  return Out;
}

std::string ExportChatMarkdown(const TChatHistory& AAll, const std::string& ATitle) {
  std::string Out = "# " + PlainText(ATitle.empty() ? std::string("대화") : ATitle) + "\r\n\r\n";
  const std::vector<TAnswerSources> Sources = CollectSources(AAll);
  auto Next = Sources.begin();
  for (std::size_t I = 0; I < AAll.size(); ++I) {
    const TChatMessage& M = AAll[I];
    if (M.HasToolCall && M.Text.empty() && M.ToolName == "draw_stock_chart") {
      Out += ChartTable(M.ToolArgs);
      continue;
    }
    if (M.Role == kRoleTool || M.Text.empty()) continue;
    Out += M.Role == kRoleUser ? "## 질문\r\n\r\n" : "## 답변\r\n\r\n";
    Out += M.Text + "\r\n\r\n";
    if (!M.AttachedFilePath.empty()) Out += "📎 첨부: " + PlainText(M.AttachedFilePath) + "\r\n\r\n";
    if (Next != Sources.end() && Next->AnswerIndex == I) Out += SourcesBlock((Next++)->Sources);
    if (IsCheckedAnswer(AAll, I)) Out += FiguresBlock(CheckAnswer(AAll, I));
  }
  return Out;
}

}  // namespace kestrill
