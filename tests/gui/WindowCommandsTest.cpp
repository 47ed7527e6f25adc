// The window's ways to its commands under Xvfb with the real web engine: the chat item menu at
// the smallest window (the "..." button, right click, the context menu key), the logo menu, the
// settings dialog from every way in, the chat title against its sidebar item, the search box's
// keys and snippets, the status line of quiet commands, Korean buttons, the focus ring. With
// KESTRILL_SCREENSHOT_DIR set it also leaves screenshots of the item menu and the settings.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <filesystem>
#include <functional>

#include "FakeHttpServer.h"
#include "TestEnv.h"
#include "app/AppLocale.h"
#include "app/ChatSearchBox.h"
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"
#include "core/Config.h"
#include "core/JsonPath.h"
#include "core/Paths.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

QString Q(const char* AUtf8) { return QString::fromUtf8(AUtf8); }

template <class T = QWidget>
T* Find(QObject& W, const char* AName) {
  return W.findChild<T*>(AName);
}

QListWidget* List(TfrmMain& W) { return Find<QListWidget>(W, "ListBoxHistory"); }

const char kLongTitle[] =
    "삼성전자와 SK하이닉스의 2025년 4분기 실적과 내년 반도체 업황 전망을 비교해 주세요";

// Runs AAnswer on the next modal dialog of type T once it shows (the way a user would answer
// it), so a test never waits on a modal box.
template <class T>
struct TModalAnswer {
  QTimer Poll;
  bool Seen = false;
  explicit TModalAnswer(std::function<void(T&)> AAnswer) {
    Poll.setInterval(30);
    QObject::connect(&Poll, &QTimer::timeout, [this, AAnswer] {
      auto* D = qobject_cast<T*>(QApplication::activeModalWidget());
      if (!D || !D->isVisible()) return;
      Poll.stop();
      Seen = true;
      AAnswer(*D);
    });
    Poll.start();
  }
};

// Screenshots the window's part of the X display into KESTRILL_SCREENSHOT_DIR, when set.
void Screenshot(QWidget& AWindow, const char* AName) {
  const char* Dir = std::getenv("KESTRILL_SCREENSHOT_DIR");
  if (!Dir) return;
  std::filesystem::create_directories(Dir);
  QTest::qWait(800);
  const QRect G = AWindow.frameGeometry().united(
      QApplication::activePopupWidget() ? QApplication::activePopupWidget()->geometry() : QRect());
  const QString Crop = QString("%1x%2+%3+%4").arg(G.width()).arg(G.height()).arg(G.x()).arg(G.y());
  const std::string Command = "import -window root -crop " + Crop.toStdString() + " '" +
                              std::string(Dir) + "/" + AName + "'";
  QCOMPARE(std::system(Command.c_str()), 0);
}

}  // namespace

class WindowCommandsTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<TFakeHttpServer> FServer;
  std::string FHome;
  TfrmMain::TDialogScript FDialogs;

  std::string DataFolder() const { return FHome + "/Documents/Kestrill"; }

  // A saved chat and its catalogue entry; the catalogue lists AChats oldest first.
  void WriteChats(const std::vector<std::pair<std::string, std::string>>& ANameTitles,
                  const std::string& AAnswer = "답") {
    TJson Catalogue = TJson::array();
    int Minute = 10;
    for (const auto& [Name, Title] : ANameTitles) {
      TJson Chat = TJson::array();
      Chat.push_back({{"msgId", Name + "-0"}, {"role", "user"}, {"text", Title}});
      Chat.push_back({{"msgId", Name + "-1"}, {"role", "model"}, {"text", AAnswer}});
      const std::string Path = DataFolder() + "/" + Name + ".json";
      WriteTestFile(Path, "\xEF\xBB\xBF" + Chat.dump(4));
      Catalogue.push_back({{"filename", Path},
                           {"title", Title},
                           {"lastModified", "202501010900" + std::to_string(Minute++)}});
    }
    WriteTestFile(DataFolder() + "/ChatFileList.json", "\xEF\xBB\xBF" + Catalogue.dump(4));
  }

  std::unique_ptr<TfrmMain> OpenWindow() {
    auto W = std::make_unique<TfrmMain>();
    W->SetDialogScript(&FDialogs);
    W->show();
    W->activateWindow();
    [&] {
      QTRY_VERIFY_WITH_TIMEOUT(Find<QPushButton>(*W, "btnSend")->isEnabled(), 20000);
      QVERIFY(QTest::qWaitForWindowActive(W.get()));
    }();
    return W;
  }

  void MakeSmallest(TfrmMain& W) {
    W.move(0, 0);
    W.resize(1, 1);
    QTRY_COMPARE(W.size(), W.minimumSizeHint());
    QTest::qWait(50);
  }

  void ChatTurn(TfrmMain& W, const QString& APrompt) {
    auto* Memo = Find<QPlainTextEdit>(W, "MemoInput");
    const std::size_t Before = W.Controller().ChatHistory().size();
    Memo->setPlainText(APrompt);
    QTest::keyClick(Memo, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(W.Controller().ChatHistory().size(), Before + 2, 10000);
  }

  void ClickLogoMenu(TfrmMain& W, const char* AAction) {
    QTest::mouseClick(Find(W, "sbLogo"), Qt::LeftButton);
    auto* Menu = Find<QMenu>(W, "PopupLogo");
    QTRY_VERIFY(Menu->isVisible());
    QTest::mouseClick(Menu, Qt::LeftButton, {},
                      Menu->actionGeometry(W.findChild<QAction*>(AAction)).center());
  }

 private slots:
  void init() {
    FDialogs = {};
    FHome = UseFreshDataFolder();
    FServer = std::make_unique<TFakeHttpServer>();
    FServer->SetDefault({200, R"({"choices":[{"message":{"content":"**답**입니다."}}]})"});
    setenv("KESTRILL_OPENAI_URL", FServer->BaseUrl().c_str(), 1);
    TConfig C(SettingsFilePath());
    C.Write(keys::OpenAIKey, "sk-test");
    C.Write(keys::Selected, 1);
    C.Write(keys::Mode, 0);
  }

  void cleanup() {
    QCursor::setPos(5, 795);  // off every window, so the next one starts without a hover
    unsetenv("KESTRILL_OPENAI_URL");
    FServer.reset();
  }

  // At the smallest window a long title runs past the list's edge; the "..." button stays in
  // what shows of its row, and its menu works on that item.
  void itemMenuButtonIsInsideTheRowAtTheSmallestWindow() {
    WriteChats({{"short", "짧은 제목"}, {"long", kLongTitle}});
    auto W = OpenWindow();
    MakeSmallest(*W);
    QListWidget* L = List(*W);
    auto* Btn = Find<QPushButton>(*W, "ActionBtn");
    QCOMPARE(L->item(0)->text(), Q(kLongTitle));
    for (int Row : {0, 1}) {
      const QRect R = L->visualItemRect(L->item(Row));
      QTest::mouseMove(Find(*W, "sbNewChat"));
      QTest::mouseMove(L->viewport(), QPoint(10, R.center().y()));
      QTRY_VERIFY(Btn->isVisible());
      QVERIFY2(L->viewport()->rect().contains(Btn->geometry()), qPrintable(QString::number(Row)));
      QCOMPARE(Btn->geometry().right(), L->viewport()->rect().right());
      QCOMPARE(Btn->geometry().top(), R.top());
    }
    QTest::mouseMove(L->viewport(), QPoint(10, L->visualItemRect(L->item(0)).center().y()));
    QTRY_VERIFY(Btn->isVisible());
    QTest::mouseMove(Btn);
    QTest::mouseClick(Btn, Qt::LeftButton);
    auto* Menu = Find<QMenu>(*W, "PopupMenu1");
    QTRY_VERIFY(Menu->isVisible());
    Screenshot(*W, "item-menu-minimum.png");
    FDialogs.Edits.push_back("바꾼 제목");
    QTest::mouseClick(Menu, Qt::LeftButton, {},
                      Menu->actionGeometry(W->findChild<QAction*>("MenuItemEdit")).center());
    QCOMPARE(L->item(0)->text(), Q("바꾼 제목"));
    QCOMPARE(L->item(1)->text(), Q("짧은 제목"));
  }

  void itemMenuOpensFromRightClickAndKeys_data() {
    QTest::addColumn<QString>("Way");
    QTest::newRow("right click") << "mouse";
    QTest::newRow("Menu key") << "menu";
    QTest::newRow("Shift+F10") << "shift+f10";
  }

  // Each way opens the menu for its item, without opening the chat (as the "..." button).
  void itemMenuOpensFromRightClickAndKeys() {
    QFETCH(QString, Way);
    WriteChats({{"older", "지난 대화"}, {"long", kLongTitle}});
    auto W = OpenWindow();
    MakeSmallest(*W);
    QListWidget* L = List(*W);
    auto* Menu = Find<QMenu>(*W, "PopupMenu1");
    const std::string Open = W->Controller().ChatFileName();
    int Row = 1;
    if (Way == "mouse") {
      QTest::mouseClick(L->viewport(), Qt::RightButton, {},
                        L->visualItemRect(L->item(Row)).center());
      // A click sends no context menu event by itself; a right click on a desktop does.
      QContextMenuEvent Event(QContextMenuEvent::Mouse, L->visualItemRect(L->item(Row)).center(),
                              L->viewport()->mapToGlobal(L->visualItemRect(L->item(Row)).center()));
      QApplication::sendEvent(L->viewport(), &Event);
      QVERIFY(L->selectedItems().isEmpty());
      QCOMPARE(W->Controller().ChatFileName(), Open);
    } else {
      // The keys act on the selected item, which is the open chat.
      Row = 0;
      QTest::mouseClick(L->viewport(), Qt::LeftButton, {}, L->visualItemRect(L->item(0)).center());
      QTRY_VERIFY(L->hasFocus());
      if (Way == "menu")
        QTest::keyClick(L, Qt::Key_Menu);
      else
        QTest::keyClick(L, Qt::Key_F10, Qt::ShiftModifier);
    }
    QTRY_VERIFY(Menu->isVisible());
    // It opens inside the list's visible part, next to the item.
    const QPoint At = L->viewport()->mapFromGlobal(Menu->pos());
    QVERIFY2(L->viewport()->rect().contains(QPoint(At.x(), At.y() - 2)), qPrintable(Way));
    FDialogs.Edits.push_back("메뉴로 바꾼 제목");
    QTest::mouseClick(Menu, Qt::LeftButton, {},
                      Menu->actionGeometry(W->findChild<QAction*>("MenuItemEdit")).center());
    QCOMPARE(L->item(Row)->text(), Q("메뉴로 바꾼 제목"));
  }

  void logoMenuHasTheSidebarsCommands() {
    TConfig(SettingsFilePath()).Write(keys::Sidebar, false);
    auto W = OpenWindow();
    QVERIFY(!Find(*W, "LayoutLeftPanel")->isVisible());
    auto* Logo = Find<QToolButton>(*W, "sbLogo");
    QVERIFY(Logo->text().contains(Q("▾")));
    QVERIFY(Logo->width() >= Logo->sizeHint().width());
    QStringList Texts;
    for (QAction* A : Find<QMenu>(*W, "PopupLogo")->actions())
      if (!A->isSeparator()) Texts << A->text();
    QCOMPARE(Texts, QStringList({Q("새 채팅"), Q("사이드바"), Q("프롬프트 파일 열기"),
                                 Q("채팅 저장"), Q("환경설정")}));

    ChatTurn(*W, Q("첫 질문"));
    ClickLogoMenu(*W, "MenuNewChat");
    QTRY_VERIFY(W->Controller().ChatHistory().empty());
    QCOMPARE(W->Controller().ChatFileState(), cfsNew);

    TModalAnswer<TfrmSetting> Dialog([](TfrmSetting& D) { D.reject(); });
    ClickLogoMenu(*W, "MenuSetting");
    QTRY_VERIFY(Dialog.Seen);
  }

  void confirmedSettingsReachTheEngine_data() {
    QTest::addColumn<QString>("Way");
    QTest::addColumn<bool>("Confirm");
    QTest::addColumn<int>("Provider");  // the provider box afterwards
    QTest::newRow("sidebar, OK") << "sidebar" << true << 2;
    QTest::newRow("sidebar, cancel") << "sidebar" << false << 0;
    QTest::newRow("logo menu, OK") << "logo" << true << 2;
    QTest::newRow("engine asks, OK") << "engine" << true << 2;
  }

  // No key at all and Gemini chosen; the user puts in a Claude key: once confirmed, the
  // provider box goes to Claude (the engine's SettingsSaved choosing through SetProviderIndex).
  void confirmedSettingsReachTheEngine() {
    QFETCH(QString, Way);
    QFETCH(bool, Confirm);
    QFETCH(int, Provider);
    {
      TConfig C(SettingsFilePath());
      C.Write(keys::OpenAIKey, "");
      C.Write(keys::Selected, 0);
    }
    auto W = OpenWindow();
    TModalAnswer<TfrmSetting> Dialog([Confirm](TfrmSetting& D) {
      D.findChild<QLineEdit*>("edClaudeKey")->setText("sk-ant-test");
      QTest::mouseClick(D.findChild<QPushButton*>(Confirm ? "btnOK" : "btnCancel"), Qt::LeftButton);
    });
    if (Way == "sidebar")
      QTest::mouseClick(Find(*W, "sbSetting"), Qt::LeftButton);
    else if (Way == "logo")
      ClickLogoMenu(*W, "MenuSetting");
    else
      static_cast<IMainControls&>(*W).OpenSettings();
    QTRY_VERIFY(Dialog.Seen);
    QTRY_COMPARE(Find<QComboBox>(*W, "cbxModels")->currentIndex(), Provider);
    QCOMPARE(TConfig(SettingsFilePath()).Read(keys::ClaudeKey, ""),
             std::string(Confirm ? "sk-ant-test" : ""));
  }

  // Above the page the open chat has its sidebar item's title: "새 채팅" before any, the
  // question once the first answer saved it, on one line, shortened with "…" on a whole
  // character.
  void chatTitleIsTheSidebarItemsTitle() {
    auto W = OpenWindow();
    auto* Title = Find<TElidedLabel>(*W, "lbChatTitle");
    QCOMPARE(Title->text(), Q("새 채팅"));
    QTest::mouseClick(Find(*W, "sbNewChat"), Qt::LeftButton);
    QVERIFY(Title->text().endsWith(Q(" 의 대화")));
    QTRY_VERIFY_WITH_TIMEOUT(Find<QPushButton>(*W, "btnSend")->isEnabled(), 10000);

    const QString Question =
        Q("삼성전자와 SK하이닉스의\n2025년 4분기 실적과\r\n내년 반도체 업황 전망");
    ChatTurn(*W, Question);
    QTRY_COMPARE(List(*W)->count(), 1);
    const QString Item = List(*W)->item(0)->text();
    QVERIFY2(!Item.contains('\n') && Item.startsWith(Q("삼성전자와 SK하이닉스의 2025년")),
             qPrintable(Item));
    QCOMPARE(Title->text(), Item);

    MakeSmallest(*W);
    const QString Shown = Title->ShownText();
    QVERIFY2(Shown.endsWith(Q("…")) && Item.startsWith(Shown.chopped(1)), qPrintable(Shown));
    QVERIFY(!Shown.chopped(1).back().isSurrogate());

    // Renamed from its menu, the title above the page follows; a title of several lines given
    // by anyone is shown on one.
    W->SetHistoryItemTitle(W->Controller().ChatFileName(), "새 이름");
    QCOMPARE(Title->text(), Q("새 이름"));
    W->SetChatTitle("첫 줄\n둘째 줄\t끝");
    QCOMPARE(Title->text(), Q("첫 줄 둘째 줄 끝"));
    W->SetChatTitle("");
    QCOMPARE(Title->text(), Q("새 채팅"));
  }

  void escapeAndANewChatClearTheSearch() {
    WriteChats({{"issue", "최근 이슈"}});
    auto W = OpenWindow();
    auto* Edit = Find<QLineEdit>(*W, "edSearch");
    auto* Hits = Find<QListWidget>(*W, "ListSearchHits");
    for (const char* How : {"escape", "new chat"}) {
      Edit->setFocus();
      QTRY_VERIFY(Edit->hasFocus());
      QTest::keyClicks(Edit, "zzqq");
      QTRY_VERIFY(Hits->isVisible());
      QCOMPARE(Hits->item(0)->text(), Q("찾는 채팅이 없습니다."));
      if (QString(How) == "escape")
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
      else
        QTest::mouseClick(Find(*W, "sbNewChat"), Qt::LeftButton);
      QTRY_VERIFY2(List(*W)->isVisible(), How);
      QCOMPARE(Edit->text(), QString());
      QVERIFY(!Hits->isVisible());
    }
  }

  void snippetsShowPlainText_data() {
    QTest::addColumn<QString>("Markdown");
    QTest::addColumn<QString>("Plain");
    QTest::newRow("strong") << Q("**최근 이슈**는 다음과 같습니다")
                            << Q("최근 이슈는 다음과 같습니다");
    QTest::newRow("heading and list") << Q("## 요약\n- 매출 증가\n- 영업이익 *감소*\n1. 배당 유지")
                                      << Q("요약 매출 증가 영업이익 감소 배당 유지");
    QTest::newRow("link") << Q("자세한 내용은 [DART 공시](https://dart.fss.or.kr/x?a=1) 참고")
                          << Q("자세한 내용은 DART 공시 참고");
    QTest::newRow("code fence") << Q("```python\nprint(1)\n```\n끝") << Q("print(1) 끝");
    QTest::newRow("inline code") << Q("`005930.KS` 종가") << Q("005930.KS 종가");
    QTest::newRow("emphasis cut by the excerpt")
        << Q("…80,500원)**입니다. 전망은") << Q("…80,500원)입니다. 전망은");
    QTest::newRow("table") << Q("| 종목 | 현재가 |\n|:---|---:|\n| 삼성 | 8만 |")
                           << Q("종목 현재가 삼성 8만");
    QTest::newRow("quote") << Q("> 인용문\n본문") << Q("인용문 본문");
    QTest::newRow("plain text stays")
        << Q("3 * 4 = 12, snake_case_name, 2*3") << Q("3 * 4 = 12, snake_case_name, 2*3");
  }

  void snippetsShowPlainText() {
    QFETCH(QString, Markdown);
    QFETCH(QString, Plain);
    QCOMPARE(PlainSnippet(Markdown), Plain);
  }

  void searchHitsShowPlainSnippets() {
    WriteChats({{"issue", "이슈 질문"}}, "## 정리\n**최근 이슈**: [공시](https://dart.fss.or.kr)");
    auto W = OpenWindow();
    Find<QLineEdit>(*W, "edSearch")->setText(Q("최근"));
    auto* Hits = Find<QListWidget>(*W, "ListSearchHits");
    QTRY_VERIFY(Hits->isVisible() && Hits->count() == 1 && Hits->itemWidget(Hits->item(0)));
    const QString Shown = qobject_cast<QLabel*>(Hits->itemWidget(Hits->item(0)))->toolTip();
    QVERIFY2(
        Shown.contains(Q("최근 이슈: 공시")) && !Shown.contains('*') && !Shown.contains("https"),
        qPrintable(Shown));
  }

  void quietCommandsSayTheyWorked() {
    WriteChats({{"older", "지난 대화"}});
    auto W = OpenWindow();
    auto* Status = Find<QLabel>(*W, "lbStatus");
    QVERIFY(!Status->isVisible());
    ChatTurn(*W, Q("저장할 질문"));
    Find(*W, "MemoInput")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    const QString Saved =
        QFileInfo(QString::fromStdString(W->Controller().ChatFileName())).fileName();
    QTRY_VERIFY(Status->isVisible());
    QCOMPARE(Status->text(), Q("저장했습니다: ") + Saved);
    Screenshot(*W, "status-line.png");
    // Over the page, wholly inside it.
    auto* Page = Find(*W, "ChatWebBrowser");
    QVERIFY(QRect(Page->mapTo(W.get(), QPoint(0, 0)), Page->size())
                .contains(QRect(Status->mapTo(W.get(), QPoint(0, 0)), Status->size())));
    QTRY_VERIFY_WITH_TIMEOUT(!Status->isVisible(), 15000);  // it goes by itself

    const QString Target = QString::fromStdString(FHome) + "/내보낸 대화.md";
    QTimer Answer;
    Answer.setInterval(50);
    connect(&Answer, &QTimer::timeout, [&] {
      if (auto* D = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        D->selectFile(Target);
        if (auto* Edit = qobject_cast<QLineEdit*>(D->focusWidget())) Edit->setText(Target);
        static_cast<QDialog*>(D)->accept();
      }
    });
    Answer.start();
    QListWidget* L = List(*W);
    QTest::mouseClick(L->viewport(), Qt::RightButton, {}, L->visualItemRect(L->item(1)).center());
    QContextMenuEvent Event(QContextMenuEvent::Mouse, L->visualItemRect(L->item(1)).center(),
                            L->viewport()->mapToGlobal(L->visualItemRect(L->item(1)).center()));
    QApplication::sendEvent(L->viewport(), &Event);
    auto* Menu = Find<QMenu>(*W, "PopupMenu1");
    QTRY_VERIFY(Menu->isVisible());
    QTest::mouseClick(Menu, Qt::LeftButton, {},
                      Menu->actionGeometry(W->findChild<QAction*>("MenuItemExport")).center());
    QTRY_VERIFY(QFileInfo::exists(Target));
    QTRY_COMPARE(Status->text(), Q("내보냈습니다: ") + Target);
    QVERIFY(Status->isVisible());
    QVERIFY(FDialogs.Messages.empty());
  }

  void openingAFileNothingOpensSaysSo() {
    WriteChats({{"older", "지난 대화"}});
    auto W = OpenWindow();
    QObject Refuser;  // a handler without the named slot: the desktop "cannot open" it
    QDesktopServices::setUrlHandler("file", &Refuser, "NoSuchSlot");
    static_cast<IMainControls&>(*W).OpenURL(DataFolder() + "/older.json");
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(FDialogs.Messages.size(), std::size_t(1));
    const QString Message = QString::fromStdString(FDialogs.Messages[0]);
    QVERIFY2(Message.startsWith(Q("다음 파일을 열 수 없습니다.")) &&
                 Message.contains(QString::fromStdString(DataFolder() + "/older.json")),
             qPrintable(Message));
  }

  // The program's own questions answer in Korean whatever Qt's language; Qt's own texts are
  // Korean on a Korean desktop.
  void koreanButtonsAndQtTranslations() {
    auto W = OpenWindow();
    W->SetDialogScript(nullptr);
    QStringList Buttons;
    auto Read = [&Buttons](QMessageBox& B) {
      for (QAbstractButton* Button : B.buttons()) Buttons << Button->text();
      // Enter: the default button, or the only one.
      (B.defaultButton() ? B.defaultButton() : B.buttons().first())->click();
    };
    {
      TModalAnswer<QMessageBox> Answer(Read);
      QCOMPARE(W->ConfirmYesNo("지울까요?"), false);  // the default is No
      QCOMPARE(Buttons.size(), 2);
      QVERIFY(Buttons.contains(Q("예")) && Buttons.contains(Q("아니요")));
    }
    Buttons.clear();
    {
      TModalAnswer<QMessageBox> Answer(Read);
      W->AlaramMessage("알림");
      QTRY_VERIFY(Answer.Seen);
      QCOMPARE(Buttons, QStringList({Q("확인")}));
    }
    W->SetDialogScript(&FDialogs);

    QVERIFY(!LoadQtTranslations(*qApp, QLocale(QLocale::English, QLocale::UnitedStates)));
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ko.qm"))
      QSKIP("Qt's Korean translations are not installed (qt6-translations-l10n)");
    QVERIFY(LoadQtTranslations(*qApp, QLocale(QLocale::Korean, QLocale::SouthKorea)));
    const QString Open = QFileDialog::tr("&Open");
    const QString Cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
    for (QTranslator* T : qApp->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(T);  // the next tests see Qt's English again
      delete T;
    }
    QVERIFY2(Open != "&Open" && Cancel == Q("취소"), qPrintable(Open + " " + Cancel));
  }

  void inputTextIsReadableAndSendShowsTheFocus() {
    auto W = OpenWindow();
    auto* Memo = Find<QPlainTextEdit>(*W, "MemoInput");
    auto* Send = Find<QPushButton>(*W, "btnSend");
    QCOMPARE(QFontInfo(Memo->font()).pixelSize(), 15);
    Memo->setFocus();
    QTRY_VERIFY(Memo->hasFocus());
    const QImage Without = Send->grab().toImage();
    QTest::keyClick(Memo, Qt::Key_Tab);
    QTRY_VERIFY(Send->hasFocus());
    QTest::qWait(50);
    QVERIFY(Send->grab().toImage() != Without);  // the ring is drawn
  }

  void settingsDialogSaysWhereKeysComeFrom() {
    TConfig C(SettingsFilePath());
    C.Write(keys::UseDaishin, true);
    TfrmSetting D(C, nullptr);
    D.move(0, 0);
    D.show();
    QVERIFY(QTest::qWaitForWindowExposed(&D));
    // The model a send uses while none is stored is the one shown.
    QCOMPARE(D.findChild<QComboBox*>("cbxClaudeModel")->currentText(),
             QString("claude-sonnet-4-6"));
    QCOMPARE(D.findChild<QComboBox*>("cbxChatGPTModel")->currentText(), QString("gpt-5-nano"));
    QStringList Hints;
    for (QLabel* L : D.findChildren<QLabel*>("lbHint")) {
      QVERIFY(L->isVisible());
      Hints << L->text();
    }
    for (const char* Where :
         {"Google AI Studio", "platform.openai.com", "console.anthropic.com",
          "platform.deepseek.com", "opendart.fss.or.kr", "KRX 정보데이터시스템", "tavily.com"})
      QVERIFY2(Hints.join('|').contains(Q(Where)), Where);
    // Hints never run into the box under them.
    for (QLabel* L : D.findChildren<QLabel*>("lbHint"))
      for (QWidget* Other : L->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (Other != L && Other->isVisible() && !qobject_cast<QLabel*>(Other))
          QVERIFY2(!L->geometry().intersects(Other->geometry()), qPrintable(L->text()));
    bool Tavily = false;
    for (QLabel* L : D.findChildren<QLabel*>()) Tavily |= L->text() == "Tavily";
    QVERIFY(Tavily);
    auto* Daishin = D.findChild<QCheckBox*>("chkDaishin");
#ifndef Q_OS_WIN
    QVERIFY(!Daishin->isEnabled());
    QVERIFY(Daishin->toolTip().contains("Windows"));
#endif
    Screenshot(D, "settings.png");

    // A model typed by hand is kept as typed; one picked from the list too.
    auto* Ollama = D.findChild<QComboBox*>("cbxOllamaModel");
    QVERIFY(Ollama->isEditable());
    Ollama->lineEdit()->selectAll();
    QTest::keyClicks(Ollama->lineEdit(), "llama3.3:70b-instruct");
    D.findChild<QComboBox*>("cbxDeepseekModel")->setCurrentIndex(1);
    QTest::mouseClick(D.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    QCOMPARE(C.Read(keys::OllamaModel, ""), std::string("llama3.3:70b-instruct"));
    QCOMPARE(C.Read(keys::DeepseekModel, ""), std::string("deepseek-reasoner"));
    QCOMPARE(C.Read(keys::UseDaishin, false), true);  // kept, though it cannot be changed here
    QCOMPARE(Ollama->count(), 11);                    // the list itself stays as it was
  }
};

int main(int argc, char** argv) {
  setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);
  kestrill::RegisterChatUiScheme();
  QApplication App(argc, argv);
  WindowCommandsTest Test;
  return QTest::qExec(&Test, argc, argv);
}

#include "WindowCommandsTest.moc"
