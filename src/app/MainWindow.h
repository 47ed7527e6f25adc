// TfrmMain: the program's one window. A shell over TChatController: it lays out the controls,
// forwards its events and implements the engine's ports with Qt.
#pragma once

#include <QMainWindow>
#include <memory>

#include "core/Config.h"
#include "engine/ChatController.h"
#include "engine/Ports.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QToolButton;

namespace kestrill {

class TChatWebView;

class TfrmMain : public QMainWindow, public IUiQueue, public IDialogs, public IMainControls {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* AParent = nullptr);
  ~TfrmMain() override;

  TChatController& Controller() { return *FController; }
  TConfig& Config() { return *FConfig; }

  // IUiQueue
  void Post(std::function<void()> AWork) override;
  // IDialogs
  void AlaramMessage(const std::string& AMessage) override;
  bool ConfirmYesNo(const std::string& AMessage) override;
  std::optional<std::string> EditText(const std::string& AText) override;
  // IMainControls
  std::string PromptText() const override;
  void ClearPrompt() override;
  bool SendEnabled() const override;
  void SetSendEnabled(bool AEnabled) override;
  int ProviderIndex() const override;
  int ModeIndex() const override;
  void SetChatTitle(const std::string& ATitle) override;
  void SetPromptText(const std::string& AText) override;
  void ClearHistoryItems() override;
  void AddHistoryItem(const std::string& ATitle, const std::string& AFileName, bool AAtTop,
                      double AFontSize) override;
  void RemoveHistoryItem(const std::string& AFileName) override;
  void SetHistoryItemTitle(const std::string& AFileName, const std::string& ATitle) override;
  bool SelectHistoryItem(const std::string& AFileName) override;
  void HideAttachmentPreview() override;
  void OpenURL(const std::string& AUrl) override;

  void ReadConfig();
  void WriteConfig();

 protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void BuildControls();
  void BuildMenus();
  void sbSettingClick();
  void MenuSidebarClick();
  void ActCopyExecute();

  std::unique_ptr<TConfig> FConfig;
  bool FShown = false;

  QWidget* ToolBarLogo;
  QToolButton* sbLogo;
  QLabel* lbChatTitle;
  QComboBox* cbxMode;
  QComboBox* cbxModels;
  QSplitter* Splitter1;
  QWidget* LayoutLeftPanel;
  QPushButton* sbNewChat;
  QListWidget* ListBoxHistory;
  QPushButton* sbSetting;
  TChatWebView* ChatWebBrowser;
  QWidget* LayoutBottom;
  QWidget* LayoutPreview;
  QFrame* FrameRect;
  QToolButton* sbAttach;
  QPlainTextEdit* MemoInput;
  QPushButton* btnSend;
  QMenu* PopupLogo;
  QAction* MenuSidebar;
  QAction* MenuOpenPrompt;
  QAction* MenuSaveChat;
  QAction* ActCopy;
  QAction* ActClearHistory;

  // Last: destroyed first, so its background work ends while everything above still exists.
  std::unique_ptr<TChatController> FController;
};

}  // namespace kestrill
