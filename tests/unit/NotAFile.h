// Things found where a file should be that are no file (FIFOs, links to devices) or are far too
// large (sparse giants), and a deadline for reading them: a read that blocks fails its test
// instead of hanging the run.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

namespace kestrill::testing {

inline void MakeFifo(const std::string& APath) {
  ASSERT_EQ(mkfifo(APath.c_str(), 0600), 0) << APath;
}

inline void MakeLink(const std::string& ATarget, const std::string& APath) {
  std::filesystem::create_symlink(ATarget, APath);
}

// ASize bytes of nothing: the file system stores only the length, so no disk is used.
inline void MakeSparseFile(const std::string& APath, std::uint64_t ASize) {
  int Fd = open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(Fd, 0) << APath;
  ASSERT_EQ(ftruncate(Fd, static_cast<off_t>(ASize)), 0) << APath;
  close(Fd);
}

inline constexpr std::uint64_t kTwoGigabytes = std::uint64_t{2} << 30;

// Runs ARead on another thread and returns what it returned. When it has not returned within a
// few seconds the test fails, and readers stuck in AFifos are let go (a writer comes and goes,
// which ends their read) until it returns, so the run itself goes on.
template <class TRead>
auto WithinDeadline(TRead ARead, const std::vector<std::string>& AFifos = {}) {
  auto Result = std::async(std::launch::async, std::move(ARead));
  if (Result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "the read was still blocked after 5 seconds";
    while (Result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
      for (const std::string& F : AFifos)
        if (int Fd = open(F.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); Fd >= 0) close(Fd);
  }
  return Result.get();
}

}  // namespace kestrill::testing
