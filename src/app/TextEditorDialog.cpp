#include "app/TextEditorDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "core/Config.h"

namespace kestrill {

TfrmTextEditor::TfrmTextEditor(const TConfig& AConfig, QWidget* AOwner, bool ASingleLine)
    : QDialog(AOwner) {
  setObjectName("frmTextEditor");
  setWindowTitle(QString::fromUtf8("텍스트 편집"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  QWidget* Editor = nullptr;
  if (ASingleLine) {
    // A title is one line: Enter confirms, and no line break or tab can get into it.
    resize(535, 90);
    Editor = edtText = new QLineEdit(this);
    edtText->setObjectName("edtText");
  } else {
    resize(535, 298);
    Editor = memoText = new QPlainTextEdit(this);
    memoText->setObjectName("memoText");
  }
  // "FontSize" in the settings applies to the editor too; 0 keeps the designed size.
  double FontSize = AConfig.Read(keys::FontSize, 0.0);
  if (FontSize > 0) {
    QFont F = Editor->font();
    F.setPointSizeF(FontSize);
    Editor->setFont(F);
  }
  lbNote = new QLabel(this);
  lbNote->setObjectName("lbNote");
  lbNote->setWordWrap(true);
  lbNote->setStyleSheet("color: #B3261E;");
  lbNote->hide();
  auto* Ok = new QPushButton(QString::fromUtf8("확인"), this);
  Ok->setObjectName("btnOK");
  Ok->setFixedWidth(80);
  Ok->setDefault(true);
  auto* Cancel = new QPushButton(QString::fromUtf8("취소"), this);
  Cancel->setObjectName("btnCancel");
  Cancel->setFixedWidth(80);
  connect(Ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(Cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(Ok);
  Buttons->addSpacing(8);
  Buttons->addWidget(Cancel);
  Buttons->addSpacing(8);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(8, 8, 8, 8);
  Layout->addWidget(Editor, ASingleLine ? 0 : 1);
  Layout->addWidget(lbNote);
  Layout->addSpacing(5);
  Layout->addLayout(Buttons);
}

void TfrmTextEditor::SetText(const QString& AValue) {
  if (edtText) {
    // Line breaks and tabs of an older title become single spaces.
    edtText->setText(QString(AValue).replace(QRegularExpression("[\\r\\n\\t]+"), " ").trimmed());
    edtText->selectAll();
  } else {
    memoText->setPlainText(AValue);
  }
}

QString TfrmTextEditor::GetText() const {
  return edtText ? edtText->text() : memoText->toPlainText();
}

void TfrmTextEditor::SetNote(const QString& ANote) {
  lbNote->setText(ANote);
  lbNote->setVisible(!ANote.isEmpty());
}

}  // namespace kestrill
