// The engine's ports for a terminal: bubbles become lines (replies on standard output, status
// and errors on standard error), the UI thread is the main thread pumping a queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/Ports.h"
#include "view/ChatView.h"

namespace kestrill {

class TTerminalView : public IChatView {
 public:
  TTerminalView(std::ostream& AOut, std::ostream& AErr) : FOut(AOut), FErr(AErr) {}
  void Navigate(const std::string&) override {}
  // Reads the bubble scripts of the view bridge back into text.
  void EvaluateJavaScript(const std::string& AScript) override;
  int RepliesShown() const { return FReplies; }
  // Lines of ours on standard error that are not tool progress (a failure, a stop).
  int NoticesShown() const { return FNotices; }
  // While muted nothing is printed: a reopened chat redraws its earlier messages, which are
  // not the answer to this question.
  void SetMuted(bool AMuted) { FMuted = AMuted; }

 private:
  std::ostream& FOut;
  std::ostream& FErr;
  int FReplies = 0;
  int FNotices = 0;
  bool FMuted = false;
};

class TTerminalQueue : public IUiQueue {
 public:
  void Post(std::function<void()> AWork) override;
  // Runs posted work on the calling (main) thread until ADone() holds.
  void PumpUntil(const std::function<bool()>& ADone);

 private:
  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FWork;
};

// How console commands the agent wants to run are answered.
enum class TCommandPolicy { Ask, Allow, Deny };

class TTerminalDialogs : public IDialogs {
 public:
  // Under Ask, the answer is read from AInput when it is a terminal; AInterruptFd (-1 for none)
  // turning readable ends the wait with No, so Ctrl+C is never stuck behind the question.
  TTerminalDialogs(std::ostream& AErr, TCommandPolicy APolicy = TCommandPolicy::Ask,
                   int AInterruptFd = -1, int AInput = 0)
      : FErr(AErr), FPolicy(APolicy), FInterruptFd(AInterruptFd), FInput(AInput) {}
  void AlaramMessage(const std::string& AMessage) override;
  bool ConfirmYesNo(const std::string& AMessage) override;
  std::optional<std::string> EditText(const std::string&, const std::string& = "") override {
    return std::nullopt;
  }
  // How many messages the engine has shown; a step that adds one went wrong.
  int AlarmCount() const { return FAlarms; }

 private:
  std::ostream& FErr;
  TCommandPolicy FPolicy;
  int FInterruptFd;
  int FInput;
  int FAlarms = 0;
};

class TTerminalControls : public IMainControls {
 public:
  TTerminalControls(std::string APrompt, int AProvider, int AMode)
      : FPrompt(std::move(APrompt)), FProvider(AProvider), FMode(AMode) {}
  std::string PromptText() const override { return FPrompt; }
  void ClearPrompt() override { FPrompt.clear(); }
  bool SendEnabled() const override { return FSendEnabled; }
  void SetSendEnabled(bool AEnabled) override { FSendEnabled = AEnabled; }
  int ProviderIndex() const override { return FProvider; }
  int ModeIndex() const override { return FMode; }
  void SetChatTitle(const std::string&) override {}
  void SetPromptText(const std::string& AText) override { FPrompt = AText; }
  void ClearHistoryItems() override {}
  void AddHistoryItem(const std::string&, const std::string&, bool, double) override {}
  void RemoveHistoryItem(const std::string&) override {}
  void SetHistoryItemTitle(const std::string&, const std::string&) override {}
  bool SelectHistoryItem(const std::string&) override { return false; }
  void HideAttachmentPreview() override {}
  void OpenURL(const std::string&) override {}

 private:
  std::string FPrompt;
  int FProvider;
  int FMode;
  bool FSendEnabled = false;
};

// The parts of a bubble script of the view bridge; views into the script it was read from.
struct TChatScript {
  bool IsUser = false;
  std::string_view IdLiteral;  // the id as its quoted literal: "\"\"" for a status line
  std::string_view Encoded;    // the text, still percent-encoded
};

// AScript's parts when it is an appendChat call, nullopt for any other script.
std::optional<TChatScript> ParseChatScript(std::string_view AScript);

// Percent-decoding of the page encoding ("+" is a space).
std::string DecodeFromPage(std::string_view AEncoded);

// The engine's messages are written for a message box (CR LF); a terminal wants LF.
std::string ForTerminal(std::string AText);

}  // namespace kestrill
