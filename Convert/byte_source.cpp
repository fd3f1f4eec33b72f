#include "Convert/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

ByteSource::~ByteSource() {
  if (fd_ >= 0) ::close(fd_);
}

ptrdiff_t ByteSource::Read_At(uint64_t offset, void* dst, size_t n) const {
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
