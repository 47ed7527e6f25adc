// Search over every saved chat in a folder, by title and by message text. Of each file only its
// title and its distinct words are kept (until the file changes), so only the first search reads
// every file and what is kept stays small next to the chats; a hit's snippet is made by reading
// its one file again.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
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

// The most hits one search lists.
inline constexpr std::size_t kMaxSearchHits = 200;

class TChatSearch {
 public:
  // Takes the hits found so far, in the order of the final list (called on the searching thread).
  using TOnHits = std::function<void(std::vector<TChatSearchHit> AHits)>;

  // The chats whose title or message texts hold every word of AQuery (ASCII letters compared
  // without regard to case), newest file name first, at most AMaxHits. ATitles gives the titles
  // the catalogue knows by file path (a renamed chat); other chats are titled from their first
  // prompt. An empty query finds nothing.
  // AOnHits, when given, gets the same hits in batches while the files are read. Once AStop is
  // requested no more files are read nor hits handed on, and the hits so far are returned. One
  // search at a time: a second caller waits for the first to end.
  std::vector<TChatSearchHit> Search(const std::string& AFolder, const std::string& AQuery,
                                     const std::map<std::string, std::string>& ATitles = {},
                                     std::size_t AMaxHits = kMaxSearchHits,
                                     std::stop_token AStop = {}, const TOnHits& AOnHits = {});

  // Files read to learn their words so far (not counted: a hit's file read again for its
  // snippet by a later search).
  std::size_t FilesRead() const { return FFilesRead; }

 private:
  struct TChat {
    std::filesystem::file_time_type Time;
    std::uintmax_t Size = 0;
    std::string Title;  // from the first prompt
    // Every distinct white-space-delimited word of the messages a reopened chat shows, ASCII
    // letters in lower case, each followed by a line break.
    std::string Words;
    std::uint64_t Listed = 0;  // the last search that found the file in the folder
  };
  // The chat kept for APath, read again when its time or size changed. When it is read and
  // ATexts is given, its message texts are handed over: a hit in it needs no second read.
  TChat& Load(const std::filesystem::path& APath, std::filesystem::file_time_type ATime,
              std::uintmax_t ASize, std::vector<std::string>* ATexts);
  // AHit for APath, read again for its snippet; false when, read now, it no longer matches.
  bool ReadHit(const std::filesystem::path& APath, const std::vector<std::string>& AWords,
               const std::string* ACatalogueTitle, TChatSearchHit& AHit);

  std::mutex FMutex;  // held by the running search: it owns FChats
  std::unordered_map<std::string, TChat> FChats;
  std::uint64_t FSearches = 0;
  std::atomic<std::size_t> FFilesRead = 0;
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
