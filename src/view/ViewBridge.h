// Messages into the page: the scripts that draw one message or the whole conversation, and the
// clear and copy commands.
#pragma once

#include <string>

#include "core/ChatTypes.h"
#include "view/ChatView.h"

namespace kestrill {

inline constexpr char kClearPageScript[] = "document.body.innerHTML = \"\";";
inline constexpr char kCopySelectionScript[] = "document.execCommand(\"copy\");";
inline constexpr char kShowLoadingScript[] = "showLoading();";
inline constexpr char kRemoveLoadingScript[] = "removeLoading();";

// Draws one message: the attachment first (an image bubble for .jpg .jpeg .png .webp that still
// exists, a file bubble for any other file), then the text bubble. Nothing when both AText
// and AFilePath are empty. AMsgId is empty for a status line.
void AddMessageToWeb(IChatView& AView, const std::string& AText, const std::string& AFilePath,
                     bool IsUser, const std::string& AMsgId);

// Clears the page and draws every message's text again (attachments are not shown again).
void RefreshChatUI(IChatView& AView, const TChatHistory& AHistory);

// The script that turns the tool line of call AMsgId into "🛠️ [AToolName] 완료" once its
// tool has returned, so a finished turn does not still say it is running.
std::string ToolFinishedScript(const std::string& AMsgId, const std::string& AToolName);

// Empties the conversation and the page.
void ClearChatHistory(TChatHistory& AHistory, IChatView& AView);

}  // namespace kestrill
