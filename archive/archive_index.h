// Outputs of a scan: the SQLite index (incremental and resumable) and JSON
// lines for pipelines.
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/archive_scan.h"

namespace archive {

// The index file. Each run adds a row to `runs`; files whose path, size and
// time are in `files` already are not read again, only marked as seen. The
// rows go in one transaction per batch in WAL mode, so a run killed at any
// moment loses at most its last batch and leaves a sound database, and the
// next run carries on where it stopped. Only a run that walked its whole
// tree marks the files it did not see as vanished. Each image is one row of
// `images`, keyed by (path, image); a file read again replaces all its rows.
// The series keys of the images a run touched are given when it ends
// (Index_Regroup), so that they follow the same order whatever the order
// of reading.
class SqliteIndex : public ScanSink {
 public:
  // Opens or creates `file`; null with the reason in `error` when it cannot.
  static std::unique_ptr<SqliteIndex> Open(const std::string& file, std::string& error);
  ~SqliteIndex() override;

  bool Known(const std::string& path, int64_t size, int64_t mtime_ns) override;
  bool Write(ScanEntry&& entry) override;
  bool Finish(const std::vector<std::string>& roots, bool complete) override;

  // Files another index holds already (path, size, time): those are the
  // known ones instead of this file's, and each one met is recorded here
  // with the status "unchanged" (a shard of a distributed scan, merged into
  // that index later).
  struct KnownFile {
    std::string path;
    int64_t size;
    int64_t mtime_ns;
  };
  void Set_Known_Elsewhere(const std::vector<KnownFile>& files);

  // Entries per transaction.
  void Set_Batch(size_t n) { batch_ = n ? n : 1; }
  // Vanished files are looked for only in the folders given, not below.
  void Set_Recursive(bool on) { recursive_ = on; }
  const std::string& error() const { return error_; }
  uint64_t vanished() const { return vanished_; }
  int64_t run() const { return run_; }

 private:
  SqliteIndex() = default;
  bool Exec(const char* sql);
  bool Fail(const char* what);
  bool Commit();
  bool Prepare();

  sqlite3* db_ = nullptr;     // the writer's connection
  sqlite3* probe_ = nullptr;  // the walk's own connection, for Known()
  sqlite3_stmt* known_ = nullptr;
  sqlite3_stmt* seen_ = nullptr;
  sqlite3_stmt* put_file_ = nullptr;
  sqlite3_stmt* put_image_ = nullptr;
  sqlite3_stmt* drop_image_ = nullptr;
  sqlite3_stmt* pend_file_ = nullptr;
  sqlite3_stmt* pend_fields_ = nullptr;
  std::unordered_set<std::string> pending_fields_;  // put in series_pending this run
  SeriesGrouper grouper_;
  bool known_elsewhere_ = false;
  bool empty_ = false;  // no file was indexed before this run
  std::unordered_map<std::string, std::pair<int64_t, int64_t>> elsewhere_;
  int64_t run_ = 0;
  size_t batch_ = 512;
  size_t pending_ = 0;
  bool recursive_ = true;
  uint64_t files_ = 0, read_ = 0, errors_ = 0, vanished_ = 0;
  std::string error_;
};

// One JSON object per line (Entry_Rows) on `out`. The series are formed in
// the order the images come, the files as the readers finish them.
class JsonLinesSink : public ScanSink {
 public:
  explicit JsonLinesSink(std::FILE* out) : out_(out) {}
  bool Write(ScanEntry&& entry) override;
  bool Finish(const std::vector<std::string>& roots, bool complete) override;

 private:
  std::FILE* out_;
  SeriesGrouper grouper_;
  std::vector<Json> rows_;
};

// The statements that make an index: what the README documents.
std::string Index_Schema();

// Makes the tables that are missing. An index from before images had rows
// of their own loses its images and forgets its files, so that the next run
// reads them all again.
bool Index_Prepare(sqlite3* db, std::string& error);

// Gives the images whose series fields wait in series_pending their series
// keys, grouping each such set of images in path and image order, and
// empties series_pending. The first form works inside the caller's
// transaction, the second opens the index and makes its own.
bool Index_Regroup(sqlite3* db, std::string& error);
bool Index_Regroup(const std::string& file, std::string& error);

}  // namespace archive
