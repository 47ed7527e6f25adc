// Where an agent answer's numbers came from: the tools its turn called, with their arguments and
// the result each gave, read from the conversation (the saved file holds the same messages).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/ChatTypes.h"

namespace kestrill {

struct TToolSource {
  std::string ToolName;
  std::string Arguments;  // the JSON text the model sent
  std::string Result;     // the text the tool gave back
  std::string ResultMsgID;

  bool operator==(const TToolSource&) const = default;
};

struct TAnswerSources {
  std::size_t AnswerIndex = 0;  // the answer message in the conversation
  std::vector<TToolSource> Sources;

  bool operator==(const TAnswerSources&) const = default;
};

// For every answer that follows tool calls of its turn: those calls, in order, each paired with
// the next result of the same tool. Calls of a turn that ended without an answer are dropped.
std::vector<TAnswerSources> CollectSources(const TChatHistory& AAll);

}  // namespace kestrill
