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

namespace {

constexpr std::string_view kReplayHead = "beginReplay();\n";
constexpr std::string_view kReplayEnd = "endReplay();";
constexpr std::string_view kPartHead = "try { ";
// Ends with the line break: a part, being one line, cannot hold it.
constexpr std::string_view kPartTail = " } catch (e) { console.error(e); }\n";

}  // namespace

std::string ReplayScript(const std::vector<std::string>& AScripts) {
  std::size_t Size = kReplayHead.size() + kReplayEnd.size();
  for (const std::string& S : AScripts) Size += kPartHead.size() + S.size() + kPartTail.size();
  std::string Out;
  Out.reserve(Size);
  Out += kReplayHead;
  for (const std::string& S : AScripts) {
    Out += kPartHead;
    Out += S;
    Out += kPartTail;
  }
  Out += kReplayEnd;
  return Out;
}

std::optional<std::vector<std::string>> ReplayParts(std::string_view AScript) {
  if (!AScript.starts_with(kReplayHead) || !AScript.ends_with(kReplayEnd)) return std::nullopt;
  AScript.remove_prefix(kReplayHead.size());
  AScript.remove_suffix(kReplayEnd.size());
  std::vector<std::string> Parts;
  while (!AScript.empty()) {
    if (!AScript.starts_with(kPartHead)) return std::nullopt;
    const std::size_t Tail = AScript.find(kPartTail, kPartHead.size());
    if (Tail == std::string_view::npos) return std::nullopt;
    Parts.emplace_back(AScript.substr(kPartHead.size(), Tail - kPartHead.size()));
    AScript.remove_prefix(Tail + kPartTail.size());
  }
  return Parts;
}

void TReplayBatch::Navigate(const std::string& AUrl) {
  Send();
  FTarget.Navigate(AUrl);
}

void TReplayBatch::NavigateToFile(const std::string& APath) {
  Send();
  FTarget.NavigateToFile(APath);
}

void TReplayBatch::Send() {
  if (FScripts.empty()) return;
  const std::string Script = ReplayScript(FScripts);
  FScripts.clear();
  FTarget.EvaluateJavaScript(Script);
}

}  // namespace kestrill
