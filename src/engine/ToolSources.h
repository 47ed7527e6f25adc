// Where an agent answer's numbers came from: the tools its turn called, with their arguments and
// the result each gave, read from the conversation (the saved file holds the same messages).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "core/ChatTypes.h"
#include "view/ChatView.h"

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

// Tool-result message id → the local time its tool answered, for turns made since the program
// started (the saved file does not keep it).
using TAnswerTimes = std::map<std::string, std::string>;

// What the chat view's ShowSources takes: [{"tool", "args", "result", "time"}, ...].
std::string SourcesJson(const std::vector<TToolSource>& ASources, const TAnswerTimes& ATimes);

// Folds its sources under every answer of AAll that has any (the answers must be on the page
// with the ids they have in AAll). AFromIndex skips the answers before it.
void ShowSourcesOf(IChatView& AView, const TChatHistory& AAll, const TAnswerTimes& ATimes,
                   std::size_t AFromIndex = 0);

}  // namespace kestrill
