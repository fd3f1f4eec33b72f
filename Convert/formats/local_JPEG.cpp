// JPEG files (format 103): the file is read whole and handed to the JPEG
// decoder; its header pass gives the geometry.
#include "Convert/formats/local_JPEG.h"

#include <cctype>
#include <new>
#include <vector>

#include "Convert/conv_header_text.h"
#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"
#include "Convert/conv_jpeg.h"

namespace {

// The file's bytes: the caller's block, or the file read whole into `store`.
bool Whole_File(const ReadContext& ctx, const ImageHeader& ima, std::vector<uint8_t>& store, std::span<const uint8_t>& bytes) {
  if (ima.input_type == 2) {
    bytes = ima.stream;
    return true;
  }
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return false;
  // The file is read whole: its size counts against the pixel memory budget.
  if (!Image_Budget_Check(ctx, src->size(), ima.input.c_str())) return false;
  try {
    store.resize(static_cast<size_t>(src->size()));
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "jpeg file", static_cast<long long>(src->size()), 1);
    return false;
  }
  if (!store.empty() && !KEMA_READ(ctx, *src, 0, store.data(), store.size())) return false;
  bytes = store;
  return true;
}

// The number that ends a file name ("ct0042" gives 42), 0 when none.
uint16_t Trailing_Number(const std::string& name) {
  size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  unsigned v = 0;
  for (size_t k = i; k < name.size(); ++k) v = (v * 10 + static_cast<unsigned>(name[k] - '0')) & 0xFFFF;
  return static_cast<uint16_t>(v);
}

}  // namespace

int JPEG_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in JPEG_Read_Header()");
  std::vector<uint8_t> store;
  std::span<const uint8_t> bytes;
  if (!Whole_File(ctx, ima, store, bytes)) return 0;
  JpegInfo info;
  JpegOptions opt = Jpeg_Options(ctx);
  if (!Jpeg_Frame_Read_Info(bytes, info, opt, JpegColour::kStream)) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 JPEG header not readable (error %d)\xF0", info.error);
    if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
    return 0;
  }
  ima.modality = Modality_Code('O', 'T');
  ima.g2.compression = 1;
  ima.g1.series_num = Trailing_Number(ima.name);
  ima.dim_x = info.width;
  ima.dim_y = info.height;
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.ima_offset = 0;
  ima.g2.pix_store = static_cast<uint16_t>(info.bytes_per_sample * 8);
  ima.g2.pix_plane = info.components;
  ima.g2.pix_bits = info.precision;
  ima.g2.pix_high = static_cast<uint8_t>(info.precision - 1);
  ima.g2.pix_sign = 0;
  // The decoder gives samples in the machine's order.
  ima.flags |= kFlagNoCoherence;
  Log_Print(ctx, 8, "--> x: %d  y: %d  bits: %d  components: %d", info.width, info.height, info.precision,
            info.components);
  Text_End(ctx);
  return 1;
}

int JPEG_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in JPEG_Read_Image()");
  std::vector<uint8_t> store;
  std::span<const uint8_t> bytes;
  if (!Whole_File(ctx, ima, store, bytes)) return 0;
  JpegInfo info;
  JpegOptions opt = Jpeg_Options(ctx);
  opt.info_lines = false;  // listed by the header pass
  // The header pass gave the geometry: the samples go straight into a buffer
  // of that size (the decoder checks it holds the frame).
  const uint64_t need = Mul_Sat(Mul_Sat(uint64_t{ima.dim_x} * ima.dim_y, ima.g2.pix_plane), ima.g2.pix_store / 8);
  PixelBuffer pixels = KEMA_ALLOC_PIXELS(ctx, need, ima.name.c_str(), "jpeg file", static_cast<long long>(ima.dim_x) * ima.dim_y,
                                         static_cast<long long>(ima.g2.pix_plane) * (ima.g2.pix_store / 8));
  if (!pixels) return 0;
  if (!Jpeg_Frame_Decode_Into(bytes, {pixels.data(), pixels.size()}, info, opt, JpegColour::kStream)) {
    Log_Print(ctx, 6, "JPEG decompression failed !");
    Log_Print(ctx, 6, "File:%s, line:%d", KEMA_SRC, __LINE__);
    return 0;
  }
  if (info.width != ima.dim_x || info.height != ima.dim_y || info.components != ima.g2.pix_plane ||
      info.bytes_per_sample * 8 != ima.g2.pix_store) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 JPEG image %dx%d (%d x %d bits) differs from its header\xF0", info.width,
              info.height, info.components, info.bytes_per_sample * 8);
    return 0;
  }
  PixelBuffer done = Image_Read_Process(ctx, ima, std::move(pixels));
  if (!done) return 0;
  ima.data = std::move(done);
  return 1;
}
