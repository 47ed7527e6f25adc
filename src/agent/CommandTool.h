// The execute_cmd tool: runs a console command and returns what it printed (standard output
// and standard error together). Linux: /bin/sh -c COMMAND; Windows: cmd.exe /c COMMAND in a
// hidden window. Never throws.
#pragma once

#include <string>

namespace kestrill {

std::string ExecuteCmdAndCapture(const std::string& ACommand);

}  // namespace kestrill
