// The agent turn: send the conversation with the tools, show and store what comes back, run
// the tools asked for, and repeat until the model answers without a tool call.
#include <algorithm>
#include <chrono>
#include <future>

#include "agent/ResponseParser.h"
#include "core/Clock.h"
#include "core/TextUtil.h"
#include "engine/ChatController.h"
#include "engine/ToolDispatcher.h"
#include "providers/ProviderHttp.h"
#include "providers/ToolCalls.h"
#include "view/ViewBridge.h"

namespace kestrill {

template <class T>
std::optional<T> TChatController::AskUi(std::uint64_t AGeneration, std::function<T()> AWork,
                                        std::stop_token AStop) {
  auto Answer = std::make_shared<std::promise<std::optional<T>>>();
  auto Future = Answer->get_future();
  std::weak_ptr<std::atomic<bool>> Alive = FAlive;
  FQueue.Post([this, Alive, AGeneration, Answer, Work = std::move(AWork)] {
    auto Flag = Alive.lock();
    if (!Flag || !*Flag || FIsTerminating || AGeneration != FGeneration) {
      Answer->set_value(std::nullopt);
      return;
    }
    Answer->set_value(Work());
  });
  // Never block past a stop request: a closing window waits for this task.
  while (Future.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
    if (AStop.stop_requested()) return std::nullopt;
  return Future.get();
}

void TChatController::PostBubble(std::uint64_t AGeneration, std::string AText, std::string AMsgId) {
  PostToTurn(AGeneration, [this, Text = std::move(AText), Id = std::move(AMsgId)] {
    // A tool line belongs to its call: a call the user deleted meanwhile gets none, and one the
    // user gave a text meanwhile is drawn as that text (two elements with one id would make the
    // page's edit and delete links ambiguous).
    if (!Id.empty() && std::none_of(FChatHistory.begin(), FChatHistory.end(),
                                     [&](const TChatMessage& M) {
                                       return M.MsgID == Id && M.Text.empty();
                                     }))
      return;
    AddMessageToWeb(FView, Text, "", false, Id);
  });
}

void TChatController::PostAppend(const std::shared_ptr<TTurn>& ATurn, TChatMessage AMessage,
                                 bool AShow, std::string AAnswerTime) {
  ATurn->Produce(std::move(AMessage), AShow, std::move(AAnswerTime));
  PostToTurn(ATurn->Generation(), [this] {
    if (FTurn) LandProduced(*FTurn);
  });
}

void TChatController::PostEndTurn(std::uint64_t AGeneration, std::string AErrorText) {
  PostToTurn(AGeneration, [this, Error = std::move(AErrorText)] {
    if (FTurn) LandProduced(*FTurn);
    FView.EvaluateJavaScript(kRemoveLoadingScript);
    if (!Error.empty()) AddMessageToWeb(FView, Error, "", false, "");
    FControls.SetSendEnabled(true);
    AfterTurn();
  });
}

// What the dispatcher needs, bound to one turn.
class TAgentToolHost : public IToolHost {
 public:
  TAgentToolHost(TChatController& AOwner, std::uint64_t AGeneration, std::stop_token AStop)
      : FOwner(AOwner), FGeneration(AGeneration), FStop(std::move(AStop)) {}
  void ShowStatus(const std::string& AText) override { FOwner.PostBubble(FGeneration, AText, ""); }
  void RunPageScript(const std::string& AScript) override {
    // Queued work outlives this host: it captures only what the controller owns.
    FOwner.PostToTurn(FGeneration,
                      [AScript, &View = FOwner.FView] { View.EvaluateJavaScript(AScript); });
  }
  bool ConfirmCommand(const std::string& AQuestion) override {
    auto Yes = FOwner.AskUi<bool>(
        FGeneration,
        [AQuestion, &Dialogs = FOwner.FDialogs] { return Dialogs.ConfirmYesNo(AQuestion); }, FStop);
    return Yes.value_or(false);
  }

 private:
  TChatController& FOwner;
  std::uint64_t FGeneration;
  std::stop_token FStop;
};

namespace {

struct TProviderRow {
  TAIProvider Provider;
  const TSettingKey<std::string>& Key;
  const TSettingKey<std::string>& Model;
  const char* DefaultModel;
  const char* MissingKeyText;
  std::string (*Call)(const TChatHistory&, const std::string&, const std::string&,
                      const TOpenAPIToolManager&);
};

// The most tool calls one turn runs, whatever the replies ask for.
constexpr std::size_t kMaxToolCallsPerTurn = 128;

constexpr char kSkippedCallsText[] = "이번 응답에서 요청한 도구 호출이 너무 많아 실행하지 않았습니다.";

const TProviderRow kProviderRows[] = {
    {aiGemini, keys::GeminiKey, keys::GeminiModel, "gemini-3.1-pro-preview",
     "Gemini API 키 값을 설정하지 않았습니다.", CallGeminiToolsAPI},
    {aiOpenAI, keys::OpenAIKey, keys::OpenAIModel, "gpt-5.4-mini",
     "OpenAI API 키 값을 설정하지 않았습니다.", CallOpenAIToolsAPI},
    {aiClaude, keys::ClaudeKey, keys::ClaudeModel, "claude-sonnet-4-6",
     "Claude API 키 값을 설정하지 않았습니다.", CallClaudeToolsAPI},
    {aiDeepseek, keys::DeepseekKey, keys::DeepseekModel, "deepseek-chat",
     "DeepSeek API 키 값을 설정하지 않았습니다.", CallDeepseekToolsAPI},
    {aiOllama, keys::OllamaURL, keys::OllamaModel, "gemma4:26b",
     "Ollama URL 값을 설정하지 않았습니다.", CallOllamaToolsAPI},
};

}  // namespace

std::string MissingKeyText(int AProviderIndex) {
  if (AProviderIndex < 0 || AProviderIndex >= static_cast<int>(std::size(kProviderRows)))
    return kProviderRows[0].MissingKeyText;
  return kProviderRows[AProviderIndex].MissingKeyText;
}

void TChatController::StartAgentTurn() {
  FTasks->Start([this, History = FChatHistory, Turn = FTurn](std::stop_token Stop) {
    RunAgentLoop(History, Turn, Stop);
  });
}

void TChatController::RunAgentLoop(TChatHistory History, std::shared_ptr<TTurn> Turn,
                                   std::stop_token Stop) {
  const std::uint64_t Gen = Turn->Generation();
  TAgentToolHost Host(*this, Gen, Stop);
  // A turn that ends before the model said or asked anything leaves its question unanswered:
  // the question leaves the conversation (its bubble is marked), as in chatbot mode.
  const std::size_t StartSize = History.size();
  const std::string PromptId = History.empty() ? std::string() : History.back().MsgID;
  auto Fail = [&](std::string AText) {
    if (History.size() == StartSize && !PromptId.empty())
      PostToTurn(Gen, [this, PromptId] { WithdrawPrompt(PromptId); });
    PostEndTurn(Gen, std::move(AText));
  };
  std::size_t TurnCalls = 0;  // tool calls run in this turn
  int MaxIterations = FConfig.Read(keys::MaxIterations, 25);
  if (MaxIterations <= 0) MaxIterations = 25;
  for (int Iteration = 0;; ++Iteration) {
    if (FIsTerminating || Stop.stop_requested()) return;
    if (Iteration >= MaxIterations) {
      // A model that asks for tool after tool would otherwise never stop sending requests.
      PostEndTurn(Gen, "에이전트 반복 한도(" + std::to_string(MaxIterations) +
                           "회)에 도달하여 작업을 중단했습니다. 필요하면 이어서 질문해 주세요.");
      return;
    }
    auto Index = AskUi<int>(
        Gen, [this] { return FControls.ProviderIndex(); }, Stop);
    if (!Index) return;
    TOpenAPIToolManager Tools;
    BuildToolSet(Tools, FConfig, *Index);

    std::string Raw;
    TAIProvider Provider = aiGemini;
    if (*Index >= 0 && *Index < static_cast<int>(std::size(kProviderRows))) {
      const TProviderRow& Row = kProviderRows[*Index];
      Provider = Row.Provider;
      std::string Key = FConfig.Read(Row.Key, "");
      if (Key.empty()) {
        // An unreadable settings file reads as empty keys: say what is really wrong.
        const std::string Problem = SettingsProblem(FConfig.FileName());
        PostToTurn(Gen, [this, Problem, Missing = std::string(Row.MissingKeyText)] {
          if (!Problem.empty())
            FDialogs.AlaramMessage(Problem);
          else
            OfferSettings(Missing);
        });
        Fail("");
        return;
      }
      if (auto Live = LiveReplyScope(Turn)) {
        Raw = Row.Call(History, Key, FConfig.Read(Row.Model, Row.DefaultModel), Tools);
        Live.reset();
        PostToTurn(Gen, [this] {  // the finished reply replaces it
          FView.RemoveLiveReply();
          if (FTurn) FTurn->LiveText.clear();
        });
      } else {
        Raw = Row.Call(History, Key, FConfig.Read(Row.Model, Row.DefaultModel), Tools);
      }
    }
    if (Stop.stop_requested()) return;  // cancelled during the call: nothing more to show
    const long Status = LastProviderStatus();

    TAIResponse Response;
    try {
      Response = TAIResponseParser::Parse(Provider, Raw);
    } catch (const std::exception& E) {
      Fail(std::string("모델의 응답을 읽을 수 없습니다: ") + E.what());
      return;
    }
    if (!Response.IsSuccess) {
      Fail(WithFailureLead(Response.ErrorMessage, Status));
      return;
    }
    const std::string Text = Trim(Response.TextContent);
    if (!Text.empty()) {
      TChatMessage Reply = CreateChatMessage(kRoleAssistant, Text);
      History.push_back(Reply);
      PostAppend(Turn, Reply, true);
    }
    if (!Response.HasToolCalls || Response.ToolCalls.empty()) {
      PostEndTurn(Gen, "");  // the indicator goes even when the last answer had no text
      return;
    }
    // A reply may ask for any number of calls: only so many run, from one reply and in one turn.
    const std::size_t Take = std::min({Response.ToolCalls.size(), kMaxToolCallsPerReply,
                                       kMaxToolCallsPerTurn - TurnCalls});
    const std::size_t Skipped = Response.ToolCalls.size() - Take;
    for (std::size_t Index = 0; Index < Take; ++Index) {
      const TAIToolCallRequest& Call = Response.ToolCalls[Index];
      ++TurnCalls;
      TChatMessage Request = CreateChatMessage(kRoleAssistant, "");
      Request.HasToolCall = true;
      Request.ToolCallId = Call.ToolCallId;
      Request.ToolName = Call.ToolName;
      Request.ToolArgs = Call.ArgumentsJSON;
      Request.RawToolCallJSON = Call.RawToolCallJSON;
      // Replaying a reply whose calls were not all taken would send every one of them again:
      // the calls taken are rebuilt from their messages instead.
      Request.RawPartsJSON = Skipped > 0 ? std::string() : Response.RawPartsJSON;
      if (Skipped > 0) Request.RawToolCallJSON.clear();
      Request.ReasoningContent = Response.ReasoningContent;
      History.push_back(Request);
      PostAppend(Turn, Request, false);
      PostBubble(Gen, "🛠️ [" + Call.ToolName + "] 실행 중...", Request.MsgID);

      std::string Result;
      std::string Failure;
      try {
        Result = ToolResultText(Call.ToolName,
                                ExecuteLocalTool(Call.ToolName, Call.ArgumentsJSON, FConfig, Host));
      } catch (const std::exception& E) {
        // The call gets a result all the same, so the conversation stays one the providers
        // accept on the next send.
        Failure = E.what();
        Result = "도구 실행 중 오류: " + Failure;
      }
      if (Failure.empty()) Host.RunPageScript(ToolFinishedScript(Request.MsgID, Call.ToolName));
      // The model learns, with the last call it got, that the others were not run.
      if (Skipped > 0 && Index + 1 == Take)
        Result += "\n\n(나머지 " + std::to_string(Skipped) + "개: " + kSkippedCallsText + ")";
      TChatMessage ToolResult = CreateChatMessage(kRoleTool, Result);
      ToolResult.HasToolCall = true;
      ToolResult.ToolCallId = Call.ToolCallId;
      ToolResult.ToolName = Call.ToolName;
      History.push_back(ToolResult);
      PostAppend(Turn, ToolResult, false, FormatClockTime(LocalNow()));
      if (!Failure.empty()) {
        PostEndTurn(Gen, "[" + Call.ToolName + "] 도구 실행 중 오류가 발생했습니다: " + Failure);
        return;
      }
    }
    if (Skipped > 0)
      PostBubble(Gen, "🛠️ " + std::to_string(Skipped) + "개: " + kSkippedCallsText, "");
    if (TurnCalls >= kMaxToolCallsPerTurn) {
      PostEndTurn(Gen, "이번 질문의 도구 호출 한도(" + std::to_string(kMaxToolCallsPerTurn) +
                           "회)에 도달하여 작업을 중단했습니다. 필요하면 이어서 질문해 주세요.");
      return;
    }
  }
}

}  // namespace kestrill
