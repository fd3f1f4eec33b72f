#include "Convert/formats/local_Elscint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_lanes.h"
#include "Convert/conv_report.h"
#include "Convert/formats/delta7_simd.h"

namespace {

constexpr TextCode kSliceType[] = {
    {0, "rotational"},      {1, "surview"},
    {2, "surview planned"}, {3, "surview executed"},
    {4, "oblique"},         {5, "combine"},
    {6, "tlct"},            {7, "rtp"},
    {8, "multiformat"},     {9, "3D"},
    {10, "3D case"},        {11, "stereotaxis"},
    {51, "minisurview invisible"}, {52, "3D case tissue invisible"},
    {100, "raw rot"},       {101, "prep data rot"},
    {102, "filter data rot"}, {103, "back project. data rot"},
    {104, "raw surv."},     {105, "surview prep data"},
};

// Little-endian fields of the header block; the block is whole (1024 bytes).
struct Fields {
  std::span<const uint8_t> b;
  uint16_t U16(size_t off) const { return static_cast<uint16_t>(b[off] | b[off + 1] << 8); }
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  uint32_t U32(size_t off) const {
    return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
           static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
  }
  std::string_view Chars(size_t off, size_t width) const {
    return {reinterpret_cast<const char*>(b.data() + off), width};
  }
  // Up to the first NUL, blanks removed at both ends; empty: absent.
  std::string Text(size_t off, size_t width) const {
    std::string_view s = Chars(off, width);
    s = s.substr(0, s.find('\0'));
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
  }
};

// The patient lines of this block put the value right after the colour
// byte, without the blank of the usual field line.
void Patient_Line(const ReadContext& ctx, const char* label, const char* format, std::string_view value) {
  if (const int level = ctx.Text_Level()) {
    char text[128];
    const std::string v(value.substr(0, value.find('\0')));
    std::snprintf(text, sizeof text, format, v.c_str());
    Log_Print(ctx, level, "\x02%-24s\x01%s", label, text);
  }
}

void Error_Lines(const ReadContext& ctx, const char* first, const char* detail) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s\xF0", first);
  Log_Print(ctx, 2, "\xF1\x01\t\t %s", detail);
}

void List_Header(const ReadContext& ctx, const Fields& f, const ImageHeader& ima) {
  if (!ctx.Text_Level()) return;
  const bool axial = ima.image_type == 1;
  Text_Title(ctx, "------ ------ Elscint header ------ ------");
  const int8_t slice = static_cast<int8_t>(f.b[43]);
  if (const char* name = Text_Code_Name(kSliceType, slice)) Text_Field(ctx, "Slice type:", "%s", name);
  Patient_Line(ctx, "Patient Name:", "%20.20s", f.Chars(4, 20));
  Patient_Line(ctx, "Patient ID:", "%13.13s", f.Chars(24, 13));
  Patient_Line(ctx, "Patient Sex:", "%1.1s", f.Chars(162, 1));
  Text_Field_Str(ctx, "Doctor:", f.Chars(100, 20), 20);
  Text_Field_Str(ctx, "Comments:", f.Chars(120, 40), 40);
  const uint16_t bits = f.U16(348);
  Patient_Line(ctx, "Patient Position:", "%s", bits & 1 ? "Head First" : "Feet First");
  Patient_Line(ctx, "Patient Position:", "%s", bits & 2 ? "Supine" : "Prone");
  Text_Field_Int(ctx, "Study number:", f.U16(38));
  Text_Field_Int(ctx, "Image number:", f.U16(40));
  if (const uint32_t birth = f.U32(160)) Text_Field_Time(ctx, "Date of birth:", birth);
  Text_Field_Time(ctx, "Date of scan:", f.U32(180));
  Text_Field_Int(ctx, "Image resol x:", f.U16(370));
  Text_Field_Int(ctx, "Image resol y:", f.U16(372));
  Text_Field_Real(ctx, "Image x pix size:", f.U16(374) * 0.00390625, "%-.4g mm");
  Text_Field_Real(ctx, "Image y pix size:", f.U16(374) * 0.00390625, "%-.4g mm");
  Text_Field_Real(ctx, "Image thickness:", f.U16(200) * 0.1, "%-.2g mm");
  Text_Field_Real(ctx, axial ? "Bed Increment:" : "Pilot Lenght:", f.U16(216) * 0.1, "%-.2f mm");
  Text_Field_Int(ctx, "Current Zoom:", f.U16(390));
  Text_Field_Int(ctx, "Current X center:", f.I16(392));
  Text_Field_Int(ctx, "Current y center:", f.I16(394));
  Text_Field_Int(ctx, "Table position:", f.I16(192));
  Text_Field_Int(ctx, "left/right flag:", f.U16(378), "%04x");
  Text_Field_Int(ctx, "window Center:", f.U16(398));
  Text_Field_Int(ctx, "window Width:", f.U16(400));
  Text_Field_Str(ctx, "window Info:", f.Chars(402, 10), 10);
  Text_Field_Real(ctx, "Gantry Tilt:", f.I16(196) * 0.01, "%-.2f deg");
  Text_Field_Real(ctx, "Gantry Swivel:", f.I16(198) * 0.01, "%-.2f deg");
  Text_Field_Int(ctx, "Scan Circle:", f.U16(184), "%-d mm");
  Text_Field_Int(ctx, "Tube Voltage:", f.U16(218), "%-d kv");
  Text_Field_Int(ctx, "Tube Amp:", f.U16(220), "%-d mA");
  Text_Field_Int(ctx, "Exposure:", f.U16(222), "%-d mAs");
  Text_Field(ctx, "Filter:", "%2.2s", std::string(f.Chars(332, 2)).c_str());
}

// Year, month and day of a time in seconds since 1970, as local time.
bool Birth_Date(uint32_t seconds, std::array<uint16_t, 3>& date) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  date = {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
          static_cast<uint16_t>(tm.tm_mday)};
  return true;
}

}  // namespace

int Elscint_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Elscint_Read_Header_2()");
  if (block.size() < kElscintHeaderSize) return 0;
  const Fields f{block};
  auto& g1 = ima.g1;
  auto& g2 = ima.g2;
  auto& g3 = ima.g3;
  auto& g4 = ima.g4;
  try {
    g4.manufacturer = "Elscint";
    g3.patient_name = f.Text(4, 20);
    g3.patient_ID = f.Text(24, 13);
    g3.physician_name = f.Text(100, 20);
    g3.comments[0] = f.Text(120, 40);
    g4.ct.filter = f.Text(332, 2);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  ima.modality = kModalityCT;
  g2.pix_store = 16;
  g2.pix_bits = 12;
  g2.pix_high = 11;
  g2.pix_sign = 0;
  g2.pix_plane = 1;
  g2.rescale_intercept = -1000.0f;

  g1.study_num = f.U16(38);
  g1.image_num = f.U16(40);
  g1.series_num = 0;
  // Birth date (32 bits at 160) and sex (at 162) overlap as the layout
  // places them; both are read, as files differ in which one they hold.
  if (const uint32_t birth = f.U32(160)) Birth_Date(birth, g3.birth_date);
  g3.patient_sex = static_cast<char>(f.b[162]);
  g1.image_time = static_cast<int32_t>(f.U32(180));
  g4.ct.collection_diameter = f.U16(184);
  const float table = f.I16(192) * 0.1f;
  g4.table_pos = table;
  g4.table_height = f.U16(194) * 0.1f;
  g4.ct.gantry_tilt = f.I16(196) * 0.01f;
  g4.ct.gantry_swivel = f.I16(198) * 0.01f;
  g1.pix_size[2] = f.U16(200) * 0.1f;
  g1.pix_dim[2] = f.U16(216) * 0.1f;
  g4.ct.tube_voltage = f.U16(218);
  g4.ct.tube_current = f.U16(220);
  ima.image_type = f.U32(300) & 1 ? 1 : 5;
  g4.ct.exposure = ima.image_type == 1 ? f.U16(222) : f.U16(222) * 0.1f;
  g4.scan_time = f.U16(226) * 0.1f;
  const uint16_t position = f.U16(348);
  g3.patient_entry = position & 0x0001 ? 0x10 : 0x20;
  g3.patient_position = position & 0x0002 ? 1 : 2;
  g4.ct.rotation_direction = position & 0x1000 ? 1 : 2;
  ima.dim_x = f.U16(370);
  ima.dim_y = f.U16(372);
  const float pixel = f.U16(374) * 0.00390625f;
  g1.pix_dim[0] = g1.pix_dim[1] = g1.pix_size[0] = g1.pix_size[1] = pixel;
  g2.compression = static_cast<int8_t>(f.U16(376) & 0xFF);
  g2.level = f.U16(398) - 1000;
  g2.window = f.U16(400);

  List_Header(ctx, f, ima);

  // The stored position is the image centre, and the rows are turned end
  // for end. Only the directions are worked out here: the common
  // post-processing moves the position to the first pixel and turns the
  // rows, once, for the 0x10 and 0x20 flags.
  g1.position = {f.I16(392) * 0.01f, f.I16(394) * 0.01f, table, 0.0f};
  ima.flags |= kFlagPosCentre | kFlagRowsReversed;
  if (!Image_Orientation(ctx, ima)) return 0;
  ima.flags |= kFlagDirValid | kFlagNoCoherence;

  Text_End(ctx);
  return 1;
}

int Elscint_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Elscint_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t block[kElscintHeaderSize];
  if (!KEMA_READ(ctx, *src, 0, block, sizeof block)) return 0;
  ima.dim_z = ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  ima.ima_offset = kElscintDataOffset;
  if (!Elscint_Read_Header_2(ctx, block, ima)) return 0;
  Log_Print(ctx, 6, "c--> V: %.2f %.2f %.2f ", -ima.g1.dir_v[0], -ima.g1.dir_v[1], -ima.g1.dir_v[2]);
  return 1;
}

namespace {

// The bytes of the rows present, seen in place or read at once.
bool Read_Rows(const ReadContext& ctx, const ByteSource& src, const ElscintStorage& el, size_t present, uint64_t begin,
               SourceBytes& out) {
  uint64_t end = begin;
  for (size_t y = 0; y < present; ++y) end += 2ull * el.line_length[y];
  if (end == begin) return true;
  if (!src.Contains(begin, end - begin)) {
    Report_Short_Read(ctx, KEMA_SRC, __LINE__, 0, static_cast<long long>(end - begin), src.name().c_str());
    return false;
  }
  return KEMA_VIEW(ctx, src, begin, end - begin, out);
}

}  // namespace

// ---- line tables ----

int ElscintStorage::Copy_To(LogHandle log, ImageHeader& target) const {
  std::unique_ptr<ElscintStorage> el_target;
  try {
    el_target = std::make_unique<ElscintStorage>();
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "target->g2.storage", 1, sizeof(ElscintStorage));
    return 0;
  }
  el_target->table_tail = table_tail;
  el_target->spare = spare;
  el_target->rows_present = rows_present;
  const long long rows = static_cast<long long>(line_length.size());
  try {
    el_target->line_offset = line_offset;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "el_target->line_offset", rows, 4);
    return 0;
  }
  try {
    el_target->line_length = line_length;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "el_target->line_length", rows, 2);
    return 0;
  }
  try {
    el_target->line_start = line_start;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "el_target->line_start", rows, 2);
    return 0;
  }
  try {
    el_target->line_stop = line_stop;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "el_target->line_stop", rows, 2);
    return 0;
  }
  target.g2.storage = std::move(el_target);
  return 1;
}

int Elscint_PreProc(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Elscint_PreProc()");
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const size_t rows = ima.dim_y;
  const char* file = src->name().c_str();
  // The table holds 1024 rows: a taller image has rows it cannot place.
  if (rows > kElscintTableSize / 2) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Elscint line-length table: row %zu lies past its %u entries (%s)\xF0",
              rows - 1, kElscintTableSize / 2, file);
    return 0;
  }
  uint8_t table[kElscintTableSize];
  if (!KEMA_READ(ctx, *src, kElscintTableOffset, table, sizeof table)) return 0;

  std::unique_ptr<ElscintStorage> elscint;
  try {
    elscint = std::make_unique<ElscintStorage>();
    elscint->line_offset.assign(rows, 0);
    elscint->line_length.assign(rows, 0);
    elscint->line_start.assign(rows, 0);
    elscint->line_stop.assign(rows, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "ima->g2.storage", static_cast<long long>(rows), 4);
    return 0;
  }
  std::memcpy(&elscint->table_tail, table + kElscintTableSize - 4, 4);  // kept as read (little-endian host)

  // Rows follow each other from the pixel offset. A row whose bytes are not
  // all in the file ends what can be decoded: the rows before it are
  // shown, the rest is fill (a transfer cut short).
  uint64_t offset = ima.ima_offset;
  size_t present = rows;
  for (size_t y = 0; y < rows; ++y) {
    const uint16_t n = static_cast<uint16_t>(table[2 * y] | table[2 * y + 1] << 8);
    elscint->line_length[y] = n;
    elscint->line_offset[y] = offset > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(offset);
    if (n != 0 && present == rows && !src->Contains(offset, 2ull * n)) {
      present = y;
      Log_Print(ctx, 8, "--> line-length table: row %zu (%u bytes at %llu) lies past the end of the file (%llu bytes)",
                y, 2u * n, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(src->size()));
    }
    offset += 2ull * n;
  }
  // The row heads, from the rows' bytes read at once.
  SourceBytes bytes;
  if (!Read_Rows(ctx, *src, *elscint, present, ima.ima_offset, bytes)) return 0;
  for (size_t y = 0, at = 0; y < present; ++y) {
    const size_t n = elscint->line_length[y];
    if (n == 0) continue;
    const uint8_t* head = bytes.data + at;
    const uint16_t x0 = static_cast<uint16_t>(head[0] | head[1] << 8);
    const uint16_t c = n >= 3 ? static_cast<uint16_t>(head[4] | head[5] << 8) : 0;
    elscint->line_start[y] = x0;
    elscint->line_stop[y] = static_cast<uint16_t>(x0 + c);
    at += 2 * n;
  }
  elscint->rows_present = static_cast<uint32_t>(present);
  // Read from a file, the rows are kept for the decoding that follows.
  if (bytes.held) elscint->row_bytes = std::move(bytes);
  ima.g2.storage = std::move(elscint);
  return 1;
}

// ---- pixels ----

namespace {

// The difference of the code whose bytes are b and (when b has bit 7 set)
// b2: seven bits signed (bit 6 the sign), or fifteen bits signed over both
// bytes; moves k past the code.
inline int Elscint_Diff(uint8_t b, uint8_t b2, size_t& k) {
  if (b & 0x80) {
    k += 2;
    return static_cast<int16_t>(static_cast<uint16_t>((b & 0x7F) << 8 | b2) << 1) >> 1;
  }
  k += 1;
  return ((b & 0x7F) ^ 0x40) - 0x40;
}

// One difference code at k of a stream of `size` bytes, read through `at`:
// the new sample after p, or -1 when the code runs past the stream.
template <typename At>
inline int Elscint_Step(At at, size_t size, size_t& k, uint16_t& p) {
  if (k >= size) return -1;
  const uint8_t b = at(k);
  int d = ((b & 0x7F) ^ 0x40) - 0x40;  // signed 7-bit
  if (b & 0x80) {
    if (++k >= size) return -1;
    d = static_cast<int16_t>(static_cast<uint16_t>((d & 0xFF) << 8 | at(k)));
  }
  ++k;
  const int16_t next = static_cast<int16_t>(static_cast<uint16_t>(p + d));
  if (next >= 0 && next <= 4096) p = static_cast<uint16_t>(next);
  return p;
}

// The end of a row, the same for every decoder: code i on (at byte k,
// column x, after the sample p) one by one, then the row's last value as it
// is stored. 1, or 0 when a code runs past the stream.
template <typename At>
int Elscint_Finish_Row(At at, std::span<const uint8_t> stored, uint16_t* row, size_t width, size_t x0, size_t c,
                       size_t i, size_t x, size_t k, uint16_t p) {
  const size_t size = stored.size();
  for (; i < c; ++i, ++x) {
    if (Elscint_Step(at, size, k, p) < 0) return 0;
    if (x < width) row[x] = p;
  }
  if (k > size) return 0;
  if (c != 0 && x0 + c < width) row[x0 + c] = static_cast<uint16_t>(stored[size - 2] | stored[size - 1] << 8);
  return 1;
}

}  // namespace

int Elscint_Decode_Row_Scalar(std::span<const uint8_t> stored, uint16_t* row, size_t width) {
  const size_t size = stored.size();  // 2n
  if (size < 8) return 0;              // no room for the row head and the last value
  const uint8_t* s = stored.data();
  const size_t x0 = static_cast<uint16_t>(s[0] | s[1] << 8);
  uint16_t p = static_cast<uint16_t>(s[2] | s[3] << 8);
  const size_t c = static_cast<uint16_t>(s[4] | s[5] << 8);
  // The difference stream is kept in 16-bit words whose bytes are
  // exchanged, up to the last value; a stream that runs on into the last
  // value reads it as it is.
  const size_t swapped_end = size - 2;
  auto at = [&](size_t k) { return k < swapped_end ? s[k ^ 1] : s[k]; };
  if (x0 < width) row[x0] = p;
  size_t k = 6;
  size_t x = x0 + 1;
  size_t i = 1;
  // While both bytes of a code lie in the exchanged words, no check is needed.
  for (; i < c && k + 1 < swapped_end; ++i, ++x) {
    const uint16_t next = static_cast<uint16_t>(p + Elscint_Diff(s[k ^ 1], s[(k + 1) ^ 1], k));
    if (next <= 4096) p = next;  // a negative step result is above 4096 here
    if (x < width) row[x] = p;
  }
  return Elscint_Finish_Row(at, stored, row, width, x0, c, i, x, k, p);
}

namespace {

// Sixteen one-byte codes at a time (SSE2), over the stream put back in
// reading order in `scratch`.
int Decode_Row_Narrow(std::span<const uint8_t> stored, uint16_t* row, size_t width, uint8_t* scratch) {
  const size_t size = stored.size();  // 2n
  if (size < 8) return 0;
  const uint8_t* s = stored.data();
  // The stream in reading order: the exchanged words put back, the last
  // value as it is (a stream that runs on into it reads it so).
  const size_t swapped_end = size - 2;
  std::memcpy(scratch, s, 6);
  size_t k = 6;
#if KEMA_DELTA7_SIMD
  for (; k + 16 <= swapped_end; k += 16) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(scratch + k), _mm_or_si128(_mm_slli_epi16(w, 8), _mm_srli_epi16(w, 8)));
  }
#endif
  for (; k < swapped_end; k += 2) scratch[k] = s[k + 1], scratch[k + 1] = s[k];
  scratch[size - 2] = s[size - 2], scratch[size - 1] = s[size - 1];
  const uint8_t* L = scratch;
  const auto in_order = [L](size_t k) { return L[k]; };

  const size_t x0 = static_cast<uint16_t>(s[0] | s[1] << 8);
  uint16_t p = static_cast<uint16_t>(s[2] | s[3] << 8);
  const size_t c = static_cast<uint16_t>(s[4] | s[5] << 8);
  if (x0 < width) row[x0] = p;
  k = 6;
  size_t x = x0 + 1;
  size_t i = 1;
#if KEMA_DELTA7_SIMD
  // Sixteen one-byte codes at a time while the row, the exchanged words and
  // the count leave room; an escape code, or a sum that leaves 0 to 4096
  // (where a sample repeats the one before), goes byte by byte.
  const __m128i top = _mm_set1_epi16(4096), zero = _mm_setzero_si128();
  while (i + 16 <= c && k + 16 <= swapped_end && x + 16 <= width) {
    const __m128i codes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(L + k));
    const unsigned escapes = static_cast<unsigned>(_mm_movemask_epi8(codes));
    // The one-byte codes before the first escape (all sixteen when none).
    const unsigned run = escapes ? static_cast<unsigned>(__builtin_ctz(escapes)) : 16;
    size_t bytewise = run == 16 ? 16 : run + 1;  // up to and with the escape
    if (run >= 4) {
      __m128i sums_lo, sums_hi;
      Delta7_Sums(codes, sums_lo, sums_hi);
      const __m128i base = _mm_set1_epi16(static_cast<int16_t>(p));
      const __m128i lo = _mm_add_epi16(sums_lo, base), hi = _mm_add_epi16(sums_hi, base);
      const __m128i out = _mm_packs_epi16(_mm_or_si128(_mm_cmpgt_epi16(lo, top), _mm_cmplt_epi16(lo, zero)),
                                          _mm_or_si128(_mm_cmpgt_epi16(hi, top), _mm_cmplt_epi16(hi, zero)));
      const unsigned used = run == 16 ? 0xFFFFu : (1u << run) - 1;
      if ((static_cast<unsigned>(_mm_movemask_epi8(out)) & used) == 0) {
        // Lanes past the run hold values the codes after it overwrite.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x + 8), hi);
        if (run == 16) {
          p = static_cast<uint16_t>(p + Delta7_Total(sums_hi));
          k += 16, x += 16, i += 16;
          continue;
        }
        p = row[x + run - 1];
        k += run, x += run, i += run;
        bytewise = 1;  // the escape
      }
    }
    // Where long codes are close together the next sixteen codes go one by
    // one rather than being looked at again.
    if (run < 4) bytewise = 16;
    if (k + 32 <= size) {
      for (const size_t stop = i + bytewise; i < stop; ++i, ++x) {  // no code can run past the row
        const uint16_t next = static_cast<uint16_t>(p + Elscint_Diff(L[k], L[k + 1], k));
        if (next <= 4096) p = next;  // a negative step result is above 4096 here
        row[x] = p;
      }
      continue;
    }
    for (const size_t stop = i + bytewise; i < stop; ++i, ++x) {
      if (Elscint_Step(in_order, size, k, p) < 0) return 0;
      row[x] = p;
    }
  }
#endif
  return Elscint_Finish_Row(in_order, stored, row, width, x0, c, i, x, k, p);
}

#if KEMA_DELTA7_WIDE
// The same thirty-two codes at a time, reading the exchanged words where
// they lie: the byte at k in reading order is s[k ^ 1], so the 32 bytes from
// k are taken byte by byte from two loads, one starting a byte before k and
// one a byte after, as k is odd or even. The loads may reach `readable`
// bytes past the row; only codes inside it are used.
KEMA_WIDE_FN int Decode_Row_Wide(std::span<const uint8_t> stored, uint16_t* row, size_t width, size_t readable) {
  const size_t size = stored.size();  // 2n
  if (size < 8) return 0;
  const uint8_t* s = stored.data();
  const size_t swapped_end = size - 2;
  const auto at = [s, swapped_end](size_t k) { return k < swapped_end ? s[k ^ 1] : s[k]; };
  const size_t x0 = static_cast<uint16_t>(s[0] | s[1] << 8);
  uint16_t p = static_cast<uint16_t>(s[2] | s[3] << 8);
  const size_t c = static_cast<uint16_t>(s[4] | s[5] << 8);
  if (x0 < width) row[x0] = p;
  size_t k = 6;
  size_t x = x0 + 1;
  size_t i = 1;
  const __m256i take_after[2] = {_mm256_set1_epi16(0x00FF), _mm256_set1_epi16(static_cast<int16_t>(0xFF00))};
  const __m256i top = _mm256_set1_epi16(4096), zero = _mm256_setzero_si256();
  const __m256i lane_lo = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i lane_hi = _mm256_add_epi16(lane_lo, _mm256_set1_epi16(16));
  __m256i strays = zero;
  // Each turn takes the one-byte codes up to the next long code, the count
  // or the end of the exchanged words (at most 32), then that long code.
  while (i < c && k < swapped_end && x + 32 <= width && k + 33 <= size + readable) {
    const size_t room = std::min({size_t{32}, c - i, swapped_end - k});
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k - 1));
    const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k + 1));
    const __m256i codes = _mm256_blendv_epi8(before, after, take_after[k & 1]);
    const unsigned stops = static_cast<unsigned>(_mm256_movemask_epi8(codes)) | (room < 32 ? ~0u << room : 0u);
    const unsigned run = stops ? static_cast<unsigned>(__builtin_ctz(stops)) : 32;
    if (run < 4 && i + 16 <= c && k + 34 <= swapped_end) {
      // Where long codes are close together the next sixteen codes go one
      // by one rather than being looked at again; all their bytes lie in
      // the exchanged words.
      for (const size_t stop = i + 16; i < stop; ++i, ++x) {
        const uint16_t next = static_cast<uint16_t>(p + Elscint_Diff(s[k ^ 1], s[(k + 1) ^ 1], k));
        if (next <= 4096) p = next;  // a negative step result is above 4096 here
        row[x] = p;
      }
      continue;
    }
    if (run > 0) {
      __m256i sums_lo, sums_hi;
      Delta7_Sums_32(codes, sums_lo, sums_hi);
      const __m256i base = _mm256_set1_epi16(static_cast<int16_t>(p));
      __m256i lo = _mm256_add_epi16(sums_lo, base), hi = _mm256_add_epi16(sums_hi, base);
      // A lane outside 0 to 4096 (a negative one is above it unsigned)
      // keeps a nonzero byte through the saturating steps.
      const __m256i over_lo = _mm256_subs_epu16(lo, top), over_hi = _mm256_subs_epu16(hi, top);
      if (run == 32) {
        // Whole turns are checked once, at the end of the row: a stream
        // written by a scanner never leaves the range.
        strays = _mm256_or_si256(strays, _mm256_or_si256(over_lo, over_hi));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x + 16), hi);
        p = static_cast<uint16_t>(p + Delta7_Total_32(sums_hi));
        k += 32, x += 32, i += 32;
        continue;
      }
      // Lanes past the run count only when one of all is outside.
      unsigned outside = 0;
      if (!_mm256_testz_si256(_mm256_or_si256(over_lo, over_hi), _mm256_or_si256(over_lo, over_hi))) {
        const __m256i over = _mm256_permute4x64_epi64(_mm256_packs_epi16(over_lo, over_hi), 0xD8);
        outside = ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(over, zero))) & ((1u << run) - 1);
      }
      if (outside) {
        // A sample repeats the one before where a sum leaves the range: these go one by one.
        for (const size_t stop = i + run; i < stop; ++i, ++x) {
          Elscint_Step(at, size, k, p);
          row[x] = p;
        }
      } else {
        if (i + 31 > c) {  // the columns past the row's codes keep what they hold
          const __m256i n = _mm256_set1_epi16(static_cast<int16_t>(run));
          auto* at_lo = reinterpret_cast<__m256i*>(row + x);
          auto* at_hi = reinterpret_cast<__m256i*>(row + x + 16);
          lo = _mm256_blendv_epi8(_mm256_loadu_si256(at_lo), lo, _mm256_cmpgt_epi16(n, lane_lo));
          hi = _mm256_blendv_epi8(_mm256_loadu_si256(at_hi), hi, _mm256_cmpgt_epi16(n, lane_hi));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x + 16), hi);
        p = static_cast<uint16_t>(p + Delta7_Head_Sum(codes, run));
        k += run, x += run, i += run;
      }
    }
    if (run < room) {  // the long code
      if (Elscint_Step(at, size, k, p) < 0) return 0;
      row[x] = p;
      ++i, ++x;
    }
  }
  // A whole turn left the range: a sample there repeats the one before,
  // which the one-code-at-a-time decoder knows how to do. (Whether a row
  // runs past its stream does not depend on the values.)
  if (!_mm256_testz_si256(strays, strays)) return Elscint_Decode_Row_Scalar(stored, row, width);
  return Elscint_Finish_Row(at, stored, row, width, x0, c, i, x, k, p);
}
#endif

}  // namespace

int Elscint_Decode_Row(std::span<const uint8_t> stored, uint16_t* row, size_t width, uint8_t* scratch,
                       size_t readable) {
#if KEMA_DELTA7_WIDE
  if (Lanes_Wide()) return Decode_Row_Wide(stored, row, width, readable);
#endif
  return Decode_Row_Narrow(stored, row, width, scratch);
}

int Elscint_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Elscint_Read_Image()");
  auto* elscint = dynamic_cast<ElscintStorage*>(ima.g2.storage.get());
  if (!elscint || elscint->line_length.size() < ima.dim_y) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Elscint image without its line tables\xF0");
    return 0;
  }
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const size_t width = ima.dim_x, height = ima.dim_y;
  if (width == 0 || height == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Elscint image of %zux%zu pixels (%s)\xF0", width, height,
              src->name().c_str());
    return 0;
  }
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{width} * height * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(width) * height, 2);
  if (!out) return 0;
  auto* data = reinterpret_cast<uint16_t*>(out.data());

  // The bytes of every row present: those the line tables were built from
  // when they were read for it, else read at once (or seen in place).
  const size_t present = std::min<size_t>(elscint->rows_present, height);
  SourceBytes rows = std::move(elscint->row_bytes);
  size_t longest = 0, total = 0;
  for (size_t y = 0; y < present; ++y) {
    longest = std::max<size_t>(longest, elscint->line_length[y]);
    total += 2 * size_t{elscint->line_length[y]};
  }
  if (rows.size != total && !Read_Rows(ctx, *src, *elscint, present, ima.ima_offset, rows)) return 0;
  const uint8_t* bytes = rows.data;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[2 * longest + 8]);
  if (!scratch) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buffer", static_cast<long long>(2 * longest + 8), 1);
    return 0;
  }

  // Columns outside a row's stored span, and empty rows, are zero.
  size_t at = 0;
  for (size_t y = 0; y < present; ++y) {
    const size_t n = elscint->line_length[y];
    uint16_t* row = data + y * width;
    if (n == 0) {
      std::fill_n(row, width, uint16_t{0});
      continue;
    }
    if (n >= 4) {
      const uint8_t* head = bytes + at;
      const size_t x0 = std::min<size_t>(head[0] | head[1] << 8, width);
      const size_t c = static_cast<uint16_t>(head[4] | head[5] << 8);
      const size_t stop = std::min(x0 + c + 1, width);
      std::fill(row, row + x0, uint16_t{0});
      std::fill(row + stop, row + width, uint16_t{0});
    }
    if (!Elscint_Decode_Row({bytes + at, 2 * n}, row, width, scratch.get(), rows.size - at - 2 * n)) {
      char detail[48];
      std::snprintf(detail, sizeof detail, "Bad line lenght, line %zu", y);
      Error_Lines(ctx, "in Elscint Compression !", detail);
      return 0;
    }
    at += 2 * n;
  }
  if (present < height) {
    Log_Print(ctx, 8, "--> compressed rows end after row %zu of %zu", present, height);
    std::fill(data + present * width, data + height * width, static_cast<uint16_t>(ima.g2.pix_fill));
  }
  ima.data = std::move(out);
  return 1;
}
