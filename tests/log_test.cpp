// The leveled log: admission by trace level, the built-in writer's console
// and trace-file lines, sinks, the trace header and system error texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "log/log.h"
#include "tests/fixtures/test_util.h"

namespace {

namespace fs = std::filesystem;

struct SinkCall { LogHandle handle; int level; std::string text; };
std::vector<SinkCall> g_calls;
int g_sink_result = 1;

int Record_Sink(LogHandle handle, int level, const char* text) {
  g_calls.push_back({handle, level, text});
  return g_sink_result;
}

// Console lines go to a memory stream, the trace file to a fresh directory;
// every setting is given back afterwards.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path.empty());
    console_ = std::tmpfile();
    ASSERT_NE(console_, nullptr);
    Log_Set_Console(console_);
    Log_Set_Sink(nullptr);
    Log_Set_Trace_Level(0);
    Log_Set_Trace_Dir(dir_);
    Log_Set_Trace_File("trace.dat");
    g_calls.clear();
  }
  void TearDown() override {
    Log_Set_Console(nullptr);
    Log_Set_Trace_Level(saved_level_);
    Log_Set_Sink(saved_sink_);
    Log_Set_Trace_Dir(saved_dir_);
    Log_Set_Trace_File(saved_file_);
    std::fclose(console_);
  }

  // What the console received since the last call.
  std::string Console() {
    std::string out(std::ftell(console_), '\0');
    std::rewind(console_);
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), console_), out.size());
    std::rewind(console_);
    return out;
  }
  // The trace file, "" when there is none.
  std::string Trace() const {
    std::ifstream in(dir_ + "trace.dat", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fixtures::TempDir tmp_;
  const std::string dir_ = tmp_.path.string() + "/";

 private:
  const int saved_level_ = Log_Get_Trace_Level();
  const LogSink saved_sink_ = Log_Get_Sink();
  const std::string saved_dir_ = Log_Get_Trace_Dir(), saved_file_ = Log_Get_Trace_File();
  FILE* console_ = nullptr;
};

}  // namespace

TEST_F(LogTest, TraceLevelAdmitsAndEachLevelHasItsLineForm) {
  const std::string big(3000, 'z'), cut(2047, 'z');
  const struct { int trace, level; bool admitted; std::string text, console, trace_file; } cases[] = {
      // Trace level 0 admits no trace depth and opens no trace file; reports still reach the console.
      {0, 6, false, "detail", "", ""},
      {0, 2, true, "w", "WARNING: w \n", ""},
      {0, 0, false, "never", "", ""},
      {3, 8, true, "--> x", "TRACE:           --> x \n", "TRACE:           --> x\n"},
      {3, 9, false, "nine", "", ""},
      {1, 6, true, "t6", "TRACE:   t6 \n", "TRACE:   t6\n"},
      {5, 10, true, "t10", "TRACE:                   t10 \n", "TRACE:                   t10\n"},
      {5, 4, true, "r4", "REPORT:  r4 \n", "REPORT:  r4\n"},
      {5, 11, true, "r11", "REPORT:  r11 \n", "REPORT:  r11\n"},
      {5, 5, true, "a", "AUDIT:   a \n", "AUDIT:   a\n"},
      {5, 12, true, "early", "ERROR LOG:   early \nREPORT:  early \n", "ERROR LOG:   early\nREPORT:  early\n"},
      {5, 13, true, "above", "", ""},  // only a sink sees it
      // The writer drops formatting bytes and cuts long messages at 2047 bytes.
      {1, 2, true, "\xF1\x04" "ERROR:\x01 Unable to open file !\xF0", "WARNING: ERROR: Unable to open file ! \n",
       "WARNING: ERROR: Unable to open file !\n"},
      {1, 4, true, big, "REPORT:  " + cut + " \n", "REPORT:  " + cut + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("trace level " + std::to_string(c.trace) + ", level " + std::to_string(c.level));
    Log_Set_Trace_Level(c.trace);
    fs::remove(dir_ + "trace.dat");
    EXPECT_EQ(Log_Admitted(c.level), c.admitted);
    EXPECT_EQ(Log_Print(nullptr, c.level, "%s", c.text.c_str()), 1);
    EXPECT_EQ(Console(), c.console);
    EXPECT_EQ(Trace(), c.trace_file);
    EXPECT_TRUE(c.trace != 0 || !fs::exists(dir_ + "trace.dat"));
  }
  EXPECT_EQ(Log_Clean_Text("a\x7F\r\x02" "b\n\tc\xE9"), "ab\n\tc");

  fs::remove(dir_ + "trace.dat");
  testing::internal::CaptureStderr();  // level 1 stands in for a message box there
  Log_Print(nullptr, 1, "memory %s", "gone");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "memory gone\n");
  EXPECT_EQ(Trace(), "ERROR:   memory gone\n");

  // A trace directory that does not exist: console only, no error.
  Log_Set_Trace_Dir(dir_ + "missing/");
  EXPECT_EQ(Log_Print(nullptr, 4, "still"), 1);
  EXPECT_EQ(Console(), "REPORT:  still \n");

  // The question without a window nor a terminal is answered "no".
  const int saved_stdin = dup(STDIN_FILENO), null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  dup2(null_fd, STDIN_FILENO);
  const int answer = Log_Print(nullptr, 3, "Overwrite %s ?", "x");
  dup2(saved_stdin, STDIN_FILENO);
  close(null_fd);
  close(saved_stdin);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(Console(), "");
}

TEST_F(LogTest, SinkTakesUncleanedTextAndGivesTheResult) {
  Log_Set_Sink(Record_Sink);
  g_sink_result = 7;
  int owner = 0;
  EXPECT_EQ(Log_Print(&owner, 2, "\xF1\x04" "ERROR:\x01 bad %d\xF0", 3), 7);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(std::tuple(g_calls[0].handle, g_calls[0].level, g_calls[0].text),
            std::tuple(static_cast<LogHandle>(&owner), 2, "\xF1\x04" "ERROR:\x01 bad 3\xF0"));

  // Admission comes before the sink; the sink answers the question and
  // sees levels the built-in writer drops.
  g_sink_result = 0;
  EXPECT_EQ(Log_Print(nullptr, 9, "deep"), 1);
  EXPECT_EQ(Log_Print(nullptr, 0, "none"), 1);
  EXPECT_EQ(Log_Print(nullptr, 3, "Continue ?"), 0);
  EXPECT_EQ(Log_Print(nullptr, 13, "above"), 0);
  Log_Print(nullptr, 4, "%s!", std::string(5000, 'q').c_str());
  ASSERT_EQ(g_calls.size(), 4u);
  EXPECT_EQ(std::tuple(g_calls[1].text, g_calls[2].level, g_calls[3].text),
            std::tuple("Continue ?", 13, std::string(2047, 'q')));
  EXPECT_EQ(Console() + Trace(), "");
  g_sink_result = 1;
}

TEST_F(LogTest, SystemErrorTextAndTraceHeader) {
  EXPECT_STREQ(System_Error_Text(ENOENT), "[ENOENT] No such file or directory");
  errno = EACCES;
  EXPECT_STREQ(System_Error_Text(0), "[EACCES] Permission denied");

  // The header starts a fresh trace file.
  Log_Set_Trace_Level(1);
  std::ofstream(dir_ + "trace.dat") << "old run\n";
  Log_Trace_Header();
  const std::regex header(
      R"(TRACE:   ============== Kemascopia 1\.2 Rev-10 =====\(\d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d\)=========\n)"
      R"(TRACE:   Computer Name:  [A-Z0-9 ]+\n)"
      R"(TRACE:   Serial Num:     [0-9a-f]{8}\n)"
      R"(TRACE:   System:         \S+ \n)"
      R"(TRACE:   version \d+\.\d+ \(Build \d+\)\n)"
      R"(TRACE:   Processor:      \d+ x \S+\n\n)");
  EXPECT_TRUE(std::regex_match(Trace(), header)) << Trace();
}

TEST(LogDefaults, TraceDirectoryIsTheUsersOwnUnlessTheEnvironmentNamesOne) {
  const std::string given = std::getenv("KEMASCOPIA_TRACE_DIR") ? std::getenv("KEMASCOPIA_TRACE_DIR") : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  const std::string state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
  setenv("KEMASCOPIA_TRACE_DIR", "/srv/traces", 1);
  setenv("XDG_STATE_HOME", "/home/u/state", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(Log_Default_Trace_Dir(), "/srv/traces/");  // the variable still wins
  unsetenv("KEMASCOPIA_TRACE_DIR");
  EXPECT_EQ(Log_Default_Trace_Dir(), "/home/u/state/kemascopia/");
  setenv("XDG_STATE_HOME", "relative/state", 1);  // only an absolute path counts
  EXPECT_EQ(Log_Default_Trace_Dir(), "/home/u/.local/state/kemascopia/");
  state.empty() ? unsetenv("XDG_STATE_HOME") : setenv("XDG_STATE_HOME", state.c_str(), 1);
  given.empty() ? unsetenv("KEMASCOPIA_TRACE_DIR") : setenv("KEMASCOPIA_TRACE_DIR", given.c_str(), 1);
  setenv("HOME", home.c_str(), 1);
}

// The trace holds patient names: 0600 whatever the umask, never through a
// planted link or into someone else's file, kept open while tracing.
TEST_F(LogTest, TraceFileIsPrivateAndRefusesWhatIsNotOurOwnFile) {
  const std::string path = dir_ + "trace.dat";
  const mode_t old_mask = umask(0);
  Log_Set_Trace_Level(1);
  Log_Print(nullptr, 4, "patient DOE^JOHN");
  umask(old_mask);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Kept open: one descriptor of this process names the file.
  int open_count = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(fd.path(), ec) == fs::path(path)) ++open_count;
  }
  EXPECT_EQ(open_count, 1);
  Log_Print(nullptr, 4, "second");
  EXPECT_EQ(Trace(), "REPORT:  patient DOE^JOHN\nREPORT:  second\n");

  // A file an older run left readable is narrowed to 0600.
  Log_Set_Trace_Level(0);
  chmod(path.c_str(), 0644);
  Log_Set_Trace_Level(1);
  Log_Print(nullptr, 4, "third");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  struct Planted {
    const char* what;
    std::function<bool(const std::string&)> plant;  // false: cannot be planted here
  } planted[] = {
      {"it is a symbolic link", [&](const std::string& p) { return symlink((dir_ + "victim").c_str(), p.c_str()) == 0; }},
      {"it is not a regular file", [](const std::string& p) { return mkfifo(p.c_str(), 0666) == 0; }},
      {"it belongs to another user", [](const std::string& p) {
         std::ofstream(p) << "theirs\n";
         return chown(p.c_str(), 12345, 12345) == 0;  // only root can give a file away
       }},
  };
  Console();
  int k = 0;
  for (const Planted& c : planted) {
    SCOPED_TRACE(c.what);
    const std::string name = "planted" + std::to_string(k++) + ".dat";
    std::ofstream(dir_ + "victim") << "";
    if (!c.plant(dir_ + name)) {
      EXPECT_NE(std::string(c.what), "it is a symbolic link");
      continue;
    }
    Log_Set_Trace_File(name);
    testing::internal::CaptureStderr();
    Log_Print(nullptr, 4, "patient DOE^JOHN");
    Log_Print(nullptr, 4, "again");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: trace file " + dir_ + name + " refused: " + c.what + "\n");  // one line, once
    EXPECT_EQ(Console(), "REPORT:  patient DOE^JOHN \nREPORT:  again \n");
    EXPECT_EQ(fs::file_size(dir_ + "victim"), 0u);
  }
}

#ifdef KEMA_CLI_PATH
// kema writes its trace by default under the user's state folder, made 0700.
TEST(TracePrivacy, KemaTracesIntoThePerUserFolder) {
  fixtures::TempDir tmp;
  const std::string base = tmp.path.string(), kema = std::string(" ") + KEMA_CLI_PATH + " -t 1 formats >/dev/null 2>";
  ASSERT_EQ(std::system(("env -u KEMASCOPIA_TRACE_DIR XDG_STATE_HOME=" + base + "/state" + kema + base + "/err").c_str()), 0);
  const std::string trace = base + "/state/kemascopia/Kemascopia_trace.dat";
  EXPECT_EQ(fs::status(trace).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(base + "/state/kemascopia").permissions(), fs::perms::owner_all);
  EXPECT_FALSE(fixtures::Read_File(trace).empty());
}
#endif
