// The floor for the start-up benchmark: the smallest Qt WebEngine window, loading an empty
// page. Prints "ready" when the page has loaded.
#include <unistd.h>

#include <QApplication>
#include <QWebEngineView>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (geteuid() == 0) setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);
  QApplication App(argc, argv);
  QWebEngineView View;
  QObject::connect(&View, &QWebEngineView::loadFinished, [](bool) {
    std::printf("ready\n");
    std::fflush(stdout);
  });
  View.resize(1105, 660);
  View.setHtml("<!DOCTYPE html><html><body></body></html>");
  View.show();
  return App.exec();
}
