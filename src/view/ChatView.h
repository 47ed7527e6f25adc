// The narrow surface the program needs from the web view that shows the chat page. The window
// implements it with Qt WebEngine, the terminal and the tests with their own recorders.
#pragma once

#include <string>

namespace kestrill {

class IChatView {
 public:
  virtual ~IChatView() = default;
  // Replaces the page with the one at AUrl.
  virtual void Navigate(const std::string& AUrl) = 0;
  // Runs AScript in the loaded page; scripts run in the order they were submitted.
  virtual void EvaluateJavaScript(const std::string& AScript) = 0;
};

}  // namespace kestrill
