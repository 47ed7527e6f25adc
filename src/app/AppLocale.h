// The program's language in Qt's own texts: the standard dialogs in Korean on a Korean desktop,
// and Korean buttons in the program's own message boxes on any desktop.
#pragma once

#include <QLocale>

class QCoreApplication;
class QMessageBox;

namespace kestrill {

// Installs Qt's translations for ALocale when it is Korean and they are installed (Debian:
// qt6-translations-l10n); true when they were. Other languages keep Qt's English.
bool LoadQtTranslations(QCoreApplication& AApp, const QLocale& ALocale = QLocale::system());

// The box's OK, Cancel, Yes and No buttons read "확인", "취소", "예", "아니요": the program asks
// its questions in Korean, so its answers are Korean too, whatever Qt's language.
void UseKoreanButtons(QMessageBox& ABox);

}  // namespace kestrill
