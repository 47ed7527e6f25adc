#include "app/WindowParts.h"

#include <QLayout>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
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

}  // namespace kestrill
