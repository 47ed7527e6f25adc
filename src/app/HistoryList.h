// The history sidebar's list: one item per saved chat (its title shown, its file carried), the
// "..." button that follows the pointer over the items, the item menu's other ways in (right
// click, the context menu key) and the list's own keys and clicks.
#pragma once

#include <QListWidget>

class QPushButton;

namespace kestrill {

// A title as the sidebar and the chat title show it: on one line (runs of line breaks and tabs
// become a space), trimmed.
QString OneLineTitle(const QString& ATitle);

class THistoryList : public QListWidget {
  Q_OBJECT
 public:
  explicit THistoryList(QWidget* AParent = nullptr);

  // Items are found by their chat file, never by row: the list changes under open menus.
  QListWidgetItem* ItemOf(const QString& AFileName) const;
  static QString FileOf(const QListWidgetItem* AItem);
  // The selected item's file, "" when none is selected.
  QString SelectedFile() const;

  void AddChatItem(const QString& ATitle, const QString& AFileName, bool AAtTop, double AFontSize);
  void RemoveChatItem(const QString& AFileName);
  void ClearChatItems();
  // Selects the item of AFileName ("" or an unknown file: none) without reporting it as the
  // user's choice; true when the selection changed.
  bool SelectSilently(const QString& AFileName);

  QPushButton* ActionButton() const { return FActionBtn; }
  void HideActionButton();

 signals:
  // The user selected an item (click or keys).
  void ChatChosen(const QString& AFileName, const QString& ATitle);
  // The Delete key; AFileName is "" when no item is selected.
  void DeleteKeyPressed(const QString& AFileName);
  // The item menu is wanted for the item of AFileName, at AMenuPos on the screen: the "..."
  // button's lower-left corner, the pointer of a right click, or under the selected item for
  // the Menu key and Shift+F10.
  void ItemMenuRequested(const QString& AFileName, const QPoint& AMenuPos);
  // The pointer entered (true) or left (false) the list.
  void PointerInside(bool AInside);

 protected:
  void keyPressEvent(QKeyEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void contextMenuEvent(QContextMenuEvent* AEvent) override;
  void enterEvent(QEnterEvent* AEvent) override;
  void leaveEvent(QEvent* AEvent) override;

 private:
  void FollowPointer(const QPoint& AViewportPos);
  // The part of the item's row that is on screen: a long title's row runs past the list's edge.
  QRect VisibleRowRect(const QListWidgetItem* AItem) const;
  // The menu for the selected item (else the current one), just under its row.
  void RequestMenuFromKeyboard();

  QPushButton* FActionBtn;
  QListWidgetItem* FHoverItem = nullptr;  // the item the "..." button sits on
  bool FSilent = false;
};

}  // namespace kestrill
