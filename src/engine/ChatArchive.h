// Saved chats as a whole: searching every chat file in the data folder, and writing one chat
// out as Markdown or HTML. Shared by the window's search box and menu and by the terminal.
#pragma once

#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "core/ChatTypes.h"
#include "storage/ChatSearch.h"

namespace kestrill {

class TChatController;
class TChatFiles;

// What a search of the saved chats needs besides the files themselves: taken from AFiles on the
// thread that owns them, so that the search can run on another.
struct TSavedChats {
  std::string Folder;
  std::map<std::string, std::string> Titles;  // the catalogue's, by file path
};
TSavedChats SavedChatsOf(const TChatFiles& AFiles);

// ASearch keeps what it read between calls: keep one per window (or terminal run). AOnHits gets
// the hits in batches as they are found; AStop ends the search early (TChatSearch::Search).
std::vector<TChatSearchHit> SearchSavedChats(TChatSearch& ASearch, const TSavedChats& AChats,
                                             const std::string& AQuery, std::stop_token AStop = {},
                                             const TChatSearch::TOnHits& AOnHits = {});
std::vector<TChatSearchHit> SearchSavedChats(TChatSearch& ASearch, const TChatFiles& AFiles,
                                             const std::string& AQuery);

// AAll written to APath: Markdown for ".md", one self-contained page for ".html"/".htm".
// Returns "" when written, else a Korean sentence saying why not.
std::string ExportChatToFile(const TChatHistory& AAll, const std::string& ATitle,
                             const std::string& APath);

// The saved chat AChatFile (its tool requests and results included) written to APath.
std::string ExportSavedChat(const std::string& AChatFile, const std::string& ATitle,
                            const std::string& APath);

// The chat of a history item: the open chat as it is in memory when it has unsaved changes,
// otherwise its file; titled as the catalogue has it.
std::string ExportChatItem(TChatController& AController, const std::string& AFileName,
                           const std::string& APath);

}  // namespace kestrill
