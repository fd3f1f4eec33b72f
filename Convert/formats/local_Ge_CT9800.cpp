#include "Convert/formats/local_Ge_CT9800.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/conv_report.h"
#include "Convert/conv_value_range.h"
#include "Convert/formats/delta7_simd.h"

namespace {

constexpr uint32_t kDirectorySize = 512;
// What the block decoders look at: the fields of every block lie in its
// first 512 bytes, whatever size the directory states.
constexpr uint32_t kBlockRead = 512;

// Big-endian fields of a header block, zeros past its end.
class Block {
 public:
  explicit Block(std::span<const uint8_t> bytes) : b_(bytes) {}
  uint16_t U16(size_t off) const { return Has(off, 2) ? static_cast<uint16_t>(b_[off] << 8 | b_[off + 1]) : 0; }
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  // A Data General single (IBM hexadecimal layout).
  double DG(size_t off) const { return Has(off, 4) ? Order_Get_IBM32(0x01, b_.data() + off) : 0.0; }
  std::string_view Chars(size_t off, size_t width) const {
    if (off >= b_.size()) return {};
    return {reinterpret_cast<const char*>(b_.data() + off), std::min(width, b_.size() - off)};
  }
  std::string Text(size_t off, size_t width) const {
    std::string_view s = Chars(off, width);
    s = s.substr(0, s.find('\0'));
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
  }

 private:
  bool Has(size_t off, size_t n) const { return off <= b_.size() && n <= b_.size() - off; }
  std::span<const uint8_t> b_;
};

constexpr TextCode kOrient[] = {{1, "Head First"}, {2, "Feet First"}};
constexpr TextCode kAP[] = {{1, "Prone"}, {2, "Supine"}, {3, "Left Lateral Decubitus"}, {4, "Right Lateral Decubitus"}};
constexpr TextCode kGroupType[] = {{2, "Scout"}, {3, "Standard"}, {4, "Dynamic"}, {5, "Arr"}};
constexpr TextCode kFileType[] = {{1, "Prospective"}, {2, "Scout"}, {3, "Retrospective"},
                                  {4, "Segmented"},   {5, "Screen Save"}, {6, "Plot"}};
constexpr TextCode kScoutOrient[] = {{0, "AP"}, {1, "Lateral"}};

void Format_Error(const ReadContext& ctx, const char* text) { Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s\xF0", text); }

// A real that can reach the record: Data General singles cannot be NaN, but
// their range is far beyond a float's.
bool Finite_Float(double v) { return std::isfinite(v) && std::fabs(v) <= 3.0e38; }

struct Directory {
  static constexpr const char* kName[6] = {"global", "exam", "ima head", "ima head2", "ima map", "ima data"};
  uint16_t pointer[6] = {};
  uint64_t offset[6] = {};
  uint64_t size[6] = {};
};

// A stated position: (p div 2) x 4; 0 names the block's usual place.
uint64_t Block_Offset(uint16_t p, int k, bool arr) {
  if (p != 0) return uint64_t{p} / 2 * 4;
  static constexpr uint64_t kDefault[6] = {0, 512, 1024, 1536, 2048, 3072};
  if (arr && k == 4) return 4608;
  if (arr && k == 5) return 5632;
  return kDefault[k];
}

// Reads the start of block k, checked against the file first.
bool Read_Block(const ReadContext& ctx, const ByteSource& src, const Directory& d, int k, std::vector<uint8_t>& out) {
  const uint64_t n = std::min<uint64_t>(d.size[k], kBlockRead);
  if (!src.Contains(d.offset[k], n)) {
    Log_Print(ctx, 2,
              "\xF1\x04" "ERROR:\x01 GE CT 9800 directory: entry %d (%s) at %llu, %llu bytes, lies past the end of "
              "the file (%llu bytes) (%s)\xF0",
              k, Directory::kName[k], static_cast<unsigned long long>(d.offset[k]), static_cast<unsigned long long>(n),
              static_cast<unsigned long long>(src.size()), src.name().c_str());
    return false;
  }
  try {
    out.assign(n, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buf", static_cast<long long>(n), 1);
    return false;
  }
  return KEMA_READ(ctx, src, d.offset[k], out.data(), n) != 0;
}

}  // namespace

int GE_CT9800_Read_Global_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader&) {
  Log_Print(ctx, 9, "in GE_CT9800_Read_Global_Header()");
  const Block b(block);
  Text_Title(ctx, "------ ------ GE CT 9800 Global header ------ ------");
  Text_Field_Str(ctx, "File Name:", b.Chars(32, 14), 14);
  return 1;
}

int GE_CT9800_Read_Exam_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_CT9800_Read_Exam_Header()");
  const Block b(block);
  Text_Title(ctx, "------ ------ GE CT 9800 Study header ------ ------");
  Text_Field_Int(ctx, "Study Number:", b.I16(6));
  Text_Field_Str(ctx, "Hospital:", b.Chars(94, 24), 24);
  Text_Field_Str(ctx, "Patient ID:", b.Chars(22, 12), 12);
  Text_Field_Str(ctx, "Patient Name:", b.Chars(34, 30), 30);
  ima.g1.study_num = b.U16(6);
  try {
    ima.g3.hospital_name = b.Text(94, 24);
    ima.g3.patient_ID = b.Text(22, 12);
    ima.g3.patient_name = b.Text(34, 30);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  return 1;
}

int GE_CT9800_Read_Image_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_CT9800_Read_Image_Header()");
  const Block b(block);
  auto& g1 = ima.g1;
  auto& g4 = ima.g4;
  const int16_t orient = b.I16(98), ap = b.I16(100), contrast = b.I16(108);
  const int16_t size = b.I16(246), map = b.I16(348), file_type = b.I16(434), scout = b.I16(470);
  const double tilt = b.DG(184), height = b.DG(188), table = b.DG(192);
  const double diam_x = b.DG(444), diam_y = b.DG(448), mag = b.DG(308), cx = b.DG(312), cy = b.DG(316);

  Text_Title(ctx, "------ ------ GE Ct 9800 Image header ------ ------");
  Text_Field_Int(ctx, "Position number:", b.I16(20));
  Text_Field_Code(ctx, "Group type:", b.I16(24), kGroupType);
  Text_Field_Int(ctx, "Group number:", b.I16(26));
  Text_Field_Int(ctx, "Scan number:", b.I16(92));
  Text_Field_Int(ctx, "Image number:", b.I16(94));
  Text_Field_Code(ctx, "Patient orient.:", orient, kOrient);
  Text_Field_Code(ctx, "AP orient.:", ap, kAP);
  Text_Field(ctx, "Contrast:", "%s", contrast ? "yes" : "no");
  Text_Field_Real(ctx, "Gantry Tilt:", tilt, "%.2f (deg)");
  Text_Field_Real(ctx, "Table height:", height, "%.2f (mm)");
  Text_Field_Real(ctx, "Table pos:", table, "%.2f (mm)");
  Text_Field_Int(ctx, "Image size:", size);
  Text_Field_Int(ctx, "Detectors/view:", b.I16(262));
  Text_Field_Int(ctx, "Views/scan:", b.I16(272));
  Text_Field_Real(ctx, "X recon. diam.:", diam_x, "%.2f (mm)");
  Text_Field_Real(ctx, "Y recon. diam.:", diam_y, "%.2f (mm)");
  Text_Field_Real(ctx, "magnification fact.:", mag);
  Text_Field_Real(ctx, "X Center:", cx, "%.2f (mm)");
  Text_Field_Real(ctx, "Y Center:", cy, "%.2f (mm)");
  Text_Field(ctx, "Image map used:", "%s", map & 1 ? "yes" : "no");
  Text_Field_Code(ctx, "File Type:", file_type, kFileType);
  Text_Field_Int(ctx, "Data Range:", b.I16(436));
  Text_Field_Code(ctx, "Scout Orient:", scout, kScoutOrient);
  Text_End(ctx);

  g1.series_num = b.U16(26);
  g1.image_num = b.U16(94);
  g1.label_mode = 0;
  ima.g3.patient_entry = orient == 1 ? 0x10 : orient == 2 ? 0x20 : 0;
  // The file counts prone first; the record counts supine first.
  static constexpr uint8_t kPosition[5] = {0, 2, 1, 3, 4};
  ima.g3.patient_position = ap >= 1 && ap <= 4 ? kPosition[ap] : 0;
  g4.contrast = contrast ? 1 : 0;
  ima.dim_x = ima.dim_y = size > 0 ? static_cast<uint16_t>(size) : 0;
  ima.g2.pix_plane = 1;
  ima.image_type = file_type == 2 ? (scout == 1 ? 6 : 7) : 1;

  // Reals outside a float's range leave their destination unset, and a
  // position with one of them is no position.
  if (Finite_Float(tilt)) g4.ct.gantry_tilt = static_cast<float>(tilt);
  if (Finite_Float(height)) g4.table_height = static_cast<float>(height);
  if (Finite_Float(diam_x) && Finite_Float(diam_y)) {
    g4.recon_diameter = static_cast<float>(diam_x);
    g1.fov[0] = static_cast<float>(diam_x);
    g1.fov[1] = static_cast<float>(diam_y);
  }
  if (Finite_Float(cx) && Finite_Float(cy) && Finite_Float(table)) {
    g1.position = {static_cast<float>(cx), static_cast<float>(cy), static_cast<float>(table), 0.0f};
  } else {
    Log_Print(ctx, 8, "--> image position out of range: left unset");
  }
  if (const double aperture = b.DG(176); Finite_Float(aperture) && aperture > 0)
    g1.pix_size[2] = static_cast<float>(aperture);
  if (const double pixel = b.DG(430); Finite_Float(pixel) && pixel > 0)
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(pixel);
  g4.ct.tube_voltage = b.I16(180);
  g4.ct.tube_current = b.I16(182);
  if (const int16_t window = b.I16(320); window > 0) {
    ima.g2.window = window;
    ima.g2.level = b.I16(322);
  }
  return 1;
}

int GE_CT9800_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_CT9800_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t dir_bytes[kDirectorySize];
  if (!KEMA_READ(ctx, *src, 0, dir_bytes, sizeof dir_bytes)) return 0;
  if (std::memcmp(dir_bytes, "9800", 4) != 0) {
    Format_Error(ctx, "Invalid Image: Misplaced key work \"9800\"");
    return 0;
  }
  const Block dir(dir_bytes);
  Directory d;
  for (int k = 0; k < 6; ++k) {
    d.pointer[k] = dir.U16(66 + 2 * k);
    d.size[k] = (uint64_t{dir.U16(78 + 2 * k)} + 1) * 512;
    d.offset[k] = Block_Offset(d.pointer[k], k, false);
  }

  ima.dim_z = ima.dim_t = 1;
  ima.modality = kModalityCT;
  ima.g2.compression = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_sign = 0;
  ima.g2.rescale_intercept = -1024.0f;
  // The samples are decoded here, in the machine's order: no byte-order
  // guess may swap a wide-ranged image.
  ima.flags |= kFlagNoCoherence;
  try {
    ima.g4.manufacturer = "GE";
    ima.g4.model = "CT 9800";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }

  std::vector<uint8_t> buf;
  // Image header 1 first: its group type places a map and data left at
  // their usual places.
  if (!Read_Block(ctx, *src, d, 2, buf)) return 0;
  const bool arr = Block(buf).I16(24) == 5;
  for (int k = 4; k < 6; ++k) d.offset[k] = Block_Offset(d.pointer[k], k, arr);
  static constexpr const char* kTrace[6] = {"global:    %06llx (%llu)", "exam:      %06llx (%llu)",
                                            "ima head:  %06llx (%llu)", "ima head2: %06llx (%llu)",
                                            "ima map:   %06llx (%llu)", "ima data:  %06llx (%llu)"};
  for (int k = 0; k < 6; ++k)
    Log_Print(ctx, 8, kTrace[k], static_cast<unsigned long long>(d.offset[k]), static_cast<unsigned long long>(d.size[k]));

  std::vector<uint8_t> global, exam;
  if (!Read_Block(ctx, *src, d, 0, global) || !Read_Block(ctx, *src, d, 1, exam)) return 0;
  if (!GE_CT9800_Read_Global_Header(ctx, global, ima)) return 0;
  if (!GE_CT9800_Read_Exam_Header(ctx, exam, ima)) return 0;
  if (!GE_CT9800_Read_Image_Header(ctx, buf, ima)) return 0;
  if (d.offset[5] > UINT32_MAX) {
    Format_Error(ctx, "GE CT 9800 image data lies past any file this reader can address");
    return 0;
  }
  ima.ima_offset = static_cast<uint32_t>(d.offset[5]);

  if (Block(buf).I16(348) & 1) {
    const size_t rows = ima.dim_y;
    const uint64_t bytes = uint64_t{rows} * 2;
    if (!src->Contains(d.offset[4], bytes)) {
      const uint64_t have = d.offset[4] < src->size() ? (src->size() - d.offset[4]) / 2 : 0;
      Log_Print(ctx, 2,
                "\xF1\x04" "ERROR:\x01 GE CT 9800 image map: row %llu lies past the end of the file (%llu vs %llu "
                "bytes) (%s)\xF0",
                static_cast<unsigned long long>(have), static_cast<unsigned long long>(d.offset[4] + bytes),
                static_cast<unsigned long long>(src->size()), src->name().c_str());
      return 0;
    }
    std::unique_ptr<CT9800Storage> ct9800;
    std::vector<uint8_t> raw;
    try {
      ct9800 = std::make_unique<CT9800Storage>();
      ct9800->line_size.resize(rows);
      raw.resize(bytes);
    } catch (const std::bad_alloc&) {
      Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "ct9800->line_size", static_cast<long long>(rows), 2);
      return 0;
    }
    if (bytes && !KEMA_READ(ctx, *src, d.offset[4], raw.data(), bytes)) return 0;
    for (size_t y = 0; y < rows; ++y) ct9800->line_size[y] = static_cast<uint16_t>(raw[2 * y] << 8 | raw[2 * y + 1]);
    ima.g2.storage = std::move(ct9800);
  }
  return 1;
}

int CT9800Storage::Copy_To(LogHandle log, ImageHeader& target) const {
  try {
    auto t = std::make_unique<CT9800Storage>();
    t->line_size = line_size;
    target.g2.storage = std::move(t);
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "ct9800->line_size", static_cast<long long>(line_size.size()), 2);
    return 0;
  }
  return 1;
}

// ---- pixels ----

namespace {

// One code at q, at least two bytes before the end: an absolute value
// (bit 7 clear, two bytes) or a difference (one byte, its low six bits and
// bit 6 the sign) onto `value`.
inline void CT9800_Code(const uint8_t*& q, uint32_t& value) {
  const uint32_t b = *q;
  if (b < 0x80) {
    value = b << 8 | q[1];
    q += 2;
  } else {
    value += b >= 0xC0 ? b - 256 : (b & 0x3F);
    q += 1;
  }
}

// The last bytes, fewer than two a sample: differences only, up to `count`
// samples into `out` (when not null); stops at an absolute value, which
// needs its second byte. The samples decoded.
inline size_t CT9800_Tail(const uint8_t*& q, const uint8_t* end, uint16_t* out, size_t count, uint32_t& value) {
  size_t i = 0;
  for (; i < count && q < end && *q >= 0x80; ++i) {
    const uint32_t b = *q++;
    value += b >= 0xC0 ? b - 256 : (b & 0x3F);
    if (out) out[i] = static_cast<uint16_t>(value);
  }
  return i;
}

}  // namespace

size_t GE_CT9800_Decode_Scalar(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v) {
  const uint8_t* q = p;
  uint32_t value = v;
  size_t i = 0;
  // While two bytes per sample remain no code can run past the end.
  for (;;) {
    const size_t safe = std::min(count - i, static_cast<size_t>(end - q) / 2);
    if (safe == 0) break;
    for (const size_t stop = i + safe; i < stop; ++i) {
      CT9800_Code(q, value);
      if (out) out[i] = static_cast<uint16_t>(value);
    }
  }
  i += CT9800_Tail(q, end, out ? out + i : nullptr, count - i, value);
  p = q;
  v = value;
  return i;
}

size_t GE_CT9800_Decode(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v) {
#if KEMA_DELTA7_SIMD
  if (!out) return GE_CT9800_Decode_Scalar(p, end, out, count, v);
  const uint8_t* q = p;
  uint32_t value = v;
  size_t i = 0;
  auto one = [&] {
    CT9800_Code(q, value);
    out[i++] = static_cast<uint16_t>(value);
  };
  for (;;) {
    const size_t safe = std::min(count - i, static_cast<size_t>(end - q) / 2);
    if (safe == 0) break;
    const size_t stop = i + safe;
    // Sixteen difference bytes (bit 7 set: their low seven bits are a
    // signed difference) at a time; an absolute value and the codes before
    // it go one by one. Room for two bytes a sample is room for these.
    while (stop - i >= 16) {
      const __m128i codes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const unsigned diffs = static_cast<unsigned>(_mm_movemask_epi8(codes));
      // The difference bytes before the first absolute value (all sixteen when none).
      const unsigned run = diffs == 0xFFFF ? 16 : static_cast<unsigned>(__builtin_ctz(~diffs));
      if (run >= 4) {
        __m128i lo, hi;
        Delta7_Sums(codes, lo, hi);
        const __m128i base = _mm_set1_epi16(static_cast<int16_t>(value));
        // Lanes past the run hold values the samples after it overwrite.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi16(lo, base));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_add_epi16(hi, base));
        if (run == 16) {
          value += static_cast<uint32_t>(int32_t{Delta7_Total(hi)});  // as the one-by-one sums would
          q += 16, i += 16;
          continue;
        }
        q += run, i += run;
        one();  // the absolute value that ends the run sets the running value afresh
        continue;
      }
      for (unsigned n = run + 1; n > 0; --n) one();
    }
    while (i < stop) one();
  }
  i += CT9800_Tail(q, end, out + i, count - i, value);
  p = q;
  v = value;
  return i;
#else
  return GE_CT9800_Decode_Scalar(p, end, out, count, v);
#endif
}

namespace {

// The fill value over n samples, eight at a time where the processor allows
// (the corners outside the map are a fifth of a round image).
void Fill_Samples(uint16_t* out, size_t n, uint16_t value) {
  size_t i = 0;
#if KEMA_DELTA7_SIMD
  for (const __m128i v = _mm_set1_epi16(static_cast<int16_t>(value)); i + 8 <= n; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
#endif
  for (; i < n; ++i) out[i] = value;
}

}  // namespace

int GE_CT9800_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_CT9800_Read_Image()");
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const size_t width = ima.dim_x, height = ima.dim_y;
  const uint64_t left = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
  Log_Print(ctx, 8, "--> compressed: %llu bytes image:%zux%zu", static_cast<unsigned long long>(left), width, height);
  if (width == 0 || height == 0 || left == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE CT 9800 image %zux%zu with %llu bytes of pixel data (%s)\xF0", width,
              height, static_cast<unsigned long long>(left), src->name().c_str());
    return 0;
  }
  const auto* ct9800 = dynamic_cast<const CT9800Storage*>(ima.g2.storage.get());
  if (ct9800 && ct9800->line_size.size() < height) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE CT 9800 image map holds %zu rows, the image has %zu\xF0",
              ct9800->line_size.size(), height);
    return 0;
  }
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{width} * height * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(width) * height, 2);
  if (!out) return 0;
  SourceBytes coded;
  if (!KEMA_VIEW(ctx, *src, ima.ima_offset, left, coded)) return 0;
  const uint8_t* bytes = coded.data;

  auto* data = reinterpret_cast<uint16_t*>(out.data());
  // Every sample is decoded or fill, save one column of a mapped row when
  // the width is odd: only then is the image cleared first.
  if (ct9800 && width % 2) std::memset(data, 0, out.size());
  const auto fill = static_cast<uint16_t>(ima.g2.pix_fill);
  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + left;
  RowRange range(ctx, kPixU16, out.data(), width * 2, fill);
  for (size_t y = 0; y < height; ++y) {
    uint16_t* row = data + y * width;
    uint32_t v = 0;  // each row starts afresh
    bool complete;
    if (ct9800) {
      const long long h = ct9800->line_size[y];
      const long long lead = static_cast<long long>(width / 2) - h;
      if (lead > 0) {
        Fill_Samples(row, static_cast<size_t>(lead), fill);
        Fill_Samples(row + width - lead, static_cast<size_t>(lead), fill);
      }
      // A run wider than the row is decoded whole, and only the row kept.
      const size_t skip = lead < 0 ? static_cast<size_t>(-lead) : 0;
      const size_t first = lead > 0 ? static_cast<size_t>(lead) : 0;
      const size_t run = static_cast<size_t>(2 * h);
      const size_t kept = std::min(run - skip, width - first);
      complete = GE_CT9800_Decode(p, end, nullptr, skip, v) == skip &&
                 GE_CT9800_Decode(p, end, row + first, kept, v) == kept &&
                 GE_CT9800_Decode(p, end, nullptr, run - skip - kept, v) == run - skip - kept;
    } else {
      complete = GE_CT9800_Decode(p, end, row, width, v) == width;
    }
    if (!complete) {
      // A file cut short shows the rows it holds; the rest is background.
      Log_Print(ctx, 8, "--> compressed data ends in row %zu of %zu", y, height);
      std::fill(row, data + height * width, fill);
      break;
    }
    range.Done(y + 1);
  }
  range.Finish(height);
  ima.data = std::move(out);
  return 1;
}
