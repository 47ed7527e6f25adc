#include "cli/TerminalShell.h"

#include <unistd.h>

#include <iostream>
#include <ostream>
#include <regex>

#include "core/JsonPath.h"

namespace kestrill {

std::string DecodeFromPage(const std::string& E) {
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

std::string ForTerminal(std::string AText) {
  for (std::size_t At = AText.find("\r\n"); At != std::string::npos; At = AText.find("\r\n", At))
    AText.erase(At, 1);
  return AText;
}

void TTerminalView::EvaluateJavaScript(const std::string& AScript) {
  if (FMuted) return;
  if (AScript.rfind("appendChart(", 0) == 0) {
    // appendChart("title", "[labels]", "[prices]"); -- three JSON string literals.
    auto Args = ParseJson("[" + AScript.substr(12, AScript.size() - 14) + "]");
    if (Args && Args->size() == 3 && (*Args)[0].is_string()) {
      FOut << "📈 차트: " << (*Args)[0].get<std::string>() << " — X "
           << (*Args)[1].get<std::string>() << ", Y " << (*Args)[2].get<std::string>() << std::endl;
    }
    return;
  }
  // appendChat(false, "ID", "ENCODED"); -- the id is a JSON string literal, the text has no quotes.
  static const std::regex kChat(
      R"re(^appendChat\((true|false), "((?:[^"\\]|\\.)*)", "([^"]*)"\);$)re");
  std::smatch M;
  if (!std::regex_match(AScript, M, kChat) || M[1] == "true") return;  // the user's own bubbles
  const std::string Text = DecodeFromPage(M[3]);
  // Status lines (no id) and the agent's tool lines are progress, not the answer.
  if (M[2].length() == 0 || Text.rfind("🛠️ [", 0) == 0) {
    FErr << Text << std::endl;  // a status line or an error
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
  if (FPolicy != TCommandPolicy::Ask || !isatty(STDIN_FILENO)) {
    // Without a terminal to ask, a command runs only when the user allowed it beforehand.
    bool Allowed = FPolicy == TCommandPolicy::Allow;
    FErr << (Allowed ? "→ 허용 (--allow-commands)" : "→ 거부") << std::endl;
    return Allowed;
  }
  FErr << "허용하려면 y, 거부하려면 Enter: " << std::flush;
  std::string Answer;
  std::getline(std::cin, Answer);
  return Answer == "y" || Answer == "Y" || Answer == "yes";
}

}  // namespace kestrill
