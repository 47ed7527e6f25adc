#include "agent/ToolSchema.h"

namespace kestrill {

TOpenAPITool& TOpenAPITool::Add(std::string AName, const char* AType, std::string ADesc,
                                bool ARequired) {
  FParameters.push_back({std::move(AName), AType, std::move(ADesc), ARequired});
  return *this;
}

TOpenAPITool& TOpenAPITool::AddStringParam(std::string AName, std::string ADesc, bool ARequired) {
  return Add(std::move(AName), "string", std::move(ADesc), ARequired);
}

TOpenAPITool& TOpenAPITool::AddIntParam(std::string AName, std::string ADesc, bool ARequired) {
  return Add(std::move(AName), "integer", std::move(ADesc), ARequired);
}

TOpenAPITool& TOpenAPITool::AddBoolParam(std::string AName, std::string ADesc, bool ARequired) {
  return Add(std::move(AName), "boolean", std::move(ADesc), ARequired);
}

TJson TOpenAPITool::BuildClaudeSchemaJSON() const {
  TJson Params = TJson::object();
  Params["type"] = "object";
  TJson Properties = TJson::object();
  TJson Required = TJson::array();
  for (const TToolParameter& P : FParameters) {
    TJson Prop = TJson::object();
    Prop["type"] = P.ParamType;
    Prop["description"] = P.Description;
    Properties[P.Name] = std::move(Prop);
    if (P.IsRequired) Required.push_back(P.Name);
  }
  Params["properties"] = std::move(Properties);
  // Some providers reject an empty "required" list, so it is left out instead.
  if (!Required.empty()) Params["required"] = std::move(Required);
  return Params;
}

TJson TOpenAPITool::BuildSchemaJSON() const {
  TJson Decl = TJson::object();
  Decl["name"] = FName;
  Decl["description"] = FDescription;
  Decl["parameters"] = BuildClaudeSchemaJSON();
  return Decl;
}

TJson TOpenAPITool::ToOpenAIFormat() const {
  TJson Entry = TJson::object();
  Entry["type"] = "function";
  Entry["function"] = BuildSchemaJSON();
  return Entry;
}

TJson TOpenAPITool::ToClaudeFormat() const {
  TJson Entry = TJson::object();
  Entry["name"] = FName;
  Entry["description"] = FDescription;
  Entry["input_schema"] = BuildClaudeSchemaJSON();
  return Entry;
}

TJson TOpenAPITool::ToGeminiFormat() const { return BuildSchemaJSON(); }

TOpenAPITool& TOpenAPIToolManager::AddTool(std::string AName, std::string ADescription) {
  return FTools.emplace_back(std::move(AName), std::move(ADescription));
}

TJson TOpenAPIToolManager::GetOpenAI_ToolsArray() const {
  TJson Arr = TJson::array();
  for (const TOpenAPITool& T : FTools) Arr.push_back(T.ToOpenAIFormat());
  return Arr;
}

TJson TOpenAPIToolManager::GetClaude_ToolsArray() const {
  TJson Arr = TJson::array();
  for (const TOpenAPITool& T : FTools) Arr.push_back(T.ToClaudeFormat());
  return Arr;
}

TJson TOpenAPIToolManager::GetGemini_ToolsArray() const {
  TJson Arr = TJson::array();
  if (!FTools.empty()) {
    TJson Decls = TJson::array();
    for (const TOpenAPITool& T : FTools) Decls.push_back(T.ToGeminiFormat());
    Arr.push_back(TJson{{"function_declarations", std::move(Decls)}});
  }
  if (FEnableGeminiGoogleSearch) Arr.push_back(TJson{{"googleSearch", TJson::object()}});
  return Arr;
}

}  // namespace kestrill
