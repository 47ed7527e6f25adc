// The chat view on Qt WebEngine. "chatui://" links are reported and cancelled so the page stays;
// any other page a link or a script asks for is refused and reported for the system's browser,
// new windows included. The page counts as loaded only when the chat page itself finished loading.
#pragma once

#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

#include "view/ChatView.h"

namespace kestrill {

// Must run before the QApplication exists: makes "chatui" a scheme the engine knows.
void RegisterChatUiScheme();

class TChatUiSchemeHandler : public QWebEngineUrlSchemeHandler {
  Q_OBJECT
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
  void requestStarted(QWebEngineUrlRequestJob* AJob) override;
};

class TChatPage : public QWebEnginePage {
  Q_OBJECT
 public:
  explicit TChatPage(QWebEngineProfile* AProfile, QObject* AParent = nullptr);

  // The page the program itself loads; the only one the main frame may show.
  void SetChatPageUrl(const QUrl& AUrl) { FChatPageUrl = AUrl; }

 signals:
  void ChatUiRequested(const QString& AUrl);
  void ExternalUrlRequested(const QUrl& AUrl);

 protected:
  bool acceptNavigationRequest(const QUrl& AUrl, NavigationType AType, bool AIsMainFrame) override;
  QWebEnginePage* createWindow(WebWindowType AType) override;

 private:
  QUrl FChatPageUrl;
};

class TChatWebView : public QWebEngineView, public IChatView {
  Q_OBJECT
 public:
  explicit TChatWebView(QWidget* AParent = nullptr);

  void Navigate(const std::string& AUrl) override;
  // QUrl knows how to turn any local path into a file URL, "#" and "%" included.
  void NavigateToFile(const std::string& APath) override;
  void EvaluateJavaScript(const std::string& AScript) override;

 signals:
  void DidFinishLoad();
  void ShouldStartLoadWithRequest(const QString& AUrl);
  // A link or a script wants a page other than the chat: it belongs in the system's browser.
  void ExternalUrlRequested(const QUrl& AUrl);

 private:
  void LoadChatPage(const QUrl& AUrl);
  TChatPage* FPage;
};

}  // namespace kestrill
