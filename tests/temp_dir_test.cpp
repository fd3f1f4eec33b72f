// Every test process works in a folder of its own: CTest runs tests in
// parallel processes, and several builds may run their suites at once, so
// fixed file names under a shared /tmp would collide.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct ProcessTempDir {
  std::string dir;
  ProcessTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kema_tests_XXXXXX").string();
    if (mkdtemp(tmpl.data())) {
      dir = tmpl;
      setenv("TEST_TMPDIR", dir.c_str(), 1);  // read by testing::TempDir()
    }
  }
  ~ProcessTempDir() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

const ProcessTempDir g_temp_dir;

TEST(TestProcess, HasAFolderOfItsOwn) {
  EXPECT_EQ(testing::TempDir(), g_temp_dir.dir + "/");
}

}  // namespace
