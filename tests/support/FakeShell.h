// The engine's ports as plain recorders, for driving the controller in unit tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Ports.h"

namespace kestrill::testing {

// Work posted from the background is held until the test runs it on its own thread.
class TFakeQueue : public IUiQueue {
 public:
  void Post(std::function<void()> AWork) override {
    {
      std::lock_guard L(FMutex);
      FWork.push_back(std::move(AWork));
    }
    FWake.notify_all();
  }
  // Waits for the next posted piece of work and runs it; false after ATimeoutMs without any.
  bool RunNext(int ATimeoutMs = 10000) {
    std::function<void()> W;
    {
      std::unique_lock L(FMutex);
      if (!FWake.wait_for(L, std::chrono::milliseconds(ATimeoutMs),
                          [this] { return !FWork.empty(); }))
        return false;
      W = std::move(FWork.front());
      FWork.pop_front();
    }
    W();
    return true;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FWork;
};

class TFakeDialogs : public IDialogs {
 public:
  void AlaramMessage(const std::string& AMessage) override { Alarms.push_back(AMessage); }
  bool ConfirmYesNo(const std::string& AMessage) override {
    Questions.push_back(AMessage);
    if (WhileOpen) WhileOpen();
    return NextAnswer;
  }
  std::optional<std::string> EditText(const std::string&, const std::string& ANote = "") override {
    Notes.push_back(ANote);
    if (WhileOpen) WhileOpen();
    return NextEdit;
  }
  // Runs while a question or an editor is open, as a modal dialog's own event loop runs the
  // work queued meanwhile.
  std::function<void()> WhileOpen;

  std::vector<std::string> Alarms, Questions, Notes;
  bool NextAnswer = false;
  std::optional<std::string> NextEdit;
};

class TFakeControls : public IMainControls {
 public:
  std::string PromptText() const override { return Prompt; }
  void ClearPrompt() override { Prompt.clear(); }
  bool SendEnabled() const override { return Send; }
  void SetSendEnabled(bool AEnabled) override { Send = AEnabled; }
  int ProviderIndex() const override { return Provider; }
  int ModeIndex() const override { return Mode; }
  void SetChatTitle(const std::string& ATitle) override { Title = ATitle; }
  void SetPromptText(const std::string& AText) override { Prompt = AText; }

  // The sidebar as a list of items, top first.
  struct TItem {
    std::string Title, FileName;
    double FontSize;
  };
  void ClearHistoryItems() override { Items.clear(); }
  void AddHistoryItem(const std::string& ATitle, const std::string& AFileName, bool AAtTop,
                      double AFontSize) override {
    Items.insert(AAtTop ? Items.begin() : Items.end(), TItem{ATitle, AFileName, AFontSize});
  }
  void RemoveHistoryItem(const std::string& AFileName) override {
    std::erase_if(Items, [&](const TItem& I) { return I.FileName == AFileName; });
    if (Selected == AFileName) Selected.clear();
  }
  void SetHistoryItemTitle(const std::string& AFileName, const std::string& ATitle) override {
    for (TItem& I : Items)
      if (I.FileName == AFileName) I.Title = ATitle;
  }
  bool SelectHistoryItem(const std::string& AFileName) override {
    bool Changed = Selected != AFileName;
    Selected = AFileName;
    return Changed;
  }
  void HideAttachmentPreview() override { ++PreviewHidden; }
  void OpenURL(const std::string& AUrl) override { Opened.push_back(AUrl); }
  void SetProviderIndex(int AIndex) override { Provider = AIndex; }
  void OpenSettings() override {
    ++SettingsOpened;
    if (WhileSettingsOpen) WhileSettingsOpen();
  }
  void ShowStatusMessage(const std::string& AText) override { StatusMessages.push_back(AText); }
  int SettingsOpened = 0;
  std::function<void()> WhileSettingsOpen;  // what the user does in the dialog
  std::vector<std::string> StatusMessages;
  std::vector<std::string> ItemFiles() const {
    std::vector<std::string> Out;
    for (const TItem& I : Items) Out.push_back(I.FileName);
    return Out;
  }

  std::string Prompt, Title = "(designed)";
  bool Send = true;
  int Provider = 1, Mode = 0;
  std::vector<TItem> Items;
  std::string Selected;
  int PreviewHidden = 0;
  std::vector<std::string> Opened;
};

}  // namespace kestrill::testing
