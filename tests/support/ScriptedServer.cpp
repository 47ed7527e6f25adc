#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kestrill::testing {
namespace {

// Sleeps in short steps so a stopping server never waits out a long pause.
void Pause(std::chrono::milliseconds ATime, const std::atomic<bool>& AStop) {
  auto End = std::chrono::steady_clock::now() + ATime;
  while (!AStop && std::chrono::steady_clock::now() < End)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

TScriptedServer::TScriptedServer(std::vector<TScriptStep> AScript, std::chrono::milliseconds AHold)
    : FScript(std::move(AScript)), FHold(AHold) {
  FSocket = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (FSocket < 0 || bind(FSocket, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0 ||
      listen(FSocket, 8) != 0)
    throw std::runtime_error("scripted server: cannot listen");
  socklen_t Len = sizeof(Addr);
  getsockname(FSocket, reinterpret_cast<sockaddr*>(&Addr), &Len);
  FPort = ntohs(Addr.sin_port);
  FThread = std::thread([this] { Serve(); });
}

TScriptedServer::~TScriptedServer() {
  FStop = true;
  FThread.join();
  close(FSocket);
}

std::string TScriptedServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(FPort); }

void TScriptedServer::Serve() {
  while (!FStop) {
    pollfd P{FSocket, POLLIN, 0};
    if (poll(&P, 1, 20) <= 0) continue;
    int Client = accept(FSocket, nullptr, nullptr);
    if (Client < 0) continue;
    ++FConnections;
    // Read the request head (the body, if any, is left unread: the script does not care).
    std::string Head;
    char Buf[4096];
    while (!FStop && Head.find("\r\n\r\n") == std::string::npos) {
      pollfd C{Client, POLLIN, 0};
      if (poll(&C, 1, 20) <= 0) continue;
      ssize_t N = recv(Client, Buf, sizeof Buf, 0);
      if (N <= 0) break;
      Head.append(Buf, static_cast<std::size_t>(N));
    }
    for (const TScriptStep& S : FScript) {
      if (FStop) break;
      if (send(Client, S.Bytes.data(), S.Bytes.size(), MSG_NOSIGNAL) < 0) break;
      Pause(S.PauseAfter, FStop);
    }
    Pause(FHold, FStop);
    close(Client);
  }
}

}  // namespace kestrill::testing
