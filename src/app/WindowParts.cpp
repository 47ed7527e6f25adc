#include "app/WindowParts.h"

#include <QLayout>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <QTimer>
#include <algorithm>

namespace kestrill {

QIcon ProgramIcon() {
  QIcon Icon;
  for (int Size : {48, 128, 256})
    Icon.addFile(QString(":/kestrill/kestrill-%1.png").arg(Size), QSize(Size, Size));
  return Icon;
}

QSize TElidedLabel::sizeHint() const {
  const QFontMetrics M(font());
  const QMargins C = contentsMargins();
  const int Wanted = M.horizontalAdvance(text()) + C.left() + C.right() + 2;
  return {std::min(Wanted, maximumWidth()), QLabel::sizeHint().height()};
}

QSize TElidedLabel::minimumSizeHint() const {
  // Room for a new chat's date and time and the ellipsis: the title is never laid out 0 wide.
  const QFontMetrics M(font());
  const QMargins C = contentsMargins();
  const int Least = M.horizontalAdvance(QString::fromUtf8("00-00 00:00…")) + C.left() + C.right();
  return {std::min(Least, sizeHint().width()), QLabel::minimumSizeHint().height()};
}

QString TElidedLabel::ShownText() const {
  return QFontMetrics(font()).elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter P(this);
  style()->drawItemText(&P, contentsRect(), int(alignment()) | Qt::TextSingleLine, palette(),
                        isEnabled(), ShownText(), foregroundRole());
}

void TLogoBar::SetWantedWidth(int AWidth) {
  if (AWidth == FWantedWidth) return;
  FWantedWidth = AWidth;
  updateGeometry();
}

QSize TLogoBar::sizeHint() const {
  return {std::max(FWantedWidth, minimumSizeHint().width()), QWidget::sizeHint().height()};
}

TSidebarSplitter::TSidebarSplitter(QWidget* AParent) : QSplitter(Qt::Horizontal, AParent) {
  connect(this, &QSplitter::splitterMoved, this, [this](int APos) {
    FPanelWidth = APos;  // the user dragged the handle: that is the width wanted from now on
    ReportShownWidth();
  });
}

int TSidebarSplitter::PanelMinimum() const {
  QWidget* Panel = widget(0);
  return Panel ? std::max(Panel->minimumWidth(), Panel->minimumSizeHint().width()) : 0;
}

void TSidebarSplitter::SetPanelWidth(int AWidth) {
  // A panel saved at the width of the handle (hidden by dragging) would come back unusable.
  FPanelWidth = AWidth >= PanelMinimum() ? AWidth : kDefaultPanelWidth;
  Apply();
}

void TSidebarSplitter::Apply() {
  QWidget* Panel = widget(0);
  if (Panel && Panel->isVisibleTo(this) && count() == 2) {
    const int Total = width() - handleWidth();
    const int Room = std::max(PanelMinimum(), Total - kChatRoomWidth);
    const int Shown = std::max(PanelMinimum(), std::min(FPanelWidth, Room));
    setSizes({Shown, std::max(0, Total - Shown)});
  }
  ReportShownWidth();
}

void TSidebarSplitter::resizeEvent(QResizeEvent* AEvent) {
  QSplitter::resizeEvent(AEvent);
  Apply();
}

void TSidebarSplitter::ReportShownWidth() {
  QWidget* Panel = widget(0);
  const int Shown = Panel && Panel->isVisibleTo(this) ? sizes().value(0) : 0;
  if (Shown == FShownWidth) return;
  FShownWidth = Shown;
  emit PanelShownWidthChanged(Shown);
}

TStatusToast::TStatusToast(QWidget* AAnchor)
    : QLabel(AAnchor->parentWidget()), FAnchor(AAnchor), FTimer(new QTimer(this)) {
  setObjectName("lbStatus");
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setStyleSheet(
      "#lbStatus { background: rgba(40, 40, 45, 225); color: white; border-radius: 8px;"
      " padding: 7px 14px; font-size: 14px; }");
  setTextFormat(Qt::PlainText);
  hide();
  FTimer->setSingleShot(true);
  connect(FTimer, &QTimer::timeout, this, &QWidget::hide);
  FAnchor->installEventFilter(this);
}

void TStatusToast::ShowFor(const QString& AText, int AMilliseconds) {
  FText = AText;
  setText(AText);
  Place();
  show();
  raise();
  FTimer->start(AMilliseconds);
}

bool TStatusToast::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == FAnchor && (AEvent->type() == QEvent::Resize || AEvent->type() == QEvent::Move))
    Place();
  return QLabel::eventFilter(AWatched, AEvent);
}

void TStatusToast::Place() {
  // A long path is shortened in the middle, where it says least, to what the page's width allows.
  ensurePolished();  // the style sheet's font is the one measured
  const QRect A = FAnchor->geometry();
  const int Room = std::max(80, A.width() - 40);
  const QMargins M = contentsMargins();
  const int Padding = 28 + M.left() + M.right();
  const QString Shown =
      fontMetrics().elidedText(FText, Qt::ElideMiddle, std::max(40, Room - Padding));
  if (Shown != text()) setText(Shown);
  adjustSize();
  const int W = std::min(width(), Room);
  resize(W, height());
  move(A.left() + (A.width() - W) / 2, A.bottom() - height() - 16);
}

}  // namespace kestrill
