#include "app/ChatSearchBox.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

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
  connect(ListSearchHits, &QListWidget::itemClicked, this, [this](QListWidgetItem* AItem) {
    emit ChatChosen(AItem->data(kFileRole).toString(), AItem->data(kTitleRole).toString());
  });
  connect(ListSearchHits, &QListWidget::itemActivated, this, [this](QListWidgetItem* AItem) {
    emit ChatChosen(AItem->data(kFileRole).toString(), AItem->data(kTitleRole).toString());
  });
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
  const std::string Query = edSearch->text().toStdString();
  const bool Active = !edSearch->text().trimmed().isEmpty();
  ListSearchHits->clear();
  if (Active) {
    const std::vector<TChatSearchHit> Hits = FSearcher(Query);
    for (const TChatSearchHit& H : Hits) {
      auto* Item = new QListWidgetItem(ListSearchHits);
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
    if (Hits.empty()) {
      auto* Item = new QListWidgetItem(U("찾는 채팅이 없습니다."), ListSearchHits);
      Item->setFlags(Qt::NoItemFlags);
    }
    if (const std::string Note = SearchQueryNote(Query); !Note.empty()) {
      auto* Item = new QListWidgetItem(U(Note), ListSearchHits);
      Item->setFlags(Qt::NoItemFlags);
    }
  }
  ListSearchHits->setVisible(Active);
  if (Active != FActive) {
    FActive = Active;
    emit ActiveChanged(Active);
  }
}

}  // namespace kestrill
