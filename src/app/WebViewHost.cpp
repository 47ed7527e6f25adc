#include "app/WebViewHost.h"

#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

namespace kestrill {

void RegisterChatUiScheme() {
  QWebEngineUrlScheme Scheme("chatui");
  Scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  Scheme.setFlags(QWebEngineUrlScheme::LocalScheme | QWebEngineUrlScheme::LocalAccessAllowed);
  QWebEngineUrlScheme::registerScheme(Scheme);
}

void TChatUiSchemeHandler::requestStarted(QWebEngineUrlRequestJob* AJob) {
  // Navigations are cancelled before they get here; anything else asking for it gets nothing.
  AJob->fail(QWebEngineUrlRequestJob::RequestDenied);
}

TChatPage::TChatPage(QWebEngineProfile* AProfile, QObject* AParent)
    : QWebEnginePage(AProfile, AParent) {}

bool TChatPage::acceptNavigationRequest(const QUrl& AUrl, NavigationType AType, bool AIsMainFrame) {
  if (AUrl.scheme() == QLatin1String("chatui")) {
    emit ChatUiRequested(AUrl.toString());
    return false;  // the chat page stays
  }
  return QWebEnginePage::acceptNavigationRequest(AUrl, AType, AIsMainFrame);
}

TChatWebView::TChatWebView(QWidget* AParent) : QWebEngineView(AParent) {
  QWebEngineProfile* Profile = QWebEngineProfile::defaultProfile();
  if (!Profile->urlSchemeHandler("chatui"))
    Profile->installUrlSchemeHandler("chatui", new TChatUiSchemeHandler(Profile));
  auto* Page = new TChatPage(Profile, this);
  setPage(Page);
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(Page, &TChatPage::ChatUiRequested, this, &TChatWebView::ShouldStartLoadWithRequest);
  connect(Page, &QWebEnginePage::loadFinished, this, [this](bool AOk) {
    // A cancelled chatui:// navigation also ends in loadFinished(false): not a page load.
    if (AOk && url().isLocalFile()) emit DidFinishLoad();
  });
}

void TChatWebView::Navigate(const std::string& AUrl) { setUrl(QUrl(QString::fromStdString(AUrl))); }

void TChatWebView::EvaluateJavaScript(const std::string& AScript) {
  page()->runJavaScript(QString::fromStdString(AScript));
}

}  // namespace kestrill
