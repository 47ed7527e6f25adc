// The base URL (scheme and host) of every web service in one place. Each can be overridden by
// an environment variable holding a base URL, which is how tests aim the real client at
// servers on 127.0.0.1.
#pragma once

#include <string>
#include <string_view>

namespace kestrill {

enum class TService {
  Gemini,
  OpenAI,
  DeepSeek,
  Anthropic,
  Tavily,
  YahooChart,
  YahooSummary,
  YahooCookie,  // a Yahoo page whose answer carries the session cookie
  Dart,
  DartViewer,
  Krx,
};

// The override variable (e.g. "KESTRILL_GEMINI_URL") and the real default base URL.
std::string_view EndpointEnvVar(TService AService);
std::string_view EndpointDefault(TService AService);

// The base URL in use, without a trailing slash: the override when set, else the default.
std::string EndpointBase(TService AService);

// EndpointBase(AService) + APath (APath starts with "/").
std::string EndpointUrl(TService AService, std::string_view APath);

}  // namespace kestrill
