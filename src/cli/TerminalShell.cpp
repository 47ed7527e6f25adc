#include "cli/TerminalShell.h"

#include <unistd.h>

#include <ostream>

#include "cli/TerminalInterrupt.h"
#include "core/JsonPath.h"

namespace kestrill {

std::string DecodeFromPage(std::string_view E) {
  auto Hex = [](char C) { return (C >= '0' && C <= '9') ? C - '0' : (C & ~0x20) - 'A' + 10; };
  std::string Out;
  Out.reserve(E.size());
  for (std::size_t I = 0; I < E.size(); ++I) {
    if (E[I] == '+') {
      Out += ' ';
    } else if (E[I] == '%' && I + 2 < E.size()) {
      Out += static_cast<char>(Hex(E[I + 1]) * 16 + Hex(E[I + 2]));
      I += 2;
    } else {
      Out += E[I];
    }
  }
  return Out;
}

std::optional<TChatScript> ParseChatScript(std::string_view S) {
  // appendChat(BOOL, "ID", "ENCODED"); -- the id a JSON string literal, the text percent-encoded
  // and so free of quotes. Scanned by hand: a reply can be megabytes long.
  constexpr std::string_view kHead = "appendChat(", kUser = "true, ", kModel = "false, ";
  if (!S.starts_with(kHead)) return std::nullopt;
  S.remove_prefix(kHead.size());
  TChatScript Out;
  Out.IsUser = S.starts_with(kUser);
  if (!Out.IsUser && !S.starts_with(kModel)) return std::nullopt;
  S.remove_prefix(Out.IsUser ? kUser.size() : kModel.size());
  if (!S.starts_with('"')) return std::nullopt;
  std::size_t End = 1;
  while (End < S.size() && S[End] != '"') End += S[End] == '\\' ? 2 : 1;
  if (End >= S.size()) return std::nullopt;
  Out.IdLiteral = S.substr(0, End + 1);
  S.remove_prefix(End + 1);
  constexpr std::string_view kBetween = ", \"", kTail = "\");";
  if (!S.starts_with(kBetween) || !S.ends_with(kTail)) return std::nullopt;
  S.remove_prefix(kBetween.size());
  S.remove_suffix(kTail.size());
  if (S.find('"') != std::string_view::npos) return std::nullopt;
  Out.Encoded = S;
  return Out;
}

std::string ForTerminal(std::string AText) {
  for (std::size_t At = AText.find("\r\n"); At != std::string::npos; At = AText.find("\r\n", At))
    AText.erase(At, 1);
  return AText;
}

void TTerminalView::EvaluateJavaScript(const std::string& AScript) {
  if (FMuted) return;
  constexpr std::string_view kChart = "appendChart(", kTail = ");";
  const std::string_view Script = AScript;
  if (Script.starts_with(kChart)) {
    // appendChart("title", "[labels]", "[prices]"); -- three JSON string literals, which the
    // depth-bounded JSON reader takes apart without recursing over their length.
    if (!Script.ends_with(kTail) || Script.size() < kChart.size() + kTail.size()) return;
    auto Args = ParseJson(
        "[" +
        std::string(Script.substr(kChart.size(), Script.size() - kChart.size() - kTail.size())) +
        "]");
    if (Args && Args->size() == 3 && (*Args)[0].is_string() && (*Args)[1].is_string() &&
        (*Args)[2].is_string()) {
      FOut << "📈 차트: " << (*Args)[0].get<std::string>() << " — X "
           << (*Args)[1].get<std::string>() << ", Y " << (*Args)[2].get<std::string>() << std::endl;
    }
    return;
  }
  const auto Bubble = ParseChatScript(AScript);
  if (!Bubble || Bubble->IsUser) return;  // the user's own bubbles are not echoed
  const std::string Text = DecodeFromPage(Bubble->Encoded);
  // Status lines (no id) and the agent's tool lines are progress, not the answer.
  const bool ToolLine = Text.rfind("🛠️ [", 0) == 0;
  if (Bubble->IdLiteral == "\"\"" || ToolLine) {
    FErr << Text << std::endl;  // a status line or an error
    if (!ToolLine) ++FNotices;
  } else {
    FOut << Text << std::endl;
    ++FReplies;
  }
}

void TTerminalQueue::Post(std::function<void()> AWork) {
  {
    std::lock_guard Lock(FMutex);
    FWork.push_back(std::move(AWork));
  }
  FWake.notify_all();
}

void TTerminalQueue::PumpUntil(const std::function<bool()>& ADone) {
  while (!ADone()) {
    std::function<void()> Work;
    {
      std::unique_lock Lock(FMutex);
      FWake.wait(Lock, [this] { return !FWork.empty(); });
      Work = std::move(FWork.front());
      FWork.pop_front();
    }
    Work();
  }
}

void TTerminalDialogs::AlaramMessage(const std::string& AMessage) {
  ++FAlarms;
  FErr << ForTerminal(AMessage) << std::endl;
}

bool TTerminalDialogs::ConfirmYesNo(const std::string& AMessage) {
  FErr << ForTerminal(AMessage) << std::endl;
  if (FPolicy != TCommandPolicy::Ask || !isatty(FInput)) {
    // Without a terminal to ask, a command runs only when the user allowed it beforehand.
    bool Allowed = FPolicy == TCommandPolicy::Allow;
    FErr << (Allowed ? "→ 허용 (--allow-commands)" : "→ 거부") << std::endl;
    return Allowed;
  }
  FErr << "허용하려면 y, 거부하려면 Enter: " << std::flush;
  const std::optional<std::string> Answer = ReadLineUnlessInterrupted(FInput, FInterruptFd);
  if (!Answer) {
    FErr << std::endl;  // what follows starts on a line of its own
    return false;
  }
  return *Answer == "y" || *Answer == "Y" || *Answer == "yes";
}

}  // namespace kestrill
