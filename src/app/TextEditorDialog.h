// "텍스트 편집": a modal editor with OK and Cancel, multi-line for prompts and messages, one line
// for titles.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace kestrill {

class TConfig;

class TfrmTextEditor : public QDialog {
  Q_OBJECT
 public:
  TfrmTextEditor(const TConfig& AConfig, QWidget* AOwner, bool ASingleLine = false);
  void SetText(const QString& AValue);
  QString GetText() const;
  // A line under the text saying what confirming will do; hidden when empty.
  void SetNote(const QString& ANote);

 private:
  QPlainTextEdit* memoText = nullptr;
  QLineEdit* edtText = nullptr;  // instead of memoText in the one-line form
  QLabel* lbNote = nullptr;
};

}  // namespace kestrill
