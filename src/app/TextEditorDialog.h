// "텍스트 편집": a modal multi-line editor with OK and Cancel.
#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace kestrill {

class TConfig;

class TfrmTextEditor : public QDialog {
  Q_OBJECT
 public:
  TfrmTextEditor(const TConfig& AConfig, QWidget* AOwner);
  void SetText(const QString& AValue);
  QString GetText() const;

 private:
  QPlainTextEdit* memoText;
};

}  // namespace kestrill
