#include "storage/ChatSearch.h"

#include <algorithm>
#include <system_error>
#include <unordered_set>

#include "core/TextUtil.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

namespace kestrill {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBefore = 30, kAfter = 70;  // bytes of context around a match

bool IsContinuation(char C) { return (static_cast<unsigned char>(C) & 0xC0) == 0x80; }

// AText[AStart, AEnd) widened to whole characters, on one line, with "…" where it was cut.
std::string Excerpt(const std::string& AText, std::size_t AStart, std::size_t AEnd) {
  while (AStart > 0 && IsContinuation(AText[AStart])) --AStart;
  while (AEnd < AText.size() && IsContinuation(AText[AEnd])) ++AEnd;
  std::string Out = AStart > 0 ? "…" : "";
  bool Space = false;
  for (std::size_t I = AStart; I < AEnd; ++I) {
    const char C = AText[I];
    if (C == '\r' || C == '\n' || C == '\t' || C == ' ') {
      Space = true;
      continue;
    }
    if (Space && Out != "" && Out != "…") Out += ' ';
    Space = false;
    Out += C;
  }
  if (AEnd < AText.size()) Out += "…";
  return Out;
}

bool Holds(const std::string& ALowered, const std::string& AWord) {
  return ALowered.find(AWord) != std::string::npos;
}

}  // namespace

namespace {

// Every distinct word of AQuery, in order of first appearance.
std::vector<std::string> DistinctWords(const std::string& AQuery) {
  std::vector<std::string> Words;
  std::unordered_set<std::string> Seen;
  std::string Word;
  for (char C : ToLowerAscii(AQuery) + " ") {
    if (static_cast<unsigned char>(C) <= ' ') {
      // A word said twice asks nothing more of a chat: it is looked for once.
      if (!Word.empty() && Seen.insert(Word).second) Words.push_back(Word);
      Word.clear();
    } else {
      Word += C;
    }
  }
  return Words;
}

}  // namespace

std::vector<std::string> SearchWords(const std::string& AQuery) {
  std::vector<std::string> Words = DistinctWords(AQuery);
  if (Words.size() > kMaxSearchWords) Words.resize(kMaxSearchWords);
  return Words;
}

std::string SearchQueryNote(const std::string& AQuery) {
  if (DistinctWords(AQuery).size() <= kMaxSearchWords) return "";
  return "검색어가 너무 많아 앞의 " + std::to_string(kMaxSearchWords) + "개 단어로만 찾았습니다.";
}

const TChatSearch::TChat& TChatSearch::Load(const fs::path& APath, fs::file_time_type ATime,
                                            std::uintmax_t ASize) {
  TChat& Chat = FChats[APath.string()];
  if (Chat.Time == ATime && Chat.Size == ASize && ASize != 0) return Chat;
  Chat = TChat{ATime, ASize, {}, {}, {}};
  ++FFilesRead;
  TJsonFileRead Read = ReadChatJsonFile(APath.string());
  if (Read.Status != TJsonFileStatus::Ok || !Read.Value.is_array()) return Chat;
  Chat.Title = TitleFromText(FirstPromptOf(Read.Value));
  for (TChatMessage& M : ReadHistoryDocument(Read.Value).Messages) {
    Chat.Lowered.push_back(ToLowerAscii(M.Text));
    Chat.Texts.push_back(std::move(M.Text));
  }
  return Chat;
}

std::vector<TChatSearchHit> TChatSearch::Search(const std::string& AFolder,
                                                const std::string& AQuery,
                                                const std::map<std::string, std::string>& ATitles,
                                                std::size_t AMaxHits) {
  const std::vector<std::string> Words = SearchWords(AQuery);
  if (Words.empty()) return {};

  std::vector<fs::path> Files;
  std::error_code Error;
  for (fs::directory_iterator It(AFolder, Error), End; !Error && It != End; It.increment(Error)) {
    const fs::path& P = It->path();
    if (P.extension() == ".json" && P.filename() != kChatFileListName &&
        It->is_regular_file(Error))
      Files.push_back(P);
  }
  // Chat files are named by their time of creation: the newest sorts last.
  std::sort(Files.begin(), Files.end(),
            [](const fs::path& A, const fs::path& B) { return A.filename() > B.filename(); });

  std::unordered_map<std::string, TChat> Seen;  // files gone since the last search are dropped
  std::vector<TChatSearchHit> Hits;
  for (const fs::path& P : Files) {
    std::error_code E1, E2;
    const auto Time = fs::last_write_time(P, E1);
    const auto Size = fs::file_size(P, E2);
    if (E1 || E2) continue;
    const TChat& Chat = Load(P, Time, Size);
    auto Known = ATitles.find(P.string());
    const std::string& Title = Known != ATitles.end() ? Known->second : Chat.Title;
    const std::string TitleLowered = ToLowerAscii(Title);

    bool All = true;
    for (const std::string& W : Words) {
      if (Holds(TitleLowered, W)) continue;
      if (std::none_of(Chat.Lowered.begin(), Chat.Lowered.end(),
                       [&](const std::string& T) { return Holds(T, W); })) {
        All = false;
        break;
      }
    }
    if (!All || Hits.size() >= AMaxHits) continue;

    std::string Snippet;
    for (std::size_t I = 0; I < Chat.Lowered.size() && Snippet.empty(); ++I)
      for (const std::string& W : Words)
        if (std::size_t At = Chat.Lowered[I].find(W); At != std::string::npos) {
          const std::size_t From = At > kBefore ? At - kBefore : 0;
          Snippet = Excerpt(Chat.Texts[I], From, std::min(Chat.Texts[I].size(), At + W.size() + kAfter));
          break;
        }
    if (Snippet.empty() && !Chat.Texts.empty())
      Snippet = Excerpt(Chat.Texts[0], 0, std::min(Chat.Texts[0].size(), kBefore + kAfter));
    Hits.push_back({P.string(), Title.empty() ? P.filename().string() : Title, Snippet});
  }
  for (const fs::path& P : Files)
    if (auto It = FChats.find(P.string()); It != FChats.end()) Seen.insert(std::move(*It));
  FChats = std::move(Seen);
  return Hits;
}

}  // namespace kestrill
