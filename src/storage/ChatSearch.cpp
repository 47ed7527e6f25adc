#include "storage/ChatSearch.h"

#include <algorithm>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "core/TextUtil.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"
#include "storage/HistoryFile.h"

namespace kestrill {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBefore = 30, kAfter = 70;  // bytes of context around a match
// Hits found are handed on once this many files were read since the last hand-over: often
// enough that the first hits show while a long first search goes on, seldom enough that the
// receiver is not flooded when every file is already known.
constexpr std::size_t kReadsPerBatch = 16;

bool IsContinuation(char C) { return (static_cast<unsigned char>(C) & 0xC0) == 0x80; }
// Where query words are split, and so where message texts may be split without losing a match.
bool IsSpace(char C) { return static_cast<unsigned char>(C) <= ' '; }

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

bool Holds(std::string_view ALowered, const std::string& AWord) {
  return ALowered.find(AWord) != std::string_view::npos;
}

// Every word is in the title or among a chat's kept words.
bool HoldsAll(const std::vector<std::string>& AWords, const std::string& ATitle,
              std::string_view AKeptWords) {
  const std::string TitleLowered = ToLowerAscii(ATitle);
  return std::all_of(AWords.begin(), AWords.end(), [&](const std::string& W) {
    return Holds(TitleLowered, W) || Holds(AKeptWords, W);
  });
}

// What a search needs of one chat file, for as long as it is being looked at.
struct TChatText {
  bool Gone = false;  // removed (or not to be found) since it was listed
  std::string Title;  // from the first prompt
  std::vector<std::string> Texts;
};

TChatText ReadChatText(const std::string& APath) {
  TChatText Out;
  TJsonFileRead Read = ReadChatJsonFile(APath);
  Out.Gone = Read.Status == TJsonFileStatus::Missing;
  // A file that is not a chat is kept as one without messages: its catalogue title still counts.
  if (Read.Status != TJsonFileStatus::Ok || !Read.Value.is_array()) return Out;
  Out.Title = TitleFromText(FirstPromptOf(Read.Value));
  for (TChatMessage& M : ReadHistoryDocument(Read.Value).Messages)
    Out.Texts.push_back(std::move(M.Text));
  return Out;
}

void LowerAscii(std::string& AText) {
  for (char& C : AText)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
}

std::vector<std::string> Lowered(std::vector<std::string> ATexts) {
  for (std::string& T : ATexts) LowerAscii(T);
  return ATexts;
}

// The distinct white-space-delimited words of ALowered, each followed by a line break. A query
// word holds no white space, so it is inside a text exactly when it is inside one of its words,
// and it can never match across the break between two.
std::string WordSet(const std::vector<std::string>& ALowered) {
  std::unordered_set<std::string_view> Seen;
  std::string Out;
  for (const std::string& T : ALowered) {
    for (std::size_t I = 0; I < T.size();) {
      while (I < T.size() && IsSpace(T[I])) ++I;
      std::size_t End = I;
      while (End < T.size() && !IsSpace(T[End])) ++End;
      if (End > I) {
        const std::string_view Word(T.data() + I, End - I);
        if (Seen.insert(Word).second) Out.append(Word).push_back('\n');
      }
      I = End;
    }
  }
  Out.shrink_to_fit();
  return Out;
}

struct TLook {
  bool All = false;     // every word is in the title or the texts
  std::string Snippet;  // the words around the first match
};

// Looks for AWords in a chat's title and texts, the texts in order and only as far as needed.
// The snippet is taken from the first message holding any word, at the first of the words it
// holds; from the start of the first message when only the title matched.
TLook Look(const std::vector<std::string>& AWords, const std::string& ATitle,
           const std::vector<std::string>& ATexts) {
  const std::string TitleLowered = ToLowerAscii(ATitle);
  std::vector<bool> Found(AWords.size());
  std::size_t Missing = 0;
  for (std::size_t W = 0; W < AWords.size(); ++W) {
    Found[W] = Holds(TitleLowered, AWords[W]);
    Missing += Found[W] ? 0 : 1;
  }
  TLook Out;
  bool Snipped = false;
  std::string Lower;
  for (std::size_t I = 0; I < ATexts.size() && (Missing > 0 || !Snipped); ++I) {
    Lower = ATexts[I];
    LowerAscii(Lower);
    for (std::size_t W = 0; W < AWords.size(); ++W) {
      if (Found[W] && Snipped) continue;
      const std::size_t At = Lower.find(AWords[W]);
      if (At == std::string::npos) continue;
      if (!Snipped) {
        const std::size_t From = At > kBefore ? At - kBefore : 0;
        Out.Snippet =
            Excerpt(ATexts[I], From, std::min(ATexts[I].size(), At + AWords[W].size() + kAfter));
        Snipped = true;
      }
      if (!Found[W]) {
        Found[W] = true;
        --Missing;
      }
    }
  }
  Out.All = Missing == 0;
  if (!Snipped && !ATexts.empty())
    Out.Snippet = Excerpt(ATexts[0], 0, std::min(ATexts[0].size(), kBefore + kAfter));
  return Out;
}

// AHit for the chat APath from its title and texts; false when they do not hold every word.
bool HitFrom(const fs::path& APath, const std::string& ATitle,
             const std::vector<std::string>& ATexts, const std::vector<std::string>& AWords,
             TChatSearchHit& AHit) {
  TLook Found = Look(AWords, ATitle, ATexts);
  if (!Found.All) return false;
  AHit = {APath.string(), ATitle.empty() ? APath.filename().string() : ATitle,
          std::move(Found.Snippet)};
  return true;
}

// Every distinct word of AQuery, in order of first appearance.
std::vector<std::string> DistinctWords(const std::string& AQuery) {
  std::vector<std::string> Words;
  std::unordered_set<std::string> Seen;
  std::string Word;
  for (char C : ToLowerAscii(AQuery) + " ") {
    if (IsSpace(C)) {
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

TChatSearch::TChat& TChatSearch::Load(const fs::path& APath, fs::file_time_type ATime,
                                      std::uintmax_t ASize, std::vector<std::string>* ATexts) {
  TChat& Chat = FChats[APath.string()];
  if (Chat.Time == ATime && Chat.Size == ASize && ASize != 0) return Chat;
  ++FFilesRead;
  TChatText Text = ReadChatText(APath.string());
  std::string Words = WordSet(ATexts ? Lowered(Text.Texts) : Lowered(std::move(Text.Texts)));
  if (ATexts) *ATexts = std::move(Text.Texts);
  Chat = TChat{ATime, ASize, std::move(Text.Title), std::move(Words)};
  return Chat;
}

bool TChatSearch::ReadHit(const fs::path& APath, const std::vector<std::string>& AWords,
                          const std::string* ACatalogueTitle, TChatSearchHit& AHit) {
  const std::string Key = APath.string();
  std::error_code E1, E2;
  const auto Time = fs::last_write_time(APath, E1);
  const auto Size = fs::file_size(APath, E2);
  const TChatText Text = E1 || E2 ? TChatText{true, {}, {}} : ReadChatText(Key);
  if (Text.Gone) {
    FChats.erase(Key);
    return false;
  }
  // The hit is judged again on what the file holds now: it may have changed since it was
  // indexed, even without its time or size showing it.
  const bool Found =
      HitFrom(APath, ACatalogueTitle ? *ACatalogueTitle : Text.Title, Text.Texts, AWords, AHit);
  if (TChat& Chat = FChats[Key]; !Found || Chat.Time != Time || Chat.Size != Size)
    Chat = TChat{Time, Size, Text.Title, WordSet(Lowered(Text.Texts)), Chat.Listed};
  return Found;
}

std::vector<TChatSearchHit> TChatSearch::Search(const std::string& AFolder,
                                                const std::string& AQuery,
                                                const std::map<std::string, std::string>& ATitles,
                                                std::size_t AMaxHits, std::stop_token AStop,
                                                const TOnHits& AOnHits) {
  const std::vector<std::string> Words = SearchWords(AQuery);
  if (Words.empty()) return {};
  std::lock_guard Lock(FMutex);

  const std::uint64_t Search = ++FSearches;
  std::vector<std::pair<std::string, fs::path>> Files;  // by file name
  std::error_code Error;
  for (fs::directory_iterator It(AFolder, Error), End; !Error && It != End; It.increment(Error)) {
    const fs::path& P = It->path();
    if (P.extension() == ".json" && P.filename() != kChatFileListName && It->is_regular_file(Error))
      Files.emplace_back(P.filename().string(), P);
  }
  // Chat files are named by their time of creation: the newest sorts last.
  std::sort(Files.begin(), Files.end(),
            [](const auto& A, const auto& B) { return A.first > B.first; });

  std::vector<TChatSearchHit> Hits, Batch;
  std::size_t Reads = 0;  // files read since the last batch was handed on
  for (const auto& File : Files) {
    const fs::path& P = File.second;
    if (AOnHits && !Batch.empty() && Reads >= kReadsPerBatch && !AStop.stop_requested()) {
      AOnHits(std::exchange(Batch, {}));
      Reads = 0;
    }
    // Checked after a hand-over too, which may have asked for the stop.
    if (AStop.stop_requested()) break;
    std::error_code E1, E2;
    const auto Time = fs::last_write_time(P, E1);
    const auto Size = fs::file_size(P, E2);
    if (E1 || E2) continue;
    const std::size_t ReadBefore = FFilesRead;
    const bool Wanted = Hits.size() < AMaxHits;
    std::vector<std::string> JustRead;
    // Every file is indexed, hits or not, so the next search (the next key typed) finds it known.
    TChat& Chat = Load(P, Time, Size, Wanted ? &JustRead : nullptr);
    Chat.Listed = Search;
    const bool WasRead = FFilesRead != ReadBefore;
    Reads += WasRead ? 1 : 0;
    if (!Wanted) continue;
    auto Known = ATitles.find(P.string());
    const std::string* CatalogueTitle = Known != ATitles.end() ? &Known->second : nullptr;
    const std::string& Title = CatalogueTitle ? *CatalogueTitle : Chat.Title;
    if (!HoldsAll(Words, Title, Chat.Words)) continue;
    TChatSearchHit Hit;
    bool Found;
    if (WasRead) {
      Found = HitFrom(P, Title, JustRead, Words, Hit);
    } else {
      ++Reads;  // read again for its snippet
      Found = ReadHit(P, Words, CatalogueTitle, Hit);
    }
    if (Found) {
      Hits.push_back(Hit);
      Batch.push_back(std::move(Hit));
    }
  }
  if (AOnHits && !Batch.empty() && !AStop.stop_requested()) AOnHits(std::move(Batch));

  // Files gone since the last search are dropped (and those that could not be looked at, to be
  // read when they can); a search stopped early has not looked at them all.
  if (!AStop.stop_requested())
    std::erase_if(FChats, [&](const auto& AChat) { return AChat.second.Listed != Search; });
  return Hits;
}

}  // namespace kestrill
