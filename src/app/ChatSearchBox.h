// The search box above the chat list: as the user types, the saved chats holding every word
// (title or message text) are listed with a snippet; choosing one opens it. The search runs on a
// thread of its own and its hits are listed as they are found.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "storage/ChatSearch.h"

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QTimer;

namespace kestrill {

class TTaskRunner;

// What a snippet of a message says, without its Markdown: no emphasis marks, heading or list
// marks, code fences or table rules, and a link's text without its address; on one line.
QString PlainSnippet(const QString& AMarkdown);

class TChatSearchBox : public QWidget {
  Q_OBJECT
 public:
  // One search, run on the box's search thread: it hands the hits to AFound as it finds them,
  // in the order they are to be listed, and ends soon after AStop is requested.
  using TSearchJob = std::function<void(std::stop_token AStop, const TChatSearch::TOnHits& AFound)>;
  // Called on the UI thread as each search starts; whatever the job needs of the window it takes
  // here, as values.
  using TSearcher = std::function<TSearchJob(const std::string& AQuery)>;
  TChatSearchBox(TSearcher ASearcher, QWidget* AParent);
  ~TChatSearchBox() override;

  bool Active() const;  // a query is typed: the hits stand in for the chat list
  // Empties the box, and the chat list is back at once.
  void Clear();

 signals:
  void ActiveChanged(bool AActive);
  void ChatChosen(const QString& AFileName, const QString& ATitle);

 protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void RunSearch();
  // From the search thread, through queued calls; AGeneration tells which search they are of.
  void AddHits(std::uint64_t AGeneration, const std::vector<TChatSearchHit>& AHits);
  void EndSearch(std::uint64_t AGeneration);
  void ShowSearching();
  void ClearList();
  // The list made this search's own, the previous query's hits gone (once per search).
  void TakeList();
  void SetActive(bool AActive);

  TSearcher FSearcher;
  QLineEdit* edSearch;
  QListWidget* ListSearchHits;
  QTimer* FTimer;
  QTimer* FSearchingTimer;  // a search still running after a moment says so
  QListWidgetItem* FSearchingLine = nullptr;
  bool FActive = false;
  // Counts the searches started: hits of any but the latest are not this query's and are dropped.
  std::uint64_t FGeneration = 0;
  bool FSearching = false;
  bool FListIsCurrent = false;  // the list is the latest search's, not the previous query's hits
  std::string FQuery;           // of the latest search
  std::size_t FHitCount = 0;
  std::unique_ptr<TTaskRunner> FRunner;  // last: its thread ends before the rest goes
};

}  // namespace kestrill
