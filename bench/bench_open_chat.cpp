// Opening a long saved chat in the real window: the time from the sidebar selection
// (ListBoxHistoryChange) until the last of its bubbles is in the page and a frame with it has
// been drawn, and until every answer's Markdown has been drawn in the background. To show where
// the time goes it also feeds the page the very scripts the controller sends, other ways: one
// evaluation per bubble with each answer's Markdown drawn at once (as chats opened before the
// replay), and all in one evaluation with and without the replay that leaves Markdown for later.
//
//   xvfb-run -a -s "-screen 0 1280x800x24" kestrill_bench_open_chat [RUNS] [--messages N ...]
//
// RUNS defaults to 10, the chat to 1,000 bubbles; "1 --messages 40" is a quick run.
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
#include <cstring>
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
#include "engine/ChatController.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"
#include "view/ViewBridge.h"

using namespace kestrill;
using Clock = std::chrono::steady_clock;

namespace {

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
void WaitForBubbles(QWebEnginePage* APage, std::size_t ACount, const QString& AMarker) {
  const QString Probe = QString(
                            "(function(){var m=document.querySelectorAll('.msg');"
                            "return m.length==%1&&m[m.length-1].textContent.indexOf('%2')>=0;})()")
                            .arg(ACount)
                            .arg(AMarker);
  WaitUntil([&] { return RunJs(APage, Probe).toBool(); }, 120000, "the bubbles never all arrived");
}

// Polls until no answer waits for its Markdown.
void WaitForAllDrawn(QWebEnginePage* APage) {
  WaitUntil([&] { return RunJs(APage, "!document.querySelector('.md-held')").toBool(); }, 300000,
            "the answers were never all drawn");
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
  std::string Name;
  std::vector<double> Values;
  void Print() const {
    if (Values.empty()) return;
    std::vector<double> V = Values;
    std::sort(V.begin(), V.end());
    const double Median =
        V.size() % 2 ? V[V.size() / 2] : (V[V.size() / 2 - 1] + V[V.size() / 2]) / 2;
    std::printf("%-70s median %7.1f ms   max %7.1f ms\n", Name.c_str(), Median, V.back());
  }
};

// A shell that shows nothing: the controller below only opens chats, for their scripts.
class TQuietShell : public IUiQueue, public IDialogs, public IMainControls {
 public:
  void Post(std::function<void()>) override {}
  void AlaramMessage(const std::string& AMessage) override {
    std::fprintf(stderr, "bench_open_chat: %s\n", AMessage.c_str());
  }
  bool ConfirmYesNo(const std::string&) override { return false; }
  std::optional<std::string> EditText(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::string PromptText() const override { return {}; }
  void ClearPrompt() override {}
  bool SendEnabled() const override { return false; }
  void SetSendEnabled(bool) override {}
  int ProviderIndex() const override { return 0; }
  int ModeIndex() const override { return 0; }
  void SetChatTitle(const std::string&) override {}
  void SetPromptText(const std::string&) override {}
  void ClearHistoryItems() override {}
  void AddHistoryItem(const std::string&, const std::string&, bool, double) override {}
  void RemoveHistoryItem(const std::string&) override {}
  void SetHistoryItemTitle(const std::string&, const std::string&) override {}
  bool SelectHistoryItem(const std::string&) override { return false; }
  void HideAttachmentPreview() override {}
  void OpenURL(const std::string&) override {}
};

class TScriptRecorder : public IChatView {
 public:
  void Navigate(const std::string&) override {}
  void EvaluateJavaScript(const std::string& AScript) override { Scripts.push_back(AScript); }
  std::vector<std::string> Scripts;
};

// The scripts the controller sends when it opens AFile, recorded instead of run: the clear as
// the chat before is left, then the replay, taken apart into its scripts.
std::vector<std::string> ScriptsFor(const std::string& AFile, const std::string& AConfigFile) {
  TConfig Config(AConfigFile);
  TScriptRecorder View;
  TQuietShell Shell;
  {
    TChatController C(Config, View, Shell, Shell, Shell);
    C.ListBoxHistoryChange(AFile, "long");
  }
  std::vector<std::string> Out;
  for (const std::string& S : View.Scripts) {
    if (auto Parts = ReplayParts(S))
      Out.insert(Out.end(), Parts->begin(), Parts->end());
    else
      Out.push_back(S);
  }
  return Out;
}

// AScripts as one evaluation that reports, in ms, the time its calls took, the part of it spent
// drawing Markdown, and the layout the page still owed afterwards. With AReplay, between
// beginReplay() and endReplay(), as the controller sends them.
QString Joined(const std::vector<std::string>& AScripts, bool AReplay) {
  std::string All =
      "(function(){var md=0,render=renderMarkdown;renderMarkdown=function(t,b){"
      "var s=performance.now();var r=render(t,b);md+=performance.now()-s;return r;};"
      "var t0=performance.now();\n";
  if (AReplay) All += "beginReplay();\n";
  for (const auto& S : AScripts) All += S + "\n";
  if (AReplay) All += "endReplay();\n";
  All +=
      "var t1=performance.now();void document.body.offsetHeight;var t2=performance.now();"
      "renderMarkdown=render;return [t1-t0,md,t2-t1];})()";
  return QString::fromStdString(All);
}

// The page's replay calls timed from inside: begin to end, and the end alone (the Markdown of
// the last screens and the one scroll).
constexpr char kTimeReplay[] =
    "window.__kbBegin=window.__kbBegin||beginReplay;window.__kbEnd=window.__kbEnd||endReplay;"
    "window.__kbReplayMs=-1;window.__kbEndMs=-1;"
    "beginReplay=function(){window.__kbT0=performance.now();window.__kbBegin();};"
    "endReplay=function(){var s=performance.now();window.__kbEnd();var e=performance.now();"
    "window.__kbEndMs=e-s;window.__kbReplayMs=e-window.__kbT0;};";
constexpr char kUntimeReplay[] = "beginReplay=window.__kbBegin;endReplay=window.__kbEnd;";

struct TOptions {
  int Runs = 10;
  std::vector<std::size_t> Messages;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions O;
  bool InMessages = false;
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--messages") == 0) {
      InMessages = true;
      continue;
    }
    const long N = std::strtol(argv[I], nullptr, 10);
    if (N <= 0) {
      std::fprintf(stderr, "usage: %s [RUNS] [--messages N ...]\n", argv[0]);
      std::exit(2);
    }
    if (InMessages)
      O.Messages.push_back(static_cast<std::size_t>(N));
    else
      O.Runs = static_cast<int>(N);
  }
  if (O.Messages.empty()) O.Messages.push_back(1000);
  return O;
}

// The long chat cut after its ABubbles-th bubble (its tool messages are not bubbles).
TChatHistory ChatOfBubbles(std::size_t ABubbles) {
  TChatHistory H = bench::LongChat(ABubbles + ABubbles / 24 + 4);
  std::size_t Bubbles = 0, End = 0;
  for (; End < H.size() && Bubbles < ABubbles; ++End)
    if (H[End].Role != kRoleTool && !H[End].Text.empty()) ++Bubbles;
  H.resize(End);
  return H;
}

struct TLongChat {
  std::size_t Bubbles;
  std::string File, Marker;
};

}  // namespace

int main(int argc, char** argv) {
  const TOptions Options = ParseOptions(argc, argv);
  const int Runs = Options.Runs;
  if (geteuid() == 0) setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);

  // A fresh HOME holding the long chats, one short one and their catalogue.
  std::string Home = (std::filesystem::temp_directory_path() / "kestrill-open-XXXXXX").string();
  if (!mkdtemp(Home.data())) Fail("mkdtemp");
  setenv("HOME", Home.c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_CONFIG_HOME");
  const std::string Data = Home + "/Documents/Kestrill";
  std::filesystem::create_directories(Data);
  TCatalogueData Catalogue;
  std::vector<TLongChat> Chats;
  for (std::size_t I = 0; I < Options.Messages.size(); ++I) {
    const std::size_t N = Options.Messages[I];
    TChatHistory Long = ChatOfBubbles(N);
    const std::string Marker = "마지막-말풍선-" + std::to_string(N);
    Long.back().Text += "\r\n\r\n" + Marker;
    const std::string Stamp = "2025010209" + std::to_string(1000 + I).substr(1) + "0";
    const std::string File = Data + "/" + Stamp + ".json";
    WriteFileAtomic(File, FormatHistoryFile(Long));
    Catalogue.Entries.push_back({File, TitleFromText(Long.front().Text), Stamp});
    Chats.push_back({N, File, Marker});
    std::printf("chat file: %.0f KiB, %zu bubbles\n", std::filesystem::file_size(File) / 1024.0, N);
  }
  const TChatHistory Short = {CreateChatMessage("user", "짧은 대화: PER이 뭐야?"),
                              CreateChatMessage("model", "주가수익비율입니다. 짧은-끝")};
  const std::string ShortFile = Data + "/20250102080000.json";
  WriteFileAtomic(ShortFile, FormatHistoryFile(Short));
  Catalogue.Entries.push_back({ShortFile, TitleFromText(Short.front().Text), "20250102080000"});
  WriteFileAtomic(Data + "/" + kChatFileListName, FormatCatalogue(Catalogue));

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

  for (const TLongChat& Chat : Chats) {
    const QString Marker = QString::fromStdString(Chat.Marker);
    // 1. The real path: the sidebar selection, the whole chat in one replay.
    TSeries Call{"sidebar selection: controller call returns", {}};
    TSeries Dom{"sidebar selection: all bubbles in the page", {}};
    TSeries Drawn{"sidebar selection: last bubble drawn (the figure)", {}};
    TSeries InPage{"  of which the replay in the page (beginReplay to endReplay)", {}};
    TSeries End{"    of which endReplay (Markdown of the last screens, one scroll)", {}};
    TSeries AllDrawn{"sidebar selection: every answer's Markdown drawn (in the background)", {}};
    for (int I = 0; I < Runs; ++I) {
      OpenShort();
      RunJs(Page, kTimeReplay);
      auto T0 = Clock::now();
      C.ListBoxHistoryChange(Chat.File, "long");
      auto T1 = Clock::now();
      WaitForBubbles(Page, Chat.Bubbles, Marker);
      auto T2 = Clock::now();
      WaitForFrame(Page);
      auto T3 = Clock::now();
      WaitForAllDrawn(Page);
      auto T4 = Clock::now();
      Call.Values.push_back(Ms(T0, T1));
      Dom.Values.push_back(Ms(T0, T2));
      Drawn.Values.push_back(Ms(T0, T3));
      AllDrawn.Values.push_back(Ms(T0, T4));
      const double ReplayMs = RunJs(Page, "window.__kbReplayMs").toDouble();
      if (ReplayMs < 0) Fail("the chat was not drawn as one replay");
      InPage.Values.push_back(ReplayMs);
      End.Values.push_back(RunJs(Page, "window.__kbEndMs").toDouble());
      RunJs(Page, kUntimeReplay);
    }

    // 2. The same scripts, other ways: one evaluation per bubble, each answer's Markdown drawn
    // as it comes and a scroll asked for by each bubble, as chats opened before the replay; all
    // in one evaluation with every answer's Markdown drawn at once; and the replay as sent.
    const std::vector<std::string> Scripts = ScriptsFor(Chat.File, Home + "/bench-recorder.ini");
    struct TVariant {
      TSeries Drawn, InPage, Markdown, Layout;
      bool OneScript, Replay;
    };
    std::vector<TVariant> Variants = {
        {{"one evaluation per bubble, Markdown at once: drawn", {}}, {}, {}, {}, false, false},
        {{"all in one evaluation, Markdown at once: drawn", {}},
         {"  of which the calls in the page", {}},
         {"    of which Markdown (marked + DOMPurify + highlight.js)", {}},
         {"  of which layout still owed after the calls", {}},
         true,
         false},
        {{"all in one evaluation as a replay (as sent): drawn", {}},
         {"  of which the calls in the page", {}},
         {"    of which Markdown (the last screens)", {}},
         {"  of which layout still owed after the calls", {}},
         true,
         true},
    };
    for (int I = 0; I < Runs; ++I) {
      for (TVariant& V : Variants) {
        OpenShort();
        const QString All = V.OneScript ? Joined(Scripts, V.Replay) : QString();
        auto T0 = Clock::now();
        if (V.OneScript) {
          const QVariantList Parts = RunJs(Page, All).toList();
          if (Parts.size() != 3) Fail("the joined script did not report its times");
          V.InPage.Values.push_back(Parts[0].toDouble());
          V.Markdown.Values.push_back(Parts[1].toDouble());
          V.Layout.Values.push_back(Parts[2].toDouble());
        } else {
          for (const auto& S : Scripts) Page->runJavaScript(QString::fromStdString(S));
        }
        WaitForBubbles(Page, Chat.Bubbles, Marker);
        WaitForFrame(Page);
        V.Drawn.Values.push_back(Ms(T0, Clock::now()));
        if (V.Replay) WaitForAllDrawn(Page);  // the next run starts from a quiet page
      }
    }

    std::printf("opening a chat of %zu bubbles, %d runs each\n", Chat.Bubbles, Runs);
    for (const TSeries* S : {&Call, &Dom, &Drawn, &InPage, &End, &AllDrawn}) S->Print();
    for (const TVariant& V : Variants)
      for (const TSeries* S : {&V.Drawn, &V.InPage, &V.Markdown, &V.Layout}) S->Print();
  }
  Window->close();
  Window.reset();
  std::error_code Ec;
  std::filesystem::remove_all(Home, Ec);
  return 0;
}
