// Kestrill's desktop window.
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/AppLocale.h"
#include "app/MainWindow.h"
#include "app/WebViewHost.h"
#include "app/WindowParts.h"

int main(int argc, char** argv) {
  const char* Platform = std::getenv("QT_QPA_PLATFORM");
  bool Headless = Platform && std::string(Platform) == "offscreen";
  if (!Headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "화면(DISPLAY)이 없어 창을 열 수 없습니다. 데스크톱에서 실행하거나 "
                 "'xvfb-run -a scripts/run.sh'처럼 가상 화면에서 실행하세요. "
                 "터미널에서는 kestrill-cli를 쓸 수 있습니다.\n");
    return 1;
  }
  // Chromium refuses to start its sandbox as root (containers, CI).
  if (geteuid() == 0) {
    std::string Flags =
        std::getenv("QTWEBENGINE_CHROMIUM_FLAGS") ? std::getenv("QTWEBENGINE_CHROMIUM_FLAGS") : "";
    if (Flags.find("--no-sandbox") == std::string::npos)
      setenv("QTWEBENGINE_CHROMIUM_FLAGS", (Flags + " --no-sandbox").c_str(), 1);
  }
  kestrill::RegisterChatUiScheme();
  QApplication App(argc, argv);
  App.setApplicationName("Kestrill");
  kestrill::LoadQtTranslations(App);  // file dialogs and standard buttons in Korean
  QApplication::setWindowIcon(kestrill::ProgramIcon());
  kestrill::TfrmMain Window;
  Window.show();
  return App.exec();
}
