// Random identifiers from the operating system's generator.
#pragma once

#include <string>

namespace kestrill {

// A version-4 UUID as 8-4-4-4-12 upper-case hexadecimal digits, without braces.
std::string NewGuid();

}  // namespace kestrill
