// kestrill-cli: one chat turn in a terminal, through the same engine as the window and with the
// same settings file and data folder.
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/SavedChatArgs.h"
#include "cli/TerminalInterrupt.h"
#include "core/FileIO.h"
#include "engine/FigureMarks.h"
#include "cli/TerminalShell.h"
#include "core/Config.h"
#include "core/FileHelpers.h"
#include "core/Paths.h"
#include "engine/ChatController.h"
#include "view/ChatPage.h"

namespace {

using namespace kestrill;

constexpr std::string_view kUsage =
    "사용법: kestrill-cli [--provider gemini|chatgpt|claude|deepseek|ollama]\n"
    "                     [--mode chatbot|agent] [--allow-commands|--deny-commands]\n"
    "                     [--save | --chat FILE] [--attach FILE] [--figures FILE] 질문...\n"
    "       kestrill-cli --list\n"
    "       kestrill-cli --search 단어...\n"
    "       kestrill-cli --chat FILE --export OUT.md|OUT.html\n"
    "\n"
    "  질문을 한 번 보내고 답을 표준 출력에 씁니다. 상태와 오류는 표준 오류로 나갑니다.\n"
    "  공급자와 모드를 주지 않으면 설정 파일의 값(Model/Selected, Bot/Mode)을 씁니다.\n"
    "  --save나 --chat이 없으면 대화는 파일로 남지 않습니다.\n"
    "  끝 상태: 0 답을 받음, 1 답이 없음(요청 실패 포함) 또는 채팅 파일을 읽거나 저장하지 못함,\n"
    "           2 사용법 오류(없거나 보낼 수 없는 파일을 준 경우 포함), 130 Ctrl+C로 중지함.\n"
    "  답을 기다리는 동안 Ctrl+C를 누르면 질문을 중지합니다(--save나 --chat이 있으면\n"
    "  그때까지의 대화를 저장합니다).\n"
    "\n"
    "  --save               대화를 데이터 폴더에 새 채팅으로 저장하고 채팅 목록에 넣습니다\n"
    "                       (저장한 파일의 경로를 표준 오류에 씁니다)\n"
    "  --chat FILE          저장된 채팅 FILE을 이어 갑니다. 이전 메시지와 함께 질문을 보내고\n"
    "                       새 답만 표준 출력에 쓴 뒤, 대화 전체를 FILE에 다시 저장합니다\n"
    "  --attach FILE        FILE을 질문에 첨부합니다\n"
    "  --figures FILE       에이전트 답의 수치마다 도구 결과로 확인되는지를 FILE에 JSON으로\n"
    "                       씁니다(text, status: backed|derived|unbacked, source)\n"
    "  --list               채팅 목록을 최근 것부터 한 줄에 하나씩 보여 줍니다\n"
    "                       (파일, 제목, 시각(yyyymmddhhnnss)을 탭으로 나눕니다)\n"
    "  --search 단어...     데이터 폴더의 모든 채팅에서 단어가 모두 들어 있는 채팅을 찾아\n"
    "                       파일, 제목, 찾은 곳의 앞뒤 글을 탭으로 나눠 보여 줍니다\n"
    "  --export OUT         --chat FILE의 채팅을 OUT에 씁니다(.md는 마크다운, .html은\n"
    "                       인터넷 없이 열리는 한 파일). 질문은 보내지 않습니다\n"
    "  --allow-commands     에이전트가 요청하는 터미널 명령을 묻지 않고 허용합니다\n"
    "  --deny-commands      에이전트가 요청하는 터미널 명령을 모두 거부합니다\n"
    "                       (둘 다 없으면 터미널에서 묻고, 터미널이 없으면 거부합니다)\n"
    "  --help               이 도움말을 보여 줍니다\n"
    "  --version            버전을 보여 줍니다\n"
    "  --data-path          데이터 폴더와 설정 파일의 위치를 보여 줍니다\n"
    "  --write-page FILE    채팅 화면 페이지(chat_ui.html)를 FILE에 씁니다\n";

// The figures of the turn's last agent answer, checked against the chat's tool results, as a
// JSON array ("[]" when the turn gave no such answer). "" when written, else why not.
std::string WriteFiguresFile(const TChatHistory& AHistory, const std::string& APath) {
  std::vector<TFigureCheck> Checks;
  for (std::size_t I = AHistory.size(); I-- > 0;) {
    if (AHistory[I].Role == kRoleUser) break;
    if (IsCheckedAnswer(AHistory, I)) {
      Checks = CheckAnswer(AHistory, I);
      break;
    }
  }
  try {
    WriteFileAtomic(APath, FiguresJson(Checks, /*AToolNameOnly=*/true));
  } catch (const EFileWriteError& E) {
    return std::string("수치 확인 결과를 쓰지 못했습니다: ") + E.what();
  }
  return "";
}

int UsageError(const std::string& AWhy) {
  std::cerr << AWhy << "\n\n" << kUsage;
  return 2;
}

int IndexOf(const std::vector<std::string_view>& AChoices, std::string_view AValue) {
  for (std::size_t I = 0; I < AChoices.size(); ++I)
    if (AChoices[I] == AValue) return static_cast<int>(I);
  return -1;
}

bool IsFile(const std::string& APath) {
  std::error_code Ec;
  return std::filesystem::is_regular_file(APath, Ec);
}

// Why APath cannot be used as the AWhat file ("채팅", "첨부할"): missing, or there but not a
// regular file (a folder, a FIFO, a device).
std::string NotAFileText(const std::string& AWhat, const std::string& APath) {
  std::error_code Ec;
  if (std::filesystem::exists(APath, Ec))
    return AWhat + " 파일로 쓸 수 없습니다(일반 파일이 아닙니다): " + APath;
  return AWhat + " 파일이 없습니다: " + APath;
}

std::string FullPath(const std::string& APath) {
  std::error_code Ec;
  auto Full = std::filesystem::absolute(APath, Ec);
  return Ec ? APath : Full.lexically_normal().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  if (Args.size() == 1 && Args[0] == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (Args.size() == 1 && Args[0] == "--version") {
    std::cout << "kestrill-cli 0.5 (주식 챗봇 v0.5)\n";
    return 0;
  }
  if (Args.size() == 1 && Args[0] == "--data-path") {
    std::cout << GetDataPath() << '\n' << SettingsFilePath() << '\n';
    return 0;
  }
  if (Args.size() == 2 && Args[0] == "--write-page") {
    try {
      WriteChatPage(Args[1]);
    } catch (const std::exception& E) {
      std::cerr << "페이지를 쓸 수 없습니다: " << E.what() << '\n';
      return 1;
    }
    return 0;
  }
  if (Args.size() == 1 && Args[0] == "--list") {
    TChatFiles Files(GetDataPath());
    return ListSavedChats(Files, std::cout, std::cerr);
  }

  if (!Args.empty() && Args[0] == "--search") {
    std::string Query;
    for (std::size_t I = 1; I < Args.size(); ++I) Query += (I > 1 ? " " : "") + Args[I];
    if (Query.find_first_not_of(" \t") == std::string::npos)
      return UsageError("찾을 단어를 입력하세요.");
    TChatFiles Files(GetDataPath());
    return SearchSavedChatsCommand(Files, Query, std::cout, std::cerr);
  }

  static const std::vector<std::string_view> kProviders{"gemini", "chatgpt", "claude", "deepseek",
                                                        "ollama"};
  static const std::vector<std::string_view> kModes{"chatbot", "agent"};
  TConfig Config(SettingsFilePath());
  CheckAndCreateDirectory(kProductName);
  int Provider = Config.Read(keys::Selected, 0);
  int Mode = Config.Read(keys::Mode, 1);
  std::string Prompt, ChatFile, AttachFile, ExportFile, FiguresFile;
  bool Save = false;
  TCommandPolicy Policy = TCommandPolicy::Ask;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    const bool TakesValue =
        A == "--provider" || A == "--mode" || A == "--chat" || A == "--attach" || A == "--export" ||
        A == "--figures";
    if (TakesValue && I + 1 >= Args.size()) return UsageError("값이 빠졌습니다: " + A);
    if (A == "--allow-commands" || A == "--deny-commands") {
      Policy = A == "--allow-commands" ? TCommandPolicy::Allow : TCommandPolicy::Deny;
    } else if (A == "--provider" || A == "--mode") {
      const auto& Choices = A == "--provider" ? kProviders : kModes;
      int Index = IndexOf(Choices, Args[++I]);
      if (Index < 0) return UsageError("알 수 없는 값입니다: " + A + " " + Args[I]);
      (A == "--provider" ? Provider : Mode) = Index;
    } else if (A == "--chat" || A == "--attach") {
      (A == "--chat" ? ChatFile : AttachFile) = Args[++I];
    } else if (A == "--export") {
      ExportFile = Args[++I];
    } else if (A == "--figures") {
      FiguresFile = Args[++I];
    } else if (A == "--save") {
      Save = true;
    } else if (A == "--list") {
      return UsageError("--list는 다른 옵션이나 질문과 함께 쓸 수 없습니다.");
    } else if (A.rfind("--", 0) == 0) {
      return UsageError("알 수 없는 옵션입니다: " + A);
    } else {
      Prompt += (Prompt.empty() ? "" : " ") + A;
    }
  }
  if (!ExportFile.empty()) {
    if (ChatFile.empty()) return UsageError("--export에는 내보낼 채팅(--chat FILE)이 필요합니다.");
    if (!Prompt.empty() || Save || !AttachFile.empty())
      return UsageError("--export는 질문이나 --save, --attach와 함께 쓸 수 없습니다.");
    if (!IsFile(ChatFile)) return UsageError(NotAFileText("채팅", ChatFile));
    TChatFiles Files(GetDataPath());
    return ExportSavedChatCommand(Files, ChatFile, ExportFile, std::cerr);
  }
  if (Prompt.empty()) return UsageError("질문을 입력하세요.");
  if (!ChatFile.empty() && !IsFile(ChatFile))
    return UsageError(NotAFileText("채팅", ChatFile));
  if (!AttachFile.empty() && !IsFile(AttachFile))
    return UsageError(NotAFileText("첨부할", AttachFile));
  if (!AttachFile.empty())
    if (std::string Problem = AttachmentProblem(AttachFile, ProviderFromSelectorIndex(Provider));
        !Problem.empty())
      return UsageError(ForTerminal(Problem));
  if (Provider < 0 || Provider >= static_cast<int>(kProviders.size())) Provider = 0;
  if (Mode < 0 || Mode > 1) Mode = 1;

  TTerminalView View(std::cout, std::cerr);
  TTerminalQueue Queue;
  // Ctrl+C only wakes the main thread, which stops the turn itself (the controller belongs to it).
  TInterruptWatch Interrupt([&Queue] { Queue.Post([] {}); });
  TTerminalDialogs Dialogs(std::cerr, Policy, Interrupt.InterruptedFd());
  TTerminalControls Controls(Prompt, Provider, Mode);
  TChatController Controller(Config, View, Queue, Dialogs, Controls);
  try {
    Controller.FormCreate();
  } catch (const std::exception& E) {
    std::cerr << "채팅 페이지를 쓸 수 없습니다: " << E.what() << '\n';  // the terminal needs none
  }
  Controller.ChatWebBrowserDidFinishLoad();
  // A one-off question leaves no file; a saved or continued chat is written when its turn ends.
  const bool Saving = Save || !ChatFile.empty();
  Controller.SetSaveAfterTurn(Saving);
  // The catalogue is read first so that saving adds to it rather than replacing it.
  if (Saving) Controller.FormShow();
  if (!ChatFile.empty()) {
    const std::string File = CatalogueSpellingOf(Controller.Files(), ChatFile);
    Controller.Files().NamedByUser = File;  // named here: written back where it is
    const int AlarmsBefore = Dialogs.AlarmCount();
    View.SetMuted(true);
    Controller.OpenChat(File, Controller.Files().EntryOf(File).Title);
    View.SetMuted(false);
    // A file we could not read must not be overwritten by a conversation that lost its past.
    if (Dialogs.AlarmCount() != AlarmsBefore) return 1;
    Controls.SetPromptText(Prompt);  // opening a chat empties the input box
  }
  if (!AttachFile.empty())
    Controller.SetAttachedFilePath(FullPath(AttachFile));  // the chat file keeps full paths
  if (Interrupt.Interrupted()) return kInterruptedExit;    // nothing asked yet, nothing to keep
  Controller.btnSendClick();
  Queue.PumpUntil([&] { return Controls.SendEnabled() || Interrupt.Interrupted(); });
  if (Interrupt.Interrupted()) {
    // The conversation so far is kept (and saved when saving is on) before we go.
    Controller.StopCommand();
    if (Saving && Controller.ChatFileState() == cfsOpen && !Controller.ChatFileName().empty())
      std::cerr << "저장됨: " << Controller.ChatFileName() << '\n';
    return kInterruptedExit;
  }
  if (!FiguresFile.empty())
    if (std::string Error = WriteFiguresFile(Controller.ChatHistory(), FiguresFile); !Error.empty())
      std::cerr << Error << '\n';
  // A chat that was written and listed is open and unchanged again, however its turn ended (a
  // turn cut at the iteration cap is saved too); the reason for anything else is already on
  // standard error.
  const bool Saved =
      Saving && Controller.ChatFileState() == cfsOpen && !Controller.ChatFileName().empty();
  if (Saved) std::cerr << "저장됨: " << Controller.ChatFileName() << '\n';
  if (View.RepliesShown() > 0) return !Saving || Saved ? 0 : 1;
  // A failure was printed on standard error already; the hint is for a question never sent.
  if (View.NoticesShown() == 0)
    std::cerr << "응답이 없습니다. 환경설정에서 " << kProviders[Provider]
              << "의 API 키(Ollama는 URL)를 확인하세요.\n";
  return 1;
}
