// The search_web tool: a Tavily search, the hits as text for the model. Never throws.
#pragma once

#include <string>

namespace kestrill {

std::string SearchWeb(const std::string& AQuery, const std::string& APIKey);

}  // namespace kestrill
