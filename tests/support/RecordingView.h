// A chat view that records every navigation and script instead of showing them.
#pragma once

#include <string>
#include <vector>

#include "view/ChatView.h"
#include "view/ViewBridge.h"

namespace kestrill::testing {

class TRecordingView : public IChatView {
 public:
  void Navigate(const std::string& AUrl) override { Urls.push_back(AUrl); }
  // Scripts holds what the page runs, one by one: a replay (a whole conversation in one
  // evaluation) is taken apart into its scripts, and counted in Replays. Evaluations counts the
  // trips to the page.
  void EvaluateJavaScript(const std::string& AScript) override {
    ++Evaluations;
    auto Parts = ReplayParts(AScript);
    if (!Parts) {
      Run(AScript);
      return;
    }
    ++Replays;
    for (const std::string& S : *Parts) Run(S);
  }
  // One script as the page would run it.
  virtual void Run(const std::string& AScript) { Scripts.push_back(AScript); }

  std::vector<std::string> Urls;
  std::vector<std::string> Scripts;
  int Evaluations = 0;
  int Replays = 0;
};

}  // namespace kestrill::testing
