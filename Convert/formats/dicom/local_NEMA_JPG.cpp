// The JPEG transfer syntaxes: every frame goes through the JPEG decoder,
// several frames at once, each into its own slot of the output.
#include <algorithm>
#include <cstring>
#include <string>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/conv_jpeg.h"

namespace {

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

// What a stream says of its own colour coding, as libjpeg reads it: a JFIF
// marker means YCbCr, an Adobe marker names its transform, subsampled
// chroma is YCbCr. 1: YCbCr, 0: RGB, -1: the stream says nothing.
int Stream_Colour(std::span<const uint8_t> in) {
  size_t i = 2;
  int said = -1;
  while (i + 4 <= in.size() && in[i] == 0xFF) {
    const uint8_t m = in[i + 1];
    const size_t len = size_t{in[i + 2]} << 8 | in[i + 3];
    if (m == 0xDA || len < 2 || i + 2 + len > in.size()) break;
    const uint8_t* p = in.data() + i + 4;
    const size_t n = len - 2;
    if (m == 0xE0 && n >= 5 && std::memcmp(p, "JFIF", 5) == 0) said = 1;
    if (m == 0xEE && n >= 12 && std::memcmp(p, "Adobe", 5) == 0) return p[11] == 0 ? 0 : 1;
    if (((m >= 0xC0 && m <= 0xC3) || (m >= 0xC5 && m <= 0xC7) || (m >= 0xC9 && m <= 0xCB) || (m >= 0xCD && m <= 0xCF)) &&
        n >= 6 + 3 * 3 && p[5] == 3) {
      const uint8_t first = p[7];
      for (int c = 1; c < 3; ++c)
        if (p[6 + 3 * c + 1] != first) return 1;
    }
    i += 2 + len;
  }
  return said;
}

}  // namespace

PixelBuffer NEMA_Decompress_JPG(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total) {
  Log_Print(ctx, 9, "in NEMA_Decompress_JPG()");
  const auto* s = dynamic_cast<const NemaStorage*>(ima.g2.storage.get());
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  auto fail = [&](int frame) {
    Log_Print(ctx, 6, "JPEG decompression failed !");
    Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
    Log_Print(ctx, 6, "--> frame %d", frame);
    return PixelBuffer{};
  };
  if (!s || frames == 0) return fail(0);

  // The first frame sets the geometry; every other must have it too, or its
  // samples would not fit its slot.
  JpegOptions opt = Jpeg_Options(ctx);
  // The stream's own markers first; the photometric interpretation only
  // where the stream says nothing.
  const int stream = Stream_Colour(NEMA_Frame_Bytes(*s, 0, gathered, total));
  opt.ycc_to_rgb = stream >= 0 ? stream == 1 : Coded_As_YCbCr(ima.DICOM_list);
  // The header text shows the first frame's information once, written by
  // the caller's thread before any other frame starts.
  opt.info_lines = false;
  JpegInfo first;
  if (!Jpeg_Frame_Read_Info(NEMA_Frame_Bytes(*s, 0, gathered, total), first, opt)) return fail(0);
  Log_Print(ctx, 10, "--> header x:%d  jpeg x:%d", ima.dim_x, first.width);
  Log_Print(ctx, 10, "--> header y:%d  jpeg y:%d", ima.dim_y, first.height);
  Log_Print(ctx, 10, "--> plane d:%d  jpeg d:%d", ima.g2.pix_plane, first.components);
  Log_Print(ctx, 10, "--> store d:%d  jpeg d:%d", ima.g2.pix_store, first.bytes_per_sample * 8);
  ima.dim_x = first.width;
  ima.dim_y = first.height;
  ima.g2.pix_plane = first.components;
  ima.g2.pix_store = static_cast<uint16_t>(first.bytes_per_sample * 8);
  int failed = -1;
  PixelBuffer out = NEMA_Decode_Frames(
      ctx, ima, *s, gathered, total, first.Output_Bytes(), "JPEG",
      [&](size_t i, std::span<const uint8_t> in, std::span<uint8_t> slot) {
        JpegOptions o = opt;
        o.info_lines = i == 0;
        Log_Print(ctx, 10, "--> size:%d start:%d", static_cast<int>(in.size()), static_cast<int>(s->image_offset[i]));
        JpegInfo info;
        if (!Jpeg_Frame_Read_Info(in, info, opt)) return false;
        if (!Same_Geometry(info, first)) {
          Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 JPEG frame %d is %dx%d x %d x %d/8, the first %dx%d x %d x %d/8",
                    static_cast<int>(i), info.width, info.height, info.components, info.bytes_per_sample * 8,
                    first.width, first.height, first.components, first.bytes_per_sample * 8);
          return false;
        }
        return Jpeg_Frame_Decode_Into(in, slot, info, o) != 0;
      },
      failed);
  if (failed >= 0) return fail(failed);
  return out;
}
