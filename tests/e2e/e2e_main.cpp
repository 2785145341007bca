// Entry of the end-to-end tests: every run (each CTest case is one) moves
// into a mount and PID namespace of its own before the first test, so the
// daemons it starts see private /tmp, /run and /dev and die with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "private_namespace.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest discovery) starts nothing and needs no root.
  if (!GTEST_FLAG_GET(list_tests)) {
    std::string error;
    if (!e2e::enterPrivateNamespace(error)) {
      std::fprintf(stderr, "selvar_e2e_tests: cannot make the private namespace: %s\n", error.c_str());
      return 1;
    }
  }
  return RUN_ALL_TESTS();
}
