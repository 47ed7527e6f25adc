// The tool set of one agent iteration and its three request shapes (OpenAI, Claude, Gemini).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "core/JsonPath.h"

namespace kestrill {

struct TToolParameter {
  std::string Name;
  std::string ParamType;  // "string", "integer" or "boolean"
  std::string Description;
  bool IsRequired = false;
};

class TOpenAPITool {
 public:
  TOpenAPITool(std::string AName, std::string ADescription)
      : FName(std::move(AName)), FDescription(std::move(ADescription)) {}

  // Each returns the tool so that parameters can be chained.
  TOpenAPITool& AddStringParam(std::string AName, std::string ADesc, bool ARequired);
  TOpenAPITool& AddIntParam(std::string AName, std::string ADesc, bool ARequired);
  TOpenAPITool& AddBoolParam(std::string AName, std::string ADesc, bool ARequired);

  const std::string& Name() const { return FName; }
  const std::string& Description() const { return FDescription; }
  const std::vector<TToolParameter>& Parameters() const { return FParameters; }

  TJson BuildSchemaJSON() const;        // {"name", "description", "parameters"}
  TJson BuildClaudeSchemaJSON() const;  // the parameters object alone
  TJson ToOpenAIFormat() const;         // {"type": "function", "function": declaration}
  TJson ToClaudeFormat() const;         // {"name", "description", "input_schema"}
  TJson ToGeminiFormat() const;         // the declaration itself

 private:
  TOpenAPITool& Add(std::string AName, const char* AType, std::string ADesc, bool ARequired);

  std::string FName;
  std::string FDescription;
  std::vector<TToolParameter> FParameters;
};

class TOpenAPIToolManager {
 public:
  // The returned reference stays valid for the manager's life (tools are never moved).
  TOpenAPITool& AddTool(std::string AName, std::string ADescription);

  const std::deque<TOpenAPITool>& Tools() const { return FTools; }
  bool Empty() const { return FTools.empty(); }

  TJson GetOpenAI_ToolsArray() const;
  TJson GetClaude_ToolsArray() const;
  // [{"function_declarations": [...]}] when there are tools, then [{"googleSearch": {}}] when
  // FEnableGeminiGoogleSearch is set.
  TJson GetGemini_ToolsArray() const;

  bool FEnableGeminiGoogleSearch = false;

 private:
  std::deque<TOpenAPITool> FTools;
};

}  // namespace kestrill
