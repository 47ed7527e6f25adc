// Soak run of the real window: many agent turns in a row against an OpenAI-style provider on
// 127.0.0.1 that answers at once. Each turn the model asks for draw_stock_chart (no network),
// then answers with a Markdown reply; every finished turn saves the chat to the data folder.
// Reports our resident memory along the run and how long the UI thread was ever busy in one go.
//
//   xvfb-run -a -s "-screen 0 1280x800x24" kestrill_bench_soak [TURNS] [--new-chat-every N]
//                                                              [--keep-cwd]
//
// N defaults to 10 (a user starts a new chat for each topic); N = 0 keeps one chat throughout.
#include <httplib.h>

#include "ForkedServer.h"
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWebEnginePage>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "LongChat.h"
#include "app/MainWindow.h"
#include "app/WebViewHost.h"
#include "core/Config.h"
#include "core/FileIO.h"
#include "core/JsonPath.h"
#include "storage/Catalogue.h"
#include "storage/HistoryFile.h"

using namespace kestrill;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void Fail(const std::string& AWhat) {
  std::fprintf(stderr, "bench_soak: %s\n", AWhat.c_str());
  std::exit(1);
}

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

// CPU time of the calling thread: on a shared machine, wall time also counts the time the UI
// thread waited for the disk or for a core; this is what it spent itself.
double ThreadCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return T.tv_sec * 1e3 + T.tv_nsec / 1e6;
}

std::string LoadAverage() {
  std::ifstream In("/proc/loadavg");
  std::string A, B, C;
  In >> A >> B >> C;
  return A + " " + B + " " + C;
}

// ---------------------------------------------------------------------------------------------
// The provider runs in a child process, so neither its memory nor its threads count as ours.

// The model's answer to a request: a chart request first, a reply once the tool has answered.
std::string ProviderAnswer(const std::string& ABody, int ASerial, std::mt19937& ARng) {
  // The messages come before the tools in the body; the last role before "tools" is the one
  // that asked. A cheap scan: the body grows with the chat.
  const std::size_t Tools = ABody.rfind("\"tools\"");
  const std::size_t Role = ABody.rfind("\"role\"", Tools);
  const bool ToolAnswered =
      Role != std::string::npos && ABody.compare(Role, 13, "\"role\":\"tool\"") == 0;
  TJson Message = TJson::object();
  if (ToolAnswered) {
    Message["content"] = bench::ChatText(ARng, 1200);
  } else {
    std::string Stamps = "[", Prices = "[";
    for (int I = 0; I < 60; ++I) {
      Stamps += (I ? "," : "") + std::to_string(1769353200 + I * 86400);
      Prices += (I ? "," : "") + std::to_string(70000 + static_cast<int>(ARng() % 5000));
    }
    TJson Args = {{"chartTitle", "삼성전자 60일 종가"},
                  {"timestamps", Stamps + "]"},
                  {"prices", Prices + "]"}};
    TJson Call = {{"id", "call_" + std::to_string(ASerial)},
                  {"type", "function"},
                  {"function", {{"name", "draw_stock_chart"}, {"arguments", Args.dump()}}}};
    Message["content"] = nullptr;
    Message["tool_calls"] = TJson::array({Call});
  }
  TJson Doc;
  Doc["choices"] = TJson::array({TJson{{"message", Message}}});
  return Doc.dump();
}

// Starts the provider; returns its process and base URL.
std::pair<pid_t, std::string> StartProvider() {
  return bench::StartForkedServer([](httplib::Server& AServer) {
    auto Rng = std::make_shared<std::mt19937>(20260125);
    auto Serial = std::make_shared<int>(0);
    auto Lock = std::make_shared<std::mutex>();
    AServer.Post(".*", [=](const httplib::Request& Req, httplib::Response& Res) {
      std::lock_guard L(*Lock);
      Res.set_content(ProviderAnswer(Req.body, ++*Serial, *Rng), "application/json");
    });
  });
}

// ---------------------------------------------------------------------------------------------
// Memory.

long StatusKiB(const std::string& AFile, const char* AField) {
  std::ifstream In(AFile);
  std::string Line;
  const std::size_t N = std::strlen(AField);
  while (std::getline(In, Line))
    if (Line.compare(0, N, AField) == 0 && Line.size() > N && Line[N] == ':')
      return std::atol(Line.c_str() + N + 1);
  return 0;
}

// Resident memory of the web engine's helper processes (renderer, zygote, utility): every
// descendant but the provider. Shared pages are counted in each, so this is an upper bound.
long HelpersKiB(pid_t AProvider) {
  std::map<pid_t, pid_t> Parent;
  for (const auto& E : std::filesystem::directory_iterator("/proc")) {
    const std::string Name = E.path().filename();
    if (Name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream In(E.path() / "stat");
    std::string Stat;
    std::getline(In, Stat);
    const std::size_t Close = Stat.rfind(')');
    if (Close == std::string::npos) continue;
    std::istringstream Rest(Stat.substr(Close + 2));
    char State;
    pid_t PPid = 0;
    Rest >> State >> PPid;
    Parent[std::stoi(Name)] = PPid;
  }
  long Sum = 0;
  for (const auto& [Pid, PPid] : Parent) {
    if (Pid == AProvider) continue;
    for (pid_t P = PPid; P > 1; P = Parent.count(P) ? Parent[P] : 0)
      if (P == getpid()) {
        Sum += StatusKiB("/proc/" + std::to_string(Pid) + "/status", "VmRSS");
        break;
      }
  }
  return Sum;
}

struct TMemory {
  int Turn = 0;
  long RssKiB = 0;
  long HeapKiB = 0;  // malloc'd and in use
  long HelpersKiB = 0;
  std::size_t HistoryMessages = 0;
  long HistoryKiB = 0;
};

// The heap the open conversation holds (strings past the small-string buffer, and the vector):
// the growth expected from a longer chat, to tell it from a leak.
long ConversationKiB(const TChatHistory& AHistory) {
  auto Str = [](const std::string& S) { return S.capacity() > 15 ? S.capacity() + 1 : 0; };
  std::size_t Bytes = AHistory.capacity() * sizeof(TChatMessage);
  for (const TChatMessage& M : AHistory)
    for (const std::string* S : {&M.MsgID, &M.Role, &M.Text, &M.AttachedFilePath, &M.ImageBase64,
                                 &M.MimeType, &M.ToolCallId, &M.ToolName, &M.ToolArgs,
                                 &M.RawToolCallJSON, &M.RawPartsJSON, &M.ReasoningContent})
      Bytes += Str(*S);
  return static_cast<long>(Bytes / 1024);
}

// ---------------------------------------------------------------------------------------------
// UI-thread occupancy, two ways.

// Every event Qt delivers on the UI thread is timed (outermost delivery only): posted controller
// work, the web engine's own pump (it runs on Qt timers and posted events), input and paint.
class TTimedApp : public QApplication {
 public:
  using QApplication::QApplication;
  // No strings here: what the bench records must not show up as the program's heap growth.
  struct TLong {
    double Ms, CpuMs;
    const char* Class;  // static text
    int Type, Turn;
  };
  bool notify(QObject* AReceiver, QEvent* AEvent) override {
    if (FDepth++ > 0) {
      const bool R = QApplication::notify(AReceiver, AEvent);
      --FDepth;
      return R;
    }
    const auto T0 = Clock::now();
    const double Cpu0 = ThreadCpuMs();
    // The event and the receiver (a single-shot timer, say) may be gone after delivery; the
    // class name is static text.
    const int Type = AEvent->type();
    const char* Class = AReceiver ? AReceiver->metaObject()->className() : "?";
    const bool R = QApplication::notify(AReceiver, AEvent);
    const double D = Ms(Clock::now() - T0);
    const double Cpu = ThreadCpuMs() - Cpu0;
    --FDepth;
    if (AReceiver == Window && Type == QEvent::MetaCall) LastWindowTask = {D, Cpu};
    if (AfterDelivery) AfterDelivery();
    if (Measuring && D > 5.0) Long.push_back({D, Cpu, Class, Type, Turn});
    if (Measuring && Turn > 0) MaxMs = std::max(MaxMs, D);
    return R;
  }
  QObject* Window = nullptr;
  // Looks at the controller's state after each piece of UI-thread work has run.
  std::function<void()> AfterDelivery;
  bool Measuring = false;
  int Turn = 0;
  double MaxMs = 0;
  std::pair<double, double> LastWindowTask;  // wall and CPU ms
  std::vector<TLong> Long;

 private:
  int FDepth = 0;
};

// A precise 2 ms timer: any gap between two of its ticks beyond 2 ms is time the UI thread was
// not back in its event loop, whatever kept it (a batch of posted work included).
class THeartbeat : public QObject {
 public:
  static constexpr int kIntervalMs = 2;
  explicit THeartbeat(int* ATurn) : FTurn(ATurn) {
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(kIntervalMs);
    connect(&FTimer, &QTimer::timeout, this, [this] {
      const auto Now = Clock::now();
      const double Cpu = ThreadCpuMs();
      if (FRunning) Gaps.push_back({Ms(Now - FLast), Cpu - FLastCpu, *FTurn});
      FLast = Now;
      FLastCpu = Cpu;
      FRunning = true;
    });
  }
  void Start() { FTimer.start(); }
  void Stop() { FTimer.stop(); }
  struct TGap {
    double Ms, CpuMs;  // wall time between two ticks, and the UI thread's CPU time in it
    int Turn;
  };
  std::vector<TGap> Gaps;

 private:
  QTimer FTimer;
  int* FTurn;
  Clock::time_point FLast;
  double FLastCpu = 0;
  bool FRunning = false;
};

// ---------------------------------------------------------------------------------------------

double Percentile(std::vector<double> V, double P) {
  if (V.empty()) return 0;
  std::sort(V.begin(), V.end());
  return V[std::min(V.size() - 1, static_cast<std::size_t>(P * (V.size() - 1) + 0.5))];
}

// Drives the turns from the event loop itself: no nested loops, every step a queued callback.
class TSoak : public QObject {
 public:
  TSoak(TfrmMain& AWindow, TTimedApp& AApp, int ATurns, int ANewChatEvery, pid_t AProvider)
      : W(AWindow),
        App(AApp),
        C(AWindow.Controller()),
        Turns(ATurns),
        Every(ANewChatEvery),
        Provider(AProvider),
        Beat(&AApp.Turn) {
    Send = W.findChild<QPushButton*>("btnSend");
    NewChat = W.findChild<QPushButton*>("sbNewChat");
    Memo = W.findChild<QPlainTextEdit*>("MemoInput");
    Page = W.findChild<TChatWebView*>("ChatWebBrowser")->page();
    if (!Send || !NewChat || !Memo) Fail("controls not found");
    // The records get their room now, written once so its pages are resident before turn 10:
    // otherwise their growth would be counted as the program's.
    Preallocate(Beat.Gaps, 80 * static_cast<std::size_t>(ATurns) + 4096);
    Preallocate(App.Long, 16 * static_cast<std::size_t>(ATurns) + 1024);
    for (auto* V : {&TurnMs, &CaughtUpMs, &SendMs, &EndTaskMs, &EndTaskCpuMs, &MaxGapPerTurn})
      Preallocate(*V, ATurns);
    Memory.reserve(ATurns / 50 + 4);
  }

  template <class T>
  static void Preallocate(std::vector<T>& V, std::size_t N) {
    V.resize(N);
    V.clear();
  }

  // Called after every event delivery: the controller's state tells when a turn has ended and
  // when a fresh page is ready (the send button is a stop button while a turn runs, so its
  // enabled state says nothing). The next step is queued behind the work that just ran.
  void Check() {
    if (St == sStart && W.SendEnabled()) {
      St = sIdle;
      QTimer::singleShot(0, this, [this] { Begin(); });
    } else if (St == sWaitPage && W.SendEnabled()) {
      St = sIdle;
      QTimer::singleShot(0, this, [this] { NextTurn(); });
    } else if (St == sTurn && !C.TurnRunning()) {
      St = sIdle;
      EndTaskMs.push_back(App.LastWindowTask.first);
      EndTaskCpuMs.push_back(App.LastWindowTask.second);
      QTimer::singleShot(0, this, [this] { TurnEnded(); });
    }
  }

  // A second of the idle window first: the heartbeat's own resolution.
  void Begin() {
    App.Measuring = true;
    Beat.Start();
    QTimer::singleShot(1000, this, [this] { NextTurn(); });
  }

  std::vector<TMemory> Memory;
  std::vector<double> TurnMs, CaughtUpMs, SendMs, EndTaskMs, EndTaskCpuMs;
  std::vector<double> MaxGapPerTurn;
  std::vector<std::string> Problems;
  THeartbeat& Heartbeat() { return Beat; }

 private:
  void NextTurn() {
    ++App.Turn;
    Memo->setPlainText(
        QString::fromStdString("삼성전자 최근 60일 종가 차트를 그리고 흐름을 분석해 줘 (" +
                               std::to_string(App.Turn) + ")"));
    if (!W.SendEnabled()) Fail("the send button is not ready at turn " + std::to_string(App.Turn));
    T0 = Clock::now();
    Send->click();
    St = sTurn;
    SendMs.push_back(Ms(Clock::now() - T0));
  }

  void TurnEnded() {
    TurnMs.push_back(Ms(Clock::now() - T0));
    if (C.TurnRunning()) Problems.push_back("turn " + std::to_string(App.Turn) + " still running");
    const auto& H = C.ChatHistory();
    if (H.size() < 4 || H.back().HasToolCall || H.back().Text.empty())
      Problems.push_back("turn " + std::to_string(App.Turn) + " ended without a reply");
    // One round trip: the page has run every script of this turn, as a user reads the reply
    // before the next question.
    Page->runJavaScript("1", [this](const QVariant&) { PageCaughtUp(); });
  }

  void PageCaughtUp() {
    CaughtUpMs.push_back(Ms(Clock::now() - T0));
    double MaxGap = 0;
    for (std::size_t I = GapsSeen; I < Beat.Gaps.size(); ++I)
      if (Beat.Gaps[I].Turn > 0) MaxGap = std::max(MaxGap, Beat.Gaps[I].Ms);
    GapsSeen = Beat.Gaps.size();
    MaxGapPerTurn.push_back(MaxGap);
    const int Turn = App.Turn;
    if (Turn == 1 || Turn == 10 || Turn % 50 == 0 || Turn == Turns)
      Memory.push_back({Turn, StatusKiB("/proc/self/status", "VmRSS"),
                        static_cast<long>(mallinfo2().uordblks / 1024), HelpersKiB(Provider),
                        C.ChatHistory().size(), ConversationKiB(C.ChatHistory())});
    if (Turn == Turns) {
      Beat.Stop();
      App.Measuring = false;
      QTimer::singleShot(0, &App, &QCoreApplication::quit);
    } else if (Every > 0 && Turn % Every == 0) {
      NewChat->click();
      St = sWaitPage;  // sending is off until the fresh page has loaded
    } else {
      NextTurn();
    }
  }

  enum { sStart, sIdle, sWaitPage, sTurn } St = sStart;
  TfrmMain& W;
  TTimedApp& App;
  TChatController& C;
  const int Turns, Every;
  const pid_t Provider;
  THeartbeat Beat;
  QPushButton *Send, *NewChat;
  QPlainTextEdit* Memo;
  QWebEnginePage* Page;
  Clock::time_point T0;
  std::size_t GapsSeen = 0;
};

void PrintSeries(const char* AName, const std::vector<double>& V) {
  std::printf("%-48s median %8.2f ms  p99 %8.2f ms  max %8.2f ms\n", AName, Percentile(V, 0.5),
              Percentile(V, 0.99), V.empty() ? 0 : *std::max_element(V.begin(), V.end()));
}

}  // namespace

int main(int argc, char** argv) {
  int Turns = 500, Every = 10;
  bool KeepCwd = false;
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--new-chat-every") == 0 && I + 1 < argc)
      Every = std::atoi(argv[++I]);
    else if (std::strcmp(argv[I], "--keep-cwd") == 0)
      KeepCwd = true;
    else if (std::atoi(argv[I]) > 0)
      Turns = std::atoi(argv[I]);
  }
  if (geteuid() == 0) setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);

  // Before any thread exists.
  const auto [ProviderPid, ProviderUrl] = StartProvider();

  std::string Home = (std::filesystem::temp_directory_path() / "kestrill-soak-XXXXXX").string();
  if (!mkdtemp(Home.data())) Fail("mkdtemp");
  setenv("HOME", Home.c_str(), 1);
  // Started from the home folder, as a desktop launcher does. The window's file dialog watches
  // the working folder from the start, so a busy one (say /tmp) costs UI time of its own; the
  // --keep-cwd runs show how much.
  if (!KeepCwd && chdir(Home.c_str()) != 0) Fail("chdir");
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_CONFIG_HOME");
  const std::string Data = Home + "/Documents/Kestrill";
  std::filesystem::create_directories(Data);
  setenv("KESTRILL_OPENAI_URL", ProviderUrl.c_str(), 1);
  {
    TConfig Config(SettingsFilePath());
    Config.Write(keys::OpenAIKey, "sk-bench");
    Config.Write(keys::Selected, 1);  // ChatGPT
    Config.Write(keys::Mode, 1);      // agent
  }

  RegisterChatUiScheme();
  TTimedApp App(argc, argv);
  auto Window = std::make_unique<TfrmMain>();
  TfrmMain::TDialogScript Dialogs;  // no modal dialog may stop the run; any message is reported
  Window->SetDialogScript(&Dialogs);
  App.Window = Window.get();
  TSoak Soak(*Window, App, Turns, Every, ProviderPid);
  App.AfterDelivery = [&Soak] { Soak.Check(); };
  QTimer Deadline;
  Deadline.setSingleShot(true);
  QObject::connect(&Deadline, &QTimer::timeout, [] { Fail("the run took over an hour"); });
  Deadline.start(3600 * 1000);
  Window->show();
  const auto Start = Clock::now();
  const std::string LoadStart = LoadAverage();
  App.exec();
  const double TotalS = Ms(Clock::now() - Start) / 1000;

  std::vector<double> Gaps, GapsCpu, Idle;
  for (const auto& G : Soak.Heartbeat().Gaps) {
    (G.Turn == 0 ? Idle : Gaps).push_back(G.Ms);
    if (G.Turn > 0) GapsCpu.push_back(G.CpuMs);
  }
  // Where the end-of-turn task goes: the last chat's file formatted, and written the way the
  // controller writes it (temporary file, fsync, rename), into a scratch file.
  std::vector<double> FormatMs, WriteMs;
  const TChatHistory& Last = Window->Controller().ChatHistory();
  for (int I = 0; I < 20; ++I) {
    auto T0 = Clock::now();
    const std::string Bytes = FormatHistoryFile(Last);
    auto T1 = Clock::now();
    WriteFileAtomic(Home + "/scratch.json", Bytes);
    FormatMs.push_back(Ms(T1 - T0));
    WriteMs.push_back(Ms(Clock::now() - T1));
  }
  std::size_t ChatFiles = 0;
  std::uintmax_t ChatBytes = 0;
  for (const auto& E : std::filesystem::directory_iterator(Data))
    if (E.path().extension() == ".json" && E.path().filename() != kChatFileListName) {
      ++ChatFiles;
      ChatBytes = std::max(ChatBytes, E.file_size());
    }

  std::printf("soak: %d agent turns, %s, %.1f s in all\n", Turns,
              Every > 0 ? ("a new chat every " + std::to_string(Every) + " turns").c_str()
                        : "one chat throughout",
              TotalS);
  std::printf("chat files written: %zu, largest %.0f KiB\n", ChatFiles, ChatBytes / 1024.0);
  std::printf("load average: %s at the start, %s at the end (2 cores are shared)\n",
              LoadStart.c_str(), LoadAverage().c_str());
  std::printf(
      "\nmemory (VmRSS of this process; heap = malloc in use; helpers = web engine "
      "processes)\n");
  for (const TMemory& M : Soak.Memory)
    std::printf(
        "  turn %4d  rss %7.1f MiB  heap %6.1f MiB  helpers %7.1f MiB  chat %5zu messages, "
        "%6.2f MiB\n",
        M.Turn, M.RssKiB / 1024.0, M.HeapKiB / 1024.0, M.HelpersKiB / 1024.0, M.HistoryMessages,
        M.HistoryKiB / 1024.0);
  auto At = [&](int T) {
    for (const TMemory& M : Soak.Memory)
      if (M.Turn == T) return M;
    return TMemory{};
  };
  const TMemory M10 = At(10), MEnd = At(Turns);
  if (M10.RssKiB > 0)
    std::printf(
        "rss turn %d vs turn 10: %+.1f %% (%+.1f MiB; goal within 10 %%); heap %+.1f MiB, of "
        "which the open chat %+.2f MiB\n",
        Turns, 100.0 * (MEnd.RssKiB - M10.RssKiB) / M10.RssKiB, (MEnd.RssKiB - M10.RssKiB) / 1024.0,
        (MEnd.HeapKiB - M10.HeapKiB) / 1024.0, (MEnd.HistoryKiB - M10.HistoryKiB) / 1024.0);

  std::printf("\nturn times\n");
  PrintSeries("click -> turn ended and saved", Soak.TurnMs);
  PrintSeries("click -> page ran all its scripts", Soak.CaughtUpMs);
  PrintSeries("UI thread: send click (btnSendClick)", Soak.SendMs);
  PrintSeries("UI thread: end-of-turn task (incl. save)", Soak.EndTaskMs);
  PrintSeries("  the same, UI thread CPU time", Soak.EndTaskCpuMs);
  std::printf("the last chat (%zu messages) saved again, 20 times:\n", Last.size());
  PrintSeries("  formatting the chat file", FormatMs);
  PrintSeries("  writing it (temporary file, fsync, rename)", WriteMs);

  std::printf("\nUI thread busy in one go (goal under 50 ms)\n");
  std::printf("heartbeat (%d ms precise timer; gap between ticks, all UI-thread work):\n",
              THeartbeat::kIntervalMs);
  PrintSeries("  gap, idle window (1 s before the first turn)", Idle);
  PrintSeries("  gap, during the turns", Gaps);
  PrintSeries("  UI thread CPU time within each gap", GapsCpu);
  std::printf("  gaps over 16 ms: %zu, over 50 ms: %zu of %zu\n",
              static_cast<std::size_t>(
                  std::count_if(Gaps.begin(), Gaps.end(), [](double G) { return G > 16; })),
              static_cast<std::size_t>(
                  std::count_if(Gaps.begin(), Gaps.end(), [](double G) { return G > 50; })),
              Gaps.size());
  auto Sorted = Soak.Heartbeat().Gaps;
  std::erase_if(Sorted, [](const auto& G) { return G.Turn == 0; });
  std::sort(Sorted.begin(), Sorted.end(), [](auto& A, auto& B) { return A.Ms > B.Ms; });
  std::printf("  longest (wall/CPU ms, turn):");
  for (std::size_t I = 0; I < std::min<std::size_t>(8, Sorted.size()); ++I)
    std::printf(" %.0f/%.0f (%d)", Sorted[I].Ms, Sorted[I].CpuMs, Sorted[I].Turn);
  std::printf("\n  longest gap per turn, by tenth of the run:");
  const std::size_t N = Soak.MaxGapPerTurn.size();
  for (std::size_t D = 0; D < 10 && N >= 10; ++D) {
    std::vector<double> Part(Soak.MaxGapPerTurn.begin() + D * N / 10,
                             Soak.MaxGapPerTurn.begin() + (D + 1) * N / 10);
    std::printf(" %.1f", Percentile(Part, 0.5));
  }
  std::printf(" (medians)\n");
  std::printf("event deliveries (each outermost QApplication::notify timed):\n");
  std::printf("  longest single delivery %.1f ms; deliveries over 5 ms, by receiver and event:\n",
              App.MaxMs);
  if (Soak.Heartbeat().Gaps.size() > Soak.Heartbeat().Gaps.capacity() / 2)
    std::printf("  (the records outgrew their room: their growth is in the memory figures)\n");
  std::map<std::string, std::vector<double>> ByWhat, CpuByWhat;
  std::map<std::string, std::pair<int, int>> Seen;  // first and last turn
  for (const auto& L : App.Long) {
    if (L.Turn == 0) continue;
    const char* Name = QMetaEnum::fromType<QEvent::Type>().valueToKey(L.Type);
    const std::string What = std::string(L.Class) + " " + (Name ? Name : std::to_string(L.Type));
    ByWhat[What].push_back(L.Ms);
    CpuByWhat[What].push_back(L.CpuMs);
    auto [It, New] = Seen.try_emplace(What, L.Turn, L.Turn);
    It->second.second = L.Turn;
  }
  std::printf("    %-46s %6s  %-13s %-13s %s\n", "", "count", "wall med/max", "CPU med/max",
              "turns");
  for (const auto& [What, V] : ByWhat) {
    const auto& Cpu = CpuByWhat[What];
    std::printf("    %-46s %6zu  %5.1f %6.1f  %5.1f %6.1f  %d-%d\n", What.c_str(), V.size(),
                Percentile(V, 0.5), *std::max_element(V.begin(), V.end()), Percentile(Cpu, 0.5),
                *std::max_element(Cpu.begin(), Cpu.end()), Seen[What].first, Seen[What].second);
  }

  for (const auto& P : Soak.Problems) std::printf("problem: %s\n", P.c_str());
  for (const auto& M : Dialogs.Messages) std::printf("message shown: %s\n", M.c_str());

  App.AfterDelivery = nullptr;
  Window->close();
  Window.reset();
  kill(ProviderPid, SIGTERM);
  waitpid(ProviderPid, nullptr, 0);
  std::error_code Ec;
  std::filesystem::remove_all(Home, Ec);
  return Soak.Problems.empty() ? 0 : 1;
}
