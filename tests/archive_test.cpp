// kema scan run as a program over trees of fixture files: killed and
// resumed, rescanned after changes, and over folders it cannot or must not
// follow.
#include <gtest/gtest.h>

#ifdef KEMA_CLI_PATH

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/test_util.h"

namespace {

namespace fs = std::filesystem;

// Starts kema with `args` (output to `out`), as `uid` when not -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out, int uid = -1) {
  std::vector<std::string> all;
  if (uid >= 0) all = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups"};
  all.push_back(KEMA_CLI_PATH);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    alarm(60);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every row of a query, each row its columns joined by tabs.
std::vector<std::string> Rows(const std::string& db, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* h = nullptr;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        const unsigned char* t = sqlite3_column_text(s, i);
        row += (i ? "\t" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return rows;
}

std::string One(const std::string& db, const std::string& sql) {
  const auto rows = Rows(db, sql);
  return rows.empty() ? "" : rows[0];
}

// What two complete indexes of one tree must agree on.
const char* kFilesRows = "SELECT path, size, mtime_ns, status, format, error FROM files ORDER BY path";
const char* kImageRows = "SELECT * FROM images ORDER BY path";

class ScanTest : public ::testing::Test {
 protected:
  // `n` small CT slices in folders of 50, with one file of no format.
  void Write_Tree(int n) {
    for (int i = 0; i < n; ++i) {
      const fs::path dir = tree_ / ("series" + std::to_string(i / 50));
      fs::create_directories(dir);
      fixtures::Write_File((dir / ("ct" + std::to_string(i) + ".dcm")).string(), fixtures::Dicom_CT_Slice(8, 8, i));
    }
    std::ofstream(tree_ / "notes.txt") << "not an image\n";
  }
  int Scan(const std::string& db, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"scan", tree_.string(), "--db", db};
    args.insert(args.end(), extra.begin(), extra.end());
    return Wait(Spawn(args, tmp_ / "out"));
  }
  fixtures::TempDir tmp_;
  fs::path tree_ = tmp_.path / "tree";
};

TEST_F(ScanTest, KilledScanResumesToTheSameIndexAndRescansOnlyChanges) {
  Write_Tree(1500);
  // The resumed index lies in the tree it indexes: its own files stay out.
  const std::string whole = tmp_ / "whole.sqlite", resumed = (tree_ / "resumed.sqlite").string();
  ASSERT_EQ(Scan(whole), 0);
  ASSERT_EQ(One(whole, "SELECT count(*) FROM images"), "1500");
  EXPECT_EQ(One(whole, "SELECT status FROM files WHERE path LIKE '%notes.txt'"), "unknown");
  EXPECT_EQ(One(whole, "SELECT count(*) FROM series"), "1");
  // Killed once some batches are in: nothing half-written, the rest read
  // on the next run and nothing twice.
  const pid_t pid = Spawn({"scan", tree_.string(), "--db", resumed, "--batch", "10", "-j", "1"}, tmp_ / "out");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && std::atoi(One(resumed, "SELECT count(*) FROM files").c_str()) < 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  kill(pid, SIGKILL);
  Wait(pid);
  const std::string before = One(resumed, "SELECT count(*) FROM files");
  EXPECT_EQ(One(resumed, "PRAGMA integrity_check"), "ok");
  ASSERT_EQ(Scan(resumed), 0);
  EXPECT_EQ(Rows(resumed, kFilesRows), Rows(whole, kFilesRows));
  EXPECT_EQ(Rows(resumed, kImageRows), Rows(whole, kImageRows));
  // Files indexed before the kill are not read again.
  EXPECT_EQ(One(resumed, "SELECT count(*) FROM files WHERE read_run = 1"), before);

  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(resumed + suffix);

  // A changed file is read again, a removed one marked, the rest untouched.
  const fs::path changed = tree_ / "series0" / "ct1.dcm", removed = tree_ / "series0" / "ct2.dcm";
  fixtures::Write_File(changed.string(), fixtures::Dicom_CT_Slice(16, 16, 1));
  fs::remove(removed);
  ASSERT_EQ(Scan(whole), 0);
  EXPECT_EQ(One(whole, "SELECT read_run, status FROM files WHERE path = '" + changed.string() + "'"), "2\tread");
  EXPECT_EQ(One(whole, "SELECT json_extract(dim, '$[0]') FROM images WHERE path = '" + changed.string() + "'"), "16");
  EXPECT_EQ(One(whole, "SELECT status FROM files WHERE path = '" + removed.string() + "'"), "vanished");
  EXPECT_EQ(One(whole, "SELECT count(*) FROM images WHERE path = '" + removed.string() + "'"), "0");
  EXPECT_EQ(One(whole, "SELECT count(*) FROM files WHERE read_run = 2"), "1");
  EXPECT_EQ(One(whole, "SELECT files, read, vanished, complete FROM runs WHERE run = 2"), "1500\t1\t1\t1");
}

TEST_F(ScanTest, LoopsBrokenLinksAndClosedFoldersAreReportedNotFollowed) {
  Write_Tree(3);
  fs::create_directory_symlink("..", tree_ / "series0" / "up");           // a loop
  fs::create_directory_symlink(tree_ / "series0", tree_ / "again");      // a second way in
  fs::create_symlink(tree_ / "nowhere", tree_ / "dangling");
  mkfifo((tree_ / "pipe").c_str(), 0644);  // never opened: it would block the scan
  fs::create_directories(tree_ / "closed");
  fixtures::Write_File((tree_ / "closed" / "hidden.dcm").string(), fixtures::Dicom_CT_Slice(8, 8));
  chmod((tree_ / "closed").c_str(), 0);
  chmod(tmp_.path.parent_path().c_str(), 0755);
  chmod(tmp_.path.c_str(), 0755);
  // The owner of a folder, or root, reads it whatever its mode: run as
  // nobody then.
  const int uid = geteuid() == 0 ? 65534 : -1;
  const int status = Wait(Spawn({"scan", tree_.string(), "--jsonl", "-j", "2"}, tmp_ / "out", uid));
  chmod((tree_ / "closed").c_str(), 0755);
  EXPECT_EQ(status, 1);  // some entries failed
  std::map<std::string, std::string> seen;
  std::ifstream in(tmp_ / "out");
  for (std::string line; std::getline(in, line);) {
    const auto j = nlohmann::json::parse(line);
    const std::string path = j["path"];
    ASSERT_GT(path.size(), tree_.string().size()) << line;
    EXPECT_EQ(seen.count(path), 0u) << path;
    seen[path.substr(tree_.string().size() + 1)] = j["status"].get<std::string>() + " " + (j["error"].is_null() ? "" : j["error"].get<std::string>());
  }
  const std::map<std::string, std::string> expected{
      {"series0/ct0.dcm", "read "},
      {"series0/ct1.dcm", "read "},
      {"series0/ct2.dcm", "read "},
      {"notes.txt", "unknown "},
      {"series0/up", "problem ERROR: symbolic link loop: the folder contains itself"},
      {"dangling", "problem ERROR: broken symbolic link: [ENOENT] No such file or directory"},
      {"closed", "problem ERROR: cannot open folder: [EACCES] Permission denied"},
  };
  // The folder reached through "again" is walked once, under whichever name
  // came first.
  std::map<std::string, std::string> got;
  for (const auto& [path, what] : seen)
    got[path.rfind("again/", 0) == 0 ? "series0/" + path.substr(6) : path] = what;
  EXPECT_EQ(got, expected);
}

}  // namespace

#endif  // KEMA_CLI_PATH
