// The chart tool's "timestamps" argument as a model writes it: Unix times, date texts, or
// anything else. A refusal is EToolError by design; anything else thrown, or a crash, is a bug.
#include "FuzzCheck.h"
#include "engine/ToolDispatcher.h"

using namespace kestrill;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  std::string Labels;
  try {
    Labels = NormalizeDateText(FuzzText(AData, ASize));
  } catch (const EToolError&) {
    return 0;
  }
  FUZZ_CHECK(Labels.size() >= 2 && Labels.front() == '[' && Labels.back() == ']');
  // The labels travel on into the page as one string argument of appendChart.
  const std::string Script = BuildChartScript("차트", Labels, "[1,2]");
  FUZZ_CHECK(Script.starts_with("appendChart(\"") && Script.ends_with("\");"));
  FUZZ_CHECK(Script.find('\n') == std::string::npos && Script.find('\r') == std::string::npos);
  FUZZ_CHECK(Script.find("</") == std::string::npos);
  return 0;
}
