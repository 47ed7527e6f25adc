// The real window under Xvfb with the real web engine: chatbot turns end to end against a
// provider on 127.0.0.1, the keys of the input box, layout restore, the dialogs, the history
// sidebar and its menus, the shortcuts, the attachment preview.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWebEnginePage>
#include <algorithm>
#include <filesystem>

#include "FakeHttpServer.h"
#include "ScriptedServer.h"
#include "TestEnv.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "app/TextEditorDialog.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "core/Paths.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

// Runs AScript in the window's page and returns its result.
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

QString Bubbles(TfrmMain& W) {
  return RunJs(W,
               "[...document.querySelectorAll('.msg')].map(m => "
               "(m.classList.contains('user-msg') ? 'U:' : 'M:') + m.innerText.trim()).join('|')")
      .toString();
}

QString Q(const char* AUtf8) { return QString::fromUtf8(AUtf8); }

std::optional<TJson> ReadJsonFile(const std::string& APath) {
  auto Bytes = ReadFileBytes(APath);
  if (!Bytes) return std::nullopt;
  std::string_view Text = *Bytes;
  if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
  return ParseJson(Text);
}

QListWidget* List(TfrmMain& W) { return W.findChild<QListWidget*>("ListBoxHistory"); }

QStringList ItemTexts(TfrmMain& W) {
  QStringList R;
  for (int I = 0; I < List(W)->count(); ++I) R << List(W)->item(I)->text();
  return R;
}

void ClickItem(TfrmMain& W, int ARow) {
  QListWidget* L = List(W);
  QTest::mouseClick(L->viewport(), Qt::LeftButton, {}, L->visualItemRect(L->item(ARow)).center());
}

// Hovers the item of ARow and clicks its "..." button; the chat item menu is then open.
QMenu* OpenItemMenu(TfrmMain& W, int ARow) {
  QListWidget* L = List(W);
  auto* Btn = W.findChild<QPushButton*>("ActionBtn");
  const QRect R = L->visualItemRect(L->item(ARow));
  // From elsewhere, so the item is newly hovered even when the pointer was left on it; again
  // while unseen, as a window a modal dialog just left may miss the first move.
  auto Hover = [&] {
    if (Btn->isVisible()) return true;
    QTest::mouseMove(W.findChild<QWidget*>("sbNewChat"));
    QTest::mouseMove(L->viewport(), R.center());
    return Btn->isVisible();
  };
  [&] {
    QTRY_VERIFY(Hover());
    QCOMPARE(Btn->geometry(), QRect(R.right() - 29, R.top(), 30, R.height()));
  }();
  QTest::mouseClick(Btn, Qt::LeftButton);
  auto* Menu = W.findChild<QMenu*>("PopupMenu1");
  [&] { QTRY_VERIFY(Menu->isVisible()); }();
  return Menu;
}

void ClickMenuItem(QMenu* AMenu, const char* AName) {
  auto* Action = AMenu->findChild<QAction*>(AName);
  if (!Action) Action = AMenu->parent()->findChild<QAction*>(AName);
  QTest::mouseClick(AMenu, Qt::LeftButton, {}, AMenu->actionGeometry(Action).center());
}

// Clicks the element ASelector names with the mouse, as the user would: some things (an
// external program for a mail link) are only done for a real gesture.
void ClickInPage(TfrmMain& W, const QString& ASelector) {
  const QVariantList Box =
      RunJs(W, "(() => { const e = document.querySelector('" + ASelector +
                   "'); e.scrollIntoView(); const r = e.getBoundingClientRect();"
                   "return [r.x + r.width / 2, r.y + r.height / 2]; })()")
          .toList();
  QVERIFY2(Box.size() == 2, qPrintable(ASelector));
  auto* View = W.findChild<TChatWebView*>("ChatWebBrowser");
  QTest::mouseClick(View->focusProxy(), Qt::LeftButton, {}, QPoint(Box[0].toInt(), Box[1].toInt()));
}

QPushButton* SendButton(TfrmMain& W) { return W.findChild<QPushButton*>("btnSend"); }

// An OpenAI reply asking for a chart of three prices.
std::string ChartCallReply() {
  TJson Args = TJson::object();
  Args["chartTitle"] = "삼성전자 5일";
  Args["timestamps"] = "[1769353200, 1769958000, 1770562800]";
  Args["prices"] = "[61400, 56200, 57400]";
  TJson Call = TJson::object();
  Call["id"] = "c1";
  Call["type"] = "function";
  Call["function"] = TJson{{"name", "draw_stock_chart"}, {"arguments", Args.dump()}};
  TJson Message = TJson::object();
  Message["content"] = nullptr;
  Message["tool_calls"] = TJson::array({Call});
  TJson Reply = TJson::object();
  Reply["choices"] = TJson::array({TJson{{"message", Message}}});
  return Reply.dump();
}

// A whole HTTP response with a JSON body, sent after APause (for TScriptedServer).
std::vector<TScriptStep> LateJsonResponse(const std::string& ABody, std::chrono::milliseconds APause) {
  return {{"", APause},
          {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(ABody.size()) + "\r\n\r\n" + ABody,
           std::chrono::milliseconds(0)}};
}

int Count(TfrmMain& W, const char* ASelector) {
  return RunJs(W, QString("document.querySelectorAll('%1').length").arg(ASelector)).toInt();
}

// Puts the keyboard focus on the widget named AName, with the window active so that shortcuts
// reach it.
void FocusOn(TfrmMain& W, const QString& AName) {
  W.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&W));
  auto* Target = W.findChild<QWidget*>(AName);
  Target->setFocus();
  QTRY_VERIFY(Target->hasFocus());
}

// Sets an environment variable for one test and puts the old value back.
struct TEnvOverride {
  const char* Name;
  std::optional<std::string> Old;
  TEnvOverride(const char* AName, const std::string& AValue) : Name(AName) {
    if (const char* V = std::getenv(AName)) Old = V;
    setenv(AName, AValue.c_str(), 1);
  }
  ~TEnvOverride() {
    if (Old)
      setenv(Name, Old->c_str(), 1);
    else
      unsetenv(Name);
  }
};

// Stands in for the desktop's file opener.
class TUrlRecorder : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> Urls;
 public slots:
  void Open(const QUrl& AUrl) { Urls << AUrl; }
};

// Answers the next modal file dialog with AChoice after noting what it offered. The choice is
// offered again until the dialog takes it.
struct TFileDialogAnswer {
  QString Name, Directory, Proposed;  // Proposed: the file the dialog offered on opening
  QStringList Filters;
  QTimer Poll;
  int Tries = 0;
  explicit TFileDialogAnswer(const QString& AChoice) {
    Poll.setInterval(50);
    QObject::connect(&Poll, &QTimer::timeout, [this, AChoice] {
      auto* D = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!D) {
        if (!Name.isEmpty()) Poll.stop();
        return;
      }
      if (Name.isEmpty()) {
        Name = D->objectName();
        Directory = D->directory().absolutePath();
        Filters = D->nameFilters();
        Proposed = D->selectedFiles().value(0);
      }
      // Typed into the name box, as a user would; the dialog does not overwrite that box
      // while it has the focus.
      if (++Tries > 100) {  // never hang: a refused choice ends as a cancel, and the test fails
        D->reject();
        return;
      }
      D->selectFile(AChoice);
      if (auto* Edit = qobject_cast<QLineEdit*>(D->focusWidget())) Edit->setText(AChoice);
      static_cast<QDialog*>(D)->accept();  // as its Open button does
    });
    Poll.start();
  }
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<TFakeHttpServer> FServer;
  std::string FHome;
  TfrmMain::TDialogScript FDialogs;  // no test ever waits on a modal box

  std::string DataFolder() const { return FHome + "/Documents/Kestrill"; }

  // ChatFileList.json as the program keeps it: a byte order mark, then the entries.
  void WriteCatalogue(const std::vector<TChatFile>& AEntries) {
    TJson A = TJson::array();
    for (const TChatFile& E : AEntries)
      A.push_back({{"filename", E.FileName}, {"title", E.Title}, {"lastModified", E.LastModified}});
    WriteTestFile(DataFolder() + "/ChatFileList.json", "\xEF\xBB\xBF" + A.dump(4));
  }

  // A saved chat in the data folder; message I of file F has the id "F-I".
  std::string WriteChat(const std::string& AName,
                        const std::vector<std::pair<std::string, std::string>>& ARoleTexts) {
    TJson A = TJson::array();
    for (std::size_t I = 0; I < ARoleTexts.size(); ++I)
      A.push_back({{"msgId", AName + "-" + std::to_string(I)},
                   {"role", ARoleTexts[I].first},
                   {"text", ARoleTexts[I].second},
                   {"attached", ""},
                   {"mimetype", ""}});
    const std::string Path = DataFolder() + "/" + AName + ".json";
    WriteTestFile(Path, "\xEF\xBB\xBF" + A.dump(4));
    return Path;
  }

  // Two saved chats, listed in the catalogue oldest first; returns {older, newer}.
  std::pair<std::string, std::string> WriteTwoChats() {
    std::string Old = WriteChat("old", {{"user", "지난주 질문"}, {"model", "지난주 답"}});
    std::string New = WriteChat("new", {{"user", "오늘 질문"}, {"model", "**오늘** 답"}});
    WriteCatalogue({{Old, "지난주 대화", "20250101090000"}, {New, "오늘 대화", "20250301090000"}});
    return {Old, New};
  }

  std::vector<TChatFile> CatalogueEntries() {
    std::vector<TChatFile> R;
    auto Doc = ReadJsonFile(DataFolder() + "/ChatFileList.json");
    if (Doc && Doc->is_array())
      for (const TJson& E : *Doc)
        R.push_back({E.value("filename", ""), E.value("title", ""), E.value("lastModified", "")});
    return R;
  }

  std::unique_ptr<TfrmMain> OpenWindow() {
    auto W = std::make_unique<TfrmMain>();
    W->SetDialogScript(&FDialogs);
    W->show();
    auto* Send = W->findChild<QPushButton*>("btnSend");
    [&] { QTRY_VERIFY_WITH_TIMEOUT(Send->isEnabled(), 20000); }();
    return W;
  }

  void Type(TfrmMain& W, const QString& AText) {
    auto* Memo = W.findChild<QPlainTextEdit*>("MemoInput");
    Memo->setFocus();
    // Key events carrying the text, so Korean arrives the way a keyboard delivers it.
    for (QChar C : AText) {
      QKeyEvent Press(QEvent::KeyPress, 0, Qt::NoModifier, QString(C));
      QApplication::sendEvent(Memo, &Press);
      QKeyEvent Release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(C));
      QApplication::sendEvent(Memo, &Release);
    }
  }

 private slots:
  void init() {
    FDialogs = {};
    FHome = UseFreshHome();
    std::filesystem::create_directories(FHome + "/Documents/Kestrill");
    FServer = std::make_unique<TFakeHttpServer>();
    setenv("KESTRILL_OPENAI_URL", FServer->BaseUrl().c_str(), 1);
    TConfig C(SettingsFilePath());
    C.Write(keys::OpenAIKey, "sk-test");
    C.Write(keys::Selected, 1);
    C.Write(keys::Mode, 0);
  }

  void searchBoxFindsSavedChatsAndOpensThem() {
    const auto [Old, New] = WriteTwoChats();
    // A chat file the catalogue does not list is searched too.
    const std::string Stray = WriteChat("stray", {{"user", "배당 일정"}, {"model", "연 1회"}});
    auto W = OpenWindow();
    auto* Edit = W->findChild<QLineEdit*>("edSearch");
    auto* Hits = W->findChild<QListWidget*>("ListSearchHits");
    QCOMPARE(Edit->placeholderText(), Q("채팅 검색"));
    QVERIFY(!Hits->isVisible());
    const std::pair<const char*, QStringList> Cases[] = {
        {"오늘", {QString::fromStdString(New)}},      // by title and text
        {"지난주 답", {QString::fromStdString(Old)}},  // every word
        {"배당", {QString::fromStdString(Stray)}},
        {"없는 말", {QString()}},                       // the "nothing found" line
    };
    for (const auto& [Query, Files] : Cases) {
      Edit->setText(Q(Query));
      QTRY_VERIFY(Hits->isVisible());
      QTRY_COMPARE(Hits->item(0)->data(Qt::UserRole).toString(), Files[0]);
      QCOMPARE(Hits->count(), int(Files.size()));
      QVERIFY(!List(*W)->isVisible());
    }
    Edit->setText(Q("지난주"));
    QTRY_COMPARE(Hits->item(0)->data(Qt::UserRole).toString(), QString::fromStdString(Old));
    QTest::mouseClick(Hits->viewport(), Qt::LeftButton, {},
                      Hits->visualItemRect(Hits->item(0)).center());
    QTRY_COMPARE(QString::fromStdString(W->Controller().ChatFileName()), QString::fromStdString(Old));
    QTRY_COMPARE(Bubbles(*W), Q("U:지난주 질문|M:지난주 답"));
    QTest::keyClick(Edit, Qt::Key_Escape);
    QTRY_VERIFY(List(*W)->isVisible());
    QVERIFY(!Hits->isVisible());
    // A hit the catalogue does not list opens too; emptying the box brings the list back.
    Edit->setText(Q("배당"));
    QTRY_VERIFY(Hits->count() == 1 &&
                Hits->item(0)->data(Qt::UserRole).toString() == QString::fromStdString(Stray));
    QTest::mouseClick(Hits->viewport(), Qt::LeftButton, {},
                      Hits->visualItemRect(Hits->item(0)).center());
    QTRY_COMPARE(QString::fromStdString(W->Controller().ChatFileName()),
                 QString::fromStdString(Stray));
    QTRY_COMPARE(Bubbles(*W), Q("U:배당 일정|M:연 1회"));
    Edit->setText(Q("  "));
    QTRY_VERIFY(List(*W)->isVisible());
    QVERIFY(!Hits->isVisible());
  }

  void liveReplySettingAndProgramIcon() {
    // Each row: the box as the dialog opens, the user's click, the button, what is stored.
    const struct {
      bool Shown, Set;
      const char* Button;
      bool Stored;
    } Rows[] = {{false, true, "btnOK", true},
                {true, false, "btnCancel", true},
                {true, false, "btnOK", false}};
    for (const auto& R : Rows) {
      TConfig Config(SettingsFilePath());
      TfrmSetting Dialog(Config, nullptr);
      auto* Box = Dialog.findChild<QCheckBox*>("chkStream");
      QCOMPARE(Box->text(), Q("답변을 실시간으로 표시"));
      QCOMPARE(Box->isChecked(), R.Shown);
      Box->setChecked(R.Set);
      QTest::mouseClick(Dialog.findChild<QPushButton*>(R.Button), Qt::LeftButton);
      QCOMPARE(TConfig(SettingsFilePath()).Read(keys::Stream, !R.Stored), R.Stored);
    }
    QVERIFY(!ProgramIcon().isNull());
    QCOMPARE(ProgramIcon().availableSizes().size(), qsizetype(3));
    auto W = OpenWindow();
    QVERIFY(!W->windowIcon().isNull());
    QCOMPARE(W->findChild<QToolButton*>("sbLogo")->icon().cacheKey() != 0, true);
  }

  void chatbotTurnEndToEnd() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":" **80,500원**입니다.\n"}}]})"});
    {
      TfrmMain Fresh;  // before the page has loaded, sending is not possible
      QVERIFY(!Fresh.findChild<QPushButton*>("btnSend")->isEnabled());
    }
    auto W = OpenWindow();
    Type(*W, QString::fromUtf8("삼성전자 주가?"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QCOMPARE(W->findChild<QPlainTextEdit*>("MemoInput")->toPlainText(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(2), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Bubbles(*W), QString::fromUtf8("U:삼성전자 주가?|M:80,500원입니다."),
                              10000);
    QCOMPARE(RunJs(*W, "document.querySelector('.ai-msg strong').textContent").toString(),
             QString::fromUtf8("80,500원"));
    QCOMPARE(RunJs(*W, "document.querySelectorAll('#loading-wrap').length").toInt(), 0);
    const TChatMessage& Reply = W->Controller().ChatHistory()[1];
    QCOMPARE(QString::fromStdString(Reply.Role), QString("model"));
    QCOMPARE(QString::fromStdString(Reply.Text), QString::fromUtf8("**80,500원**입니다."));
    QVERIFY(W->findChild<QPushButton*>("btnSend")->isEnabled());
    QCOMPARE(SendButton(*W)->text(), Q("전송"));
    auto Body = ParseJson(FServer->LastRequest().Body);
    QCOMPARE(QString::fromStdString((*Body)["messages"][0]["content"].get<std::string>()),
             QString::fromUtf8("삼성전자 주가?"));
  }

  void agentTurnDrawsAChart() {
    TConfig(SettingsFilePath()).Write(keys::Mode, 1);
    FServer->Enqueue({200, ChartCallReply()});
    FServer->Enqueue({200, R"({"choices":[{"message":{"content":"차트를 그렸습니다."}}]})"});
    auto W = OpenWindow();
    Type(*W, QString::fromUtf8("차트 보여줘"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(4), 10000);
    // The turn is over when the stop button is the send button again.
    QTRY_COMPARE_WITH_TIMEOUT(SendButton(*W)->text(), Q("전송"), 10000);
    QVERIFY(SendButton(*W)->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(
        RunJs(*W, "document.querySelectorAll('.chart-container canvas').length").toInt(), 1, 10000);
    QCOMPARE(RunJs(*W, "document.querySelector('.chart-container strong').textContent").toString(),
             QString::fromUtf8("삼성전자 5일"));
    QCOMPARE(RunJs(*W,
                   "Chart.getChart(document.querySelector('.chart-container "
                   "canvas')).data.datasets[0].data.length")
                 .toInt(),
             3);
    QTRY_VERIFY(Bubbles(*W).endsWith(QString::fromUtf8("M:차트를 그렸습니다.")));
    QCOMPARE(RunJs(*W, "document.querySelectorAll('#loading-wrap').length").toInt(), 0);
    // The tool's line, drawn in the status style, says it is done once the tool has returned.
    QTRY_COMPARE(RunJs(*W,
                       "[...document.querySelectorAll('.status-msg')].map(m => "
                       "m.textContent).join('|')")
                     .toString(),
                 Q("🛠️ [차트] 완료"));
  }

  void keysOfTheInputBox() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"ok"}}]})"});
    auto W = OpenWindow();
    auto* Memo = W->findChild<QPlainTextEdit*>("MemoInput");
    Type(*W, "a");
    QTest::keyClick(Memo, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClick(Memo, Qt::Key_Return, Qt::ControlModifier);
    Type(*W, "b");
    QCOMPARE(Memo->toPlainText(), QString("a\n\nb"));
    QCOMPARE(FServer->RequestCount(), std::size_t(0));

    Memo->setPlainText(" \n ");  // blanks only: nothing is sent, the text stays
    QTest::keyClick(Memo, Qt::Key_Return);
    QCOMPARE(Memo->toPlainText(), QString(" \n "));
    QVERIFY(W->Controller().ChatHistory().empty());

    W->findChild<QPushButton*>("btnSend")->setEnabled(false);  // a reply pending
    Memo->setPlainText("x");
    QTest::keyClick(Memo, Qt::Key_Return);
    QCOMPARE(Memo->toPlainText(), QString("x"));
    QVERIFY(W->Controller().ChatHistory().empty());
  }

  void noReplyTakesThePromptBack() {
    TConfig(SettingsFilePath()).Write(keys::OpenAIKey, "");
    TConfig(SettingsFilePath()).Write(keys::ClaudeKey, "x");  // not a first start: no note
    auto W = OpenWindow();
    Type(*W, "hello");
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    // The turn is over when the stop button is the send button again.
    QTRY_COMPARE_WITH_TIMEOUT(SendButton(*W)->text(), Q("전송"), 10000);
    QVERIFY(SendButton(*W)->isEnabled());
    QVERIFY(W->Controller().ChatHistory().empty());
    QTRY_COMPARE(Bubbles(*W), QString("U:hello"));
    QCOMPARE(RunJs(*W, "document.querySelectorAll('#loading-wrap').length").toInt(), 0);
    QCOMPARE(FServer->RequestCount(), std::size_t(0));
  }

  void closingWhileAReplyIsPending() {
    TSilentListener Silent;  // accepts and never answers
    setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    Type(*W, "slow");
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTest::qWait(300);
    QElapsedTimer T;
    T.start();
    W->close();
    W.reset();  // the running request is cancelled; nothing touches the destroyed window
    QVERIFY2(T.elapsed() < 3000, "closing waited for the provider");
    QTest::qWait(200);
  }

  void stopEndsTheRunningTurn_data() {
    QTest::addColumn<QString>("How");  // the stop button, or Escape with the focus on a widget
    QTest::newRow("stop button") << "";
    QTest::newRow("Escape in the page") << "ChatWebBrowser";
    QTest::newRow("Escape in the input box") << "MemoInput";
  }

  void stopEndsTheRunningTurn() {
    QFETCH(QString, How);
    TSilentListener Silent;  // the provider never answers
    setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    auto* Memo = W->findChild<QPlainTextEdit*>("MemoInput");
    QPushButton* Send = SendButton(*W);
    Type(*W, Q("멈출 질문"));
    QTest::keyClick(Memo, Qt::Key_Return);
    QVERIFY(W->Controller().TurnRunning());
    QCOMPARE(Send->text(), Q("중지"));
    QVERIFY(Send->isEnabled());
    QTRY_COMPARE(RunJs(*W, "document.querySelectorAll('#loading-wrap').length").toInt(), 1);

    // Return does not send while the turn runs; the text waits in the box.
    Type(*W, "x");
    QTest::keyClick(Memo, Qt::Key_Return);
    QCOMPARE(Memo->toPlainText(), QString("x"));
    QCOMPARE(W->Controller().ChatHistory().size(), std::size_t(1));
    QCOMPARE(Send->text(), Q("중지"));

    if (How.isEmpty()) {
      QTest::mouseClick(Send, Qt::LeftButton);
    } else {
      FocusOn(*W, How);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    }
    QVERIFY(!W->Controller().TurnRunning());
    QCOMPARE(Send->text(), Q("전송"));
    QVERIFY(Send->isEnabled());
    QTRY_COMPARE(Bubbles(*W), Q("U:멈출 질문|M:중지되었습니다."));
    QCOMPARE(RunJs(*W, "document.querySelectorAll('#loading-wrap').length").toInt(), 0);
    W->Controller().SettleWrites();  // the save after a turn is written in the background
    auto Saved = ReadJsonFile(W->Controller().ChatFileName());
    QVERIFY(Saved && Saved->is_array() && Saved->size() == 1);
    QCOMPARE(QString::fromStdString((*Saved)[0]["text"].get<std::string>()), Q("멈출 질문"));
    QCOMPARE(Memo->toPlainText(), QString("x"));
    QVERIFY(FDialogs.Messages.empty());

    // The button sends again.
    QTest::mouseClick(Send, Qt::LeftButton);
    QCOMPARE(W->Controller().ChatHistory().size(), std::size_t(2));
    QCOMPARE(Send->text(), Q("중지"));
  }

  void destroyedWithoutClosingSavesTheChat() {
    TSilentListener Silent;
    setenv("KESTRILL_OPENAI_URL", Silent.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    Type(*W, Q("남길 질문"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QVERIFY(W->Controller().TurnRunning());
    W.reset();  // no close event, as when the program is ended another way
    auto Entries = CatalogueEntries();
    QCOMPARE(Entries.size(), std::size_t(1));
    auto Saved = ReadJsonFile(Entries[0].FileName);
    QVERIFY(Saved && Saved->is_array() && Saved->size() == 1);
    QCOMPARE(QString::fromStdString((*Saved)[0]["text"].get<std::string>()), Q("남길 질문"));
    QVERIFY(FDialogs.Questions.empty());
  }

  void copyTakesThePageSelection() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"복사할 **답**입니다."}}]})"});
    auto W = OpenWindow();
    Type(*W, Q("질문"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(Bubbles(*W), Q("U:질문|M:복사할 답입니다."), 10000);
    QGuiApplication::clipboard()->setText("before");
    RunJs(*W,
          "const r = document.createRange();"
          "r.selectNodeContents(document.querySelector('.ai-msg p'));"
          "getSelection().removeAllRanges(); getSelection().addRange(r); 0");
    FocusOn(*W, "ChatWebBrowser");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier);
    QTRY_COMPARE(QGuiApplication::clipboard()->text().trimmed(), Q("복사할 답입니다."));
  }

  void linksOpenOutsideAndThePageStays_data() {
    QTest::addColumn<QString>("Reply");
    QTest::addColumn<QString>("Script");  // "click SELECTOR" is a mouse click, else a script
    QTest::addColumn<QUrl>("Opened");
    const QString ClickReplyLink = "click .ai-msg a";
    QTest::newRow("web link in a reply") << "[공시](https://example.com/dart?no=1) 참고"
                                         << ClickReplyLink << QUrl("https://example.com/dart?no=1");
    QTest::newRow("mail link in a reply")
        << "[문의](mailto:ir@example.com)" << ClickReplyLink << QUrl("mailto:ir@example.com");
    QTest::newRow("link to a new window")
        << "답"
        << "const a = document.createElement('a'); a.href = 'https://example.com/new';"
           "a.target = '_blank'; document.body.appendChild(a); a.click(); 0"
        << QUrl("https://example.com/new");
    // A file is never opened from the page; the web address after it shows the file's turn
    // has been handled.
    QTest::newRow("script to another file")
        << "답"
        << "location.href = 'file:///tmp/other.html';"
           "setTimeout(() => { location.href = 'https://example.com/after'; }, 100); 0"
        << QUrl("https://example.com/after");
  }

  void linksOpenOutsideAndThePageStays() {
    QFETCH(QString, Reply);
    QFETCH(QString, Script);
    QFETCH(QUrl, Opened);
    TJson Body = {{"choices", TJson::array({{{"message", {{"content", Reply.toStdString()}}}}})}};
    FServer->SetDefault({200, Body.dump()});
    auto W = OpenWindow();
    auto* View = W->findChild<TChatWebView*>("ChatWebBrowser");
    const QUrl ChatPage = View->url();
    Type(*W, Q("자료?"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(2), 10000);
    QTRY_VERIFY(Bubbles(*W).startsWith("U:"));
    const QString Shown = Bubbles(*W);
    QSignalSpy Loads(View, &TChatWebView::DidFinishLoad);

    TUrlRecorder Opener;
    for (const char* Scheme : {"https", "mailto", "file"})
      QDesktopServices::setUrlHandler(Scheme, &Opener, "Open");
    if (Script.startsWith("click "))
      ClickInPage(*W, Script.mid(6));
    else
      RunJs(*W, Script);
    [&] { QTRY_COMPARE_WITH_TIMEOUT(Opener.Urls.size(), 1, 5000); }();
    for (const char* Scheme : {"https", "mailto", "file"})
      QDesktopServices::unsetUrlHandler(Scheme);
    QCOMPARE(Opener.Urls, QList<QUrl>({Opened}));
    QCOMPARE(View->url(), ChatPage);
    QCOMPARE(Bubbles(*W), Shown);
    QCOMPARE(Loads.count(), 0);
  }

  void chatPageLoadsFromAFolderNamedWithHashAndPercent() {
    const std::string Folder = MakeTempFolder() + "/a#b%c";
    std::filesystem::create_directories(Folder);
    TEnvOverride Tmp("TMPDIR", Folder);
    auto W = OpenWindow();  // the send button comes on once the page has loaded
    const QString Page = W->findChild<TChatWebView*>("ChatWebBrowser")->url().toLocalFile();
    QVERIFY2(Page.startsWith(QString::fromStdString(Folder) + "/"), qPrintable(Page));
    QCOMPARE(RunJs(*W, "typeof appendChat").toString(), QString("function"));
  }

  void layoutIsSavedAndRestored() {
    {
      auto W = OpenWindow();
      QCOMPARE(W->findChild<QComboBox*>("cbxModels")->currentIndex(), 1);
      QCOMPARE(W->findChild<QComboBox*>("cbxMode")->currentIndex(), 0);
      W->move(120, 40);
      W->resize(1000, 600);
      W->findChild<QComboBox*>("cbxModels")->setCurrentIndex(3);
      W->close();
    }
    TConfig C(SettingsFilePath());
    QCOMPARE(C.Read(keys::Width, 0), 1000);
    QCOMPARE(C.Read(keys::Height, 0), 600);
    QCOMPARE(C.Read(keys::Selected, 0), 3);
    QVERIFY(C.Read(keys::LeftLayoutWidth, 0.0) > 0);
    QVERIFY(C.Read(keys::Sidebar, false));
    auto W = OpenWindow();
    QCOMPARE(W->size(), QSize(1000, 600));
    QCOMPARE(W->findChild<QComboBox*>("cbxModels")->currentIndex(), 3);
  }

  void newChatStartsEmptyWithTheTime() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"ok"}}]})"});
    auto W = OpenWindow();
    Type(*W, "one");
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(2), 10000);
    QTest::mouseClick(W->findChild<QPushButton*>("sbNewChat"), Qt::LeftButton);
    QVERIFY(W->Controller().ChatHistory().empty());
    QVERIFY(QRegularExpression(QString::fromUtf8("^\\d\\d-\\d\\d \\d\\d:\\d\\d 의 대화$"))
                .match(W->findChild<QLabel*>("lbChatTitle")->text())
                .hasMatch());
    QTRY_VERIFY_WITH_TIMEOUT(W->findChild<QPushButton*>("btnSend")->isEnabled(), 10000);
    QTRY_COMPARE(Bubbles(*W), QString());
  }

  void chatUiLinksAreReportedAndThePageStays() {
    auto W = OpenWindow();
    auto* View = W->findChild<TChatWebView*>("ChatWebBrowser");
    QSignalSpy Links(View, &TChatWebView::ShouldStartLoadWithRequest);
    QSignalSpy Loads(View, &TChatWebView::DidFinishLoad);
    RunJs(*W, "appendChat(true, 'ID-1', 'hi'); 0");
    RunJs(*W, "document.querySelector('span[title=\"삭제\"]').click(); 0");
    QTRY_COMPARE_WITH_TIMEOUT(Links.count(), 1, 5000);
    QCOMPARE(Links.at(0).at(0).toString(), QString("chatui://delete/ID-1"));
    QTest::qWait(300);
    QCOMPARE(Bubbles(*W), QString("U:hi"));
    QCOMPARE(Loads.count(), 0);  // the cancelled navigation is not a page load
  }

  void sidebarListsTheCatalogue_data() {
    QTest::addColumn<double>("FontSetting");
    QTest::addColumn<double>("ItemFont");
    QTest::newRow("default") << 0.0 << 12.0;
    QTest::newRow("FontSize set") << 15.0 << 15.0;
  }

  void sidebarListsTheCatalogue() {
    QFETCH(double, FontSetting);
    QFETCH(double, ItemFont);
    if (FontSetting > 0) TConfig(SettingsFilePath()).Write(keys::FontSize, FontSetting);
    auto [Old, New] = WriteTwoChats();
    auto W = OpenWindow();
    QCOMPARE(ItemTexts(*W), QStringList({Q("오늘 대화"), Q("지난주 대화")}));
    QCOMPARE(List(*W)->item(0)->data(Qt::UserRole).toString(), QString::fromStdString(New));
    QCOMPARE(List(*W)->item(1)->font().pointSizeF(), ItemFont);

    ClickItem(*W, 1);
    QCOMPARE(W->findChild<QLabel*>("lbChatTitle")->text(), Q("지난주 대화"));
    QTRY_COMPARE(Bubbles(*W), Q("U:지난주 질문|M:지난주 답"));
    QCOMPARE(W->Controller().ChatFileName(), Old);
    QVERIFY(FDialogs.Messages.empty());
  }

  void aChatbotTurnIsSavedAndListed() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"새 답입니다."}}]})"});
    const std::string Old = WriteChat("old", {{"user", "지난 질문"}, {"model", "지난 답"}});
    WriteCatalogue({{Old, "지난 대화", "20250101090000"}});
    std::string Saved;
    {
      auto W = OpenWindow();
      Type(*W, Q("새 질문"));
      QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
      QTRY_COMPARE_WITH_TIMEOUT(ItemTexts(*W), QStringList({Q("새 질문"), Q("지난 대화")}), 10000);
      auto Entries = CatalogueEntries();
      QCOMPARE(Entries.size(), std::size_t(2));
      QCOMPARE(QString::fromStdString(Entries[1].Title), Q("새 질문"));
      Saved = Entries[1].FileName;
      QVERIFY(std::filesystem::exists(Saved));
      // The chat goes on in its file, and the sidebar shows which one it is.
      QCOMPARE(W->Controller().ChatFileName(), Saved);
      QCOMPARE(List(*W)->selectedItems().value(0), List(*W)->item(0));
      W->close();
    }
    auto W = OpenWindow();
    QCOMPARE(ItemTexts(*W), QStringList({Q("새 질문"), Q("지난 대화")}));
    ClickItem(*W, 1);
    QTRY_COMPARE(Bubbles(*W), Q("U:지난 질문|M:지난 답"));
    ClickItem(*W, 0);
    QTRY_COMPARE(Bubbles(*W), Q("U:새 질문|M:새 답입니다."));
    QCOMPARE(W->Controller().ChatFileName(), Saved);
  }

  void chatItemMenuRenamesAndOpens() {
    auto [Old, New] = WriteTwoChats();
    auto W = OpenWindow();
    auto* Btn = W->findChild<QPushButton*>("ActionBtn");
    QVERIFY(!Btn->isVisible());
    QCOMPARE(Btn->focusPolicy(), Qt::NoFocus);
    QMenu* Menu = OpenItemMenu(*W, 1);
    QStringList Texts;
    for (QAction* A : Menu->actions()) Texts << A->text();
    QCOMPARE(Texts,
             QStringList({Q("다시 실행"), Q("제목 편집"), Q("삭제"), "", Q("채팅 파일 열기"), Q("내보내기")}));
    QVERIFY(Menu->actions()[3]->isSeparator() && !Menu->actions()[3]->isEnabled());
    QCOMPARE(Menu->pos(), Btn->mapToGlobal(QPoint(0, Btn->height())));

    FDialogs.Edits.push_back("이름 바꾼 대화");
    ClickMenuItem(Menu, "MenuItemEdit");
    QCOMPARE(ItemTexts(*W), QStringList({Q("오늘 대화"), Q("이름 바꾼 대화")}));
    QVERIFY(!Btn->isVisible());
    auto Entries = CatalogueEntries();
    QCOMPARE(Entries.size(), std::size_t(2));
    auto Renamed = std::find_if(Entries.begin(), Entries.end(),
                                [&](const TChatFile& E) { return E.FileName == Old; });
    QVERIFY(Renamed != Entries.end());
    QCOMPARE(QString::fromStdString(Renamed->Title), Q("이름 바꾼 대화"));

    TUrlRecorder Opener;
    QDesktopServices::setUrlHandler("file", &Opener, "Open");
    ClickMenuItem(OpenItemMenu(*W, 0), "MenuItemOpen");
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(Opener.Urls, QList<QUrl>({QUrl::fromLocalFile(QString::fromStdString(New))}));

    // Off the items, the button goes.
    QTest::mouseMove(List(*W)->viewport(), QPoint(5, List(*W)->viewport()->height() - 5));
    QTRY_VERIFY(!Btn->isVisible());
    QVERIFY(FDialogs.Messages.empty());
  }

  void deleteKeyRemovesTheSelectedChat() {
    auto [Old, New] = WriteTwoChats();
    auto W = OpenWindow();
    QListWidget* L = List(*W);
    L->setFocus();
    QTest::keyClick(L, Qt::Key_Delete);
    QCOMPARE(FDialogs.Messages, std::vector<std::string>{"선택된 채팅 파일이 없습니다."});
    QVERIFY(FDialogs.Questions.empty());

    ClickItem(*W, 1);
    QCOMPARE(W->Controller().ChatFileName(), Old);
    FDialogs.Answers = {false, true};
    QTest::keyClick(L, Qt::Key_Delete);  // No: everything stays
    QCOMPARE(FDialogs.Questions,
             std::vector<std::string>{"다음 채팅 파일을 삭제하시겠습니까?\r\n[지난주 대화]"});
    QCOMPARE(ItemTexts(*W).size(), 2);
    QVERIFY(std::filesystem::exists(Old));

    QTest::keyClick(L, Qt::Key_Delete);  // Yes
    QCOMPARE(ItemTexts(*W), QStringList({Q("오늘 대화")}));
    QVERIFY(!std::filesystem::exists(Old));
    auto Entries = CatalogueEntries();
    QCOMPARE(Entries.size(), std::size_t(1));
    QCOMPARE(Entries[0].FileName, New);
    // The open chat was the deleted one: a new chat takes its place.
    QCOMPARE(W->Controller().ChatFileState(), cfsNew);
    QVERIFY(W->Controller().ChatHistory().empty());
    QCOMPARE(FDialogs.Messages.size(), std::size_t(1));
  }

  void shortcutsWorkWhereverTheFocusIs_data() {
    QTest::addColumn<QString>("FocusOn");
    QTest::newRow("page") << "ChatWebBrowser";
    QTest::newRow("input box") << "MemoInput";
  }

  void shortcutsWorkWhereverTheFocusIs() {
    QFETCH(QString, FocusOn);
    auto [Old, New] = WriteTwoChats();
    const std::string Prompt = FHome + "/prompt.md";
    WriteTestFile(Prompt, "파일에서 온 프롬프트");
    auto W = OpenWindow();
    W->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(W.get()));
    ClickItem(*W, 0);
    QTRY_COMPARE(Bubbles(*W), Q("U:오늘 질문|M:오늘 답"));
    W->Controller().SetChatFileState(cfsModified);
    auto* Target = W->findChild<QWidget*>(FocusOn);
    Target->setFocus();
    QTRY_VERIFY(Target->hasFocus());

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(W->Controller().ChatFileState(), cfsOpen);

    TFileDialogAnswer Dialog(QString::fromStdString(Prompt));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(Dialog.Name, QString("OpenDialog1"));
    QCOMPARE(Dialog.Filters, QStringList({"Text File (*.txt *.md)"}));
    QCOMPARE(Dialog.Directory, QDir(QCoreApplication::applicationDirPath()).absolutePath());
    QCOMPARE(W->findChild<QPlainTextEdit*>("MemoInput")->toPlainText(), Q("파일에서 온 프롬프트"));
    QCOMPARE(W->Controller().ChatFileState(), cfsNew);
    QVERIFY(W->Controller().ChatHistory().empty());
  }

  void attachmentPreview_data() {
    QTest::addColumn<QString>("FileName");
    QTest::addColumn<QString>("Shown");  // image, file, or none (refused)
    QTest::newRow("image, extension in capitals") << "photo.JPG"
                                                  << "image";
    QTest::newRow("document") << "report.pdf"
                              << "file";
    QTest::newRow("outside the filter") << "notes.md"
                                        << "file";
    QTest::newRow("image that does not decode") << "broken.png"
                                                << "none";
    QTest::newRow("binary file that is not text") << "data.bin"
                                                  << "none";
  }

  void attachmentPreview() {
    QFETCH(QString, FileName);
    QFETCH(QString, Shown);
    const QString Path = QString::fromStdString(FHome) + "/" + FileName;
    if (FileName == "photo.JPG") {
      QImage Image(120, 60, QImage::Format_RGB32);
      Image.fill(Qt::darkCyan);
      QVERIFY(Image.save(Path, "JPG"));
    } else if (FileName == "data.bin") {
      WriteTestFile(Path.toStdString(), std::string("\x7f" "ELF\x02\x01\x01\0\0\0\x03\0>\0", 16));
    } else {
      WriteTestFile(Path.toStdString(), "%PDF-1.4 or not an image at all");
    }
    auto W = OpenWindow();
    auto* Preview = W->findChild<QWidget*>("LayoutPreview");
    auto* Bottom = W->findChild<QWidget*>("LayoutBottom");
    auto* Image = W->findChild<QLabel*>("ImagePreview");
    auto* Box = W->findChild<QWidget*>("FileBoxPreview");
    auto* Attach = W->findChild<QToolButton*>("sbAttach");
    QVERIFY(Attach->isEnabled());
    W->AttachFile(Path);
    if (Shown == "none") {
      QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
      QVERIFY(FDialogs.Messages[0] == "이미지를 열 수 없습니다: broken.png" ||
              FDialogs.Messages[0].rfind("이 파일은 첨부할 수 없습니다: data.bin", 0) == 0);
      QVERIFY(W->Controller().AttachedFilePath().empty());
      QVERIFY(!Preview->isVisible());
      QCOMPARE(Attach->text(), QString());
      return;
    }
    QCOMPARE(QString::fromStdString(W->Controller().AttachedFilePath()), Path);
    QVERIFY(Preview->isVisible());
    QTRY_COMPARE(Bottom->height(), 160);
    QCOMPARE(Attach->text(), Q("✓"));
    QCOMPARE(Attach->palette().color(QPalette::ButtonText), QColor("#32CD32"));
    QCOMPARE(Image->isVisible(), Shown == "image");
    QCOMPARE(Box->isVisible(), Shown == "file");
    if (Shown == "image")
      QCOMPARE(Image->pixmap().size(), QSize(70, 35));
    else
      QCOMPARE(W->findChild<QLabel*>("TextFileName")->text(), Q("📄 ") + FileName);

    QTest::mouseClick(W->findChild<QToolButton*>("btnRemoveAttach"), Qt::LeftButton);
    QVERIFY(W->Controller().AttachedFilePath().empty());
    QVERIFY(!Preview->isVisible());
    QTRY_COMPARE(Bottom->height(), 80);
    QCOMPARE(Attach->palette().color(QPalette::ButtonText), QColor("#808080"));
    QVERIFY(FDialogs.Messages.empty());
  }

  void attachedImageGoesWithTheNextPrompt() {
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"파란 사진입니다."}}]})"});
    const QString Path = QString::fromStdString(FHome) + "/photo.png";
    QImage Image(8, 8, QImage::Format_RGB32);
    Image.fill(Qt::blue);
    QVERIFY(Image.save(Path, "PNG"));
    auto W = OpenWindow();
    W->AttachFile(Path);
    Type(*W, Q("무슨 사진?"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QVERIFY(!W->findChild<QWidget*>("LayoutPreview")->isVisible());
    QVERIFY(W->Controller().AttachedFilePath().empty());
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(2), 10000);
    QCOMPARE(QString::fromStdString(W->Controller().ChatHistory()[0].AttachedFilePath), Path);
    auto Body = ParseJson(FServer->LastRequest().Body);
    QVERIFY(Body);
    const QByteArray Png = QByteArray::fromStdString(ReadFileBytes(Path.toStdString()).value());
    QCOMPARE(QString::fromStdString(
                 (*Body)["messages"][0]["content"][1]["image_url"]["url"].get<std::string>()),
             "data:image/jpeg;base64," + QString::fromLatin1(Png.toBase64()));
    QTRY_COMPARE(RunJs(*W, "document.querySelectorAll('.row-user .img-bubble img').length").toInt(),
                 1);
  }

  void pageDeleteLinkRemovesTheMessage() {
    const std::string File = WriteChat("chat", {{"user", "질문"}, {"model", "답"}});
    WriteCatalogue({{File, "대화", "20250101090000"}});
    auto W = OpenWindow();
    ClickItem(*W, 0);
    QTRY_COMPARE(Bubbles(*W), Q("U:질문|M:답"));
    FDialogs.Answers = {false, true};
    RunJs(*W, "location.href = 'chatui://delete/chat-1'; 0");
    QTRY_COMPARE(FDialogs.Questions.size(), std::size_t(1));
    QCOMPARE(FDialogs.Questions[0], std::string("이 메시지를 대화 기록에서 삭제하시겠습니까?"));
    QCOMPARE(Bubbles(*W), Q("U:질문|M:답"));

    RunJs(*W, "location.href = 'chatui://delete/chat-1'; 0");
    QTRY_COMPARE(Bubbles(*W), Q("U:질문"));
    W->Controller().SettleWrites();  // the save after a turn is written in the background
    auto Saved = ReadJsonFile(File);
    QVERIFY(Saved && Saved->is_array());
    QCOMPARE(Saved->size(), std::size_t(1));
    QCOMPARE(QString::fromStdString((*Saved)[0]["msgId"].get<std::string>()), QString("chat-0"));
  }

  void settingsDialog() {
    const std::string Path = SettingsFilePath();
    TConfig C(Path);
    C.Write(keys::OllamaModel, "gemma4:e2b");
    C.Write(keys::GeminiModel, "gemini-by-hand");
    {
      TfrmSetting D(C, nullptr);
      QCOMPARE(D.findChild<QComboBox*>("cbxOllamaModel")->currentIndex(), 7);
      // Names that are not entries (a default or one typed by hand) are shown and kept.
      QCOMPARE(D.findChild<QComboBox*>("cbxChatGPTModel")->currentText(), QString("gpt-5-nano"));
      QCOMPARE(D.findChild<QComboBox*>("cbxClaudeModel")->currentText(),
               QString("claude-sonnet-4-6"));
      QCOMPARE(D.findChild<QComboBox*>("cbxGeminiModel")->currentText(), QString("gemini-by-hand"));
      D.findChild<QLineEdit*>("edGeminiKey")->setText("changed");
      QTest::mouseClick(D.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
    }
    const std::string Before = ReadFileBytes(Path).value();
    QVERIFY(Before.find("changed") == std::string::npos);
    {
      TfrmSetting D(C, nullptr);
      D.findChild<QLineEdit*>("edKRXKey")->setText("krx-1");
      QTest::mouseClick(D.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    }
    QCOMPARE(QString::fromStdString(C.Read(keys::OpenAIModel, "?")), QString("gpt-5-nano"));
    QCOMPARE(QString::fromStdString(C.Read(keys::ClaudeModel, "?")),
             QString("claude-sonnet-4-6"));
    QCOMPARE(QString::fromStdString(C.Read(keys::GeminiModel, "?")), QString("gemini-by-hand"));
    QCOMPARE(QString::fromStdString(C.Read(keys::KRXKey, "?")), QString("krx-1"));
    QCOMPARE(QString::fromStdString(C.Read(keys::DARTKey, "?")), QString(""));  // written, empty
    QCOMPARE(C.Read(keys::UseDaishin, true), false);
    // All fourteen keys are in the file now, changed or not.
    const std::string After = ReadFileBytes(Path).value();
    for (const char* Key :
         {"GeminiKey=", "GeminiModel=", "OpenAIKey=", "OpenAIModel=", "ClaudeKey=", "ClaudeModel=",
          "DeepseekKey=", "DeepseekModel=", "OllamaURL=", "OllamaModel=", "WebSearchKey=",
          "DARTKey=", "KRXKey=", "UseDaishin="})
      QVERIFY2(After.find(Key) != std::string::npos, Key);
  }

  void agentChartSurvivesReopenAndEdit() {
    TConfig(SettingsFilePath()).Write(keys::Mode, 1);
    FServer->Enqueue({200, ChartCallReply()});
    FServer->Enqueue({200, R"({"choices":[{"message":{"content":"차트를 그렸습니다."}}]})"});
    auto W = OpenWindow();
    Type(*W, Q("차트 보여줘"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(SendButton(*W)->text(), Q("전송"), 10000);
    QTRY_COMPARE(Count(*W, ".chart-container canvas"), 1);

    // Another chat, then this one again from the sidebar: the chart and the sources are back,
    // and the conversation holds the tool call and its result.
    QTest::mouseClick(W->findChild<QWidget*>("sbNewChat"), Qt::LeftButton);
    QTRY_VERIFY(SendButton(*W)->isEnabled());
    QTRY_COMPARE(List(*W)->count(), 1);
    ClickItem(*W, 0);
    QTRY_COMPARE(Bubbles(*W), Q("U:차트 보여줘|M:차트를 그렸습니다."));
    QTRY_COMPARE(Count(*W, ".chart-container canvas"), 1);
    QCOMPARE(Count(*W, ".sources"), 1);
    QCOMPARE(W->Controller().ChatHistory().size(), std::size_t(4));

    // Edited from the page: the page is drawn again, chart included, and the file keeps it all.
    FDialogs.Edits.push_back(std::string("차트를 다시 보여줘"));
    RunJs(*W, QString("location.href = 'chatui://edit/%1'; 0")
                  .arg(QString::fromStdString(W->Controller().ChatHistory()[0].MsgID)));
    QTRY_COMPARE(Bubbles(*W), Q("U:차트를 다시 보여줘|M:차트를 그렸습니다."));
    QTRY_COMPARE(Count(*W, ".chart-container canvas"), 1);
    W->Controller().SettleWrites();  // the save after a turn is written in the background
    auto Saved = ReadJsonFile(W->Controller().ChatFileName());
    QVERIFY(Saved && Saved->is_array());
    QCOMPARE(Saved->size(), std::size_t(4));
    QCOMPARE(QString::fromStdString((*Saved)[1]["toolname"].get<std::string>()),
             QString("draw_stock_chart"));
  }

  void editingWhileTheReplyArrives() {
    // The real editor is open when the reply lands; both survive.
    TScriptedServer Late(
        LateJsonResponse(R"({"choices":[{"message":{"content":"늦은 답"}}]})",
                         std::chrono::milliseconds(2000)),
        std::chrono::milliseconds(5000));
    setenv("KESTRILL_OPENAI_URL", Late.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    W->SetDialogScript(nullptr);
    Type(*W, Q("질문"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QVERIFY(W->Controller().TurnRunning());
    bool Answered = false, OpenedDuringTurn = false;
    QTimer Poll;
    Poll.setInterval(50);
    QObject::connect(&Poll, &QTimer::timeout, [&] {
      auto* Editor = qobject_cast<TfrmTextEditor*>(QApplication::activeModalWidget());
      if (Editor && W->Controller().TurnRunning()) OpenedDuringTurn = true;
      if (!Editor || W->Controller().TurnRunning()) return;  // waits for the reply to land
      Editor->findChild<QPlainTextEdit*>("memoText")->setPlainText(Q("고친 질문"));
      QTest::mouseClick(Editor->findChild<QPushButton*>("btnOK"), Qt::LeftButton);
      Answered = true;
      Poll.stop();
    });
    Poll.start();
    RunJs(*W, QString("location.href = 'chatui://edit/%1'; 0")
                  .arg(QString::fromStdString(W->Controller().ChatHistory()[0].MsgID)));
    QTRY_VERIFY_WITH_TIMEOUT(Answered, 10000);
    QVERIFY(OpenedDuringTurn);
    QTRY_COMPARE(Bubbles(*W), Q("U:고친 질문|M:늦은 답"));
    QCOMPARE(W->Controller().ChatHistory().size(), std::size_t(2));
    QCOMPARE(QString::fromStdString(W->Controller().ChatHistory()[0].Text), Q("고친 질문"));
    W->Controller().SettleWrites();  // the save after a turn is written in the background
    auto Saved = ReadJsonFile(W->Controller().ChatFileName());
    QVERIFY(Saved && Saved->size() == 2);
    W->SetDialogScript(&FDialogs);
  }

  void stopKeepsThePartOfTheReplyShown() {
    TConfig(SettingsFilePath()).Write(keys::Stream, true);
    TScriptedServer Held(
        {{"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n"
          "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"삼성전자는\"}}]}\n\n",
          std::chrono::milliseconds(0)}},
        std::chrono::milliseconds(20000));
    setenv("KESTRILL_OPENAI_URL", Held.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    Type(*W, Q("질문"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(Count(*W, "#live-reply"), 1, 10000);
    QTest::mouseClick(SendButton(*W), Qt::LeftButton);
    QTRY_COMPARE(Bubbles(*W), Q("U:질문|M:삼성전자는|M:중지되었습니다."));
    QCOMPARE(Count(*W, "#live-reply"), 0);
    W->Controller().SettleWrites();  // the save after a turn is written in the background
    auto Saved = ReadJsonFile(W->Controller().ChatFileName());
    QVERIFY(Saved && Saved->size() == 2);
    QCOMPARE(QString::fromStdString((*Saved)[1]["text"].get<std::string>()), Q("삼성전자는"));
  }

  void closingDuringAnAgentTurnSavesWhatArrives() {
    TConfig(SettingsFilePath()).Write(keys::Mode, 1);
    TScriptedServer Late(
        LateJsonResponse(R"({"choices":[{"message":{"content":"닫는 중에 온 답"}}]})",
                         std::chrono::milliseconds(400)),
        std::chrono::milliseconds(5000));
    setenv("KESTRILL_OPENAI_URL", Late.BaseUrl().c_str(), 1);
    auto W = OpenWindow();
    Type(*W, Q("닫기 전 질문"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE(Late.Connections(), 1);
    W->close();
    W.reset();
    std::vector<std::string> Chats;
    for (const auto& E : std::filesystem::directory_iterator(DataFolder()))
      if (E.path().extension() == ".json" && E.path().filename() != "ChatFileList.json")
        Chats.push_back(E.path().string());
    QCOMPARE(Chats.size(), std::size_t(1));
    auto Saved = ReadJsonFile(Chats[0]);
    QVERIFY(Saved && Saved->size() == 2);
    QCOMPARE(QString::fromStdString((*Saved)[1]["text"].get<std::string>()), Q("닫는 중에 온 답"));
  }

  void deletingAnEntryOutsideTheDataFolderKeepsItsFile() {
    const std::string Outside = FHome + "/important.json";
    WriteTestFile(Outside, "\xEF\xBB\xBF[]");
    const std::string Inside = WriteChat("mine", {{"user", "내 질문"}, {"model", "답"}});
    WriteCatalogue({{Outside, "중요한 파일", "20250101090000"}, {Inside, "내 채팅", "20250301090000"}});
    auto W = OpenWindow();
    QCOMPARE(ItemTexts(*W), QStringList({Q("내 채팅"), Q("중요한 파일")}));
    FDialogs.Answers = {true, true};
    ClickMenuItem(OpenItemMenu(*W, 1), "MenuItemDelete");
    QTRY_COMPARE(ItemTexts(*W), QStringList({Q("내 채팅")}));
    QVERIFY(std::filesystem::exists(Outside));
    QCOMPARE(FDialogs.Messages.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(FDialogs.Messages[0]),
             Q("데이터 폴더 밖의 파일이므로 지우지 않고 목록에서만 뺐습니다.\r\n[") +
                 QString::fromStdString(Outside) + "]");
    ClickMenuItem(OpenItemMenu(*W, 0), "MenuItemDelete");
    QTRY_VERIFY(ItemTexts(*W).isEmpty());
    QVERIFY(!std::filesystem::exists(Inside));  // a chat of the data folder goes
    QCOMPARE(CatalogueEntries().size(), std::size_t(0));
  }

  void reRunSaysWhatConfirmingDoes() {
    WriteTwoChats();
    auto W = OpenWindow();
    ClickMenuItem(OpenItemMenu(*W, 0), "MenuItemReRun");
    QTRY_COMPARE(FDialogs.EditNotes.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(FDialogs.EditNotes[0]),
             Q("확인하면 이 채팅이 이 질문으로 다시 시작되고, 지금까지의 대화는 저장된 파일에서 "
               "지워집니다."));
    // cancelled: the chat as it was (drawn once the page has rendered it)
    QTRY_COMPARE(Bubbles(*W), Q("U:오늘 질문|M:오늘 답"));
  }

  void textEditor() {
    TConfig C(SettingsFilePath());
    C.Write(keys::FontSize, 16.0);
    TfrmTextEditor E(C, nullptr);
    QCOMPARE(E.findChild<QPlainTextEdit*>("memoText")->font().pointSizeF(), 16.0);
    E.SetText(QString::fromUtf8("첫 줄\n둘째 줄\n"));
    QCOMPARE(E.GetText(), QString::fromUtf8("첫 줄\n둘째 줄\n"));
    QCOMPARE(E.windowTitle(), QString::fromUtf8("텍스트 편집"));
    // The note under the text shows only when there is one.
    QVERIFY(!E.findChild<QLabel*>("lbNote")->isVisibleTo(&E));
    E.SetNote(Q("확인하면 다시 시작됩니다."));
    QVERIFY(E.findChild<QLabel*>("lbNote")->isVisibleTo(&E));
    // The one-line form, for titles: breaks and tabs of an old title become single spaces.
    TfrmTextEditor Line(C, nullptr, /*ASingleLine=*/true);
    QVERIFY(!Line.findChild<QPlainTextEdit*>("memoText"));
    Line.SetText(Q("첫 줄\r\n둘째\t줄"));
    QCOMPARE(Line.GetText(), Q("첫 줄 둘째 줄"));
  }

  void cleanup() {
    QCursor::setPos(5, 795);  // off every window, so the next one starts without a hover
    unsetenv("KESTRILL_OPENAI_URL");
    FServer.reset();
  }

  // Last: after its file dialogs, a later test's hover over a chat item is not seen.
  void exportWritesTheChosenFormat() {
    WriteTwoChats();
    auto W = OpenWindow();
    const std::pair<QString, QString> Cases[] = {
        {QString::fromStdString(FHome) + "/내보낸 대화.md", "# 지난주 대화"},
        {QString::fromStdString(FHome) + "/내보낸 대화.html", "var EXPORT_TITLE = \"지난주 대화\";"},
    };
    for (const auto& [Path, Expected] : Cases) {
      TFileDialogAnswer Dialog(Path);
      ClickMenuItem(OpenItemMenu(*W, 1), "MenuItemExport");
      QTRY_VERIFY(Dialog.Name == "SaveDialog1");
      QCOMPARE(Dialog.Filters, QStringList({"Markdown (*.md)", "HTML (*.html)"}));
      // Offered in the documents folder, named after the chat's title.
      QCOMPARE(Dialog.Directory, QString::fromStdString(FHome) + "/Documents");
      QCOMPARE(QFileInfo(Dialog.Proposed).fileName(), Q("지난주 대화.md"));
      QTRY_VERIFY(QFileInfo::exists(Path));
      QVERIFY(QString::fromStdString(ReadFileBytes(Path.toStdString()).value_or(""))
                  .contains(Expected));
    }
    QVERIFY(FDialogs.Messages.empty());
    // A folder that cannot be written: the user is told why, in Korean.
    TFileDialogAnswer Dialog(QString::fromStdString(FHome) + "/없는 폴더/x.md");
    ClickMenuItem(OpenItemMenu(*W, 1), "MenuItemExport");
    QTRY_COMPARE(FDialogs.Messages.size(), std::size_t(1));
    QVERIFY(FDialogs.Messages[0].rfind("채팅을 내보내지 못했습니다.", 0) == 0);
  }
};

int main(int argc, char** argv) {
  setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);
  kestrill::RegisterChatUiScheme();
  QApplication App(argc, argv);
  MainWindowTest Test;
  return QTest::qExec(&Test, argc, argv);
}

#include "MainWindowTest.moc"
