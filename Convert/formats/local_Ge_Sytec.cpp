#include "Convert/formats/local_Ge_Sytec.h"

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/local_Ge_Signa_5.h"
#include "Convert/formats/scanner_fields.h"

namespace {

enum : size_t {
  kProduct = 7, kPatientName = 64, kPatientId = 88, kExam = 100, kSeries = 102, kImage = 104,
  kStudyDate = 112, kStudyTime = 122, kStudyText = 130, kSeriesDate = 170, kSeriesTime = 180, kSeriesText = 188,
  kImageDate = 228, kImageTime = 238, kImageText = 246, kScout = 286, kLateral = 288, kPlane = 290, kRecon = 292,
  kScanMode = 294, kSfov = 296, kColumns = 300, kRows = 302, kPixel = 304, kThickness = 308, kTable = 312,
  kTilt = 316, kKv = 320, kMa = 322, kWindow = 324, kLevel = 326, kEntry = 328, kPosition = 330,
};

constexpr TextCode kYesNo[] = {{0, "no"}, {1, "yes"}};
constexpr TextCode kLateralCodes[] = {{0, "AP"}, {1, "Lateral"}};
constexpr TextCode kEntryCodes[] = {{1, "Head First"}, {2, "Feet First"}};
constexpr TextCode kPositionCodes[] = {{1, "Supine"}, {2, "Prone"}, {3, "Decubitus Left"}, {4, "Decubitus Right"}};

constexpr size_t kDateWidth = 10, kTimeWidth = 8, kTextWidth = 40;

int32_t Date_Time(const FieldBlock& b, size_t date, size_t time) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (!Field_Date_YMD(b.Chars(date, kDateWidth), y, mo, d)) return 0;
  Field_Time_HMS(b.Chars(time, kTimeWidth), h, mi, s);
  return Field_Local_Seconds(y, mo, d, h, mi, s);
}

void List_Header(const ReadContext& ctx, const FieldBlock& b) {
  Text_Title(ctx, "------ ------ Header Sytec ------ ------");
  Text_Field_Str(ctx, "Product:", b.Chars(kProduct, 16), 16);
  Text_Field_Str(ctx, "Patient Name:", b.Chars(kPatientName, 24), 24);
  Text_Field_Str(ctx, "Patient ID:", b.Chars(kPatientId, 12), 12);
  Text_Field_Int(ctx, "Exam number:", b.U16(kExam));
  Text_Field_Int(ctx, "Series number:", b.U16(kSeries));
  Text_Field_Int(ctx, "Image number:", b.U16(kImage));
  Text_Field_Str(ctx, "Study date:", b.Chars(kStudyDate, kDateWidth), kDateWidth);
  Text_Field_Str(ctx, "Study time:", b.Chars(kStudyTime, kTimeWidth), kTimeWidth);
  Text_Field_Str(ctx, "Study description:", b.Chars(kStudyText, kTextWidth), kTextWidth);
  Text_Field_Str(ctx, "Series date:", b.Chars(kSeriesDate, kDateWidth), kDateWidth);
  Text_Field_Str(ctx, "Series time:", b.Chars(kSeriesTime, kTimeWidth), kTimeWidth);
  Text_Field_Str(ctx, "Series description:", b.Chars(kSeriesText, kTextWidth), kTextWidth);
  Text_Field_Str(ctx, "Image date:", b.Chars(kImageDate, kDateWidth), kDateWidth);
  Text_Field_Str(ctx, "Image time:", b.Chars(kImageTime, kTimeWidth), kTimeWidth);
  Text_Field_Str(ctx, "Image description:", b.Chars(kImageText, kTextWidth), kTextWidth);
  Text_Field_Code(ctx, "Scout:", b.U16(kScout), kYesNo);
  Text_Field_Code(ctx, "Scout orient.:", b.U16(kLateral), kLateralCodes);
  Text_Field_Code(ctx, "Plane Type:", b.U16(kPlane), kGE_Plane_Type, TextMiss::Unknow);
  Text_Field_Code(ctx, "Recon Algo:", b.U16(kRecon), kGE_Recon_Algo, TextMiss::Unknow);
  Text_Field_Code(ctx, "Scan Type:", b.U16(kScanMode), kGE_Scan_Mode, TextMiss::Unknow);
  Text_Field_Code(ctx, "Scan field of view:", b.U16(kSfov), kGE_Sfov_Type, TextMiss::Unknow);
  Text_Field_Code(ctx, "Patient Entry:", b.U16(kEntry), kEntryCodes);
  Text_Field_Code(ctx, "Patient Position:", b.U16(kPosition), kPositionCodes);
  Text_Field_Int(ctx, "Image dim x:", b.U16(kColumns));
  Text_Field_Int(ctx, "Image dim y:", b.U16(kRows));
  Text_Field_Real(ctx, "Pixel size:", b.F32(kPixel), "%-10.5f (mm)");
  Text_Field_Real(ctx, "Slice thickness:", b.F32(kThickness), "%.2f (mm)");
  Text_Field_Real(ctx, "Table position:", b.F32(kTable), "%.2f (mm)");
  Text_Field_Real(ctx, "Gantry Tilt:", b.F32(kTilt), "%.2f (deg)");
  Text_Field_Int(ctx, "Generator setting:", b.U16(kKv), "%-d (KVolt)");
  Text_Field_Int(ctx, "Generator setting:", b.U16(kMa), "%-d (MAmp)");
  Text_Field_Int(ctx, "Window Value:", b.I16(kWindow));
  Text_Field_Int(ctx, "Level Value:", b.I16(kLevel));
  Text_End(ctx);
}

// Plane type codes as the Genesis image header has them.
uint16_t Image_Type(uint16_t plane, bool scout, bool lateral) {
  if (scout || plane == 1) return lateral ? 6 : 7;
  switch (plane) {
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    case 16: case 18: case 20: case 24: return 4;
    default: return 0;
  }
}

}  // namespace

int GE_Sytec_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_Sytec_Read_Header_2()");
  const FieldBlock b(block, true);
  if (ctx.Text_Level()) List_Header(ctx, b);

  auto& g1 = ima.g1;
  auto& g4 = ima.g4;
  try {
    g4.manufacturer = "GE";
    g4.model = b.Text(kProduct, 16);
    ima.g3.patient_name = b.Text(kPatientName, 24);
    ima.g3.patient_ID = b.Text(kPatientId, 12);
    g1.study_comment = b.Text(kStudyText, kTextWidth);
    g1.series_comment = b.Text(kSeriesText, kTextWidth);
    g1.image_comment = b.Text(kImageText, kTextWidth);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  g1.study_num = b.U16(kExam);
  g1.series_num = b.U16(kSeries);
  g1.image_num = b.U16(kImage);
  g1.study_time = Date_Time(b, kStudyDate, kStudyTime);
  g1.series_time = Date_Time(b, kSeriesDate, kSeriesTime);
  g1.image_time = Date_Time(b, kImageDate, kImageTime);
  ima.image_type = Image_Type(b.U16(kPlane), b.U16(kScout) == 1, b.U16(kLateral) == 1);
  const uint16_t entry = b.U16(kEntry), position = b.U16(kPosition);
  ima.g3.patient_entry = entry == 1 ? 0x10 : entry == 2 ? 0x20 : 0;
  ima.g3.patient_position = position >= 1 && position <= 4 ? static_cast<uint8_t>(position) : 0;
  ima.dim_x = b.U16(kColumns);
  ima.dim_y = b.U16(kRows);
  if (const double pixel = b.F32(kPixel); Field_Finite(pixel) && pixel > 0 && pixel < 1000)
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(pixel);
  if (const double mm = b.F32(kThickness); Field_Finite(mm) && mm > 0) g1.pix_size[2] = static_cast<float>(mm);
  Field_Set_Real(g4.table_pos, b.F32(kTable));
  Field_Set_Real(g4.ct.gantry_tilt, b.F32(kTilt));
  g4.ct.tube_voltage = b.U16(kKv);
  g4.ct.tube_current = b.U16(kMa);
  if (const int16_t window = b.I16(kWindow); window > 0) {
    ima.g2.window = window;
    ima.g2.level = b.I16(kLevel);
  }
  return 1;
}

int GE_Sytec_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_Sytec_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  std::vector<uint8_t> block;
  try {
    block.resize(kSytecHeaderSize);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "buf", kSytecHeaderSize, 1);
    return 0;
  }
  if (!KEMA_READ(ctx, *src, 0, block.data(), block.size())) return 0;

  ima.dim_z = ima.dim_t = 1;
  ima.modality = kModalityCT;
  ima.ima_offset = kSytecHeaderSize;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_sign = 1;
  if (!GE_Sytec_Read_Header_2(ctx, block, ima)) return 0;

  // A matrix the pixel bytes cannot hold: a square image of the bytes
  // there are, when they make one.
  const uint64_t left = src->size() - kSytecHeaderSize;
  if (ima.dim_x == 0 || ima.dim_y == 0 || uint64_t{ima.dim_x} * ima.dim_y * 2 > left) {
    const auto side = static_cast<uint64_t>(std::llround(std::sqrt(static_cast<double>(left / 2))));
    if (side > 0 && side <= 65535 && side * side * 2 == left) {
      Log_Print(ctx, 6, "--> matrix %dx%d does not fit the %llu pixel bytes: %llux%llu", ima.dim_x, ima.dim_y,
                static_cast<unsigned long long>(left), static_cast<unsigned long long>(side),
                static_cast<unsigned long long>(side));
      ima.dim_x = ima.dim_y = static_cast<uint16_t>(side);
    }
  }
  Log_Print(ctx, 8, "--> x: %d y: %d offset: %u", ima.dim_x, ima.dim_y, ima.ima_offset);
  return 1;
}

int GE_Sytec_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_Sytec_Read_Image()");
  return Scanner_Read_Rows(ctx, ima, "GE SYTEC", 0);
}
