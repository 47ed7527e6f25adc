// The HTTP exchange every provider call shares: a fresh client, 60 s to connect, 300 s for the
// reply, a JSON body POSTed, the body returned whatever the status.
#pragma once

#include <chrono>
#include <string>

#include "core/HttpClient.h"

namespace kestrill {

// Tests shorten the time-outs to see a time-out happen; the program never changes them.
void SetProviderTimeouts(std::chrono::milliseconds AConnect, std::chrono::milliseconds AResponse);

// Longest time one provider exchange may take in all (the "RequestTimeout" setting, read at
// each turn).
void SetProviderDeadline(std::chrono::milliseconds ADeadline);

// Throws EHttpError on a transport failure and on a redirect (never followed: the headers hold
// the API key).
std::string PostJson(const std::string& AUrl, const std::string& ABody,
                     const THttpHeaders& AHeaders);

// {"error": "<description>"}: what the tool-enabled calls return instead of a body when the
// exchange fails. The description is JSON-escaped, so the text is always valid JSON.
std::string FailureObject(const std::string& ADescription);

}  // namespace kestrill
