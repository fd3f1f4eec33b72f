#include "Convert/formats/local_Philips_HDL1.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr uint32_t kHeaderSize = 1024;
// Every sample no path writes: -2048.
constexpr uint16_t kBackground = 63488;
// A row record's padding at the end of a row: -1000.
constexpr uint16_t kRowPad = 64536;
constexpr int kDisc = 512;
// Where the listing of the bytes no field names starts.
constexpr size_t kKnownEnd = 104;

// Scout rows: a gap is this many zero samples; the second gap is searched
// this far past the first; a longer row than kScoutMax is taken as kScoutDefault.
constexpr uint64_t kGapRun = 50;
constexpr uint64_t kGapSkip = 300;
constexpr uint64_t kScoutMax = 800;
constexpr uint64_t kScoutDefault = 432;

// The disc of the scanner's field: the half width of row y (top half, the
// bottom half mirrors it) is the whole part of the half chord of a circle of
// radius squared 65568 at 255 - y rows from the centre, at most 256.
constexpr std::array<uint16_t, kDisc / 2> Disc_Half_Widths() {
  std::array<uint16_t, kDisc / 2> h{};
  for (int y = 0; y < kDisc / 2; ++y) {
    const long long d = 255 - y, r2 = 65568 - d * d;
    long long s = 0;
    while ((s + 1) * (s + 1) <= r2) ++s;
    h[y] = static_cast<uint16_t>(std::min<long long>(s, 256));
  }
  return h;
}
constexpr auto kHalf = Disc_Half_Widths();

struct Buffer {
  const uint8_t* p;
  size_t size;
  uint16_t Sample(size_t i) const { return static_cast<uint16_t>(p[2 * i] << 8 | p[2 * i + 1]); }
  size_t Samples() const { return size / 2; }
};

// The first index in [i, i + n) from which kGapRun samples are 0, or i + n.
uint64_t Gap(const Buffer& b, uint64_t i, uint64_t n) {
  const uint64_t total = b.Samples();
  uint64_t run = 0;
  for (uint64_t j = i; j < total; ++j) {
    if (b.Sample(j) != 0) {
      run = 0;
      if (j >= i + n - 1) break;  // no run can start inside the window any more
      continue;
    }
    if (run == 0 && j >= i + n) break;
    if (++run == kGapRun) return j + 1 - kGapRun;
  }
  return i + n;
}

void Report_Line(const ReadContext& ctx, int line) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 uncompressing HDL1 image (line:%d)\xF0", line);
}

// Scout: the row length is measured from the gaps between rows.
PixelBuffer Scout(const ReadContext& ctx, ImageHeader& ima, const Buffer& b) {
  const uint64_t w = ima.dim_x, h = ima.dim_y;
  uint64_t best = 0;
  for (uint64_t k = 5; k <= 9; ++k) {
    const uint64_t i = (h / 10) * w * k;
    const uint64_t p1 = Gap(b, i, w);
    const uint64_t p2 = Gap(b, p1 + kGapSkip, w);
    best = std::max(best, p2 - p1);
  }
  if (best > kScoutMax) best = kScoutDefault;
  const uint64_t rows = b.Samples() / best;
  Log_Print(ctx, 8, "--> scout rows of %llu samples, %llu rows in the data", static_cast<unsigned long long>(best),
            static_cast<unsigned long long>(rows));
  if (rows == 0) {
    Text_Error(ctx, Text_Input_Name(ima), "HDL1 scout: %zu bytes hold no row of %llu samples", b.size,
               static_cast<unsigned long long>(best));
    return {};
  }
  ima.dim_x = static_cast<uint16_t>(std::min(w, best));
  ima.dim_y = static_cast<uint16_t>(std::min(h, rows));
  ima.image_type = 5;
  const size_t x = ima.dim_x, y = ima.dim_y;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{x} * y * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(x) * y, 2);
  if (!out) return {};
  auto* data = reinterpret_cast<uint16_t*>(out.data());
  // Each row from its own start: a header narrower than the measured row
  // keeps the rows aligned.
  for (size_t r = 0; r < y; ++r)
    for (size_t c = 0; c < x; ++c) data[r * x + c] = b.Sample(r * best + c);
  return out;
}

// Disc: fixed spans per row, samples one after the other.
void Disc(const ReadContext& ctx, const ImageHeader& ima, const Buffer& b, uint16_t* data) {
  const size_t w = ima.dim_x, rows = std::min<size_t>(ima.dim_y, kDisc), total = b.Samples();
  size_t k = 0;
  for (size_t y = 0; y < rows; ++y) {
    const HDL1Span s = Philips_HDL1_Disc_Span(static_cast<int>(y));
    if (k + s.count > total) {
      Log_Print(ctx, 8, "--> disc data ends in row %zu of %zu", y, rows);
      break;
    }
    for (size_t c = 0; c < s.count; ++c)
      if (s.start + c < w) data[y * w + s.start + c] = b.Sample(k + c);
    k += s.count;
  }
}

// Row records: row, start column, count, first value, then count - 1
// differences (a signed byte, or 0x80 and a 16-bit difference) subtracted
// one after the other. 0 after a record out of sequence.
int Records(const ReadContext& ctx, const ImageHeader& ima, const Buffer& b, uint16_t* data) {
  const size_t w = ima.dim_x, h = ima.dim_y;
  const uint8_t* p = b.p;
  const uint8_t* const end = b.p + b.size;
  for (size_t line = 0; line < h; ++line) {
    if (end - p < 8) {
      Log_Print(ctx, 8, "--> row records end before row %zu of %zu", line, h);
      return 1;
    }
    const uint16_t row = static_cast<uint16_t>(p[0] << 8 | p[1]), start = static_cast<uint16_t>(p[2] << 8 | p[3]);
    const uint16_t count = static_cast<uint16_t>(p[4] << 8 | p[5]);
    uint16_t v = static_cast<uint16_t>(p[6] << 8 | p[7]);
    p += 8;
    if (row != line) {
      Report_Line(ctx, static_cast<int>(line));
      return 0;
    }
    uint16_t* const out = data + line * w;
    size_t col = start, last = 0;
    bool stored = false;
    const auto put = [&](uint16_t value) {
      if (col < w) out[col] = value, last = col, stored = true;
      ++col;
    };
    if (count == 0) continue;
    put(v);
    for (uint16_t i = 1; i < count; ++i) {
      if (p >= end) return 1;  // the data ends inside the row: keep what it held
      int d;
      if (*p == 0x80) {
        if (end - p < 3) return 1;
        d = static_cast<int16_t>(p[1] << 8 | p[2]);
        p += 3;
      } else {
        d = static_cast<int8_t>(*p++);
      }
      v = static_cast<uint16_t>(v - d);
      put(v);
    }
    // The padding that ends a row is background.
    if (stored && last + 1 == static_cast<size_t>(start) + count && out[last] == kRowPad) {
      out[last] = kBackground;
      if (count >= 2 && last >= 1 && last - 1 >= start && out[last - 1] == kRowPad) out[last - 1] = kBackground;
    }
  }
  return 1;
}

}  // namespace

HDL1Span Philips_HDL1_Disc_Span(int y) {
  const int top = y < kDisc / 2 ? y : kDisc - 1 - y;
  const uint16_t h = kHalf[static_cast<size_t>(std::clamp(top, 0, kDisc / 2 - 1))];
  return {static_cast<uint16_t>(256 - h), static_cast<uint16_t>(2 * h)};
}

int Philips_HDL1_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Philips_HDL1_Read_Header_2()");
  const FieldBlock b({block, size}, true);
  const uint16_t image = b.U16(84), age = b.U16(88), fov = b.U16(96), res_x = b.U16(98), res_y = b.U16(100);
  const int16_t pos_z = b.I16(90), pos_y = b.I16(92), tilt = b.I16(94);
  const uint16_t type = b.U16(102);
  const char sex = static_cast<char>(b.U8(86));

  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ Philips HDL1 header ------ ------");
    Text_Field_Str(ctx, "Hospital:", b.Chars(4, 32), 32);
    Text_Field_Str(ctx, "patient Name:", b.Chars(36, 32), 32);
    Text_Field_Str(ctx, "Study ID:", b.Chars(68, 16), 16);
    Text_Field_Int(ctx, "Image Number:", image);
    Text_Field_Char(ctx, "Sex :", sex ? sex : ' ');
    Text_Field_Int(ctx, "Age:", age);
    Text_Field_Int(ctx, "pos_z:", pos_z, "%-d (0.1 mm)");
    Text_Field_Int(ctx, "pos_y:", pos_y, "%-d (0.1 mm)");
    Text_Field_Int(ctx, "tilt: ?", tilt);
    Text_Field_Int(ctx, "FOV:", fov, "%-d (mm)");
    Text_Field_Int(ctx, "res X:", res_x);
    Text_Field_Int(ctx, "res Y:", res_y);
    Text_Title(ctx, "------ Other unknown info ------");
    for (size_t off = kKnownEnd; off < size; off += 16) {
      const size_t n = std::min<size_t>(16, size - off);
      if (std::all_of(block + off, block + off + n, [](uint8_t c) { return c == 0; })) continue;
      char line[80];
      int at = std::snprintf(line, sizeof line, "0x%03zx:", off);
      for (size_t i = 0; i < n; ++i) at += std::snprintf(line + at, sizeof line - at, " %02x", block[off + i]);
      Text_Line(ctx, "%s", line);
    }
    Text_End(ctx);
  }

  try {
    ima.g3.hospital_name = b.Text(4, 32);
    ima.g3.patient_name = b.Text(36, 32);
    ima.g1.study_ID = b.Text(68, 16);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  ima.g1.image_num = image;
  if (sex == 'M' || sex == 'F') ima.g3.patient_sex = sex;
  if (age <= 150) ima.g3.patient_age[0] = age;
  ima.image_type = type <= 8 ? type : 0;
  ima.g4.table_pos = static_cast<float>(pos_z) / 10;
  ima.g4.table_height = static_cast<float>(pos_y) / 10;
  // A matrix of 0 or past what the scanner makes is the disc's 512.
  ima.dim_x = res_x >= 1 && res_x <= 4096 ? res_x : kDisc;
  ima.dim_y = res_y >= 1 && res_y <= 4096 ? res_y : kDisc;
  if (fov >= 1 && fov <= 2000) {
    ima.g1.fov[0] = ima.g1.fov[1] = fov;
    ima.g1.pix_dim[0] = static_cast<float>(fov) / ima.dim_x;
    ima.g1.pix_dim[1] = static_cast<float>(fov) / ima.dim_y;
  } else {
    Log_Print(ctx, 8, "--> field of view out of range (%u): left unset", fov);
  }
  return 1;
}

int Philips_HDL1_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Philips_HDL1_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t block[kHeaderSize];
  if (!KEMA_READ(ctx, *src, 0, block, sizeof block)) return 0;
  ima.dim_z = ima.dim_t = 1;
  ima.ima_offset = kHeaderSize;
  ima.modality = kModalityCT;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_bits = 16;
  ima.g2.pix_high = 15;
  ima.g2.pix_sign = 1;
  ima.g2.pix_fill = static_cast<int16_t>(kBackground);
  ima.g2.compression = 1;
  try {
    ima.g4.manufacturer = "Philips";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }
  if (!Philips_HDL1_Read_Header_2(ctx, block, sizeof block, ima)) return 0;
  Log_Print(ctx, 8, "--> x: %d  y: %d  type: %d", ima.dim_x, ima.dim_y, ima.image_type);
  return 1;
}

int Philips_HDL1_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Philips_HDL1_Read_Image()");
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Text_Error(ctx, Text_Input_Name(ima), "HDL1 image of %ux%u", ima.dim_x, ima.dim_y);
    return 0;
  }
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const uint64_t w = ima.dim_x, h = ima.dim_y;
  // Nothing past what the longest coding of the image takes can reach it:
  // three bytes a sample and a record head a row, or scout rows of up to
  // kScoutMax samples.
  const uint64_t cap = std::max({h * (8 + 3 * w), h * kScoutMax * 2, uint64_t{kDisc} * kDisc * 2});
  const uint64_t left = std::min(ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0, cap);
  SourceBytes coded;
  if (!KEMA_VIEW(ctx, *src, std::min<uint64_t>(ima.ima_offset, src->size()), left, coded)) return 0;
  Buffer b{coded.data, coded.size};
  uint8_t first[4] = {};
  std::copy_n(b.p, std::min<size_t>(4, b.size), first);

  PixelBuffer out;
  if ((first[0] | first[1] | first[2] | first[3]) == 0 || ima.image_type == 6 || ima.image_type == 7) {
    Log_Print(ctx, 6, "%d pixels", static_cast<int>(left));
    out = Scout(ctx, ima, b);
    if (!out) return 0;
  } else {
    out = KEMA_ALLOC_PIXELS(ctx, w * h * 2, ima.name.c_str(), "ima->data", static_cast<long long>(w * h), 2);
    if (!out) return 0;
    auto* data = reinterpret_cast<uint16_t*>(out.data());
    std::fill_n(data, w * h, kBackground);
    if (first[0] | first[1]) {
      Log_Print(ctx, 6, "%d pixels", static_cast<int>(left));
      Disc(ctx, ima, b, data);
    } else if (!Records(ctx, ima, b, data)) {
      return 0;
    }
  }
  ima.data = std::move(out);
  ima.flags |= kFlagNoCoherence;
  return 1;
}
