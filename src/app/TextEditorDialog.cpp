#include "app/TextEditorDialog.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/Config.h"

namespace kestrill {

TfrmTextEditor::TfrmTextEditor(const TConfig& AConfig, QWidget* AOwner) : QDialog(AOwner) {
  setObjectName("frmTextEditor");
  setWindowTitle(QString::fromUtf8("텍스트 편집"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  resize(535, 298);

  memoText = new QPlainTextEdit(this);
  memoText->setObjectName("memoText");
  // "FontSize" in the settings applies to the editor too; 0 keeps the designed size.
  double FontSize = AConfig.Read(keys::FontSize, 0.0);
  if (FontSize > 0) {
    QFont F = memoText->font();
    F.setPointSizeF(FontSize);
    memoText->setFont(F);
  }
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
  Layout->addWidget(memoText, 1);
  Layout->addSpacing(5);
  Layout->addLayout(Buttons);
}

void TfrmTextEditor::SetText(const QString& AValue) { memoText->setPlainText(AValue); }

QString TfrmTextEditor::GetText() const { return memoText->toPlainText(); }

}  // namespace kestrill
