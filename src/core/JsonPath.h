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

// Parses AText; nullopt for invalid JSON, never throws.
std::optional<TJson> ParseJson(std::string_view AText);

}  // namespace kestrill
