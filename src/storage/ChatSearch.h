// Search over every saved chat in a folder, by title and by message text. What was read of each
// file is kept until the file changes, so only the first search reads every file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrill {

struct TChatSearchHit {
  std::string FilePath;
  std::string Title;
  // The words around the first match in the messages, "…" where cut; the start of the first
  // prompt when only the title matched.
  std::string Snippet;

  bool operator==(const TChatSearchHit&) const = default;
};

class TChatSearch {
 public:
  // The chats whose title or message texts hold every word of AQuery (ASCII letters compared
  // without regard to case), newest file name first, at most AMaxHits. ATitles gives the titles
  // the catalogue knows by file path (a renamed chat); other chats are titled from their first
  // prompt. An empty query finds nothing.
  std::vector<TChatSearchHit> Search(const std::string& AFolder, const std::string& AQuery,
                                     const std::map<std::string, std::string>& ATitles = {},
                                     std::size_t AMaxHits = 200);

  std::size_t FilesRead() const { return FFilesRead; }  // files parsed so far (not from memory)

 private:
  struct TChat {
    std::filesystem::file_time_type Time;
    std::uintmax_t Size = 0;
    std::string Title;                 // from the first prompt
    std::vector<std::string> Texts;    // the messages a reopened chat shows
    std::vector<std::string> Lowered;  // the same, ASCII letters in lower case (same offsets)
  };
  const TChat& Load(const std::filesystem::path& APath, std::filesystem::file_time_type ATime,
                    std::uintmax_t ASize);

  std::unordered_map<std::string, TChat> FChats;
  std::size_t FFilesRead = 0;
};

// The most words one search looks for; the rest of a longer query is left out (and the user
// told, SearchQueryNote).
inline constexpr std::size_t kMaxSearchWords = 32;

// The words of a search text: split at white space, ASCII letters in lower case, each word once,
// at most kMaxSearchWords (the first ones).
std::vector<std::string> SearchWords(const std::string& AQuery);

// What the user should know about how AQuery was read ("" when it was read whole).
std::string SearchQueryNote(const std::string& AQuery);

}  // namespace kestrill
