// The terminal's ports on their own: which scripts of the view bridge become which lines, and how
// the command question is answered at a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <sstream>

#include "Pty.h"
#include "TestEnv.h"
#include "cli/TerminalShell.h"
#include "core/ChatTypes.h"
#include "engine/ToolDispatcher.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

struct TPipe {
  TPipe() { EXPECT_EQ(pipe2(Fd, O_CLOEXEC), 0); }
  ~TPipe() {
    close(Fd[0]);
    close(Fd[1]);
  }
  int Fd[2] = {-1, -1};
};

}  // namespace

TEST(TerminalView, BubbleScriptsBecomeLines) {
  const std::string Dir = MakeTempFolder();
  WriteTestFile(Dir + "/chart.png", "pngbytes");
  WriteTestFile(Dir + "/memo \"q\".txt", "메모");
  struct TCase {
    const char* Name;
    std::function<void(IChatView&)> Draw;
    std::string Out, Err;
    int Replies;
  };
  const TCase Cases[] = {
      {"reply",
       [](IChatView& V) { AddMessageToWeb(V, "삼성전자는\n80,500원 (+1.2%)", "", false, "m1"); },
       "삼성전자는\n80,500원 (+1.2%)\n", "", 1},
      {"the user's own bubble",
       [](IChatView& V) { AddMessageToWeb(V, "삼성전자 주가는?", "", true, "u1"); }, "", "", 0},
      {"status line", [](IChatView& V) { AddMessageToWeb(V, "중지되었습니다.", "", false, ""); },
       "", "중지되었습니다.\n", 0},
      {"tool line",
       [](IChatView& V) {
         AddMessageToWeb(V, "🛠️ [get_yahoo_price] 실행 중...", "", false, "t1");
       },
       "", "🛠️ [get_yahoo_price] 실행 중...\n", 0},
      // Ids come back from chat files on disk and may hold anything, escapes included.
      {"id with quotes and backslashes",
       [](IChatView& V) { AddMessageToWeb(V, "답 \"인용\"", "", false, R"(a"b\c", "x);)"); },
       "답 \"인용\"\n", "", 1},
      {"file and image bubbles of the user",
       [&](IChatView& V) {
         AddMessageToWeb(V, "요약해 줘", Dir + "/memo \"q\".txt", true, "u2");
         AddMessageToWeb(V, "이 차트는?", Dir + "/chart.png", true, "u3");
       },
       "", "", 0},
      {"a model bubble after its file bubble",
       [&](IChatView& V) {
         AddMessageToWeb(V, "첨부를 읽었습니다.", Dir + "/chart.png", false, "m2");
       },
       "첨부를 읽었습니다.\n", "", 1},
      {"chart",
       [](IChatView& V) {
         V.EvaluateJavaScript(BuildChartScript("삼성전자", "[\"a\",\"b\"]", "[1,2]"));
       },
       "📈 차트: 삼성전자 — X [\"a\",\"b\"], Y [1,2]\n", "", 0},
      {"other and malformed scripts",
       [](IChatView& V) {
         for (const char* S :
              {"clearChat();", kShowLoadingScript, kRemoveLoadingScript, kClearPageScript,
               kCopySelectionScript, "appendChat(false, \"m\", \"a\"); alert(1);",
               "appendChat(maybe, \"m\", \"a\");", "appendChat(false, \"m\", \"a\"", "appendChat(",
               "appendChat(false, \"m\\", "appendChat(false, m, \"a\");",
               "appendChat(false, \"m\", \"a\"b\");", "appendChart(\"t\", 1, 2);", "appendChart(",
               "appendChart(\"t\", \"[1]\");", "appendChart([[[[[[[[[[[[[["})
           V.EvaluateJavaScript(S);
       },
       "", "", 0},
      {"muted while a chat is redrawn",
       [](IChatView& V) {
         auto& T = dynamic_cast<TTerminalView&>(V);
         T.SetMuted(true);
         RefreshChatUI(V, {CreateChatMessage(kRoleModel, "지난 답")});
         AddMessageToWeb(V, "지난 상태", "", false, "");
         T.SetMuted(false);
       },
       "", "", 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::ostringstream Out, Err;
    TTerminalView View(Out, Err);
    C.Draw(View);
    EXPECT_EQ(Out.str(), C.Out);
    EXPECT_EQ(Err.str(), C.Err);
    EXPECT_EQ(View.RepliesShown(), C.Replies);
  }
}

TEST(TerminalDialogs, CommandQuestionAtATerminal) {
  struct TCase {
    const char* Name;
    TCommandPolicy Policy;
    std::string Keys;  // typed before the question is asked
    bool CtrlC;        // the interrupt fd is readable
    bool Yes;
  };
  const TCase Cases[] = {
      {"y", TCommandPolicy::Ask, "y\n", false, true},
      {"yes", TCommandPolicy::Ask, "yes\n", false, true},
      {"Enter", TCommandPolicy::Ask, "\n", false, false},
      {"n", TCommandPolicy::Ask, "n\n", false, false},
      {"half a line, then Ctrl+C", TCommandPolicy::Ask, "y", true, false},
      {"allowed beforehand", TCommandPolicy::Allow, "\n", false, true},
      {"denied beforehand", TCommandPolicy::Deny, "y\n", false, false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TPty Pty;
    ASSERT_GE(Pty.Slave, 0);
    TPipe Interrupt;
    std::ostringstream Err;
    TTerminalDialogs Dialogs(Err, C.Policy, Interrupt.Fd[0], Pty.Slave);
    Pty.Type(C.Keys);
    if (C.CtrlC) {
      ASSERT_EQ(write(Interrupt.Fd[1], "x", 1), 1);
    }
    EXPECT_EQ(Dialogs.ConfirmYesNo("명령어: ls\r\n실행할까요?"), C.Yes);
    EXPECT_EQ(Err.str().rfind("명령어: ls\n실행할까요?\n", 0), 0u) << Err.str();
  }
}
