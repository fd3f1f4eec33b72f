#include "Convert/formats/local_Ge_Signa_3.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"

namespace {

// Each header is read as a 2048-byte block at its own place; the fields
// lie in its first 1024 bytes.
constexpr size_t kBlockRead = 2048;

enum : size_t {
  kStNumber = 64, kStDate = 78, kStTime = 94, kStName = 108, kStId = 140, kStAge = 156, kStSex = 160,
  kStWeight = 162, kStReferring = 166, kStRadiologist = 198, kStOperator = 230, kStDescription = 262,
  kStHospital = 446,
};
enum : size_t {
  kSeNumber = 62, kSeDescription = 104, kSePlane = 276, kSePlaneName = 278, kSeField = 296, kSeFov = 302,
  kSeOrient = 318, kSeEntry = 320,
};
enum : size_t {
  kImNumber = 88, kImLocation = 146, kImTable = 150, kImThickness = 154, kImSpacing = 158, kImTr = 164,
  kImTe = 172, kImTi = 176, kImEchoes = 196, kImEcho = 198, kImMatrixX = 274, kImMatrixY = 276, kImPixel = 278,
  kImCompressed = 282, kImBits = 284, kImWindow = 286, kImLevel = 288, kImFlip = 350, kImCorners = 418,
};

constexpr TextCode kPlane[] = {{0, "Axial"}, {1, "Sagittal"}, {2, "Coronal"}, {3, "Oblique"}, {4, "Screen Save"}};
constexpr TextCode kOrient[] = {{0, "Supine"}, {1, "Prone"}, {2, "Decubitus Left"}, {3, "Decubitus Right"}};
constexpr TextCode kEntry[] = {{0, "Head First"}, {1, "Feet First"}};

void List_Point(const ReadContext& ctx, const char* label, const FieldBlock& b, size_t off) {
  Text_Field(ctx, label, "%.2f %.2f %.2f", b.DG32(off), b.DG32(off + 4), b.DG32(off + 8));
}

std::array<double, 3> Point(const FieldBlock& b, size_t off) { return {b.DG32(off), b.DG32(off + 4), b.DG32(off + 8)}; }

bool Finite(const std::array<double, 3>& p) { return Field_Finite(p[0]) && Field_Finite(p[1]) && Field_Finite(p[2]); }

}  // namespace

int GE_SIGNA_3_Read_Header_Study(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_3_Read_Header_Study()");
  const FieldBlock b(block, true);
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Signa 3 Study header ------ ------");
    Text_Field_Str(ctx, "Study number:", b.Chars(kStNumber, 5), 5);
    Text_Field_Str(ctx, "Date of study:", b.Chars(kStDate, 9), 9);
    Text_Field_Str(ctx, "Time of study:", b.Chars(kStTime, 8), 8);
    Text_Field_Str(ctx, "Patient Name:", b.Chars(kStName, 32), 32);
    Text_Field_Str(ctx, "Patient ID:", b.Chars(kStId, 12), 12);
    Text_Field_Str(ctx, "Patient age:", b.Chars(kStAge, 4), 4);
    Text_Field_Char(ctx, "Patient sex:", static_cast<char>(b.U8(kStSex)));
    Text_Field_Int(ctx, "Patient weight:", b.I32(kStWeight), "%-d (g)");
    Text_Field_Str(ctx, "Referring physician:", b.Chars(kStReferring, 32), 32);
    Text_Field_Str(ctx, "Radiologist:", b.Chars(kStRadiologist, 32), 32);
    Text_Field_Str(ctx, "Operator:", b.Chars(kStOperator, 32), 32);
    Text_Field_Str(ctx, "Study description:", b.Chars(kStDescription, 60), 60);
    Text_Field_Str(ctx, "Hospital:", b.Chars(kStHospital, 32), 32);
  }
  auto& g3 = ima.g3;
  try {
    ima.g1.study_ID = b.Text(kStNumber, 5);
    g3.patient_name = b.Text(kStName, 32);
    g3.patient_ID = b.Text(kStId, 12);
    g3.physician_name = b.Text(kStReferring, 32);
    g3.radiologist_name = b.Text(kStRadiologist, 32);
    g3.hospital_name = b.Text(kStHospital, 32);
    ima.g1.study_comment = b.Text(kStDescription, 60);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  ima.g1.study_num = static_cast<uint16_t>(b.Decimal(kStNumber, 5));
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (Field_Date_DMY(b.Chars(kStDate, 9), y, mo, d)) {
    Field_Time_HMS(b.Chars(kStTime, 8), h, mi, s);
    ima.g1.study_time = Field_Local_Seconds(y, mo, d, h, mi, s);
  }
  // Age: a number of years, or a number and its unit letter.
  const std::string age = b.Text(kStAge, 4);
  const long n = b.Decimal(kStAge, 4);
  if (n > 0 && n < 1000) {
    const char unit = age.empty() ? 'y' : static_cast<char>(age.back() | 0x20);
    if (unit == 'm') g3.patient_age[1] = static_cast<uint16_t>(n);
    else if (unit == 'd') g3.patient_age[2] = static_cast<uint16_t>(n);
    else if (unit == 'w') g3.patient_age[2] = static_cast<uint16_t>(n * 7);
    else g3.patient_age[0] = static_cast<uint16_t>(n);
  }
  const char sex = static_cast<char>(b.U8(kStSex));
  if (sex == 'M' || sex == 'F') g3.patient_sex = sex;
  if (const int32_t grams = b.I32(kStWeight); grams > 0) g3.patient_weight = static_cast<float>(grams / 1000.0);
  return 1;
}

int GE_SIGNA_3_Read_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_3_Read_Header_Serie()");
  const FieldBlock b(block, true);
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Signa 3 Series header ------ ------");
    Text_Field_Str(ctx, "Series number:", b.Chars(kSeNumber, 3), 3);
    Text_Field_Str(ctx, "Series description:", b.Chars(kSeDescription, 120), 120);
    Text_Field_Code(ctx, "Plane type:", b.I16(kSePlane), kPlane);
    Text_Field_Str(ctx, "Plane name:", b.Chars(kSePlaneName, 16), 16);
    Text_Field_Int(ctx, "Field strength:", b.I16(kSeField), "%-d (gauss)");
    Text_Field_Real(ctx, "FOV:", b.DG32(kSeFov), "%.2f (mm)");
    Text_Field_Code(ctx, "Patient orient.:", b.I16(kSeOrient), kOrient);
    Text_Field_Code(ctx, "Patient position:", b.I16(kSeEntry), kEntry);
  }
  try {
    ima.g1.series_comment = b.Text(kSeDescription, 120);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g1.series_comment");
    return 0;
  }
  ima.g1.series_num = static_cast<uint16_t>(b.Decimal(kSeNumber, 3));
  const int16_t plane = b.I16(kSePlane);
  ima.image_type = plane >= 0 && plane <= 3 ? static_cast<uint16_t>(plane + 1) : 0;
  ima.g4.mr.field_strength = static_cast<float>(b.I16(kSeField) * 0.0001);
  if (const double fov = b.DG32(kSeFov); Field_Finite(fov) && fov > 0 && fov < 1e5)
    ima.g1.fov[0] = ima.g1.fov[1] = static_cast<float>(fov);
  const int16_t orient = b.I16(kSeOrient), entry = b.I16(kSeEntry);
  ima.g3.patient_position = orient >= 0 && orient <= 3 ? static_cast<uint8_t>(orient + 1) : 0;
  ima.g3.patient_entry = entry == 0 ? 0x10 : entry == 1 ? 0x20 : 0;
  return 1;
}

int GE_SIGNA_3_Read_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_3_Read_Header_Image()");
  const FieldBlock b(block, true);
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Signa 3 Image header ------ ------");
    Text_Field_Str(ctx, "Image number:", b.Chars(kImNumber, 3), 3);
    Text_Field_Real(ctx, "Slice location:", b.DG32(kImLocation), "%.2f (mm)");
    Text_Field_Real(ctx, "Table position:", b.DG32(kImTable), "%.2f (mm)");
    Text_Field_Real(ctx, "Slice thickness:", b.DG32(kImThickness), "%.2f (mm)");
    Text_Field_Real(ctx, "Slice spacing:", b.DG32(kImSpacing), "%.2f (mm)");
    Text_Field_Real(ctx, "Repetition time:", b.DG32(kImTr), "%.0f (usec)");
    Text_Field_Real(ctx, "Echo time:", b.DG32(kImTe), "%.0f (usec)");
    Text_Field_Real(ctx, "Inversion time:", b.DG32(kImTi), "%.0f (usec)");
    Text_Field_Int(ctx, "Number of echoes:", b.I16(kImEchoes));
    Text_Field_Int(ctx, "Echo number:", b.I16(kImEcho));
    Text_Field_Int(ctx, "Image dim x:", b.I16(kImMatrixX));
    Text_Field_Int(ctx, "Image dim y:", b.I16(kImMatrixY));
    Text_Field_Real(ctx, "Pixel size:", b.DG32(kImPixel), "%-10.5f (mm)");
    Text_Field_Int(ctx, "Compression:", b.I16(kImCompressed));
    Text_Field_Int(ctx, "Bits:", b.I16(kImBits));
    Text_Field_Int(ctx, "Window:", b.I16(kImWindow));
    Text_Field_Int(ctx, "Level:", b.I16(kImLevel));
    Text_Field_Int(ctx, "Flip angle:", b.I16(kImFlip));
    List_Point(ctx, "Top left corner:", b, kImCorners);
    List_Point(ctx, "Top right corner:", b, kImCorners + 12);
    List_Point(ctx, "Bottom left corner:", b, kImCorners + 24);
    Text_End(ctx);
  }
  auto& g1 = ima.g1;
  auto& mr = ima.g4.mr;
  g1.image_num = static_cast<uint16_t>(b.Decimal(kImNumber, 3));
  Field_Set_Real(ima.g4.slice_location, b.DG32(kImLocation));
  Field_Set_Real(ima.g4.table_pos, b.DG32(kImTable));
  const double thickness = b.DG32(kImThickness), spacing = b.DG32(kImSpacing);
  if (Field_Finite(thickness) && thickness > 0) {
    g1.pix_size[2] = static_cast<float>(thickness);
    if (Field_Finite(spacing) && spacing >= 0) g1.pix_dim[2] = static_cast<float>(spacing + thickness);
  }
  // Times are stored in microseconds.
  if (const double v = b.DG32(kImTr); Field_Finite(v)) mr.repetition_time = static_cast<float>(v * 0.001);
  if (const double v = b.DG32(kImTe); Field_Finite(v)) mr.echo_time = static_cast<float>(v * 0.001);
  if (const double v = b.DG32(kImTi); Field_Finite(v)) mr.inversion_time = static_cast<float>(v * 0.001);
  mr.echo_number = static_cast<uint16_t>(b.I16(kImEcho));
  const int16_t x = b.I16(kImMatrixX), y = b.I16(kImMatrixY);
  ima.dim_x = x > 0 ? static_cast<uint16_t>(x) : 256;
  ima.dim_y = y > 0 ? static_cast<uint16_t>(y) : 256;
  if (const double pixel = b.DG32(kImPixel); Field_Finite(pixel) && pixel > 0 && pixel < 1000)
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(pixel);
  // A compressed image is refused by the pixel pre-processing.
  if (const int16_t c = b.I16(kImCompressed); c != 0) ima.g2.compression = static_cast<int8_t>(std::clamp<int>(c, 1, 127));
  if (const int16_t window = b.I16(kImWindow); window > 0) {
    ima.g2.window = window;
    ima.g2.level = b.I16(kImLevel);
  }
  const auto tl = Point(b, kImCorners), tr = Point(b, kImCorners + 12), bl = Point(b, kImCorners + 24);
  Vec4 h, v;
  if (Finite(tl) && Finite(tr) && Finite(bl) && Field_Direction(tr[0] - tl[0], tr[1] - tl[1], tr[2] - tl[2], h) &&
      Field_Direction(bl[0] - tl[0], bl[1] - tl[1], bl[2] - tl[2], v)) {
    g1.position = {static_cast<float>(tl[0]), static_cast<float>(tl[1]), static_cast<float>(tl[2]), 0.0f};
    g1.dir_h = h;
    g1.dir_v = v;
    ima.flags |= kFlagDirValid;
  } else {
    Log_Print(ctx, 8, "--> image corners out of range: geometry left unset");
  }
  return 1;
}

int GE_SIGNA_3_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_SIGNA_3_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  std::vector<uint8_t> block;
  try {
    block.resize(kBlockRead);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buf", kBlockRead, 1);
    return 0;
  }
  ima.dim_z = ima.dim_t = 1;
  ima.modality = kModalityMR;
  ima.ima_offset = kSigna3Pixels;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_bits = 12;
  ima.g2.pix_high = 11;
  ima.g2.pix_sign = 0;
  try {
    ima.g4.manufacturer = "GE";
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.manufacturer");
    return 0;
  }
  using Decoder = int (*)(const ReadContext&, std::span<const uint8_t>, ImageHeader&);
  static constexpr struct {
    uint32_t offset;
    Decoder decode;
  } kBlocks[] = {{kSigna3Study, GE_SIGNA_3_Read_Header_Study},
                 {kSigna3Series, GE_SIGNA_3_Read_Header_Serie},
                 {kSigna3Image, GE_SIGNA_3_Read_Header_Image}};
  for (const auto& k : kBlocks) {
    if (!KEMA_READ(ctx, *src, k.offset, block.data(), block.size())) return 0;
    if (!k.decode(ctx, block, ima)) return 0;
  }
  Log_Print(ctx, 8, "--> x: %d y: %d offset: %u", ima.dim_x, ima.dim_y, ima.ima_offset);
  return 1;
}

int GE_SIGNA_3_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_SIGNA_3_Read_Image()");
  return Scanner_Read_Rows(ctx, ima, "GE SIGNA-3", 0);
}
