// The viewer tests run off-screen: one application for the whole run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/window.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  platform::App app(argc, argv);
  return RUN_ALL_TESTS();
}
