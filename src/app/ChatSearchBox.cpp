#include "app/ChatSearchBox.h"

#include <QColor>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/TaskRunner.h"

namespace kestrill {
namespace {

QString U(const std::string& AText) { return QString::fromStdString(AText); }

constexpr int kFileRole = Qt::UserRole, kTitleRole = Qt::UserRole + 1;

// A snippet is a few words around a match; anything longer is cut before the expressions run.
constexpr int kMaxSnippetChars = 2000;

}  // namespace

QString PlainSnippet(const QString& AMarkdown) {
  using RE = QRegularExpression;
  static const struct {
    RE Pattern;
    const char* Replacement;
  } kRules[] = {
      {RE("(```|~~~)[^\\s`~]*"), " "},  // code fences and their language
      {RE("(^|\\n)[ \\t]*\\|?[ \\t]*:?-{3,}:?[ \\t|:-]*(?=\\n|$)"), "\\1"},  // table rules
      {RE("(^|\\n)[ \\t]*(#{1,6}|>+)[ \\t]+"), "\\1"},                       // headings, quotes
      {RE("(^|\\n)[ \\t]*([-*+]|\\d{1,3}[.)])[ \\t]+"), "\\1"},              // list marks
      {RE("!?\\[([^\\]\\n]*)\\]\\([^)\\s]*\\)?"), "\\1"},        // links, images: the text
      {RE("<(https?://[^>\\s]*)>"), "\\1"},                      // bare addresses
      {RE("(\\*\\*\\*?|__|~~)(?=\\S)(.+?)(?<=\\S)\\1"), "\\2"},  // strong, struck
      {RE("\\*\\*+|~~"), ""},                                    // the half of one the excerpt cut
      {RE("(?<![\\w*])\\*(?=\\S)([^*\\n]+?)(?<=\\S)\\*(?![\\w*])"), "\\1"},  // emphasis
      {RE("(?<!\\w)_(?=\\S)([^_\\n]+?)(?<=\\S)_(?!\\w)"), "\\1"},
      {RE("`+"), ""},                  // inline code
      {RE("[ \\t]*\\|[ \\t]*"), " "},  // table cells
      {RE("\\s+"), " "},
  };
  QString Text = AMarkdown.left(kMaxSnippetChars);
  for (const auto& R : kRules) Text.replace(R.Pattern, QString::fromLatin1(R.Replacement));
  return Text.trimmed();
}

TChatSearchBox::TChatSearchBox(TSearcher ASearcher, QWidget* AParent)
    : QWidget(AParent), FSearcher(std::move(ASearcher)) {
  setObjectName("ChatSearchBox");
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(6);
  edSearch = new QLineEdit(this);
  edSearch->setObjectName("edSearch");
  edSearch->setPlaceholderText(U("채팅 검색"));
  edSearch->setClearButtonEnabled(true);
  edSearch->installEventFilter(this);
  ListSearchHits = new QListWidget(this);
  ListSearchHits->setObjectName("ListSearchHits");
  ListSearchHits->setStyleSheet("QListWidget { background: transparent; border: none; }");
  ListSearchHits->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ListSearchHits->hide();
  Layout->addWidget(edSearch);
  Layout->addWidget(ListSearchHits, 1);
  // Typing fast searches once, when the user pauses.
  FTimer = new QTimer(this);
  FTimer->setSingleShot(true);
  FTimer->setInterval(150);
  connect(FTimer, &QTimer::timeout, this, [this] { RunSearch(); });
  connect(edSearch, &QLineEdit::textChanged, this, [this] { FTimer->start(); });
  FSearchingTimer = new QTimer(this);
  FSearchingTimer->setSingleShot(true);
  FSearchingTimer->setInterval(150);
  connect(FSearchingTimer, &QTimer::timeout, this, [this] { ShowSearching(); });
  connect(ListSearchHits, &QListWidget::itemClicked, this, [this](QListWidgetItem* AItem) {
    emit ChatChosen(AItem->data(kFileRole).toString(), AItem->data(kTitleRole).toString());
  });
  connect(ListSearchHits, &QListWidget::itemActivated, this, [this](QListWidgetItem* AItem) {
    emit ChatChosen(AItem->data(kFileRole).toString(), AItem->data(kTitleRole).toString());
  });
  FRunner = std::make_unique<TTaskRunner>();
}

TChatSearchBox::~TChatSearchBox() {
  // The search thread posts to this box: it is stopped and waited for while the box is whole
  // (a search stops between two files).
  FRunner.reset();
}

bool TChatSearchBox::Active() const { return FActive; }

void TChatSearchBox::Clear() {
  edSearch->clear();
  FTimer->stop();
  RunSearch();
}

bool TChatSearchBox::eventFilter(QObject* AWatched, QEvent* AEvent) {
  // The window's Escape (stop the answer) would take the key first: while there is a search to
  // clear, the box keeps it.
  if (AWatched == edSearch && AEvent->type() == QEvent::ShortcutOverride &&
      static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Escape && !edSearch->text().isEmpty()) {
    AEvent->accept();
    return true;
  }
  if (AWatched == edSearch && AEvent->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Escape && !edSearch->text().isEmpty()) {
    edSearch->clear();
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

void TChatSearchBox::RunSearch() {
  ++FGeneration;
  FRunner->RequestStop();  // the search for the text before is of no use any more
  FSearchingTimer->stop();
  FSearching = false;
  if (edSearch->text().trimmed().isEmpty()) {
    ClearList();
    SetActive(false);
    return;
  }
  FQuery = edSearch->text().toStdString();
  FSearching = true;
  FListIsCurrent = false;
  FHitCount = 0;
  // The list keeps the previous hits until this search's first ones (or its end) replace them,
  // so that a quick search does not make it flicker; a slow one says so after a moment.
  TSearchJob Job = FSearcher(FQuery);
  FRunner->Start([this, Generation = FGeneration, Job = std::move(Job)](std::stop_token AStop) {
    // Posted, never called: the list belongs to the UI thread, which never waits for a search.
    // Nothing is posted once the box is gone: it waits for this thread when destroyed.
    const auto Post = [this](auto AFunction) {
      QMetaObject::invokeMethod(this, std::move(AFunction), Qt::QueuedConnection);
    };
    try {
      Job(AStop, [&](std::vector<TChatSearchHit> AHits) {
        Post([this, Generation, Hits = std::move(AHits)] { AddHits(Generation, Hits); });
      });
    } catch (...) {
      // A search that failed (out of memory) ends as one that found no more: the hits so far
      // stay listed.
    }
    Post([this, Generation] { EndSearch(Generation); });
  });
  FSearchingTimer->start();
}

void TChatSearchBox::ClearList() {
  ListSearchHits->clear();
  FSearchingLine = nullptr;
}

void TChatSearchBox::TakeList() {
  if (FListIsCurrent) return;
  ClearList();  // the previous query's hits: they are not this query's
  FListIsCurrent = true;
}

void TChatSearchBox::AddHits(std::uint64_t AGeneration, const std::vector<TChatSearchHit>& AHits) {
  if (AGeneration != FGeneration) return;
  TakeList();
  // Hits found later go below, the "검색 중…" line stays last.
  int Row = FSearchingLine ? ListSearchHits->row(FSearchingLine) : ListSearchHits->count();
  for (const TChatSearchHit& H : AHits) {
    auto* Item = new QListWidgetItem;
    ListSearchHits->insertItem(Row++, Item);
    Item->setData(kFileRole, U(H.FilePath));
    Item->setData(kTitleRole, U(H.Title));
    auto* Label = new QLabel;
    Label->setTextFormat(Qt::RichText);
    Label->setWordWrap(false);
    Label->setText("<div>" + U(H.Title).toHtmlEscaped() +
                   "</div><div style='color:#8E8E93; font-size:11px'>" +
                   PlainSnippet(U(H.Snippet)).toHtmlEscaped() + "</div>");
    Label->setContentsMargins(4, 3, 4, 3);
    Label->setToolTip(PlainSnippet(U(H.Snippet)));
    Label->setAttribute(Qt::WA_TransparentForMouseEvents);
    Item->setSizeHint(Label->sizeHint());
    ListSearchHits->setItemWidget(Item, Label);
  }
  FHitCount += AHits.size();
  SetActive(true);
}

void TChatSearchBox::EndSearch(std::uint64_t AGeneration) {
  if (AGeneration != FGeneration) return;
  FSearching = false;
  FSearchingTimer->stop();
  TakeList();
  if (FSearchingLine) delete ListSearchHits->takeItem(ListSearchHits->row(FSearchingLine));
  FSearchingLine = nullptr;
  if (FHitCount == 0) {
    auto* Item = new QListWidgetItem(U("찾는 채팅이 없습니다."), ListSearchHits);
    Item->setFlags(Qt::NoItemFlags);
  }
  if (const std::string Note = SearchQueryNote(FQuery); !Note.empty()) {
    auto* Item = new QListWidgetItem(U(Note), ListSearchHits);
    Item->setFlags(Qt::NoItemFlags);
  }
  SetActive(true);
}

void TChatSearchBox::ShowSearching() {
  if (!FSearching) return;
  TakeList();
  if (!FSearchingLine) {
    FSearchingLine = new QListWidgetItem(U("검색 중…"), ListSearchHits);
    FSearchingLine->setFlags(Qt::NoItemFlags);
    FSearchingLine->setForeground(QColor(0x8E, 0x8E, 0x93));
  }
  SetActive(true);
}

void TChatSearchBox::SetActive(bool AActive) {
  ListSearchHits->setVisible(AActive);
  if (AActive != FActive) {
    FActive = AActive;
    emit ActiveChanged(AActive);
  }
}

}  // namespace kestrill
