#include "engine/ChatArchive.h"

#include <map>

#include "core/FileIO.h"
#include "core/TextUtil.h"
#include "engine/ChatController.h"
#include "engine/ChatExport.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

namespace kestrill {

TSavedChats SavedChatsOf(const TChatFiles& AFiles) {
  TSavedChats Chats{AFiles.DataFolder(), {}};
  for (const TChatFile& E : AFiles.List())
    if (IsListable(E)) Chats.Titles[E.FileName] = E.Title;
  return Chats;
}

std::vector<TChatSearchHit> SearchSavedChats(TChatSearch& ASearch, const TSavedChats& AChats,
                                             const std::string& AQuery, std::stop_token AStop,
                                             const TChatSearch::TOnHits& AOnHits) {
  return ASearch.Search(AChats.Folder, AQuery, AChats.Titles, kMaxSearchHits, std::move(AStop),
                        AOnHits);
}

std::vector<TChatSearchHit> SearchSavedChats(TChatSearch& ASearch, const TChatFiles& AFiles,
                                             const std::string& AQuery) {
  return SearchSavedChats(ASearch, SavedChatsOf(AFiles), AQuery);
}

std::string ExportChatToFile(const TChatHistory& AAll, const std::string& ATitle,
                             const std::string& APath) {
  const std::string Lower = ToLowerAscii(APath);
  auto EndsWith = [&](const char* ASuffix) {
    const std::string S = ASuffix;
    return Lower.size() >= S.size() && Lower.compare(Lower.size() - S.size(), S.size(), S) == 0;
  };
  std::string Text;
  if (EndsWith(".md"))
    Text = ExportChatMarkdown(AAll, ATitle);
  else if (EndsWith(".html") || EndsWith(".htm"))
    Text = ExportChatHtml(AAll, ATitle);
  else
    return "내보낼 파일의 확장자는 .md 또는 .html이어야 합니다.\r\n[" + APath + "]";
  try {
    WriteFileAtomic(APath, Text);
  } catch (const EFileWriteError& E) {
    return "채팅을 내보내지 못했습니다.\r\n[" + APath + "]\r\n" + E.what();
  }
  return "";
}

std::string ExportSavedChat(const std::string& AChatFile, const std::string& ATitle,
                            const std::string& APath) {
  TJsonFileRead Read = ReadChatJsonFile(AChatFile);
  if (Read.Status == TJsonFileStatus::Missing)
    return "채팅 파일이 없습니다.\r\n[" + AChatFile + "]";
  if (Read.Status != TJsonFileStatus::Ok || !Read.Value.is_array())
    return "채팅 파일을 읽을 수 없습니다.\r\n[" + AChatFile + "]\r\n" + Read.Error;
  const std::string Title =
      ATitle.empty() ? TitleFromText(FirstPromptOf(Read.Value)) : ATitle;
  return ExportChatToFile(ReadHistoryDocument(Read.Value, true).Messages, Title, APath);
}

std::string ExportChatItem(TChatController& AController, const std::string& AFileName,
                           const std::string& APath) {
  const TChatFiles& Files = AController.Files();
  const std::string Title =
      Files.GetChatFileIndex(AFileName) >= 0 ? Files.EntryOf(AFileName).Title : "";
  if (AFileName == AController.ChatFileName() && AController.ChatFileState() == cfsModified)
    return ExportChatToFile(AController.ChatHistory(), Title, APath);
  return ExportSavedChat(Files.Resolve(AFileName), Title, APath);
}

}  // namespace kestrill
