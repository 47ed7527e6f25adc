// The narrow surface the program needs from the web view that shows the chat page. The window
// implements it with Qt WebEngine, the terminal and the tests with their own recorders.
#pragma once

#include <string>

namespace kestrill {

// "file://" + APath with every byte outside the unreserved set and "/" percent-encoded.
std::string FileUrlOfPath(const std::string& APath);

class IChatView {
 public:
  virtual ~IChatView() = default;
  // Replaces the page with the one at AUrl.
  virtual void Navigate(const std::string& AUrl) = 0;
  // Replaces the page with the local file APath. A view with its own conversion of paths to
  // URLs overrides this; by default the path is percent-encoded into a file URL, so a folder
  // named with "#", "%" or "?" still loads.
  virtual void NavigateToFile(const std::string& APath) { Navigate(FileUrlOfPath(APath)); }
  // Runs AScript in the loaded page; scripts run in the order they were submitted.
  virtual void EvaluateJavaScript(const std::string& AScript) = 0;
  // Marks the user's question AMsgId as not sent: it got no answer and left the conversation,
  // but its bubble stays on screen. By default the page's markNotSent() (view bridge).
  virtual void MarkNotSent(const std::string& AMsgId);
  // Folds the tools answer AMsgId drew on under it: ASourcesJson is a JSON array of
  // {"tool", "args", "result", "time"}. By default the page's appendSources().
  virtual void ShowSources(const std::string& AMsgId, const std::string& ASourcesJson);
  // Marks the figures of answer AMsgId: AFiguresJson is a JSON array of {"text", "status",
  // "source"} in answer order; ASummary ("수치 확인: …") heads its sources. By default the page's
  // markFigures().
  virtual void ShowFigures(const std::string& AMsgId, const std::string& AFiguresJson,
                           const std::string& ASummary);
  // The reply so far while it streams in, in a bubble of its own; RemoveLiveReply takes it
  // away before the finished reply is drawn. By default the page's updateLiveReply() and
  // removeLiveReply().
  virtual void ShowLiveReply(const std::string& AText);
  virtual void RemoveLiveReply();
};

}  // namespace kestrill
