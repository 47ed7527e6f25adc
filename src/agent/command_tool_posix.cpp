// Linux form of the command tool: /bin/sh -c COMMAND through posix_spawn, standard output and
// standard error into one pipe, 255-byte reads. When the command ends, however it ends, nothing
// it started is left running.
//
// Which processes are the command's: a command may put work in the background, leave its
// process group (setsid, setpgid) and let its parent exit, so neither the group nor the
// parentage alone finds them all. We are a child subreaper, so every orphan of a command becomes
// our child instead of init's, and a process counts as the command's when
//   - it is in the command's process group (the shell leads it), or
//   - it is a child of ours whose environment carries the command's mark (KESTRILL_COMMAND_ID,
//     unique per command and inherited by everything it starts unless it clears its
//     environment), or
//   - it was seen below the command's shell while the command ran (a process that is already a
//     zombie when we look carries no environment we could read), or
//   - it is a live child of ours without any command's mark, in a session and group other than
//     ours, started after the command (one that cleared its environment and left the session;
//     our other children, the web engine's helpers, stay in our session),
// and everything below such a process counts too. Other children of ours are never signalled or
// reaped: we wait for single process ids only, never for "any child", so no status meant for
// whoever started them is taken.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "agent/CommandTool.h"
#include "core/HttpClient.h"
#include "core/TextEncoding.h"

extern char** environ;

namespace kestrill {
namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kMarkName[] = "KESTRILL_COMMAND_ID=";
// How long a process asked to end (SIGTERM) has before it is killed, and how long we go on
// ending and reaping in all.
constexpr auto kTermGrace = 500ms;
constexpr auto kEndLimit = 5s;
// How often the processes below a running command's shell are noted.
constexpr auto kLookEvery = 250ms;
// What a background process still prints once the shell has ended is read this long at most.
constexpr auto kDrainAfterEnd = 1s;

// One process as /proc/PID/stat shows it.
struct TProcess {
  pid_t Pid = 0, Parent = 0, Group = 0, Session = 0;
  char State = '?';
  unsigned long long Start = 0;  // clock ticks after boot: with the pid, names one process
};

std::optional<TProcess> ReadProcess(pid_t APid) {
  char Path[32];
  std::snprintf(Path, sizeof Path, "/proc/%d/stat", static_cast<int>(APid));
  const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return std::nullopt;
  char Buf[1024];
  const ssize_t N = read(Fd, Buf, sizeof Buf - 1);
  close(Fd);
  if (N <= 0) return std::nullopt;
  Buf[N] = '\0';
  // The name in parentheses may hold anything, spaces and ")" included: the fields start after
  // its last ")".
  const char* Rest = std::strrchr(Buf, ')');
  if (!Rest) return std::nullopt;
  TProcess P;
  P.Pid = APid;
  int Parent = 0, Group = 0, Session = 0;
  // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime cutime
  // cstime priority nice num_threads itrealvalue starttime
  if (std::sscanf(Rest + 1,
                  " %c %d %d %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                  &P.State, &Parent, &Group, &Session, &P.Start) != 5)
    return std::nullopt;
  P.Parent = Parent;
  P.Group = Group;
  P.Session = Session;
  return P;
}

std::vector<TProcess> ReadProcesses() {
  std::vector<TProcess> Out;
  DIR* Dir = opendir("/proc");
  if (!Dir) return Out;
  while (dirent* E = readdir(Dir)) {
    char* End = nullptr;
    const long Pid = std::strtol(E->d_name, &End, 10);
    if (Pid <= 0 || *End != '\0') continue;
    if (auto P = ReadProcess(static_cast<pid_t>(Pid))) Out.push_back(*P);
  }
  closedir(Dir);
  return Out;
}

// The value of the mark in APid's environment ("" when it has none or cannot be read: another
// user's process, a zombie).
std::string MarkOf(pid_t APid) {
  char Path[40];
  std::snprintf(Path, sizeof Path, "/proc/%d/environ", static_cast<int>(APid));
  const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return "";
  std::string Env;
  char Buf[4096];
  // An environment is small; a bound keeps a hostile one from costing much.
  for (ssize_t N; Env.size() < (1u << 20) && (N = read(Fd, Buf, sizeof Buf)) > 0;)
    Env.append(Buf, static_cast<std::size_t>(N));
  close(Fd);
  const std::string_view Name(kMarkName);
  for (std::size_t At = 0; At < Env.size();) {
    std::size_t End = Env.find('\0', At);
    if (End == std::string::npos) End = Env.size();
    if (std::string_view(Env).substr(At, End - At).substr(0, Name.size()) == Name)
      return Env.substr(At + Name.size(), End - At - Name.size());
    At = End + 1;
  }
  return "";
}

// What names one command's processes. Without a shell and a mark: those of every command of
// this program (the clean-up at exit).
struct TCommandTrace {
  pid_t Shell = 0;  // also the process group
  std::string Mark;
  unsigned long long ShellStart = 0;
  std::set<std::pair<pid_t, unsigned long long>> Seen;
};

bool MarkMatches(const std::string& AFound, const TCommandTrace& ATrace) {
  if (AFound.empty()) return false;
  if (!ATrace.Mark.empty()) return AFound == ATrace.Mark;
  const std::string Ours = std::to_string(getpid()) + ".";
  return AFound.compare(0, Ours.size(), Ours) == 0;
}

// The command's processes among AAll (see the top of this file).
std::vector<TProcess> CommandProcesses(const std::vector<TProcess>& AAll,
                                       const TCommandTrace& ATrace) {
  const pid_t Self = getpid(), OurSession = getsid(0), OurGroup = getpgrp();
  std::set<pid_t> In;
  for (const TProcess& P : AAll) {
    if (P.Pid == Self) continue;
    if (ATrace.Shell != 0 && P.Group == ATrace.Shell && P.Session == OurSession) {
      In.insert(P.Pid);
    } else if (ATrace.Seen.count({P.Pid, P.Start})) {
      In.insert(P.Pid);
    } else if (P.Parent == Self) {
      const std::string Mark = MarkOf(P.Pid);
      if (MarkMatches(Mark, ATrace) ||
          (Mark.empty() && ATrace.Shell != 0 && P.State != 'Z' && P.State != 'X' &&
           P.Start >= ATrace.ShellStart && P.Session != OurSession && P.Group != OurGroup))
        In.insert(P.Pid);
    }
  }
  for (bool Grew = true; Grew;) {
    Grew = false;
    for (const TProcess& P : AAll)
      if (P.Pid != Self && In.count(P.Parent) && In.insert(P.Pid).second) Grew = true;
  }
  std::vector<TProcess> Out;
  for (const TProcess& P : AAll)
    if (In.count(P.Pid)) Out.push_back(P);
  return Out;
}

// Notes every process now below the running command's shell, and our children that carry its
// mark, so that they are found at its end even if they leave its group and clear their
// environment.
void NoteCommandProcesses(TCommandTrace& ATrace) {
  for (const TProcess& P : CommandProcesses(ReadProcesses(), ATrace))
    ATrace.Seen.insert({P.Pid, P.Start});
}

// Signals AProcess unless its pid has meanwhile gone to another process. False when it may not
// be signalled (another user's, such as a set-user-ID program): we cannot end it and do not
// wait for it.
bool Signal(const TProcess& AProcess, int ASignal) {
  const auto Now = ReadProcess(AProcess.Pid);
  return !(Now && Now->Start == AProcess.Start && kill(AProcess.Pid, ASignal) != 0 &&
           errno == EPERM);
}

// Ends every process of the command: SIGTERM, and SIGKILL for what is left after a short grace;
// each one that is (or becomes, once its parent is gone) our child is reaped, so no zombie stays.
// Newcomers, started meanwhile by a process being ended, are found by looking again.
void EndCommandProcesses(TCommandTrace& ATrace) {
  const pid_t Self = getpid();
  const auto Started = TClock::now();
  std::set<std::pair<pid_t, unsigned long long>> Asked;
  for (;;) {
    const std::vector<TProcess> Procs = CommandProcesses(ReadProcesses(), ATrace);
    bool Left = false;
    const bool Force = TClock::now() - Started >= kTermGrace;
    for (const TProcess& P : Procs) {
      // Found once, found until reaped: a zombie shows neither its environment nor, once its
      // parent is gone, where it came from.
      ATrace.Seen.insert({P.Pid, P.Start});
      if (P.Parent == Self && waitpid(P.Pid, nullptr, WNOHANG) == P.Pid) continue;
      if (P.State == 'Z' || P.State == 'X') {
        Left = true;  // its parent is being ended: then it is ours to reap
      } else if (Force) {
        Left |= Signal(P, SIGKILL);
      } else if (Asked.insert({P.Pid, P.Start}).second) {
        Left |= Signal(P, SIGTERM);
        Signal(P, SIGCONT);  // a stopped process would not see the SIGTERM until the SIGKILL
      } else {
        Left = true;
      }
    }
    if (!Left || TClock::now() - Started >= kEndLimit) return;
    std::this_thread::sleep_for(10ms);
  }
}

// The commands running now, for the clean-up at exit. Never destroyed: a command's thread may
// still use it while the program exits.
struct TRunning {
  std::mutex Lock;
  std::vector<TCommandTrace> Commands;  // what names each, without what was seen
};
TRunning& Running() {
  static TRunning* R = new TRunning;
  return *R;
}

// A program leaving with commands still running ends them and everything any command of it
// started; what finished commands started was ended with them.
void EndCommandsAtExit() {
  std::vector<TCommandTrace> Commands;
  {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    Commands = Running().Commands;
  }
  for (TCommandTrace& Trace : Commands) {
    // The group goes at once, while its leader's pid is surely still its own.
    if (const auto Shell = ReadProcess(Trace.Shell); Shell && Shell->Start == Trace.ShellStart)
      kill(-Trace.Shell, SIGKILL);
    EndCommandProcesses(Trace);
  }
  TCommandTrace Any;
  EndCommandProcesses(Any);
}

void Prepare() {
  // Orphans of a command become our children, not init's: we can find, end and reap them. Set
  // for every command, as a forked copy of the program does not inherit it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  static std::once_flag Once;
  std::call_once(Once, [] { std::atexit(EndCommandsAtExit); });
}

std::string NewMark() {
  static std::atomic<unsigned> Next{0};
  return std::to_string(getpid()) + "." + std::to_string(++Next);
}

class TRegistration {
 public:
  explicit TRegistration(const TCommandTrace& ATrace) : FMark(ATrace.Mark) {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    Running().Commands.push_back({ATrace.Shell, ATrace.Mark, ATrace.ShellStart, {}});
  }
  ~TRegistration() {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    auto& C = Running().Commands;
    for (auto It = C.begin(); It != C.end(); ++It)
      if (It->Mark == FMark) {
        C.erase(It);
        break;
      }
  }
  TRegistration(const TRegistration&) = delete;
  TRegistration& operator=(const TRegistration&) = delete;

 private:
  std::string FMark;
};

}  // namespace

std::string ExecuteCmdAndCapture(const std::string& ACommand) {
  Prepare();
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) return "파이프 생성 실패";

  // Our environment, with this command's mark.
  TCommandTrace Trace;
  Trace.Mark = NewMark();
  std::vector<std::string> EnvText;
  for (char** E = environ; E && *E; ++E)
    if (std::strncmp(*E, kMarkName, sizeof kMarkName - 1) != 0) EnvText.emplace_back(*E);
  EnvText.push_back(kMarkName + Trace.Mark);
  std::vector<char*> Env;
  for (std::string& E : EnvText) Env.push_back(E.data());
  Env.push_back(nullptr);

  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  // The child's standard output and standard error are both the pipe's write end; standard
  // input stays ours.
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDERR_FILENO);
  std::string Command = ACommand;
  char Sh[] = "/bin/sh", Dash[] = "-c";
  char* Argv[] = {Sh, Dash, Command.data(), nullptr};
  // Its own process group, so a stop ends the command with everything it started.
  posix_spawnattr_t Attr;
  posix_spawnattr_init(&Attr);
  posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&Attr, 0);
  pid_t Child = 0;
  int Err = posix_spawn(&Child, "/bin/sh", &Actions, &Attr, Argv, Env.data());
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attr);
  close(Pipe[1]);  // so the read end sees the end when the child side closes
  if (Err != 0) {
    close(Pipe[0]);
    return std::string("명령 실행 실패: ") + std::strerror(Err);
  }
  Trace.Shell = Child;
  if (const auto Shell = ReadProcess(Child)) Trace.ShellStart = Shell->Start;
  TRegistration Registration(Trace);

  // 255-byte reads, joined before decoding so a character split between reads survives; a zero
  // byte ends its chunk, as the Windows form does.
  std::string Bytes;
  char Buf[256];
  const std::stop_token Stop = CurrentCancelToken();
  bool Stopped = false;
  bool Reaped = false;
  auto LastLook = TClock::now();
  std::optional<TClock::time_point> ShellEnded;
  auto LookNowAndThen = [&] {
    if (TClock::now() - LastLook < kLookEvery) return;
    NoteCommandProcesses(Trace);
    LastLook = TClock::now();
  };
  for (;;) {
    if (Stop.stop_requested()) {
      Stopped = true;
      break;
    }
    if (!Reaped && waitpid(Child, nullptr, WNOHANG) == Child) {
      Reaped = true;
      ShellEnded = TClock::now();
    }
    // The shell is gone but something it left in the background still holds the pipe: what the
    // command printed is all there.
    if (ShellEnded && TClock::now() - *ShellEnded >= kDrainAfterEnd) break;
    if (!Reaped) LookNowAndThen();
    pollfd P{Pipe[0], POLLIN, 0};
    int Ready = poll(&P, 1, 50);
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready == 0) {
      if (Reaped) break;
      continue;
    }
    ssize_t N = read(Pipe[0], Buf, 255);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Buf[N] = '\0';
    // A command that prints without end must not fill the memory; the rest is read and dropped.
    if (Bytes.size() < kMaxCommandOutputBytes) Bytes.append(Buf, std::strlen(Buf));
  }
  close(Pipe[0]);
  // The output ended; the shell may still run (its foreground work closed the pipe). It ends on
  // its own, or at once when the task is stopped.
  while (!Reaped) {
    if (!Stopped && Stop.stop_requested()) Stopped = true;
    if (Stopped) kill(-Child, SIGKILL);
    const pid_t R = waitpid(Child, nullptr, Stopped ? 0 : WNOHANG);
    if (R == Child || (R < 0 && errno != EINTR)) {
      Reaped = true;
    } else if (R == 0) {
      LookNowAndThen();
      std::this_thread::sleep_for(20ms);
    }
  }
  // Then whatever the command left behind. The shell's exit code is not part of the result.
  EndCommandProcesses(Trace);

  if (Stopped) return "사용자가 명령 실행을 중지했습니다.";
  std::string Text = DecodeUtf8OrLegacy(Bytes);
  return Text.empty() ? "명령이 실행되었으나 출력 결과가 없습니다." : Text;
}

}  // namespace kestrill
