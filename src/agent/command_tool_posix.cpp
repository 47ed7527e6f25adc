#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/CommandTool.h"
#include "core/HttpClient.h"
#include "core/TextEncoding.h"

extern char** environ;

namespace kestrill {

std::string ExecuteCmdAndCapture(const std::string& ACommand) {
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) return "파이프 생성 실패";

  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  // The child's standard output and standard error are both the pipe's write end; standard
  // input stays ours.
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDERR_FILENO);
  std::string Command = ACommand;
  char Sh[] = "/bin/sh", Dash[] = "-c";
  char* Argv[] = {Sh, Dash, Command.data(), nullptr};
  // Its own process group, so a stop ends the command with everything it started.
  posix_spawnattr_t Attr;
  posix_spawnattr_init(&Attr);
  posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&Attr, 0);
  pid_t Child = 0;
  int Err = posix_spawn(&Child, "/bin/sh", &Actions, &Attr, Argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attr);
  close(Pipe[1]);  // so the read end sees the end when the child side closes
  if (Err != 0) {
    close(Pipe[0]);
    return std::string("명령 실행 실패: ") + std::strerror(Err);
  }

  // 255-byte reads, joined before decoding so a character split between reads survives; a zero
  // byte ends its chunk, as the Windows form does.
  std::string Bytes;
  char Buf[256];
  const std::stop_token Stop = CurrentCancelToken();
  bool Stopped = false;
  bool Reaped = false;
  int Status = 0;
  for (;;) {
    if (Stop.stop_requested()) {
      kill(-Child, SIGKILL);
      Stopped = true;
      break;
    }
    pollfd P{Pipe[0], POLLIN, 0};
    int Ready = poll(&P, 1, 50);
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready == 0) {
      // The shell is gone but something it left in the background still holds the pipe: what
      // the command printed is all there, and the leftovers end with it.
      if (!Reaped && waitpid(Child, &Status, WNOHANG) == Child) Reaped = true;
      if (Reaped) {
        kill(-Child, SIGKILL);
        break;
      }
      continue;
    }
    ssize_t N = read(Pipe[0], Buf, 255);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Buf[N] = '\0';
    // A command that prints without end must not fill the memory; the rest is read and dropped.
    if (Bytes.size() < kMaxCommandOutputBytes) Bytes.append(Buf, std::strlen(Buf));
  }
  close(Pipe[0]);
  while (!Reaped && waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }  // reap it; its exit code is not part of the result

  if (Stopped) return "사용자가 명령 실행을 중지했습니다.";
  std::string Text = DecodeUtf8OrLegacy(Bytes);
  return Text.empty() ? "명령이 실행되었으나 출력 결과가 없습니다." : Text;
}

}  // namespace kestrill
