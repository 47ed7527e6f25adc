#include "core/Endpoints.h"

#include <cstdlib>

namespace kestrill {
namespace {

struct TEndpoint {
  std::string_view EnvVar;
  std::string_view Default;
};

TEndpoint Lookup(TService S) {
  switch (S) {
    case TService::Gemini:
      return {"KESTRILL_GEMINI_URL", "https://generativelanguage.googleapis.com"};
    case TService::OpenAI:
      return {"KESTRILL_OPENAI_URL", "https://api.openai.com"};
    case TService::DeepSeek:
      return {"KESTRILL_DEEPSEEK_URL", "https://api.deepseek.com"};
    case TService::Anthropic:
      return {"KESTRILL_ANTHROPIC_URL", "https://api.anthropic.com"};
    case TService::Tavily:
      return {"KESTRILL_TAVILY_URL", "https://api.tavily.com"};
    case TService::YahooChart:
      return {"KESTRILL_YAHOO_CHART_URL", "https://query1.finance.yahoo.com"};
    case TService::YahooSummary:
      return {"KESTRILL_YAHOO_SUMMARY_URL", "https://query2.finance.yahoo.com"};
    case TService::YahooCookie: return {"KESTRILL_YAHOO_COOKIE_URL", "https://fc.yahoo.com"};
    case TService::Dart:
      return {"KESTRILL_DART_URL", "https://opendart.fss.or.kr"};
    case TService::DartViewer:
      return {"KESTRILL_DART_VIEWER_URL", "https://dart.fss.or.kr"};
    case TService::Krx:
      return {"KESTRILL_KRX_URL", "https://data-dbg.krx.co.kr"};
  }
  return {"", ""};
}

}  // namespace

std::string_view EndpointEnvVar(TService S) { return Lookup(S).EnvVar; }
std::string_view EndpointDefault(TService S) { return Lookup(S).Default; }

std::string EndpointBase(TService S) {
  TEndpoint E = Lookup(S);
  std::string Base(E.Default);
  if (const char* V = std::getenv(std::string(E.EnvVar).c_str()); V && *V) Base = V;
  while (!Base.empty() && Base.back() == '/') Base.pop_back();
  return Base;
}

std::string EndpointUrl(TService S, std::string_view APath) {
  return EndpointBase(S) + std::string(APath);
}

}  // namespace kestrill
