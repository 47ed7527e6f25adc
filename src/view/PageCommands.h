// The links the chat page sends back: "chatui://ACTION/ID".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrill {

struct TPageCommand {
  std::string Action;  // "edit", "delete" or anything the page might send
  std::string Target;  // a message's MsgID
};

// The command of a "chatui://" URL (scheme compared case-sensitively), or nullopt for any other
// URL and for one with fewer than four "/"-separated pieces. Pieces after the fourth are ignored.
std::optional<TPageCommand> ParsePageCommand(std::string_view AUrl);

// A target the page wrote with encodeURIComponent, decoded ("%XX" to its byte; a broken escape
// stays as it is). Invalid UTF-8 is replaced.
std::string PercentDecoded(std::string_view AText);

}  // namespace kestrill
