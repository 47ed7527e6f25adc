// The window as a person meets it, under Xvfb with the real web engine: the logo menu and the
// sidebar in every state and across restarts, the chat title's width, the window's minimum size,
// Ctrl+Delete in and out of the input box, the growing input box, masked keys. With
// KESTRILL_SCREENSHOT_DIR set it also leaves screenshots of the window.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"
#include "core/Config.h"
#include "core/Paths.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

QString Q(const char* AUtf8) { return QString::fromUtf8(AUtf8); }

QVariant RunJs(TfrmMain& AWindow, const QString& AScript) {
  auto* View = AWindow.findChild<TChatWebView*>("ChatWebBrowser");
  QVariant Result;
  bool Done = false;
  View->page()->runJavaScript(AScript, [&](const QVariant& V) {
    Result = V;
    Done = true;
  });
  QElapsedTimer T;
  T.start();
  while (!Done && T.elapsed() < 10000) QTest::qWait(10);
  return Result;
}

template <class T = QWidget>
T* Find(TfrmMain& W, const char* AName) {
  return W.findChild<T*>(AName);
}

// Whether AWidget is shown, lies wholly inside the window and has at least the width its
// contents need (a button cut to "새 채" fails this).
bool WholeOnScreen(TfrmMain& W, QWidget* AWidget) {
  if (!AWidget->isVisible() || AWidget->width() <= 0) return false;
  const QRect R(AWidget->mapTo(&W, QPoint(0, 0)), AWidget->size());
  return W.rect().contains(R) && AWidget->width() >= AWidget->minimumSizeHint().width();
}

const char* const kControls[] = {"sbLogo",  "lbName",   "cbxMode",  "cbxModels",
                                 "btnSend", "sbAttach", "MemoInput"};
const char* const kPanelControls[] = {"sbNewChat", "sbSetting"};

}  // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<TFakeHttpServer> FServer;
  TfrmMain::TDialogScript FDialogs;

  std::unique_ptr<TfrmMain> OpenWindow(QSize ASize = {1366, 900}) {
    auto W = std::make_unique<TfrmMain>();
    W->SetDialogScript(&FDialogs);
    W->show();
    W->resize(ASize);
    W->activateWindow();
    [&] {
      QTRY_VERIFY_WITH_TIMEOUT(Find<QPushButton>(*W, "btnSend")->isEnabled(), 20000);
      QVERIFY(QTest::qWaitForWindowActive(W.get()));
    }();
    return W;
  }

  // Opens the logo menu with a click on the logo, as the user would, and clicks the sidebar
  // item in it.
  void ToggleSidebarFromLogo(TfrmMain& W) {
    auto* Logo = Find<QToolButton>(W, "sbLogo");
    QVERIFY(WholeOnScreen(W, Logo));
    QTest::mouseClick(Logo, Qt::LeftButton);
    auto* Menu = Find<QMenu>(W, "PopupLogo");
    QTRY_VERIFY(Menu->isVisible());
    auto* Item = W.findChild<QAction*>("MenuSidebar");
    QTest::mouseClick(Menu, Qt::LeftButton, {}, Menu->actionGeometry(Item).center());
    QTRY_VERIFY(!Menu->isVisible());
  }

  void ChatTurn(TfrmMain& W, const QString& APrompt) {
    auto* Memo = Find<QPlainTextEdit>(W, "MemoInput");
    const std::size_t Before = W.Controller().ChatHistory().size();
    Memo->setPlainText(APrompt);
    QTest::keyClick(Memo, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W.Controller().ChatHistory().size(), Before + 2, 10000);
  }

  // Everything the user needs is whole on screen; the sidebar's buttons when it shows.
  void CheckReachable(TfrmMain& W) {
    for (const char* Name : kControls) QVERIFY2(WholeOnScreen(W, Find(W, Name)), Name);
    const bool Sidebar = Find(W, "LayoutLeftPanel")->isVisible();
    QCOMPARE(Sidebar, W.findChild<QAction*>("MenuSidebar")->isChecked());
    if (Sidebar)
      for (const char* Name : kPanelControls) QVERIFY2(WholeOnScreen(W, Find(W, Name)), Name);
  }

 private slots:
  void init() {
    FDialogs = {};
    UseFreshDataFolder();
    FServer = std::make_unique<TFakeHttpServer>();
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"답"}}]})"});
    setenv("KESTRILL_OPENAI_URL", FServer->BaseUrl().c_str(), 1);
    TConfig C(SettingsFilePath());
    C.Write(keys::OpenAIKey, "sk-test");
    C.Write(keys::Selected, 1);
    C.Write(keys::Mode, 0);
  }

  void cleanup() {
    QCursor::setPos(5, 795);
    unsetenv("KESTRILL_OPENAI_URL");
    FServer.reset();
  }

  void hidingAndShowingTheSidebarKeepsTheLogo() {
    auto W = OpenWindow();
    auto* Panel = Find(*W, "LayoutLeftPanel");
    QCOMPARE(Panel->width(), 250);
    CheckReachable(*W);
    for (int Round = 0; Round < 2; ++Round) {
      ToggleSidebarFromLogo(*W);
      QTRY_VERIFY(!Panel->isVisible());
      CheckReachable(*W);
      ToggleSidebarFromLogo(*W);
      QTRY_VERIFY(Panel->isVisible());
      QTRY_COMPARE(Panel->width(), 250);  // back at the width it had
      CheckReachable(*W);
      // The logo bar lines up with the sidebar again.
      QTRY_COMPARE(Find(*W, "ToolBarLogo")->width(),
                   Panel->width() + Find<QSplitter>(*W, "Splitter1")->handleWidth());
    }
  }

  void savedLayoutsAlwaysReachTheMenu_data() {
    QTest::addColumn<double>("SavedWidth");
    QTest::addColumn<bool>("Sidebar");
    QTest::addColumn<int>("Shown");  // the panel's width once it shows
    QTest::newRow("dragged to the handle, hidden") << 2.0 << false << 250;
    QTest::newRow("dragged to the handle, shown") << 2.0 << true << 250;
    QTest::newRow("zero") << 0.0 << true << 250;
    QTest::newRow("usable width, hidden") << 320.0 << false << 320;
  }

  void savedLayoutsAlwaysReachTheMenu() {
    QFETCH(double, SavedWidth);
    QFETCH(bool, Sidebar);
    QFETCH(int, Shown);
    {
      TConfig C(SettingsFilePath());
      C.Write(keys::LeftLayoutWidth, SavedWidth);
      C.Write(keys::Sidebar, Sidebar);
    }
    auto W = OpenWindow();
    auto* Panel = Find(*W, "LayoutLeftPanel");
    QCOMPARE(Panel->isVisible(), Sidebar);
    CheckReachable(*W);
    if (!Sidebar) ToggleSidebarFromLogo(*W);  // "새 채팅" and "환경설정" are one click away
    QTRY_VERIFY(Panel->isVisible());
    QTRY_COMPARE(Panel->width(), Shown);
    CheckReachable(*W);
    W->close();
    // What is written back is a width the panel can be shown at.
    QCOMPARE(TConfig(SettingsFilePath()).Read(keys::LeftLayoutWidth, 0.0), double(Shown));
  }

  void closedWithoutTheSidebarStartsWithTheLogo() {
    {
      auto W = OpenWindow();
      ToggleSidebarFromLogo(*W);
      QTRY_VERIFY(!Find(*W, "LayoutLeftPanel")->isVisible());
      W->close();
    }
    QCOMPARE(TConfig(SettingsFilePath()).Read(keys::Sidebar, true), false);
    auto W = OpenWindow();
    QVERIFY(!Find(*W, "LayoutLeftPanel")->isVisible());
    CheckReachable(*W);
    ToggleSidebarFromLogo(*W);
    QTRY_VERIFY(Find(*W, "LayoutLeftPanel")->isVisible());
    QTRY_COMPARE(Find(*W, "LayoutLeftPanel")->width(), 250);
    CheckReachable(*W);
  }

  void minimumSizeCutsNothing_data() {
    QTest::addColumn<bool>("Sidebar");
    QTest::newRow("with the sidebar") << true;
    QTest::newRow("without the sidebar") << false;
  }

  void minimumSizeCutsNothing() {
    QFETCH(bool, Sidebar);
    TConfig(SettingsFilePath()).Write(keys::Sidebar, Sidebar);
    auto W = OpenWindow();
    W->resize(1, 1);  // as small as it lets itself be made
    QTRY_COMPARE(W->size(), W->minimumSizeHint());
    QVERIFY(W->width() >= 400 && W->width() <= 800);
    QVERIFY(W->height() >= 300 && W->height() <= 600);
    QTest::qWait(50);
    CheckReachable(*W);
    QVERIFY(Find(*W, "ChatWebBrowser")->height() >= 260);
    QVERIFY(Find(*W, "LayoutMainChat")->width() >= 380);
  }

  void aNarrowerWindowShrinksTheSidebarFirst() {
    auto W = OpenWindow();
    auto* Panel = Find(*W, "LayoutLeftPanel");
    auto* Chat = Find(*W, "LayoutMainChat");
    QTRY_COMPARE(Panel->width(), 250);
    const int Min = Panel->minimumSizeHint().width();
    // Narrower, but the chat still has its room: only the sidebar gives way.
    W->resize(Min + 8 + 560 + 60, 700);
    QTRY_COMPARE(Chat->width(), 560);
    QVERIFY(Panel->width() < 250 && Panel->width() >= Min);
    // Narrower still: the sidebar is at its least, and now the chat shrinks.
    W->resize(Min + 8 + 450, 700);
    QTRY_COMPARE(Panel->width(), Min);
    QVERIFY(Chat->width() < 560);
    CheckReachable(*W);
    // Wide again: the sidebar comes back at the width the user gave it.
    W->resize(1366, 900);
    QTRY_COMPARE(Panel->width(), 250);
  }

  void chatTitleShowsWholeOrShortened() {
    auto W = OpenWindow();
    auto* Title = Find<TElidedLabel>(*W, "lbChatTitle");
    QTest::mouseClick(Find(*W, "sbNewChat"), Qt::LeftButton);
    const QString Time = Title->text();
    QVERIFY(Time.endsWith(Q(" 의 대화")));
    QTRY_VERIFY(Title->width() >= Title->sizeHint().width());
    QCOMPARE(Title->ShownText(), Time);

    const QString Long =
        Q("삼성전자와 SK하이닉스의 2025년 4분기 실적과 내년 반도체 업황 전망 비교");
    W->SetChatTitle(Long.toStdString());
    QTRY_COMPARE(Title->width(), 500);  // as wide as it may be
    QVERIFY(Title->ShownText().endsWith(Q("…")));
    W->resize(1, 1);
    QTRY_COMPARE(W->size(), W->minimumSizeHint());
    QTest::qWait(50);
    QVERIFY(Title->width() >= Title->minimumSizeHint().width());
    QVERIFY(Title->minimumSizeHint().width() > 20);
    const QString Shown = Title->ShownText();
    QVERIFY2(Shown.endsWith(Q("…")) && Long.startsWith(Shown.chopped(1)), qPrintable(Shown));
    QCOMPARE(Title->text(), Long);  // shortened on screen only
    // It never runs under the drop-downs.
    QVERIFY(Title->geometry().right() < Find(*W, "cbxMode")->geometry().left());
  }

  void ctrlDeleteAsksFirstAndLeavesTheInputBoxItsWord_data() {
    QTest::addColumn<QString>("FocusOn");
    QTest::addColumn<bool>("Answer");
    QTest::addColumn<bool>("Cleared");
    QTest::newRow("input box") << "MemoInput" << true << false;
    QTest::newRow("page, yes") << "ChatWebBrowser" << true << true;
    QTest::newRow("page, no") << "ChatWebBrowser" << false << false;
    QTest::newRow("history list, yes") << "ListBoxHistory" << true << true;
  }

  void ctrlDeleteAsksFirstAndLeavesTheInputBoxItsWord() {
    QFETCH(QString, FocusOn);
    QFETCH(bool, Answer);
    QFETCH(bool, Cleared);
    auto W = OpenWindow();
    ChatTurn(*W, Q("삼성전자 주가"));
    QTRY_COMPARE(RunJs(*W, "document.querySelectorAll('.msg').length").toInt(), 2);
    auto* Memo = Find<QPlainTextEdit>(*W, "MemoInput");
    Memo->setPlainText(Q("삼성전자 주가 알려줘"));
    Memo->moveCursor(QTextCursor::Start);
    auto* Target = W->findChild<QWidget*>(FocusOn);
    Target->setFocus();
    QTRY_VERIFY(Target->hasFocus());
    FDialogs.Answers = {Answer};

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete, Qt::ControlModifier);

    if (FocusOn == "MemoInput") {
      QVERIFY(FDialogs.Questions.empty());
      QCOMPARE(Memo->toPlainText(), Q("주가 알려줘"));  // the next word went
    } else {
      QCOMPARE(FDialogs.Questions, std::vector<std::string>{"대화 내용을 모두 지우시겠습니까?"});
      QCOMPARE(Memo->toPlainText(), Q("삼성전자 주가 알려줘"));
    }
    QCOMPARE(W->Controller().ChatHistory().empty(), Cleared);
    QTRY_COMPARE(RunJs(*W, "document.querySelectorAll('.msg').length").toInt(), Cleared ? 0 : 2);
  }

  void inputBoxGrowsThenScrolls() {
    auto W = OpenWindow();
    auto* Memo = Find<QPlainTextEdit>(*W, "MemoInput");
    auto* Bottom = Find(*W, "LayoutBottom");
    QCOMPARE(Memo->placeholderText(), Q("질문을 입력하세요 · Shift+Enter 줄바꿈"));
    QCOMPARE(Bottom->height(), 80);
    const int Line = Memo->fontMetrics().lineSpacing();
    QStringList Lines;
    int Last = Bottom->height();
    for (int N = 2; N <= 12; ++N) {
      Lines.clear();
      for (int I = 1; I <= N; ++I) Lines << QString("line %1").arg(I);
      Memo->setPlainText(Lines.join('\n'));
      QTest::qWait(20);
      QVERIFY(Bottom->height() >= Last);  // never shrinks while text is added
      Last = Bottom->height();
      // Every line is in view up to eight; from then on the box scrolls.
      if (N <= 8)
        QTRY_COMPARE(Memo->verticalScrollBar()->maximum(), 0);
      else
        QTRY_VERIFY(Memo->verticalScrollBar()->maximum() > 0);
    }
    QVERIFY(Memo->height() >= 8 * Line);
    QVERIFY(Find(*W, "ChatWebBrowser")->height() >= 260);
    Memo->clear();
    QTRY_COMPARE(Bottom->height(), 80);

    // Tab moves on; it never puts a tab character into the prompt.
    Memo->setFocus();
    QTRY_VERIFY(Memo->hasFocus());
    QTest::keyClick(Memo, Qt::Key_Tab);
    QVERIFY(!Memo->hasFocus());
    QCOMPARE(Memo->toPlainText(), QString());
  }

  void keysAreMaskedAndShownWhileHeld() {
    TConfig C(SettingsFilePath());
    C.Write(keys::GeminiKey, "gm-secret");
    C.Write(keys::OllamaURL, "http://127.0.0.1:11434/api/chat");
    TfrmSetting D(C, nullptr);
    D.show();
    QVERIFY(QTest::qWaitForWindowExposed(&D));
    for (const char* Name : {"edGeminiKey", "edChatGPTKey", "edClaudeKey", "edDeepseekKey",
                             "edWebSearchKey", "edDartKey", "edKRXKey"}) {
      auto* Edit = D.findChild<QLineEdit*>(Name);
      QCOMPARE(Edit->echoMode(), QLineEdit::Password);
      auto* Eye = D.findChild<QToolButton*>(QString(Name) + "Show");
      QVERIFY2(Eye && Eye->isVisible(), Name);
      QTest::mousePress(Eye, Qt::LeftButton);
      QCOMPARE(Edit->echoMode(), QLineEdit::Normal);
      QTest::mouseRelease(Eye, Qt::LeftButton);
      QCOMPARE(Edit->echoMode(), QLineEdit::Password);
    }
    QCOMPARE(D.findChild<QLineEdit*>("edGeminiKey")->text(), QString("gm-secret"));
    QCOMPARE(D.findChild<QLineEdit*>("edOllamaURL")->echoMode(), QLineEdit::Normal);
  }

  // Not a test: the window as it looks, for a person to judge.
  void screenshots() {
    const char* Dir = std::getenv("KESTRILL_SCREENSHOT_DIR");
    if (!Dir) QSKIP("set KESTRILL_SCREENSHOT_DIR to keep screenshots");
    std::filesystem::create_directories(Dir);
    auto W = OpenWindow();
    W->move(0, 0);
    ChatTurn(*W, Q("삼성전자와 SK하이닉스 주가를 비교해 줘"));
    auto* View = Find<TChatWebView>(*W, "ChatWebBrowser");
    AddMessageToWeb(*View, "🔍 주식 정보 검색 중: \"005930.KS\"", "", false, "");
    AddMessageToWeb(
        *View,
        "## 비교\n\n| 종목 | 현재가 | 등락 |\n|:---|---:|---:|\n| 삼성전자 | 80,900원 | "
        "+0.5% |\n| SK하이닉스 | 182,000원 | -1.2% |\n\n삼성전자는 메모리 반도체 "
        "업황 회복에 힘입어 실적이 개선되고 있습니다.",
        "", false, "m1");
    AddMessageToWeb(*View, "OpenAI 에러: Incorrect API key provided", "", false, "");
    AddMessageToWeb(*View, "중지되었습니다.", "", false, "");
    W->SetChatTitle("12-10 15:07 의 대화");
    struct TShot {
      const char* Name;
      bool Sidebar;
      bool Minimum;
    };
    for (const TShot& S : {TShot{"window-1366x900.png", true, false},
                           TShot{"window-1366x900-nosidebar.png", false, false},
                           TShot{"window-minimum.png", true, true},
                           TShot{"window-minimum-nosidebar.png", false, true}}) {
      if (Find(*W, "LayoutLeftPanel")->isVisible() != S.Sidebar) ToggleSidebarFromLogo(*W);
      W->resize(S.Minimum ? QSize(1, 1) : QSize(1366, 900));
      QTest::qWait(1200);
      const QRect G = W->geometry();
      const QString Crop =
          QString("%1x%2+%3+%4").arg(G.width()).arg(G.height()).arg(G.x()).arg(G.y());
      const std::string Command = "import -window root -crop " + Crop.toStdString() + " '" +
                                  std::string(Dir) + "/" + S.Name + "'";
      QCOMPARE(std::system(Command.c_str()), 0);
    }
  }
};

int main(int argc, char** argv) {
  setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);
  kestrill::RegisterChatUiScheme();
  QApplication App(argc, argv);
  WindowLayoutTest Test;
  return QTest::qExec(&Test, argc, argv);
}

#include "WindowLayoutTest.moc"
