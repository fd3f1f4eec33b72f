#include "Convert/conv_detect_probe.h"

#include <algorithm>

#include "Convert/byte_source.h"
#include "Convert/conv_report.h"

DetectProbe::DetectProbe(const ReadContext& ctx, const ByteSource& source) : ctx_(ctx), source_(source) {}

std::string_view DetectProbe::Window(uint64_t offset, size_t n) {
  if (failed_) return {};
  if (!prefix_read_) {
    prefix_read_ = true;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPrefix, source_.size()));
    const ptrdiff_t got = source_.Read_At(0, prefix_, want);
    if (got < 0) {
      Report_Read(ctx_, KEMA_SRC, __LINE__, source_.name().c_str());
      failed_ = true;
      return {};
    }
    prefix_size_ = static_cast<size_t>(got);
  }
  if (offset <= prefix_size_ && n <= prefix_size_ - offset)
    return {reinterpret_cast<const char*>(prefix_) + offset, n};
  // Past what the prefix holds: the input is shorter, or the window lies
  // further on.
  ptrdiff_t got = 0;
  if (n <= sizeof far_ && prefix_size_ == kPrefix) {
    got = source_.Read_At(offset, far_, n);
    if (got < 0) {
      Report_Read(ctx_, KEMA_SRC, __LINE__, source_.name().c_str());
      failed_ = true;
      return {};
    }
    if (static_cast<size_t>(got) == n) return {reinterpret_cast<const char*>(far_), n};
  } else if (offset < prefix_size_) {
    got = static_cast<ptrdiff_t>(prefix_size_ - offset);
  }
  Report_Short_Read(ctx_, KEMA_SRC, __LINE__, got, static_cast<long long>(n), source_.name().c_str());
  failed_ = true;
  return {};
}
