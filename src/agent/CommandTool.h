// The execute_cmd tool: runs a console command and returns what it printed (standard output
// and standard error together). Linux: /bin/sh -c COMMAND; Windows: cmd.exe /c COMMAND in a
// hidden window. Never throws.
#pragma once

#include <cstddef>
#include <string>

namespace kestrill {

// Output kept of one command; the rest is read and dropped.
inline constexpr std::size_t kMaxCommandOutputBytes = 1024 * 1024;

// Ends the command and everything it started as soon as the running task is stopped
// (CurrentCancelToken), with a text saying so. Whatever the command left running in the
// background is ended when it ends, and what a command still running when the program exits
// started is ended on the way out (Linux: we are its child subreaper; Windows: a job object).
std::string ExecuteCmdAndCapture(const std::string& ACommand);

}  // namespace kestrill
