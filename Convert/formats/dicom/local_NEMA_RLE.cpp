// DICOM RLE (PS3.5 annex G): a 64-byte header of segment count and offsets,
// then one PackBits segment per byte of a sample, most significant first.
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA.h"

namespace {

uint32_t Get32(const uint8_t* p, uint8_t mode) {
  return (mode & 0x03) ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                       : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

// PackBits from in[0, size) to every `stride`-th byte of out, `count` bytes;
// false when the input ends first (the rest is left as it is).
bool Unpack_Segment(const uint8_t* in, size_t size, uint8_t* out, size_t count, size_t stride) {
  size_t i = 0, k = 0;
  while (k < count) {
    if (i >= size) return false;
    const auto n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      size_t run = static_cast<size_t>(n) + 1;
      if (run > size - i) return false;
      run = std::min(run, count - k);
      for (size_t j = 0; j < run; ++j) out[(k + j) * stride] = in[i + j];
      i += static_cast<size_t>(n) + 1;
      k += run;
    } else if (n != -128) {
      if (i >= size) return false;
      const size_t run = std::min<size_t>(1 - static_cast<int>(n), count - k);
      const uint8_t v = in[i++];
      for (size_t j = 0; j < run; ++j) out[(k + j) * stride] = v;
      k += run;
    }
  }
  return true;
}

}  // namespace

uint64_t NEMA_Decompress_RLE_2(const ReadContext& ctx, uint8_t mode, std::span<uint8_t> out, std::span<const uint8_t> frame,
                               uint32_t dim_x, uint32_t dim_y, unsigned bytes_per_sample, unsigned samples) {
  const unsigned depth = bytes_per_sample * samples;
  const size_t pixels = size_t{dim_x} * dim_y;
  if (frame.size() < 64 || out.size() < pixels * depth) {
    Log_Print(ctx, 6, "RLE frame of %llu bytes has no room for its header",
              static_cast<unsigned long long>(frame.size()));
    return 0;
  }
  const uint32_t segments = Get32(frame.data(), mode);
  if (segments != depth || segments > 15) {
    Log_Print(ctx, 6, "number of segment (%d) != image depth (%d)", static_cast<int>(segments), static_cast<int>(depth));
    Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
    return 0;
  }
  Log_Print(ctx, 10, "--> nb_segment = %d", static_cast<int>(segments));
  uint32_t offset[16] = {};
  for (unsigned s = 0; s < segments; ++s) {
    offset[s] = Get32(frame.data() + 4 * (s + 1), mode);
    Log_Print(ctx, 10, "--> offset[%d] = %d", static_cast<int>(s), static_cast<int>(offset[s]));
    if (offset[s] < 64 || offset[s] >= frame.size()) {
      Log_Print(ctx, 6, "segment %d offset (%u) outside the frame (%llu bytes)", static_cast<int>(s), offset[s],
                static_cast<unsigned long long>(frame.size()));
      Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
      return 0;
    }
  }
  // Segment s is byte (s % B) of sample (s / B), most significant first;
  // it lands where that byte sits in a machine-order sample.
  const bool little = std::endian::native == std::endian::little;
  uint64_t consumed = 64;
  for (unsigned s = 0; s < segments; ++s) {
    const unsigned sample = s / bytes_per_sample, significance = s % bytes_per_sample;
    const unsigned byte = little ? bytes_per_sample - 1 - significance : significance;
    const size_t end = s + 1 < segments && offset[s + 1] > offset[s] ? offset[s + 1] : frame.size();
    uint8_t* dst = out.data() + sample * bytes_per_sample + byte;
    if (!Unpack_Segment(frame.data() + offset[s], end - offset[s], dst, pixels, depth)) {
      Log_Print(ctx, 6, "attempting to read past end of buffer !");
      Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
    }
    consumed += end - offset[s];
  }
  return consumed;
}

namespace {

// 1-bit frames: each frame's packed bytes are RLE-coded as 8-bit samples;
// decoded, then unpacked (first pixel in the lowest bit) to one byte a pixel.
PixelBuffer Rle_Bits(const ReadContext& ctx, ImageHeader& ima, const NemaStorage& s, const PixelBuffer& gathered,
                     uint64_t total) {
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  const uint64_t pixels = uint64_t{ima.dim_x} * ima.dim_y, packed = (pixels + 7) / 8;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(pixels, frames), ima.name.c_str(), "ima_out",
                                      static_cast<long long>(frames), static_cast<long long>(pixels));
  if (!out) return {};
  std::atomic<int> failed{0};
  NEMA_For_Frames(frames, [&](size_t i) {
    uint8_t* slot = out.data() + i * pixels;
    std::vector<uint8_t> bits;
    bool ok = i < s.image_size.size() && s.image_size[i] != 0 && uint64_t{s.image_offset[i]} + s.image_size[i] <= total;
    if (ok) {
      try {
        bits.assign(packed, 0);
      } catch (const std::bad_alloc&) {
        ok = false;
      }
    }
    ok = ok && NEMA_Decompress_RLE_2(ctx, ima.transfer_mode, bits, {gathered.data() + s.image_offset[i], s.image_size[i]},
                                     static_cast<uint32_t>(packed), 1, 1, 1);
    if (!ok) {
      std::memset(slot, 0, pixels);
      Log_Print(ctx, 6, "RLE decompression failed !");
      Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
      Log_Print(ctx, 6, "--> frame %d", static_cast<int>(i));
      failed.fetch_add(1);
      return;
    }
    for (uint64_t k = 0; k < pixels; ++k) slot[k] = (bits[k / 8] >> (k % 8)) & 1;
  });
  if (failed)
    Log_Print(ctx, 2, "\xF1\x05" "WARNING:\x01 %d of %d RLE frames could not be decoded (left black)", failed.load(),
              static_cast<int>(frames));
  ima.g2.pix_store = 8;
  return out;
}

}  // namespace

PixelBuffer NEMA_Decompress_RLE(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total) {
  Log_Print(ctx, 9, "in NEMA_Decompress_RLE()");
  const auto* s = dynamic_cast<const NemaStorage*>(ima.g2.storage.get());
  if (s && ima.g2.pix_store == 1 && ima.g2.pix_plane == 1) return Rle_Bits(ctx, ima, *s, gathered, total);
  const unsigned b = ima.g2.pix_store / 8, planes = ima.g2.pix_plane;
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  const uint64_t frame_bytes = Mul_Sat(Mul_Sat(uint64_t{ima.dim_x} * ima.dim_y, b), planes);
  if (!s || b == 0 || b > 4 || planes == 0 || ima.g2.pix_store % 8 != 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 RLE data of %d bits x %d samples cannot be decoded", ima.g2.pix_store,
              planes);
    return {};
  }
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(frame_bytes, frames), ima.name.c_str(), "ima_out",
                                      static_cast<long long>(frames), static_cast<long long>(frame_bytes));
  if (!out) return {};
  std::memset(out.data(), 0, out.size());
  std::atomic<int> failed{0};
  NEMA_For_Frames(frames, [&](size_t i) {
    const bool present = i < s->image_size.size() && s->image_size[i] != 0 &&
                         uint64_t{s->image_offset[i]} + s->image_size[i] <= total;
    std::span<uint8_t> slot(out.data() + i * frame_bytes, frame_bytes);
    if (!present || !NEMA_Decompress_RLE_2(ctx, ima.transfer_mode, slot,
                                           {gathered.data() + s->image_offset[i], s->image_size[i]}, ima.dim_x,
                                           ima.dim_y, b, planes)) {
      std::memset(slot.data(), 0, slot.size());
      Log_Print(ctx, 6, "RLE decompression failed !");
      Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
      Log_Print(ctx, 6, "--> frame %d", static_cast<int>(i));
      failed.fetch_add(1);
    }
  });
  if (failed)
    Log_Print(ctx, 2, "\xF1\x05" "WARNING:\x01 %d of %d RLE frames could not be decoded (left black)", failed.load(),
              static_cast<int>(frames));
  return out;
}
