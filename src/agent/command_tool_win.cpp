// Windows form of the command tool: cmd.exe /c COMMAND, hidden, in a job of its own, stdout and
// stderr into one inherited pipe, 255-byte reads, the system's ANSI code page.
#include <windows.h>

#include <string>

#include "agent/CommandTool.h"
#include "core/HttpClient.h"

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
  // A job that ends every process in it when its last handle closes: whatever the command starts,
  // in the background or in a window of its own, ends with the command, and with us should we
  // end first. Without one (a job we are in may forbid it) only cmd.exe itself can be ended.
  HANDLE Job = CreateJobObjectW(nullptr, nullptr);
  if (Job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION Limits{};
    Limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(Job, JobObjectExtendedLimitInformation, &Limits, sizeof Limits)) {
      CloseHandle(Job);
      Job = nullptr;
    }
  }
  SECURITY_ATTRIBUTES Sa{sizeof(Sa), nullptr, TRUE};
  HANDLE ReadEnd = nullptr, WriteEnd = nullptr;
  if (!CreatePipe(&ReadEnd, &WriteEnd, &Sa, 0)) {
    if (Job) CloseHandle(Job);
    return "파이프 생성 실패";
  }
  SetHandleInformation(ReadEnd, HANDLE_FLAG_INHERIT, 0);  // the child gets the write end only
  STARTUPINFOW Si{};
  Si.cb = sizeof(Si);
  Si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  Si.wShowWindow = SW_HIDE;
  Si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  Si.hStdOutput = WriteEnd;
  Si.hStdError = WriteEnd;
  PROCESS_INFORMATION Pi{};
  std::wstring CommandLine = L"cmd.exe /c " + ToWide(ACommand);
  // Suspended until it is in the job, so nothing it starts can come before.
  BOOL Started = CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_SUSPENDED, nullptr, nullptr, &Si, &Pi);
  std::string StartError = Started ? std::string() : LastErrorText();
  CloseHandle(WriteEnd);
  if (!Started) {
    CloseHandle(ReadEnd);
    if (Job) CloseHandle(Job);
    return "명령 실행 실패: " + StartError;
  }
  if (Job && !AssignProcessToJobObject(Job, Pi.hProcess)) {
    CloseHandle(Job);
    Job = nullptr;
  }
  ResumeThread(Pi.hThread);

  // 255-byte reads; a zero byte ends its chunk. The pipe is only read when it holds something,
  // so a stop is seen within 50 ms however quiet the command is.
  std::string Bytes;
  char Buf[256];
  const std::stop_token Stop = CurrentCancelToken();
  bool Stopped = false;
  ULONGLONG ShellEnded = 0;
  for (;;) {
    if (Stop.stop_requested()) {
      Stopped = true;
      break;
    }
    DWORD Available = 0;
    if (!PeekNamedPipe(ReadEnd, nullptr, 0, nullptr, &Available, nullptr)) break;  // all closed
    if (Available == 0) {
      // cmd.exe has ended but something it left still holds the pipe: what the command printed
      // is all there.
      if (ShellEnded != 0) break;
      if (WaitForSingleObject(Pi.hProcess, 50) == WAIT_OBJECT_0) ShellEnded = GetTickCount64();
      continue;
    }
    DWORD Got = 0;
    if (!ReadFile(ReadEnd, Buf, 255, &Got, nullptr) || Got == 0) break;
    Buf[Got] = '\0';
    // A command that prints without end must not fill the memory; the rest is read and dropped.
    if (Bytes.size() < kMaxCommandOutputBytes) Bytes.append(Buf, strlen(Buf));
    if (ShellEnded != 0 && GetTickCount64() - ShellEnded > 1000) break;
    if (ShellEnded == 0 && WaitForSingleObject(Pi.hProcess, 0) == WAIT_OBJECT_0)
      ShellEnded = GetTickCount64();
  }
  CloseHandle(ReadEnd);
  // The output ended; cmd.exe may still run (its foreground work closed the pipe). It ends on
  // its own, or at once when the task is stopped.
  while (!Stopped && WaitForSingleObject(Pi.hProcess, 50) == WAIT_TIMEOUT)
    Stopped = Stop.stop_requested();
  // Then everything the command started goes with it.
  if (Job) {
    TerminateJobObject(Job, 1);
    CloseHandle(Job);
  } else if (Stopped) {
    TerminateProcess(Pi.hProcess, 1);
  }
  CloseHandle(Pi.hThread);
  CloseHandle(Pi.hProcess);
  if (Stopped) return "사용자가 명령 실행을 중지했습니다.";
  std::string Text = FromAnsi(Bytes);
  return Text.empty() ? "명령이 실행되었으나 출력 결과가 없습니다." : Text;
}

}  // namespace kestrill
