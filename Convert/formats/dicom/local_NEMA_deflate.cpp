// Frames stored plainly in fragments (Encapsulated Uncompressed) or each
// deflated on its own (Deflated Image Frame Compression, zlib).
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

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
