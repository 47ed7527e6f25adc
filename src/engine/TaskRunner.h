// One long-lived background thread that runs the engine's tasks in order. Each task gets a stop
// token; stopping also cancels the HTTP exchange the task is waiting on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace kestrill {

class TTaskRunner {
 public:
  using TTask = std::function<void(std::stop_token)>;

  TTaskRunner();
  ~TTaskRunner();  // stops the running task and joins the thread
  TTaskRunner(const TTaskRunner&) = delete;
  TTaskRunner& operator=(const TTaskRunner&) = delete;

  void Start(TTask ATask);
  // Drops the queued tasks and asks the running one to stop.
  void RequestStop();
  // Waits until no task runs or is queued; false when ATimeout passed first.
  bool WaitIdle(std::chrono::milliseconds ATimeout);
  bool Busy() const;

 private:
  void Loop(std::stop_token AThreadStop);

  mutable std::mutex FMutex;
  std::condition_variable_any FWake;
  std::condition_variable FIdle;
  std::deque<TTask> FQueue;
  bool FRunning = false;
  std::stop_source FTaskStop;
  std::jthread FThread;  // last: started once the state above exists
};

}  // namespace kestrill
