// A local HTTP server in a child process of its own, so its threads exist before any of the
// benchmark's and its work never shares the measured process. The child ends with the parent.
#pragma once

#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

namespace kestrill::bench {

// Serves with the routes ARoutes sets up; returns the child's pid and its base URL.
inline std::pair<pid_t, std::string> StartForkedServer(
    const std::function<void(httplib::Server&)>& ARoutes) {
  auto Fail = [](const char* AWhy) {
    std::fprintf(stderr, "forked server: %s\n", AWhy);
    std::exit(1);
  };
  int Pipe[2];
  if (pipe(Pipe) != 0) Fail("pipe");
  const pid_t Pid = fork();
  if (Pid < 0) Fail("fork");
  if (Pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close(Pipe[0]);
    httplib::Server Server;
    ARoutes(Server);
    const int Port = Server.bind_to_any_port("127.0.0.1");
    if (write(Pipe[1], &Port, sizeof Port) != sizeof Port) _exit(1);
    close(Pipe[1]);
    Server.listen_after_bind();
    _exit(0);
  }
  close(Pipe[1]);
  int Port = 0;
  if (read(Pipe[0], &Port, sizeof Port) != sizeof Port || Port <= 0) Fail("it did not start");
  close(Pipe[0]);
  return {Pid, "http://127.0.0.1:" + std::to_string(Port)};
}

}  // namespace kestrill::bench
