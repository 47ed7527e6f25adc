// Reading values inside JSON documents by path: member names joined by dots, "[n]" selecting
// the n-th (0-based) array element, e.g. "choices[0].message.content".
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kestrill {

using TJson = nlohmann::ordered_json;

// The value at APath, or nullptr when any step is missing or of the wrong kind.
const TJson* FindJsonPath(const TJson& ARoot, std::string_view APath);

// The value at APath as text: a string's value, a number's text, "true"/"false", the empty
// text for null. Absent (nullopt) when the path is missing or names an object or array.
std::optional<std::string> JsonPathText(const TJson& ARoot, std::string_view APath);

// Same as JsonPathText, with ADefault in place of an absent value.
std::string JsonPathTextOr(const TJson& ARoot, std::string_view APath, std::string_view ADefault);

// Deeper nesting than this is refused before anything recursive (a dump, a copy, a destructor)
// can touch the document: a hostile reply must not overflow a thread's stack.
inline constexpr int kMaxJsonDepth = 512;

// True when arrays and objects in AText (outside strings) nest deeper than AMax. One linear
// pass, no recursion; says nothing about whether AText is valid JSON.
bool JsonNestsDeeperThan(std::string_view AText, int AMax = kMaxJsonDepth);

// Parses AText; nullopt for invalid JSON and for JSON nested deeper than kMaxJsonDepth. Never
// throws.
std::optional<TJson> ParseJson(std::string_view AText);

}  // namespace kestrill
