// kestrill-cli: one chat turn in a terminal, through the same engine as the window and with the
// same settings file and data folder.
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/TerminalShell.h"
#include "core/Config.h"
#include "core/Paths.h"
#include "engine/ChatController.h"
#include "view/ChatPage.h"

namespace {

using namespace kestrill;

constexpr std::string_view kUsage =
    "사용법: kestrill-cli [--provider gemini|chatgpt|claude|deepseek|ollama]\n"
    "                     [--mode chatbot|agent] [--allow-commands|--deny-commands] 질문...\n"
    "\n"
    "  질문을 한 번 보내고 답을 표준 출력에 씁니다. 상태와 오류는 표준 오류로 나갑니다.\n"
    "  공급자와 모드를 주지 않으면 설정 파일의 값(Model/Selected, Bot/Mode)을 씁니다.\n"
    "  끝 상태: 0 답을 받음, 1 답이 없음, 2 사용법 오류.\n"
    "\n"
    "  --allow-commands     에이전트가 요청하는 터미널 명령을 묻지 않고 허용합니다\n"
    "  --deny-commands      에이전트가 요청하는 터미널 명령을 모두 거부합니다\n"
    "                       (둘 다 없으면 터미널에서 묻고, 터미널이 없으면 거부합니다)\n"
    "  --help               이 도움말을 보여 줍니다\n"
    "  --version            버전을 보여 줍니다\n"
    "  --data-path          데이터 폴더와 설정 파일의 위치를 보여 줍니다\n"
    "  --write-page FILE    채팅 화면 페이지(chat_ui.html)를 FILE에 씁니다\n";

int UsageError(const std::string& AWhy) {
  std::cerr << AWhy << "\n\n" << kUsage;
  return 2;
}

int IndexOf(const std::vector<std::string_view>& AChoices, std::string_view AValue) {
  for (std::size_t I = 0; I < AChoices.size(); ++I)
    if (AChoices[I] == AValue) return static_cast<int>(I);
  return -1;
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

  static const std::vector<std::string_view> kProviders{"gemini", "chatgpt", "claude", "deepseek",
                                                        "ollama"};
  static const std::vector<std::string_view> kModes{"chatbot", "agent"};
  TConfig Config(SettingsFilePath());
  CheckAndCreateDirectory(kProductName);
  int Provider = Config.Read(keys::Selected, 0);
  int Mode = Config.Read(keys::Mode, 1);
  std::string Prompt;
  TCommandPolicy Policy = TCommandPolicy::Ask;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (A == "--allow-commands" || A == "--deny-commands") {
      Policy = A == "--allow-commands" ? TCommandPolicy::Allow : TCommandPolicy::Deny;
    } else if ((A == "--provider" || A == "--mode") && I + 1 < Args.size()) {
      const auto& Choices = A == "--provider" ? kProviders : kModes;
      int Index = IndexOf(Choices, Args[++I]);
      if (Index < 0) return UsageError("알 수 없는 값입니다: " + A + " " + Args[I]);
      (A == "--provider" ? Provider : Mode) = Index;
    } else if (A.rfind("--", 0) == 0) {
      return UsageError("알 수 없는 옵션입니다: " + A);
    } else {
      Prompt += (Prompt.empty() ? "" : " ") + A;
    }
  }
  if (Prompt.empty()) return UsageError("질문을 입력하세요.");
  if (Provider < 0 || Provider >= static_cast<int>(kProviders.size())) Provider = 0;
  if (Mode < 0 || Mode > 1) Mode = 1;

  TTerminalView View(std::cout, std::cerr);
  TTerminalQueue Queue;
  TTerminalDialogs Dialogs(std::cerr, Policy);
  TTerminalControls Controls(Prompt, Provider, Mode);
  TChatController Controller(Config, View, Queue, Dialogs, Controls);
  try {
    Controller.FormCreate();
  } catch (const std::exception& E) {
    std::cerr << "채팅 페이지를 쓸 수 없습니다: " << E.what() << '\n';  // the terminal needs none
  }
  Controller.ChatWebBrowserDidFinishLoad();
  Controller.btnSendClick();
  Queue.PumpUntil([&] { return Controls.SendEnabled(); });
  if (View.RepliesShown() > 0) return 0;
  std::cerr << "응답이 없습니다. 환경설정에서 " << kProviders[Provider]
            << "의 API 키(Ollama는 URL)를 확인하세요.\n";
  return 1;
}
