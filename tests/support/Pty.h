// A pseudo-terminal for tests: the slave end is what a program reads as its terminal, the master
// end is the keyboard.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace kestrill::testing {

struct TPty {
  TPty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) return;
    Slave = open(ptsname(Master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~TPty() {
    if (Slave >= 0) close(Slave);
    if (Master >= 0) close(Master);
  }
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;
  void Type(const std::string& AKeys) const {
    ASSERT_EQ(write(Master, AKeys.data(), AKeys.size()), static_cast<ssize_t>(AKeys.size()));
  }
  int Master = -1, Slave = -1;
};

}  // namespace kestrill::testing
