// TfrmMain's commands and its side of the engine's ports: the top bar and the logo menu, the
// history sidebar and its menu, the attachment preview, the dialogs.
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QWebEnginePage>
#include <iostream>

#include "app/AppLocale.h"
#include "app/AttachmentPreview.h"
#include "app/HistoryList.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "app/TextEditorDialog.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"
#include "core/Paths.h"
#include "engine/ChatArchive.h"

namespace kestrill {
namespace {

QString U(const char* AText) { return QString::fromUtf8(AText); }

bool IsImageExtension(const QString& APath) {
  const QString Ext = QFileInfo(APath).suffix().toLower();
  return Ext == "jpg" || Ext == "jpeg" || Ext == "png" || Ext == "webp";
}

// Qt reads WebP only with the image formats plugins installed; without them such a picture
// still goes out (the providers and the page read it themselves), shown as a file.
bool CanDecode(const QString& APath) {
  return QImageReader::supportedImageFormats().contains(
      QFileInfo(APath).suffix().toLower().toUtf8());
}

void SetButtonTextColor(QToolButton* AButton, const QColor& AColor) {
  QPalette P = AButton->palette();
  P.setColor(QPalette::ButtonText, AColor);
  AButton->setPalette(P);
}

}  // namespace

void TfrmMain::sbSettingClick() {
  TfrmSetting Dialog(*FConfig, this);
  if (Dialog.exec() == QDialog::Accepted) FController->SettingsSaved();
}

void TfrmMain::OpenSettings() { sbSettingClick(); }

void TfrmMain::NewChatClick() { FController->sbNewChatClick(); }

void TfrmMain::ShowChatTitle(const QString& ATitle) {
  // A title of several lines would show its first line cut through the middle of its glyphs.
  const QString Title = OneLineTitle(ATitle);
  lbChatTitle->setText(Title.isEmpty() ? U("새 채팅") : Title);
  lbChatTitle->setToolTip(Title);
}

void TfrmMain::SetProviderIndex(int AIndex) {
  if (AIndex >= 0 && AIndex < cbxModels->count()) cbxModels->setCurrentIndex(AIndex);
}

void TfrmMain::ShowStatusMessage(const std::string& AText) {
  lbStatus->ShowFor(QString::fromStdString(AText), 4000);
}

void TfrmMain::MenuSidebarClick() {
  LayoutLeftPanel->setVisible(MenuSidebar->isChecked());
  Splitter1->Apply();  // back at the width the user gave it; the logo bar follows
}

void TfrmMain::ActClearHistoryExecute() {
  // The whole conversation goes and there is no undo: only after a yes.
  if (!ConfirmYesNo(U("대화 내용을 모두 지우시겠습니까?").toStdString())) return;
  FController->ClearChatHistory();
  RefreshSendButton();  // a running turn ends with it
}

void TfrmMain::ActCopyExecute() {
  QWidget* Focus = QApplication::focusWidget();
  if (auto* Line = qobject_cast<QLineEdit*>(Focus)) {
    Line->copy();
  } else if (auto* Memo = qobject_cast<QPlainTextEdit*>(Focus)) {
    Memo->copy();
  } else {
    // A script in the page may not write the clipboard outside a user gesture; the engine's own
    // copy action may.
    ChatWebBrowser->page()->triggerAction(QWebEnginePage::Copy);
  }
}

void TfrmMain::btnSendOrStopClick() {
  if (FController->TurnRunning())
    FController->StopCommand();
  else
    FController->btnSendClick();
  RefreshSendButton();
}

void TfrmMain::ActStopExecute() {
  FController->StopCommand();  // nothing happens when no turn runs
  RefreshSendButton();
}

void TfrmMain::RefreshSendButton() {
  const bool Running = FController && FController->TurnRunning();
  btnSend->setText(Running ? U("중지") : U("전송"));
  btnSend->setEnabled(Running || FSendWanted);
}

// One dialog for prompts and attachments, each command setting its own filter. Made on first use:
// a file dialog watches its folder and reloads on the UI thread, which a window that never
// opens it should not pay for.
QFileDialog* TfrmMain::OpenDialog() {
  if (!OpenDialog1) {
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  }
  return OpenDialog1;
}

void TfrmMain::MenuOpenPromptClick() {
  OpenDialog()->setNameFilter("Text File (*.txt *.md)");
  OpenDialog1->setDirectory(QCoreApplication::applicationDirPath());
  if (OpenDialog1->exec() != QDialog::Accepted) return;
  const QStringList Files = OpenDialog1->selectedFiles();
  if (!Files.isEmpty()) OpenPromptFileChosen(Files.first());
}

void TfrmMain::OpenPromptFileChosen(const QString& APath) {
  FController->OpenPromptFile(APath.toStdString());
}

void TfrmMain::sbAttachClick() {
  // Only the filter: the folder stays where the user last looked.
  OpenDialog()->setNameFilter(
      "All Supported (*.jpg *.png *.webp *.pdf *.txt *.csv);;Images (*.jpg *.png);;"
      "Documents (*.pdf *.txt *.csv)");
  if (OpenDialog1->exec() != QDialog::Accepted) return;
  const QStringList Files = OpenDialog1->selectedFiles();
  if (!Files.isEmpty()) AttachFile(Files.first());
}

void TfrmMain::AttachFile(const QString& APath) {
  // A file that would reach the model as garbage, is too large for the provider or is no file at
  // all is refused first, with the reason: a pipe named .png would block the decoder below.
  const std::string Before = FController->AttachedFilePath();
  if (!FController->AttachFile(APath.toStdString())) return;
  QImage Image;
  const bool IsImage = IsImageExtension(APath) && CanDecode(APath);
  if (IsImage) {
    // A picture that cannot be shown is not attached either, so nothing goes out that the
    // preview does not show; the attachment before it stays.
    QImageReader Reader(APath);
    Reader.setAutoTransform(true);
    Image = Reader.read();
    if (Image.isNull()) {
      FController->SetAttachedFilePath(Before);
      AlaramMessage(U("이미지를 열 수 없습니다: ").toStdString() +
                    QFileInfo(APath).fileName().toStdString());
      return;
    }
  }
  if (IsImage)
    LayoutPreview->ShowImage(Image, APath);
  else
    LayoutPreview->ShowFile(APath);
  LayoutPreview->show();
  UpdateBottomHeight();
  sbAttach->setText(U("✓"));
  sbAttach->setToolButtonStyle(Qt::ToolButtonTextOnly);
  SetButtonTextColor(sbAttach, QColor(0x32, 0xCD, 0x32));
}

void TfrmMain::HideAttachmentPreview() {
  LayoutPreview->hide();
  UpdateBottomHeight();
  // The check mark goes with the file, so the button shows its clip icon again.
  sbAttach->setText(QString());
  sbAttach->setToolButtonStyle(Qt::ToolButtonIconOnly);
  SetButtonTextColor(sbAttach, QColor(0x80, 0x80, 0x80));
}

QString TfrmMain::TargetTitle() const {
  const QListWidgetItem* Item = ListBoxHistory->ItemOf(FTargetItem);
  return Item ? Item->text() : QString();
}

void TfrmMain::MenuItemReRunClick() {
  const QString File = FTargetItem;
  FTargetItem.clear();
  FController->MenuItemReRunClick(File.toStdString());
  RefreshSendButton();  // the re-run is a new turn
}

void TfrmMain::MenuItemEditClick() {
  const QString File = FTargetItem;
  const QString Title = TargetTitle();
  FTargetItem.clear();
  if (File.isEmpty()) return;
  ListBoxHistory->HideActionButton();
  FController->MenuItemEditClick(File.toStdString(), Title.toStdString());
}

void TfrmMain::MenuItemDeleteClick() {
  // An item that went away meanwhile counts as no target at all.
  const QString File = ListBoxHistory->ItemOf(FTargetItem) ? FTargetItem : QString();
  const QString Title = TargetTitle();
  FTargetItem.clear();
  FController->MenuItemDeleteClick(File.toStdString(), Title.toStdString());
  ListBoxHistory->HideActionButton();
}

void TfrmMain::MenuItemOpenClick() {
  const QString File = FTargetItem;
  FTargetItem.clear();
  FController->MenuItemOpenClick(File.toStdString());
}

QFileDialog* TfrmMain::SaveDialog() {
  if (!SaveDialog1) {
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  }
  return SaveDialog1;
}

void TfrmMain::MenuItemExportClick() {
  const QString File = FTargetItem;
  const QString Title = TargetTitle();
  FTargetItem.clear();
  if (File.isEmpty()) return;
  static const QString kMarkdown = "Markdown (*.md)", kHtml = "HTML (*.html)";
  QFileDialog* Dialog = SaveDialog();
  Dialog->setNameFilters({kMarkdown, kHtml});
  Dialog->selectNameFilter(kMarkdown);
  // The documents folder the program's own data folder lives in.
  const QString Documents = QString::fromStdString(GetDocumentsFolder());
  Dialog->setDirectory(Documents.isEmpty()
                           ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                           : Documents);
  // The title as a file name: characters no file system takes become "_".
  QString Name = Title.isEmpty() ? QFileInfo(File).completeBaseName() : Title.left(60);
  Name.replace(QRegularExpression(R"([\\/:*?"<>|\r\n\t])"), "_");
  Dialog->selectFile(Name.trimmed() + ".md");
  if (Dialog->exec() != QDialog::Accepted || Dialog->selectedFiles().isEmpty()) return;
  QString Path = Dialog->selectedFiles().first();
  const QString Suffix = QFileInfo(Path).suffix().toLower();
  if (Suffix != "md" && Suffix != "html" && Suffix != "htm")
    Path += Dialog->selectedNameFilter() == kHtml ? ".html" : ".md";
  const std::string Error = ExportChatItem(*FController, File.toStdString(), Path.toStdString());
  if (!Error.empty())
    AlaramMessage(Error);
  else
    ShowStatusMessage(U("내보냈습니다: ").toStdString() +
                      QDir::toNativeSeparators(Path).toStdString());
}

void TfrmMain::FocusInput() {
  if (FInputMayTakeFocus) MemoInput->setFocus();
}

void TfrmMain::Post(std::function<void()> AWork) {
  QMetaObject::invokeMethod(this, std::move(AWork), Qt::QueuedConnection);
}

void TfrmMain::AlaramMessage(const std::string& AMessage) {
  QString Text = QString::fromStdString(AMessage);
  auto Show = [this, Text] {
    if (FNoDialogs) {
      std::cerr << Text.toStdString() << '\n';  // the window is going; only the terminal is left
      return;
    }
    if (FDialogScript) {
      FDialogScript->Messages.push_back(Text.toStdString());
      return;
    }
    QMessageBox Box(QMessageBox::Information, windowTitle(), Text, QMessageBox::Ok, this);
    UseKoreanButtons(Box);
    Box.exec();
  };
  if (QThread::currentThread() == thread())
    Show();
  else
    Post(Show);
}

bool TfrmMain::ConfirmYesNo(const std::string& AMessage) {
  if (FNoDialogs) return true;  // only the close query asks from the destructor: it closes
  if (FDialogScript) {
    FDialogScript->Questions.push_back(AMessage);
    if (FDialogScript->Answers.empty()) return false;
    bool Answer = FDialogScript->Answers.front();
    FDialogScript->Answers.pop_front();
    return Answer;
  }
  QMessageBox Box(QMessageBox::Question, windowTitle(), QString::fromStdString(AMessage),
                  QMessageBox::Yes | QMessageBox::No, this);
  Box.setDefaultButton(QMessageBox::No);
  UseKoreanButtons(Box);
  return Box.exec() == QMessageBox::Yes;
}

std::optional<std::string> TfrmMain::EditText(const std::string& AText, const std::string& ANote) {
  if (FDialogScript) {
    FDialogScript->EditNotes.push_back(ANote);
    if (FDialogScript->Edits.empty()) return std::nullopt;
    auto Answer = FDialogScript->Edits.front();
    FDialogScript->Edits.pop_front();
    return Answer;
  }
  TfrmTextEditor Editor(*FConfig, this);
  Editor.SetText(QString::fromStdString(AText));
  Editor.SetNote(QString::fromStdString(ANote));
  if (Editor.exec() != QDialog::Accepted) return std::nullopt;
  return Editor.GetText().toStdString();
}

std::optional<std::string> TfrmMain::EditLine(const std::string& AText) {
  if (FDialogScript) return EditText(AText);
  TfrmTextEditor Editor(*FConfig, this, /*ASingleLine=*/true);
  Editor.SetText(QString::fromStdString(AText));
  if (Editor.exec() != QDialog::Accepted) return std::nullopt;
  return Editor.GetText().toStdString();
}

std::string TfrmMain::PromptText() const { return MemoInput->toPlainText().toStdString(); }

void TfrmMain::ClearPrompt() {
  MemoInput->clear();
  FocusInput();
}

// The engine's view of the button: enabled as a stop button is not enabled for sending.
bool TfrmMain::SendEnabled() const {
  return btnSend->isEnabled() && !(FController && FController->TurnRunning());
}

void TfrmMain::SetSendEnabled(bool AEnabled) {
  FSendWanted = AEnabled;
  RefreshSendButton();
  // The engine turns its turn flag on just after disabling the button and off just after
  // enabling it, in the same call: look again once that call has returned.
  QMetaObject::invokeMethod(
      this, [this] { RefreshSendButton(); }, Qt::QueuedConnection);
}
int TfrmMain::ProviderIndex() const { return cbxModels->currentIndex(); }
int TfrmMain::ModeIndex() const { return cbxMode->currentIndex(); }
void TfrmMain::SetChatTitle(const std::string& ATitle) {
  ShowChatTitle(QString::fromStdString(ATitle));
}

void TfrmMain::SetPromptText(const std::string& AText) {
  MemoInput->setPlainText(QString::fromStdString(AText));
  FocusInput();
}

void TfrmMain::ClearHistoryItems() { ListBoxHistory->ClearChatItems(); }

void TfrmMain::AddHistoryItem(const std::string& ATitle, const std::string& AFileName, bool AAtTop,
                              double AFontSize) {
  ListBoxHistory->AddChatItem(QString::fromStdString(ATitle), QString::fromStdString(AFileName),
                              AAtTop, AFontSize);
}

void TfrmMain::RemoveHistoryItem(const std::string& AFileName) {
  ListBoxHistory->RemoveChatItem(QString::fromStdString(AFileName));
}

void TfrmMain::SetHistoryItemTitle(const std::string& AFileName, const std::string& ATitle) {
  QListWidgetItem* Item = ListBoxHistory->ItemOf(QString::fromStdString(AFileName));
  if (!Item) return;
  const QString Title = OneLineTitle(QString::fromStdString(ATitle));
  Item->setText(Title);
  Item->setToolTip(Title);
  if (Item->isSelected()) ShowChatTitle(Title);  // the open chat's title follows its item
}

bool TfrmMain::SelectHistoryItem(const std::string& AFileName) {
  const QString File = QString::fromStdString(AFileName);
  const bool Changed = ListBoxHistory->SelectSilently(File);
  // The open chat is the selected item: above the page it has the title the sidebar gives it
  // (a new chat's first save names it after its question).
  if (const QListWidgetItem* Item = ListBoxHistory->ItemOf(File)) ShowChatTitle(Item->text());
  // No item is selected when a new chat starts: an old search would stand in for the list.
  if (File.isEmpty()) SearchBox->Clear();
  return Changed;
}

void TfrmMain::OpenURL(const std::string& AUrl) {
  const QString Text = QString::fromStdString(AUrl);
  const QUrl Url(Text);
  // A drive letter parses as a one-letter scheme; anything that exists on disk is a file.
  const bool IsAddress = Url.scheme().size() > 1 && !QFileInfo::exists(Text);
  if (QDesktopServices::openUrl(IsAddress ? Url : QUrl::fromLocalFile(Text))) return;
  // Nothing on this desktop opens it (no browser, no program for the file type): say so rather
  // than let the click seem lost.
  AlaramMessage(
      (IsAddress ? U("다음 주소를 열 수 없습니다. 기본 웹 브라우저가 설정되어 있는지 확인하세요.")
                 : U("다음 파일을 열 수 없습니다. 이 종류의 파일을 여는 프로그램이 설정되어 "
                     "있는지 확인하세요."))
          .toStdString() +
      "\r\n[" + AUrl + "]");
}

}  // namespace kestrill
