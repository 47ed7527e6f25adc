// Messages into the page: the scripts that draw one message or the whole conversation, and the
// clear and copy commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// AScripts as one script for the page: between beginReplay() and endReplay(), so the page
// draws the answers' Markdown as they come near the view and scrolls once at the end, and each
// one guarded, so a script that fails costs only its own bubble. Each of AScripts is one line,
// as the bridge makes them.
std::string ReplayScript(const std::vector<std::string>& AScripts);

// The scripts a ReplayScript holds, in order; nullopt for any other script. For views that
// look at scripts one by one (the tests' recorders).
std::optional<std::vector<std::string>> ReplayParts(std::string_view AScript);

// A view that gathers the scripts of a whole conversation and sends them to ATarget as one
// replay: a reopened chat of a thousand bubbles was a thousand evaluations, each a trip to the
// page's process and a layout of its own.
class TReplayBatch final : public IChatView {
 public:
  explicit TReplayBatch(IChatView& ATarget) : FTarget(ATarget) {}
  // A page replaced under the batch gets what was gathered before, in order.
  void Navigate(const std::string& AUrl) override;
  void NavigateToFile(const std::string& APath) override;
  void EvaluateJavaScript(const std::string& AScript) override { FScripts.push_back(AScript); }
  // Sends what was gathered as one script (nothing when nothing was) and starts afresh.
  void Send();

 private:
  IChatView& FTarget;
  std::vector<std::string> FScripts;
};

}  // namespace kestrill
