// The real window under Xvfb with the real web engine: chatbot turns end to end against a
// provider on 127.0.0.1, the keys of the input box, layout restore, the dialogs.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <filesystem>

#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "app/TextEditorDialog.h"
#include "app/WebViewHost.h"
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

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<TFakeHttpServer> FServer;
  std::string FHome;

  std::unique_ptr<TfrmMain> OpenWindow() {
    auto W = std::make_unique<TfrmMain>();
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
    FHome = UseFreshHome();
    std::filesystem::create_directories(FHome + "/Documents/Kestrill");
    FServer = std::make_unique<TFakeHttpServer>();
    setenv("KESTRILL_OPENAI_URL", FServer->BaseUrl().c_str(), 1);
    TConfig C(SettingsFilePath());
    C.Write(keys::OpenAIKey, "sk-test");
    C.Write(keys::Selected, 1);
    C.Write(keys::Mode, 0);
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
    auto Body = ParseJson(FServer->LastRequest().Body);
    QCOMPARE(QString::fromStdString((*Body)["messages"][0]["content"].get<std::string>()),
             QString::fromUtf8("삼성전자 주가?"));
  }

  void agentTurnDrawsAChart() {
    TConfig(SettingsFilePath()).Write(keys::Mode, 1);
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
    TJson First = TJson::object();
    First["choices"] = TJson::array({TJson{{"message", Message}}});
    FServer->Enqueue({200, First.dump()});
    FServer->Enqueue({200, R"({"choices":[{"message":{"content":"차트를 그렸습니다."}}]})"});
    auto W = OpenWindow();
    Type(*W, QString::fromUtf8("차트 보여줘"));
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W->Controller().ChatHistory().size(), std::size_t(4), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(W->findChild<QPushButton*>("btnSend")->isEnabled(), 10000);
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
    auto W = OpenWindow();
    Type(*W, "hello");
    QTest::keyClick(W->findChild<QPlainTextEdit*>("MemoInput"), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(W->findChild<QPushButton*>("btnSend")->isEnabled(), 10000);
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
    RunJs(*W, "document.querySelector('span[title=Delete]').click(); 0");
    QTRY_COMPARE_WITH_TIMEOUT(Links.count(), 1, 5000);
    QCOMPARE(Links.at(0).at(0).toString(), QString("chatui://delete/ID-1"));
    QTest::qWait(300);
    QCOMPARE(Bubbles(*W), QString("U:hi"));
    QCOMPARE(Loads.count(), 0);  // the cancelled navigation is not a page load
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
               QString("claude-4-sonnet-20250514"));
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
             QString("claude-4-sonnet-20250514"));
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

  void textEditor() {
    TConfig C(SettingsFilePath());
    C.Write(keys::FontSize, 16.0);
    TfrmTextEditor E(C, nullptr);
    QCOMPARE(E.findChild<QPlainTextEdit*>("memoText")->font().pointSizeF(), 16.0);
    E.SetText(QString::fromUtf8("첫 줄\n둘째 줄\n"));
    QCOMPARE(E.GetText(), QString::fromUtf8("첫 줄\n둘째 줄\n"));
    QCOMPARE(E.windowTitle(), QString::fromUtf8("텍스트 편집"));
  }

  void cleanup() {
    unsetenv("KESTRILL_OPENAI_URL");
    FServer.reset();
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
