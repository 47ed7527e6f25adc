// A raw HTTP/1.1 server on 127.0.0.1 that behaves as a hostile server would: it answers every
// connection with fixed bytes sent in pieces with pauses between them, then holds the connection
// open. For replies that drip, lie about their length, or never end.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kestrill::testing {

struct TScriptStep {
  std::string Bytes;
  std::chrono::milliseconds PauseAfter{0};
};

class TScriptedServer {
 public:
  // The whole script is played to each connection, then the connection is held for AHold.
  TScriptedServer(std::vector<TScriptStep> AScript, std::chrono::milliseconds AHold);
  ~TScriptedServer();  // stops at once, whatever is playing
  std::string BaseUrl() const;
  int Connections() const { return FConnections; }

 private:
  void Serve();
  std::vector<TScriptStep> FScript;
  std::chrono::milliseconds FHold;
  int FSocket = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::thread FThread;
};

}  // namespace kestrill::testing
