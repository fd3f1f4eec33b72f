#include "Convert/formats/local_Philips_MRH1.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"
#include "Convert/formats/text_header.h"

namespace {

// The fixed words and texts of the header; the image block follows, on a
// 4-byte boundary, somewhere in the next kSearch bytes.
constexpr uint32_t kFixed = 80;
constexpr uint32_t kSearch = 64 * 1024;
constexpr int kMaxSide = 256;
// The coded rows start this far into the image block's data.
constexpr uint32_t kCodedStart = 2048;

}  // namespace

int Philips_MRH1_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Philips_MRH1_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t block[kFixed];
  if (!KEMA_READ(ctx, *src, 0, block, sizeof block)) return 0;
  const FieldBlock b(block, false);
  const uint32_t width = b.U32(4), height = b.U32(8), slice = b.U32(12), te = b.U32(16), tr = b.U32(20);
  const uint32_t fov = b.U32(24), thickness = b.U32(28);

  // The image block: the first "IMG1" word after the fixed part.
  uint64_t img = 0;
  const uint64_t window = std::min<uint64_t>(kSearch, src->size() > kFixed ? src->size() - kFixed : 0);
  std::vector<uint8_t> words;
  try {
    words.resize(window);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "words", static_cast<long long>(window), 1);
    return 0;
  }
  if (window && !KEMA_READ(ctx, *src, kFixed, words.data(), window)) return 0;
  for (uint64_t at = 0; at + 4 <= window; at += 4)
    if (std::memcmp(words.data() + at, "IMG1", 4) == 0) {
      img = kFixed + at;
      break;
    }

  Log_Print(ctx, 8, "--> x: %u  y: %u  IMG1 at: %llu", width, height, static_cast<unsigned long long>(img));
  Text_Title(ctx, "------ ------ Philips MRH1 header ------ ------");
  Text_Field_UInt(ctx, "Width:", width);
  Text_Field_UInt(ctx, "Height:", height);
  Text_Field_UInt(ctx, "Slice number:", slice);
  Text_Field_UInt(ctx, "Echo time:", te, "%-u (usec)");
  Text_Field_UInt(ctx, "Repetition time:", tr, "%-u (usec)");
  Text_Field_UInt(ctx, "FOV:", fov, "%-u (0.1 mm)");
  Text_Field_UInt(ctx, "Slice thickness:", thickness, "%-u (0.1 mm)");
  Text_Field_Str(ctx, "Patient Name:", b.Chars(32, 32), 32);
  Text_Field_Str(ctx, "Patient ID:", b.Chars(64, 16), 16);
  if (img) Text_Field_UInt(ctx, "Image block at:", static_cast<unsigned>(img));
  else Text_Field(ctx, "Image block at:", "%s", "(none)");
  Text_End(ctx);

  ima.dim_z = ima.dim_t = 1;
  // 256 x 256 unless the header names a smaller matrix.
  ima.dim_x = width >= 1 && width <= kMaxSide ? static_cast<uint16_t>(width) : kMaxSide;
  ima.dim_y = height >= 1 && height <= kMaxSide ? static_cast<uint16_t>(height) : kMaxSide;
  ima.ima_offset = static_cast<uint32_t>(img);
  ima.modality = kModalityMR;
  ima.image_type = 1;
  ima.g2.pix_swap = 0;
  ima.g2.pix_store = 16;
  ima.g2.pix_bits = 12;
  ima.g2.pix_high = 11;
  ima.g2.pix_sign = 1;
  ima.g2.compression = 1;
  ima.g1.image_num = static_cast<uint16_t>(std::min<uint32_t>(slice, 65535));
  if (te <= 10'000'000) ima.g4.mr.echo_time = static_cast<float>(te) * 0.001f;
  if (tr <= 100'000'000) ima.g4.mr.repetition_time = static_cast<float>(tr) * 0.001f;
  if (fov >= 10 && fov <= 10000) {
    ima.g1.fov[0] = ima.g1.fov[1] = static_cast<float>(fov) / 10;
    ima.g1.pix_dim[0] = ima.g1.fov[0] / ima.dim_x;
    ima.g1.pix_dim[1] = ima.g1.fov[1] / ima.dim_y;
  } else {
    Log_Print(ctx, 8, "--> field of view out of range (%u): left unset", fov);
  }
  if (thickness >= 1 && thickness <= 10000) ima.g1.pix_size[2] = static_cast<float>(thickness) / 10;
  try {
    ima.g4.manufacturer = "Philips";
    ima.g3.patient_name = b.Text(32, 32);
    ima.g3.patient_ID = b.Text(64, 16);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  return 1;
}

size_t Philips_MRH1_Decode(const uint8_t* p, const uint8_t* end, int16_t* data, size_t width, size_t rows,
                           size_t& used) {
  const uint8_t* const begin = p;
  size_t k = 0;
  for (size_t r = 0; r < rows && p < end; ++r) {
    int v = 0;
    int16_t* row = data + r * width;
    const size_t n = std::min<size_t>(width, static_cast<size_t>(end - p));
    for (size_t x = 0; x < n; ++x) {
      const int b = *p++;
      v += b < 0x80 ? ((b & 0x40) ? (b & 0x7F) - 128 : b) : b - 256;
      row[x] = static_cast<int16_t>(std::clamp(v, -1024, 4096));
    }
    k += n;
  }
  used = static_cast<size_t>(p - begin);
  return k;
}

int Philips_MRH1_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Philips_MRH1_Read_Image()");
  const char* file = Text_Input_Name(ima);
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t head[8];
  if (ima.ima_offset == 0 || !src->Contains(ima.ima_offset, 8) ||
      !KEMA_READ(ctx, *src, ima.ima_offset, head, sizeof head) || std::memcmp(head, "IMG1", 4) != 0) {
    Text_Error(ctx, file, "no \"IMG1\" image block in MRH1 image");
    return 0;
  }
  const uint64_t n = FieldBlock(head, false).U32(4);
  const uint64_t there = src->size() - ima.ima_offset - 8;
  if (n > there) Log_Print(ctx, 8, "--> image block of %llu bytes, %llu in the file", static_cast<unsigned long long>(n),
                           static_cast<unsigned long long>(there));
  const size_t w = ima.dim_x, rows = std::min<size_t>(ima.dim_y, kMaxSide);
  // Nothing past a byte a sample can reach the image.
  const uint64_t coded = std::min<uint64_t>(std::min(n, there), kCodedStart + uint64_t{w} * rows);
  const size_t samples = size_t{ima.dim_x} * ima.dim_y;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{samples} * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(samples), 2);
  if (!out) return 0;
  std::memset(out.data(), 0, out.size());
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(coded > kCodedStart ? coded - kCodedStart : 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buffer", static_cast<long long>(coded), 1);
    return 0;
  }
  if (!bytes.empty() && !KEMA_READ(ctx, *src, ima.ima_offset + 8 + kCodedStart, bytes.data(), bytes.size())) return 0;
  size_t used = 0;
  const size_t k = Philips_MRH1_Decode(bytes.data(), bytes.data() + bytes.size(),
                                       reinterpret_cast<int16_t*>(out.data()), w, rows, used);
  Log_Print(ctx, 6, "size=%d,   p=%d,   k=%d", static_cast<int>(std::min<uint64_t>(n, INT32_MAX)) - static_cast<int>(kCodedStart),
            static_cast<int>(used), static_cast<int>(k));
  ima.data = std::move(out);
  ima.flags |= kFlagNoCoherence;
  return 1;
}
