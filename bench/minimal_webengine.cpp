// The floor for the start-up benchmark: the smallest Qt WebEngine window, loading an empty
// page, or the page file given as its argument (to tell the chat page's own cost from the
// program's). Prints "ready" when the page has loaded.
#include <unistd.h>

#include <QApplication>
#include <QUrl>
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
  if (argc > 1)
    View.setUrl(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
  else
    View.setHtml("<!DOCTYPE html><html><body></body></html>");
  View.show();
  return App.exec();
}
