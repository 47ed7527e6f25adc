#include "view/ChatPage.h"

#include <cstddef>

#include "core/FileIO.h"
#include "core/Paths.h"
#include "core/TextUtil.h"

namespace kestrill {

extern const char* const kChatPageChunks[];
extern const std::size_t kChatPageChunkCount;

const std::string& ChatPageHtml() {
  static const std::string Html = [] {
    std::string H;
    for (std::size_t I = 0; I < kChatPageChunkCount; ++I) H += kChatPageChunks[I];
    return H;
  }();
  return Html;
}

void WriteChatPage(const std::string& AFileName) {
  const std::string Page = "\xEF\xBB\xBF" + ChatPageHtml();
  // Every start and every new chat loads the page: a file that already holds it is left as it
  // is, so the window does not wait for the disk to write the same bytes again.
  if (ReadFileBytes(AFileName, Page.size() + 1) == Page) return;
  WriteFileAtomic(AFileName, Page);
}

std::string ChatPageFileName() { return JoinPath(GetUserTempFolder(), "chat_ui.html"); }

void LoadDefaultHTML(IChatView& AView) {
  std::string FileName = ChatPageFileName();
  WriteChatPage(FileName);
  AView.NavigateToFile(FileName);
}

std::string FileUrlOfPath(const std::string& APath) {
  return "file://" + PercentEncode(APath, "/");
}

}  // namespace kestrill
