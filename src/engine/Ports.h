// What the conversation engine needs from the shell that hosts it (the Qt window, the terminal,
// a test). Every call is made on the shell's UI thread unless it says otherwise.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kestrill {

// Work handed from a background task to the UI thread.
class IUiQueue {
 public:
  virtual ~IUiQueue() = default;
  // Called from any thread; runs AWork later on the UI thread and returns at once. (A task that
  // needs an answer from the UI thread posts and waits on its own terms, so that a closing
  // window, which waits for the task, can never deadlock with it.)
  virtual void Post(std::function<void()> AWork) = 0;
};

class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // A message box with a single OK button.
  virtual void AlaramMessage(const std::string& AMessage) = 0;
  // Yes/No with No as the default; true for Yes.
  virtual bool ConfirmYesNo(const std::string& AMessage) = 0;
  // The text editor dialog; nullopt when cancelled. ANote, when not empty, stands under the
  // text (what confirming will do).
  virtual std::optional<std::string> EditText(const std::string& AText,
                                              const std::string& ANote = "") = 0;
  // A one-line editor, for titles; nullopt when cancelled.
  virtual std::optional<std::string> EditLine(const std::string& AText) { return EditText(AText); }
};

// The window's controls the engine reads or sets.
class IMainControls {
 public:
  virtual ~IMainControls() = default;
  virtual std::string PromptText() const = 0;
  virtual void ClearPrompt() = 0;  // also gives the input box the keyboard focus
  virtual bool SendEnabled() const = 0;
  virtual void SetSendEnabled(bool AEnabled) = 0;
  virtual int ProviderIndex() const = 0;  // 0 Gemini, 1 ChatGPT, 2 Claude, 3 DeepSeek, 4 Ollama
  virtual int ModeIndex() const = 0;      // 0 chatbot, 1 agent
  virtual void SetChatTitle(const std::string& ATitle) = 0;
  virtual void SetPromptText(const std::string& AText) = 0;  // also gives it the focus

  // The history sidebar. An item shows a chat's title and carries its file, by which it is found.
  virtual void ClearHistoryItems() = 0;
  virtual void AddHistoryItem(const std::string& ATitle, const std::string& AFileName, bool AAtTop,
                              double AFontSize) = 0;
  virtual void RemoveHistoryItem(const std::string& AFileName) = 0;
  virtual void SetHistoryItemTitle(const std::string& AFileName, const std::string& ATitle) = 0;
  // Selects the item of AFileName (none for "") without raising the open-chat event; true when
  // it was not the selected item before.
  virtual bool SelectHistoryItem(const std::string& AFileName) = 0;

  // The attachment preview goes and the attach button looks unattached again.
  virtual void HideAttachmentPreview() = 0;
  // Hands a file or an address to the system to open with its associated program.
  virtual void OpenURL(const std::string& AUrl) = 0;

  // Selects a provider in the provider box (the index as ProviderIndex gives it).
  virtual void SetProviderIndex(int /*AIndex*/) {}
  // Opens the settings dialog (modal); the window calls SettingsSaved when it is confirmed.
  virtual void OpenSettings() {}
  // A short line that says a quiet command worked ("저장했습니다: …"); it goes by itself.
  virtual void ShowStatusMessage(const std::string& /*AText*/) {}
};

}  // namespace kestrill
