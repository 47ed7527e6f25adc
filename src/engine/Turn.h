// One running turn, chatbot or agent: what its background task has produced that has not yet
// reached the conversation, and the live reply it shows. The task only adds to it; the UI thread
// takes from it, when the turn's queued work runs or when the turn is stopped, so a stop, a
// closing window or a chat left midway keeps everything the turn had already produced.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ChatTypes.h"

namespace kestrill {

struct TProducedMessage {
  TChatMessage Message;
  bool Show = false;       // drawn as a bubble when it lands
  std::string AnswerTime;  // tool results: the local time the tool answered
};

class TTurn {
 public:
  TTurn(std::uint64_t AGeneration, bool AIsAgent) : FGeneration(AGeneration), FIsAgent(AIsAgent) {}
  TTurn(const TTurn&) = delete;
  TTurn& operator=(const TTurn&) = delete;

  // Queued work of this turn runs only while the controller's generation is still this one.
  std::uint64_t Generation() const { return FGeneration; }
  bool IsAgent() const { return FIsAgent; }
  // The role a reply of this turn is stored with.
  std::string_view ReplyRole() const { return FIsAgent ? kRoleAssistant : kRoleModel; }

  // From the task's thread.
  void Produce(TChatMessage AMessage, bool AShow, std::string AAnswerTime = {}) {
    std::lock_guard Lock(FMutex);
    FProduced.push_back({std::move(AMessage), AShow, std::move(AAnswerTime)});
  }
  // UI thread: every message produced and not yet taken, oldest first.
  std::vector<TProducedMessage> TakeProduced() {
    std::lock_guard Lock(FMutex);
    return std::exchange(FProduced, {});
  }

  // UI thread: the live reply as the page shows it now ("" when none is shown).
  std::string LiveText;

 private:
  const std::uint64_t FGeneration;
  const bool FIsAgent;
  std::mutex FMutex;
  std::vector<TProducedMessage> FProduced;
};

}  // namespace kestrill
