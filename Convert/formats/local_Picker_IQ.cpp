#include "Convert/formats/local_Picker_IQ.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"
#include "Convert/formats/text_header.h"

namespace {

// The text preamble; the record table follows it.
constexpr uint32_t kPreamble = 280;
// A record holds its name, value offset, length, two unknown words and the
// value type.
constexpr uint64_t kMinRecord = 18;
constexpr uint64_t kMaxRecord = 4096;

// The number after `key`, searched from `from` in the preamble; `at` is then
// the offset after the key. False when the key is not there.
bool Key_Number(std::string_view text, std::string_view key, size_t from, size_t& at, long long& value) {
  const size_t k = text.find(key, from);
  if (k == std::string_view::npos) return false;
  at = k + key.size();
  const size_t eol = text.find('\n', at);
  value = Parse_Int(text.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at));
  return true;
}

struct Table {
  long long size = 0, count = 0;
};

// "recsz:" then "nrecs:" on the line of the table's key: false after the
// ERROR line.
bool Table_Size(const ReadContext& ctx, std::string_view text, size_t from, Table& t, const char* file) {
  text = text.substr(0, text.find('\n', from));
  size_t at;
  if (!Key_Number(text, "recsz:", from, at, t.size)) {
    Text_Error(ctx, nullptr, "Unable to match \"recsz:\" in IQ/PQ header of image %s", file);
    return false;
  }
  if (!Key_Number(text, "nrecs:", at, at, t.count)) {
    Text_Error(ctx, nullptr, "Unable to match \"nrecs:\" in IQ/PQ header of image %s", file);
    return false;
  }
  return true;
}

long long Int_Value(std::string_view v, long long lo, long long hi, long long none) {
  v = Trim_View(v, " \t\r\n");
  if (v.empty() || !(std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '-' || v[0] == '+')) return none;
  const long long n = Parse_Int(v);
  return n >= lo && n <= hi ? n : none;
}

// One record's value, handed to the record.
void Store(std::string_view name, std::string_view value, ImageHeader& ima) {
  auto& g1 = ima.g1;
  auto& g3 = ima.g3;
  const std::string text = Field_Text(value);
  long long n;
  bool ok;
  if (name == "PATNAM") g3.patient_name = text;
  else if (name == "PATID") g3.patient_ID = text;
  else if (name == "SCNHOSP") g3.hospital_name = text;
  else if (name == "REFPHY") g3.physician_name = text;
  else if (name == "REFRAD") g3.radiologist_name = text;
  else if (name == "PATSEX") {
    if (!text.empty() && (text[0] == 'M' || text[0] == 'F')) g3.patient_sex = text[0];
  } else if (name == "PATAGYR") {
    if ((n = Int_Value(value, 0, 200, -1)) >= 0) g3.patient_age[0] = static_cast<uint16_t>(n);
  } else if (name == "STNUM") {
    if ((n = Int_Value(value, 0, 65535, -1)) >= 0) g1.study_num = static_cast<uint16_t>(n);
  } else if (name == "IMNUM") {
    if ((n = Int_Value(value, 0, 65535, -1)) >= 0) g1.image_num = static_cast<uint16_t>(n);
  } else if (name == "IMTYPE") {
    if (text.starts_with("PIL")) ima.image_type = 5;
    else if (text.starts_with("SLIC") || text.starts_with("SPIR")) ima.image_type = 1;
  } else if (name == "RCNFSIZ") {
    const double fov = Parse_Real(text, &ok);
    if (ok && Scanner_In_Range(fov, 1, 2000)) g1.fov[0] = g1.fov[1] = static_cast<float>(fov);
  } else if (name == "GTILT") {
    if ((n = Int_Value(value, -900, 900, 10000)) != 10000) ima.g4.ct.gantry_tilt = static_cast<float>(n) / 10;
  } else if (name == "COUCH") {
    if ((n = Int_Value(value, -10000000, 10000000, INT64_MIN)) != INT64_MIN)
      ima.g4.table_pos = static_cast<float>(n) / 100;
  } else if (name == "SCNKV") {
    if ((n = Int_Value(value, 0, 10000, -1)) >= 0) ima.g4.ct.tube_voltage = static_cast<float>(n);
  } else if (name == "SCNMA") {
    if ((n = Int_Value(value, 0, 100000, -1)) >= 0) ima.g4.ct.tube_current = static_cast<float>(n);
  }
}

}  // namespace

int Picker_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Picker_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const char* file = Text_Input_Name(ima);
  char pre[kPreamble];
  if (!KEMA_READ(ctx, *src, 0, pre, sizeof pre)) return 0;
  // The keys are searched in the preamble only, up to its first NUL.
  std::string_view text(pre, sizeof pre);
  text = text.substr(0, text.find('\0'));

  const size_t db = text.find("dbrec");
  if (db == std::string_view::npos) {
    Text_Error(ctx, nullptr, "Unable to find \"dbrec\" in IQ/PQ header of image %s", file);
    return 0;
  }
  Table records, values;
  if (!Table_Size(ctx, text, db, records, file)) return 0;
  const size_t rdb = text.find("rdb", db + 5);
  if (rdb == std::string_view::npos) {
    Text_Error(ctx, nullptr, "Unable to find \"rdb\" in IQ/PQ header of image %s", file);
    return 0;
  }
  if (!Table_Size(ctx, text, rdb, values, file)) return 0;
  // "D =data offset  A =actual": where the pixels are against where the
  // value area ends.
  long long d = 0, a = 0;
  size_t at;
  const bool has_d = Key_Number(text, "D =", rdb, at, d), has_a = Key_Number(text, "A =", rdb, at, a);
  if (!has_d || !has_a) d = a = 0;
  Log_Print(ctx, 8, "--> dbrec: recsz: %lld nrecs: %lld  rdb: recsz: %lld nrecs: %lld  D: %lld A: %lld", records.size,
            records.count, values.size, values.count, d, a);

  // Both tables and the pixel offset within the file.
  const uint64_t size = src->size();
  if (records.size < static_cast<long long>(kMinRecord) || records.size > static_cast<long long>(kMaxRecord) ||
      records.count < 0 || values.size < 0 || values.count < 0 ||
      uint64_t(records.size) * uint64_t(records.count) > size ||
      uint64_t(values.size) * uint64_t(values.count) > size ||
      !src->Contains(kPreamble, uint64_t(records.size) * uint64_t(records.count) +
                                     uint64_t(values.size) * uint64_t(values.count))) {
    Text_Error(ctx, nullptr,
               "IQ/PQ header of image %s: %lld records of %lld bytes and %lld values of %lld bytes do not fit in "
               "%llu bytes",
               file, records.count, records.size, values.count, values.size, static_cast<unsigned long long>(size));
    return 0;
  }
  const uint64_t table_bytes = uint64_t(records.size) * uint64_t(records.count);
  const uint64_t value_bytes = uint64_t(values.size) * uint64_t(values.count);
  const uint64_t value_end = kPreamble + table_bytes + value_bytes;
  const long long pixels = static_cast<long long>(value_end) + (d - a);
  if (d < 0 || a < 0 || d > static_cast<long long>(size) || a > static_cast<long long>(size) || pixels < 0 ||
      static_cast<uint64_t>(pixels) > size) {
    Text_Error(ctx, nullptr, "IQ/PQ header of image %s: pixel data at %lld lies outside the file (%llu bytes)", file,
               pixels, static_cast<unsigned long long>(size));
    return 0;
  }
  std::vector<uint8_t> table, area;
  try {
    table.resize(table_bytes);
    area.resize(value_bytes);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "records", records.count, records.size);
    return 0;
  }
  if (table_bytes && !KEMA_READ(ctx, *src, kPreamble, table.data(), table_bytes)) return 0;
  if (value_bytes && !KEMA_READ(ctx, *src, kPreamble + table_bytes, area.data(), value_bytes)) return 0;

  ima.dim_z = ima.dim_t = 1;
  ima.modality = kModalityCT;
  ima.ima_offset = static_cast<uint32_t>(pixels);
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_bits = 16;
  ima.g2.pix_high = 15;
  ima.g2.pix_sign = 1;
  ima.g2.compression = 1;

  Text_Title(ctx, "------ ------ Picker IQ/PQ header ------ ------");
  long long matrix = -1;
  try {
    ima.g4.manufacturer = "Picker";
    for (uint64_t k = 0; k < uint64_t(records.count); ++k) {
      const FieldBlock r({table.data() + k * records.size, static_cast<size_t>(records.size)}, true);
      const std::string name = r.Text(0, 8);
      const uint16_t off = r.U16(8), len = r.U16(10);
      if (name.empty()) continue;
      const std::string label = name + ":";
      if (uint64_t{off} + len > value_bytes) {
        Text_Field(ctx, label.c_str(), "(value at %u, %u bytes, outside the value area)", off, len);
        continue;
      }
      const std::string_view value(reinterpret_cast<const char*>(area.data()) + off, len);
      Text_Field_Str(ctx, label.c_str(), value, len);
      if (name == "RCNMTRX") matrix = Int_Value(value, 1, 8192, -1);
      Store(name, value, ima);
    }
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  Text_End(ctx);

  if (matrix < 1) {
    Text_Error(ctx, nullptr, "IQ/PQ header of image %s gives no matrix size (RCNMTRX)", file);
    return 0;
  }
  ima.dim_x = ima.dim_y = static_cast<uint16_t>(matrix);
  Log_Print(ctx, 8, "--> matrix: %lld  offset: %u", matrix, ima.ima_offset);
  if (ima.g1.fov[0] > 0) ima.g1.pix_dim[0] = ima.g1.pix_dim[1] = ima.g1.fov[0] / static_cast<float>(matrix);
  return 1;
}

int Picker_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Picker_Read_Image()");
  return Scanner_Read_Rows(ctx, ima, "IQ/PQ", static_cast<uint16_t>(ima.g2.pix_fill));
}
