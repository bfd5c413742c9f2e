// The test program's entry: GoogleTest, or a helper child when started with --helper.
#include <gtest/gtest.h>

#include <string>

#include "helper.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--helper") return varnix::RunHelper(argc - 2, argv + 2);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
