// Disk work on a thread of its own, in the order it was asked for, so the UI thread never waits
// on the disk. Nothing queued is ever dropped: the destructor runs it all before it returns.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrill {

class TOrderedWriter {
 public:
  using TJob = std::function<void()>;

  TOrderedWriter();
  ~TOrderedWriter();
  TOrderedWriter(const TOrderedWriter&) = delete;
  TOrderedWriter& operator=(const TOrderedWriter&) = delete;

  void Post(TJob AJob);
  // Returns once every job posted before has run.
  void Flush();
  bool Idle() const;

 private:
  void Loop();

  mutable std::mutex FMutex;
  std::condition_variable FWake;
  std::condition_variable FDone;
  std::deque<TJob> FQueue;
  bool FRunning = false;
  bool FQuit = false;
  std::thread FThread;  // last: started once the state above exists
};

}  // namespace kestrill
