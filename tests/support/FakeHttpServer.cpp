#include "FakeHttpServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kestrill::testing {
namespace {

std::string Lower(std::string S) {
  for (char& C : S)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C + 32);
  return S;
}

// Binds a TCP socket to 127.0.0.1 on an ephemeral port; returns the socket and its port.
std::pair<int, int> BindLoopback() {
  int S = socket(AF_INET, SOCK_STREAM, 0);
  if (S < 0) throw std::runtime_error("socket failed");
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Addr.sin_port = 0;
  if (bind(S, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)) != 0) {
    close(S);
    throw std::runtime_error("bind failed");
  }
  socklen_t Len = sizeof(Addr);
  getsockname(S, reinterpret_cast<sockaddr*>(&Addr), &Len);
  return {S, ntohs(Addr.sin_port)};
}

}  // namespace

std::string TRecordedRequest::Header(const std::string& AName) const {
  auto It = Headers.find(Lower(AName));
  return It == Headers.end() ? std::string() : It->second;
}

bool TRecordedRequest::HasHeader(const std::string& AName) const {
  return Headers.count(Lower(AName)) > 0;
}

TFakeHttpServer::TFakeHttpServer() : FServer(std::make_unique<httplib::Server>()) {
  auto Handler = [this](const httplib::Request& Req, httplib::Response& Res) {
    TRecordedRequest R;
    R.Method = Req.method;
    auto Q = Req.target.find('?');
    R.Path = Req.target.substr(0, Q);
    R.Query = Q == std::string::npos ? std::string() : Req.target.substr(Q + 1);
    for (const auto& [Name, Value] : Req.headers) R.Headers.emplace(Lower(Name), Value);
    R.Body = Req.body;
    TCannedResponse A = Answer(R);
    Res.status = A.Status;
    for (const auto& [Name, Value] : A.Headers) Res.set_header(Name, Value);
    Res.set_content(A.Body, A.ContentType.c_str());
  };
  FServer->Get(".*", Handler);
  FServer->Post(".*", Handler);
  FServer->Put(".*", Handler);
  FServer->Delete(".*", Handler);
  FPort = FServer->bind_to_any_port("127.0.0.1");
  if (FPort <= 0) throw std::runtime_error("fake server: bind failed");
  FThread = std::thread([this] { FServer->listen_after_bind(); });
  while (!FServer->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TFakeHttpServer::~TFakeHttpServer() {
  FServer->stop();
  if (FThread.joinable()) FThread.join();
}

std::string TFakeHttpServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(FPort); }

void TFakeHttpServer::SetDefault(TCannedResponse A) {
  std::lock_guard L(FMutex);
  FDefault = std::move(A);
}

void TFakeHttpServer::Enqueue(TCannedResponse A) {
  std::lock_guard L(FMutex);
  FQueue.push_back(std::move(A));
}

void TFakeHttpServer::SetRoute(std::string APath, TCannedResponse A) {
  std::lock_guard L(FMutex);
  FRoutes[std::move(APath)] = std::move(A);
}

TCannedResponse TFakeHttpServer::Answer(const TRecordedRequest& R) {
  std::lock_guard L(FMutex);
  FRequests.push_back(R);
  if (auto It = FRoutes.find(R.Path); It != FRoutes.end()) return It->second;
  if (!FQueue.empty()) {
    TCannedResponse A = std::move(FQueue.front());
    FQueue.pop_front();
    return A;
  }
  return FDefault;
}

std::vector<TRecordedRequest> TFakeHttpServer::Requests() const {
  std::lock_guard L(FMutex);
  return FRequests;
}

TRecordedRequest TFakeHttpServer::LastRequest() const {
  std::lock_guard L(FMutex);
  if (FRequests.empty()) throw std::runtime_error("fake server: no request received");
  return FRequests.back();
}

std::size_t TFakeHttpServer::RequestCount() const {
  std::lock_guard L(FMutex);
  return FRequests.size();
}

TSilentListener::TSilentListener() {
  auto [S, Port] = BindLoopback();
  FSocket = S;
  FPort = Port;
  if (listen(FSocket, 8) != 0) throw std::runtime_error("listen failed");
}

TSilentListener::~TSilentListener() { close(FSocket); }

std::string TSilentListener::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(FPort); }

int UnusedLocalPort() {
  auto [S, Port] = BindLoopback();
  close(S);  // bound but never listened on: the port is now free and refuses connections
  return Port;
}

}  // namespace kestrill::testing
