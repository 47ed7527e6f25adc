#include "engine/ChatController.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "core/Clock.h"
#include "core/FileHelpers.h"
#include "core/HttpClient.h"
#include "core/Paths.h"
#include "core/TextUtil.h"
#include "providers/PlainCalls.h"
#include "providers/ProviderHttp.h"
#include "view/ChatPage.h"
#include "view/ViewBridge.h"

namespace kestrill {
namespace {

// "mm-dd hh:nn 의 대화"
std::string NewChatTitle() {
  std::tm T = LocalNow();
  char Buf[40];
  std::snprintf(Buf, sizeof(Buf), "%02d-%02d %02d:%02d", T.tm_mon + 1, T.tm_mday, T.tm_hour,
                T.tm_min);
  return std::string(Buf) + " 의 대화";
}

}  // namespace

TChatController::TChatController(TConfig& AConfig, IChatView& AView, IUiQueue& AQueue,
                                 IDialogs& ADialogs, IMainControls& AControls)
    : FConfig(AConfig),
      FView(AView),
      FQueue(AQueue),
      FDialogs(ADialogs),
      FControls(AControls),
      FFiles(GetDataPath()) {}

TChatController::~TChatController() { Shutdown(); }

void TChatController::FormCreate() {
  FChatHistory.clear();
  FFiles.FileName.clear();
  FFiles.State = cfsNew;
  FControls.SetChatTitle("");
  FControls.SetSendEnabled(false);
  LoadDefaultHTML(FView);
}

void TChatController::ChatWebBrowserDidFinishLoad() {
  FPageLoaded = true;
  if (!FTurn) FControls.SetSendEnabled(true);
  if (FChatHistory.empty()) ShowEmptyChat();
}

void TChatController::ShowEmptyChat() {
  // A first start has nothing to answer with: the empty chat says where to begin.
  if (const std::string Note = FirstStartNote(FConfig); !Note.empty())
    AddMessageToWeb(FView, Note, "", false, "");
  FView.EvaluateJavaScript("showStarters();");
}

void TChatController::SettingsSaved() {
  // The provider box still on one without a key, while exactly one other is set up: the user
  // just set that one up, and means to use it.
  const int Current = FControls.ProviderIndex();
  if (!ProviderIsSetUp(FConfig, Current)) {
    std::vector<int> Ready;
    for (int I = 0; I < 5; ++I)
      if (ProviderIsSetUp(FConfig, I)) Ready.push_back(I);
    if (Ready.size() == 1) FControls.SetProviderIndex(Ready.front());
  }
  // The empty chat's note follows the settings at once, not at the next start.
  if (FChatHistory.empty() && FPageLoaded && !FTurn) {
    FView.EvaluateJavaScript(kClearPageScript);
    ShowEmptyChat();
  }
}

void TChatController::OfferSettings(const std::string& AMissing) {
  if (FDialogs.ConfirmYesNo(AMissing +
                            "\r\n환경설정에서 키를 넣거나, 오른쪽 위에서 키를 넣은 제공자를 "
                            "고르세요.\r\n\r\n환경설정을 열까요?"))
    FControls.OpenSettings();
}

bool ProviderIsSetUp(const TConfig& AConfig, int AProviderIndex) {
  static constexpr TSettingKey<std::string> kKeys[] = {keys::GeminiKey, keys::OpenAIKey,
                                                       keys::ClaudeKey, keys::DeepseekKey,
                                                       keys::OllamaURL};
  if (AProviderIndex < 0 || AProviderIndex >= 5) return false;
  return !Trim(AConfig.Read(kKeys[AProviderIndex], "")).empty();
}

std::string WithFailureLead(const std::string& AText, long AStatus) {
  std::string Lead;
  if (AStatus == 401 || AStatus == 403)
    Lead = "API 키가 올바르지 않거나 권한이 없습니다 (HTTP " + std::to_string(AStatus) +
           ") — 환경설정에서 키를 확인하세요.";
  else if (AStatus == 429)
    Lead = "요청 한도를 넘었습니다 (HTTP 429) — 잠시 후 다시 시도하세요.";
  else if (AStatus >= 500 && AStatus < 600)
    Lead = "제공자 서버에 오류가 났습니다 (HTTP " + std::to_string(AStatus) +
           ") — 잠시 후 다시 시도하세요.";
  else if (AText.find("Timeout was reached") != std::string::npos ||
           AText.find("time-out") != std::string::npos)
    Lead = "응답 시간이 초과되었습니다 — 잠시 후 다시 시도하세요.";
  else if (AText.find("Couldn't connect") != std::string::npos ||
           AText.find("Could not resolve") != std::string::npos ||
           AText.find("Couldn't resolve") != std::string::npos)
    Lead = "서버에 연결할 수 없습니다 — 인터넷 연결과 서버 주소를 확인하세요.";
  return Lead.empty() ? AText : Lead + "\n" + AText;
}

void ApplyResponseLimits(const TConfig& AConfig) {
  // In MB; blank, zero or negative keeps the default, and no setting lifts the cap past 4 GB.
  auto Bytes = [](int AMegabytes) {
    return AMegabytes > 0 ? std::size_t(std::min(AMegabytes, 4096)) << 20 : std::size_t{0};
  };
  SetResponseLimits(Bytes(AConfig.Read(keys::MaxReplyMB, 0)),
                    Bytes(AConfig.Read(keys::MaxToolBodyMB, 0)));
}

std::string FirstStartNote(const TConfig& AConfig) {
  for (auto Key : {keys::GeminiKey, keys::OpenAIKey, keys::ClaudeKey, keys::DeepseekKey,
                   keys::OllamaURL})
    if (!Trim(AConfig.Read(Key, "")).empty()) return "";
  return "💡 아직 AI 모델을 쓸 준비가 되지 않았습니다. 사이드바의 \"환경설정\"에서 Gemini, "
         "OpenAI, Claude, DeepSeek 중 하나의 API 키를 넣거나, Ollama 서버 주소(예: "
         "http://localhost:11434/api/chat)를 넣으세요. 사이드바가 보이지 않으면 왼쪽 위 로고 "
         "메뉴의 \"환경설정\"을 누르세요.";
}

bool TChatController::MemoInputReturnPressed(bool AShiftHeld) {
  if (AShiftHeld) return false;
  if (FControls.SendEnabled()) btnSendClick();
  return true;
}

void TChatController::btnSendClick() {
  const std::string Prompt = Trim(FControls.PromptText());
  if (Prompt.empty()) return;
  FControls.ClearPrompt();
  FControls.SetSendEnabled(false);

  TChatMessage User = CreateChatMessage(kRoleUser, Prompt);
  if (!FAttachedFilePath.empty()) {
    // A file the attach command let through (the terminal, an older window) is checked again.
    if (std::string Problem = AttachmentProblem(
            FAttachedFilePath, ProviderFromSelectorIndex(FControls.ProviderIndex()));
        !Problem.empty()) {
      FDialogs.AlaramMessage(Problem);
      ClearAttachment();
    }
  }
  if (!FAttachedFilePath.empty()) {
    User.AttachedFilePath = FAttachedFilePath;
    User.MimeType = GetMimeType(std::filesystem::path(FAttachedFilePath).extension().string());
    try {
      User.ImageBase64 = ImageToBase64(FAttachedFilePath);
    } catch (const EFileReadError& E) {
      // The prompt still goes out; the user learns why the file did not.
      FDialogs.AlaramMessage(E.what());
    }
  }
  FChatHistory.push_back(User);
  // The question alone changes the chat: closing before its answer must still save it.
  if (FFiles.State == cfsOpen) FFiles.State = cfsModified;
  AddMessageToWeb(FView, Prompt, FAttachedFilePath, true, User.MsgID);
  FView.EvaluateJavaScript(kShowLoadingScript);
  // The file went out with this prompt; the preview must not suggest it goes with the next.
  if (!FAttachedFilePath.empty()) ClearAttachment();
  int Deadline = FConfig.Read(keys::RequestTimeout, 300);
  SetProviderDeadline(std::chrono::seconds(Deadline > 0 ? Deadline : 300));
  ApplyResponseLimits(FConfig);

  const int Mode = FControls.ModeIndex();
  if (Mode != 0 && Mode != 1) {
    // No mode selected: nothing can answer, so the turn ends at once instead of hanging.
    FView.EvaluateJavaScript(kRemoveLoadingScript);
    WithdrawPrompt(User.MsgID);
    FControls.SetSendEnabled(true);
    return;
  }
  FTurn = std::make_shared<TTurn>(++FGeneration, Mode == 1);
  if (Mode == 0)
    StartChatbotTurn();
  else
    StartAgentTurn();
}

void TChatController::StartChatbotTurn() {
  // The task works on copies: the conversation itself is only touched on the UI thread.
  TChatHistory Snapshot = FChatHistory;
  const int Provider = FControls.ProviderIndex();
  std::string PromptId = Snapshot.back().MsgID;
  FTasks->Start([this, Snapshot = std::move(Snapshot), Provider, Turn = FTurn,
                 PromptId = std::move(PromptId)](std::stop_token Stop) {
    TPlainReply Reply;
    long Status = 0;
    if (auto Live = LiveReplyScope(Turn)) {
      Reply = CallAPI(Provider, FConfig, Snapshot);
      Status = LastProviderStatus();
      Live.reset();
      PostToTurn(Turn->Generation(), [this] {
        FView.RemoveLiveReply();
        if (FTurn) FTurn->LiveText.clear();
      });
    } else {
      Reply = CallAPI(Provider, FConfig, Snapshot);
      Status = LastProviderStatus();
    }
    if (Stop.stop_requested()) return;
    const bool Answered = Reply.Status == TReplyStatus::Answered && !Reply.Text.empty();
    if (Answered) Turn->Produce(CreateChatMessage(kRoleModel, Reply.Text), true);
    if (Reply.Status == TReplyStatus::Failed) Reply.Text = WithFailureLead(Reply.Text, Status);
    PostToTurn(Turn->Generation(),
               [this, Status = Answered ? TReplyStatus::Answered : Reply.Status,
                Failure = Answered ? std::string() : std::move(Reply.Text),
                PromptId] { FinishChatbotTurn(Status, Failure, PromptId); });
  });
}

std::unique_ptr<TLiveReplyScope> TChatController::LiveReplyScope(
    const std::shared_ptr<TTurn>& ATurn) {
  if (!FConfig.Read(keys::Stream, false)) return nullptr;
  auto Last = std::make_shared<std::chrono::steady_clock::time_point>();
  return std::make_unique<TLiveReplyScope>(
      [this, Gen = ATurn->Generation(), Last](const std::string& AText) {
        // Markdown is drawn again for every update: at most one every 50 ms reaches the page.
        const auto Now = std::chrono::steady_clock::now();
        if (Now - *Last < std::chrono::milliseconds(50)) return;
        *Last = Now;
        PostToTurn(Gen, [this, AText] {
          FView.ShowLiveReply(AText);
          if (FTurn) FTurn->LiveText = AText;  // what a stop keeps
        });
      },
      [this, Gen = ATurn->Generation()](const std::string& ANotice) {
        PostToTurn(Gen, [this, ANotice] { AddMessageToWeb(FView, ANotice, "", false, ""); });
      });
}

void TChatController::PostToTurn(std::uint64_t AGeneration, std::function<void()> AWork) {
  std::weak_ptr<std::atomic<bool>> Alive = FAlive;
  FQueue.Post([this, Alive, AGeneration, Work = std::move(AWork)] {
    auto Flag = Alive.lock();
    if (!Flag || !*Flag || FIsTerminating || AGeneration != FGeneration) return;
    Work();
  });
}

void TChatController::LandProduced(TTurn& ATurn) {
  std::vector<TProducedMessage> Produced = ATurn.TakeProduced();
  // A chat saved mid-turn (Ctrl+S) changes again with every message that lands afterwards.
  if (!Produced.empty() && FFiles.State == cfsOpen) FFiles.State = cfsModified;
  for (TProducedMessage& P : Produced) {
    if (P.Show) AddMessageToWeb(FView, P.Message.Text, "", false, P.Message.MsgID);
    if (!P.AnswerTime.empty()) FAnswerTimes[P.Message.MsgID] = P.AnswerTime;
    FChatHistory.push_back(std::move(P.Message));
  }
}

void TChatController::FinishChatbotTurn(TReplyStatus AStatus, const std::string& AFailureText,
                                        const std::string& APromptId) {
  FView.EvaluateJavaScript(kRemoveLoadingScript);
  if (FTurn) LandProduced(*FTurn);
  if (AStatus == TReplyStatus::Answered) {
    if (FFiles.State == cfsOpen) FFiles.State = cfsModified;
  } else {
    // A failure is shown as a line of ours, never stored as the model's words: sent back on the
    // next turn, it would be taken for what the model said.
    if (AStatus == TReplyStatus::Failed) AddMessageToWeb(FView, AFailureText, "", false, "");
    WithdrawPrompt(APromptId);
    // Without readable settings every key is empty; the user must learn why nothing came.
    if (AStatus == TReplyStatus::NotSent) {
      if (std::string Problem = SettingsProblem(FConfig.FileName()); !Problem.empty())
        FDialogs.AlaramMessage(Problem);
      else if (!ProviderIsSetUp(FConfig, FControls.ProviderIndex()))
        OfferSettings(MissingKeyText(FControls.ProviderIndex()));
    }
  }
  FControls.SetSendEnabled(true);
  AfterTurn();
}

void TChatController::WithdrawPrompt(const std::string& AMsgId) {
  for (auto It = FChatHistory.rbegin(); It != FChatHistory.rend(); ++It) {
    if (It->MsgID != AMsgId) continue;
    // The question is not lost: it goes back to the input box (unless the user is typing
    // another) and its bubble offers to send it again.
    if (Trim(FControls.PromptText()).empty()) FControls.SetPromptText(It->Text);
    FUnsent[AMsgId] = It->Text;
    FChatHistory.erase(std::next(It).base());
    break;
  }
  FView.MarkNotSent(AMsgId);
}

void TChatController::NewChat() {
  StopTurn();
  ++FGeneration;
  FChatHistory.clear();
  FUnsent.clear();
  FControls.ClearPrompt();
  // A file chosen before goes away with the preview: nothing is sent that is not shown.
  ClearAttachment();
  FPageLoaded = false;
  FControls.SetSendEnabled(false);  // until the fresh page has loaded
  LoadDefaultHTML(FView);
  FControls.SetChatTitle(NewChatTitle());
  FControls.SelectHistoryItem("");
  FFiles.FileName.clear();
  FFiles.Selected = {};
  FFiles.State = cfsNew;
}

void TChatController::ClearChatHistory() {
  StopTurn();
  ++FGeneration;
  kestrill::ClearChatHistory(FChatHistory, FView);
}

void TChatController::StopTurn() {
  if (!FTurn) return;
  std::shared_ptr<TTurn> Turn = std::move(FTurn);
  FTurn = nullptr;
  ++FGeneration;  // whatever the turn still posts is dropped
  FTasks->RequestStop();
  // What the turn had produced stays, and so does the part of a reply the user already saw.
  LandProduced(*Turn);
  FView.EvaluateJavaScript(kRemoveLoadingScript);
  if (FConfig.Read(keys::Stream, false) || !Turn->LiveText.empty()) FView.RemoveLiveReply();
  // A tool call left without its result gets one, so every provider accepts the chat again.
  if (!FChatHistory.empty() && FChatHistory.back().Role == kRoleAssistant &&
      FChatHistory.back().HasToolCall && FChatHistory.back().Text.empty()) {
    TChatMessage Result = CreateChatMessage(kRoleTool, "사용자가 도구 실행을 중지했습니다.");
    Result.HasToolCall = true;
    Result.ToolCallId = FChatHistory.back().ToolCallId;
    Result.ToolName = FChatHistory.back().ToolName;
    FChatHistory.push_back(std::move(Result));
  }
  if (const std::string Partial = Trim(Turn->LiveText); !Partial.empty()) {
    TChatMessage Reply = CreateChatMessage(Turn->ReplyRole(), Partial);
    AddMessageToWeb(FView, Reply.Text, "", false, Reply.MsgID);
    FChatHistory.push_back(std::move(Reply));
  }
  // The prompt stays in the conversation without its answer: the file no longer matches it.
  if (FFiles.State == cfsOpen) FFiles.State = cfsModified;
  if (FPageLoaded) FControls.SetSendEnabled(true);
}

void TChatController::StopCommand() {
  if (!FTurn) return;
  StopTurn();
  AddMessageToWeb(FView, "중지되었습니다.", "", false, "");
  AfterTurn(true);
}

bool TChatController::AttachFile(const std::string& APath) {
  // Checked against the provider chosen now; the send checks again against the one chosen then.
  const TAIProvider Provider = ProviderFromSelectorIndex(FControls.ProviderIndex());
  if (std::string Problem = AttachmentProblem(APath, Provider); !Problem.empty()) {
    FDialogs.AlaramMessage(Problem);
    return false;
  }
  FAttachedFilePath = APath;
  return true;
}

void TChatController::ClearAttachment() {
  FAttachedFilePath.clear();
  FControls.HideAttachmentPreview();
}

void TChatController::Shutdown(std::chrono::milliseconds ATimeout) {
  if (!FTasks) return;
  FIsTerminating = true;
  *FAlive = false;
  FTasks->RequestStop();
  FTasks->WaitIdle(ATimeout);
}

}  // namespace kestrill
