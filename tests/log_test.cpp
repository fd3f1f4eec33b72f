// The leveled log: admission by trace level, the built-in writer's console
// and trace-file lines, sinks, the trace header and system error texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace {

namespace fs = std::filesystem;

struct SinkCall {
  LogHandle handle;
  int level;
  std::string text;
};
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
    saved_level_ = Log_Get_Trace_Level();
    saved_sink_ = Log_Get_Sink();
    saved_handle_ = Log_Get_Handle();
    saved_dir_ = Log_Get_Trace_Dir();
    saved_file_ = Log_Get_Trace_File();
    char tmpl[] = "/tmp/kema_log_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    console_ = open_memstream(&console_buf_, &console_len_);
    ASSERT_NE(console_, nullptr);
    Log_Set_Console(console_);
    Log_Set_Sink(nullptr);
    Log_Set_Handle(nullptr);
    Log_Set_Trace_Level(0);
    Log_Set_Trace_Dir(dir_ + "/");
    Log_Set_Trace_File("trace.dat");
    g_calls.clear();
    g_sink_result = 1;
  }
  void TearDown() override {
    Log_Set_Console(nullptr);
    Log_Set_Trace_Level(saved_level_);
    Log_Set_Sink(saved_sink_);
    Log_Set_Handle(saved_handle_);
    Log_Set_Trace_Dir(saved_dir_);
    Log_Set_Trace_File(saved_file_);
    std::fclose(console_);
    std::free(console_buf_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
    g_calls.clear();
  }

  // What the console received since the last call.
  std::string Console() {
    std::fflush(console_);
    std::string out(console_buf_, console_len_);
    std::rewind(console_);
    std::fflush(console_);
    return out;
  }
  std::string Trace_Path() const { return dir_ + "/trace.dat"; }
  bool Trace_Exists() const { return fs::exists(Trace_Path()); }
  std::string Trace() const {
    std::ifstream in(Trace_Path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;

 private:
  int saved_level_ = 0;
  LogSink saved_sink_ = nullptr;
  LogHandle saved_handle_ = nullptr;
  std::string saved_dir_, saved_file_;
  FILE* console_ = nullptr;
  char* console_buf_ = nullptr;
  size_t console_len_ = 0;
};

}  // namespace

TEST_F(LogTest, TraceLevelAdmitsTraceDepths) {
  // Trace level 0: no trace line, no trace file; reports still reach the console.
  EXPECT_EQ(Log_Print(nullptr, 9, "deep %d", 1), 1);
  EXPECT_EQ(Log_Print(nullptr, 6, "detail"), 1);
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(Log_Print(nullptr, 2, "warned"), 1);
  EXPECT_EQ(Console(), "WARNING: warned \n");
  EXPECT_FALSE(Trace_Exists());
  EXPECT_EQ(Log_Print(nullptr, 0, "never"), 1);
  EXPECT_EQ(Log_Print(nullptr, 13, "above"), 1);
  EXPECT_EQ(Console(), "");

  Log_Set_Trace_Level(3);
  EXPECT_TRUE(Log_Admitted(8));
  EXPECT_FALSE(Log_Admitted(9));
  Log_Print(nullptr, 8, "eight");
  Log_Print(nullptr, 9, "nine");
  EXPECT_EQ(Console(), "TRACE:           eight \n");
  EXPECT_EQ(Trace(), "TRACE:           eight\n");

  Log_Set_Trace_Level(1);
  EXPECT_TRUE(Log_Admitted(6));
  EXPECT_FALSE(Log_Admitted(7));
  Log_Set_Trace_Level(5);
  EXPECT_TRUE(Log_Admitted(10));
  EXPECT_FALSE(Log_Admitted(0));
  EXPECT_TRUE(Log_Admitted(12));
}

TEST_F(LogTest, BuiltInWriterLineForms) {
  Log_Set_Trace_Level(5);
  testing::internal::CaptureStderr();  // level 1 stands in for a message box there
  Log_Print(nullptr, 1, "memory %s", "gone");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "memory gone\n");
  Log_Print(nullptr, 2, "w");
  Log_Print(nullptr, 4, "r4");
  Log_Print(nullptr, 11, "r11");
  Log_Print(nullptr, 5, "a");
  Log_Print(nullptr, 6, "t6");
  Log_Print(nullptr, 8, "--> %s", "x");
  Log_Print(nullptr, 10, "t10");
  Log_Print(nullptr, 12, "early");
  EXPECT_EQ(Console(),
            "WARNING: w \n"
            "REPORT:  r4 \n"
            "REPORT:  r11 \n"
            "AUDIT:   a \n"
            "TRACE:   t6 \n"
            "TRACE:           --> x \n"
            "TRACE:                   t10 \n"
            "ERROR LOG:   early \n"
            "REPORT:  early \n");
  EXPECT_EQ(Trace(),
            "ERROR:   memory gone\n"
            "WARNING: w\n"
            "REPORT:  r4\n"
            "REPORT:  r11\n"
            "AUDIT:   a\n"
            "TRACE:   t6\n"
            "TRACE:           --> x\n"
            "TRACE:                   t10\n"
            "ERROR LOG:   early\n"
            "REPORT:  early\n");

  // A trace directory that does not exist: console only, no error.
  Log_Set_Trace_Dir(dir_ + "/missing/");
  EXPECT_EQ(Log_Print(nullptr, 4, "still"), 1);
  EXPECT_EQ(Console(), "REPORT:  still \n");
}

TEST_F(LogTest, WritersDropFormattingBytesAndCutLongMessages) {
  Log_Set_Trace_Level(1);
  Log_Print(nullptr, 2, "\xF1\x04" "ERROR:\x01 Unable to open file !\xF0");
  Log_Print(nullptr, 6, "\xF1\x01\t\t file: %s\xF0", "a.dcm");
  EXPECT_EQ(Console(), "WARNING: ERROR: Unable to open file ! \nTRACE:   \t\t file: a.dcm \n");
  EXPECT_EQ(Trace(), "WARNING: ERROR: Unable to open file !\nTRACE:   \t\t file: a.dcm\n");
  EXPECT_EQ(Log_Clean_Text("a\x7F\r\x02" "b\n\tc\xE9"), "ab\n\tc");

  const std::string big(3000, 'z');
  Log_Print(nullptr, 4, "%s", big.c_str());
  EXPECT_EQ(Console(), "REPORT:  " + std::string(2047, 'z') + " \n");
}

TEST_F(LogTest, SinkTakesUncleanedTextAndGivesTheResult) {
  Log_Set_Sink(Record_Sink);
  g_sink_result = 7;
  int owner = 0;
  EXPECT_EQ(Log_Print(&owner, 2, "\xF1\x04" "ERROR:\x01 bad %d\xF0", 3), 7);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].handle, &owner);
  EXPECT_EQ(g_calls[0].level, 2);
  EXPECT_EQ(g_calls[0].text, "\xF1\x04" "ERROR:\x01 bad 3\xF0");

  // Admission comes before the sink.
  EXPECT_EQ(Log_Print(nullptr, 9, "deep"), 1);
  EXPECT_EQ(Log_Print(nullptr, 0, "none"), 1);
  EXPECT_EQ(g_calls.size(), 1u);

  // The sink answers the question; it also sees levels the built-in writer drops.
  g_sink_result = 0;
  EXPECT_EQ(Log_Print(nullptr, 3, "Continue ?"), 0);
  EXPECT_EQ(Log_Print(nullptr, 13, "above"), 0);
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[2].level, 13);

  const std::string big(5000, 'q');
  Log_Print(nullptr, 4, "%s!", big.c_str());
  EXPECT_EQ(g_calls.back().text, std::string(2047, 'q'));
  EXPECT_EQ(Console(), "");
  EXPECT_FALSE(Trace_Exists());
}

TEST_F(LogTest, QuestionWithoutTerminalIsAnsweredNo) {
  Log_Set_Trace_Level(5);
  const int saved_stdin = dup(STDIN_FILENO);
  const int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  dup2(null_fd, STDIN_FILENO);
  close(null_fd);
  const int answer = Log_Print(nullptr, 3, "Overwrite %s ?", "x");
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(Trace(), "");
}

TEST_F(LogTest, SystemErrorText) {
  EXPECT_STREQ(System_Error_Text(ENOENT), "[ENOENT] No such file or directory");
  errno = EACCES;
  EXPECT_STREQ(System_Error_Text(0), "[EACCES] Permission denied");
  // The text is overwritten by the next call: callers copy it.
  const std::string first = System_Error_Text(EISDIR);
  System_Error_Text(ENOENT);
  EXPECT_EQ(first, "[EISDIR] Is a directory");
}

TEST_F(LogTest, TraceHeaderStartsAFreshFile) {
  Log_Set_Trace_Level(1);
  std::ofstream(Trace_Path()) << "old run\n";
  Log_Trace_Header();
  std::istringstream in(Trace());
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_GE(lines.size(), 6u) << Trace();
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(TRACE:   ============== Kemascopia 1\.2 Rev-10 =====\(\d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d\)=========)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("TRACE:   Computer Name:  [A-Z0-9 ]+"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("TRACE:   Serial Num:     [0-9a-f]{8}"))) << lines[2];
  EXPECT_EQ(lines[3].rfind("TRACE:   System:         ", 0), 0u) << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(TRACE:   version \d+\.\d+ \(Build \d+\))"))) << lines[4];
  EXPECT_EQ(lines[5].rfind("TRACE:   Processor:      ", 0), 0u) << lines[5];
  EXPECT_EQ(Trace().find("old run"), std::string::npos);
}

TEST(LogDefaults, TraceDirectoryComesFromTheEnvironment) {
  const char* env = std::getenv("KEMASCOPIA_TRACE_DIR");
  std::string want = env && *env ? env : "/tmp/";
  if (want.back() != '/') want += '/';
  EXPECT_EQ(Log_Get_Trace_Dir(), want);
  EXPECT_EQ(Log_Trace_Path(), want + Log_Get_Trace_File());
}
