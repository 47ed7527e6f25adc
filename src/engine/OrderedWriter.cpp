#include "engine/OrderedWriter.h"

namespace kestrill {

TOrderedWriter::TOrderedWriter() : FThread([this] { Loop(); }) {}

TOrderedWriter::~TOrderedWriter() {
  {
    std::lock_guard Lock(FMutex);
    FQuit = true;
  }
  FWake.notify_one();
  FThread.join();
}

void TOrderedWriter::Post(TJob AJob) {
  {
    std::lock_guard Lock(FMutex);
    FQueue.push_back(std::move(AJob));
  }
  FWake.notify_one();
}

void TOrderedWriter::Flush() {
  std::unique_lock Lock(FMutex);
  FDone.wait(Lock, [this] { return FQueue.empty() && !FRunning; });
}

bool TOrderedWriter::Idle() const {
  std::lock_guard Lock(FMutex);
  return FQueue.empty() && !FRunning;
}

void TOrderedWriter::Loop() {
  std::unique_lock Lock(FMutex);
  for (;;) {
    FWake.wait(Lock, [this] { return FQuit || !FQueue.empty(); });
    if (FQueue.empty()) return;  // quitting, and everything asked for has been done
    TJob Job = std::move(FQueue.front());
    FQueue.pop_front();
    FRunning = true;
    Lock.unlock();
    try {
      Job();
    } catch (...) {
      // A job reports its own failures; one that throws must not end the writes after it.
    }
    Job = nullptr;
    Lock.lock();
    FRunning = false;
    if (FQueue.empty()) FDone.notify_all();
  }
}

}  // namespace kestrill
