// One saved chat: the conversation as a JSON array of message objects, and what is restored
// from such a file.
#pragma once

#include <string>
#include <string_view>

#include "core/ChatTypes.h"
#include "core/JsonPath.h"

namespace kestrill {

// The whole file text (byte order mark included) for AHistory. An empty conversation gives
// the empty array "[]".
std::string FormatHistoryFile(const TChatHistory& AHistory);

struct THistoryRead {
  // The messages a reopened chat shows, in order: every element that is not a tool result and
  // has text. Attachments come back by path only.
  TChatHistory Messages;
  // Elements that are not messages: not objects, members of a wrong type, or no known role.
  int SkippedBadElements = 0;
};

// ADocument must be an array. AKeepToolMessages keeps the tool requests and results too (for
// export and for showing where an answer's numbers came from).
THistoryRead ReadHistoryDocument(const TJson& ADocument, bool AKeepToolMessages = false);

// The "text" of the first element (the chat's first prompt); "" when there is none.
std::string FirstPromptOf(const TJson& ADocument);

// The catalogue title of a chat: the first 80 characters of ATextOfFirstMessage (UTF-16 units,
// a CR LF counting as two), on one line (OneLine).
std::string TitleFromText(const std::string& ATextOfFirstMessage);

// AText on one line, as titles are: every run of CR, LF and tab becomes one space, and the
// ends are trimmed.
std::string OneLine(std::string_view AText);

}  // namespace kestrill
