// kestrill-cli: Kestrill in a terminal, sharing the settings file and data folder with the
// window.
#include <cstring>
#include <exception>
#include <iostream>
#include <string_view>

#include "core/Config.h"
#include "core/Paths.h"
#include "view/ChatPage.h"

namespace {

constexpr std::string_view kUsage =
    "사용법: kestrill-cli [옵션]\n"
    "\n"
    "  --help         이 도움말을 보여 줍니다\n"
    "  --version      버전을 보여 줍니다\n"
    "  --data-path    데이터 폴더와 설정 파일의 위치를 보여 줍니다\n"
    "  --write-page FILE\n"
    "                 채팅 화면 페이지(chat_ui.html)를 FILE에 씁니다\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "kestrill-cli 0.5 (주식 챗봇 v0.5)\n";
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--data-path") == 0) {
    std::cout << kestrill::GetDataPath() << '\n' << kestrill::SettingsFilePath() << '\n';
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--write-page") == 0) {
    try {
      kestrill::WriteChatPage(argv[2]);
    } catch (const std::exception& E) {
      std::cerr << "페이지를 쓸 수 없습니다: " << E.what() << '\n';
      return 1;
    }
    return 0;
  }
  std::cerr << kUsage;
  return 2;
}
