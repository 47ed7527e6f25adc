// Every test binary starts in a fresh HOME so no test reads or writes the user's own files.
#include <gtest/gtest.h>

#include "TestEnv.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kestrill::testing::UseFreshHome();
  return RUN_ALL_TESTS();
}
