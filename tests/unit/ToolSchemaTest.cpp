#include <gtest/gtest.h>

#include "agent/ToolSchema.h"

using namespace kestrill;

namespace {
std::string Dump(const TJson& J) { return J.dump(-1, ' ', false); }
}  // namespace

TEST(ToolSchema, ThreeShapesOfOneTool) {
  TOpenAPIToolManager M;
  M.AddTool("get_dart", "DART 재무")
      .AddStringParam("corp", "회사", true)
      .AddIntParam("days", "기간", false)
      .AddBoolParam("all", "전체", true);
  const std::string Params =
      R"({"type":"object","properties":{"corp":{"type":"string","description":"회사"},)"
      R"("days":{"type":"integer","description":"기간"},"all":{"type":"boolean","description":"전체"}},)"
      R"("required":["corp","all"]})";
  const std::string Decl =
      R"({"name":"get_dart","description":"DART 재무","parameters":)" + Params + "}";
  EXPECT_EQ(Dump(M.GetOpenAI_ToolsArray()), R"([{"type":"function","function":)" + Decl + "}]");
  EXPECT_EQ(Dump(M.GetClaude_ToolsArray()),
            R"([{"name":"get_dart","description":"DART 재무","input_schema":)" + Params + "}]");
  EXPECT_EQ(Dump(M.GetGemini_ToolsArray()), R"([{"function_declarations":[)" + Decl + "]}]");
}

TEST(ToolSchema, RequiredIsLeftOutWhenNothingIsRequired) {
  TOpenAPIToolManager M;
  M.AddTool("a", "none");
  M.AddTool("b", "optional").AddStringParam("x", "X", false);
  EXPECT_EQ(Dump(M.Tools()[0].BuildClaudeSchemaJSON()), R"({"type":"object","properties":{}})");
  EXPECT_EQ(Dump(M.Tools()[1].BuildClaudeSchemaJSON()),
            R"({"type":"object","properties":{"x":{"type":"string","description":"X"}}})");
}

TEST(ToolSchema, GeminiArrayCarriesDeclarationsThenSearch) {
  struct TCase {
    bool WithTool, Search;
    const char* Expected;
  };
  const TCase Cases[] = {
      {false, false, "[]"},
      {false, true, R"([{"googleSearch":{}}])"},
      {true, false,
       R"([{"function_declarations":[{"name":"t","description":"d","parameters":{"type":"object","properties":{}}}]}])"},
      {true, true,
       R"([{"function_declarations":[{"name":"t","description":"d","parameters":{"type":"object","properties":{}}}]},{"googleSearch":{}}])"},
  };
  for (const TCase& C : Cases) {
    TOpenAPIToolManager M;
    if (C.WithTool) M.AddTool("t", "d");
    M.FEnableGeminiGoogleSearch = C.Search;
    EXPECT_EQ(Dump(M.GetGemini_ToolsArray()), C.Expected);
    if (!C.WithTool) {
      EXPECT_EQ(Dump(M.GetOpenAI_ToolsArray()), "[]");
      EXPECT_EQ(Dump(M.GetClaude_ToolsArray()), "[]");
    }
  }
}
