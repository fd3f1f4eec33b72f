#include "Convert/formats/local_Imatron.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"

namespace {

// Words of block 0.
enum : size_t {
  kFileTable = 0, kFileEntries = 2, kFileData = 4, kSliceTable = 6, kSliceEntries = 8, kSlicePositions = 10,
  kFileDataBlocks = 20, kSliceDataBlocks = 26,
};
// A data area whose block count is not stated: what is read at most.
constexpr uint32_t kDefaultAreaBlocks = 16;
// Values listed per entry.
constexpr uint16_t kListMax = 8;

size_t Element_Size(char type) { return type == 'F' ? 4 : type == 'I' ? 2 : 1; }

void Format_Error(const ReadContext& ctx, const char* what, const std::string& file) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Imatron %s (%s)\xF0", what, file.c_str());
}

// The bytes of [offset, offset + n) clamped to the file; false after a
// failed read.
bool Read_Area(const ReadContext& ctx, const ByteSource& src, uint64_t offset, uint64_t n, std::vector<uint8_t>& out) {
  out.clear();
  if (offset >= src.size()) return true;
  n = std::min(n, src.size() - offset);
  try {
    out.resize(n);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "area", static_cast<long long>(n), 1);
    return false;
  }
  return n == 0 || KEMA_READ(ctx, src, offset, out.data(), n) != 0;
}

// Reads a table of `entries` entries at block `table` and its data area of
// `area_blocks` blocks at block `data`. Entries whose value does not lie in
// the data area are dropped with the size message.
bool Read_Table(const ReadContext& ctx, const ByteSource& src, uint32_t table, uint32_t entries, uint32_t data,
                uint32_t area_blocks, ImatronTable& out) {
  // The entries fill 42 to a block; the last block holds the rest.
  const uint64_t blocks = (uint64_t{entries} + kImatronEntriesPerBlock - 1) / kImatronEntriesPerBlock;
  const uint64_t need = entries == 0 ? 0
                                     : (blocks - 1) * kImatronBlock +
                                           uint64_t{(entries - 1) % kImatronEntriesPerBlock + 1} * kImatronEntrySize;
  const uint64_t start = uint64_t{table} * kImatronBlock;
  if (entries != 0 && (table == 0 || !src.Contains(start, need))) {
    Log_Print(ctx, 2,
              "\xF1\x04" "ERROR:\x01 Imatron entry table of %u entries at block %u lies past the end of the file "
              "(%llu bytes) (%s)\xF0",
              entries, table, static_cast<unsigned long long>(src.size()), src.name().c_str());
    return false;
  }
  std::vector<uint8_t> raw;
  if (!Read_Area(ctx, src, start, blocks * kImatronBlock, raw)) return false;
  if (!Read_Area(ctx, src, uint64_t{data} * kImatronBlock,
                 uint64_t{area_blocks ? area_blocks : kDefaultAreaBlocks} * kImatronBlock, out.data))
    return false;
  try {
    out.entries.reserve(entries);
    for (uint32_t j = 0; j < entries; ++j) {
      const size_t at = (j / kImatronEntriesPerBlock) * kImatronBlock + (j % kImatronEntriesPerBlock) * kImatronEntrySize;
      const FieldBlock e(std::span<const uint8_t>(raw).subspan(at, kImatronEntrySize), false);
      ImatronEntry entry{std::string(e.Chars(0, 7)), static_cast<char>(e.U8(7)), e.U16(8), e.U16(10)};
      // Word 1 is the area's first; an empty value must start inside it too.
      const bool placed = entry.word >= 1 && uint64_t{entry.word - 1u} * 2 <= out.data.size();
      const uint64_t room = placed ? out.data.size() - uint64_t{entry.word - 1u} * 2 : 0;
      const uint64_t size = uint64_t{entry.count} * Element_Size(entry.type);
      if (!placed || size > room) {
        Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Imatron entry \"%s\": size(=%d) > %d\xF0", entry.name.c_str(),
                  static_cast<int>(size), static_cast<int>(room));
        continue;
      }
      out.entries.push_back(std::move(entry));
    }
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "entries", entries, sizeof(ImatronEntry));
    return false;
  }
  return true;
}

const uint8_t* Value_At(const ImatronTable& t, const ImatronEntry& e) { return t.data.data() + (e.word - 1u) * 2u; }

double Element(const ImatronTable& t, const ImatronEntry& e, size_t k) {
  const uint8_t* p = Value_At(t, e) + k * Element_Size(e.type);
  if (e.type == 'F') return Order_VAX_F_To_Float(p);
  return static_cast<int16_t>(p[0] | p[1] << 8);
}

void List_Table(const ReadContext& ctx, const ImatronTable& t, const char* title) {
  Text_Title(ctx, title);
  for (const ImatronEntry& e : t.entries) {
    const std::string label = e.name + ":";
    if (e.type == 'B') {
      Text_Field_Str(ctx, label.c_str(),
                     std::string_view(reinterpret_cast<const char*>(Value_At(t, e)), e.count), e.count);
      continue;
    }
    if (e.type != 'I' && e.type != 'F') {
      Text_Field_Invalid(ctx, label.c_str(), e.type);
      continue;
    }
    std::string value;
    char piece[40];
    for (size_t k = 0; k < std::min(e.count, kListMax); ++k) {
      const double v = Element(t, e, k);
      std::snprintf(piece, sizeof piece, e.type == 'I' ? "%s%.0f" : "%s%.4g", k ? " " : "", v);
      value += piece;
    }
    if (e.count > kListMax) value += " ...";
    Text_Field(ctx, label.c_str(), "%s", value.c_str());
  }
}

}  // namespace

const ImatronEntry* ImatronTable::Find(std::string_view name) const {
  for (const ImatronEntry& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

std::string ImatronTable::Text(std::string_view name) const {
  const ImatronEntry* e = Find(name);
  if (!e || e->type != 'B') return {};
  std::string_view s(reinterpret_cast<const char*>(Value_At(*this, *e)), e->count);
  return FieldBlock::Field_Trim(s.substr(0, s.find('\0')));
}

bool ImatronTable::Number(std::string_view name, double& value) const {
  const ImatronEntry* e = Find(name);
  if (!e || e->count == 0 || (e->type != 'I' && e->type != 'F')) return false;
  const double v = Element(*this, *e, 0);
  if (!Field_Finite(v)) return false;
  value = v;
  return true;
}

int Imatron_Read_Header_2(const ReadContext& ctx, const ImatronTable& file, const ImatronTable& slice, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Imatron_Read_Header_2()");
  if (ctx.Text_Level()) {
    List_Table(ctx, file, "------ ------ Imatron File header ------ ------");
    List_Table(ctx, slice, "------ ------ Imatron Slice header ------ ------");
    Text_End(ctx);
  }
  auto& g1 = ima.g1;
  auto& g3 = ima.g3;
  auto& g4 = ima.g4;
  try {
    g3.patient_ID = file.Text("IPATID");
    g3.patient_name = file.Text("IPATNA");
    g1.study_comment = file.Text("ICMNTS");
    g3.hospital_name = file.Text("IHOSP");
    g3.physician_name = file.Text("IRPHYS");
    g3.radiologist_name = file.Text("IRADIO");
    g4.scan_protocol = file.Text("ISTUDY");
    g4.ct.filter = file.Text("KERNAM");
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (Field_Date_DMY(file.Text("IADATE"), y, mo, d)) {
    Field_Time_HMS(file.Text("IATIME"), h, mi, s);
    g1.study_time = g1.image_time = Field_Local_Seconds(y, mo, d, h, mi, s);
  }
  if (Field_Date_DMY(file.Text("IBDATE"), y, mo, d))
    g3.birth_date = {static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d)};
  double v;
  if (file.Number("PIXLEN", v) && v > 0 && v < 1000) g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(v);
  if (file.Number("ISTHCK", v) && v > 0) g1.pix_size[2] = static_cast<float>(v);
  if (slice.Number("HVACT", v)) g4.ct.tube_voltage = static_cast<float>(v);
  if (slice.Number("ICURNT", v)) g4.ct.tube_current = static_cast<float>(v);
  if (slice.Number("INOUT", v)) g4.table_pos = static_cast<float>(v / 10.0);
  if (slice.Number("IHITE", v)) g4.table_height = static_cast<float>(v);
  if (slice.Number("ITILT", v)) g4.ct.gantry_tilt = static_cast<float>(v);
  if (slice.Number("ISLEW", v)) g4.ct.gantry_swivel = static_cast<float>(v);
  if (slice.Number("IPATOR", v)) {
    // 1 supine, 2 prone, 3 decubitus right, 4 decubitus left; negative: feet first.
    static constexpr uint8_t kPosition[5] = {0, 1, 2, 4, 3};
    const int code = static_cast<int>(v);
    const int a = std::abs(code);
    g3.patient_position = a >= 1 && a <= 4 ? kPosition[a] : 0;
    g3.patient_entry = a >= 1 && a <= 4 ? (code > 0 ? 0x10 : 0x20) : 0;
  }
  g4.contrast = 2;

  double rows = 0, cols = 0, block = 0;
  slice.Number("NROWS", rows);
  slice.Number("NCOLS", cols);
  if (!slice.Number("ISDATP", block) || block < 1 || rows < 1 || cols < 1 || rows > 65535 || cols > 65535) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Imatron slice header gives no pixels (ISDATP %.0f, %.0fx%.0f)\xF0", block,
              cols, rows);
    return 0;
  }
  ima.dim_x = static_cast<uint16_t>(cols);
  ima.dim_y = static_cast<uint16_t>(rows);
  ima.ima_offset = static_cast<uint32_t>(block) * kImatronBlock;
  return 1;
}

int Imatron_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Imatron_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t head[kImatronBlock];
  if (!KEMA_READ(ctx, *src, 0, head, sizeof head)) return 0;
  const FieldBlock b(head, false);

  ima.dim_z = ima.dim_t = 1;
  ima.modality = kModalityCT;
  ima.image_type = 1;  // cross-sections only
  ima.g2.pix_store = 16;
  ima.g2.pix_swap = 0;
  ima.g2.pix_sign = 0;
  ima.g2.rescale_intercept = -1000.0f;
  try {
    ima.g4.manufacturer = "Imatron";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }

  ImatronTable file, slice;
  if (!Read_Table(ctx, *src, b.U16(kFileTable), b.U16(kFileEntries), b.U16(kFileData), b.U16(kFileDataBlocks), file))
    return 0;
  // The first slice's header data: the first word of the slice position table.
  const uint64_t positions = uint64_t{b.U16(kSlicePositions)} * kImatronBlock;
  uint8_t first[2];
  if (b.U16(kSlicePositions) == 0 || !src->Contains(positions, 2)) {
    Format_Error(ctx, "slice position table lies past the end of the file", src->name());
    return 0;
  }
  if (!KEMA_READ(ctx, *src, positions, first, 2)) return 0;
  const uint16_t slice_data = static_cast<uint16_t>(first[0] | first[1] << 8);
  Log_Print(ctx, 8, "--> file header: table %d (%d entries) data %d; slice header: table %d (%d entries) data %d",
            b.U16(kFileTable), b.U16(kFileEntries), b.U16(kFileData), b.U16(kSliceTable), b.U16(kSliceEntries),
            slice_data);
  if (!Read_Table(ctx, *src, b.U16(kSliceTable), b.U16(kSliceEntries), slice_data, b.U16(kSliceDataBlocks), slice))
    return 0;
  if (!Imatron_Read_Header_2(ctx, file, slice, ima)) return 0;
  if (ima.ima_offset >= src->size()) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Imatron pixel data at %u lies past the end of the file (%llu bytes) (%s)\xF0",
              ima.ima_offset, static_cast<unsigned long long>(src->size()), src->name().c_str());
    return 0;
  }
  return 1;
}

int Imatron_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Imatron_Read_Image()");
  return Scanner_Read_Rows(ctx, ima, "IMATRON", 0);
}
