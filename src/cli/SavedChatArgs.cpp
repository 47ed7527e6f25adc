#include "cli/SavedChatArgs.h"

#include <filesystem>
#include <ostream>
#include <stop_token>

#include "cli/TerminalShell.h"
#include "engine/ChatArchive.h"
#include "storage/Catalogue.h"

namespace kestrill {
namespace {

namespace fs = std::filesystem;

// A title may hold tabs, line breaks or other control characters (older windows let the user
// type any title); one entry must stay one line of three fields.
std::string OneField(std::string AText) {
  for (char& C : AText)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = ' ';
  return AText;
}

// A file name is printed so that the line stays one line of three fields: every control
// character is escaped (\t, \n, \r, \xHH). Backslashes stay as they are (Windows paths).
std::string EscapedName(const std::string& AName) {
  std::string Out;
  for (char C : AName) {
    const auto U = static_cast<unsigned char>(C);
    if (C == '\t') Out += "\\t";
    else if (C == '\n') Out += "\\n";
    else if (C == '\r') Out += "\\r";
    else if (U < 0x20 || U == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      Out += "\\x";
      Out += kHex[U >> 4];
      Out += kHex[U & 15];
    } else {
      Out += C;
    }
  }
  return Out;
}

fs::path Absolute(const std::string& APath) {
  std::error_code Ec;
  fs::path P = fs::absolute(APath, Ec);
  return Ec ? fs::path(APath) : P.lexically_normal();
}

// The same file however it was spelt ("./", "..", a link on the way).
fs::path Resolved(const std::string& APath) {
  std::error_code Ec;
  fs::path P = fs::weakly_canonical(Absolute(APath), Ec);
  return Ec ? Absolute(APath) : P;
}

}  // namespace

int ListSavedChats(TChatFiles& AFiles, std::ostream& AOut, std::ostream& AErr) {
  if (std::string Error = AFiles.LoadChatFileList(); !Error.empty()) {
    AErr << ForTerminal(Error) << '\n';
    return 1;
  }
  for (const TChatFile& E : AFiles.List())
    if (IsListable(E))
      AOut << EscapedName(E.FileName) << '\t' << OneField(E.Title) << '\t' << OneField(E.LastModified)
           << '\n';
  return 0;
}

std::string CatalogueSpellingOf(const TChatFiles& AFiles, const std::string& APath) {
  const fs::path Wanted = Resolved(APath);
  for (const TChatFile& E : AFiles.List())
    if (!E.FileName.empty() && Resolved(E.FileName) == Wanted) return E.FileName;
  return Absolute(APath).string();
}

int SearchSavedChatsCommand(TChatFiles& AFiles, const std::string& AQuery, std::ostream& AOut,
                            std::ostream& AErr) {
  if (std::string Error = AFiles.LoadChatFileList(); !Error.empty()) {
    AErr << ForTerminal(Error) << '\n';
    return 1;
  }
  TChatSearch Search;
  if (std::string Note = SearchQueryNote(AQuery); !Note.empty()) AErr << Note << '\n';
  // Each hit is printed as soon as it is found: over many large chats the first lines come
  // long before the last file is read. Once the most a search lists are found, the files left
  // are not read: nothing here keeps them for a next search.
  std::stop_source Enough;
  std::size_t Printed = 0;
  const auto Print = [&](std::vector<TChatSearchHit> AHits) {
    for (const TChatSearchHit& H : AHits)
      AOut << EscapedName(H.FilePath) << '\t' << OneField(H.Title) << '\t' << OneField(H.Snippet)
           << '\n';
    AOut.flush();
    if ((Printed += AHits.size()) >= kMaxSearchHits) Enough.request_stop();
  };
  const auto Hits =
      SearchSavedChats(Search, SavedChatsOf(AFiles), AQuery, Enough.get_token(), Print);
  if (Hits.empty()) AErr << "찾는 단어가 들어 있는 채팅이 없습니다.\n";
  return Hits.empty() ? 1 : 0;
}

int ExportSavedChatCommand(TChatFiles& AFiles, const std::string& AChatFile,
                           const std::string& AOut, std::ostream& AErr) {
  AFiles.LoadChatFileList();  // only for the title: a chat outside the catalogue is titled too
  const std::string File = CatalogueSpellingOf(AFiles, AChatFile);
  // A chat the catalogue does not list is titled by its first prompt.
  const std::string Title = AFiles.GetChatFileIndex(File) >= 0 ? AFiles.EntryOf(File).Title : "";
  if (std::string Error = ExportSavedChat(File, Title, AOut); !Error.empty()) {
    AErr << ForTerminal(Error) << '\n';
    return 1;
  }
  AErr << "내보냄: " << AOut << '\n';
  return 0;
}

}  // namespace kestrill
