// A chat view that records every navigation and script instead of showing them.
#pragma once

#include <string>
#include <vector>

#include "view/ChatView.h"

namespace kestrill::testing {

class TRecordingView : public IChatView {
 public:
  void Navigate(const std::string& AUrl) override { Urls.push_back(AUrl); }
  void EvaluateJavaScript(const std::string& AScript) override { Scripts.push_back(AScript); }

  std::vector<std::string> Urls;
  std::vector<std::string> Scripts;
};

}  // namespace kestrill::testing
