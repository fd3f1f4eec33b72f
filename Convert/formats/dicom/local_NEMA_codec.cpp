// The frame pipeline of the library codecs.
#include "Convert/formats/dicom/local_NEMA_codec.h"

#include <algorithm>
#include <cstring>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"

namespace {

bool Same_Geometry(const NemaFrameInfo& a, const NemaFrameInfo& b) {
  return a.width == b.width && a.height == b.height && a.components == b.components &&
         (a.precision + 7) / 8 == (b.precision + 7) / 8;
}

// FF D9 near the end: writers pad a frame to an even length with a byte
// of any value (dcmtk's are not always zero), or a few.
bool Has_End_Marker(std::span<const uint8_t> in) {
  const size_t from = in.size() > 8 ? in.size() - 8 : 0;
  for (size_t i = in.size(); i-- > from + 1;)
    if (in[i - 1] == 0xFF && in[i] == 0xD9) return true;
  return false;
}

}  // namespace

PixelBuffer NEMA_Decompress_Frames(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total,
                                   const NemaFrameCodec& codec) {
  Log_Print(ctx, 9, "in NEMA_Decompress_Frames(%s)", codec.name);
  const auto* s = dynamic_cast<const NemaStorage*>(ima.g2.storage.get());
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  auto fail = [&](int frame) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s frame %d cannot be decoded", codec.name, frame);
    return PixelBuffer{};
  };
  if (!s || frames == 0) return fail(0);

  ImageG2& g2 = ima.g2;
  NemaFrameInfo first;
  if (codec.info) {
    const std::span<const uint8_t> in0 = NEMA_Frame_Bytes(*s, 0, gathered, total);
    if (in0.empty() || !codec.info(ctx, in0, first)) return fail(0);
  } else {
    first = {ima.dim_x, ima.dim_y, g2.pix_plane, g2.pix_store, g2.pix_sign == 1};
  }
  if (first.width < 1 || first.width > 0xFFFF || first.height < 1 || first.height > 0xFFFF || first.components < 1 ||
      first.components > 4 || first.precision < 1 || first.precision > 16) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s frame 0 is %dx%d x %d samples of %d bits: not read", codec.name,
              first.width, first.height, first.components, first.precision);
    return {};
  }
  // The data set's precision and sign stand (PS3.5 8.2); a codestream that
  // says otherwise is traced, its samples kept as they are.
  if (codec.info && (first.precision != g2.pix_bits || first.is_signed != (g2.pix_sign == 1)))
    Log_Print(ctx, 6, "--> %s codestream: %d bits %s, data set: %d bits %s", codec.name, first.precision,
              first.is_signed ? "signed" : "unsigned", g2.pix_bits, g2.pix_sign == 1 ? "signed" : "unsigned");
  if (ima.dim_x != first.width || ima.dim_y != first.height || g2.pix_plane != first.components)
    Log_Print(ctx, 6, "--> header %dx%d x %d, %s frame %dx%d x %d", ima.dim_x, ima.dim_y, g2.pix_plane, codec.name,
              first.width, first.height, first.components);
  ima.dim_x = static_cast<uint16_t>(first.width);
  ima.dim_y = static_cast<uint16_t>(first.height);
  g2.pix_plane = static_cast<uint16_t>(first.components);
  const unsigned bytes = first.precision > 8 ? 2 : 1;
  g2.pix_store = static_cast<uint16_t>(8 * bytes);
  if (g2.pix_bits > g2.pix_store || g2.pix_bits == 0) g2.pix_bits = static_cast<uint16_t>(first.precision);
  const uint64_t frame_bytes = uint64_t{ima.dim_x} * ima.dim_y * g2.pix_plane * bytes;
  // Large single frames use the codec's own threads; several frames share the pool.
  const unsigned threads = frames == 1 ? NEMA_Decode_Threads() : 1;
  int failed = -1;
  PixelBuffer out = NEMA_Decode_Frames(
      ctx, ima, *s, gathered, total, frame_bytes, codec.name,
      [&](size_t i, std::span<const uint8_t> in, std::span<uint8_t> slot) {
        if (codec.end_marker && !Has_End_Marker(in)) {
          Log_Print(ctx, 6, "--> %s frame %d has no end marker: cut short", codec.name, static_cast<int>(i));
          return false;
        }
        NemaFrameInfo info = first;
        if (codec.info && !codec.info(ctx, in, info)) return false;
        if (!Same_Geometry(info, first)) {
          Log_Print(ctx, 6, "--> %s frame %d is %dx%d x %d, the first %dx%d x %d", codec.name, static_cast<int>(i),
                    info.width, info.height, info.components, first.width, first.height, first.components);
          return false;
        }
        return codec.decode(ctx, in, slot, info, bytes, threads);
      },
      failed);
  if (failed >= 0) return fail(failed);
  return out;
}
