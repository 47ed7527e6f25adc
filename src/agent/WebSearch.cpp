#include "agent/WebSearch.h"

#include <stdexcept>

#include "core/Endpoints.h"
#include "core/HttpClient.h"
#include "core/JsonPath.h"
#include "core/TextEncoding.h"

namespace kestrill {
namespace {

std::string RequiredText(const TJson& AHit, const char* AName) {
  auto V = JsonPathText(AHit, AName);
  if (!V) throw std::runtime_error(std::string("검색 결과에 '") + AName + "' 항목이 없습니다.");
  return *V;
}

}  // namespace

std::string SearchWeb(const std::string& AQuery, const std::string& APIKey) {
  std::string Result;
  try {
    TJson Request = TJson::object();
    Request["api_key"] = APIKey;
    Request["query"] = AQuery;
    Request["search_depth"] = "basic";
    Request["include_answer"] = false;
    THttpClient Client;
    Client.LimitEveryWait(std::chrono::seconds(60));
    Client.SetBodyLimit(ToolBodyLimit());
    THttpResponse R = Client.Post(EndpointUrl(TService::Tavily, "/search"),
                                  Request.dump(-1, ' ', false, TJson::error_handler_t::replace),
                                  {{"Content-Type", "application/json"}});
    if (auto Doc = ParseJson(SanitizeUtf8(R.Body))) {
      if (!Doc->is_object()) throw std::runtime_error("검색 응답이 JSON 객체가 아닙니다.");
      auto Hits = Doc->find("results");
      if (Hits != Doc->end() && Hits->is_array())
        for (const TJson& Hit : *Hits) {
          std::string Title = RequiredText(Hit, "title");
          std::string Content = RequiredText(Hit, "content");
          Result += "[출처: " + Title + "]\r\n" + Content + "\r\n\r\n";
        }
    }
  } catch (const std::exception& E) {
    return std::string("검색 중 오류 발생: ") + E.what();
  }
  return Result.empty() ? "검색 결과가 없습니다." : Result;
}

}  // namespace kestrill
