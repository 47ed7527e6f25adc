// For the page tests: reads a JSON array of messages ({"text", "file", "isUser", "id"}) on
// standard input and prints, as a JSON array, the scripts the view bridge makes for them.
#include <iostream>
#include <iterator>

#include "RecordingView.h"
#include "core/JsonPath.h"
#include "view/ViewBridge.h"

int main() {
  std::string Input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  auto Doc = kestrill::ParseJson(Input);
  if (!Doc || !Doc->is_array()) {
    std::cerr << "expected a JSON array of messages\n";
    return 2;
  }
  kestrill::testing::TRecordingView View;
  for (const auto& M : *Doc)
    kestrill::AddMessageToWeb(View, M.value("text", ""), M.value("file", ""),
                              M.value("isUser", true), M.value("id", ""));
  std::cout << kestrill::TJson(View.Scripts)
                   .dump(-1, ' ', false, kestrill::TJson::error_handler_t::replace);
  return 0;
}
