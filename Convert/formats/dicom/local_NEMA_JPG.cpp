// The JPEG transfer syntaxes: every frame goes through the JPEG decoder,
// several frames at once, each into its own slot of the output.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/conv_jpeg.h"

namespace {

std::span<const uint8_t> Frame_Bytes(const NemaStorage& s, size_t i, const PixelBuffer& gathered, uint64_t total) {
  if (i >= s.image_size.size() || s.image_offset[i] >= total) return {};
  // A size of 0 runs to the end of the gathered bytes.
  uint64_t size = s.image_size[i] ? s.image_size[i] : total - s.image_offset[i];
  size = std::min<uint64_t>(size, total - s.image_offset[i]);
  return {gathered.data() + s.image_offset[i], static_cast<size_t>(size)};
}

bool Same_Geometry(const JpegInfo& a, const JpegInfo& b) {
  return a.width == b.width && a.height == b.height && a.components == b.components &&
         a.bytes_per_sample == b.bytes_per_sample;
}

// Three-component lossy frames hold Y, Cb, Cr unless the photometric
// interpretation says the components were coded as R, G, B; without one,
// the usual JPEG reading (YCbCr) stands.
bool Coded_As_YCbCr(const DicomList& list) {
  const auto it = std::find_if(list.begin(), list.end(),
                               [](const DicomAttribute& a) { return a.group == 0x0028 && a.element == 0x0004; });
  if (it == list.end()) return true;
  const std::string pi(it->data.begin(), it->data.end());
  const size_t from = pi.find_first_not_of(' '), to = pi.find_last_not_of(std::string(" \0", 2));
  return from == std::string::npos || pi.substr(from, to + 1 - from) != "RGB";
}

}  // namespace

PixelBuffer NEMA_Decompress_JPG(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total) {
  Log_Print(ctx, 9, "in NEMA_Decompress_JPG()");
  const auto* s = dynamic_cast<const NemaStorage*>(ima.g2.storage.get());
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  auto fail = [&](int frame) {
    Log_Print(ctx, 6, "JPEG decompression failed ! (frame %d)", frame);
    Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
    return PixelBuffer{};
  };
  if (!s || frames == 0) return fail(0);

  // The first frame sets the geometry; every other must have it too, or its
  // samples would not fit its slot.
  JpegOptions opt = Jpeg_Options(ctx);
  opt.ycc_to_rgb = Coded_As_YCbCr(ima.DICOM_list);
  JpegInfo first;
  if (!Jpeg_Read_Info(Frame_Bytes(*s, 0, gathered, total), first, opt)) return fail(0);
  Log_Print(ctx, 10, "--> header x:%d  jpeg x:%d", ima.dim_x, first.width);
  Log_Print(ctx, 10, "--> header y:%d  jpeg y:%d", ima.dim_y, first.height);
  Log_Print(ctx, 10, "--> plane d:%d  jpeg d:%d", ima.g2.pix_plane, first.components);
  Log_Print(ctx, 10, "--> store d:%d  jpeg d:%d", ima.g2.pix_store, first.bytes_per_sample * 8);
  ima.dim_x = first.width;
  ima.dim_y = first.height;
  ima.g2.pix_plane = first.components;
  ima.g2.pix_store = static_cast<uint16_t>(first.bytes_per_sample * 8);
  const uint64_t frame_bytes = first.Output_Bytes();
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(frame_bytes, frames), ima.name.c_str(), "ima_out",
                                      static_cast<long long>(frames), static_cast<long long>(frame_bytes));
  if (!out) return {};

  std::atomic<int> failed{-1};
  NEMA_For_Frames(frames, [&](size_t i) {
    if (failed.load() >= 0) return;
    const std::span<const uint8_t> in = Frame_Bytes(*s, i, gathered, total);
    JpegOptions o = opt;
    o.info_lines = i == 0;  // the header text shows the first frame
    Log_Print(ctx, 10, "--> size:%d start:%d", static_cast<int>(in.size()),
              static_cast<int>(i < s->image_offset.size() ? s->image_offset[i] : 0));
    JpegInfo info;
    bool ok = !in.empty() && Jpeg_Read_Info(in, info, o);
    if (ok && !Same_Geometry(info, first)) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 JPEG frame %d is %dx%d x %d x %d/8, the first %dx%d x %d x %d/8",
                static_cast<int>(i), info.width, info.height, info.components, info.bytes_per_sample * 8, first.width,
                first.height, first.components, first.bytes_per_sample * 8);
      ok = false;
    }
    if (ok) ok = Jpeg_Decode_Into(in, {out.data() + i * frame_bytes, frame_bytes}, info, o) != 0;
    if (!ok) {
      int none = -1;
      failed.compare_exchange_strong(none, static_cast<int>(i));
    }
  });
  if (failed.load() >= 0) return fail(failed.load());
  return out;
}
