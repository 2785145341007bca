// Test entry: the framework is initialised once for the whole test binary
// (the loader, directories and logging need it).
#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  wxInitializer framework;
  if (!framework.IsOk()) return 1;
  return RUN_ALL_TESTS();
}
