// The chat page: one self-contained HTML text built into the program, written to the user's
// temp folder and loaded into the view.
#pragma once

#include <string>

#include "view/ChatView.h"

namespace kestrill {

// The page's HTML (UTF-8, without byte order mark).
const std::string& ChatPageHtml();

// Writes the page to AFileName as UTF-8 with a byte order mark, replacing any earlier file.
// Throws EFileWriteError when it cannot be written.
void WriteChatPage(const std::string& AFileName);

// "chat_ui.html" in this user's own temp folder.
std::string ChatPageFileName();

// Writes the page afresh and navigates the view to it ("file://" + its full path), so every new
// chat starts on an empty page.
void LoadDefaultHTML(IChatView& AView);

}  // namespace kestrill
