// The catalogue of saved chats, ChatFileList.json: one object per chat with its file, title and
// time of the last save or rename.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/ChatTypes.h"
#include "core/JsonPath.h"

namespace kestrill {

inline constexpr char kChatFileListName[] = "ChatFileList.json";

struct TCatalogueData {
  std::vector<TChatFile> Entries;
  // Elements we could not read as entries (not objects, members of a wrong type). They are kept
  // and written back after the entries, so a save never loses what the file held.
  std::vector<TJson> Unreadable;
};

// The whole file text, titles cut to 80 characters.
std::string FormatCatalogue(const TCatalogueData& AData);

// Every element of ADocument (an array), in file order.
TCatalogueData ReadCatalogueDocument(const TJson& ADocument);

// One change a process made to its view of the catalogue: the entry to list for FileName, or
// none to take the file off the list.
struct TCatalogueChange {
  std::string FileName;
  std::optional<TChatFile> Entry;
};

// Applies AChanges in order to AData, which is what the file holds now (another process may
// have written it since we read it): an entry replaces the first one of its file, dropping any
// later ones of that file, or is appended when the file is not listed; a removal drops every
// entry of its file, and is nothing when there is none. Unreadable elements stay.
void ApplyCatalogueChanges(TCatalogueData& AData, const std::vector<TCatalogueChange>& AChanges);

// Newest first by LastModified (compared without regard to letter case, so an empty time
// sorts last); stable, so entries of the same time keep their order.
void SortNewestFirst(std::vector<TChatFile>& AEntries);

// Whether an entry can be listed: it names a file and has a title.
inline bool IsListable(const TChatFile& AEntry) {
  return !AEntry.FileName.empty() && !AEntry.Title.empty();
}

}  // namespace kestrill
