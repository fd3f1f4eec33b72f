#include "archive/archive_index.h"

#include <cmath>
#include <ctime>

#include "Convert/kema_image.h"

namespace archive {

namespace {

// Column of each image field: numbers as numbers, lists as JSON text.
const char* Column_Type(const Json& v) {
  if (v.is_number_integer() || v.is_boolean()) return "INTEGER";
  if (v.is_number()) return "REAL";
  return "TEXT";
}

// The image fields stored as columns: all but the format, kept once in the
// files table and once here under the same name.
const std::vector<std::string>& Image_Columns() { return Image_Field_Names(); }

std::string Now_Text() {
  char buf[32];
  const std::time_t t = std::time(nullptr);
  struct tm tm;
  gmtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

void Bind_Text(sqlite3_stmt* s, int i, const std::string& text) {
  if (text.empty()) sqlite3_bind_null(s, i);
  else sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Bind_Json(sqlite3_stmt* s, int i, const Json& v) {
  if (v.is_null()) sqlite3_bind_null(s, i);
  else if (v.is_boolean()) sqlite3_bind_int(s, i, v.get<bool>());
  else if (v.is_number_unsigned()) sqlite3_bind_int64(s, i, static_cast<int64_t>(v.get<uint64_t>()));
  else if (v.is_number_integer()) sqlite3_bind_int64(s, i, v.get<int64_t>());
  else if (v.is_number()) sqlite3_bind_double(s, i, v.get<double>());
  else if (v.is_string()) Bind_Text(s, i, v.get_ref<const std::string&>());
  else Bind_Text(s, i, v.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// The upper end of the paths that start with `prefix`: the prefix with its
// last byte raised by one ('/' becomes '0').
std::string Prefix_End(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

}  // namespace

std::string Index_Schema() {
  std::string images =
      "CREATE TABLE IF NOT EXISTS images(\n"
      "  path TEXT NOT NULL,\n"
      "  image INTEGER NOT NULL,\n"
      "  series TEXT,\n"
      "  series_fields TEXT";
  const Json defaults = Image_Fields(ImageHeader{});
  for (const std::string& name : Image_Columns())
    images += ",\n  " + name + " " + Column_Type(defaults[name]);
  images += ",\n  PRIMARY KEY(path, image)) WITHOUT ROWID;\n";
  return
      "CREATE TABLE IF NOT EXISTS runs(\n"
      "  run INTEGER PRIMARY KEY, started TEXT, finished TEXT, roots TEXT,\n"
      "  complete INTEGER DEFAULT 0, files INTEGER, read INTEGER, errors INTEGER, vanished INTEGER);\n"
      "CREATE TABLE IF NOT EXISTS files(\n"
      "  path TEXT PRIMARY KEY,\n"
      "  size INTEGER, mtime_ns INTEGER,\n"
      "  status TEXT NOT NULL,\n"
      "  format INTEGER, error TEXT,\n"
      "  read_run INTEGER, seen_run INTEGER) WITHOUT ROWID;\n" +
      images +
      "CREATE INDEX IF NOT EXISTS images_series ON images(series);\n"
      "CREATE INDEX IF NOT EXISTS images_series_fields ON images(series_fields);\n"
      "CREATE TABLE IF NOT EXISTS series_pending(series_fields TEXT PRIMARY KEY) WITHOUT ROWID;\n"
      "CREATE VIEW IF NOT EXISTS series AS\n"
      "  SELECT series, min(patient_name) AS patient_name, min(patient_id) AS patient_id,\n"
      "         min(modality) AS modality, min(series_num) AS series_num, count(*) AS images,\n"
      "         count(DISTINCT path) AS files, min(path) AS first_path\n"
      "  FROM images GROUP BY series;\n"
      "PRAGMA user_version = 2;\n";
}

bool Index_Prepare(sqlite3* db, std::string& error) {
  auto exec = [&](const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return false;
  };
  // An index of one row per file (before images were split): its images are
  // dropped and its files forgotten, so that the next run reads them all
  // again.
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT (SELECT count(*) FROM pragma_table_info('images')),"
                         " (SELECT count(*) FROM pragma_table_info('images') WHERE name = 'image')",
                         -1, &s, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  const bool old = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0 && sqlite3_column_int(s, 1) == 0;
  sqlite3_finalize(s);
  if (old && !exec("BEGIN IMMEDIATE; DROP VIEW IF EXISTS series; DROP TABLE images; DELETE FROM files; COMMIT")) {
    exec("ROLLBACK");
    return false;
  }
  return exec(Index_Schema().c_str());
}

bool Index_Regroup(sqlite3* db, std::string& error) {
  auto fail = [&](const char* what) {
    error = std::string(what) + ": " + sqlite3_errmsg(db);
    return false;
  };
  std::vector<std::string> pending;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT series_fields FROM series_pending", -1, &s, nullptr) != SQLITE_OK)
    return fail("prepare");
  while (sqlite3_step(s) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(s, 0);
    if (t) pending.emplace_back(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, 0)));
  }
  sqlite3_finalize(s);
  sqlite3_stmt* rows = nullptr;
  sqlite3_stmt* set = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT path, image, image_orientation_patient, series FROM images WHERE series_fields = ?1"
                         " ORDER BY path, image",
                         -1, &rows, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "UPDATE images SET series = ?3 WHERE path = ?1 AND image = ?2", -1, &set, nullptr) !=
          SQLITE_OK) {
    sqlite3_finalize(rows);
    return fail("prepare");
  }
  struct Change {
    std::string path;
    int64_t image;
    std::string series;
  };
  bool ok = true;
  for (const std::string& fields : pending) {
    // The groups form in path and image order, as `kema convert` forms them
    // in the order it reads its files.
    kema::OrientationGroups groups;
    std::vector<Change> changes;
    Bind_Text(rows, 1, fields);
    while (sqlite3_step(rows) == SQLITE_ROW) {
      DicomGeometry g;
      const unsigned char* o = sqlite3_column_text(rows, 2);
      const Json v = o ? Json::parse(reinterpret_cast<const char*>(o), nullptr, false) : Json();
      for (int i = 0; i < 6; ++i) {
        // null: not finite
        const float c = v.is_array() && v.size() == 6 && v[i].is_number() ? v[i].get<float>() : std::nanf("");
        (i < 3 ? g.row : g.col)[static_cast<size_t>(i % 3)] = c;
      }
      const std::string key = kema::Series_Key(fields, groups.First(groups.Add(g)));
      const unsigned char* was = sqlite3_column_text(rows, 3);
      if (!was || key != reinterpret_cast<const char*>(was)) {
        const unsigned char* path = sqlite3_column_text(rows, 0);
        changes.push_back({std::string(reinterpret_cast<const char*>(path), static_cast<size_t>(sqlite3_column_bytes(rows, 0))),
                           sqlite3_column_int64(rows, 1), key});
      }
    }
    sqlite3_reset(rows);
    for (const Change& c : changes) {
      sqlite3_bind_text(set, 1, c.path.data(), static_cast<int>(c.path.size()), SQLITE_STATIC);
      sqlite3_bind_int64(set, 2, c.image);
      sqlite3_bind_text(set, 3, c.series.data(), static_cast<int>(c.series.size()), SQLITE_STATIC);
      ok = ok && sqlite3_step(set) == SQLITE_DONE;
      sqlite3_reset(set);
    }
    if (!ok) break;
  }
  sqlite3_finalize(rows);
  sqlite3_finalize(set);
  if (!ok) return fail("update");
  char* msg = nullptr;
  if (sqlite3_exec(db, "DELETE FROM series_pending", nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

bool Index_Regroup(const std::string& file, std::string& error) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_busy_timeout(db, 10000);
    char* msg = nullptr;
    ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, &msg) == SQLITE_OK;
    if (!ok) error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    msg = nullptr;
    if (ok) ok = Index_Regroup(db, error);
    if (ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, &msg) != SQLITE_OK) {
      ok = false;
      error = msg ? msg : sqlite3_errmsg(db);
    }
    sqlite3_free(msg);
  } else {
    error = "cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
  }
  sqlite3_close(db);  // an open transaction is rolled back
  return ok;
}

std::unique_ptr<SqliteIndex> SqliteIndex::Open(const std::string& file, std::string& error) {
  std::unique_ptr<SqliteIndex> x(new SqliteIndex);
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(file.c_str(), &x->db_, flags, nullptr) != SQLITE_OK) {
    error = "cannot open " + file + ": " + (x->db_ ? sqlite3_errmsg(x->db_) : "out of memory");
    return nullptr;
  }
  sqlite3_busy_timeout(x->db_, 10000);
  if (!x->Exec("PRAGMA journal_mode=WAL") || !x->Exec("PRAGMA synchronous=NORMAL") ||
      !Index_Prepare(x->db_, x->error_) || !x->Prepare()) {
    error = file + ": " + x->error_;
    return nullptr;
  }
  if (sqlite3_open_v2(file.c_str(), &x->probe_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(x->probe_,
                         "SELECT 1 FROM files WHERE path=?1 AND size=?2 AND mtime_ns=?3"
                         " AND status IN ('read','error','unknown')",
                         -1, &x->known_, nullptr) != SQLITE_OK) {
    error = file + ": " + sqlite3_errmsg(x->probe_);
    return nullptr;
  }
  sqlite3_busy_timeout(x->probe_, 10000);
  // A new index knows no file: the walk need not ask it about each one.
  sqlite3_stmt* any = nullptr;
  if (sqlite3_prepare_v2(x->db_, "SELECT EXISTS(SELECT 1 FROM files)", -1, &any, nullptr) == SQLITE_OK &&
      sqlite3_step(any) == SQLITE_ROW)
    x->empty_ = sqlite3_column_int(any, 0) == 0;
  sqlite3_finalize(any);
  const std::string now = Now_Text();
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(x->db_, "INSERT INTO runs(started) VALUES(?1)", -1, &s, nullptr) != SQLITE_OK) {
    error = file + ": " + sqlite3_errmsg(x->db_);
    return nullptr;
  }
  Bind_Text(s, 1, now);
  const int rc = sqlite3_step(s);
  sqlite3_finalize(s);
  if (rc != SQLITE_DONE) {
    error = file + ": " + sqlite3_errmsg(x->db_);
    return nullptr;
  }
  x->run_ = sqlite3_last_insert_rowid(x->db_);
  return x;
}

SqliteIndex::~SqliteIndex() {
  if (pending_) Commit();
  for (sqlite3_stmt* s : {known_, seen_, put_file_, put_image_, drop_image_, pend_file_, pend_fields_}) sqlite3_finalize(s);
  sqlite3_close(probe_);
  sqlite3_close(db_);
}

bool SqliteIndex::Exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  error_ = msg ? msg : sqlite3_errmsg(db_);
  sqlite3_free(msg);
  return false;
}

bool SqliteIndex::Fail(const char* what) {
  error_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  return false;
}

bool SqliteIndex::Prepare() {
  std::string cols = "path, image, series_fields, series", marks = "?1, ?2, ?3, ?4";
  int n = 4;
  for (const std::string& name : Image_Columns()) {
    cols += ", " + name;
    marks += ", ?" + std::to_string(++n);
  }
  const std::string put_image = "INSERT OR REPLACE INTO images(" + cols + ") VALUES(" + marks + ")";
  const struct {
    sqlite3_stmt** stmt;
    const char* sql;
  } statements[] = {
      {&seen_, "UPDATE files SET seen_run=?2 WHERE path=?1"},
      {&put_file_,
       "INSERT INTO files(path, size, mtime_ns, status, format, error, read_run, seen_run)"
       " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7)"
       " ON CONFLICT(path) DO UPDATE SET size=excluded.size, mtime_ns=excluded.mtime_ns,"
       " status=excluded.status, format=excluded.format, error=excluded.error,"
       " read_run=excluded.read_run, seen_run=excluded.seen_run"},
      {&put_image_, put_image.c_str()},
      {&drop_image_, "DELETE FROM images WHERE path=?1"},
      {&pend_file_,
       "INSERT OR IGNORE INTO series_pending SELECT DISTINCT series_fields FROM images"
       " WHERE path=?1 AND series_fields IS NOT NULL"},
      {&pend_fields_, "INSERT OR IGNORE INTO series_pending VALUES(?1)"},
  };
  for (const auto& st : statements)
    if (sqlite3_prepare_v2(db_, st.sql, -1, st.stmt, nullptr) != SQLITE_OK) return Fail("prepare");
  return true;
}

bool SqliteIndex::Commit() {
  pending_ = 0;
  return Exec("COMMIT");
}

void SqliteIndex::Set_Known_Elsewhere(const std::vector<KnownFile>& files) {
  known_elsewhere_ = true;
  elsewhere_.clear();
  for (const KnownFile& f : files) elsewhere_[f.path] = {f.size, f.mtime_ns};
}

bool SqliteIndex::Known(const std::string& path, int64_t size, int64_t mtime_ns) {
  if (known_elsewhere_) {
    const auto it = elsewhere_.find(path);
    return it != elsewhere_.end() && it->second == std::make_pair(size, mtime_ns);
  }
  if (empty_) return false;
  sqlite3_reset(known_);
  sqlite3_bind_text(known_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  sqlite3_bind_int64(known_, 2, size);
  sqlite3_bind_int64(known_, 3, mtime_ns);
  const bool found = sqlite3_step(known_) == SQLITE_ROW;
  sqlite3_reset(known_);
  return found;
}

bool SqliteIndex::Write(ScanEntry&& e) {
  if (pending_ == 0 && !Exec("BEGIN")) return false;
  auto step = [&](sqlite3_stmt* s) {
    const bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return ok;
  };
  ++files_;
  if (e.status == EntryStatus::Unchanged && !known_elsewhere_) {
    sqlite3_bind_text(seen_, 1, e.path.data(), static_cast<int>(e.path.size()), SQLITE_STATIC);
    sqlite3_bind_int64(seen_, 2, run_);
    if (!step(seen_)) return Fail("update");
  } else {
    if (e.status != EntryStatus::Problem && e.status != EntryStatus::Unchanged) ++read_;
    if (e.status == EntryStatus::Error || e.status == EntryStatus::Problem) ++errors_;
    sqlite3_stmt* s = put_file_;
    Bind_Text(s, 1, e.path);
    sqlite3_bind_int64(s, 2, e.size);
    sqlite3_bind_int64(s, 3, e.mtime_ns);
    sqlite3_bind_text(s, 4, Entry_Status_Name(e.status), -1, SQLITE_STATIC);
    if (e.status == EntryStatus::Problem || e.status == EntryStatus::Unchanged) sqlite3_bind_null(s, 5);
    else sqlite3_bind_int(s, 5, e.format);
    Bind_Text(s, 6, e.error);
    sqlite3_bind_int64(s, 7, run_);
    if (!step(s)) return Fail("insert");
    // The file's images before (none in a new index): their series may
    // change once they are gone.
    if (!empty_) {
      Bind_Text(pend_file_, 1, e.path);
      if (!step(pend_file_)) return Fail("insert");
      Bind_Text(drop_image_, 1, e.path);
      if (!step(drop_image_)) return Fail("delete");
    }
    for (size_t k = 0; k < e.images.size(); ++k) {
      ScanImage& im = e.images[k];
      s = put_image_;
      Bind_Text(s, 1, e.path);
      sqlite3_bind_int64(s, 2, static_cast<int64_t>(k));
      Bind_Text(s, 3, im.series_fields);
      // A first guess at the series, in the order the files come: the key
      // is settled when the run ends, and mostly the guess stands.
      Bind_Text(s, 4, grouper_.Assign(im));
      // The fields come in the columns' order; a field missing is null.
      const std::vector<std::string>& names = Image_Columns();
      const Json& fields = im.fields;
      const bool object = fields.is_object();
      auto it = fields.cbegin();
      for (size_t c = 0; c < names.size(); ++c) {
        const int col = static_cast<int>(c) + 5;
        if (object && it != fields.cend() && it.key() == names[c]) {
          Bind_Json(s, col, *it++);
        } else {
          const auto f = object ? fields.find(names[c]) : fields.cend();
          if (f != fields.cend()) Bind_Json(s, col, *f);
          else sqlite3_bind_null(s, col);
        }
      }
      if (!step(s)) return Fail("insert");
      // The keys are settled when the run ends, over the whole index.
      if (pending_fields_.insert(im.series_fields).second) {
        Bind_Text(pend_fields_, 1, im.series_fields);
        if (!step(pend_fields_)) return Fail("insert");
      }
    }
  }
  if (++pending_ >= batch_) return Commit();
  return true;
}

bool SqliteIndex::Finish(const std::vector<std::string>& roots, bool complete) {
  if (pending_ && !Commit()) return false;
  if (!Exec("BEGIN")) return false;
  if (complete) {
    // Files under the roots this run did not see are gone: marked, their
    // images dropped. A folder problem not met again is simply forgotten.
    sqlite3_stmt* mark = nullptr;
    sqlite3_stmt* forget = nullptr;
    const char* where = " WHERE seen_run < ?1 AND (path = ?2 OR (path >= ?3 AND path < ?4))"
                        " AND (?5 OR instr(substr(path, length(?3) + 1), '/') = 0)";
    const std::string mark_sql = std::string("UPDATE files SET status='vanished', error=NULL") + where +
                                 " AND status NOT IN ('vanished', 'problem')";
    const std::string forget_sql = std::string("DELETE FROM files") + where + " AND status = 'problem'";
    if (sqlite3_prepare_v2(db_, mark_sql.c_str(), -1, &mark, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, forget_sql.c_str(), -1, &forget, nullptr) != SQLITE_OK) {
      sqlite3_finalize(mark);
      return Fail("prepare");
    }
    bool ok = true;
    for (const std::string& root : roots) {
      const std::string path = Absolute_Path(root);
      if (path.empty()) continue;
      const std::string prefix = path == "/" ? path : path + "/";
      for (sqlite3_stmt* s : {mark, forget}) {
        sqlite3_bind_int64(s, 1, run_);
        Bind_Text(s, 2, path);
        Bind_Text(s, 3, prefix);
        Bind_Text(s, 4, Prefix_End(prefix));
        sqlite3_bind_int(s, 5, recursive_ ? 1 : 0);
        ok = ok && sqlite3_step(s) == SQLITE_DONE;
        if (s == mark) vanished_ += static_cast<uint64_t>(sqlite3_changes(db_));
        sqlite3_reset(s);
      }
    }
    sqlite3_finalize(mark);
    sqlite3_finalize(forget);
    if (!ok) return Fail("update");
    if (!Exec("INSERT OR IGNORE INTO series_pending SELECT DISTINCT series_fields FROM images"
              " WHERE series_fields IS NOT NULL AND path IN (SELECT path FROM files WHERE status='vanished')") ||
        !Exec("DELETE FROM images WHERE path IN (SELECT path FROM files WHERE status='vanished')"))
      return false;
  }
  // Also what a run killed before its end left pending.
  if (!Index_Regroup(db_, error_)) return false;
  pending_fields_.clear();
  std::string roots_text;
  for (const std::string& r : roots) roots_text += (roots_text.empty() ? "" : "\n") + Absolute_Path(r);
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "UPDATE runs SET finished=?2, roots=?3, complete=?4, files=?5, read=?6, errors=?7,"
                         " vanished=?8 WHERE run=?1",
                         -1, &s, nullptr) != SQLITE_OK)
    return Fail("prepare");
  sqlite3_bind_int64(s, 1, run_);
  Bind_Text(s, 2, Now_Text());
  Bind_Text(s, 3, roots_text);
  sqlite3_bind_int(s, 4, complete ? 1 : 0);
  sqlite3_bind_int64(s, 5, static_cast<int64_t>(files_));
  sqlite3_bind_int64(s, 6, static_cast<int64_t>(read_));
  sqlite3_bind_int64(s, 7, static_cast<int64_t>(errors_));
  sqlite3_bind_int64(s, 8, static_cast<int64_t>(vanished_));
  const bool ok = sqlite3_step(s) == SQLITE_DONE;
  sqlite3_finalize(s);
  if (!ok) return Fail("update");
  return Exec("COMMIT");
}

bool JsonLinesSink::Write(ScanEntry&& e) {
  for (ScanImage& im : e.images) grouper_.Assign(im);
  rows_.clear();
  Entry_Rows(e, rows_);
  for (const Json& row : rows_) {
    const std::string line = row.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::fputs(line.c_str(), out_);
    if (std::fputc('\n', out_) == EOF) return false;
  }
  return true;
}

bool JsonLinesSink::Finish(const std::vector<std::string>&, bool) { return std::fflush(out_) == 0 && !std::ferror(out_); }

}  // namespace archive
