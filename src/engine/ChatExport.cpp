#include "engine/ChatExport.h"

#include <algorithm>

#include "core/JsonPath.h"
#include "core/TextUtil.h"
#include "engine/ToolDispatcher.h"
#include "engine/ToolSources.h"

namespace kestrill {
namespace {

// A code fence longer than any run of backticks in AText, so the text cannot close it.
std::string Fenced(const std::string& AText) {
  std::size_t Longest = 0, Run = 0;
  for (char C : AText) {
    Run = C == '`' ? Run + 1 : 0;
    Longest = std::max(Longest, Run);
  }
  const std::string Fence(std::max<std::size_t>(3, Longest + 1), '`');
  std::string Body = AText;
  if (!Body.empty() && Body.back() != '\n') Body += "\r\n";
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

std::string TableCell(std::string AText) {
  std::string Out;
  for (char C : AText) {
    if (C == '|') Out += "\\|";
    else if (C == '\r' || C == '\n') Out += ' ';
    else Out += C;
  }
  return Out;
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
  std::string Out = "📈 **" + TableCell(Title) + "**\r\n\r\n| 날짜 | 값 |\r\n|---|---:|\r\n";
  for (std::size_t I = 0; I < std::max(X.size(), Y.size()); ++I)
    Out += "| " + TableCell(I < X.size() ? X[I] : "") + " | " +
           TableCell(I < Y.size() ? Y[I] : "") + " |\r\n";
  return Out + "\r\n";
}

std::string SourcesBlock(const std::vector<TToolSource>& ASources) {
  std::string Names;
  for (const TToolSource& S : ASources)
    if (Names.find(S.ToolName) == std::string::npos) Names += (Names.empty() ? "" : ", ") + S.ToolName;
  std::string Out = "<details><summary>출처: " + Names + "</summary>\r\n\r\n";
  for (const TToolSource& S : ASources) {
    Out += "**" + S.ToolName + "** `" + TableCell(S.Arguments) + "`\r\n\r\n";
    if (!S.Result.empty()) Out += Fenced(S.Result) + "\r\n";
  }
  return Out + "</details>\r\n\r\n";
}

}  // namespace

std::string ExportChatMarkdown(const TChatHistory& AAll, const std::string& ATitle) {
  std::string Out = "# " + TableCell(ATitle.empty() ? std::string("대화") : ATitle) + "\r\n\r\n";
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
    if (!M.AttachedFilePath.empty()) Out += "📎 첨부: " + M.AttachedFilePath + "\r\n\r\n";
    if (Next != Sources.end() && Next->AnswerIndex == I) Out += SourcesBlock((Next++)->Sources);
  }
  return Out;
}

}  // namespace kestrill
