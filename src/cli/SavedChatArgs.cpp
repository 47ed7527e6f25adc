#include "cli/SavedChatArgs.h"

#include <filesystem>
#include <ostream>

#include "cli/TerminalShell.h"
#include "storage/Catalogue.h"

namespace kestrill {
namespace {

namespace fs = std::filesystem;

// A title may hold tabs or line breaks (the window lets the user type any title); one entry
// must stay one line of three fields.
std::string OneField(std::string AText) {
  for (char& C : AText)
    if (C == '\t' || C == '\r' || C == '\n') C = ' ';
  return AText;
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
      AOut << OneField(E.FileName) << '\t' << OneField(E.Title) << '\t' << OneField(E.LastModified)
           << '\n';
  return 0;
}

std::string CatalogueSpellingOf(const TChatFiles& AFiles, const std::string& APath) {
  const fs::path Wanted = Resolved(APath);
  for (const TChatFile& E : AFiles.List())
    if (!E.FileName.empty() && Resolved(E.FileName) == Wanted) return E.FileName;
  return Absolute(APath).string();
}

}  // namespace kestrill
