// The controller's saved-chat commands: opening, saving, re-running, renaming and deleting
// chats, the page's edit and delete links, and the save at close.
#include <algorithm>
#include <filesystem>

#include "core/FileHelpers.h"
#include "core/Memory.h"
#include "core/Paths.h"
#include "core/TextUtil.h"
#include "engine/ChatController.h"
#include "engine/FigureMarks.h"
#include "engine/OrderedWriter.h"
#include "engine/ToolDispatcher.h"
#include "engine/ToolSources.h"
#include "storage/HistoryFile.h"
#include "view/PageCommands.h"
#include "view/ViewBridge.h"

namespace kestrill {
namespace {

constexpr char kNoChatSelected[] = "선택된 채팅 파일이 없습니다.";

bool FileExists(const std::string& APath) {
  std::error_code Ec;
  return !APath.empty() && std::filesystem::is_regular_file(APath, Ec);
}

std::string MissingFileText(const std::string& APath) {
  return APath + " 파일이 존재하지 않습니다.";
}

// Whether APath reads as a chat: a JSON array of our message objects and nothing else.
bool IsChatFile(const std::string& APath) {
  TJsonFileRead Read = ReadChatJsonFile(APath);
  return Read.Status == TJsonFileStatus::Ok && Read.Value.is_array() &&
         ReadHistoryDocument(Read.Value, true).SkippedBadElements == 0;
}

std::string NotAChatText(const std::string& APath, const THistoryRead& ARead) {
  if (ARead.Messages.empty())
    return "채팅 파일이 아닙니다. 대화 메시지의 목록이 아닌 파일은 채팅으로 열거나 덮어쓰지 "
           "않습니다.\r\n[" + APath + "]";
  return "채팅 파일의 일부(" + std::to_string(ARead.SkippedBadElements) +
         "개 항목)를 읽을 수 없습니다. 읽은 메시지만 보여 주며, 원래 파일은 저장하기 전에 따로 "
         "보관합니다.\r\n[" + APath + "]";
}

}  // namespace

double TChatController::ItemFontSize(double ADefault) const {
  return FConfig.Read(keys::FontSize, ADefault);
}

void TChatController::FormShow() {
  if (std::string Problem = SettingsProblem(FConfig.FileName()); !Problem.empty())
    FDialogs.AlaramMessage(Problem);
  std::string Error = FFiles.LoadChatFileList();
  FControls.ClearHistoryItems();
  const double Size = ItemFontSize(12);
  for (const TChatFile& E : FFiles.LoadedEntriesToShow(FConfig.Read(keys::MaxFileCount, 30)))
    FControls.AddHistoryItem(OneLine(E.Title), E.FileName, false, Size);  // older titles had breaks
  if (!Error.empty()) FDialogs.AlaramMessage(Error);
}

bool TChatController::ApplySave(const TSaveResult& AResult, bool AMakeItem) {
  if (AMakeItem && AResult.AddedEntry)
    FControls.AddHistoryItem(AResult.Entry.Title, AResult.Entry.FileName, true, ItemFontSize(12));
  if (!AResult.Notice.empty()) {
    FControls.SelectHistoryItem(AResult.Entry.FileName);
    FDialogs.AlaramMessage(AResult.Notice);
  }
  if (!AResult.Ok()) FDialogs.AlaramMessage(AResult.Error);
  return AResult.Ok();
}

void TChatController::WriteInBackground() {
  if (FWriter) return;
  FWriter = std::make_shared<TOrderedWriter>();
  std::weak_ptr<std::atomic<bool>> Alive = FAlive;
  FFiles.WriteInBackground(FWriter, [this, Alive] {
    FQueue.Post([this, Alive] {
      auto Flag = Alive.lock();
      if (Flag && *Flag) ShowWriteErrors();
    });
  });
}

void TChatController::SettleWrites() {
  FFiles.SettleWrites();
  ShowWriteErrors();
}

void TChatController::ShowWriteErrors() {
  for (const std::string& Error : FFiles.TakeWriteErrors()) FDialogs.AlaramMessage(Error);
}

bool TChatController::SaveAll(bool ABackground) {
  // A background write still running may yet fail and make the chat modified again.
  if (!ABackground) FFiles.SettleWrites();
  if (FFiles.State == cfsNew && FChatHistory.empty()) return true;
  if (FFiles.State == cfsOpen) return true;
  const bool WasNew = FFiles.State == cfsNew;
  TSaveResult R = FFiles.SaveChat(FChatHistory, false, ABackground);
  ApplySave(R, true);
  if (WasNew && !R.Entry.FileName.empty()) {
    // The chat continues on the file just written. If only the catalogue failed, the chat
    // stays modified so the next save writes both again.
    FFiles.FileName = R.Entry.FileName;
    FFiles.Selected = R.Entry;
    FFiles.State = cfsModified;
    FControls.SelectHistoryItem(R.Entry.FileName);
  }
  return R.Ok();
}

void TChatController::MenuSaveChatClick() {
  const bool Saved = SaveQuietly();
  // The user's own command says it worked; the save after every turn stays quiet.
  if (Saved && !FFiles.FileName.empty())
    FControls.ShowStatusMessage("저장했습니다: " + FileNameOfPath(FFiles.FileName));
}

bool TChatController::SaveQuietly(bool ABackground) {
  if (!SaveAll(ABackground)) return false;
  if (FFiles.State == cfsNew && FChatHistory.empty()) return false;
  FFiles.State = cfsOpen;
  return true;
}

void TChatController::AfterTurn(bool AStopped) {
  FTurn = nullptr;
  // Every line that said something was under way says it ended, and how.
  FView.EvaluateJavaScript(AStopped ? "endTurnLines(true);" : "endTurnLines(false);");
  ++FGeneration;  // nothing of the turn just ended lands after this
  // The answers of the turn just ended get their sources folded under them.
  std::size_t LastQuestion = 0;
  for (std::size_t I = FChatHistory.size(); I-- > 0;)
    if (FChatHistory[I].Role == kRoleUser) {
      LastQuestion = I;
      break;
    }
  ShowSourcesOf(FView, FChatHistory, FAnswerTimes, LastQuestion);
  if (FConfig.Read(keys::FigureMarks, true)) ShowFiguresOf(FView, FChatHistory, LastQuestion);
  if (FSaveAfterTurn && !FChatHistory.empty()) SaveQuietly(/*ABackground=*/true);
  // A turn leaves many large buffers freed behind it (requests, replies, scripts, the saved
  // document); the allocator would keep them all.
  if (FWriter) FWriter->Post(ReturnFreedMemory);
}

void TChatController::sbNewChatClick() {
  StopTurn();
  if (!SaveAll()) return;  // the user was told; the chat stays so nothing is lost
  NewChat();
}

bool TChatController::SaveBeforeLeaving(bool& AWasNewWithMessages) {
  AWasNewWithMessages = false;
  FFiles.SettleWrites();
  if (FFiles.State == cfsNew && FChatHistory.empty()) return true;
  const bool WasNew = FFiles.State == cfsNew;
  TSaveResult R = FFiles.SaveChat(FChatHistory);
  if (!R.Ok()) {
    if (WasNew && !R.Entry.FileName.empty()) {
      // The chat file exists but its entry did not reach the catalogue: it is listed now and
      // the catalogue is written again with the next save.
      FControls.AddHistoryItem(R.Entry.Title, R.Entry.FileName, true, ItemFontSize(12));
      FDialogs.AlaramMessage(R.Error);
      return true;
    }
    FDialogs.AlaramMessage(R.Error);
    return false;
  }
  AWasNewWithMessages = WasNew && R.AddedEntry;
  if (!WasNew && R.AddedEntry)
    FControls.AddHistoryItem(R.Entry.Title, R.Entry.FileName, true, ItemFontSize(12));
  if (!R.Notice.empty()) FDialogs.AlaramMessage(R.Notice);
  return true;
}

void TChatController::ListBoxHistoryChange(const std::string& AFileName,
                                           const std::string& AItemTitle) {
  if (AFileName.empty()) return;
  OpenChat(AFileName, AItemTitle);
}

void TChatController::OpenChat(const std::string& AFileName, const std::string& ATitle) {
  StopTurn();
  bool WasNewWithMessages = false;
  const std::string LeftFile = FFiles.FileName;
  if (!SaveBeforeLeaving(WasNewWithMessages)) {
    // Staying in the chat that could not be saved: the sidebar points at it again.
    FControls.SelectHistoryItem(LeftFile);
    return;
  }
  TChatFile Left = WasNewWithMessages ? FFiles.List().back() : TChatFile{};
  FControls.SetChatTitle(ATitle);
  ++FGeneration;
  FChatHistory.clear();
  FUnsent.clear();
  FControls.ClearPrompt();
  FView.EvaluateJavaScript(kClearPageScript);
  LoadHistoryFromFile(AFileName);
  // The file's text, its document and the page's script are freed by now.
  if (FWriter) FWriter->Post(ReturnFreedMemory);
  FFiles.FileName = AFileName;
  FFiles.State = cfsOpen;
  FFiles.Selected = FFiles.EntryOf(AFileName);
  if (WasNewWithMessages) {
    // The chat left has a catalogue entry now but no item; it gets one once this handler has
    // returned (a selection change must not change the list under the event).
    std::weak_ptr<std::atomic<bool>> Alive = FAlive;
    FQueue.Post([this, Alive, Left] {
      auto Flag = Alive.lock();
      if (!Flag || !*Flag) return;
      FControls.AddHistoryItem(Left.Title, Left.FileName, true, ItemFontSize(10));
    });
  }
}

void TChatController::LoadHistoryFromFile(const std::string& AFileName) {
  TJsonFileRead Read = ReadChatJsonFile(FFiles.Resolve(AFileName));
  if (Read.Status == TJsonFileStatus::Missing) return;
  if (Read.Status == TJsonFileStatus::Ok && !Read.Value.is_array()) {
    Read.Status = TJsonFileStatus::Broken;
    Read.Error = "최상위가 배열이 아닙니다.";
  }
  if (Read.Status == TJsonFileStatus::Broken) {
    FFiles.MarkUnreadable(AFileName);
    FDialogs.AlaramMessage("채팅 파일을 읽을 수 없습니다.\r\n[" + AFileName + "]\r\n" + Read.Error);
    return;
  }
  // Every element the file holds comes back, tool requests and results included: later
  // requests, the sources, the export and the next save see the chat as it was.
  THistoryRead History = ReadHistoryDocument(Read.Value, /*AKeepToolMessages=*/true);
  if (History.SkippedBadElements > 0) {
    // Not (wholly) a chat: the original is moved aside before anything writes this path.
    FFiles.MarkUnreadable(AFileName);
    FDialogs.AlaramMessage(NotAChatText(AFileName, History));
    if (History.Messages.empty()) return;
  }
  FChatHistory = std::move(History.Messages);
  DrawConversation();
}

void TChatController::DrawConversation() {
  // The whole conversation reaches the page as one script: one evaluation per bubble made a
  // long chat take more than a second to open.
  TReplayBatch Replay(FView);
  Replay.EvaluateJavaScript(kClearPageScript);
  for (const TChatMessage& M : FChatHistory) {
    if (auto Chart = ChartScriptOfCall(M))
      Replay.EvaluateJavaScript(*Chart);
    else if (M.Role != kRoleTool && !M.Text.empty())
      AddMessageToWeb(Replay, M.Text, M.AttachedFilePath, M.Role == kRoleUser, M.MsgID);
  }
  // Where each answer's numbers came from, folded under it, and which of them the data backs.
  ShowSourcesOf(Replay, FChatHistory, FAnswerTimes);
  if (FConfig.Read(keys::FigureMarks, true)) ShowFiguresOf(Replay, FChatHistory);
  if (FTurn) Replay.EvaluateJavaScript(kShowLoadingScript);
  Replay.Send();
}

void TChatController::MenuItemReRunClick(const std::string& AFileName) {
  if (AFileName.empty()) return;
  const TChatFile Entry = FFiles.EntryOf(AFileName);
  if (FControls.SelectHistoryItem(AFileName)) {
    OpenChat(AFileName, Entry.Title);
    if (FFiles.FileName != AFileName) return;  // the chat left could not be saved: it stays
  }
  FFiles.SettleWrites();  // the file read next is the one written last
  if (!FileExists(FFiles.Resolve(AFileName))) {
    FDialogs.AlaramMessage(MissingFileText(AFileName));
    return;
  }
  TJsonFileRead Read = ReadChatJsonFile(FFiles.Resolve(AFileName));
  if (Read.Status != TJsonFileStatus::Ok || !Read.Value.is_array()) {
    FDialogs.AlaramMessage("채팅 파일을 읽을 수 없습니다.\r\n[" + AFileName + "]\r\n" + Read.Error);
    return;
  }
  if (Read.Value.empty()) {
    FDialogs.AlaramMessage("다시 실행할 프롬프트가 없습니다.");
    return;
  }
  // Confirming replaces what the file holds: the user is told before, not after.
  auto Edited = FDialogs.EditText(FirstPromptOf(Read.Value),
                                  "확인하면 이 채팅이 이 질문으로 다시 시작되고, 지금까지의 대화는 "
                                  "저장된 파일에서 지워집니다.");
  // A blank prompt would send nothing and leave the chat empty: treated as a cancel.
  if (!Edited || Trim(*Edited).empty()) return;
  StopTurn();
  ++FGeneration;
  FChatHistory.clear();
  FControls.SetPromptText(*Edited);
  FFiles.FileName = AFileName;
  FFiles.State = cfsModified;
  FFiles.Selected = FFiles.EntryOf(AFileName);
  FView.EvaluateJavaScript(kClearPageScript);
  ClearAttachment();  // the preview goes, and with it the file: nothing hidden is sent
  btnSendClick();
}

void TChatController::MenuItemEditClick(const std::string& AFileName,
                                        const std::string& AItemTitle) {
  if (AFileName.empty()) return;
  auto Typed = FDialogs.EditLine(AItemTitle);
  // A title is one line; a blank one would make the chat vanish from the list: a cancel.
  if (!Typed) return;
  const std::string Title = OneLine(*Typed);
  if (Title.empty()) return;
  const std::optional<std::string> Edited = Title;
  int Index = FFiles.GetChatFileIndex(AFileName);
  if (Index < 0) return;
  FControls.SetHistoryItemTitle(AFileName, *Edited);
  FFiles.ReplaceEntry(Index, TChatFile{AFileName, *Edited, FFiles.TimeStampNow()});
  if (AFileName == FFiles.FileName) {
    FControls.SetChatTitle(*Edited);
    FFiles.Selected.Title = *Edited;
  }
  if (std::string Error = FFiles.SaveChatFileList(); !Error.empty()) FDialogs.AlaramMessage(Error);
}

void TChatController::MenuItemDeleteClick(const std::string& AFileName,
                                          const std::string& AItemTitle) {
  if (AFileName.empty()) {
    FDialogs.AlaramMessage(kNoChatSelected);
    return;
  }
  if (!FDialogs.ConfirmYesNo("다음 채팅 파일을 삭제하시겠습니까?\r\n[" + AItemTitle + "]")) return;
  FFiles.SettleWrites();  // a write still on its way would bring the file back
  // Only a chat file in the data folder is deleted; an entry naming anything else leaves the
  // list and its file stays.
  const std::string Path = FFiles.Resolve(AFileName);
  std::string Kept;
  if (!FFiles.InDataFolder(AFileName))
    Kept = "데이터 폴더 밖의 파일이므로 지우지 않고 목록에서만 뺐습니다.";
  else if (FileExists(Path) && !IsChatFile(Path))
    Kept = "채팅 파일이 아니므로 지우지 않고 목록에서만 뺐습니다.";
  if (Kept.empty()) {
    std::error_code Ec;
    std::filesystem::remove(Path, Ec);  // a file already gone is fine
  } else {
    FDialogs.AlaramMessage(Kept + "\r\n[" + Path + "]");
  }
  int Index = FFiles.GetChatFileIndex(AFileName);
  if (Index < 0) {
    FDialogs.AlaramMessage(kNoChatSelected);
  } else {
    FFiles.RemoveEntry(Index);
    if (AFileName == FFiles.FileName) NewChat();  // the deleted chat is not saved again
    if (std::string Error = FFiles.SaveChatFileList(); !Error.empty())
      FDialogs.AlaramMessage(Error);
  }
  FControls.RemoveHistoryItem(AFileName);
}

void TChatController::MenuItemOpenClick(const std::string& AFileName) {
  if (AFileName.empty()) return;
  if (FileExists(FFiles.Resolve(AFileName)))
    FControls.OpenURL(FFiles.Resolve(AFileName));
  else
    FDialogs.AlaramMessage(MissingFileText(AFileName));
}

void TChatController::OpenPromptFile(const std::string& APath) {
  sbNewChatClick();
  if (FFiles.State != cfsNew || !FChatHistory.empty()) return;  // the old chat could not be saved
  try {
    FControls.SetPromptText(ReadAllTextAutoEncoding(APath));
  } catch (const EFileReadError& E) {
    FDialogs.AlaramMessage(E.what());
  }
}

void TChatController::ChatWebBrowserShouldStartLoadWithRequest(const std::string& AUrl) {
  auto Command = ParsePageCommand(AUrl);
  if (!Command) return;
  if (Command->Action == "delete") {
    if (!FDialogs.ConfirmYesNo("이 메시지를 대화 기록에서 삭제하시겠습니까?")) return;
    for (auto It = FChatHistory.rbegin(); It != FChatHistory.rend(); ++It) {
      if (It->MsgID == Command->Target) {
        FChatHistory.erase(std::next(It).base());
        FFiles.State = cfsModified;
        break;
      }
    }
    if (FFiles.State == cfsModified) SaveAndRedraw();
  } else if (Command->Action == "retry") {
    // A question that never reached the model, sent again as it was.
    auto Unsent = FUnsent.find(Command->Target);
    if (Unsent == FUnsent.end() || FTurn || !FControls.SendEnabled()) return;
    const std::string Typed = FControls.PromptText();
    const std::string Question = Unsent->second;
    FControls.SetPromptText(Question);
    btnSendClick();
    // What the user was typing meanwhile is still there after the resend.
    if (!Trim(Typed).empty() && Typed != Question) FControls.SetPromptText(Typed);
  } else if (Command->Action == "prompt") {
    // A starter question fills the input box; the user sends it.
    FControls.SetPromptText(PercentDecoded(Command->Target));
  } else if (Command->Action == "edit") {
    auto Find = [&] {
      return std::find_if(FChatHistory.begin(), FChatHistory.end(),
                          [&](const TChatMessage& M) { return M.MsgID == Command->Target; });
    };
    if (Find() == FChatHistory.end()) return;
    // The editor is modal: a running turn keeps adding to the conversation meanwhile, so the
    // message is looked up again by its id once the dialog has closed.
    auto Edited = FDialogs.EditText(Find()->Text);
    if (!Edited) return;
    auto It = Find();
    if (It == FChatHistory.end()) return;  // gone meanwhile (its chat was left or stopped)
    It->Text = *Edited;
    FFiles.State = cfsModified;
    SaveAndRedraw();
  }
}

void TChatController::SaveAndRedraw() {
  // The page always shows what memory holds, as a reopened chat would show it.
  DrawConversation();
  if (FTurn) return;  // the turn saves the chat when it ends
  if (FFiles.FileName.empty()) {
    // A chat never saved stays new until it has a file; with messages it gets one now, as the
    // save command would give it.
    FFiles.State = cfsNew;
    if (FChatHistory.empty() || !SaveAll() || FFiles.FileName.empty()) return;
  } else {
    // The user asked for this change: even a chat emptied by it is written ("[]").
    TSaveResult R = FFiles.SaveChat(FChatHistory, /*AWriteEmpty=*/true);
    if (!ApplySave(R, true)) return;
  }
  FFiles.State = cfsOpen;
}

bool TChatController::FormCloseQuery(std::chrono::milliseconds ATimeout) {
  // No further iteration starts and nothing queued touches the window; the step in flight gets
  // ATimeout to finish, then the turn ends as the stop command ends it, keeping what it made.
  FIsTerminating = true;
  if (FTurn) {
    FTasks->WaitIdle(ATimeout);
    StopTurn();
  }
  ++FGeneration;
  FTasks->RequestStop();
  FFiles.SettleWrites();  // a failed background write makes the chat modified again
  if (FChatHistory.empty()) return true;
  TSaveResult R = FFiles.SaveChat(FChatHistory);
  if (R.Ok()) return true;
  if (FDialogs.ConfirmYesNo(R.Error + "\r\n\r\n저장하지 않고 닫으시겠습니까?")) return true;
  // The user stays: the window works on as before, the stopped turn's results stay dropped.
  FIsTerminating = false;
  if (!R.Entry.FileName.empty() && FFiles.State == cfsNew) {
    FFiles.FileName = R.Entry.FileName;
    FFiles.Selected = R.Entry;
    FFiles.State = cfsModified;
    FControls.AddHistoryItem(R.Entry.Title, R.Entry.FileName, true, ItemFontSize(12));
  }
  if (FPageLoaded) FControls.SetSendEnabled(true);
  return false;
}

}  // namespace kestrill
