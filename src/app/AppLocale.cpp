#include "app/AppLocale.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

namespace kestrill {

bool LoadQtTranslations(QCoreApplication& AApp, const QLocale& ALocale) {
  if (ALocale.language() != QLocale::Korean) return false;
  // qtbase holds the dialogs' and buttons' texts; the rest of Qt's catalogues show nothing here.
  auto* Translator = new QTranslator(&AApp);
  if (!Translator->load(ALocale, "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete Translator;
    return false;
  }
  return QCoreApplication::installTranslator(Translator);
}

void UseKoreanButtons(QMessageBox& ABox) {
  const struct {
    QMessageBox::StandardButton Button;
    const char* Text;
  } kTexts[] = {{QMessageBox::Ok, "확인"},
                {QMessageBox::Cancel, "취소"},
                {QMessageBox::Yes, "예"},
                {QMessageBox::No, "아니요"}};
  for (const auto& T : kTexts)
    if (QAbstractButton* B = ABox.button(T.Button)) B->setText(QString::fromUtf8(T.Text));
}

}  // namespace kestrill
