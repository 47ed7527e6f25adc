// The chat view on Qt WebEngine. "chatui://" links are reported and cancelled so the page stays;
// the page counts as loaded only when the chat page itself finished loading.
#pragma once

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

 signals:
  void ChatUiRequested(const QString& AUrl);

 protected:
  bool acceptNavigationRequest(const QUrl& AUrl, NavigationType AType, bool AIsMainFrame) override;
};

class TChatWebView : public QWebEngineView, public IChatView {
  Q_OBJECT
 public:
  explicit TChatWebView(QWidget* AParent = nullptr);

  void Navigate(const std::string& AUrl) override;
  void EvaluateJavaScript(const std::string& AScript) override;

 signals:
  void DidFinishLoad();
  void ShouldStartLoadWithRequest(const QString& AUrl);
};

}  // namespace kestrill
