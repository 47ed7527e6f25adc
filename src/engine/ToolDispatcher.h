// Runs one tool the model asked for: reads its arguments, shows its status line, asks before a
// console command, and returns the result text the model gets back.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"
#include "core/Config.h"
#include "tools/Automation.h"

namespace kestrill {

inline constexpr char kToolFailedText[] = "도구 실행 실패 또는 알 수 없는 도구입니다.";

// What a tool needs from the turn it runs in. Called on the agent's background task.
class IToolHost {
 public:
  virtual ~IToolHost() = default;
  virtual void ShowStatus(const std::string& AText) = 0;          // queued status bubble
  virtual void RunPageScript(const std::string& AScript) = 0;     // queued page script
  virtual bool ConfirmCommand(const std::string& AQuestion) = 0;  // waits for the user
  // The automation the broker tools run on (this system's own unless a test supplies another).
  virtual std::unique_ptr<IAutomationSession> StartBrokerAutomation() { return StartAutomation(); }
};

class EToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Tool names are compared exactly. Throws only what GetYahooStockData and NormalizeDateText
// raise.
std::string ExecuteLocalTool(const std::string& AToolName, const std::string& AArgsJSON,
                             const TConfig& AConfig, IToolHost& AHost);

// Largest tool result sent to the model; a longer one is cut with a note saying so.
inline constexpr std::size_t kMaxToolResultBytes = 256 * 1024;
std::string BoundToolResult(std::string AResult);

// "[t1, t2, ...]" of Unix times or texts → "[yyyy-mm-dd,...]" (local time), or "[hh:mm,...]"
// when the first and last fall on the same day. Throws EToolError "Invalid input format" /
// "Unsupported value type".
std::string NormalizeDateText(std::string_view AText);

// appendChart(...) with each value as an escaped string literal.
std::string BuildChartScript(const std::string& ATitle, const std::string& ALabels,
                             const std::string& APrices);

// The script that draws again the chart a stored draw_stock_chart call drew; nullopt for any
// other message and for a call the tool could not draw.
std::optional<std::string> ChartScriptOfCall(const TChatMessage& AMessage);

// The tools offered in one agent iteration, from the settings as they are now.
void BuildToolSet(TOpenAPIToolManager& AManager, const TConfig& AConfig, int AProviderIndex);

}  // namespace kestrill
