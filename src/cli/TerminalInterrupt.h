// Ctrl+C in the terminal. The signal handler only writes to a pipe; everything else happens on
// ordinary threads, so no engine code ever runs in signal context.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace kestrill {

// The exit status of a program ended by Ctrl+C, as shells report it.
inline constexpr int kInterruptedExit = 130;
// How long a second Ctrl+C waits for the first one's clean-up: a command's processes get half a
// second to end before they are killed, and a loaded machine is slower still.
inline constexpr int kSecondInterruptGraceMs = 5000;

// Catches Ctrl+C while it lives (one at a time). The first Ctrl+C is recorded and AWake runs on
// a watcher thread (the terminal posts to its UI queue so the main thread looks at once). A
// second one ends the program with kInterruptedExit once the first one's clean-up is done (the
// watch is destroyed), or after kSecondInterruptGrace at the latest, so a running command's
// processes are killed before the program goes.
class TInterruptWatch {
 public:
  explicit TInterruptWatch(std::function<void()> AWake);
  ~TInterruptWatch();  // the previous SIGINT handling is back
  TInterruptWatch(const TInterruptWatch&) = delete;
  TInterruptWatch& operator=(const TInterruptWatch&) = delete;

  bool Interrupted() const;
  // Readable from the first Ctrl+C on and never drained: whatever waits on the terminal polls it
  // next to its input.
  int InterruptedFd() const { return FLatch[0]; }

 private:
  void Watch(std::function<void()> AWake);
  int FLatch[2] = {-1, -1};
  int FQuit[2] = {-1, -1};
  int FAgain[2] = {-1, -1};  // written by every Ctrl+C after the first
  std::thread FWatcher;
};

// One line typed on AInput (without its line break); nullopt when AInterruptFd (-1 for none)
// became readable first, or the input ended or failed before a line was complete.
std::optional<std::string> ReadLineUnlessInterrupted(int AInput, int AInterruptFd);

}  // namespace kestrill
