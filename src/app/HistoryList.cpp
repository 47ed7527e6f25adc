#include "app/HistoryList.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <algorithm>

namespace kestrill {

QString OneLineTitle(const QString& ATitle) {
  return QString(ATitle).replace(QRegularExpression("[\\r\\n\\t]+"), " ").trimmed();
}

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
    emit ItemMenuRequested(FileOf(FHoverItem),
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
  // One line, as the chat title above the page shows it; the whole title on hover, since the
  // row shortens it.
  const QString Title = OneLineTitle(ATitle);
  auto* Item = new QListWidgetItem(Title);
  Item->setData(Qt::UserRole, AFileName);
  Item->setToolTip(Title);
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

QRect THistoryList::VisibleRowRect(const QListWidgetItem* AItem) const {
  return visualItemRect(AItem).intersected(viewport()->rect());
}

void THistoryList::RequestMenuFromKeyboard() {
  const QList<QListWidgetItem*> Selected = selectedItems();
  QListWidgetItem* Item = Selected.isEmpty() ? currentItem() : Selected.first();
  if (!Item) return;
  scrollToItem(Item);
  const QRect R = VisibleRowRect(Item);
  if (R.isEmpty()) return;
  emit ItemMenuRequested(FileOf(Item), viewport()->mapToGlobal(R.bottomLeft() + QPoint(8, 1)));
}

void THistoryList::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Delete && AEvent->modifiers() == Qt::NoModifier) {
    emit DeleteKeyPressed(SelectedFile());
    return;
  }
  // The context menu key, and Shift+F10 where a keyboard has none.
  if ((AEvent->key() == Qt::Key_Menu && AEvent->modifiers() == Qt::NoModifier) ||
      (AEvent->key() == Qt::Key_F10 && AEvent->modifiers() == Qt::ShiftModifier)) {
    RequestMenuFromKeyboard();
    return;
  }
  QListWidget::keyPressEvent(AEvent);
}

void THistoryList::contextMenuEvent(QContextMenuEvent* AEvent) {
  if (AEvent->reason() != QContextMenuEvent::Mouse) {
    RequestMenuFromKeyboard();
    return;
  }
  const QPoint At = viewport()->mapFromGlobal(AEvent->globalPos());
  if (QListWidgetItem* Item = itemAt(At)) emit ItemMenuRequested(FileOf(Item), AEvent->globalPos());
}

void THistoryList::mousePressEvent(QMouseEvent* AEvent) {
  // A right click asks for the item's menu; it does not open the chat, as the "..." button
  // does not.
  if (AEvent->button() == Qt::RightButton) {
    setFocus(Qt::MouseFocusReason);
    AEvent->accept();
    return;
  }
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
    // At the right end of what shows of the row: a long title's row reaches past the list.
    const QRect R = VisibleRowRect(Item);
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
