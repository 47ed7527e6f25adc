#include "engine/ChatFiles.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "core/Clock.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "engine/OrderedWriter.h"
#include "storage/HistoryFile.h"

namespace kestrill {
namespace {

bool Exists(const std::string& APath) {
  std::error_code Ec;
  return std::filesystem::exists(APath, Ec);
}

// Moves a file we could not read out of the way ("name.broken-yyyymmddhhnnss"), so nothing we
// write replaces what it held. Returns the new path, or "" when it could not be moved.
std::string MoveAside(const std::string& APath, const std::string& AStamp) {
  std::string Target = APath + ".broken-" + AStamp;
  for (int N = 2; Exists(Target); ++N)
    Target = APath + ".broken-" + AStamp + "-" + std::to_string(N);
  std::error_code Ec;
  std::filesystem::rename(APath, Target, Ec);
  return Ec ? std::string() : Target;
}

// The catalogue as read; a document that is not an array counts as unreadable.
TJsonFileRead ReadCatalogueFile(const std::string& APath) {
  TJsonFileRead Read = ReadChatJsonFile(APath);
  if (Read.Status == TJsonFileStatus::Ok && !Read.Value.is_array()) {
    Read.Status = TJsonFileStatus::Broken;
    Read.Error = "최상위가 배열이 아닙니다.";
  }
  return Read;
}

// Writes the catalogue at APath under the data folder's lock: what the file holds now with
// AChanges applied; a file gone gets AWhole; one that cannot be read is moved aside first.
// The Korean error text, empty on success. Touches nothing but the disk, so it can run on the
// writer thread with copies of the list.
std::string WriteCatalogue(const std::string& APath, const std::string& ALockPath,
                           const std::vector<TCatalogueChange>& AChanges,
                           const TCatalogueData& AWhole, const std::string& AStamp) {
  auto Failed = [&APath](const std::string& AReason) {
    std::string Text = SaveFailedText(APath, AReason);
    return Text.replace(0, std::string_view("채팅 파일을").size(), "채팅 목록 파일을");
  };
  try {
    TFileLock Lock(ALockPath);
    TJsonFileRead Read = ReadCatalogueFile(APath);
    if (Read.Status == TJsonFileStatus::Ok) {
      TCatalogueData OnDisk = ReadCatalogueDocument(Read.Value);
      ApplyCatalogueChanges(OnDisk, AChanges);
      WriteFileAtomic(APath, FormatCatalogue(OnDisk), TFileAccess::Private);
    } else {
      // Gone (the user deleted it): the whole list, or the entries loaded from it would go
      // too. Unreadable: kept aside, as when it is loaded.
      if (Read.Status == TJsonFileStatus::Broken && MoveAside(APath, AStamp).empty())
        return Failed("읽을 수 없는 원래 파일을 보관하지 못해 덮어쓰지 않았습니다.");
      WriteFileAtomic(APath, FormatCatalogue(AWhole), TFileAccess::Private);
    }
  } catch (const EFileWriteError& E) {
    return Failed(E.what());
  }
  return "";
}

}  // namespace

std::string SaveFailedText(const std::string& APath, const std::string& AReason) {
  std::string_view Reason = AReason;
  // Write errors start with the path, which the message already names.
  if (Reason.substr(0, APath.size() + 2) == APath + ": ") Reason.remove_prefix(APath.size() + 2);
  return "채팅 파일을 저장하지 못했습니다.\r\n[" + APath + "]\r\n" + std::string(Reason);
}

TChatFiles::TChatFiles(std::string ADataFolder, TClock AClock)
    : FDataFolder(std::move(ADataFolder)), FClock(std::move(AClock)) {}

TChatFiles::~TChatFiles() {
  if (FWriter) FWriter->Flush();
}

void TChatFiles::WriteInBackground(std::shared_ptr<TOrderedWriter> AWriter,
                                   std::function<void()> AFinished) {
  SettleWrites();
  FWriter = std::move(AWriter);
  FWriteFinished = std::move(AFinished);
}

void TChatFiles::SettleWrites() {
  if (!FWriter) return;
  FWriter->Flush();
  ApplyFinishedSaves();
}

std::vector<std::string> TChatFiles::TakeWriteErrors() {
  ApplyFinishedSaves();
  return std::exchange(FWriteErrors, {});
}

void TChatFiles::RunBackgroundSave(TBackgroundSave& S) {
  if (S.MoveAsideFirst && Exists(S.Path) && MoveAside(S.Path, S.Stamp).empty()) {
    S.Error = SaveFailedText(S.Path, "읽을 수 없던 원래 파일을 보관하지 못해 덮어쓰지 않았습니다.");
    return;
  }
  try {
    WriteFileAtomic(S.Path, S.Text, TFileAccess::Private);
  } catch (const EFileWriteError& E) {
    S.Error = SaveFailedText(S.Path, E.what());
    return;
  }
  S.FileWritten = true;
  S.Text = std::string();  // the chat's text is not needed any more; the outcome may wait
  S.Error = WriteCatalogue(S.CataloguePath, S.LockPath, S.Changes, S.Whole, S.Stamp);
  S.CatalogueWritten = S.Error.empty();
}

void TChatFiles::ApplyFinishedSaves() {
  std::deque<TBackgroundSave> Done;
  {
    std::lock_guard Lock(FFinished->Mutex);
    Done.swap(FFinished->Done);
  }
  for (TBackgroundSave& S : Done) {
    if (S.Error.empty()) continue;
    if (S.MoveAsideFirst && !S.FileWritten && FUnreadableFile.empty())
      FUnreadableFile = S.FileName;  // the unreadable original may still be there
    if (!S.CatalogueWritten) {
      // Recorded again, under whatever changed since (that is newer).
      std::vector<TCatalogueChange> Again;
      for (TCatalogueChange& C : S.Changes)
        if (std::none_of(FChanges.begin(), FChanges.end(),
                         [&C](const TCatalogueChange& N) { return N.FileName == C.FileName; }))
          Again.push_back(std::move(C));
      FChanges.insert(FChanges.begin(), std::make_move_iterator(Again.begin()),
                      std::make_move_iterator(Again.end()));
    }
    if (S.FileName == FileName && State == cfsOpen) State = cfsModified;
    FWriteErrors.push_back(S.Error);
  }
}

std::string TChatFiles::Resolve(const std::string& AFileName) const {
  if (AFileName.empty() || std::filesystem::path(AFileName).is_absolute()) return AFileName;
  return JoinPath(FDataFolder, AFileName);
}

bool TChatFiles::InDataFolder(const std::string& AFileName) const {
  if (AFileName.empty()) return false;
  namespace fs = std::filesystem;
  std::error_code Ec1, Ec2;
  const fs::path Folder = fs::weakly_canonical(fs::path(Resolve(AFileName)).parent_path(), Ec1);
  const fs::path Data = fs::weakly_canonical(FDataFolder, Ec2);
  return !Ec1 && !Ec2 && Folder == Data;
}

std::string TChatFiles::CatalogueFilePath() const {
  return JoinPath(FDataFolder, kChatFileListName);
}

std::tm TChatFiles::Now() const { return FClock ? FClock() : LocalNow(); }

std::string TChatFiles::TimeStampNow() const { return FormatTimeStamp(Now()); }

int TChatFiles::GetChatFileIndex(const std::string& AFileName) const {
  const auto& L = FCatalogue.Entries;
  for (std::size_t I = 0; I < L.size(); ++I)
    if (L[I].FileName == AFileName) return static_cast<int>(I);
  return -1;
}

TChatFile TChatFiles::EntryOf(const std::string& AFileName) const {
  int I = GetChatFileIndex(AFileName);
  if (I >= 0) return FCatalogue.Entries[static_cast<std::size_t>(I)];
  return TChatFile{AFileName, FileNameOfPath(AFileName), ""};
}

std::string TChatFiles::LoadChatFileList() {
  SettleWrites();
  const std::string Path = CatalogueFilePath();
  TJsonFileRead Read = ReadCatalogueFile(Path);
  if (Read.Status == TJsonFileStatus::Missing) return "";
  std::optional<TFileLock> Lock;
  if (Read.Status == TJsonFileStatus::Broken) {
    // Only what is still broken under the lock is moved aside: another process may have
    // replaced it with a good one meanwhile. Without the lock it is moved all the same.
    try {
      Lock.emplace(LockPath());
    } catch (const EFileWriteError&) {
    }
    Read = ReadCatalogueFile(Path);
    if (Read.Status == TJsonFileStatus::Missing) return "";
  }
  if (Read.Status == TJsonFileStatus::Broken) {
    std::string Kept = MoveAside(Path, TimeStampNow());
    std::string Text = "채팅 목록 파일을 읽을 수 없습니다.\r\n[" + Path + "]\r\n" + Read.Error;
    if (!Kept.empty()) Text += "\r\n원래 파일은 [" + Kept + "] 로 보관했습니다.";
    return Text;
  }
  FCatalogue = ReadCatalogueDocument(Read.Value);
  SortNewestFirst(FCatalogue.Entries);
  FLoadedCount = FCatalogue.Entries.size();
  FChanges.clear();
  return "";
}

std::vector<TChatFile> TChatFiles::LoadedEntriesToShow(int AMax) const {
  std::vector<TChatFile> Out;
  const std::size_t Max = static_cast<std::size_t>(std::max(AMax, 1));
  for (std::size_t I = 0; I < FLoadedCount && I < FCatalogue.Entries.size() && Out.size() < Max;
       ++I)
    if (IsListable(FCatalogue.Entries[I])) Out.push_back(FCatalogue.Entries[I]);
  return Out;
}

std::string TChatFiles::LockPath() const { return CatalogueFilePath() + ".lock"; }

std::string TChatFiles::SaveChatFileList() {
  SettleWrites();
  std::string Error =
      WriteCatalogue(CatalogueFilePath(), LockPath(), FChanges, FCatalogue, TimeStampNow());
  if (Error.empty()) FChanges.clear();  // on failure they stay recorded for the next write
  return Error;
}

std::string TChatFiles::FreeName(const std::string& AStamp, int& ANumber) const {
  for (;; ++ANumber) {
    std::string Path =
        JoinPath(FDataFolder, ANumber == 1 ? AStamp + ".json"
                                           : AStamp + "-" + std::to_string(ANumber) + ".json");
    if (!Exists(Path) && GetChatFileIndex(Path) < 0) return Path;
  }
}

std::string TChatFiles::GetHistoryFilePath() const {
  if (State != cfsNew) return FileName;
  // Two chats saved within one second would otherwise share a name.
  int Number = 1;
  return FreeName(TimeStampNow(), Number);
}

std::string TChatFiles::WriteHistory(const std::string& AFileName, const TChatHistory& AHistory) {
  if (AFileName.empty()) return SaveFailedText(AFileName, "파일 이름이 없습니다.");
  const std::string APath = Resolve(AFileName);
  if (AFileName == FUnreadableFile && Exists(APath)) {
    if (MoveAside(APath, TimeStampNow()).empty())
      return SaveFailedText(APath, "읽을 수 없던 원래 파일을 보관하지 못해 덮어쓰지 않았습니다.");
  }
  try {
    WriteFileAtomic(APath, FormatHistoryFile(AHistory), TFileAccess::Private);
  } catch (const EFileWriteError& E) {
    return SaveFailedText(APath, E.what());
  }
  if (AFileName == FUnreadableFile) FUnreadableFile.clear();
  return "";
}

std::string TChatFiles::WriteNewHistory(const std::string& AStamp, const TChatHistory& AHistory,
                                        std::string& APath) {
  const std::string Text = FormatHistoryFile(AHistory);
  // A free name can be taken by another process (a second window, kestrill-cli) before we
  // create it; then the next one is tried. The bound only stops a folder gone mad.
  int Number = 1;
  for (int Tries = 0; Tries < 1000; ++Tries, ++Number) {
    APath = FreeName(AStamp, Number);
    try {
      if (WriteFileAtomicNew(APath, Text, TFileAccess::Private)) return "";
    } catch (const EFileWriteError& E) {
      return SaveFailedText(APath, E.what());
    }
  }
  return SaveFailedText(APath, "비어 있는 파일 이름을 찾지 못했습니다.");
}

TSaveResult TChatFiles::SaveChat(const TChatHistory& AHistory, bool AWriteEmpty,
                                 bool ABackground) {
  const bool Later = ABackground && FWriter;
  if (Later)
    ApplyFinishedSaves();
  else
    SettleWrites();
  TSaveResult R;
  if (State == cfsOpen) return R;
  if (AHistory.empty() && (State == cfsNew || !AWriteEmpty)) return R;
  // A file outside the data folder (a catalogue entry pointing elsewhere) is never written:
  // the chat's changes become a new chat in the data folder and the file stays as it was.
  const bool Elsewhere = State != cfsNew && !FileName.empty() && !MayWrite(FileName);
  if (Elsewhere && AHistory.empty()) return R;
  std::string Path = FileName;
  const bool Rewrite = State != cfsNew && !Elsewhere;
  if (Later && Rewrite && !Path.empty()) return SaveLater(AHistory);
  R.Error = Rewrite ? WriteHistory(Path, AHistory)
                    : WriteNewHistory(TimeStampNow(), AHistory, Path);
  if (!R.Ok()) return R;
  R.Entry.FileName = Path;
  R.Entry.LastModified = TimeStampNow();
  if (State == cfsNew || Elsewhere) {
    R.Entry.Title = Elsewhere && !Selected.Title.empty() ? Selected.Title
                    : AHistory.empty()                   ? ""
                                                         : TitleFromText(AHistory.front().Text);
    AddEntry(R.Entry);
    R.AddedEntry = true;
    if (Elsewhere) {
      R.Notice = "데이터 폴더 밖의 파일에는 쓰지 않으므로, 이 채팅은 새 채팅으로 저장했습니다. "
                 "원래 파일은 그대로 있습니다.\r\n[" + FileName + "]";
      FileName = Path;
      Selected = R.Entry;
    }
  } else {
    RecordRewrite(Path, R.Entry.LastModified, AHistory, R);
  }
  R.Error = SaveChatFileList();
  return R;
}

void TChatFiles::RecordRewrite(const std::string& APath, const std::string& AStamp,
                               const TChatHistory& AHistory, TSaveResult& R) {
  Selected.FileName = APath;
  Selected.LastModified = AStamp;
  if (Selected.Title.empty()) Selected.Title = EntryOf(APath).Title;
  int Index = GetChatFileIndex(APath);
  if (Index >= 0) {
    ReplaceEntry(Index, Selected);  // the entry keeps its title
  } else {
    // A chat whose entry is gone (or that was opened from elsewhere) is listed again, under
    // its first message like any chat saved for the first time.
    if (!AHistory.empty()) Selected.Title = TitleFromText(AHistory.front().Text);
    AddEntry(Selected);
    R.AddedEntry = true;
  }
  R.Entry = Selected;
}

TSaveResult TChatFiles::SaveLater(const TChatHistory& AHistory) {
  TSaveResult R;
  TBackgroundSave S;
  S.FileName = FileName;
  S.Path = Resolve(FileName);
  S.Stamp = TimeStampNow();
  // The document is made here, from the conversation as it is now; only the disk work waits.
  S.Text = FormatHistoryFile(AHistory);
  S.MoveAsideFirst = FileName == FUnreadableFile;
  if (S.MoveAsideFirst) FUnreadableFile.clear();  // the writer moves it aside before writing
  RecordRewrite(FileName, S.Stamp, AHistory, R);
  S.CataloguePath = CatalogueFilePath();
  S.LockPath = LockPath();
  S.Changes = std::exchange(FChanges, {});
  S.Whole = FCatalogue;
  FWriter->Post([Save = std::move(S), Finished = FFinished, Told = FWriteFinished]() mutable {
    RunBackgroundSave(Save);
    {
      std::lock_guard Lock(Finished->Mutex);
      Finished->Done.push_back(std::move(Save));
    }
    if (Told) Told();
  });
  return R;
}

void TChatFiles::Record(const std::string& AFileName, std::optional<TChatFile> AEntry) {
  for (TCatalogueChange& C : FChanges)
    if (C.FileName == AFileName) {
      C.Entry = std::move(AEntry);
      return;
    }
  FChanges.push_back({AFileName, std::move(AEntry)});
}

void TChatFiles::RecordGone(const std::string& AFileName) {
  const int Other = GetChatFileIndex(AFileName);
  Record(AFileName, Other >= 0 ? std::optional(FCatalogue.Entries[static_cast<std::size_t>(Other)])
                               : std::nullopt);
}

void TChatFiles::AddEntry(const TChatFile& AEntry) {
  FCatalogue.Entries.push_back(AEntry);
  Record(AEntry.FileName, AEntry);
}

void TChatFiles::RemoveEntry(int AIndex) {
  auto& L = FCatalogue.Entries;
  if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= L.size()) return;
  const std::string Name = L[static_cast<std::size_t>(AIndex)].FileName;
  L.erase(L.begin() + AIndex);
  if (static_cast<std::size_t>(AIndex) < FLoadedCount) --FLoadedCount;
  RecordGone(Name);
}

void TChatFiles::ReplaceEntry(int AIndex, const TChatFile& AEntry) {
  auto& L = FCatalogue.Entries;
  if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= L.size()) return;
  const std::string Old = L[static_cast<std::size_t>(AIndex)].FileName;
  L[static_cast<std::size_t>(AIndex)] = AEntry;
  if (Old != AEntry.FileName) RecordGone(Old);
  Record(AEntry.FileName, AEntry);
}

}  // namespace kestrill
