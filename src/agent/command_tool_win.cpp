// Windows form of the command tool: cmd.exe /c COMMAND, hidden, stdout and stderr into one
// inherited pipe, 255-byte reads, the system's ANSI code page.
#include <windows.h>

#include <string>

#include "agent/CommandTool.h"

namespace kestrill {
namespace {

std::string FromAnsi(const std::string& ABytes) {
  if (ABytes.empty()) return {};
  int Wide =
      MultiByteToWideChar(CP_ACP, 0, ABytes.data(), static_cast<int>(ABytes.size()), nullptr, 0);
  std::wstring W(Wide, L'\0');
  MultiByteToWideChar(CP_ACP, 0, ABytes.data(), static_cast<int>(ABytes.size()), W.data(), Wide);
  int Utf8 = WideCharToMultiByte(CP_UTF8, 0, W.data(), Wide, nullptr, 0, nullptr, nullptr);
  std::string Out(Utf8, '\0');
  WideCharToMultiByte(CP_UTF8, 0, W.data(), Wide, Out.data(), Utf8, nullptr, nullptr);
  return Out;
}

std::wstring ToWide(const std::string& AUtf8) {
  int N = MultiByteToWideChar(CP_UTF8, 0, AUtf8.data(), static_cast<int>(AUtf8.size()), nullptr, 0);
  std::wstring W(N, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, AUtf8.data(), static_cast<int>(AUtf8.size()), W.data(), N);
  return W;
}

std::string LastErrorText() {
  wchar_t* Msg = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&Msg), 0, nullptr);
  std::wstring W = Msg ? Msg : L"";
  LocalFree(Msg);
  int N = WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string Out(N, '\0');
  WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), Out.data(), N, nullptr,
                      nullptr);
  return Out;
}

}  // namespace

std::string ExecuteCmdAndCapture(const std::string& ACommand) {
  SECURITY_ATTRIBUTES Sa{sizeof(Sa), nullptr, TRUE};
  HANDLE ReadEnd = nullptr, WriteEnd = nullptr;
  if (!CreatePipe(&ReadEnd, &WriteEnd, &Sa, 0)) return "파이프 생성 실패";
  STARTUPINFOW Si{};
  Si.cb = sizeof(Si);
  Si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  Si.wShowWindow = SW_HIDE;
  Si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  Si.hStdOutput = WriteEnd;
  Si.hStdError = WriteEnd;
  PROCESS_INFORMATION Pi{};
  std::wstring CommandLine = L"cmd.exe /c " + ToWide(ACommand);
  BOOL Started = CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &Si, &Pi);
  std::string StartError = Started ? std::string() : LastErrorText();
  CloseHandle(WriteEnd);
  if (!Started) {
    CloseHandle(ReadEnd);
    return "명령 실행 실패: " + StartError;
  }
  std::string Bytes;
  char Buf[256];
  DWORD Got = 0;
  while (ReadFile(ReadEnd, Buf, 255, &Got, nullptr) && Got > 0) {
    Buf[Got] = '\0';
    Bytes.append(Buf, strlen(Buf));
  }
  CloseHandle(Pi.hThread);
  CloseHandle(Pi.hProcess);
  CloseHandle(ReadEnd);
  std::string Text = FromAnsi(Bytes);
  return Text.empty() ? "명령이 실행되었으나 출력 결과가 없습니다." : Text;
}

}  // namespace kestrill
