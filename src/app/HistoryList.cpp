#include "app/HistoryList.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>

namespace kestrill {

THistoryList::THistoryList(QWidget* AParent) : QListWidget(AParent) {
  setObjectName("ListBoxHistory");
  setSelectionMode(QAbstractItemView::SingleSelection);
  // A long title ends in "…" at the panel's edge instead of a scroll bar under the list.
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTextElideMode(Qt::ElideRight);
  viewport()->setMouseTracking(true);

  FActionBtn = new QPushButton("...", viewport());
  FActionBtn->setObjectName("ActionBtn");
  FActionBtn->setFixedSize(30, 20);
  // Clicking it must not pull the focus away from the list or the input box.
  FActionBtn->setFocusPolicy(Qt::NoFocus);
  FActionBtn->hide();
  connect(FActionBtn, &QPushButton::clicked, this, [this] {
    if (!FHoverItem) return;
    emit ActionButtonClicked(FileOf(FHoverItem),
                             FActionBtn->mapToGlobal(QPoint(0, FActionBtn->height())));
  });
  // A scrolled list moves its items away from under the button.
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { HideActionButton(); });

  connect(this, &QListWidget::itemSelectionChanged, this, [this] {
    if (FSilent) return;
    const QList<QListWidgetItem*> Selected = selectedItems();
    if (Selected.isEmpty()) return;
    emit ChatChosen(FileOf(Selected.first()), Selected.first()->text());
  });
}

QString THistoryList::FileOf(const QListWidgetItem* AItem) {
  return AItem ? AItem->data(Qt::UserRole).toString() : QString();
}

QListWidgetItem* THistoryList::ItemOf(const QString& AFileName) const {
  if (AFileName.isEmpty()) return nullptr;
  for (int I = 0; I < count(); ++I)
    if (FileOf(item(I)) == AFileName) return item(I);
  return nullptr;
}

QString THistoryList::SelectedFile() const {
  const QList<QListWidgetItem*> Selected = selectedItems();
  return Selected.isEmpty() ? QString() : FileOf(Selected.first());
}

void THistoryList::AddChatItem(const QString& ATitle, const QString& AFileName, bool AAtTop,
                               double AFontSize) {
  auto* Item = new QListWidgetItem(ATitle);
  Item->setData(Qt::UserRole, AFileName);
  if (AFontSize > 0) {
    QFont F = font();
    F.setPointSizeF(AFontSize);
    Item->setFont(F);
  }
  const bool Was = FSilent;
  FSilent = true;  // inserting never opens a chat
  if (AAtTop)
    insertItem(0, Item);
  else
    addItem(Item);
  FSilent = Was;
  HideActionButton();  // the items under it may have moved
}

void THistoryList::RemoveChatItem(const QString& AFileName) {
  QListWidgetItem* Item = ItemOf(AFileName);
  if (!Item) return;
  HideActionButton();
  const bool Was = FSilent;
  FSilent = true;
  delete Item;
  FSilent = Was;
}

void THistoryList::ClearChatItems() {
  HideActionButton();
  const bool Was = FSilent;
  FSilent = true;
  clear();
  FSilent = Was;
}

bool THistoryList::SelectSilently(const QString& AFileName) {
  QListWidgetItem* Item = ItemOf(AFileName);
  const QList<QListWidgetItem*> Before = selectedItems();
  if (Before.size() == (Item ? 1 : 0) && (!Item || Before.first() == Item)) return false;
  const bool Was = FSilent;
  FSilent = true;
  if (Item) {
    setCurrentItem(Item);
    scrollToItem(Item);
  } else {
    clearSelection();
    selectionModel()->clearCurrentIndex();
  }
  FSilent = Was;
  return true;
}

void THistoryList::HideActionButton() {
  FActionBtn->hide();
  FHoverItem = nullptr;
}

void THistoryList::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Delete && AEvent->modifiers() == Qt::NoModifier) {
    emit DeleteKeyPressed(SelectedFile());
    return;
  }
  QListWidget::keyPressEvent(AEvent);
}

void THistoryList::mousePressEvent(QMouseEvent* AEvent) {
  QListWidget::mousePressEvent(AEvent);
  // Opening the chat hands the focus to the input box; a click keeps it here so the arrow keys
  // go on walking the list.
  setFocus(Qt::MouseFocusReason);
}

void THistoryList::mouseMoveEvent(QMouseEvent* AEvent) {
  QListWidget::mouseMoveEvent(AEvent);
  FollowPointer(AEvent->position().toPoint());
}

void THistoryList::FollowPointer(const QPoint& AViewportPos) {
  QListWidgetItem* Item = itemAt(AViewportPos);
  if (Item) {
    if (Item == FHoverItem && FActionBtn->isVisible()) return;
    const QRect R = visualItemRect(Item);
    FActionBtn->setFixedHeight(R.height());  // as high as the item
    FActionBtn->move(R.right() + 1 - FActionBtn->width(), R.top());
    FHoverItem = Item;
    FActionBtn->show();
    FActionBtn->raise();
  } else if (!FActionBtn->geometry().contains(AViewportPos)) {
    HideActionButton();
  }
}

void THistoryList::enterEvent(QEnterEvent* AEvent) {
  QListWidget::enterEvent(AEvent);
  emit PointerInside(true);
}

void THistoryList::leaveEvent(QEvent* AEvent) {
  QListWidget::leaveEvent(AEvent);
  // Past the list's edge there is no item left for the button to act on.
  HideActionButton();
  emit PointerInside(false);
}

}  // namespace kestrill
