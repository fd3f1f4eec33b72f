// JPEG-LS frames (lossless and near-lossless) through CharLS.
#include <charls/charls.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Convert/formats/dicom/local_NEMA_codec.h"

namespace {

struct DecoderFree {
  void operator()(charls_jpegls_decoder* d) const { charls_jpegls_decoder_destroy(d); }
};
using Decoder = std::unique_ptr<charls_jpegls_decoder, DecoderFree>;

bool Failed(const ReadContext& ctx, charls_jpegls_errc e, const char* what) {
  if (e == charls::jpegls_errc::success) return false;
  Log_Print(ctx, 6, "--> JPEG-LS %s: %s", what, charls_get_error_message(e));
  return true;
}

// A decoder over `in` with its header read.
Decoder Open(const ReadContext& ctx, std::span<const uint8_t> in) {
  Decoder d(charls_jpegls_decoder_create());
  if (!d) return {};
  if (Failed(ctx, charls_jpegls_decoder_set_source_buffer(d.get(), in.data(), in.size()), "source") ||
      Failed(ctx, charls_jpegls_decoder_read_header(d.get()), "header"))
    return {};
  return d;
}

bool Info(const ReadContext& ctx, std::span<const uint8_t> in, NemaFrameInfo& info) {
  Decoder d = Open(ctx, in);
  charls_frame_info fi{};
  if (!d || Failed(ctx, charls_jpegls_decoder_get_frame_info(d.get(), &fi), "frame")) return false;
  info.width = static_cast<int>(fi.width);
  info.height = static_cast<int>(fi.height);
  info.components = fi.component_count;
  info.precision = fi.bits_per_sample;
  info.is_signed = false;  // JPEG-LS codes unsigned samples
  return true;
}

bool Decode(const ReadContext& ctx, std::span<const uint8_t> in, std::span<uint8_t> out, const NemaFrameInfo& info,
            unsigned bytes, unsigned) {
  Decoder d = Open(ctx, in);
  if (!d) return false;
  charls_interleave_mode mode{};
  size_t size = 0;
  if (Failed(ctx, charls_jpegls_decoder_get_interleave_mode(d.get(), &mode), "interleave") ||
      Failed(ctx, charls_jpegls_decoder_get_destination_size(d.get(), 0, &size), "size"))
    return false;
  if (size != out.size()) {
    Log_Print(ctx, 6, "--> JPEG-LS frame of %zu bytes, %zu expected", size, out.size());
    return false;
  }
  if (info.components == 1 || mode != charls::interleave_mode::none)
    return !Failed(ctx, charls_jpegls_decoder_decode_to_buffer(d.get(), out.data(), out.size(), 0), "decode");
  // Interleave mode 0 gives one plane per component: interleaved here.
  std::vector<uint8_t> planes;
  try {
    planes.resize(out.size());
  } catch (const std::bad_alloc&) {
    Log_Print(ctx, 6, "--> JPEG-LS: no memory for %zu bytes of planes", out.size());
    return false;
  }
  if (Failed(ctx, charls_jpegls_decoder_decode_to_buffer(d.get(), planes.data(), planes.size(), 0), "decode"))
    return false;
  const size_t pixels = size_t(info.width) * info.height, n = static_cast<size_t>(info.components);
  for (size_t c = 0; c < n; ++c)
    for (size_t i = 0; i < pixels; ++i)
      std::memcpy(out.data() + (i * n + c) * bytes, planes.data() + (c * pixels + i) * bytes, bytes);
  return true;
}

}  // namespace

const NemaFrameCodec kNemaJpegLs = {"JPEG-LS", true, Info, Decode};
