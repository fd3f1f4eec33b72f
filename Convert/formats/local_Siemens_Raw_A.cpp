#include "Convert/formats/local_Siemens_Raw_A.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"

namespace {

using Fields = FieldBlock;

struct Vec3 {
  double x, y, z;
};
Vec3 Vector(const Fields& f, size_t off) { return {f.F64(off), f.F64(off + 8), f.F64(off + 16)}; }
bool Finite(const Vec3& v) { return Field_Finite(v.x) && Field_Finite(v.y) && Field_Finite(v.z); }

int Decimal(std::string_view s) {
  const std::string t(s);
  return static_cast<int>(std::strtol(t.c_str(), nullptr, 10));
}

// The value after a two-letter tag of an annotation line ("kV 120", "GT=-12.5").
bool Tagged_Value(std::string_view line, const char* tag, float& value) {
  if (line.substr(0, 2) != tag) return false;
  std::string rest(line.substr(2));
  size_t k = rest.find_first_not_of(" =:");
  if (k == std::string::npos) return false;
  char* end = nullptr;
  const double v = std::strtod(rest.c_str() + k, &end);
  if (end == rest.c_str() + k || !std::isfinite(v)) return false;
  value = static_cast<float>(v);
  return true;
}

void List_Vector(const ReadContext& ctx, const char* label, const Vec3& v) {
  Text_Field(ctx, label, "%.3f %.3f %.3f", v.x, v.y, v.z);
}

void List_Header(const ReadContext& ctx, const Fields& f) {
  Text_Title(ctx, "------ ------ SIEMENS VISION RAW ------ ------");
  Text_Field(ctx, "Image Date:", "%02d/%02d/%04d", f.I32(32), f.I32(28), f.I32(24));
  Text_Field(ctx, "Image Time:", "%02dh%02d:%02d", f.I32(68), f.I32(72), f.I32(76));
  Text_Field_Str(ctx, "Manufacturer:", f.Chars(96, 7), 7);
  Text_Field_Str(ctx, "Hospital Name:", f.Chars(105, 25), 25);
  Text_Field_Str(ctx, "Annotation:", f.Chars(186, 4), 4);
  Text_Field_Str(ctx, "Scanner Model:", f.Chars(281, 18), 18);
  Text_Field_Str(ctx, "Patient Name:", f.Chars(768, 25), 25);
  Text_Field_Str(ctx, "Patient ID:", f.Chars(795, 12), 12);
  Text_Field_Char(ctx, "Patient Sex:", static_cast<char>(f.U8(5517)));
  Text_Field(ctx, "Patient Birth:", "%02d/%02d/%04d", f.I32(816), f.I32(812), f.I32(808));
  Text_Field(ctx, "Patient Age:", "%s%c", std::string(f.Chars(851, 3)).c_str(), f.U8(854) ? f.U8(854) : ' ');
  Text_Field_Int(ctx, "Image matrix size:", f.I32(2864));
  Text_Field_Str(ctx, "Study num:", f.Chars(5943, 2), 2);
  Text_Field_Str(ctx, "Serie num:", f.Chars(5944, 1), 1);
  Text_Field_Str(ctx, "Slice num:", f.Chars(5546, 3), 3);
  Text_Field_Real(ctx, "Slice Origin x:", f.F64(3768));
  Text_Field_Real(ctx, "Slice Origin y:", f.F64(3776));
  Text_Field_Real(ctx, "Slice Origin z:", f.F64(3784));
  Text_Field_Real(ctx, "Field Of View x:", f.F64(3744));
  Text_Field_Real(ctx, "Field Of View y:", f.F64(3752));
  Text_Field_Real(ctx, "Pixel Dimention x:", f.F64(5000), "%.4f");
  Text_Field_Real(ctx, "Pixel Dimention y:", f.F64(5008), "%.4f");
  Text_Field_Real(ctx, "Slice Thicknes:", f.F64(1544));
  List_Vector(ctx, "Image Orient. horiz.:", Vector(f, 3832));
  List_Vector(ctx, "Image Orient. vert.:", Vector(f, 3856));
  List_Vector(ctx, "Image Normal:", Vector(f, 3792));
  static constexpr const char* kSet[6] = {"Orientation Set 1 top:",  "Orientation Set 1 left:",
                                          "Orientation Set 1 back:", "Orientation Set 2 down:",
                                          "Orientation Set 2 right:", "Orientation Set 2 front:"};
  for (int k = 0; k < 6; ++k) Text_Field_Str(ctx, kSet[k], f.Chars(3880 + 4 * k, 3), 3);
  Text_Field_Str(ctx, "Text Angle Flag 1:", f.Chars(5814, 3), 3);
  Text_Field_Real(ctx, "TR:", f.F64(1560), "%.2f (ms)");
  Text_Field_Real(ctx, "TE:", f.F64(1568), "%.2f (ms)");
  Text_Field_Int(ctx, "Echo Number:", f.I32(1604));
  Text_Field_Real(ctx, "Imagin Freq:", f.F64(1592), "%.6f (MHz)");
  Text_Field_Str(ctx, "Coil Type:", f.Chars(1767, 16), 16);
  Text_Field_Str(ctx, "Imaging Nucleus:", f.Chars(1828, 4), 4);
  Text_Field_Real(ctx, "Field Strength:", f.F64(2560), "%.2f (T)");
  Text_Field_Str(ctx, "Station:", f.Chars(1639, 5), 5);
  Text_Field_Str(ctx, "Receiving Coil:", f.Chars(1767, 16), 16);
  Text_Field_Real(ctx, "Flip Angle:", f.F64(2112));
  Text_Field_Str(ctx, "Sequence Prg Name:", f.Chars(2944, 65), 65);
  Text_Field_Str(ctx, "Sequence Wkc Name:", f.Chars(3009, 65), 65);
  Text_Field_Str(ctx, "Sequence Author:", f.Chars(3074, 9), 9);
  Text_Field_Str(ctx, "Sequence Type:", f.Chars(3083, 8), 8);
  Text_Field_Str(ctx, "Sequence Name:", f.Chars(3904, 32), 32);
}

// The annotation text area: items separated by NUL bytes, each listed with
// its place in the header; the items tagged "mA", "kV" and "GT" give the
// tube current, the voltage and the gantry tilt.
void Text_Area(const ReadContext& ctx, const Fields& f, ImageHeader& ima) {
  const bool list = ctx.Text_Level() != 0;
  if (list) Text_Title(ctx, " ----------------- text ------------------");
  size_t k = kVisionTextOffset;
  while (k < kVisionHeaderSize) {
    if (f.U8(k) == 0) {
      ++k;
      continue;
    }
    const size_t start = k;
    while (k < kVisionHeaderSize && f.U8(k) != 0) ++k;
    const std::string_view line(reinterpret_cast<const char*>(f.bytes().data() + start), k - start);
    if (list) Text_Line(ctx, "%04zx|\"%.*s\"", start, static_cast<int>(line.size()), line.data());
    Tagged_Value(line, "mA", ima.g4.ct.tube_current);
    Tagged_Value(line, "kV", ima.g4.ct.tube_voltage);
    Tagged_Value(line, "GT", ima.g4.ct.gantry_tilt);
  }
}

}  // namespace

int Siemens_Vision_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Siemens_Vision_Header()");
  if (block.size() < kVisionHeaderSize) return 0;
  const Fields f(block, true);
  auto& g1 = ima.g1;
  auto& g3 = ima.g3;
  auto& g4 = ima.g4;

  const int32_t matrix = f.I32(2864);
  if (matrix < 1 || matrix > 65535) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 SIEMENS VISION matrix size %d (1 to 65535)\xF0", matrix);
    return 0;
  }
  ima.dim_x = ima.dim_y = static_cast<uint16_t>(matrix);

  try {
    g4.model = f.Text(281, 18);
    g3.hospital_name = f.Text(105, 25);
    g3.patient_name = f.Text(768, 25);
    g3.patient_ID = f.Text(795, 12);
    g4.mr.receiving_coil = f.Text(1767, 16);
    g4.mr.imaging_nucleus = f.Text(1828, 4);
    g3.comments[0] = f.Text(5601, 32);
    g1.study_ID = f.Text(5943, 2);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.model");
    return 0;
  }
  ima.modality = g4.model.find("SOMATOM") != std::string::npos ? kModalityCT : kModalityMR;
  g1.image_num = static_cast<uint16_t>(Decimal(f.Chars(5546, 3)));
  g1.series_num = static_cast<uint16_t>(Decimal(f.Chars(5944, 1)));
  g3.patient_sex = static_cast<char>(f.U8(5517));
  g3.birth_date = {static_cast<uint16_t>(f.I32(808)), static_cast<uint16_t>(f.I32(812)),
                   static_cast<uint16_t>(f.I32(816))};
  const int age = Decimal(f.Chars(851, 3));
  switch (f.U8(854)) {
    case 'Y': g3.patient_age[0] = static_cast<uint16_t>(age); break;
    case 'M': g3.patient_age[1] = static_cast<uint16_t>(age); break;
    case 'D': g3.patient_age[2] = static_cast<uint16_t>(age); break;
    case 'W': g3.patient_age[2] = static_cast<uint16_t>(age * 7); break;
    default: break;
  }
  g1.study_time = Field_Local_Seconds(f.I32(0), f.I32(4), f.I32(8), f.I32(36), f.I32(40), f.I32(44));
  g1.acq_time = Field_Local_Seconds(f.I32(12), f.I32(16), f.I32(20), f.I32(52), f.I32(56), f.I32(60));
  g1.image_time = Field_Local_Seconds(f.I32(24), f.I32(28), f.I32(32), f.I32(68), f.I32(72), f.I32(76));

  Field_Set_Real(g4.mr.repetition_time, f.F64(1560));
  Field_Set_Real(g4.mr.echo_time, f.F64(1568));
  Field_Set_Real(g4.mr.imaging_frequency, f.F64(1592));
  Field_Set_Real(g4.mr.field_strength, f.F64(2560));
  if (const int32_t echo = f.I32(1604); echo > 0 && echo < 65536) g4.mr.echo_number = static_cast<uint16_t>(echo);
  Field_Set_Real(g1.pix_size[2], f.F64(1544));
  Field_Set_Real(g1.fov[0], f.F64(3744));
  Field_Set_Real(g1.fov[1], f.F64(3752));
  Field_Set_Real(g1.pix_dim[0], f.F64(5000));
  Field_Set_Real(g1.pix_dim[1], f.F64(5008));

  // The geometry is taken whole or not at all: one value a float cannot
  // hold (NaN, infinite, huge) would poison the overlay and the sort.
  const Vec3 origin = Vector(f, 3768), h = Vector(f, 3832), v = Vector(f, 3856), n = Vector(f, 3792);
  if (Finite(origin) && Finite(h) && Finite(v) && Finite(n)) {
    g1.position = {static_cast<float>(origin.x), static_cast<float>(origin.y), static_cast<float>(origin.z), 0.0f};
    g1.dir_h = {static_cast<float>(h.x), static_cast<float>(h.y), static_cast<float>(h.z), 0.0f};
    g1.dir_v = {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z), 0.0f};
    g1.dir_n = {static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z), 0.0f};
  } else {
    Log_Print(ctx, 8, "--> slice geometry out of range: left unset");
  }

  if (ctx.Text_Level()) List_Header(ctx, f);
  Text_Area(ctx, f, ima);
  Text_End(ctx);
  return 1;
}

int Siemens_Read_Block(const ReadContext& ctx, ImageHeader& ima, uint32_t size, bool big_endian,
                       std::unique_ptr<uint8_t[]>& block, uint32_t at) {
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  block.reset(new (std::nothrow) uint8_t[size]);
  if (!block) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buffer", size, 1);
    return 0;
  }
  if (!KEMA_READ(ctx, *src, at, block.get(), size)) return 0;
  try {
    ima.g4.manufacturer = "SIEMENS";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }
  ima.dim_z = ima.dim_t = 1;
  ima.ima_offset = at + size;
  ima.g2.pix_store = 16;
  ima.g2.pix_sign = 0;
  ima.g2.pix_swap = big_endian ? 1 : 0;
  return 1;
}

int Siemens_Vision_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Siemens_Vision_Read_Header()");
  std::unique_ptr<uint8_t[]> block;
  if (!Siemens_Read_Block(ctx, ima, kVisionHeaderSize, true, block)) return 0;
  if (!Siemens_Vision_Header(ctx, {block.get(), kVisionHeaderSize}, ima)) return 0;
  ima.flags |= kFlagRowsReversed;
  return 1;
}
