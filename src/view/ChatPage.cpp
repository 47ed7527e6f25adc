#include "view/ChatPage.h"

#include <cstddef>

#include "core/FileIO.h"
#include "core/Paths.h"

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
  WriteFileAtomic(AFileName, "\xEF\xBB\xBF" + ChatPageHtml());
}

std::string ChatPageFileName() { return JoinPath(GetUserTempFolder(), "chat_ui.html"); }

void LoadDefaultHTML(IChatView& AView) {
  std::string FileName = ChatPageFileName();
  WriteChatPage(FileName);
  AView.NavigateToFile(FileName);
}

std::string FileUrlOfPath(const std::string& APath) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string Out = "file://";
  for (unsigned char C : APath) {
    if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
        C == '.' || C == '_' || C == '~' || C == '/') {
      Out += static_cast<char>(C);
    } else {
      Out += '%';
      Out += kHex[C >> 4];
      Out += kHex[C & 15];
    }
  }
  return Out;
}

}  // namespace kestrill
