// A conversation of any texts, exported as Markdown and as an HTML page. In the Markdown each
// call's arguments and each tool's result stay inside a code span or fence they cannot close,
// and names, titles and chart cells are text; in the HTML the page's own script holds nothing
// from the chat that could end it or change how it is read, the plain copy for readers without
// scripts adds no element of the chat's making, and the rest of the page is the chat page as
// built.
//
// Input: records split by 0x1E, fields by 0x1F. The first record is the title; each other one
// starts with its kind: u (question [, attached file]), m / a (chatbot / agent answer),
// c (call: name, arguments), r (result: name, text), i (image: MIME type, Base64, file, text).
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "core/ChatTypes.h"
#include "engine/ChatExport.h"
#include "engine/ToolSources.h"
#include "view/ChatPage.h"

using namespace kestrill;

namespace {

std::vector<std::string> Split(std::string_view AText, char ASeparator) {
  std::vector<std::string> Out;
  std::size_t Start = 0;
  for (std::size_t I = 0; I <= AText.size(); ++I)
    if (I == AText.size() || AText[I] == ASeparator) {
      Out.emplace_back(AText.substr(Start, I - Start));
      Start = I + 1;
    }
  return Out;
}

std::string Field(const std::vector<std::string>& AFields, std::size_t AIndex) {
  return AIndex < AFields.size() ? AFields[AIndex] : "";
}

TChatHistory ReadChat(std::string_view AInput, std::string& ATitle) {
  TChatHistory Chat;
  const std::vector<std::string> Records = Split(AInput, '\x1e');
  ATitle = Records[0];
  for (std::size_t I = 1; I < Records.size(); ++I) {
    if (Records[I].empty()) continue;
    const std::vector<std::string> F = Split(std::string_view(Records[I]).substr(1), '\x1f');
    TChatMessage M;
    M.MsgID = I % 3 ? "id" + std::to_string(I) : "";
    switch (Records[I][0]) {
      case 'u':
        M.Role = kRoleUser;
        M.Text = Field(F, 0);
        M.AttachedFilePath = Field(F, 1);
        break;
      case 'm':
        M.Role = kRoleModel;
        M.Text = Field(F, 0);
        break;
      case 'c':
        M.Role = kRoleAssistant;
        M.HasToolCall = true;
        M.ToolName = Field(F, 0);
        M.ToolArgs = Field(F, 1);
        break;
      case 'r':
        M.Role = kRoleTool;
        M.HasToolCall = true;
        M.ToolName = Field(F, 0);
        M.Text = Field(F, 1);
        break;
      case 'i':
        M.Role = kRoleUser;
        M.MimeType = Field(F, 0);
        M.ImageBase64 = Field(F, 1);
        M.AttachedFilePath = Field(F, 2);
        M.Text = Field(F, 3);
        break;
      default:
        M.Role = kRoleAssistant;
        M.Text = Field(F, 0);
    }
    Chat.push_back(std::move(M));
  }
  return Chat;
}

bool IsPunctuation(char C) {
  return (C >= '!' && C <= '/') || (C >= ':' && C <= '@') || (C >= '[' && C <= '`') ||
         (C >= '{' && C <= '~');
}

// Markdown's lines: CR, LF and CR LF all end one.
std::vector<std::string> Lines(const std::string& AText) {
  std::vector<std::string> Out(1);
  for (std::size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '\r' || AText[I] == '\n') {
      if (AText[I] == '\r' && I + 1 < AText.size() && AText[I + 1] == '\n') ++I;
      Out.emplace_back();
    } else {
      Out.back() += AText[I];
    }
  }
  return Out;
}

std::string JoinLines(const std::vector<std::string>& ALines) {
  std::string Out;
  for (std::size_t I = 0; I < ALines.size(); ++I) Out += (I ? "\n" : "") + ALines[I];
  return Out;
}

// One line read as CommonMark inline text: the contents of its code spans, in order; false when
// a backtick, "<" or "[" outside a span is not escaped (the text could open markup of its own).
bool CodeSpansOf(const std::string& ALine, std::vector<std::string>& ASpans) {
  auto RunAt = [&](std::size_t I) {
    std::size_t N = 0;
    while (I + N < ALine.size() && ALine[I + N] == '`') ++N;
    return N;
  };
  for (std::size_t I = 0; I < ALine.size();) {
    const char C = ALine[I];
    if (C == '\\' && I + 1 < ALine.size() && IsPunctuation(ALine[I + 1])) {
      I += 2;
    } else if (C == '`') {
      const std::size_t Open = RunAt(I);
      std::size_t J = I + Open;
      while (J < ALine.size() && !(ALine[J] == '`' && RunAt(J) == Open))
        J += ALine[J] == '`' ? RunAt(J) : 1;
      if (J >= ALine.size()) return false;
      std::string Content = ALine.substr(I + Open, J - I - Open);
      if (Content.size() >= 2 && Content.front() == ' ' && Content.back() == ' ' &&
          Content.find_first_not_of(' ') != std::string::npos)
        Content = Content.substr(1, Content.size() - 2);
      ASpans.push_back(Content);
      I = J + Open;
    } else if (C == '<' || C == '[') {
      return false;
    } else {
      ++I;
    }
  }
  return true;
}

// Arguments as a code span shows them: on one line, pipes escaped as in the rest of the export.
std::string AsShownInSpan(const std::string& AText) {
  std::string Out;
  for (char C : AText) {
    if (C == '|') Out += "\\|";
    else if (C == '\r' || C == '\n') Out += ' ';
    else Out += C;
  }
  return Out;
}

void CheckMarkdown(const TChatHistory& AChat, const std::string& ATitle) {
  (void)ExportChatMarkdown(AChat, ATitle);
  // The same chat with every question and answer replaced by a plain word: what is left of the
  // export is what it writes itself around the model's and the tools' texts.
  TChatHistory Plain = AChat;
  for (TChatMessage& M : Plain)
    if (M.Role != kRoleTool && !M.Text.empty()) M.Text = "text";
  std::vector<TToolSource> Expected;
  for (const TAnswerSources& A : CollectSources(Plain))
    Expected.insert(Expected.end(), A.Sources.begin(), A.Sources.end());
  std::size_t Next = 0;

  const std::vector<std::string> L = Lines(ExportChatMarkdown(Plain, ATitle));
  for (std::size_t I = 0; I < L.size(); ++I) {
    const std::string& Line = L[I];
    std::vector<std::string> Spans;
    if (Line.rfind("```", 0) == 0) {
      // A result: its fence is longer than any backtick run in it, so only our closing line ends it.
      FUZZ_CHECK(Next > 0 && Next <= Expected.size());
      const std::size_t Fence = Line.find_first_not_of('`');
      FUZZ_CHECK(Fence != std::string::npos && Line.substr(Fence) == "text");
      // Only a line of at least that many backticks (indented up to three spaces, spaces
      // after) closes it: the first such line must be ours.
      auto Closes = [&](const std::string& ALine) {
        const std::size_t Ticks = ALine.find_first_not_of(' ');
        if (Ticks == std::string::npos || Ticks > 3) return false;
        const std::size_t After = ALine.find_first_not_of('`', Ticks);
        return (After == std::string::npos ? ALine.size() : After) - Ticks >= Fence &&
               (After == std::string::npos || ALine.find_first_not_of(" \t", After) == std::string::npos);
      };
      std::vector<std::string> Body;
      for (++I; I < L.size() && !Closes(L[I]); ++I) {
        FUZZ_CHECK(L[I].find(std::string(Fence, '`')) == std::string::npos);
        Body.push_back(L[I]);
      }
      FUZZ_CHECK(I < L.size() && L[I] == std::string(Fence, '`'));
      std::vector<std::string> Result = Lines(Expected[Next - 1].Result);
      if (Result.size() > 1 && Result.back().empty()) Result.pop_back();
      FUZZ_CHECK(JoinLines(Body) == JoinLines(Result));
    } else if (Line.rfind("**", 0) == 0) {
      // A call: its name as text, its arguments as the one code span.
      FUZZ_CHECK(Next < Expected.size());
      FUZZ_CHECK(CodeSpansOf(Line, Spans));
      const std::string Args = AsShownInSpan(Expected[Next].Arguments);
      if (Args.empty()) FUZZ_CHECK(Spans.empty());
      else FUZZ_CHECK(Spans.size() == 1 && Spans[0] == Args);
      ++Next;
    } else if (Line.rfind("<details><summary>", 0) == 0) {
      const std::size_t End = Line.find("</summary>");
      FUZZ_CHECK(End != std::string::npos && End + 10 == Line.size());
      FUZZ_CHECK(Line.find('<', 18) == End);
    } else if (Line != "</details>") {
      // Headings, chart titles and cells, attached files: text only.
      FUZZ_CHECK(CodeSpansOf(Line, Spans) && Spans.empty());
    }
  }
  FUZZ_CHECK(Next == Expected.size());
}

bool IsWellFormedUtf8(std::string_view AText) {
  for (std::size_t I = 0; I < AText.size();) {
    const unsigned char C = AText[I];
    std::size_t N = C < 0x80 ? 1 : (C >> 5) == 6 ? 2 : (C >> 4) == 14 ? 3 : (C >> 3) == 30 ? 4 : 0;
    if (N == 0 || I + N > AText.size()) return false;
    std::uint32_t Code = N == 1 ? C : C & (0x7f >> N);
    for (std::size_t K = 1; K < N; ++K) {
      const unsigned char D = AText[I + K];
      if ((D >> 6) != 2) return false;
      Code = (Code << 6) | (D & 0x3f);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (Code < kLeast[N] || Code > 0x10ffff || (Code >= 0xd800 && Code <= 0xdfff)) return false;
    I += N;
  }
  return true;
}

// The page's own script, as the parser reads it and the policy hashes it: nothing from the chat
// can end it or make the parser run it on past its end, and the browser decodes exactly these
// bytes.
void CheckScript(const TExportScript& AScript) {
  const std::string& S = AScript.Text;
  FUZZ_CHECK(S.find('<') == std::string::npos);
  FUZZ_CHECK(S.find('\0') == std::string::npos);
  FUZZ_CHECK(S.find('\r') == std::string::npos);
  FUZZ_CHECK(IsWellFormedUtf8(S));
  FUZZ_CHECK(AScript.PolicySource.size() == 8 + 44 + 1 && AScript.PolicySource.rfind("'sha256-", 0) == 0);
}

// The whole page: the chat page as built, with the script's source added to its policy and
// the export's styles and script before the end of its body; nothing else.
// Counts of ATag in AText.
std::size_t Count(std::string_view AText, std::string_view ATag) {
  std::size_t N = 0;
  for (std::size_t At = AText.find(ATag); At != std::string_view::npos;
       At = AText.find(ATag, At + 1))
    ++N;
  return N;
}

void CheckPage(const TExportScript& AScript, const std::string& AHtml) {
  static const std::string& Page = ChatPageHtml();
  static const std::size_t Policy =
      Page.find("script-src ", Page.find("http-equiv=\"Content-Security-Policy\"")) + 11;
  static const std::size_t Body = Page.rfind("</body>");
  FUZZ_CHECK(Policy < Body && Body != std::string::npos);
  const std::string_view H(AHtml), P(Page);
  // The page as built, up to its policy, which names the export's script; its end as built.
  const std::size_t Title = H.find("<title>");
  FUZZ_CHECK(Title != std::string_view::npos && Title < Policy);
  FUZZ_CHECK(H.substr(0, Title) == P.substr(0, Title));
  const std::size_t Named = H.find(AScript.PolicySource + " ");
  FUZZ_CHECK(Named != std::string_view::npos);
  FUZZ_CHECK(H.substr(H.size() - (P.size() - Body)) == P.substr(Body));
  // The chat's own texts (in the title and the plain copy) add no element of their own: the
  // export's one script and one style are the only ones more than the page has, and the script
  // ends the page, whole.
  FUZZ_CHECK(Count(H, "<script") == Count(P, "<script") + 1);
  FUZZ_CHECK(Count(H, "</script") == Count(P, "</script") + 1);
  FUZZ_CHECK(Count(H, "<style") == Count(P, "<style") + 1);
  FUZZ_CHECK(Count(H, "<title") == Count(P, "<title") + 1);
  FUZZ_CHECK(Count(H, "<iframe") == Count(P, "<iframe"));
  const std::string Tail = "<script>" + AScript.Text + "</script>\n" + std::string(P.substr(Body));
  FUZZ_CHECK(H.size() >= Tail.size() && H.substr(H.size() - Tail.size()) == Tail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  std::string Title;
  const TChatHistory Chat = ReadChat(FuzzText(AData, ASize), Title);
  CheckMarkdown(Chat, Title);
  const TExportScript Script = ExportChatScript(Chat, Title);
  CheckScript(Script);
  // All the page but the script is the same for every chat, and building it copies the whole
  // page (half a megabyte): one input in 16 is checked whole, the first among them, so that a
  // saved input checks it again when run on its own.
  static unsigned Runs = 0;
  if (Runs++ % 16 == 0) CheckPage(Script, ExportChatHtml(Chat, Title));
  return 0;
}
