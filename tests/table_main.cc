// main() for test programs that touch /tmp and System V semaphores.
#include <gtest/gtest.h>

#include "private_tmp.h"

int main(int argc, char **argv) {
  EnterPrivateTmp();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
