// The conversation engine behind the window and the terminal: the open conversation, the send
// pipeline and the work it runs in the background. Everything but the background task runs on
// the shell's UI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "core/ChatTypes.h"
#include "core/Config.h"
#include "engine/ChatFiles.h"
#include "engine/Ports.h"
#include "engine/TaskRunner.h"
#include "engine/Turn.h"
#include "providers/PlainCalls.h"
#include "view/ChatView.h"

namespace kestrill {

// The note an empty chat shows while no provider key or Ollama address is set ("" once one is).
std::string FirstStartNote(const TConfig& AConfig);
// Caps what one provider reply and one tool reply may bring, from the settings (MaxReplyMB,
// MaxToolBodyMB); read before every turn so a change applies to the next question.
void ApplyResponseLimits(const TConfig& AConfig);
// "OpenAI API 키 값을 설정하지 않았습니다." for the provider box's index.
std::string MissingKeyText(int AProviderIndex);
// Whether the provider of that index has its key (Ollama: its address).
bool ProviderIsSetUp(const TConfig& AConfig, int AProviderIndex);
// What a failure shown to the user starts with: a Korean sentence for the common causes (a
// wrong key, a rate limit, the provider's server, a time-out, no connection), then AText.
std::string WithFailureLead(const std::string& AText, long AStatus);

class TChatController {
 public:
  TChatController(TConfig& AConfig, IChatView& AView, IUiQueue& AQueue, IDialogs& ADialogs,
                  IMainControls& AControls);
  ~TChatController();  // same as Shutdown()

  // Window created: empty conversation, send button off until the page has loaded, page loaded.
  void FormCreate();
  // The page reports that it has loaded.
  void ChatWebBrowserDidFinishLoad();
  // Send button, Return key.
  void btnSendClick();
  // Return pressed in the input box (without Shift): sends when the button is enabled.
  // Returns true when the key was consumed (no line break is inserted).
  bool MemoInputReturnPressed(bool AShiftHeld);
  // An empty conversation on a freshly loaded page titled with the time; the chat left is not
  // saved here (see sbNewChatClick).
  void NewChat();
  // Ctrl+Delete.
  void ClearChatHistory();
  // The stop command (the send button while a turn runs, Escape, Ctrl+C in the terminal): the
  // request in flight is abandoned, a running console command ended, the chat kept as far as it
  // went and saved.
  void StopCommand();

  // --- Saved chats (the window's sidebar, menus and page links) ---
  // The window is first shown: the sidebar is filled from the catalogue.
  void FormShow();
  // New-chat button: the open chat is saved, then a new one starts.
  void sbNewChatClick();
  // A sidebar item was selected: the chat left is saved, the chat of AFileName opened.
  void ListBoxHistoryChange(const std::string& AFileName, const std::string& AItemTitle);
  // The chat item menu; AFileName is the target item's file ("" without a target).
  void MenuItemReRunClick(const std::string& AFileName);
  void MenuItemEditClick(const std::string& AFileName, const std::string& AItemTitle);
  void MenuItemDeleteClick(const std::string& AFileName, const std::string& AItemTitle);
  void MenuItemOpenClick(const std::string& AFileName);
  // A prompt file was chosen in the open dialog: a new chat starts with its text typed in.
  void OpenPromptFile(const std::string& APath);
  // Ctrl+S: the open chat is saved and continues on its file.
  void MenuSaveChatClick();
  // The settings dialog was confirmed: a provider without a key gives way to the one set up, and
  // the empty chat's note follows the settings at once.
  void SettingsSaved();
  // The page asks to navigate ("chatui://edit/ID", "chatui://delete/ID").
  void ChatWebBrowserShouldStartLoadWithRequest(const std::string& AUrl);
  // The window is about to close: the running turn is stopped (waited for at most ATimeout),
  // then the open chat is saved. False when the save failed and the user chose to stay.
  bool FormCloseQuery(std::chrono::milliseconds ATimeout = std::chrono::milliseconds(1000));
  // Replaces the conversation and the page with what AFileName holds (nothing when it is
  // missing; a file that cannot be read is reported and changes nothing).
  void LoadHistoryFromFile(const std::string& AFileName);
  // Opens a chat file, whether the catalogue lists it or not (the terminal's --chat).
  void OpenChat(const std::string& AFileName, const std::string& ATitle);

  // Attachments: the window shows the preview, the engine keeps the path.
  void ClearAttachment();
  // The attach command chose APath: false (and the user told why) for a file that would reach
  // the model as garbage (neither an image, a PDF nor text); otherwise it goes with the next send.
  bool AttachFile(const std::string& APath);
  // The window is closing: late results are dropped from now on, the running task is cancelled
  // and waited for at most ATimeout.
  void Shutdown(std::chrono::milliseconds ATimeout = std::chrono::milliseconds(1000));

  void SetAttachedFilePath(std::string APath) { FAttachedFilePath = std::move(APath); }
  const std::string& AttachedFilePath() const { return FAttachedFilePath; }
  const TChatHistory& ChatHistory() const { return FChatHistory; }
  TChatFileState ChatFileState() const { return FFiles.State; }
  void SetChatFileState(TChatFileState AState) { FFiles.State = AState; }
  const std::string& ChatFileName() const { return FFiles.FileName; }
  TChatFiles& Files() { return FFiles; }
  // Whether a chat is saved each time a turn ends (on in the window; the terminal saves only
  // when asked to).
  void SetSaveAfterTurn(bool AOn) { FSaveAfterTurn = AOn; }
  // From now on the save after each turn is written on a thread of its own (the window: its UI
  // thread must not wait on the disk), and freed memory is given back after each turn there.
  // Every other save waits for it first; a failure is reported once it is known and leaves the
  // chat modified.
  void WriteInBackground();
  // Waits for the background writes (tests, and before anything reads the files).
  void SettleWrites();
  // True from a send until its turn has ended or was stopped.
  bool TurnRunning() const { return FTurn != nullptr; }
  bool IsTerminating() const { return FIsTerminating; }
  // True while a background task runs or waits (tests and the terminal wait on it).
  bool Busy() const { return FTasks->Busy(); }

 private:
  friend class TAgentToolHost;

  void StartChatbotTurn();
  void StartAgentTurn();
  // The agent turn, on the background task. AHistory is the task's own copy of the
  // conversation; every message it adds is also produced into ATurn, which lands it in
  // FChatHistory on the UI thread.
  void RunAgentLoop(TChatHistory AHistory, std::shared_ptr<TTurn> ATurn, std::stop_token AStop);
  // Runs AWork on the UI thread later, only if the turn's conversation (AGeneration) is still the
  // open one and the window is not closing. Callable from any thread.
  void PostToTurn(std::uint64_t AGeneration, std::function<void()> AWork);
  // From the background task: runs AWork on the UI thread and waits for its answer; nullopt when
  // the turn was cancelled or its chat left meanwhile.
  template <class T>
  std::optional<T> AskUi(std::uint64_t AGeneration, std::function<T()> AWork,
                         std::stop_token AStop);
  // From the background task: shows AText as a bubble (AMsgId empty for a status line).
  void PostBubble(std::uint64_t AGeneration, std::string AText, std::string AMsgId);
  // From the background task: AMessage joins the conversation (drawn when AShow) on the UI
  // thread, or when the turn is stopped before that.
  void PostAppend(const std::shared_ptr<TTurn>& ATurn, TChatMessage AMessage, bool AShow,
                  std::string AAnswerTime = {});
  // UI thread: what ATurn produced and has not landed yet joins the conversation and the page.
  void LandProduced(TTurn& ATurn);
  // Ends a turn on the UI thread: indicator gone, AErrorText shown when given, send button back.
  void PostEndTurn(std::uint64_t AGeneration, std::string AErrorText);
  // Runs on the UI thread with the result of a chatbot turn whose chat is still open (its reply,
  // when there is one, was produced into the turn).
  void FinishChatbotTurn(TReplyStatus AStatus, const std::string& AFailureText,
                         const std::string& APromptId);
  // A question that got no answer leaves the conversation; its bubble stays, marked not sent,
  // so the chat on screen is the one in memory.
  void WithdrawPrompt(const std::string& AMsgId);
  // MenuSaveChatClick without the status line; true when a file holds it (or, ABackground, is
  // being written).
  bool SaveQuietly(bool ABackground = false);
  // Reports the background writes that failed.
  void ShowWriteErrors();
  // The first-start note (while no provider is set up) and the starter questions.
  void ShowEmptyChat();
  // Says which key is missing and offers to open the settings.
  void OfferSettings(const std::string& AMissing);
  // On the UI thread when a turn has ended however it ended: the chat is saved so a crash
  // later loses nothing.
  void AfterTurn(bool AStopped = false);
  // Stops a running turn: what it had produced and the part of a reply already shown stay in
  // the conversation, a tool call left without its result gets one, later results land nowhere,
  // the indicator goes and the send button comes back.
  void StopTurn();
  // Draws the whole page again as a reopened chat shows it: the text bubbles, the charts the
  // turns drew and the sources folded under the answers (and the indicator while a turn runs).
  void DrawConversation();
  // SaveAll: saves the open chat; a chat saved for the first time gets its sidebar item at the
  // top. False (and the user told) when the save failed.
  bool SaveAll(bool ABackground = false);
  // Leaves the open chat: saves it as its state requires. False when that failed (the user is
  // told and the chat stays).
  bool SaveBeforeLeaving(bool& AWasNewWithMessages);
  // Adds or removes what a save changed in the sidebar and reports a failure.
  bool ApplySave(const TSaveResult& AResult, bool AMakeItem);
  // After an edit or a delete in the page: saves and draws the page again.
  void SaveAndRedraw();
  double ItemFontSize(double ADefault) const;
  // With live replies on, the scope that streams this task's provider requests into a bubble
  // of their own (redrawn at most every 50 ms); null when they are off.
  std::unique_ptr<class TLiveReplyScope> LiveReplyScope(const std::shared_ptr<TTurn>& ATurn);
  TConfig& FConfig;
  IChatView& FView;
  IUiQueue& FQueue;
  IDialogs& FDialogs;
  IMainControls& FControls;

  TChatHistory FChatHistory;
  // Tool-result message id → local time its tool answered (this run's turns only).
  std::map<std::string, std::string> FAnswerTimes;
  TChatFiles FFiles;
  std::string FAttachedFilePath;
  std::map<std::string, std::string> FUnsent;  // questions that never reached the model, by id
  // The running turn; null when none runs.
  std::shared_ptr<TTurn> FTurn;
  bool FPageLoaded = false;
  bool FSaveAfterTurn = true;
  std::atomic<bool> FIsTerminating{false};
  // Bumped whenever a turn starts or ends and whenever the open conversation is replaced, so a
  // turn's late result can tell that it is no longer wanted and is dropped instead of landing
  // in another chat or turn.
  std::uint64_t FGeneration = 0;
  // Shared with queued work: false once the controller is gone.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
  std::unique_ptr<TTaskRunner> FTasks = std::make_unique<TTaskRunner>();
  std::shared_ptr<class TOrderedWriter> FWriter;  // null: every save is written at once
};

}  // namespace kestrill
