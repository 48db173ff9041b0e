// The main of every test program: what every program of the project does first, then the tests.
#include <gtest/gtest.h>

#include "crc32.h"

int main(int argc, char** argv) {
  crc32_prepare();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
