// Opening a long saved chat in the real window: the time from the sidebar selection
// (ListBoxHistoryChange) until the last of its 1,000 bubbles is in the page and a frame with it
// has been drawn. To show where the time goes it also feeds the page the very same scripts in
// other ways: all in one evaluation, and with the per-bubble scroll switched off.
//
//   xvfb-run -a -s "-screen 0 1280x800x24" kestrill_bench_open_chat [RUNS]
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWebEnginePage>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LongChat.h"
#include "app/MainWindow.h"
#include "app/WebViewHost.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kLastMarker[] = "마지막-말풍선-0999";

[[noreturn]] void Fail(const char* AWhat) {
  std::fprintf(stderr, "bench_open_chat: %s\n", AWhat);
  std::exit(1);
}

double Ms(Clock::time_point A, Clock::time_point B) {
  return std::chrono::duration<double, std::milli>(B - A).count();
}

// Runs AScript in the page and waits for its result (the benchmark's only nested loop; the
// window itself never waits like this).
QVariant RunJs(QWebEnginePage* APage, const QString& AScript) {
  auto State = std::make_shared<std::pair<bool, QVariant>>();
  QEventLoop Loop;
  APage->runJavaScript(AScript, [State, &Loop](const QVariant& V) {
    State->first = true;
    State->second = V;
    Loop.quit();
  });
  QTimer::singleShot(120000, &Loop, &QEventLoop::quit);
  if (!State->first) Loop.exec();
  if (!State->first) Fail("the page did not answer within 2 minutes");
  return State->second;
}

void WaitUntil(const std::function<bool()>& ADone, int ATimeoutMs, const char* AWhat) {
  QElapsedTimer T;
  T.start();
  while (!ADone()) {
    if (T.elapsed() > ATimeoutMs) Fail(AWhat);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
  }
}

// Polls until ACount bubbles are in the page and the last one holds AMarker.
void WaitForBubbles(QWebEnginePage* APage, int ACount, const QString& AMarker) {
  const QString Probe = QString(
                            "(function(){var m=document.querySelectorAll('.msg');"
                            "return m.length==%1&&m[m.length-1].textContent.indexOf('%2')>=0;})()")
                            .arg(ACount)
                            .arg(AMarker);
  WaitUntil([&] { return RunJs(APage, Probe).toBool(); }, 120000, "the bubbles never all arrived");
}

// Waits for two animation frames: the second starts only after the frame holding everything
// added before was produced.
void WaitForFrame(QWebEnginePage* APage) {
  RunJs(APage,
        "window.__kbFrame=false;requestAnimationFrame(function(){requestAnimationFrame("
        "function(){window.__kbFrame=true;});});");
  WaitUntil([&] { return RunJs(APage, "window.__kbFrame===true").toBool(); }, 60000,
            "no frame was drawn");
}

struct TSeries {
  const char* Name;
  std::vector<double> Values;
  void Print() const {
    std::vector<double> V = Values;
    std::sort(V.begin(), V.end());
    const double Median =
        V.size() % 2 ? V[V.size() / 2] : (V[V.size() / 2 - 1] + V[V.size() / 2]) / 2;
    std::printf("%-66s median %7.1f ms   max %7.1f ms\n", Name, Median, V.back());
  }
};

// The scripts the controller sends when it draws AFile, recorded instead of run.
class TScriptRecorder : public IChatView {
 public:
  void Navigate(const std::string&) override {}
  void EvaluateJavaScript(const std::string& AScript) override { Scripts.push_back(AScript); }
  std::vector<std::string> Scripts;
};

std::vector<std::string> ScriptsFor(const std::string& AFile) {
  TScriptRecorder R;
  for (const TChatMessage& M : ReadHistoryDocument(ReadChatJsonFile(AFile).Value).Messages)
    AddMessageToWeb(R, M.Text, M.AttachedFilePath, M.Role == kRoleUser, M.MsgID);
  return R.Scripts;
}

// All of AScripts as one evaluation that reports, in ms, the time its calls took, the part of
// it spent rendering Markdown, and the layout the page still owed afterwards.
QString Joined(const std::vector<std::string>& AScripts) {
  std::string All =
      "(function(){var md=0,render=renderMarkdown;renderMarkdown=function(t){"
      "var s=performance.now();var r=render(t);md+=performance.now()-s;return r;};"
      "var t0=performance.now();\n";
  for (const auto& S : AScripts) All += S + "\n";
  All +=
      "var t1=performance.now();void document.body.offsetHeight;var t2=performance.now();"
      "renderMarkdown=render;return [t1-t0,md,t2-t1];})()";
  return QString::fromStdString(All);
}

constexpr char kNoScroll[] =
    "window.__kbScroll=window.__kbScroll||scrollToBottom;scrollToBottom=function(){};";
constexpr char kScrollBack[] = "if(window.__kbScroll)scrollToBottom=window.__kbScroll;";
// Lets the engine skip the layout and painting of bubbles outside the view until they scroll in.
constexpr char kSkipOffscreen[] =
    "var s=document.createElement('style');s.id='kb-skip';s.textContent='.msg-container,.msg-row"
    "{content-visibility:auto;contain-intrinsic-size:auto 120px}';document.head.appendChild(s);";
constexpr char kSkipOffscreenBack[] = "document.getElementById('kb-skip').remove();";

}  // namespace

int main(int argc, char** argv) {
  const int Runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  if (geteuid() == 0) setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);

  // A fresh HOME holding one long chat, one short one and their catalogue.
  std::string Home = (std::filesystem::temp_directory_path() / "kestrill-open-XXXXXX").string();
  if (!mkdtemp(Home.data())) Fail("mkdtemp");
  setenv("HOME", Home.c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_CONFIG_HOME");
  const std::string Data = Home + "/Documents/Kestrill";
  std::filesystem::create_directories(Data);
  TChatHistory Long = bench::LongChat(1040);  // 1,000 bubbles; the other 40 are tool messages
  Long.back().Text += std::string("\r\n\r\n") + kLastMarker;
  const TChatHistory Short = {CreateChatMessage("user", "짧은 대화: PER이 뭐야?"),
                              CreateChatMessage("model", "주가수익비율입니다. 짧은-끝")};
  const std::string LongFile = Data + "/20250102090000.json";
  const std::string ShortFile = Data + "/20250102090500.json";
  WriteFileAtomic(LongFile, FormatHistoryFile(Long));
  WriteFileAtomic(ShortFile, FormatHistoryFile(Short));
  TCatalogueData Catalogue;
  Catalogue.Entries = {{LongFile, TitleFromText(Long.front().Text), "20250102090000"},
                       {ShortFile, TitleFromText(Short.front().Text), "20250102090500"}};
  WriteFileAtomic(Data + "/" + kChatFileListName, FormatCatalogue(Catalogue));
  std::printf("chat file: %.0f KiB, 1000 bubbles\n", std::filesystem::file_size(LongFile) / 1024.0);

  RegisterChatUiScheme();
  QApplication App(argc, argv);
  auto Window = std::make_unique<TfrmMain>();
  auto* View = Window->findChild<TChatWebView*>("ChatWebBrowser");
  if (!View) Fail("no ChatWebBrowser in the window");
  bool Loaded = false;
  QObject::connect(View, &TChatWebView::DidFinishLoad, [&] { Loaded = true; });
  Window->show();
  WaitUntil([&] { return Loaded; }, 60000, "the page did not load");
  QWebEnginePage* Page = View->page();
  TChatController& C = Window->Controller();

  auto OpenShort = [&] {
    C.ListBoxHistoryChange(ShortFile, "short");
    WaitForBubbles(Page, 2, "짧은-끝");
    WaitForFrame(Page);
  };

  // 1. The real path: the sidebar selection, one script per bubble.
  TSeries Call{"sidebar selection: controller call returns", {}};
  TSeries Dom{"sidebar selection: all bubbles in the page", {}};
  TSeries Drawn{"sidebar selection: last bubble drawn (the figure)", {}};
  TSeries Script{"  of which in the page's JavaScript (sum per bubble)", {}};
  for (int I = 0; I < Runs; ++I) {
    OpenShort();
    RunJs(Page,
          "window.__kbJs=0;window.__kbAppend=window.__kbAppend||appendChat;"
          "appendChat=function(a,b,c){var t=performance.now();window.__kbAppend(a,b,c);"
          "window.__kbJs+=performance.now()-t;};");
    auto T0 = Clock::now();
    C.ListBoxHistoryChange(LongFile, "long");
    auto T1 = Clock::now();
    WaitForBubbles(Page, 1000, kLastMarker);
    auto T2 = Clock::now();
    WaitForFrame(Page);
    auto T3 = Clock::now();
    Call.Values.push_back(Ms(T0, T1));
    Dom.Values.push_back(Ms(T0, T2));
    Drawn.Values.push_back(Ms(T0, T3));
    Script.Values.push_back(RunJs(Page, "window.__kbJs").toDouble());
    RunJs(Page, "appendChat=window.__kbAppend;");
  }

  // 2. The same scripts, other ways: one evaluation instead of 1,000, and without the smooth
  // scroll each bubble asks for (which makes the page lay itself out once per bubble).
  const std::vector<std::string> Scripts = ScriptsFor(LongFile);
  const QString All = Joined(Scripts);
  struct TVariant {
    TSeries Drawn, InPage, Markdown, Layout;
    bool OneScript, NoScroll, SkipOffscreen = false;
  };
  std::vector<TVariant> Variants = {
      {{"one script per bubble, no per-bubble scroll: drawn", {}}, {}, {}, {}, false, true},
      {{"all bubbles in one script: drawn", {}},
       {"  of which the calls in the page", {}},
       {"    of which Markdown (marked + DOMPurify)", {}},
       {"  of which layout still owed after the calls", {}},
       true,
       false},
      {{"all bubbles in one script, no per-bubble scroll: drawn", {}},
       {"  of which the calls in the page", {}},
       {"    of which Markdown (marked + DOMPurify)", {}},
       {"  of which layout still owed after the calls", {}},
       true,
       true},
      {{"the same, off-screen bubbles skipped (content-visibility): drawn", {}},
       {"  of which the calls in the page", {}},
       {"    of which Markdown (marked + DOMPurify)", {}},
       {"  of which layout still owed after the calls", {}},
       true,
       true,
       true},
  };
  for (int I = 0; I < Runs; ++I) {
    for (TVariant& V : Variants) {
      OpenShort();
      if (V.NoScroll) RunJs(Page, kNoScroll);
      if (V.SkipOffscreen) RunJs(Page, kSkipOffscreen);
      auto T0 = Clock::now();
      RunJs(Page, "document.body.innerHTML = \"\";");
      if (V.OneScript) {
        const QVariantList Parts = RunJs(Page, All).toList();
        if (Parts.size() != 3) Fail("the joined script did not report its times");
        V.InPage.Values.push_back(Parts[0].toDouble());
        V.Markdown.Values.push_back(Parts[1].toDouble());
        V.Layout.Values.push_back(Parts[2].toDouble());
      } else {
        for (const auto& S : Scripts) Page->runJavaScript(QString::fromStdString(S));
      }
      WaitForBubbles(Page, 1000, kLastMarker);
      if (V.NoScroll) RunJs(Page, "window.scrollTo(0, document.body.scrollHeight);");
      WaitForFrame(Page);
      V.Drawn.Values.push_back(Ms(T0, Clock::now()));
      RunJs(Page, kScrollBack);
      if (V.SkipOffscreen) RunJs(Page, kSkipOffscreenBack);
    }
  }

  std::printf("opening a chat of 1000 bubbles, %d runs each\n", Runs);
  for (const TSeries* S : {&Call, &Dom, &Drawn, &Script}) S->Print();
  for (const TVariant& V : Variants) {
    V.Drawn.Print();
    if (V.OneScript)
      for (const TSeries* S : {&V.InPage, &V.Markdown, &V.Layout}) S->Print();
  }
  Window->close();
  Window.reset();
  std::error_code Ec;
  std::filesystem::remove_all(Home, Ec);
  return 0;
}
