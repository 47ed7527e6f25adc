// Automation objects for tests: every creation, call and release is logged in order, answers
// come from a table, and any one step can be made to fail.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/Automation.h"

namespace kestrill::testing {

class TFakeAutomation {
 public:
  // "start", "create P", "P.Member(args)", "release P", "end"; arguments are written 0, 1L,
  // '0' (a character) and "text".
  std::vector<std::string> Log;
  // Answers by whole call line first ("P.GetHeaderValue(1)"), then by "P.Member".
  std::map<std::string, TAutoValue> Answers;
  std::string FailAt;  // the log line whose step throws ("start" fails the set-up)
  int LiveObjects = 0, LiveSessions = 0;

  TAutomationStarter Starter() {
    return [this]() -> std::unique_ptr<IAutomationSession> {
      Step("start");
      return std::make_unique<TSession>(*this);
    };
  }

  static std::string Describe(const TAutoValue& AValue) {
    if (auto* I = std::get_if<std::int32_t>(&AValue)) return std::to_string(*I);
    if (auto* L = std::get_if<std::int64_t>(&AValue)) return std::to_string(*L) + "L";
    if (auto* C = std::get_if<char16_t>(&AValue)) return std::string("'") + char(*C) + "'";
    if (auto* S = std::get_if<std::string>(&AValue)) return "\"" + *S + "\"";
    return AutoToText(AValue);
  }

 private:
  void Step(const std::string& ALine) {
    Log.push_back(ALine);
    if (ALine == FailAt) throw EAutomationError("fake failure at " + ALine);
  }

  struct TObject : IAutomationObject {
    TObject(TFakeAutomation& AOwner, std::string AProgId) : Owner(AOwner), ProgId(std::move(AProgId)) {
      ++Owner.LiveObjects;
    }
    ~TObject() override {
      --Owner.LiveObjects;
      Owner.Log.push_back("release " + ProgId);
    }
    TAutoValue Call(const std::string& AMember, const std::vector<TAutoValue>& AArgs) override {
      std::string Line = ProgId + "." + AMember + "(";
      for (std::size_t I = 0; I < AArgs.size(); ++I) Line += (I ? ", " : "") + Describe(AArgs[I]);
      Line += ")";
      Owner.Step(Line);
      if (auto It = Owner.Answers.find(Line); It != Owner.Answers.end()) return It->second;
      if (auto It = Owner.Answers.find(ProgId + "." + AMember); It != Owner.Answers.end())
        return It->second;
      return std::monostate{};
    }
    TFakeAutomation& Owner;
    std::string ProgId;
  };

  struct TSession : IAutomationSession {
    explicit TSession(TFakeAutomation& AOwner) : Owner(AOwner) { ++Owner.LiveSessions; }
    ~TSession() override {
      // Objects left alive here would outlive the apartment.
      Owner.Log.push_back(Owner.LiveObjects == 0 ? "end" : "end with live objects");
      --Owner.LiveSessions;
    }
    std::unique_ptr<IAutomationObject> Create(const std::string& AProgId) override {
      Owner.Step("create " + AProgId);
      return std::make_unique<TObject>(Owner, AProgId);
    }
    TFakeAutomation& Owner;
  };
};

}  // namespace kestrill::testing
