#include "Convert/formats/local_Shimadzu_SCT.h"

#include <algorithm>
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

constexpr uint32_t kHeaderSize = 512;
// What every sample holds before the rows are decoded: -2000.
constexpr uint16_t kBackground = 63536;
constexpr uint16_t kEndOfRow = 0x8080;

// Text fields of the header. The zero bytes between the first five are the
// ones detection looks at.
struct TextField {
  const char* label;
  size_t off;
  size_t width;
};
constexpr TextField kFields[] = {
    {"Patient Name:", 0, 24},   {"Patient ID:", 26, 24},   {"Study Date:", 52, 6},
    {"Study Time:", 60, 4},     {"Image Number:", 66, 4},  {"Hospital:", 74, 32},
    {"Comment:", 106, 40},      {"Slice thickness:", 146, 6}, {"Pixel size:", 152, 8},
    {"Table position:", 160, 8}, {"Tube voltage:", 168, 4}, {"Tube current:", 172, 4},
    {"Gantry tilt:", 176, 6},
};

bool Digit(char c) { return c >= '0' && c <= '9'; }

double Number(const FieldBlock& b, size_t off, size_t width, bool* ok) {
  const std::string t = b.Text(off, width);
  *ok = false;
  if (t.empty()) return 0;
  return Parse_Real(t, ok);
}

}  // namespace

int Shimadzu_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Shimadzu_Read_Header_2()");
  const FieldBlock b({block, size}, true);
  Text_Title(ctx, "------ ------ Shimadzu header ------ ------");
  for (const TextField& f : kFields) Text_Field_Str(ctx, f.label, b.Chars(f.off, f.width), static_cast<int>(f.width));
  Text_End(ctx);

  try {
    ima.g3.patient_name = b.Text(0, 24);
    ima.g3.patient_ID = b.Text(26, 24);
    ima.g3.hospital_name = b.Text(74, 32);
    ima.g1.image_comment = b.Text(106, 40);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  bool ok;
  const double image = Number(b, 66, 4, &ok);
  if (ok && Scanner_In_Range(image, 0, 65535)) ima.g1.image_num = static_cast<uint16_t>(image);
  // Study date YYMMDD and time HHMM.
  const std::string date = b.Text(52, 6), time = b.Text(60, 4);
  if (date.size() == 6 && std::all_of(date.begin(), date.end(), Digit)) {
    const int yy = std::stoi(date.substr(0, 2)), mm = std::stoi(date.substr(2, 2)), dd = std::stoi(date.substr(4, 2));
    int hh = 0, mi = 0;
    if (time.size() == 4 && std::all_of(time.begin(), time.end(), Digit))
      hh = std::stoi(time.substr(0, 2)), mi = std::stoi(time.substr(2, 2));
    ima.g1.study_time = Text_Local_Time(yy < 70 ? 2000 + yy : 1900 + yy, mm, dd, hh, mi, 0);
  }
  // Geometry only from plausible values: a NaN or absurd size leaves it unset.
  const double thick = Number(b, 146, 6, &ok);
  if (ok && Scanner_In_Range(thick, 0.01, 1000)) ima.g1.pix_size[2] = static_cast<float>(thick);
  const double pixel = Number(b, 152, 8, &ok);
  if (ok && Scanner_In_Range(pixel, 0.001, 100)) {
    ima.g1.pix_dim[0] = ima.g1.pix_dim[1] = static_cast<float>(pixel);
    ima.g1.fov[0] = ima.g1.fov[1] = static_cast<float>(pixel * kShimadzuColumns);
  } else {
    Log_Print(ctx, 8, "--> pixel size out of range: left unset");
  }
  const double table = Number(b, 160, 8, &ok);
  if (ok && Scanner_In_Range(table, -1e5, 1e5)) ima.g4.table_pos = static_cast<float>(table);
  const double kv = Number(b, 168, 4, &ok);
  if (ok && Scanner_In_Range(kv, 0, 1e4)) ima.g4.ct.tube_voltage = static_cast<float>(kv);
  const double ma = Number(b, 172, 4, &ok);
  if (ok && Scanner_In_Range(ma, 0, 1e5)) ima.g4.ct.tube_current = static_cast<float>(ma);
  const double tilt = Number(b, 176, 6, &ok);
  if (ok && Scanner_In_Range(tilt, -90, 90)) ima.g4.ct.gantry_tilt = static_cast<float>(tilt);
  return 1;
}

int Shimadzu_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Shimadzu_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t block[kHeaderSize];
  if (!KEMA_READ(ctx, *src, 0, block, sizeof block)) return 0;

  ima.dim_z = ima.dim_t = 1;
  ima.dim_x = ima.dim_y = kShimadzuColumns;
  ima.ima_offset = kHeaderSize;
  ima.modality = kModalityCT;
  ima.image_type = 1;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_bits = 16;
  ima.g2.pix_high = 15;
  ima.g2.pix_sign = 1;
  ima.g2.pix_fill = static_cast<int16_t>(kBackground);
  ima.g2.compression = 1;
  // The decoder writes samples in the machine's order.
  ima.flags |= kFlagNoCoherence;
  try {
    ima.g4.manufacturer = "Shimadzu";
    ima.g4.model = "SCT-5000";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }
  Log_Print(ctx, 8, "--> x: %d  y: %d  offset: %u", ima.dim_x, ima.dim_y, ima.ima_offset);
  return Shimadzu_Read_Header_2(ctx, block, sizeof block, ima);
}

// ---- pixels ----

int Shimadzu_Decode(const ReadContext* ctx, const uint8_t* p, const uint8_t* end, uint16_t* data, int rows) {
  enum Step { kStart, kAbsolute, kDifference };
  int line = 0, pos = 0;
  uint16_t last = 0;
  Step step = kStart;
  const auto fail = [&](int which, int column) {
    if (ctx) Log_Print(*ctx, 2, "\xF1\x04" "ERROR:\x01 %d ERROR pos(=%d) > 512 (line %d)\xF0", which, column, line);
    return -1;
  };
  if ((end - p) & 1) --end;
  for (; p < end && line < rows; p += 2) {
    const uint16_t w = static_cast<uint16_t>(p[0] << 8 | p[1]);
    if (w == kEndOfRow) {
      ++line;
      step = kStart;
      continue;
    }
    uint16_t* row = data + static_cast<size_t>(line) * kShimadzuColumns;
    switch (step) {
      case kStart:
        if (w > kShimadzuColumns) return fail(1, w);
        pos = w;
        step = kAbsolute;
        break;
      case kAbsolute:
        if (pos >= kShimadzuColumns) return fail(2, pos);
        row[pos++] = last = w;
        step = kDifference;
        break;
      case kDifference:
        if (p[0] == 0x80) {
          step = kAbsolute;
          break;
        }
        if (pos >= kShimadzuColumns) return fail(3, pos);
        row[pos++] = last = static_cast<uint16_t>(last + static_cast<int8_t>(p[0]));
        if (p[1] == 0x80) {
          step = kAbsolute;
          break;
        }
        if (pos >= kShimadzuColumns) return fail(4, pos);
        row[pos++] = last = static_cast<uint16_t>(last + static_cast<int8_t>(p[1]));
        break;
    }
  }
  return line;
}

int Shimadzu_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Shimadzu_Read_Image()");
  if (ima.dim_x != kShimadzuColumns || ima.dim_y == 0) {
    Text_Error(ctx, Text_Input_Name(ima), "Shimadzu image of %ux%u: rows of %d samples expected", ima.dim_x, ima.dim_y,
               kShimadzuColumns);
    return 0;
  }
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const size_t samples = size_t{ima.dim_x} * ima.dim_y;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{samples} * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(samples), 2);
  if (!out) return 0;
  // No coded row is longer than two words a sample and its ends: nothing
  // past that many bytes can reach the image.
  const uint64_t cap = uint64_t{ima.dim_y} * (kShimadzuColumns * 4 + 8);
  const uint64_t left = std::min(ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0, cap);
  SourceBytes coded;
  if (!KEMA_VIEW(ctx, *src, std::min<uint64_t>(ima.ima_offset, src->size()), left, coded)) return 0;
  const uint8_t* bytes = coded.data;
  auto* data = reinterpret_cast<uint16_t*>(out.data());
  std::fill_n(data, samples, kBackground);
  const int rows = Shimadzu_Decode(&ctx, bytes, bytes + left, data, ima.dim_y);
  if (rows < 0) return 0;
  Log_Print(ctx, 8, "--> %d coded rows", rows);
  ima.data = std::move(out);
  return 1;
}
