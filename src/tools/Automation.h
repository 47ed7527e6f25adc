// Late-bound automation objects (COM's IDispatch on Windows), reduced to what the broker tools
// need: create an object by its programmatic identifier, call a member by name, release it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace kestrill {

// An argument or result. char16_t is a character value (a 16-bit code), not a number or text.
using TAutoValue =
    std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, char16_t, std::string>;

// A failed creation or call; what() says which and why.
class EAutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No automation on this system at all; what() is the whole Korean explanation for the user.
class EAutomationUnavailable : public EAutomationError {
 public:
  using EAutomationError::EAutomationError;
};

// Conversions of a result; throw EAutomationError when the value has no such form.
std::int32_t AutoToInt(const TAutoValue& AValue);
std::int64_t AutoToInt64(const TAutoValue& AValue);
std::string AutoToText(const TAutoValue& AValue);

class IAutomationObject {
 public:
  virtual ~IAutomationObject() = default;  // releases the object
  virtual TAutoValue Call(const std::string& AMember, const std::vector<TAutoValue>& AArgs = {}) = 0;
};

// The automation set-up of one tool call on the calling thread (COM's apartment). Every object
// it creates must be destroyed before it is.
class IAutomationSession {
 public:
  virtual ~IAutomationSession() = default;  // uninitialises
  virtual std::unique_ptr<IAutomationObject> Create(const std::string& AProgId) = 0;
};

using TAutomationStarter = std::function<std::unique_ptr<IAutomationSession>()>;

// This system's automation: COM on Windows; elsewhere it throws EAutomationUnavailable.
std::unique_ptr<IAutomationSession> StartAutomation();

}  // namespace kestrill
