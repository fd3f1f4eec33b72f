#include "Convert/formats/local_Medison.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr uint32_t kHeaderSize = 16384;
constexpr size_t kModeByte = 1488;
// The data mode: bit 7 Kartesian, else a data-mode switch in the low bits.
constexpr uint8_t kKartesian = 0x80;
constexpr TextCode kSwitch[] = {{0, "B-mode"}, {1, "CFM mode"}, {2, "Angio mode"}};

}  // namespace

int Medison_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Medison_Read_Header_2()");
  const FieldBlock b({block, size}, true);
  const uint8_t mode = b.U8(kModeByte);
  const uint16_t x = b.U16(1024), y = b.U16(1026), z = b.U16(1028);
  const uint32_t nm = b.U32(1032);
  const int dms = mode & 0x0F;
  if (!(mode & kKartesian) && !Text_Code_Name(kSwitch, dms)) Log_Print(ctx, 8, "--> bad DMS (0x%1x) in header", dms);

  Text_Title(ctx, "------ ------ Medison header ------ ------");
  Text_Field_Str(ctx, "Hospital:", b.Chars(0, 25), 25);
  Text_Field_Str(ctx, "Hospital:", b.Chars(25, 25), 25);
  Text_Field_Str(ctx, "Patient Name:", b.Chars(50, 52), 52);
  Text_Field_Str(ctx, "Patient Name:", b.Chars(102, 52), 52);
  if (mode & kKartesian) Text_Field(ctx, "Data mode:", "%s", "Kartesian mode");
  else Text_Field_Code(ctx, "Data mode:", dms, kSwitch);
  Text_Field_Int(ctx, "Matrix x:", x);
  Text_Field_Int(ctx, "Matrix y:", y);
  Text_Field_Int(ctx, "Matrix z:", z);
  Text_Field_UInt(ctx, "Pixel size:", nm, "%-u (nm)");
  Text_End(ctx);

  try {
    std::string hospital = b.Text(0, 25), second = b.Text(25, 25);
    if (!second.empty()) hospital += hospital.empty() ? second : " " + second;
    std::string name = b.Text(50, 52), name2 = b.Text(102, 52);
    if (!name2.empty()) name += name.empty() ? name2 : " " + name2;
    ima.g3.hospital_name = std::move(hospital);
    ima.g3.patient_name = std::move(name);
    ima.g4.manufacturer = "Medison";
    ima.g4.us.acq_mode = mode & kKartesian ? "Kartesian" : Text_Code_Name(kSwitch, dms) ? Text_Code_Name(kSwitch, dms) : "";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  if (!Set_Dimension(ctx, "MEDISON", "matrix x", x, ima.dim_x) || !Set_Dimension(ctx, "MEDISON", "matrix y", y, ima.dim_y))
    return 0;
  ima.dim_z = z ? z : 1;
  // Voxel size in nanometres; none, or past 100 mm, leaves the geometry unset.
  if (nm >= 1 && nm <= 100'000'000) {
    const float mm = static_cast<float>(nm) * 1e-6f;
    ima.g1.pix_dim = {mm, mm, mm};
    ima.g1.fov[0] = mm * ima.dim_x;
    ima.g1.fov[1] = mm * ima.dim_y;
  } else {
    Log_Print(ctx, 8, "--> voxel size out of range (%u nm): left unset", nm);
  }
  return 1;
}

int Medison_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Medison_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kHeaderSize]);
  if (!block) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "header", kHeaderSize, 1);
    return 0;
  }
  if (!KEMA_READ(ctx, *src, 0, block.get(), kHeaderSize)) return 0;
  ima.dim_z = ima.dim_t = 1;
  ima.ima_offset = kHeaderSize;
  ima.modality = kModalityUS;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 8;
  ima.g2.pix_bits = 8;
  ima.g2.pix_high = 7;
  ima.g2.pix_sign = 0;
  if (!Medison_Read_Header_2(ctx, block.get(), kHeaderSize, ima)) return 0;
  Log_Print(ctx, 8, "--> x: %d  y: %d  z: %d", ima.dim_x, ima.dim_y, ima.dim_z);
  return 1;
}

int Medison_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Medison_Read_Image()");
  return Scanner_Read_Rows(ctx, ima, "MEDISON", 0);
}
