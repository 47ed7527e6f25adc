// The chat search box under Xvfb: its searches run on a thread of their own, so hits arrive
// while the window goes on handling events, a slow search says "검색 중…", a newer query's hits
// replace an older one's, and a box closed during a search ends it.
#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "TestEnv.h"
#include "app/ChatSearchBox.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

QString Q(const char* AUtf8) { return QString::fromUtf8(AUtf8); }

// Holds each search at a named point until the test lets it through, so what the box shows
// meanwhile is looked at without racing the search.
class TGate {
 public:
  void Open(const std::string& AName) {
    {
      std::lock_guard Lock(FMutex);
      FOpen.insert(AName);
    }
    FWake.notify_all();
  }
  // On the search thread: waits until AName is open; false when AStop came first. The minute
  // is only there so that a box searching on its UI thread fails the test instead of hanging it.
  bool Pass(const std::string& AName, std::stop_token AStop = {}) {
    std::unique_lock Lock(FMutex);
    FThreads[AName] = std::this_thread::get_id();
    return FWake.wait_for(Lock, AStop, std::chrono::minutes(1),
                          [&] { return FOpen.count(AName) > 0; });
  }
  bool Reached(const std::string& AName) {
    std::lock_guard Lock(FMutex);
    return FThreads.count(AName) > 0;
  }
  std::thread::id ThreadAt(const std::string& AName) {
    std::lock_guard Lock(FMutex);
    return FThreads[AName];
  }

 private:
  std::mutex FMutex;
  std::condition_variable_any FWake;
  std::set<std::string> FOpen;
  std::map<std::string, std::thread::id> FThreads;
};

// The rows of the hit list: a hit's file name, or the text of a line that is not a hit.
QStringList Rows(QListWidget* AList) {
  QStringList Out;
  for (int I = 0; I < AList->count(); ++I) {
    const QString File = AList->item(I)->data(Qt::UserRole).toString();
    Out << (File.isEmpty() ? AList->item(I)->text() : QFileInfo(File).fileName());
  }
  return Out;
}

TChatSearchHit Hit(const char* AFile) { return {AFile, AFile, ""}; }

}  // namespace

class SearchBoxTest : public QObject {
  Q_OBJECT

  std::string FDir;
  std::shared_ptr<TChatSearch> FStore;

  void WriteChat(const char* AName, const char* AText) {
    WriteTestFile(FDir + "/" + AName,
                  FormatHistoryFile({CreateChatMessage("user", AText),
                                     CreateChatMessage("model", std::string(AText) + " 답")}));
  }

  static std::unique_ptr<TChatSearchBox> Open(TChatSearchBox::TSearcher ASearcher) {
    auto Box = std::make_unique<TChatSearchBox>(std::move(ASearcher), nullptr);
    Box->resize(300, 400);
    Box->show();
    if (!QTest::qWaitForWindowExposed(Box.get())) return nullptr;
    return Box;
  }

 private slots:
  void init() {
    FDir = MakeTempFolder();
    FStore = std::make_shared<TChatSearch>();
    WriteChat("20260101090000.json", "samsung dividend");
    WriteChat("20260102090000.json", "hyundai dividend");
    WriteChat("20260103090000.json", "samsung outlook");
  }

  void hitsArriveWhileTheWindowGoesOn() {
    TGate Gate;
    auto Box = Open([&](const std::string& AQuery) -> TChatSearchBox::TSearchJob {
      return [&Gate, AQuery](std::stop_token AStop, const TChatSearch::TOnHits& AFound) {
        if (!Gate.Pass(AQuery + " start", AStop)) return;
        AFound({Hit("first.json")});
        if (!Gate.Pass(AQuery + " more", AStop)) return;
        AFound({Hit("second.json"), Hit("third.json")});
      };
    });
    QVERIFY(Box);
    auto* Edit = Box->findChild<QLineEdit*>("edSearch");
    auto* Hits = Box->findChild<QListWidget*>("ListSearchHits");
    QTest::keyClicks(Edit, "dividend");
    // Held before it found anything: the window goes on and, after a moment, says it searches.
    QTRY_VERIFY(Gate.Reached("dividend start"));
    QVERIFY(Gate.ThreadAt("dividend start") != std::this_thread::get_id());
    QTRY_VERIFY(Hits->isVisible());
    QCOMPARE(Rows(Hits), QStringList{Q("검색 중…")});
    QVERIFY(Box->Active());
    // The first hit shows while the search goes on, the line stays last.
    Gate.Open("dividend start");
    QTRY_COMPARE(Rows(Hits), (QStringList{"first.json", Q("검색 중…")}));
    QCOMPARE(Hits->item(1)->flags(), Qt::NoItemFlags);
    Gate.Open("dividend more");
    QTRY_COMPARE(Rows(Hits), (QStringList{"first.json", "second.json", "third.json"}));
  }

  void theRealStoreListsItsHitsNewestFirst() {
    auto Box = Open([&](const std::string& AQuery) -> TChatSearchBox::TSearchJob {
      return [Store = FStore, Dir = FDir, AQuery](std::stop_token AStop,
                                                  const TChatSearch::TOnHits& AFound) {
        Store->Search(Dir, AQuery, {}, kMaxSearchHits, AStop, AFound);
      };
    });
    QVERIFY(Box);
    auto* Edit = Box->findChild<QLineEdit*>("edSearch");
    auto* Hits = Box->findChild<QListWidget*>("ListSearchHits");
    QTest::keyClicks(Edit, "Dividend");
    QTRY_COMPARE(Rows(Hits), (QStringList{"20260102090000.json", "20260101090000.json"}));
    Edit->setText("nowhere");
    QTRY_COMPARE(Rows(Hits), QStringList{Q("찾는 채팅이 없습니다.")});
    Edit->clear();
    QTRY_VERIFY(!Hits->isVisible());
    QVERIFY(!Box->Active());
  }

  void aNewerQueryReplacesAnOlder() {
    TGate Gate;
    std::atomic<int> StaleHits = 0;
    std::set<std::string> Started;  // the queries the box started a search for
    auto Box = Open([&](const std::string& AQuery) -> TChatSearchBox::TSearchJob {
      Started.insert(AQuery);
      return [&, Store = FStore, Dir = FDir, AQuery](std::stop_token AStop,
                                                     const TChatSearch::TOnHits& AFound) {
        if (AQuery != "samsung") {
          Store->Search(Dir, AQuery, {}, kMaxSearchHits, AStop, AFound);
          return;
        }
        // A search that does not look at its stop: its hits come after the newer query's
        // search started, and must not show.
        Gate.Pass("samsung");
        Store->Search(Dir, AQuery, {}, kMaxSearchHits, {}, [&](std::vector<TChatSearchHit> A) {
          StaleHits += int(A.size());
          AFound(std::move(A));
        });
      };
    });
    QVERIFY(Box);
    auto* Edit = Box->findChild<QLineEdit*>("edSearch");
    auto* Hits = Box->findChild<QListWidget*>("ListSearchHits");
    QTest::keyClicks(Edit, "samsung");
    QTRY_VERIFY(Gate.Reached("samsung"));
    QTRY_COMPARE(Rows(Hits), QStringList{Q("검색 중…")});
    Edit->setText("hyundai");
    QTRY_VERIFY(Started.count("hyundai"));
    // The older search goes on after the newer one started, and the newer waits behind it on
    // the search thread; once the newer has ended, all the older one sent was delivered first.
    Gate.Open("samsung");
    QTRY_COMPARE(Rows(Hits), QStringList{"20260102090000.json"});
    QCOMPARE(StaleHits.load(), 2);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(Rows(Hits), QStringList{"20260102090000.json"});
  }

  void closingTheBoxEndsItsSearch() {
    TGate Gate;
    std::atomic<bool> Stopped = false;
    auto Box = Open([&](const std::string& AQuery) -> TChatSearchBox::TSearchJob {
      return [&, AQuery](std::stop_token AStop, const TChatSearch::TOnHits& AFound) {
        Stopped = !Gate.Pass(AQuery, AStop);
        AFound({Hit("late.json")});  // posted to a box on its way out: never delivered
      };
    });
    QVERIFY(Box);
    QTest::keyClicks(Box->findChild<QLineEdit*>("edSearch"), "dividend");
    QTRY_VERIFY(Gate.Reached("dividend"));
    Box.reset();  // returns once the search has ended
    QVERIFY(Stopped);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
};

int main(int argc, char** argv) {
  QApplication App(argc, argv);
  SearchBoxTest Test;
  return QTest::qExec(&Test, argc, argv);
}

#include "SearchBoxTest.moc"
