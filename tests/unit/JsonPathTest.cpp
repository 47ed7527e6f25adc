#include <gtest/gtest.h>

#include "core/JsonPath.h"

using namespace kestrill;

TEST(JsonPath, ReadsValuesAsText) {
  auto Doc = ParseJson(R"({
    "choices": [{"message": {"content": "안녕", "tool_calls": []}}],
    "usage": {"total": 42, "ratio": 0.25, "ok": true, "none": null},
    "nested": [[1, 2], [3, {"deep": "x"}]]
  })");
  ASSERT_TRUE(Doc);
  struct TCase {
    const char* Path;
    std::optional<std::string> Expected;
  };
  const TCase Cases[] = {
      {"choices[0].message.content", "안녕"},
      {"usage.total", "42"},
      {"usage.ratio", "0.25"},
      {"usage.ok", "true"},
      {"usage.none", ""},  // null reads as empty text
      {"nested[1][1].deep", "x"},
      {"nested[0][1]", "2"},
      {"choices[0].message", std::nullopt},             // object counts as absent
      {"choices[0].message.tool_calls", std::nullopt},  // array counts as absent
      {"choices[1].message.content", std::nullopt},     // out of range
      {"choices.message", std::nullopt},                // member of an array
      {"usage.total.more", std::nullopt},
      {"missing", std::nullopt},
      {"choices[x]", std::nullopt},
  };
  for (const auto& C : Cases) EXPECT_EQ(JsonPathText(*Doc, C.Path), C.Expected) << C.Path;
  EXPECT_EQ(JsonPathTextOr(*Doc, "missing", "기본"), "기본");
}

TEST(JsonPath, InvalidTextParsesToNothing) {
  EXPECT_FALSE(ParseJson("{not json"));
  EXPECT_FALSE(ParseJson(""));
  EXPECT_TRUE(ParseJson("[]"));
}

TEST(JsonPath, OrderedDocumentKeepsMemberOrder) {
  TJson Doc;
  Doc["model"] = "m";
  Doc["contents"] = TJson::array();
  Doc["alpha"] = 1;
  EXPECT_EQ(Doc.dump(), R"({"model":"m","contents":[],"alpha":1})");
}
