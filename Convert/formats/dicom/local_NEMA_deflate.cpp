// Frames stored plainly in fragments (Encapsulated Uncompressed) or each
// deflated on its own (Deflated Image Frame Compression, zlib).
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"

#include "Convert/formats/dicom/local_NEMA_codec.h"

namespace {

bool Plain(const ReadContext& ctx, std::span<const uint8_t> in, std::span<uint8_t> out, const NemaFrameInfo&,
           unsigned, unsigned) {
  // Fragments carry whole frames; padding to an even length is allowed.
  if (in.size() < out.size()) {
    Log_Print(ctx, 6, "--> frame of %zu bytes, %zu expected", in.size(), out.size());
    return false;
  }
  std::memcpy(out.data(), in.data(), out.size());
  return true;
}

// Raw deflate (RFC 1951), as the data set's deflated syntaxes store it; a
// zlib header is accepted too.
bool Inflated(const ReadContext& ctx, std::span<const uint8_t> in, std::span<uint8_t> out, const NemaFrameInfo&,
              unsigned, unsigned) {
  const bool zlib_header = in.size() >= 2 && (in[0] & 0x0F) == 8 && ((in[0] << 8) | in[1]) % 31 == 0;
  z_stream z{};
  if (inflateInit2(&z, zlib_header ? 15 : -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(std::min<size_t>(in.size(), UINT_MAX));
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(std::min<size_t>(out.size(), UINT_MAX));
  const int r = inflate(&z, Z_FINISH);
  const size_t got = out.size() - z.avail_out;
  inflateEnd(&z);
  if (got != out.size() || (r != Z_STREAM_END && r != Z_BUF_ERROR && r != Z_OK)) {
    Log_Print(ctx, 6, "--> deflated frame gave %zu of %zu bytes (%d)", got, out.size(), r);
    return false;
  }
  return true;
}

}  // namespace

const NemaFrameCodec kNemaDeflateFrame = {"Deflate", false, nullptr, Inflated};
const NemaFrameCodec kNemaPlainFrame = {"Uncompressed", false, nullptr, Plain};

// ---- Deflated Explicit VR Little Endian: the data set after the meta group ----

uint64_t NEMA_Meta_End(const ByteSource& source) {
  uint8_t b[12];
  if (source.Read_At(128, b, 4) != 4 || std::memcmp(b, "DICM", 4) != 0) return 0;
  uint64_t at = 132;
  // The meta group is explicit little-endian, a few hundred bytes.
  for (int n = 0; n < 1000; ++n) {
    if (source.Read_At(at, b, 12) < 8 || (b[0] | b[1] << 8) != 0x0002) return at;
    if (NEMA_Long_Length_VR(NEMA_VR(static_cast<char>(b[4]), static_cast<char>(b[5]))))
      at += 12 + (uint64_t{b[8]} | uint64_t{b[9]} << 8 | uint64_t{b[10]} << 16 | uint64_t{b[11]} << 24);
    else
      at += 8 + (uint64_t{b[6]} | uint64_t{b[7]} << 8);
  }
  return at;
}

namespace {

// The data set inflated as far as the reads reach: the header parse pulls
// it in steps, the pixel read goes on from where the header stopped. The
// bytes before `from` (the meta group) are the file's own. What is inflated
// is kept, except a large read that starts where the stream stands: its
// bytes are inflated straight into the reader's buffer (pixels are not held
// twice), and reading them again inflates the stream again from its start.
// The kept bytes grow through the pixel budget: a deflate stream expands up
// to a thousand times, so a small file may claim gigabytes.
class Inflater final : public ByteMaker {
 public:
  static constexpr size_t kStep = 1 << 16;
  static constexpr size_t kDirect = 4 * kStep;  // reads from here on go straight to the reader
  static constexpr uint64_t kMaxRatio = 1032;   // the most one deflated byte expands to

  Inflater(std::shared_ptr<ByteSource> file, uint64_t from) : file_(std::move(file)), from_(from), in_at_(from) {}
  ~Inflater() override {
    if (live_) inflateEnd(&z_);
  }

  // Starts the stream; false (with the failure kept) when it cannot.
  bool Start() {
    uint8_t head[2] = {0, 0};
    const bool zlib_header =
        file_->Read_At(from_, head, 2) == 2 && (head[0] & 0x0F) == 8 && ((head[0] << 8) | head[1]) % 31 == 0;
    if (inflateInit2(&z_, zlib_header ? 15 : -15) != Z_OK) return Fail("zlib refused to start", 0);
    live_ = true;
    try {
      in_ = std::make_unique_for_overwrite<uint8_t[]>(kStep);
      out_ = PixelBuffer::Allocate(static_cast<size_t>(from_ + kStep));
    } catch (const std::bad_alloc&) {
      return Fail("no memory for the inflated bytes", Z_MEM_ERROR);
    }
    if (from_ && file_->Read_At(0, out_.data(), from_) != static_cast<ptrdiff_t>(from_))
      return Fail("meta group not readable", 0);
    made_ = kept_ = from_;
    return true;
  }

  uint64_t Made() const override { return made_.load(); }

  uint64_t Make_To(uint64_t end) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (end > made_) Keep_To(end);
    return made_;
  }

  uint64_t Bound() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return made_;
    const uint64_t left = file_->size() > in_at_ ? file_->size() - in_at_ : 0;
    const uint64_t made = made_;
    return made + std::min(UINT64_MAX - made, Mul_Sat(left + z_.avail_in + 1, kMaxRatio));
  }

  size_t Copy(uint64_t offset, void* dst, size_t n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* out = static_cast<uint8_t*>(dst);
    const uint64_t end = n <= UINT64_MAX - offset ? offset + n : UINT64_MAX;
    size_t done = 0;
    if (end > kept_ && n >= kDirect && offset <= made_ && (kept_ == made_ || offset == made_)) {
      // The kept part, then the rest straight from the stream.
      if (offset < kept_) {
        done = static_cast<size_t>(kept_ - offset);
        std::memcpy(out, out_.data() + offset, done);
      }
      return done + Inflate_Into(out + done, n - done, end);
    }
    if (end > kept_) Keep_To(end);
    if (offset >= kept_) return 0;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, kept_ - offset));
    std::memcpy(out, out_.data() + offset, k);
    return k;
  }

  // The ERROR line of a failed stream (none while it is sound).
  void Report(const ReadContext& ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty() && unmet_ > made_)
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 deflated data set: the stream ends after %llu bytes, %llu wanted",
                static_cast<unsigned long long>(made_ - from_), static_cast<unsigned long long>(unmet_ - from_));
    else if (failure_ == kBudget)
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 deflated data set: inflated size passes the budget (%llu bytes at most)",
                static_cast<unsigned long long>(Image_Budget_Bytes()));
    else if (!failure_.empty())
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 deflated data set: %s (%d) at byte %llu", failure_.c_str(), code_,
                static_cast<unsigned long long>(failed_at_));
    if (!failure_.empty() || unmet_ > made_) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", file_->name().c_str());
  }

  void Trace(const ReadContext& ctx) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Log_Print(ctx, 8, "--> deflated data set: %llu bytes inflated (%llu kept) from %llu of %llu%s",
              static_cast<unsigned long long>(made_ - from_), static_cast<unsigned long long>(kept_ - from_),
              static_cast<unsigned long long>(in_at_ - z_.avail_in - from_),
              static_cast<unsigned long long>(file_->size() - std::min(from_, file_->size())),
              ended_ ? " (all)" : "");
  }

 private:
  static constexpr const char* kBudget = "budget";

  bool Fail(std::string what, int code) {
    failure_ = std::move(what);
    code_ = code;
    failed_at_ = in_at_ - z_.avail_in;
    ended_ = true;
    return false;
  }

  // Room to keep one more step; false (failed) when the budget or the
  // memory says no.
  bool Room(uint64_t target) {
    if (kept_ < out_.size()) return true;
    // The first growth guesses the whole: four times the compressed bytes,
    // or as far as the read wants when that is more (pages never written
    // are never touched); later ones double.
    const uint64_t guess = from_ + Mul_Sat(file_->size() - std::min(from_, file_->size()), 4);
    const uint64_t budget = std::max<uint64_t>(Image_Budget_Bytes(), from_ + kStep);
    const uint64_t grown = std::min(std::max({Mul_Sat(out_.size(), 2), guess, target}), budget);
    if (grown <= out_.size()) return Fail(kBudget, 0);
    try {
      PixelBuffer bigger = PixelBuffer::Allocate(static_cast<size_t>(grown));
      std::memcpy(bigger.data(), out_.data(), static_cast<size_t>(kept_));
      out_ = std::move(bigger);
    } catch (const std::bad_alloc&) {
      return Fail("no memory for the inflated bytes", Z_MEM_ERROR);
    }
    return true;
  }

  // The compressed bytes of the next step; false at the end of the file
  // (the stream was cut short) or on a read error.
  bool Feed() {
    const ptrdiff_t got = file_->Read_At(in_at_, in_.get(), kStep);
    if (got < 0) return Fail("file not readable", 0);
    // Cut short: what was inflated is the data set, and a read that wants
    // more is told why.
    if (got == 0) return Fail("stream cut short", Z_BUF_ERROR);
    in_at_ += static_cast<uint64_t>(got);
    z_.next_in = in_.get();
    z_.avail_in = static_cast<uInt>(got);
    return true;
  }

  // Inflates up to n bytes into dst; the count made.
  size_t Inflate(uint8_t* dst, size_t n) {
    z_.next_out = dst;
    z_.avail_out = static_cast<uInt>(std::min<size_t>(n, UINT_MAX));
    const uInt before = z_.avail_out;
    const int r = inflate(&z_, Z_NO_FLUSH);
    const size_t got = before - z_.avail_out;
    made_ += got;
    if (r == Z_STREAM_END)
      ended_ = true;
    else if (r != Z_OK && r != Z_BUF_ERROR)
      Fail(z_.msg ? z_.msg : "inflate failed", r);
    return got;
  }

  // A read the stream has passed without keeping its bytes: from the start
  // again, keeping everything this time.
  void Restart() {
    inflateReset(&z_);
    z_.avail_in = 0;
    in_at_ = from_;
    made_ = kept_ = from_;
    ended_ = false;
    failure_.clear();
    keep_all_ = true;
  }

  // Inflates and keeps bytes until `end` are kept (a step at least), the
  // stream ends or fails. The caller holds the lock.
  void Keep_To(uint64_t end) {
    if (kept_ != made_) Restart();
    const uint64_t target = std::max(end, kept_ + kStep);
    while (kept_ < target && !ended_) {
      if (z_.avail_in == 0 && !Feed()) break;
      if (!Room(target)) break;
      kept_ += Inflate(out_.data() + kept_, static_cast<size_t>(std::min(out_.size(), target) - kept_));
    }
    if (made_ < end) unmet_ = std::max(unmet_, end);
  }

  // Inflates n bytes straight into dst (the stream stands at the first);
  // the count made.
  size_t Inflate_Into(uint8_t* dst, size_t n, uint64_t end) {
    if (keep_all_) {
      Keep_To(end);
      const uint64_t from = end - n;
      if (from >= kept_) return 0;
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, kept_ - from));
      std::memcpy(dst, out_.data() + from, k);
      return k;
    }
    size_t done = 0;
    while (done < n && !ended_) {
      if (z_.avail_in == 0 && !Feed()) break;
      done += Inflate(dst + done, n - done);
    }
    if (done < n) unmet_ = std::max(unmet_, end);
    return done;
  }

  mutable std::mutex mutex_;
  std::shared_ptr<ByteSource> file_;
  const uint64_t from_;
  uint64_t in_at_;  // the next compressed byte to read
  z_stream z_{};
  bool live_ = false;
  bool ended_ = false;
  bool keep_all_ = false;  // inflated again: nothing goes straight to a reader
  std::unique_ptr<uint8_t[]> in_;
  PixelBuffer out_;  // bytes [0, kept_) are kept
  uint64_t kept_ = 0;
  std::atomic<uint64_t> made_{0};  // where the stream stands
  std::string failure_;
  int code_ = 0;
  uint64_t failed_at_ = 0;
  uint64_t unmet_ = 0;  // the furthest end a read wanted and did not get
};

}  // namespace

std::shared_ptr<ByteSource> NEMA_Inflate_Source(const ReadContext& ctx, std::shared_ptr<ByteSource> file, uint64_t from) {
  Log_Print(ctx, 9, "in NEMA_Inflate_Source(%llu)", static_cast<unsigned long long>(from));
  if (from > file->size()) from = file->size();
  std::string name = file->name();
  auto maker = std::make_shared<Inflater>(std::move(file), from);
  if (!maker->Start()) {
    maker->Report(ctx);
    return {};
  }
  return ByteSource::From_Maker(std::move(maker), std::move(name));
}

void NEMA_Inflate_Report(const ReadContext& ctx, const ByteSource& source, bool read_failed) {
  auto* inflater = dynamic_cast<Inflater*>(source.maker());
  if (!inflater) return;
  inflater->Trace(ctx);
  if (read_failed) inflater->Report(ctx);
}
