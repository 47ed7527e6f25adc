#include "app/AttachmentPreview.h"

#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QToolButton>

namespace kestrill {

TAttachmentPreview::TAttachmentPreview(QWidget* AParent) : QWidget(AParent) {
  setObjectName("LayoutPreview");
  setFixedHeight(80);
  auto* Row = new QHBoxLayout(this);
  Row->setContentsMargins(6, 5, 6, 5);
  Row->setSpacing(4);

  ImagePreview = new QLabel(this);
  ImagePreview->setObjectName("ImagePreview");
  ImagePreview->setFixedSize(70, 70);
  ImagePreview->setAlignment(Qt::AlignCenter);

  FileBoxPreview = new QFrame(this);
  FileBoxPreview->setObjectName("FileBoxPreview");
  FileBoxPreview->setFixedSize(150, 50);
  FileBoxPreview->setStyleSheet("#FileBoxPreview { background: #F0F0F0; border-radius: 8px; }");
  auto* Box = new QHBoxLayout(FileBoxPreview);
  Box->setContentsMargins(8, 0, 8, 0);
  TextFileName = new QLabel(FileBoxPreview);
  TextFileName->setObjectName("TextFileName");
  Box->addWidget(TextFileName);

  btnRemoveAttach = new QToolButton(this);
  btnRemoveAttach->setObjectName("btnRemoveAttach");
  btnRemoveAttach->setText(QString::fromUtf8("✖"));
  btnRemoveAttach->setAutoRaise(true);
  btnRemoveAttach->setFocusPolicy(Qt::NoFocus);
  connect(btnRemoveAttach, &QToolButton::clicked, this, &TAttachmentPreview::RemoveClicked);

  Row->addWidget(ImagePreview);
  Row->addWidget(FileBoxPreview);
  Row->addWidget(btnRemoveAttach, 0, Qt::AlignTop);
  Row->addStretch();
  FileBoxPreview->hide();
}

void TAttachmentPreview::ShowImage(const QImage& AImage, const QString& AFilePath) {
  ImagePreview->setPixmap(QPixmap::fromImage(
      AImage.scaled(ImagePreview->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  ImagePreview->setToolTip(AFilePath);
  ImagePreview->show();
  FileBoxPreview->hide();
}

void TAttachmentPreview::ShowFile(const QString& AFilePath) {
  TextFileName->setText(QString::fromUtf8("📄 ") + QFileInfo(AFilePath).fileName());
  // The box is narrow; the whole name and folder stay one hover away.
  FileBoxPreview->setToolTip(AFilePath);
  FileBoxPreview->show();
  ImagePreview->hide();
}

}  // namespace kestrill
