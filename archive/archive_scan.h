// Indexing folder trees: a streamed walk, a pool of readers and one writer.
// The walk hands files to the readers through a bounded queue and the
// readers hand their results to the writer through another, so memory stays
// bounded whatever the size of the tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive_record.h"

namespace archive {

// What the index says of one file, or of a folder or link the walk could
// not follow.
enum class EntryStatus : uint8_t {
  Read,       // header read: `images` holds one entry per image
  Error,      // detection or the read failed: `error` says why
  Unknown,    // no format recognised
  Unchanged,  // indexed before with the same size and time: not read again
  Problem,    // a folder that does not open, a link loop, a broken link
};
const char* Entry_Status_Name(EntryStatus status);

struct ScanEntry {
  std::string path;  // absolute
  EntryStatus status = EntryStatus::Read;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  uint16_t format = 0;
  std::string error;
  std::vector<ScanImage> images;  // Read only: the file's images as the viewer splits it
};

// The rows of an entry, one per image (one with image and series null when
// the file gave none): path, image (its index in the file), size, mtime_ns,
// status, format, error, series, then the image fields. The row shape of
// every output; the series is the image's ScanImage::series.
void Entry_Rows(const ScanEntry& e, std::vector<Json>& rows);
// The row of image `k` of `e` (k < 0: the file's only row, no image).
Json Entry_Row(const ScanEntry& e, int k);

// Where the results go. Known() is called on the walking thread, the rest on
// the thread that called Archive_Scan.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // True when `path` was indexed already with this size and time.
  virtual bool Known(const std::string& path, int64_t size, int64_t mtime_ns) { return false; }
  // False stops the scan (the output failed).
  virtual bool Write(ScanEntry&& entry) = 0;
  // Called once at the end; `complete` when the whole of `roots` was walked,
  // so that files not seen may be marked as vanished.
  virtual bool Finish(const std::vector<std::string>& roots, bool complete) = 0;
};

struct ScanProgress {
  uint64_t files = 0;      // entries written
  uint64_t read = 0;       // files read this run
  uint64_t unchanged = 0;  // skipped as unchanged
  uint64_t errors = 0;     // failed reads and problems
  double seconds = 0;
};

struct ScanOptions {
  int workers = 0;         // readers; 0: one per core
  bool pixels = false;     // read the pixels too, for the value range
  bool recursive = true;   // false: the files of each folder given, not below
  size_t queue = 256;      // bound of each queue
  std::function<void(const ScanProgress&)> progress;  // on the writer thread, a few times a second
  const std::atomic<bool>* stop = nullptr;            // set: stop soon, keep what is done
  std::vector<std::string> exclude;  // absolute paths left out (the index's own files)
};

// The files of an SQLite index at `db` (with its log and shared memory), as
// absolute paths: what a scan into it leaves out.
std::vector<std::string> Index_Files(const std::string& db);

// The absolute, lexically normal form of a path ("" when it has none).
std::string Absolute_Path(const std::string& path);

// At most this many images of one file are indexed (a 64-slice series of a
// thousand time points fits): a file of more is an error, since the rows of
// one file travel together and are held at once.
constexpr uint32_t kMaxFileImages = 65536;

// Reads one file as the scan does (header only unless `pixels`), one image
// per slice and time point; series keys are left to the output.
ScanEntry Scan_File(const std::string& path, int64_t size, int64_t mtime_ns, bool pixels);

// Walks `roots` (folders or files) and writes one entry per file to `sink`.
// Symbolic links are followed; a folder reached twice is walked once, and a
// link back into its own ancestry is reported as a loop. Returns what was
// done; `complete` is false when the scan stopped early.
ScanProgress Archive_Scan(const std::vector<std::string>& roots, const ScanOptions& options, ScanSink& sink,
                          bool* complete = nullptr);

}  // namespace archive
