// The open chat against its file, and the catalogue of saved chats: where a chat is written,
// the save rules of each state, and the catalogue file. No window: the controller shows the
// results.
#pragma once

#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/ChatTypes.h"
#include "storage/Catalogue.h"
#include "storage/ChatJson.h"

namespace kestrill {

class TOrderedWriter;

// What one save did. A chat file can be written while the catalogue write fails; then Entry is
// filled and Error says what failed.
struct TSaveResult {
  TChatFile Entry;          // empty when no chat file was written
  bool AddedEntry = false;  // the catalogue got a new entry for this chat
  std::string Error;        // Korean, naming the file; empty on success
  // A chat whose file lies outside the data folder was saved as a new chat instead (Korean,
  // saying so); the open chat now continues on the new file.
  std::string Notice;
  bool Ok() const { return Error.empty(); }
};

class TChatFiles {
 public:
  using TClock = std::function<std::tm()>;
  explicit TChatFiles(std::string ADataFolder, TClock AClock = nullptr);
  ~TChatFiles();  // waits for the background writes
  TChatFiles(const TChatFiles&) = delete;
  TChatFiles& operator=(const TChatFiles&) = delete;

  // The open chat.
  TChatFileState State = cfsNew;
  std::string FileName;
  TChatFile Selected;  // the open chat's catalogue entry
  // A chat file the user named himself (the terminal's --chat): it is written where it is,
  // even outside the data folder.
  std::string NamedByUser;

  const std::string& DataFolder() const { return FDataFolder; }
  std::string CatalogueFilePath() const;
  const std::vector<TChatFile>& List() const { return FCatalogue.Entries; }
  int GetChatFileIndex(const std::string& AFileName) const;
  // The entry of AFileName, or one made of the file name alone when the catalogue has none.
  TChatFile EntryOf(const std::string& AFileName) const;
  // Where a catalogued file name points: relative names are taken from the data folder, never
  // from the working folder.
  std::string Resolve(const std::string& AFileName) const;
  // Whether AFileName (resolved) names a file directly in the data folder. The program deletes,
  // renames and rewrites only such files (and the one the user named).
  bool InDataFolder(const std::string& AFileName) const;
  bool MayWrite(const std::string& AFileName) const {
    return InDataFolder(AFileName) || (!NamedByUser.empty() && AFileName == NamedByUser);
  }
  // "yyyymmddhhnnss" of the clock now.
  std::string TimeStampNow() const;
  std::tm Now() const;
  void SetClock(TClock AClock) { FClock = std::move(AClock); }

  // Reads the whole catalogue, newest first. A file that cannot be read is moved aside so the
  // next save cannot overwrite it; the Korean message returned says where (empty when fine).
  std::string LoadChatFileList();
  // The entries the sidebar shows: listable ones, newest first, at most AMax (at least 1) of the
  // loaded entries; entries added since start are not among them (they have their own items).
  std::vector<TChatFile> LoadedEntriesToShow(int AMax) const;
  // Writes the catalogue; the Korean error text, empty on success. Other processes (another
  // window, kestrill-cli) may have written it since it was read: under a lock of the data
  // folder the file is read again and only the entries this object added, replaced or removed
  // since its last write are changed in it, so nobody's entries are lost. A file gone meanwhile
  // gets this object's whole list; one that cannot be read is moved aside first. The list
  // (List()) stays this object's own view.
  std::string SaveChatFileList();

  // Where the open chat is written: its file, or for a new chat a new file named after the
  // time, with "-2", "-3"... added when that name is taken.
  std::string GetHistoryFilePath() const;
  // Saves the open chat as its state requires (new: a new file and catalogue entry; modified:
  // rewrites its file and the entry's time; open: nothing). The state is not changed here.
  // AWriteEmpty writes an empty conversation of a modified chat as "[]" instead of keeping the
  // file as it was. A new chat's file is created only where no file is: when another process
  // takes the name first, the next one is tried, so no save ever replaces another chat. A chat
  // file is created readable by its owner only; a rewritten one keeps its mode.
  // ABackground: a rewrite of a saved chat goes to the writer (when there is one) and this
  // returns at once, as if it had worked; a new chat's first file is still written here, since
  // its name is only known once it exists.
  TSaveResult SaveChat(const TChatHistory& AHistory, bool AWriteEmpty = false,
                       bool ABackground = false);

  // From now on background saves go to AWriter, in order with everything else posted there;
  // AFinished is called on the writer's thread after each (the owner then calls
  // TakeWriteErrors on its own thread). Every other disk access here waits for them first.
  void WriteInBackground(std::shared_ptr<TOrderedWriter> AWriter, std::function<void()> AFinished);
  // Waits for the background writes and takes their outcomes: after a failed one the chat, if
  // still open, is modified again and its catalogue changes are recorded again, so the next
  // save writes both; the failure's text waits in TakeWriteErrors.
  void SettleWrites();
  // The failures of background writes so far (Korean, naming the file), without waiting.
  std::vector<std::string> TakeWriteErrors();

  void AddEntry(const TChatFile& AEntry);
  void RemoveEntry(int AIndex);
  void ReplaceEntry(int AIndex, const TChatFile& AEntry);

  // A chat file that could not be read when opened: it is moved aside before being overwritten.
  void MarkUnreadable(const std::string& AFileName) { FUnreadableFile = AFileName; }

 private:
  std::string WriteHistory(const std::string& APath, const TChatHistory& AHistory);
  // Creates a new chat file named after AStamp; APath gets the name taken (or last tried).
  std::string WriteNewHistory(const std::string& AStamp, const TChatHistory& AHistory,
                              std::string& APath);
  // The first name from AStamp with suffix ANumber on ("-2", ...; 1 is none) that neither a file
  // nor an entry has; ANumber is left at its suffix.
  std::string FreeName(const std::string& AStamp, int& ANumber) const;
  void Record(const std::string& AFileName, std::optional<TChatFile> AEntry);
  // AFileName's change after an entry of it left the list: another entry of it, or removal.
  void RecordGone(const std::string& AFileName);
  std::string LockPath() const;

  // A background save: what it writes, copied, and what came of it.
  struct TBackgroundSave {
    std::string FileName, Path, Text, Stamp;
    bool MoveAsideFirst = false;
    std::string CataloguePath, LockPath;
    std::vector<TCatalogueChange> Changes;
    TCatalogueData Whole;
    bool FileWritten = false, CatalogueWritten = false;
    std::string Error;
  };
  struct TFinishedSaves {
    std::mutex Mutex;
    std::deque<TBackgroundSave> Done;
  };
  static void RunBackgroundSave(TBackgroundSave& ASave);
  TSaveResult SaveLater(const TChatHistory& AHistory);
  // The catalogue entry of a chat rewritten at APath (its time AStamp), into R.
  void RecordRewrite(const std::string& APath, const std::string& AStamp,
                     const TChatHistory& AHistory, TSaveResult& R);
  void ApplyFinishedSaves();

  std::string FDataFolder;
  TClock FClock;
  TCatalogueData FCatalogue;
  std::size_t FLoadedCount = 0;  // entries that came from the file, at the front of the list
  std::string FUnreadableFile;
  // Changes to the list since the catalogue was last written or read, one per file name.
  std::vector<TCatalogueChange> FChanges;
  std::shared_ptr<TOrderedWriter> FWriter;
  std::function<void()> FWriteFinished;
  std::shared_ptr<TFinishedSaves> FFinished = std::make_shared<TFinishedSaves>();
  std::vector<std::string> FWriteErrors;
};

// "채팅 파일을 저장하지 못했습니다." with the file and the reason.
std::string SaveFailedText(const std::string& APath, const std::string& AReason);

}  // namespace kestrill
