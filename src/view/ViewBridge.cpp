#include "view/ViewBridge.h"

#include "core/FileHelpers.h"
#include "core/Paths.h"
#include "core/TextUtil.h"
#include "view/PageText.h"

namespace kestrill {
namespace {

// ".PNG" of "C:/x/photo.PNG" as ".png"; "" without an extension.
std::string LowerExtensionOf(const std::string& AFileName) {
  auto Dot = AFileName.rfind('.');
  return Dot == std::string::npos ? std::string() : ToLowerAscii(AFileName.substr(Dot));
}

// The identifier goes in as a proper string literal: ids come back from chat files on disk,
// which must not be able to inject script into the page.
std::string ChatCall(bool IsUser, const std::string& AMsgId, const std::string& AText) {
  return std::string("appendChat(") + (IsUser ? "true" : "false") + ", " + EscapeForJS(AMsgId) +
         ", \"" + EncodeForPage(AText) + "\");";
}

}  // namespace

void AddMessageToWeb(IChatView& AView, const std::string& AText, const std::string& AFilePath,
                     bool IsUser, const std::string& AMsgId) {
  if (AText.empty() && AFilePath.empty()) return;
  const char* Role = IsUser ? "user" : "model";
  if (!AFilePath.empty()) {
    std::string Name = FileNameOfPath(AFilePath);
    std::string Ext = LowerExtensionOf(Name);
    if (Ext == ".jpg" || Ext == ".jpeg" || Ext == ".png" || Ext == ".webp") {
      std::string Base64;
      try {
        Base64 = ImageToBase64(AFilePath);
      } catch (const EFileReadError&) {
        // An image that cannot be read is shown like one that is gone: no bubble.
      }
      if (!Base64.empty())
        AView.EvaluateJavaScript(std::string("appendImageMessage('") + Role + "', 'image/" +
                                 Ext.substr(1) + "', '" + Base64 + "');");
    } else {
      // A complete string literal: a quote or apostrophe in a file name cannot break out.
      AView.EvaluateJavaScript(std::string("appendFileMessage('") + Role + "', " +
                               EscapeForJS(Name) + ");");
    }
  }
  AView.EvaluateJavaScript(ChatCall(IsUser, AMsgId, AText));
}

void RefreshChatUI(IChatView& AView, const TChatHistory& AHistory) {
  AView.EvaluateJavaScript("clearChat();");
  for (const TChatMessage& M : AHistory)
    AView.EvaluateJavaScript(ChatCall(M.Role == kRoleUser, M.MsgID, M.Text));
}

std::string ToolFinishedScript(const std::string& AMsgId, const std::string& AToolName) {
  return "markToolDone(" + EscapeForJS(AMsgId) + ", \"" +
         EncodeForPage("🛠️ [" + AToolName + "] 완료") + "\");";
}

void IChatView::MarkNotSent(const std::string& AMsgId) {
  EvaluateJavaScript("markNotSent(" + EscapeForJS(AMsgId) + ");");
}

void IChatView::ShowSources(const std::string& AMsgId, const std::string& ASourcesJson) {
  EvaluateJavaScript("appendSources(" + EscapeForJS(AMsgId) + ", " + EscapeForJS(ASourcesJson) +
                     ");");
}

void IChatView::ShowFigures(const std::string& AMsgId, const std::string& AFiguresJson,
                            const std::string& ASummary) {
  EvaluateJavaScript("markFigures(" + EscapeForJS(AMsgId) + ", " + EscapeForJS(AFiguresJson) +
                     ", " + EscapeForJS(ASummary) + ");");
}

void IChatView::ShowLiveReply(const std::string& AText) {
  EvaluateJavaScript("updateLiveReply(\"" + EncodeForPage(AText) + "\");");
}

void IChatView::RemoveLiveReply() { EvaluateJavaScript("removeLiveReply();"); }

void ClearChatHistory(TChatHistory& AHistory, IChatView& AView) {
  AHistory.clear();
  AView.EvaluateJavaScript(kClearPageScript);
}

}  // namespace kestrill
