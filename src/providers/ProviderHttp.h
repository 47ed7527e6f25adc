// The HTTP exchange every provider call shares: a fresh client, 60 s to connect, 300 s for the
// reply, at most ProviderReplyLimit() bytes of it, a JSON body POSTed, the body returned whatever
// the status.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "core/ChatTypes.h"
#include "core/HttpClient.h"

namespace kestrill {

// Tests shorten the time-outs to see a time-out happen; the program never changes them.
void SetProviderTimeouts(std::chrono::milliseconds AConnect, std::chrono::milliseconds AResponse);

// Longest time one provider exchange may take in all (the "RequestTimeout" setting, read at
// each turn).
void SetProviderDeadline(std::chrono::milliseconds ADeadline);

// Throws EHttpError on a transport failure, on a reply larger than ProviderReplyLimit() and on
// a redirect (never followed: the headers hold the API key).
std::string PostJson(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders);

// While alive, provider requests made on this thread ask for a streamed reply and hand its text
// to AOnText as it grows (on this thread, at most every 50 ms); they still return the body the
// unstreamed request would have returned. Without a scope every request is sent exactly as
// before.
//
// A model the service refuses to stream for (an unverified organisation, a model without
// streaming) is asked again without it at once, and unstreamed for the rest of the run; the
// first time, AOnNotice gets a line saying so.
class TLiveReplyScope {
 public:
  explicit TLiveReplyScope(std::function<void(const std::string& ATextSoFar)> AOnText,
                           std::function<void(const std::string& ANotice)> AOnNotice = {});
  ~TLiveReplyScope();
  TLiveReplyScope(const TLiveReplyScope&) = delete;
  TLiveReplyScope& operator=(const TLiveReplyScope&) = delete;

 private:
  std::function<void(const std::string&)> FOnText, FOnNotice;
  const std::function<void(const std::string&)>* FPrevious;
  const std::function<void(const std::string&)>* FPreviousNotice;
};

// PostJson for a provider's chat request: streamed in AProvider's form inside a
// TLiveReplyScope (the body gains "stream": true; Gemini's URL becomes streamGenerateContent
// with alt=sse), plain otherwise. A failure status whose body is not a JSON object comes back
// as FailureObject naming the status.
std::string PostChatJson(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody,
                         const THttpHeaders& AHeaders);

// The line a live reply shows once per run for a model answered without streaming.
std::string UnstreamedModelNotice(const std::string& AModel);
// Forgets which models were refused streaming (tests start each case afresh).
void ForgetUnstreamedModels();

// The HTTP status of the last provider exchange made on this thread (0 when it failed before
// one came): what a failure shown to the user is explained by.
long LastProviderStatus();

// The same, with the HTTP status the reply came with: a failure worded from the body alone (an
// HTML error page, an empty body) says which status it was.
struct TChatReply {
  long StatusCode = 0;
  std::string Body;
};
TChatReply PostChatRequest(TAIProvider AProvider, const std::string& AUrl, const std::string& ABody,
                           const THttpHeaders& AHeaders);

// {"error": "<description>"}: what the tool-enabled calls return instead of a body when the
// exchange fails. The description is JSON-escaped, so the text is always valid JSON.
std::string FailureObject(const std::string& ADescription);

}  // namespace kestrill
