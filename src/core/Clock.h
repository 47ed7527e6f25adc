// The local clock, and the time stamp text used in file names and the catalogue.
#pragma once

#include <ctime>
#include <string>

namespace kestrill {

// The current local time (the system's time zone).
std::tm LocalNow();

// "yyyymmddhhnnss": 14 digits, hours 00 to 23.
std::string FormatTimeStamp(const std::tm& ATime);

// "hh:nn:ss", hours 00 to 23.
std::string FormatClockTime(const std::tm& ATime);

}  // namespace kestrill
