// The one bounds-checked way every reader gets at bytes: a file read with
// positioned reads, or a memory block holding a whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Convert/conv_report.h"
#include "log/log.h"

struct ImageHeader;

// Bytes made while they are read (an inflated stream): a source over them
// asks for more only as far as its reads reach. Safe to call from several
// threads.
class ByteMaker {
 public:
  virtual ~ByteMaker() = default;
  // The bytes made so far.
  virtual uint64_t Made() const = 0;
  // Makes bytes up to `end`; the count made, less than `end` only when the
  // stream has ended or failed.
  virtual uint64_t Make_To(uint64_t end) = 0;
  // Copies up to n bytes at `offset`, making them first: the count copied
  // (short only where the stream ended or failed).
  virtual size_t Copy(uint64_t offset, void* dst, size_t n) = 0;
  // The most bytes the stream could make in all, told without making them.
  virtual uint64_t Bound() const = 0;
};

class ByteSource {
 public:
  // Opens a regular file read-only (links followed); null with errno set
  // when it cannot be opened. Anything else (directory, FIFO, socket,
  // device) is refused without opening it, so nothing ever blocks or
  // touches a device: `refused` then names what it is ("a FIFO" ...).
  static std::unique_ptr<ByteSource> Open_File(const std::string& name, const char** refused = nullptr);
  // A memory block the caller keeps alive; `name` is used in messages only.
  static std::unique_ptr<ByteSource> From_Memory(std::span<const uint8_t> bytes, std::string name = {});
  // Bytes a maker makes as the reads reach them; `name` is used in messages.
  static std::unique_ptr<ByteSource> From_Maker(std::shared_ptr<ByteMaker> maker, std::string name);

  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // A made source's size is what has been made so far (all of it once its
  // stream has ended): ask Contains whether bytes are there.
  uint64_t size() const { return maker_ ? maker_->Made() : size_; }
  const std::string& name() const { return name_; }
  bool is_memory() const { return fd_ < 0 && !maker_; }
  // The maker of a made source, else null.
  ByteMaker* maker() const { return maker_.get(); }
  // The whole block of a memory source (empty for a file or a made source).
  std::span<const uint8_t> memory() const { return memory_; }

  // Reads up to n bytes at `offset` into `dst`: the count read (short only
  // at the end of the data), or -1 on a read error with errno set.
  ptrdiff_t Read_At(uint64_t offset, void* dst, size_t n) const;

  // False when [offset, offset + n) cannot lie inside the source: a made
  // source tells it without making them (they may still not come).
  bool May_Hold(uint64_t offset, uint64_t n) const {
    if (maker_) return n <= UINT64_MAX - offset && offset + n <= maker_->Bound();
    return Contains(offset, n);
  }
  // True when [offset, offset + n) lies inside the source (a made source
  // makes them); cannot overflow.
  bool Contains(uint64_t offset, uint64_t n) const {
    if (maker_) return n <= UINT64_MAX - offset && maker_->Make_To(offset + n) >= offset + n;
    return offset <= size_ && n <= size_ - offset;
  }

 private:
  ByteSource() = default;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::span<const uint8_t> memory_;
  std::shared_ptr<ByteMaker> maker_;
  std::string name_;
};

// A reading position over a source: the stream readers read at it and move it on.
struct ByteCursor {
  ByteSource* source = nullptr;
  uint64_t pos = 0;
};

// ---- opening what a record reads ----

// 1 when `file` is a regular file that opens; else the ERROR lines of an
// open failure (with the system's reason, or what the path names) and 0.
int Source_Check_File(LogHandle log, const std::string& file);
// Opens a named file; logs the open failure and returns null.
std::unique_ptr<ByteSource> Source_Open(LogHandle log, const std::string& file, const char* src, int line);
// Opens what a record reads from: its input (file or memory block); the
// source the record's read opened already when it has one.
std::shared_ptr<ByteSource> Source_Open_Input(LogHandle log, const ImageHeader& ima, const char* src, int line);
// Opens the source of a record's pixels: `file_data`, or the memory block;
// the record's open input when the pixels are in it.
std::shared_ptr<ByteSource> Source_Open_Data(LogHandle log, const ImageHeader& ima, const char* src, int line);

// Reads exactly n bytes at `offset`; logs a read error or a short read
// ("End of File while reading") and returns 0.
int Source_Read(LogHandle log, const ByteSource& source, uint64_t offset, void* dst, size_t n, const char* src,
                int line);
#define KEMA_READ(log, source, offset, dst, n) Source_Read((log), (source), (offset), (dst), (n), KEMA_SRC, __LINE__)

// n bytes of a source to decode from: seen in place in a memory source,
// else read into a buffer of their own.
struct SourceBytes {
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::unique_ptr<uint8_t[]> held;
};
// 1, or 0 after the memory, read error or short read lines.
int Source_View(LogHandle log, const ByteSource& source, uint64_t offset, uint64_t n, SourceBytes& out,
                const char* src, int line);
#define KEMA_VIEW(log, source, offset, n, out) Source_View((log), (source), (offset), (n), (out), KEMA_SRC, __LINE__)

