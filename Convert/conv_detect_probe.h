// The input as format detection sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_read_context.h"

// What a signature test sees: the input's size and bounded windows of its
// first bytes (read once), and the source itself for the tests that walk
// the content (the DICOM element stream).
class DetectProbe {
 public:
  DetectProbe(const ReadContext& ctx, const ByteSource& source);
  const ReadContext& ctx() const { return ctx_; }
  const ByteSource& source() const { return source_; }
  uint64_t size() const { return source_.size(); }

  // The n bytes at `offset` as a window; an empty window after a logged
  // read failure or short read (Failed() is then true and detection stops).
  std::string_view Window(uint64_t offset, size_t n);
  bool Failed() const { return failed_; }

 private:
  static constexpr size_t kPrefix = 4096;  // every fixed window lies in it
  const ReadContext& ctx_;
  const ByteSource& source_;
  uint8_t prefix_[kPrefix];
  size_t prefix_size_ = 0;
  bool prefix_read_ = false;
  bool failed_ = false;
  uint8_t far_[300];  // a window past the prefix
};
