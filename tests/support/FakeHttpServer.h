// A real HTTP server on 127.0.0.1 for tests: it records every request and answers with canned
// responses, so the real client is exercised end to end.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kestrill::testing {

struct TRecordedRequest {
  std::string Method;
  std::string Path;                                 // without the query
  std::string Query;                                // the raw text after "?", "" when none
  std::multimap<std::string, std::string> Headers;  // names in lower case
  std::string Body;

  // The first value of header AName (any case), "" when absent.
  std::string Header(const std::string& AName) const;
  bool HasHeader(const std::string& AName) const;
};

struct TCannedResponse {
  TCannedResponse() = default;
  TCannedResponse(int AStatus, std::string ABody, std::string AContentType = "application/json")
      : Status(AStatus), Body(std::move(ABody)), ContentType(std::move(AContentType)) {}

  int Status = 200;
  std::string Body;
  std::string ContentType = "application/json";
  std::vector<std::pair<std::string, std::string>> Headers;
};

class TFakeHttpServer {
 public:
  TFakeHttpServer();  // listening on an ephemeral port once constructed
  ~TFakeHttpServer();
  TFakeHttpServer(const TFakeHttpServer&) = delete;
  TFakeHttpServer& operator=(const TFakeHttpServer&) = delete;

  std::string BaseUrl() const;  // "http://127.0.0.1:PORT"
  int Port() const { return FPort; }

  // The answer to every request not matched by a queued one.
  void SetDefault(TCannedResponse AResponse);
  // Answers the next requests in order before falling back to the default.
  void Enqueue(TCannedResponse AResponse);
  // Answers requests whose path is APath (takes precedence over the queue and the default).
  void SetRoute(std::string APath, TCannedResponse AResponse);

  std::vector<TRecordedRequest> Requests() const;
  TRecordedRequest LastRequest() const;  // throws when no request came
  std::size_t RequestCount() const;

 private:
  TCannedResponse Answer(const TRecordedRequest& ARequest);

  std::unique_ptr<httplib::Server> FServer;
  std::thread FThread;
  int FPort = 0;
  mutable std::mutex FMutex;
  std::vector<TRecordedRequest> FRequests;
  std::deque<TCannedResponse> FQueue;
  std::map<std::string, TCannedResponse> FRoutes;
  TCannedResponse FDefault;
};

// A port on 127.0.0.1 that accepts connections (the kernel completes them) and never answers:
// a client waiting for a response times out.
class TSilentListener {
 public:
  TSilentListener();
  ~TSilentListener();
  std::string BaseUrl() const;

 private:
  int FSocket = -1;
  int FPort = 0;
};

// A port on 127.0.0.1 where nothing listens: connecting is refused.
int UnusedLocalPort();

}  // namespace kestrill::testing
