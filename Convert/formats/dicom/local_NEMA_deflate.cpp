// Frames stored plainly in fragments (Encapsulated Uncompressed) or each
// deflated on its own (Deflated Image Frame Compression, zlib).
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
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

namespace {

bool Long_Length(const uint8_t* vr) {
  static const char* const kLong[] = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ", "UN", "UT", "UC", "UR", "SV", "UV"};
  for (const char* v : kLong)
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  return false;
}

}  // namespace

uint64_t NEMA_Meta_End(const ByteSource& source) {
  uint8_t b[12];
  if (source.Read_At(128, b, 4) != 4 || std::memcmp(b, "DICM", 4) != 0) return 0;
  uint64_t at = 132;
  // The meta group is explicit little-endian, a few hundred bytes.
  for (int n = 0; n < 1000; ++n) {
    if (source.Read_At(at, b, 12) < 8 || (b[0] | b[1] << 8) != 0x0002) return at;
    if (Long_Length(b + 4))
      at += 12 + (uint64_t{b[8]} | uint64_t{b[9]} << 8 | uint64_t{b[10]} << 16 | uint64_t{b[11]} << 24);
    else
      at += 8 + (uint64_t{b[6]} | uint64_t{b[7]} << 8);
  }
  return at;
}

std::shared_ptr<ByteSource> NEMA_Inflate_Source(const ReadContext& ctx, const ByteSource& source, uint64_t from) {
  Log_Print(ctx, 9, "in NEMA_Inflate_Source(%llu)", static_cast<unsigned long long>(from));
  if (from > source.size()) from = source.size();
  auto fail = [&](const char* what, int code) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 deflated data set: %s (%d) at byte %llu", what, code,
              static_cast<unsigned long long>(from));
    return std::shared_ptr<ByteSource>();
  };
  uint8_t head[2] = {0, 0};
  const bool zlib_header = source.Read_At(from, head, 2) == 2 && (head[0] & 0x0F) == 8 && ((head[0] << 8) | head[1]) % 31 == 0;
  z_stream z{};
  if (inflateInit2(&z, zlib_header ? 15 : -15) != Z_OK) return fail("zlib refused to start", 0);
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  // The compressed bytes are read in steps; the output starts at four times
  // their size (pages never written are never touched) and doubles when
  // full, each step through the budget: a deflate stream expands up to a
  // thousand times, so a small file may claim gigabytes.
  constexpr size_t kStep = 1 << 16;
  auto out = std::make_shared<PixelBuffer>();
  uint8_t in[kStep];
  size_t filled = static_cast<size_t>(from);
  try {
    const uint64_t first = std::min(std::max<uint64_t>(from + 4 * (source.size() - from), 1 << 16),
                                    std::max<uint64_t>(Image_Budget_Bytes(), from + 1));
    *out = PixelBuffer::Allocate(static_cast<size_t>(first));
    if (from && source.Read_At(0, out->data(), from) != static_cast<ptrdiff_t>(from)) return fail("meta group not readable", 0);
    uint64_t at = from;
    int r = Z_OK;
    while (r != Z_STREAM_END) {
      if (z.avail_in == 0) {
        const ptrdiff_t got = source.Read_At(at, in, sizeof in);
        if (got <= 0) break;  // cut short: what was inflated is the data set
        at += static_cast<uint64_t>(got);
        z.next_in = in;
        z.avail_in = static_cast<uInt>(got);
      }
      if (filled == out->size()) {
        const uint64_t grown = Mul_Sat(out->size(), 2);
        if (!Image_Budget_Check(ctx, grown, source.name().c_str())) return fail("inflated size passes the budget", 0);
        PixelBuffer bigger = PixelBuffer::Allocate(static_cast<size_t>(grown));
        std::memcpy(bigger.data(), out->data(), filled);
        *out = std::move(bigger);
      }
      const size_t room = std::min<size_t>(out->size() - filled, UINT_MAX);
      z.next_out = out->data() + filled;
      z.avail_out = static_cast<uInt>(room);
      r = inflate(&z, Z_NO_FLUSH);
      filled += room - z.avail_out;
      if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return fail(z.msg ? z.msg : "inflate failed", r);
    }
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "inflated data set", static_cast<long long>(filled), 2);
    return {};
  }
  Log_Print(ctx, 8, "--> data set inflated: %llu bytes from %llu", static_cast<unsigned long long>(filled - from),
            static_cast<unsigned long long>(source.size() - from));
  const std::span<const uint8_t> bytes(out->data(), filled);
  return ByteSource::From_Owned(std::move(out), bytes, source.name());
}
