// The viewer tests run off-screen: one application for the whole run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/window.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Window places are remembered under the configuration folder: never the
  // user's own during tests.
  const std::string config = testing::TempDir() + "viewer_tests_config_" + std::to_string(getpid());
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  platform::App app(argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(config);
  return result;
}
