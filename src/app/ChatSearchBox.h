// The search box above the chat list: as the user types, the saved chats holding every word
// (title or message text) are listed with a snippet; choosing one opens it.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "storage/ChatSearch.h"

class QLineEdit;
class QListWidget;
class QTimer;

namespace kestrill {

// What a snippet of a message says, without its Markdown: no emphasis marks, heading or list
// marks, code fences or table rules, and a link's text without its address; on one line.
QString PlainSnippet(const QString& AMarkdown);

class TChatSearchBox : public QWidget {
  Q_OBJECT
 public:
  using TSearcher = std::function<std::vector<TChatSearchHit>(const std::string& AQuery)>;
  TChatSearchBox(TSearcher ASearcher, QWidget* AParent);

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
  TSearcher FSearcher;
  QLineEdit* edSearch;
  QListWidget* ListSearchHits;
  QTimer* FTimer;
  bool FActive = false;
};

}  // namespace kestrill
