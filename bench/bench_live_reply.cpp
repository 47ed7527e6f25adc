// A 20,000-token reply streamed into the real window (live replies on): the longest time the UI
// thread stayed away from its event loop while the reply grew, measured with a 2 ms heartbeat.
// Run under xvfb-run: bench/bench_live_reply [tokens] [microseconds between tokens]
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "ForkedServer.h"
#include "app/MainWindow.h"
#include "app/WebViewHost.h"
#include "core/Config.h"
#include "core/Paths.h"

using namespace kestrill;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void Fail(const char* AWhy) {
  std::fprintf(stderr, "bench_live_reply: %s\n", AWhy);
  std::exit(1);
}

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

double ThreadCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return T.tv_sec * 1e3 + T.tv_nsec / 1e6;
}

// An OpenAI-style provider that streams ATokens pieces of Korean and English text with AGapUs
// between them, Markdown tables and lists included so the page has real work to redraw.
std::pair<pid_t, std::string> StartProvider(int ATokens, int AGapUs) {
  return bench::StartForkedServer([=](httplib::Server& AServer) {
    AServer.Post(".*", [=](const httplib::Request&, httplib::Response& Res) {
      Res.set_chunked_content_provider("text/event-stream", [=](size_t, httplib::DataSink& Sink) {
        static const char* const kPieces[] = {"삼성전자 ", "**영업이익** ", "9.18조 ", "원, ",
                                              "P/E ", "12x ", "\\n\\n| 구분 | 값 |\\n|---|---:|\\n| 매출 | 79조 |\\n\\n",
                                              "- HBM ", "수요 ", "견조\\n"};
        for (int I = 0; I < ATokens; ++I) {
          std::string Event = "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"" +
                              std::string(kPieces[I % 10]) + "\"}}]}\n\n";
          if (!Sink.write(Event.data(), Event.size())) return false;
          if (AGapUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(AGapUs));
        }
        std::string End =
            "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\n"
            "data: [DONE]\n\n";
        Sink.write(End.data(), End.size());
        Sink.done();
        return true;
      });
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int Tokens = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int GapUs = argc > 2 ? std::atoi(argv[2]) : 500;
  if (geteuid() == 0) setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox", 1);
  const auto [Pid, Url] = StartProvider(Tokens, GapUs);

  std::string Home = (std::filesystem::temp_directory_path() / "kestrill-live-XXXXXX").string();
  if (!mkdtemp(Home.data())) Fail("mkdtemp");
  setenv("HOME", Home.c_str(), 1);
  if (chdir(Home.c_str()) != 0) Fail("chdir");
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(Home + "/Documents/Kestrill");
  setenv("KESTRILL_OPENAI_URL", Url.c_str(), 1);
  {
    TConfig Config(SettingsFilePath());
    Config.Write(keys::OpenAIKey, "sk-bench");
    Config.Write(keys::Selected, 1);
    Config.Write(keys::Mode, 0);
    Config.Write(keys::Stream, true);
  }

  RegisterChatUiScheme();
  QApplication App(argc, argv);
  TfrmMain Window;
  TfrmMain::TDialogScript Dialogs;
  Window.SetDialogScript(&Dialogs);
  Window.show();

  std::vector<double> Gaps, GapsCpu;
  Clock::time_point Last, Started;
  double LastCpu = 0;
  bool Streaming = false;
  QTimer Heartbeat;
  Heartbeat.setTimerType(Qt::PreciseTimer);
  Heartbeat.setInterval(2);
  QObject::connect(&Heartbeat, &QTimer::timeout, [&] {
    const auto Now = Clock::now();
    const double Cpu = ThreadCpuMs();
    if (Streaming) {
      Gaps.push_back(Ms(Now - Last));
      GapsCpu.push_back(Cpu - LastCpu);
    }
    Last = Now;
    LastCpu = Cpu;
  });
  QTimer Poll;
  Poll.setInterval(20);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (!Streaming && Started == Clock::time_point{} && Window.isVisible()) {
      Window.findChild<QPlainTextEdit*>("MemoInput")->setPlainText("긴 답을 줘");
      Started = Clock::now();
      Window.Controller().btnSendClick();
      Streaming = true;
      Last = Clock::now();
      LastCpu = ThreadCpuMs();
      Heartbeat.start();
    } else if (Streaming && !Window.Controller().TurnRunning()) {
      Streaming = false;
      Heartbeat.stop();
      App.quit();
    }
  });
  QTimer::singleShot(3000, [&] { Poll.start(); });  // the page has loaded by then
  QTimer::singleShot(600000, [] { Fail("the reply did not end within 10 minutes"); });
  App.exec();
  kill(Pid, SIGTERM);
  waitpid(Pid, nullptr, 0);
  std::filesystem::remove_all(Home);

  const auto& History = Window.Controller().ChatHistory();
  std::vector<double> Sorted = Gaps;
  std::sort(Sorted.begin(), Sorted.end());
  const std::size_t Worst = std::max_element(Gaps.begin(), Gaps.end()) - Gaps.begin();
  std::printf("live reply: %d tokens, %d us apart, reply %zu bytes, turn %.0f ms\n", Tokens, GapUs,
              History.size() == 2 ? History[1].Text.size() : 0, Ms(Clock::now() - Started));
  if (Sorted.empty()) Fail("no heartbeat was measured");
  std::printf("UI thread away from its event loop: longest %.1f ms (%.1f ms CPU), p99 %.1f ms, "
              "median %.1f ms over %zu beats\n",
              Sorted.back(), GapsCpu[Worst], Sorted[Sorted.size() * 99 / 100],
              Sorted[Sorted.size() / 2], Sorted.size());
  return History.size() == 2 ? 0 : 1;
}
