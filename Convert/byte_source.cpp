#include "Convert/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Convert/kema_image.h"

namespace {

const char* Kind_Of(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

bool Refuse(const struct stat& st, const char** refused) {
  const char* kind = Kind_Of(st.st_mode);
  if (!kind) return false;
  if (refused) *refused = kind;
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return true;
}

}  // namespace

std::unique_ptr<ByteSource> ByteSource::Open_File(const std::string& name, const char** refused) {
  if (refused) *refused = nullptr;
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return nullptr;
  if (Refuse(st, refused)) return nullptr;
  // Non-blocking: the path may have been swapped for a FIFO since the stat.
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  if (::fstat(fd, &st) != 0 || Refuse(st, refused)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  std::unique_ptr<ByteSource> src(new ByteSource);
  src->fd_ = fd;
  src->size_ = static_cast<uint64_t>(st.st_size);
  src->name_ = name;
  return src;
}

std::unique_ptr<ByteSource> ByteSource::From_Memory(std::span<const uint8_t> bytes, std::string name) {
  std::unique_ptr<ByteSource> src(new ByteSource);
  src->memory_ = bytes;
  src->size_ = bytes.size();
  src->name_ = std::move(name);
  return src;
}

std::unique_ptr<ByteSource> ByteSource::From_Maker(std::shared_ptr<ByteMaker> maker, std::string name) {
  std::unique_ptr<ByteSource> src(new ByteSource);
  src->maker_ = std::move(maker);
  src->name_ = std::move(name);
  return src;
}

ByteSource::~ByteSource() {
  if (fd_ >= 0) ::close(fd_);
}

ptrdiff_t ByteSource::Read_At(uint64_t offset, void* dst, size_t n) const {
  if (maker_) return static_cast<ptrdiff_t>(maker_->Copy(offset, dst, n));
  if (fd_ < 0) {
    if (offset >= size_) return 0;
    size_t avail = static_cast<size_t>(size_ - offset);
    size_t k = n < avail ? n : avail;
    if (k) std::memcpy(dst, memory_.data() + offset, k);
    return static_cast<ptrdiff_t>(k);
  }
  // A file may have grown or shrunk since it was opened: read what is there.
  size_t done = 0;
  auto* out = static_cast<uint8_t*>(dst);
  while (done < n) {
    ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ptrdiff_t>(done);
}

// ---- opening what a record reads ----

int Source_Check_File(LogHandle log, const std::string& file) {
  const char* refused = nullptr;
  if (ByteSource::Open_File(file, &refused)) return 1;
  if (refused) {
    Report_Not_Regular(log, file.c_str(), refused);
    return 0;
  }
  const int err = errno;
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 Unable to open file !");
  Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file.c_str());
  Log_Print(log, 2, "\x01\t\t %s", System_Error_Text(err));
  return 0;
}

std::unique_ptr<ByteSource> Source_Open(LogHandle log, const std::string& file, const char* src, int line) {
  const char* refused = nullptr;
  auto source = ByteSource::Open_File(file, &refused);
  if (!source && refused) Report_Not_Regular(log, file.c_str(), refused);
  else if (!source) Report_Open(log, src, line, file.c_str());
  return source;
}

std::shared_ptr<ByteSource> Source_Open_Input(LogHandle log, const ImageHeader& ima, const char* src, int line) {
  if (ima.source) return ima.source;
  if (ima.input_type == 2) return ByteSource::From_Memory(ima.stream, "memory stream");
  return Source_Open(log, ima.input, src, line);
}

std::shared_ptr<ByteSource> Source_Open_Data(LogHandle log, const ImageHeader& ima, const char* src, int line) {
  if (ima.input_type == 2) return ima.source ? ima.source : ByteSource::From_Memory(ima.stream, "memory stream");
  if (ima.source && (ima.file_data.empty() || ima.file_data == ima.input)) return ima.source;
  return Source_Open(log, ima.file_data, src, line);
}

int Source_Read(LogHandle log, const ByteSource& source, uint64_t offset, void* dst, size_t n, const char* src,
                int line) {
  ptrdiff_t got = source.Read_At(offset, dst, n);
  if (got < 0) {
    Report_Read(log, src, line, source.name().c_str());
    return 0;
  }
  if (static_cast<size_t>(got) < n) {
    Report_Short_Read(log, src, line, got, static_cast<long long>(n), source.name().c_str());
    return 0;
  }
  return 1;
}

int Source_View(LogHandle log, const ByteSource& source, uint64_t offset, uint64_t n, SourceBytes& out,
                const char* src, int line) {
  out = {};
  if (source.is_memory()) {
    if (!source.Contains(offset, n)) {
      const uint64_t there = offset < source.size() ? source.size() - offset : 0;
      Report_Short_Read(log, src, line, static_cast<long long>(there), static_cast<long long>(n),
                        source.name().c_str());
      return 0;
    }
    out.data = source.memory().data() + offset;
    out.size = static_cast<size_t>(n);
    return 1;
  }
  out.held.reset(new (std::nothrow) uint8_t[n ? n : 1]);
  if (!out.held) {
    Report_Memory(log, src, line, "malloc", "buffer", static_cast<long long>(n), 1);
    return 0;
  }
  if (n && !Source_Read(log, source, offset, out.held.get(), static_cast<size_t>(n), src, line)) return 0;
  out.data = out.held.get();
  out.size = static_cast<size_t>(n);
  return 1;
}
