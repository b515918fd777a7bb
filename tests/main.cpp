#include <gtest/gtest.h>

#include "driver.hpp"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  driver::configure(argc, argv);
  return RUN_ALL_TESTS();
}
