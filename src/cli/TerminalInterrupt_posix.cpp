#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "cli/TerminalInterrupt.h"

namespace kestrill {
namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");
std::atomic<int> GInterrupts{0};
std::atomic<int> GLatchWrite{-1};
std::atomic<int> GAgainWrite{-1};
struct sigaction GPrevious {};  // what SIGINT did before the watch, given back after it

void OnSigInt(int) {
  // Only async-signal-safe calls here. A Ctrl+C that the first one did not end is the user
  // insisting: the watcher ends the program as soon as the first one's clean-up allows.
  const int SavedErrno = errno;
  const char Byte = 1;
  const int Fd = GInterrupts.fetch_add(1) > 0 ? GAgainWrite.load() : GLatchWrite.load();
  [[maybe_unused]] ssize_t N = write(Fd, &Byte, 1);
  errno = SavedErrno;
}

void CloseBoth(int (&APipe)[2]) {
  for (int& Fd : APipe)
    if (Fd >= 0) close(std::exchange(Fd, -1));
}

}  // namespace

TInterruptWatch::TInterruptWatch(std::function<void()> AWake) {
  if (pipe2(FLatch, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(FQuit, O_CLOEXEC) != 0 ||
      pipe2(FAgain, O_CLOEXEC | O_NONBLOCK) != 0) {
    CloseBoth(FLatch);
    CloseBoth(FQuit);
    throw std::runtime_error("Ctrl+C를 받을 파이프를 만들 수 없습니다.");
  }
  GInterrupts = 0;
  GLatchWrite = FLatch[1];
  GAgainWrite = FAgain[1];
  FWatcher = std::thread([this, Wake = std::move(AWake)] { Watch(Wake); });
  struct sigaction Action {};
  Action.sa_handler = OnSigInt;
  sigemptyset(&Action.sa_mask);
  // Engine threads may take the signal in the middle of a read; restarting keeps them unaware.
  Action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &Action, &GPrevious);
}

TInterruptWatch::~TInterruptWatch() {
  sigaction(SIGINT, &GPrevious, nullptr);
  const char Byte = 0;
  while (write(FQuit[1], &Byte, 1) < 0 && errno == EINTR) {
  }
  FWatcher.join();
  GLatchWrite = -1;
  GAgainWrite = -1;
  CloseBoth(FLatch);
  CloseBoth(FQuit);
  CloseBoth(FAgain);
}

bool TInterruptWatch::Interrupted() const { return GInterrupts.load() > 0; }

void TInterruptWatch::Watch(std::function<void()> AWake) {
  pollfd Fds[3] = {{FLatch[0], POLLIN, 0}, {FQuit[0], POLLIN, 0}, {FAgain[0], POLLIN, 0}};
  for (;;) {
    if (poll(Fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (Fds[1].revents != 0) return;
    if (Fds[2].revents != 0) {
      // The user insists: the first Ctrl+C's clean-up (stopping the turn, killing a running
      // command's processes, saving) gets a bounded moment, then the program goes whatever.
      pollfd Quit{FQuit[0], POLLIN, 0};
      while (poll(&Quit, 1, kSecondInterruptGraceMs) < 0 && errno == EINTR) {
      }
      if (Quit.revents != 0) return;
      _exit(kInterruptedExit);
    }
    if (Fds[0].revents != 0) {
      AWake();
      Fds[0].fd = -1;  // the latch stays readable; one wake-up is all the shell needs
    }
  }
}

std::optional<std::string> ReadLineUnlessInterrupted(int AInput, int AInterruptFd) {
  std::string Line;
  for (;;) {
    pollfd Fds[2] = {{AInput, POLLIN, 0}, {AInterruptFd, POLLIN, 0}};
    if (poll(Fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (Fds[1].revents != 0) return std::nullopt;
    if (Fds[0].revents == 0) continue;
    char Buf[256];
    const ssize_t N = read(AInput, Buf, sizeof Buf);
    if (N < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (N <= 0) return std::nullopt;
    Line.append(Buf, static_cast<std::size_t>(N));
    if (auto End = Line.find('\n'); End != std::string::npos) {
      Line.resize(End);
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      return Line;
    }
  }
}

}  // namespace kestrill
