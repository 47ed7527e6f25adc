// The terminal's saved chats: the catalogue printed as lines, and a chat file named on the
// command line matched to its catalogue entry.
#pragma once

#include <iosfwd>
#include <string>

#include "engine/ChatFiles.h"

namespace kestrill {

// Prints every listed chat of the catalogue, newest first, one "file<TAB>title<TAB>time" line
// each (time as yyyymmddhhnnss). Returns the exit status: 0, or 1 when the catalogue could not
// be read (the reason on AErr).
int ListSavedChats(TChatFiles& AFiles, std::ostream& AOut, std::ostream& AErr);

// Prints the saved chats (every chat file in the data folder) holding every word of AQuery,
// newest first, one "file<TAB>title<TAB>snippet" line each. Returns 0, or 1 when none matched
// or the catalogue could not be read.
int SearchSavedChatsCommand(TChatFiles& AFiles, const std::string& AQuery, std::ostream& AOut,
                            std::ostream& AErr);

// Writes the saved chat AChatFile to AOut (.md or .html). Returns 0, or 1 with the reason on AErr.
int ExportSavedChatCommand(TChatFiles& AFiles, const std::string& AChatFile,
                           const std::string& AOut, std::ostream& AErr);

// APath as the catalogue spells it when the catalogue lists that file, so saving updates its
// entry instead of adding a second one; otherwise APath made absolute (entries hold full paths).
std::string CatalogueSpellingOf(const TChatFiles& AFiles, const std::string& APath);

}  // namespace kestrill
