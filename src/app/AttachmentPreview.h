// The strip above the input box that shows the file waiting to go with the next prompt: a
// thumbnail for an image, a named file box for anything else, and the remove button.
#pragma once

#include <QWidget>

class QFrame;
class QLabel;
class QToolButton;

namespace kestrill {

class TAttachmentPreview : public QWidget {
  Q_OBJECT
 public:
  explicit TAttachmentPreview(QWidget* AParent = nullptr);

  // AImage is shown scaled into the 70 x 70 thumbnail, keeping its proportions.
  void ShowImage(const QImage& AImage, const QString& AFilePath);
  void ShowFile(const QString& AFilePath);

 signals:
  void RemoveClicked();

 private:
  QLabel* ImagePreview;
  QFrame* FileBoxPreview;
  QLabel* TextFileName;
  QToolButton* btnRemoveAttach;
};

}  // namespace kestrill
