#include "app/WebViewHost.h"

#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

namespace kestrill {
namespace {

// Stands in for a window the page wants to open (a link with target="_blank", window.open):
// nothing is shown, the address it was going to load is handed on and the page goes away.
class TNewWindowCatcher : public QWebEnginePage {
 public:
  TNewWindowCatcher(QWebEngineProfile* AProfile, TChatPage* AOpener)
      : QWebEnginePage(AProfile, AOpener), FOpener(AOpener) {}

 protected:
  bool acceptNavigationRequest(const QUrl& AUrl, NavigationType, bool AIsMainFrame) override {
    // A window opened by script starts on about:blank before it gets its address.
    if (AIsMainFrame && AUrl.scheme() != QLatin1String("about") && !FHandedOn) {
      FHandedOn = true;
      emit FOpener->ExternalUrlRequested(AUrl);
      deleteLater();
    }
    return false;
  }

 private:
  TChatPage* FOpener;
  bool FHandedOn = false;
};

}  // namespace

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
  // A link in a reply must never replace the chat: whatever it points to opens outside.
  // Anchors within the chat page itself differ only in the fragment.
  if (AIsMainFrame &&
      AUrl.adjusted(QUrl::RemoveFragment) != FChatPageUrl.adjusted(QUrl::RemoveFragment)) {
    emit ExternalUrlRequested(AUrl);
    return false;
  }
  return QWebEnginePage::acceptNavigationRequest(AUrl, AType, AIsMainFrame);
}

QWebEnginePage* TChatPage::createWindow(WebWindowType) {
  return new TNewWindowCatcher(profile(), this);
}

TChatWebView::TChatWebView(QWidget* AParent) : QWebEngineView(AParent) {
  QWebEngineProfile* Profile = QWebEngineProfile::defaultProfile();
  if (!Profile->urlSchemeHandler("chatui"))
    Profile->installUrlSchemeHandler("chatui", new TChatUiSchemeHandler(Profile));
  FPage = new TChatPage(Profile, this);
  setPage(FPage);
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(FPage, &TChatPage::ChatUiRequested, this, &TChatWebView::ShouldStartLoadWithRequest);
  connect(FPage, &TChatPage::ExternalUrlRequested, this, &TChatWebView::ExternalUrlRequested);
  connect(FPage, &QWebEnginePage::loadFinished, this, [this](bool AOk) {
    // A cancelled chatui:// navigation also ends in loadFinished(false): not a page load.
    if (AOk && url().isLocalFile()) emit DidFinishLoad();
  });
}

void TChatWebView::LoadChatPage(const QUrl& AUrl) {
  FPage->SetChatPageUrl(AUrl);
  setUrl(AUrl);
}

void TChatWebView::Navigate(const std::string& AUrl) {
  LoadChatPage(QUrl(QString::fromStdString(AUrl)));
}

void TChatWebView::NavigateToFile(const std::string& APath) {
  LoadChatPage(QUrl::fromLocalFile(QString::fromStdString(APath)));
}

void TChatWebView::EvaluateJavaScript(const std::string& AScript) {
  page()->runJavaScript(QString::fromStdString(AScript));
}

}  // namespace kestrill
