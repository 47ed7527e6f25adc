#include "engine/TaskRunner.h"

#include "core/HttpClient.h"

namespace kestrill {

TTaskRunner::TTaskRunner() : FThread([this](std::stop_token S) { Loop(S); }) {}

TTaskRunner::~TTaskRunner() {
  RequestStop();
  FThread.request_stop();
  FWake.notify_all();
}

void TTaskRunner::Start(TTask ATask) {
  {
    std::lock_guard Lock(FMutex);
    FQueue.push_back(std::move(ATask));
  }
  FWake.notify_all();
}

void TTaskRunner::RequestStop() {
  {
    std::lock_guard Lock(FMutex);
    FQueue.clear();
    if (FRunning) FTaskStop.request_stop();  // an idle runner keeps a fresh token for the next
  }
  FIdle.notify_all();
}

bool TTaskRunner::WaitIdle(std::chrono::milliseconds ATimeout) {
  std::unique_lock Lock(FMutex);
  return FIdle.wait_for(Lock, ATimeout, [this] { return !FRunning && FQueue.empty(); });
}

bool TTaskRunner::Busy() const {
  std::lock_guard Lock(FMutex);
  return FRunning || !FQueue.empty();
}

void TTaskRunner::Loop(std::stop_token AThreadStop) {
  for (;;) {
    TTask Task;
    std::stop_token TaskStop;
    {
      std::unique_lock Lock(FMutex);
      FWake.wait(Lock, AThreadStop, [this] { return !FQueue.empty(); });
      if (AThreadStop.stop_requested()) return;
      Task = std::move(FQueue.front());
      FQueue.pop_front();
      FRunning = true;
      TaskStop = FTaskStop.get_token();
    }
    {
      // HTTP exchanges on this thread give up as soon as the task is asked to stop.
      THttpCancelScope Cancel(TaskStop);
      Task(TaskStop);
    }
    {
      std::lock_guard Lock(FMutex);
      FRunning = false;
      if (FTaskStop.stop_requested()) FTaskStop = std::stop_source();  // fresh for the next
    }
    FIdle.notify_all();
  }
}

}  // namespace kestrill
