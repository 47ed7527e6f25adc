// TfrmMain: the program's one window. A shell over TChatController: it lays out the controls,
// forwards its events and implements the engine's ports with Qt.
#pragma once

#include <QMainWindow>
#include <deque>
#include <memory>
#include <vector>

#include "app/ChatSearchBox.h"
#include "core/Config.h"
#include "engine/ChatController.h"
#include "engine/Ports.h"

class QAction;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace kestrill {

class TAttachmentPreview;
class TChatWebView;
class TElidedLabel;
class THistoryList;
class TLogoBar;
class TSidebarSplitter;
class TStatusToast;

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
  std::optional<std::string> EditText(const std::string& AText,
                                      const std::string& ANote = "") override;
  std::optional<std::string> EditLine(const std::string& AText) override;
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
  void SetProviderIndex(int AIndex) override;
  void OpenSettings() override;
  void ShowStatusMessage(const std::string& AText) override;

  void ReadConfig();
  void WriteConfig();

  // What the shared file dialog's choice leads to; the dialog commands end here, and so can
  // anything that already has a path.
  void AttachFile(const QString& APath);
  void OpenPromptFileChosen(const QString& APath);

  // For tests, the way a message box hook works: while a script is set no dialog is shown.
  // Messages and questions are recorded; the questions and the editor take their answers from
  // the front of the queues (No and cancel once they run out).
  struct TDialogScript {
    std::vector<std::string> Messages;
    std::vector<std::string> Questions;
    std::deque<bool> Answers;
    std::deque<std::optional<std::string>> Edits;
    std::vector<std::string> EditNotes;  // the note each editor showed ("" for none)
  };
  void SetDialogScript(TDialogScript* AScript) { FDialogScript = AScript; }

 protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  QFileDialog* OpenDialog();
  void BuildControls();
  void BuildMenus();
  void ConnectControls();
  // The settings dialog, from the sidebar, the logo menu or the engine; a confirmed dialog is
  // reported to the engine.
  void sbSettingClick();
  void NewChatClick();
  // The chat title above the page: one line, "새 채팅" until the engine names the chat.
  void ShowChatTitle(const QString& ATitle);
  void MenuSidebarClick();
  void ActCopyExecute();
  void ActClearHistoryExecute();
  // The bottom strip's height: the preview when a file waits, and the input box as tall as its
  // text (up to kInputMaxLines lines) while the chat keeps its minimum height.
  void UpdateBottomHeight();
  // The send button while no turn runs, the stop button while one does.
  void btnSendOrStopClick();
  void ActStopExecute();
  // "중지" and enabled exactly while a turn runs; otherwise "전송", enabled as the engine last
  // asked.
  void RefreshSendButton();
  void MenuOpenPromptClick();
  void sbAttachClick();
  void MenuItemReRunClick();
  void MenuItemEditClick();
  void MenuItemDeleteClick();
  void MenuItemOpenClick();
  // The chat of the item, written out as Markdown or HTML where the user chooses.
  void MenuItemExportClick();
  QFileDialog* SaveDialog();
  QString TargetTitle() const;
  // Gives the input box the focus unless the pointer is over the history list, where the
  // keyboard belongs to the list.
  void FocusInput();

  std::unique_ptr<TConfig> FConfig;
  bool FShown = false;
  bool FInputMayTakeFocus = true;
  // What the engine last asked of the send button; while a turn runs the button stops instead.
  bool FSendWanted = false;
  // A close query that let the window go has saved the chat; otherwise the destructor does.
  bool FCloseAccepted = false;
  // Set in the destructor: no dialog may be shown from there, questions are answered "close".
  bool FNoDialogs = false;
  // The chat file of the item the chat item menu acts on ("" when none). Items are looked up
  // by it each time: the item itself may be gone by the time a menu command runs.
  QString FTargetItem;
  TDialogScript* FDialogScript = nullptr;
  // What the search box read of each chat file, kept between searches. Shared with the box's
  // search thread, which the box (a child, destroyed after these members) ends.
  std::shared_ptr<TChatSearch> FSearch = std::make_shared<TChatSearch>();

  TLogoBar* ToolBarLogo;
  QToolButton* sbLogo;
  TElidedLabel* lbChatTitle;
  TStatusToast* lbStatus;
  QComboBox* cbxMode;
  QComboBox* cbxModels;
  TSidebarSplitter* Splitter1;
  QWidget* LayoutLeftPanel;
  QPushButton* sbNewChat;
  THistoryList* ListBoxHistory;
  TChatSearchBox* SearchBox;
  QPushButton* sbSetting;
  TChatWebView* ChatWebBrowser;
  QWidget* LayoutBottom;
  TAttachmentPreview* LayoutPreview;
  QFrame* FrameRect;
  QToolButton* sbAttach;
  QPlainTextEdit* MemoInput;
  QPushButton* btnSend;
  QMenu* PopupLogo;
  QAction* MenuNewChat;
  QAction* MenuSidebar;
  QAction* MenuSetting;
  QAction* MenuOpenPrompt;
  QAction* MenuSaveChat;
  QAction* ActCopy;
  QAction* ActStop;
  QAction* ActClearHistory;
  QMenu* PopupMenu1;
  QAction* MenuItemReRun;
  QAction* MenuItemEdit;
  QAction* MenuItemDelete;
  QAction* MenuItemOpen;
  QAction* MenuItemExport;
  QFileDialog* OpenDialog1 = nullptr;
  QFileDialog* SaveDialog1 = nullptr;

  // Last: destroyed first, so its background work ends while everything above still exists.
  std::unique_ptr<TChatController> FController;
};

}  // namespace kestrill
