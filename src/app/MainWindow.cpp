#include "app/MainWindow.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/AttachmentPreview.h"
#include "engine/ChatArchive.h"
#include "app/HistoryList.h"
#include "app/SettingsDialog.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"
#include "core/Paths.h"

namespace kestrill {
namespace {

QString U(const char* AText) { return QString::fromUtf8(AText); }

QFont Arial(int ASize) {
  QFont F("Arial");
  F.setPointSize(ASize);
  return F;
}

// The chat is never narrower or lower than this, so the page and the buttons under it stay
// usable; the window's minimum size follows from these and the controls' own minimums.
constexpr int kChatMinWidth = 380;
constexpr int kPageMinHeight = 260;
// The bottom strip: 80 high for a short prompt, 80 more while the preview shows. The input box
// grows with its text up to kInputMaxLines lines.
constexpr int kBottomHeight = 80;
constexpr int kPreviewHeight = 80;
constexpr int kInputMaxLines = 8;
// What the strip holds around the text: its margins (4 + 8), the frame's (4 + 4), its border.
constexpr int kInputChrome = 22;

}  // namespace

TfrmMain::TfrmMain(QWidget* AParent) : QMainWindow(AParent) {
  setObjectName("frmMain");
  setWindowIcon(ProgramIcon());
  setWindowTitle(U("주식 챗봇 v0.5"));
  BuildControls();
  BuildMenus();
  move(90, 0);
  resize(1105, 660);

  // FormCreate: settings over the file in the data folder, the folder made, the page loaded.
  FConfig = std::make_unique<TConfig>(SettingsFilePath());
  CheckAndCreateDirectory(kProductName);
  LayoutPreview->hide();
  UpdateBottomHeight();
  FController = std::make_unique<TChatController>(*FConfig, *ChatWebBrowser, *this, *this, *this);
  FController->WriteInBackground();  // the save after each turn must not hold up the window
  ConnectControls();
  FController->FormCreate();
}

void TfrmMain::ConnectControls() {
  connect(ChatWebBrowser, &TChatWebView::DidFinishLoad, this, [this] {
    FController->ChatWebBrowserDidFinishLoad();
    if (std::getenv("KESTRILL_REPORT_READY")) {
      std::printf("ready\n");  // for the start-up benchmark
      std::fflush(stdout);
    }
  });
  connect(ChatWebBrowser, &TChatWebView::ShouldStartLoadWithRequest, this,
          [this](const QString& AUrl) {
            FController->ChatWebBrowserShouldStartLoadWithRequest(AUrl.toStdString());
          });
  connect(ChatWebBrowser, &TChatWebView::ExternalUrlRequested, this, [this](const QUrl& AUrl) {
    // Only web and mail addresses leave the page: a reply must not be able to open (and so run)
    // a file on this machine with one click.
    const QString Scheme = AUrl.scheme().toLower();
    if (Scheme == "http" || Scheme == "https" || Scheme == "mailto")
      OpenURL(AUrl.toString(QUrl::FullyEncoded).toStdString());
  });
  connect(Splitter1, &TSidebarSplitter::PanelShownWidthChanged, this, [this](int AWidth) {
    // The logo bar lines up with the sidebar; without one it keeps just its own width.
    ToolBarLogo->SetWantedWidth(AWidth > 0 ? AWidth + Splitter1->handleWidth() : 0);
  });
  connect(MemoInput, &QPlainTextEdit::textChanged, this, [this] { UpdateBottomHeight(); });
  connect(MemoInput->document()->documentLayout(),
          &QAbstractTextDocumentLayout::documentSizeChanged, this,
          [this] { UpdateBottomHeight(); });
  connect(btnSend, &QPushButton::clicked, this, [this] { btnSendOrStopClick(); });
  connect(sbNewChat, &QPushButton::clicked, this, [this] { NewChatClick(); });
  connect(sbSetting, &QPushButton::clicked, this, [this] { sbSettingClick(); });
  connect(sbAttach, &QToolButton::clicked, this, [this] { sbAttachClick(); });
  connect(LayoutPreview, &TAttachmentPreview::RemoveClicked, this,
          [this] { FController->ClearAttachment(); });

  // While a search is typed its hits take the chat list's place.
  connect(SearchBox, &TChatSearchBox::ActiveChanged, this, [this](bool AActive) {
    ListBoxHistory->setVisible(!AActive);
    if (auto* Left = qobject_cast<QVBoxLayout*>(LayoutLeftPanel->layout()))
      Left->setStretchFactor(SearchBox, AActive ? 1 : 0);
  });
  connect(SearchBox, &TChatSearchBox::ChatChosen, this,
          [this](const QString& AFileName, const QString& ATitle) {
            SelectHistoryItem(AFileName.toStdString());
            // The title the sidebar shows (a renamed chat's), so the two never disagree.
            const QListWidgetItem* Item = ListBoxHistory->ItemOf(AFileName);
            const QString Title = Item ? Item->text() : ATitle;
            FController->ListBoxHistoryChange(AFileName.toStdString(), Title.toStdString());
          });
  connect(ListBoxHistory, &THistoryList::ChatChosen, this,
          [this](const QString& AFileName, const QString& ATitle) {
            FController->ListBoxHistoryChange(AFileName.toStdString(), ATitle.toStdString());
          });
  connect(ListBoxHistory, &THistoryList::DeleteKeyPressed, this, [this](const QString& AFileName) {
    FTargetItem = AFileName;
    MenuItemDeleteClick();
  });
  connect(ListBoxHistory, &THistoryList::ItemMenuRequested, this,
          [this](const QString& AFileName, const QPoint& AMenuPos) {
            FTargetItem = AFileName;
            PopupMenu1->popup(AMenuPos);
          });
  connect(ListBoxHistory, &THistoryList::PointerInside, this,
          [this](bool AInside) { FInputMayTakeFocus = !AInside; });
}

TfrmMain::~TfrmMain() {
  // Destroyed without a close event (the program ended another way): the chat is saved all the
  // same. Nobody is left to answer a failed save, so it is let go.
  if (!FCloseAccepted) {
    FNoDialogs = true;
    FController->FormCloseQuery();
  }
  FController.reset();
}

void TfrmMain::BuildControls() {
  auto* Central = new QWidget(this);
  auto* Root = new QVBoxLayout(Central);
  Root->setContentsMargins(0, 0, 0, 0);
  Root->setSpacing(0);

  // Top bar: logo and name at the left, then the chat title and the two selectors.
  auto* TopLayout = new QWidget(Central);
  TopLayout->setObjectName("TopLayout");
  TopLayout->setFixedHeight(40);
  auto* Top = new QHBoxLayout(TopLayout);
  Top->setContentsMargins(0, 0, 6, 0);
  ToolBarLogo = new TLogoBar(TopLayout);
  ToolBarLogo->setObjectName("ToolBarLogo");
  auto* Logo = new QHBoxLayout(ToolBarLogo);
  Logo->setContentsMargins(6, 0, 0, 0);
  sbLogo = new QToolButton(ToolBarLogo);
  sbLogo->setObjectName("sbLogo");
  sbLogo->setIcon(ProgramIcon());
  sbLogo->setAutoRaise(true);
  // The small arrow says the logo opens a menu (the only way to the sidebar once it is hidden).
  sbLogo->setText(U("▾"));
  sbLogo->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  sbLogo->setToolTip(U("메뉴"));
  sbLogo->setFixedSize(std::max(44, sbLogo->sizeHint().width()), 34);
  auto* Name = new QLabel("Kestrill", ToolBarLogo);
  Name->setObjectName("lbName");
  Name->setFont(Arial(20));
  Logo->addWidget(sbLogo);
  Logo->addWidget(Name);
  Logo->addStretch();
  Top->addWidget(ToolBarLogo);
  lbChatTitle = new TElidedLabel(U("새 채팅"), TopLayout);
  lbChatTitle->setObjectName("lbChatTitle");
  lbChatTitle->setFont(Arial(14));
  lbChatTitle->setMaximumWidth(500);  // whole when it fits, shortened with "…" when not
  Top->addSpacing(20);
  Top->addWidget(lbChatTitle);
  Top->addStretch(1);
  cbxMode = new QComboBox(TopLayout);
  cbxMode->setObjectName("cbxMode");
  cbxMode->addItems({U("챗봇"), U("AI 에이전트")});
  cbxMode->setFixedWidth(138);
  cbxModels = new QComboBox(TopLayout);
  cbxModels->setObjectName("cbxModels");
  cbxModels->addItems({"Gemini", "ChatGPT", "Claude", "DeepSeek", "Ollama"});
  cbxModels->setFixedWidth(158);
  Top->addWidget(cbxMode);
  Top->addWidget(cbxModels);
  Root->addWidget(TopLayout);

  // Left panel (history) | splitter | chat.
  Splitter1 = new TSidebarSplitter(Central);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setHandleWidth(8);
  Splitter1->setChildrenCollapsible(false);
  LayoutLeftPanel = new QWidget(Splitter1);
  LayoutLeftPanel->setObjectName("LayoutLeftPanel");
  // No minimum of its own: its buttons' widths are the least it gets, never "새 채".
  LayoutLeftPanel->setAutoFillBackground(true);
  LayoutLeftPanel->setStyleSheet("#LayoutLeftPanel { background: #F8F8FF; }");
  auto* Left = new QVBoxLayout(LayoutLeftPanel);
  Left->setContentsMargins(10, 10, 10, 10);
  Left->setSpacing(10);
  sbNewChat =
      new QPushButton(style()->standardIcon(QStyle::SP_FileIcon), U("새 채팅"), LayoutLeftPanel);
  sbNewChat->setObjectName("sbNewChat");
  sbNewChat->setFixedHeight(35);
  sbNewChat->setFont(Arial(14));
  SearchBox = new TChatSearchBox(
      [this](const std::string& AQuery) -> TChatSearchBox::TSearchJob {
        // The catalogue is the UI thread's: the search thread gets a copy of its titles.
        return [Search = FSearch, Chats = SavedChatsOf(FController->Files()), AQuery](
                   std::stop_token AStop, const TChatSearch::TOnHits& AFound) {
          SearchSavedChats(*Search, Chats, AQuery, AStop, AFound);
        };
      },
      LayoutLeftPanel);
  ListBoxHistory = new THistoryList(LayoutLeftPanel);
  ListBoxHistory->setStyleSheet("QListWidget { background: transparent; border: none; }");
  sbSetting = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                              U("환경설정"), LayoutLeftPanel);
  sbSetting->setObjectName("sbSetting");
  sbSetting->setFixedHeight(35);
  sbSetting->setFont(Arial(14));
  Left->addWidget(sbNewChat);
  Left->addWidget(SearchBox);
  Left->addWidget(ListBoxHistory, 1);
  Left->addWidget(sbSetting);

  auto* LayoutMainChat = new QWidget(Splitter1);
  LayoutMainChat->setObjectName("LayoutMainChat");
  LayoutMainChat->setMinimumWidth(kChatMinWidth);
  auto* Chat = new QVBoxLayout(LayoutMainChat);
  Chat->setContentsMargins(0, 0, 0, 0);
  Chat->setSpacing(0);
  ChatWebBrowser = new TChatWebView(LayoutMainChat);
  ChatWebBrowser->setObjectName("ChatWebBrowser");
  ChatWebBrowser->setMinimumHeight(kPageMinHeight);
  Chat->addWidget(ChatWebBrowser, 1);
  lbStatus = new TStatusToast(ChatWebBrowser);
  LayoutBottom = new QWidget(LayoutMainChat);
  LayoutBottom->setObjectName("LayoutBottom");
  LayoutBottom->setFixedHeight(140);
  // White like the page above it, so the grey file box of the preview stands out.
  LayoutBottom->setAutoFillBackground(true);
  QPalette BottomPalette = LayoutBottom->palette();
  BottomPalette.setColor(QPalette::Window, Qt::white);
  LayoutBottom->setPalette(BottomPalette);
  auto* Bottom = new QVBoxLayout(LayoutBottom);
  Bottom->setContentsMargins(8, 4, 8, 8);
  LayoutPreview = new TAttachmentPreview(LayoutBottom);
  Bottom->addWidget(LayoutPreview);
  FrameRect = new QFrame(LayoutBottom);
  FrameRect->setObjectName("FrameRect");
  FrameRect->setStyleSheet(
      "#FrameRect { background: white; border: 1px solid #CCCCCC; border-radius: 15px; }");
  auto* Input = new QHBoxLayout(FrameRect);
  Input->setContentsMargins(6, 4, 6, 4);
  sbAttach = new QToolButton(FrameRect);
  sbAttach->setObjectName("sbAttach");
  sbAttach->setFixedWidth(40);
  sbAttach->setAutoRaise(true);
  sbAttach->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  sbAttach->setToolTip(U("이미지 또는 파일 첨부"));
  sbAttach->setFocusPolicy(Qt::NoFocus);
  QFont Mark = sbAttach->font();  // the check mark shown while a file waits must read at a glance
  Mark.setPointSize(16);
  Mark.setBold(true);
  sbAttach->setFont(Mark);
  MemoInput = new QPlainTextEdit(FrameRect);
  MemoInput->setObjectName("MemoInput");
  MemoInput->setFrameShape(QFrame::NoFrame);
  // As large as the page's bubbles, so the question reads the same before and after sending.
  QFont InputFont = MemoInput->font();
  InputFont.setPixelSize(15);
  MemoInput->setFont(InputFont);
  // It grows with its text (UpdateBottomHeight); past its tallest it scrolls.
  MemoInput->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  MemoInput->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  MemoInput->setPlaceholderText(U("질문을 입력하세요 · Shift+Enter 줄바꿈"));
  MemoInput->setTabChangesFocus(true);
  MemoInput->installEventFilter(this);
  btnSend = new QPushButton(U("전송"), FrameRect);
  btnSend->setObjectName("btnSend");
  btnSend->setFixedWidth(80);
  // Tab from the input box lands here; the ring shows it, as the platform style may not.
  btnSend->setStyleSheet(
      "#btnSend { background: #F2F2F7; border: 1px solid #C7C7CC; border-radius: 6px;"
      " padding: 5px 8px; }"
      "#btnSend:hover { background: #E5E5EA; }"
      "#btnSend:pressed { background: #D1D1D6; }"
      "#btnSend:disabled { color: #AEAEB2; }"
      "#btnSend:focus { border: 2px solid #1A73E8; padding: 4px 7px; }");
  btnSend->setToolTip(U("[실행: Enter] , [프롬프트 추가: Shift+Enter, Ctrl+Enter]"));
  Input->addWidget(sbAttach);
  Input->addWidget(MemoInput, 1);
  Input->addWidget(btnSend);
  Bottom->addWidget(FrameRect, 1);
  Chat->addWidget(LayoutBottom);

  Splitter1->addWidget(LayoutLeftPanel);
  Splitter1->addWidget(LayoutMainChat);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({TSidebarSplitter::kDefaultPanelWidth, 855});
  Root->addWidget(Splitter1, 1);
  setCentralWidget(Central);
}

void TfrmMain::BuildMenus() {
  PopupLogo = new QMenu(this);
  PopupLogo->setObjectName("PopupLogo");
  // With the sidebar hidden its two buttons are here.
  MenuNewChat = PopupLogo->addAction(U("새 채팅"));
  MenuNewChat->setObjectName("MenuNewChat");
  connect(MenuNewChat, &QAction::triggered, this, [this] { NewChatClick(); });
  MenuSidebar = PopupLogo->addAction(U("사이드바"));
  MenuSidebar->setObjectName("MenuSidebar");
  MenuSidebar->setCheckable(true);
  MenuSidebar->setChecked(true);
  connect(MenuSidebar, &QAction::triggered, this, [this] { MenuSidebarClick(); });
  MenuOpenPrompt = PopupLogo->addAction(U("프롬프트 파일 열기"));
  MenuOpenPrompt->setObjectName("MenuOpenPrompt");
  MenuOpenPrompt->setShortcut(QKeySequence("Ctrl+O"));
  connect(MenuOpenPrompt, &QAction::triggered, this, [this] { MenuOpenPromptClick(); });
  MenuSaveChat = PopupLogo->addAction(U("채팅 저장"));
  MenuSaveChat->setObjectName("MenuSaveChat");
  MenuSaveChat->setShortcut(QKeySequence("Ctrl+S"));
  connect(MenuSaveChat, &QAction::triggered, this, [this] { FController->MenuSaveChatClick(); });
  PopupLogo->addSeparator();
  MenuSetting = PopupLogo->addAction(U("환경설정"));
  MenuSetting->setObjectName("MenuSetting");
  connect(MenuSetting, &QAction::triggered, this, [this] { sbSettingClick(); });
  // A shortcut of an action that lives only in a closed popup never fires; on the window it
  // works wherever the focus is, the page included.
  for (QAction* A : {MenuOpenPrompt, MenuSaveChat}) {
    A->setShortcutContext(Qt::WindowShortcut);
    addAction(A);
  }
  connect(sbLogo, &QToolButton::clicked, this, [this] {
    PopupLogo->popup(sbLogo->mapToGlobal(QPoint(sbLogo->width(), sbLogo->height())));
  });

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  MenuItemReRun = PopupMenu1->addAction(U("다시 실행"));
  MenuItemReRun->setObjectName("MenuItemReRun");
  connect(MenuItemReRun, &QAction::triggered, this, [this] { MenuItemReRunClick(); });
  MenuItemEdit = PopupMenu1->addAction(U("제목 편집"));
  MenuItemEdit->setObjectName("MenuItemEdit");
  connect(MenuItemEdit, &QAction::triggered, this, [this] { MenuItemEditClick(); });
  MenuItemDelete = PopupMenu1->addAction(U("삭제"));
  MenuItemDelete->setObjectName("MenuItemDelete");
  connect(MenuItemDelete, &QAction::triggered, this, [this] { MenuItemDeleteClick(); });
  PopupMenu1->addSeparator()->setEnabled(false);
  MenuItemOpen = PopupMenu1->addAction(U("채팅 파일 열기"));
  MenuItemOpen->setObjectName("MenuItemOpen");
  connect(MenuItemOpen, &QAction::triggered, this, [this] { MenuItemOpenClick(); });
  MenuItemExport = PopupMenu1->addAction(U("내보내기"));
  MenuItemExport->setObjectName("MenuItemExport");
  connect(MenuItemExport, &QAction::triggered, this, [this] { MenuItemExportClick(); });

  ActCopy = new QAction("Copy", this);
  ActCopy->setObjectName("ActCopy");
  ActCopy->setShortcut(QKeySequence("Ctrl+C"));
  connect(ActCopy, &QAction::triggered, this, [this] { ActCopyExecute(); });
  addAction(ActCopy);
  // Escape stops a running turn wherever the focus is, the page included.
  ActStop = new QAction(this);
  ActStop->setObjectName("ActStop");
  ActStop->setShortcut(QKeySequence(Qt::Key_Escape));
  ActStop->setShortcutContext(Qt::WindowShortcut);
  connect(ActStop, &QAction::triggered, this, [this] { ActStopExecute(); });
  addAction(ActStop);
  ActClearHistory = new QAction(this);
  ActClearHistory->setObjectName("ActClearHistory");
  ActClearHistory->setShortcut(QKeySequence("Ctrl+Del"));
  connect(ActClearHistory, &QAction::triggered, this, [this] { ActClearHistoryExecute(); });
  addAction(ActClearHistory);
}

void TfrmMain::showEvent(QShowEvent* AEvent) {
  QMainWindow::showEvent(AEvent);
  if (FShown) return;
  FShown = true;
  ReadConfig();
  FController->FormShow();
  FocusInput();
}

void TfrmMain::closeEvent(QCloseEvent* AEvent) {
  // The running turn is stopped and the open chat saved; a failed save may keep the window.
  if (!FController->FormCloseQuery()) {
    AEvent->ignore();
    return;
  }
  FCloseAccepted = true;
  try {
    WriteConfig();
  } catch (const EIniFileException& E) {
    std::cerr << E.what() << '\n';  // the window closes anyway
  }
  AEvent->accept();
}

bool TfrmMain::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == MemoInput && AEvent->type() == QEvent::ShortcutOverride &&
      static_cast<QKeyEvent*>(AEvent)->matches(QKeySequence::DeleteEndOfWord)) {
    // In the input box Ctrl+Delete deletes the next word, as in every text box; the clear
    // command's shortcut works everywhere else.
    AEvent->accept();
    return true;
  }
  if (AWatched == MemoInput && AEvent->type() == QEvent::KeyPress) {
    auto* Key = static_cast<QKeyEvent*>(AEvent);
    if (Key->key() == Qt::Key_Return || Key->key() == Qt::Key_Enter) {
      // Shift+Return and Ctrl+Return add a line, as the send button's hint says.
      if (Key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) {
        MemoInput->insertPlainText("\n");
        return true;
      }
      FController->MemoInputReturnPressed(false);  // never while a turn runs
      RefreshSendButton();
      MemoInput->moveCursor(QTextCursor::Start);
      return true;
    }
  }
  return QMainWindow::eventFilter(AWatched, AEvent);
}

void TfrmMain::ReadConfig() {
  const TConfig& C = *FConfig;
  move(C.Read(keys::Left, x()), C.Read(keys::Top, y()));
  resize(C.Read(keys::Width, width()), C.Read(keys::Height, height()));
  double FontSize = C.Read(keys::FontSize, 0.0);
  if (FontSize > 0) {
    QFont F = MemoInput->font();
    F.setPointSizeF(FontSize);
    MemoInput->setFont(F);
  }
  ListBoxHistory->setStyleSheet(ListBoxHistory->styleSheet() +
                                " QListWidget::item { height: 25px; }");
  Splitter1->SetPanelWidth(static_cast<int>(
      C.Read(keys::LeftLayoutWidth, static_cast<double>(Splitter1->PanelWidth()))));
  cbxModels->setCurrentIndex(C.Read(keys::Selected, 0));
  cbxMode->setCurrentIndex(C.Read(keys::Mode, 1));
  MenuSidebar->setChecked(C.Read(keys::Sidebar, true));
  // The panel follows the restored check, so the item and the panel never disagree.
  LayoutLeftPanel->setVisible(MenuSidebar->isChecked());
  Splitter1->Apply();
}

void TfrmMain::WriteConfig() {
  TConfig& C = *FConfig;
  C.Write(keys::Left, x());
  C.Write(keys::Top, y());
  C.Write(keys::Width, width());
  C.Write(keys::Height, height());
  // The width the user chose, also while the panel is hidden or squeezed by a narrow window.
  C.Write(keys::LeftLayoutWidth, static_cast<double>(Splitter1->PanelWidth()));
  C.Write(keys::Selected, cbxModels->currentIndex());
  C.Write(keys::Mode, cbxMode->currentIndex());
  C.Write(keys::Sidebar, MenuSidebar->isChecked());
}

}  // namespace kestrill

namespace kestrill {

void TfrmMain::UpdateBottomHeight() {
  const QTextDocument* Doc = MemoInput->document();
  // A plain text document's layout counts its height in lines, wrapped lines included.
  const int Lines = std::clamp(static_cast<int>(Doc->documentLayout()->documentSize().height()), 1,
                               kInputMaxLines);
  // A line is as high as the layout makes it, which may differ from the font's line spacing;
  // the first block may not be laid out yet, and the whole-pixel spacing is then the closer
  // guess (a fractional one would shrink the box for a moment as text is added).
  const QTextLayout* First = Doc->firstBlock().layout();
  const qreal Spacing = QFontMetrics(MemoInput->font()).lineSpacing();
  const qreal LineHeight =
      First && First->lineCount() > 0 ? std::max(Spacing, First->lineAt(0).height()) : Spacing;
  const int TextHeight = static_cast<int>(std::ceil(Lines * LineHeight)) + 1 +
                         2 * static_cast<int>(Doc->documentMargin()) + 2 * MemoInput->frameWidth();
  const int Preview = LayoutPreview->isVisibleTo(LayoutBottom) ? kPreviewHeight : 0;
  int Height = std::max(kBottomHeight, TextHeight + kInputChrome) + Preview;
  // A growing input box does not push the page under its minimum, nor the window taller.
  if (isVisible())
    Height = std::min(Height, std::max(kBottomHeight + Preview,
                                       LayoutBottom->parentWidget()->height() - kPageMinHeight));
  if (Height != LayoutBottom->maximumHeight()) LayoutBottom->setFixedHeight(Height);
}

}  // namespace kestrill
