// Pieces of the main window's layout that keep every control reachable at any size: the chat
// title that shortens itself, the logo bar that never gets narrower than its logo, the
// splitter that takes a narrower window's room from the sidebar before the chat, and the short
// line that says a quiet command worked.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QSplitter>
#include <QWidget>

class QTimer;

namespace kestrill {

// The program's own icon (window, logo button, desktop entry), at 48, 128 and 256 pixels.
QIcon ProgramIcon();

// A label that shows its text whole when it fits and shortened with "…" when it does not;
// text() stays the whole text. It asks for its text's width (at most its maximum width) and
// can shrink to a few characters.
class TElidedLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  // What is drawn at the current width.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
};

// The bar holding the logo button and the name. It would be as wide as the sidebar below it
// (SetWantedWidth), but never narrower than its own contents, so the logo menu is always there.
class TLogoBar : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  void SetWantedWidth(int AWidth);
  QSize sizeHint() const override;

 private:
  int FWantedWidth = 0;
};

// Panel | chat. The panel keeps the width the user gave it while the chat has at least
// ChatRoomWidth; a narrower window takes its room from the panel first, down to the panel's
// minimum, and only then from the chat.
class TSidebarSplitter : public QSplitter {
  Q_OBJECT
 public:
  static constexpr int kDefaultPanelWidth = 250;
  static constexpr int kChatRoomWidth = 560;

  explicit TSidebarSplitter(QWidget* AParent = nullptr);
  // The width the user chose for the panel (kept while the panel is hidden or squeezed).
  int PanelWidth() const { return FPanelWidth; }
  // A saved width; one too narrow for the panel's buttons gives the default instead.
  void SetPanelWidth(int AWidth);
  // Lays the two sides out again (after the panel was shown or hidden).
  void Apply();

 signals:
  // The panel's width on screen changed (0 while it is hidden).
  void PanelShownWidthChanged(int AWidth);

 protected:
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  int PanelMinimum() const;
  int FPanelWidth = kDefaultPanelWidth;
  int FShownWidth = -1;
  void ReportShownWidth();
};

// A short line floating at the bottom of the page ("저장했습니다: …") that goes by itself. It
// takes no room in the layout and no clicks, so it never moves or covers a control for long.
class TStatusToast : public QLabel {
  Q_OBJECT
 public:
  // It floats over AAnchor's lower edge, in AAnchor's parent.
  explicit TStatusToast(QWidget* AAnchor);
  void ShowFor(const QString& AText, int AMilliseconds);

 protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void Place();
  QString FText;  // whole; what shows may be shortened to the page's width
  QWidget* FAnchor;
  QTimer* FTimer;
};

}  // namespace kestrill
