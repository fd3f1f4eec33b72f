#include "archive/archive_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <utility>

#include "Convert/conv_file_read.h"
#include "Convert/kema_image.h"
#include "archive/archive_log.h"
#include "export/export_text.h"
#include "log/log.h"

namespace archive {

namespace {

struct WorkItem;
using WorkChunk = std::vector<WorkItem>;
using ResultChunk = std::vector<ScanEntry>;
size_t Weight(const WorkChunk& c);
size_t Weight(const ResultChunk& c);

// A queue of items weighing at most `limit` together (an item weighs what
// Weight says, at least 1): push waits while it is full, pop while it is
// empty and open. An item heavier than the limit goes in alone.
template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t limit) : limit_(limit ? limit : 1) {}
  bool Push(T&& item) {
    const size_t w = std::max<size_t>(1, Weight(item));
    std::unique_lock<std::mutex> lock(m_);
    not_full_.wait(lock, [&] { return items_.empty() || weight_ + w <= limit_ || closed_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    weight_ += w;
    not_empty_.notify_one();
    return true;
  }
  bool Pop(T& item) {
    std::unique_lock<std::mutex> lock(m_);
    not_empty_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    weight_ -= std::max<size_t>(1, Weight(item));
    not_full_.notify_one();
    return true;
  }
  // No more pushes; pops return what is left, then false.
  void Close() {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable not_full_, not_empty_;
  std::deque<T> items_;
  size_t limit_;
  size_t weight_ = 0;
  bool closed_ = false;
};

struct WorkItem {
  std::string path;
  int64_t size = 0;
  int64_t mtime_ns = 0;
};

// Items travel between the threads in chunks, so that a thread is woken
// once per chunk rather than once per file.
constexpr size_t kChunk = 32;
constexpr size_t kChunkImages = 1024;

// Work weighs a chunk each; results weigh their rows, so that files of many
// images cannot fill memory while they wait for the writer.
size_t Weight(const WorkChunk&) { return kChunk; }
size_t Weight(const ResultChunk& c) {
  size_t rows = 0;
  for (const ScanEntry& e : c) rows += std::max<size_t>(1, e.images.size());
  return rows;
}

using DirId = std::pair<dev_t, ino_t>;

int64_t Mtime_Ns(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

ScanEntry Problem(const std::string& path, const std::string& what) {
  ScanEntry e;
  e.path = path;
  e.status = EntryStatus::Problem;
  e.error = "ERROR: " + what;
  return e;
}

std::string Errno_Text(int err) { return System_Error_Text(err); }

// The walk: one thread, streaming each folder's files into the work queue
// as it lists them. A folder's subfolders wait in its frame until its files
// are listed, so only the pending subfolder names of the current branch are
// held.
class Walker {
 public:
  Walker(const ScanOptions& opt, ScanSink& sink, BoundedQueue<WorkChunk>& work, BoundedQueue<ResultChunk>& results)
      : opt_(opt), sink_(sink), work_(work), results_(results) {}

  // Hands on the chunks begun; false when the queues are closed.
  bool Flush() {
    bool ok = true;
    if (!files_.empty()) ok = work_.Push(std::exchange(files_, {}));
    if (!entries_.empty()) ok = results_.Push(std::exchange(entries_, {})) && ok;
    return ok;
  }

  // False when stopped before the end.
  bool Run(const std::vector<std::string>& roots) {
    for (const std::string& root : roots) {
      if (Stopped()) return false;
      const std::string path = Absolute_Path(root);
      struct stat st;
      if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (!Emit(Problem(path.empty() ? root : path, "cannot read " + Output(root) + ": " + Errno_Text(errno))))
          return false;
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (!Walk(path, {st.st_dev, st.st_ino})) return false;
      } else if (S_ISREG(st.st_mode)) {
        if (!File(path, st)) return false;
      } else {
        if (!Emit(Problem(path, "not a regular file or folder"))) return false;
      }
    }
    return !Stopped();
  }

 private:
  struct Frame {
    std::string path;
    DirId id;
    std::vector<std::pair<std::string, DirId>> subdirs;
    size_t next = 0;
  };

  bool Stopped() const { return opt_.stop && opt_.stop->load(); }
  static std::string Output(const std::string& s) { return kema::Output_Text(s, false); }
  bool Emit(ScanEntry&& e) {
    entries_.push_back(std::move(e));
    return entries_.size() < kChunk || results_.Push(std::exchange(entries_, {}));
  }

  bool File(const std::string& path, const struct stat& st) {
    for (const std::string& x : opt_.exclude)
      if (x == path) return true;
    WorkItem item{path, static_cast<int64_t>(st.st_size), Mtime_Ns(st)};
    if (sink_.Known(item.path, item.size, item.mtime_ns)) {
      ScanEntry e;
      e.path = std::move(item.path);
      e.status = EntryStatus::Unchanged;
      e.size = item.size;
      e.mtime_ns = item.mtime_ns;
      return Emit(std::move(e));
    }
    files_.push_back(std::move(item));
    return files_.size() < kChunk || work_.Push(std::exchange(files_, {}));
  }

  bool Walk(const std::string& root, DirId id) {
    std::vector<Frame> stack;
    if (visited_.insert(id).second && !Enter(stack, root, id)) return false;
    while (!stack.empty()) {
      if (Stopped()) return false;
      Frame& top = stack.back();
      if (top.next >= top.subdirs.size()) {
        stack.pop_back();
        continue;
      }
      auto [name, sub_id] = top.subdirs[top.next++];
      const std::string path = top.path == "/" ? "/" + name : top.path + "/" + name;
      bool ancestor = false;
      for (const Frame& f : stack) ancestor = ancestor || f.id == sub_id;
      if (ancestor) {
        if (!Emit(Problem(path, "symbolic link loop: the folder contains itself"))) return false;
        continue;
      }
      if (!visited_.insert(sub_id).second) continue;  // walked already through another link
      if (!Enter(stack, path, sub_id)) return false;
    }
    return true;
  }

  // Lists one folder: its files go to the readers, its subfolders into a
  // new frame (none when the walk is not recursive below the roots).
  bool Enter(std::vector<Frame>& stack, const std::string& path, DirId id) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return Emit(Problem(path, "cannot open folder: " + Errno_Text(errno)));
    Frame frame{path, id, {}, 0};
    const bool descend = opt_.recursive;
    bool ok = true;
    while (ok && !Stopped()) {
      errno = 0;
      struct dirent* d = ::readdir(dir);
      if (!d) {
        if (errno != 0) ok = Emit(Problem(path, "cannot list folder: " + Errno_Text(errno)));
        break;
      }
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      const std::string full = path == "/" ? "/" + std::string(name) : path + "/" + name;
      if (!descend && d->d_type == DT_DIR) continue;
      struct stat st;
      if (::fstatat(::dirfd(dir), name, &st, 0) != 0) {
        const int err = errno;
        struct stat lst;
        if (::fstatat(::dirfd(dir), name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode))
          ok = Emit(Problem(full, err == ELOOP ? "symbolic link loop" : "broken symbolic link: " + Errno_Text(err)));
        else
          ok = Emit(Problem(full, "cannot read: " + Errno_Text(err)));
        continue;
      }
      if (S_ISREG(st.st_mode)) ok = File(full, st);
      else if (S_ISDIR(st.st_mode) && descend) frame.subdirs.emplace_back(name, DirId{st.st_dev, st.st_ino});
      // Devices, pipes and sockets are not image files: never opened.
    }
    ::closedir(dir);
    if (ok && !frame.subdirs.empty()) stack.push_back(std::move(frame));
    return ok;
  }

  const ScanOptions& opt_;
  ScanSink& sink_;
  BoundedQueue<WorkChunk>& work_;
  BoundedQueue<ResultChunk>& results_;
  WorkChunk files_;
  ResultChunk entries_;
  std::set<DirId> visited_;
};

const char* Failure_Heading(FileReadFailure failure) {
  switch (failure) {
    case FileReadFailure::Open: return "ERROR: Unable to open file !";
    case FileReadFailure::Format: return "ERROR: in header of image !";
    case FileReadFailure::Data: return "ERROR: Unable to read image data !";
    default: return "ERROR: Unable to read image header !";
  }
}

}  // namespace

const char* Entry_Status_Name(EntryStatus status) {
  switch (status) {
    case EntryStatus::Read: return "read";
    case EntryStatus::Error: return "error";
    case EntryStatus::Unknown: return "unknown";
    case EntryStatus::Unchanged: return "unchanged";
    case EntryStatus::Problem: return "problem";
  }
  return "?";
}

Json Entry_Row(const ScanEntry& e, int k) {
  const ScanImage* im = k >= 0 && static_cast<size_t>(k) < e.images.size() ? &e.images[static_cast<size_t>(k)] : nullptr;
  Json j;
  j["path"] = kema::Output_Text(e.path, false);
  j["image"] = im ? Json(k) : Json(nullptr);
  j["size"] = e.size;
  j["mtime_ns"] = e.mtime_ns;
  j["status"] = Entry_Status_Name(e.status);
  j["format"] = e.format;
  j["error"] = e.error.empty() ? Json(nullptr) : Json(e.error);
  j["series"] = im && !im->series.empty() ? Json(im->series) : Json(nullptr);
  if (im && im->fields.is_object())
    for (const auto& item : im->fields.items())
      if (item.key() != "format") j[item.key()] = item.value();
  return j;
}

void Entry_Rows(const ScanEntry& e, std::vector<Json>& rows) {
  if (e.images.empty()) rows.push_back(Entry_Row(e, -1));
  for (size_t k = 0; k < e.images.size(); ++k) rows.push_back(Entry_Row(e, static_cast<int>(k)));
}

std::vector<std::string> Index_Files(const std::string& db) {
  const std::string p = Absolute_Path(db);
  if (p.empty()) return {};
  return {p, p + "-wal", p + "-shm", p + "-journal"};
}

std::string Absolute_Path(const std::string& path) {
  if (path.empty()) return {};
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return {};
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

ScanEntry Scan_File(const std::string& path, int64_t size, int64_t mtime_ns, bool pixels) {
  ScanEntry e;
  e.path = path;
  e.size = size;
  e.mtime_ns = mtime_ns;
  try {
    ReadLog log;
    FileReadOptions options;
    options.stop_at_unknown = true;
    options.header_only = !pixels;
    FileRead r = Kema_Image_Read_File(Log_Get_Handle(), path, options);
    e.format = r.format;
    if (r.failure == FileReadFailure::Unknown) {
      e.status = EntryStatus::Unknown;
    } else if (r.failure != FileReadFailure::None || !r.ima) {
      e.status = EntryStatus::Error;
      e.error = log.First_Error();
      if (e.error.empty()) e.error = Failure_Heading(r.failure);
    } else {
      e.format = r.ima->format;
      const uint64_t count = uint64_t{r.ima->dim_z} * r.ima->dim_t;
      if (count <= 1) {
        e.images.push_back(Scan_Image(*r.ima));
      } else if (count > kMaxFileImages) {
        e.error = "ERROR: " + std::to_string(count) + " images in one file, more than " +
                  std::to_string(kMaxFileImages) + " are not indexed";
      } else {
        for (uint32_t k = 0; k < count && e.error.empty(); ++k) {
          std::unique_ptr<ImageHeader> one = Kema_Image_Split_Header(Log_Get_Handle(), *r.ima, k);
          if (!one) {
            e.error = log.First_Error();
            if (e.error.empty()) e.error = "ERROR: cannot split the images of the file";
            break;
          }
          e.images.push_back(Scan_Image(*one));
          Kema_Image_Free_Header(Log_Get_Handle(), *one);
        }
      }
      Kema_Image_Free_Header(Log_Get_Handle(), *r.ima);
      if (e.error.empty()) {
        e.status = EntryStatus::Read;
      } else {
        e.status = EntryStatus::Error;
        e.images.clear();
      }
    }
  } catch (const std::bad_alloc&) {
    e.status = EntryStatus::Error;
    e.images.clear();
    e.error = "ERROR: out of memory while reading the file";
  }
  return e;
}

ScanProgress Archive_Scan(const std::vector<std::string>& roots, const ScanOptions& options, ScanSink& sink,
                          bool* complete) {
  Log_Capture_Install();
  const auto start = std::chrono::steady_clock::now();
  int workers = options.workers;
  if (workers <= 0) workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const size_t bound = std::max<size_t>(2 * kChunk, options.queue);
  BoundedQueue<WorkChunk> work(bound);
  BoundedQueue<ResultChunk> results(bound);
  auto stopped = [&] { return options.stop && options.stop->load(); };

  bool walked = false;
  std::thread walker([&] {
    Walker w(options, sink, work, results);
    walked = w.Run(roots);
    walked = w.Flush() && walked;
    work.Close();
  });
  std::atomic<int> running{workers};
  std::vector<std::thread> readers;
  for (int i = 0; i < workers; ++i) {
    readers.emplace_back([&] {
      WorkChunk chunk;
      while (work.Pop(chunk)) {
        if (stopped()) continue;  // drain without reading
        ResultChunk done;
        size_t images = 0;
        bool open = true;
        for (const WorkItem& item : chunk) {
          done.push_back(Scan_File(item.path, item.size, item.mtime_ns, options.pixels));
          // Files of many images go on at once, so that what waits in the
          // queue stays small.
          images += done.back().images.size();
          if (images >= kChunkImages) {
            open = results.Push(std::exchange(done, {}));
            images = 0;
            if (!open) break;
          }
        }
        if (!open || (!done.empty() && !results.Push(std::move(done)))) break;
      }
      if (--running == 0) results.Close();
    });
  }

  ScanProgress p;
  bool output_ok = true;
  auto last = start;
  ResultChunk chunk;
  while (results.Pop(chunk)) {
    for (ScanEntry& e : chunk) {
      if (!output_ok) break;
      if (e.status == EntryStatus::Unchanged) ++p.unchanged;
      else if (e.status != EntryStatus::Problem) ++p.read;
      if (e.status == EntryStatus::Error || e.status == EntryStatus::Problem) ++p.errors;
      ++p.files;
      if (!sink.Write(std::move(e))) {
        output_ok = false;
        // Unblock the others: nothing more will be written.
        work.Close();
        results.Close();
      }
    }
    const auto now = std::chrono::steady_clock::now();
    if (options.progress && now - last > std::chrono::milliseconds(250)) {
      last = now;
      p.seconds = std::chrono::duration<double>(now - start).count();
      options.progress(p);
    }
  }
  walker.join();
  for (std::thread& t : readers) t.join();
  const bool whole = walked && output_ok && !stopped();
  if (!sink.Finish(roots, whole)) output_ok = false;
  p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (options.progress) options.progress(p);
  if (complete) *complete = whole && output_ok;
  return p;
}

}  // namespace archive
