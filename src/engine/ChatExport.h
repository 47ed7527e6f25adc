// A chat written out for reading elsewhere: Markdown, with each agent answer's tool calls and
// their results folded under it and charts as tables.
#pragma once

#include <string>

#include "core/ChatTypes.h"

namespace kestrill {

// AAll: the whole conversation, tool requests and results included.
std::string ExportChatMarkdown(const TChatHistory& AAll, const std::string& ATitle);

// The script an exported page draws AAll with, as it stands in its <script> element, and the
// source ("'sha256-…'") by which the page's Content-Security-Policy lets it run. It takes the
// attached images from the page's plain copy of the conversation and then removes that copy.
struct TExportScript {
  std::string Text;
  std::string PolicySource;
};
TExportScript ExportChatScript(const TChatHistory& AAll, const std::string& ATitle);

// One HTML file that needs nothing else: the chat page itself (its styles and libraries inline)
// drawing the conversation when opened, each answer's sources in a fold under it, and each
// chart turned into an image once drawn. With scripts off it shows a plain copy instead: every
// message as escaped text in its own bubble, the sources folded, each chart as a table.
std::string ExportChatHtml(const TChatHistory& AAll, const std::string& ATitle);

}  // namespace kestrill
