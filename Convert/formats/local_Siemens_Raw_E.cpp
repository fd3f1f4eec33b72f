#include "Convert/formats/local_Siemens_Raw_E.h"

#include <memory>
#include <new>

#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/local_Siemens_Raw_A.h"
#include "Convert/formats/scanner_fields.h"

namespace {

// Field offsets of the header.
enum : size_t {
  kHospital = 32,      // 32 chars
  kContrast = 64,      // 16 chars
  kStudyComment = 80,  // 64 chars
  kDate = 144,         // i32 YYYYMMDD
  kTime = 148,         // i32 HHMMSS
  kStudyID = 160,      // 32 chars
  kModel = 192,        // 32 chars
  kPatientName = 224,  // 32 chars
  kSeriesComment = 256,  // 64 chars
  kThickness = 320,    // f64 mm
  kTilt = 328,         // f64 degrees
  kSeries = 336,       // i32
  kImage = 340,        // i32
  kPosition = 344,     // f64 x 3
  kIncrement = 368,    // f64
  kVertical = 376,     // f64 x 3
  kTable = 400,        // f64 mm
  kFov = 408,          // f64 x 2
  kColumns = 424,      // i32
  kRows = 428,         // i32
  kOrientation = 432,  // 16 chars
  kAnatomical = 448,   // 32 chars
};

void List_Header(const ReadContext& ctx, const FieldBlock& f) {
  Text_Title(ctx, "------ ------ SIEMENS Somatom Plus 4 ------ ------");
  Text_Field_Str(ctx, "Hosital:", f.Chars(kHospital, 32), 32);
  Text_Field_Str(ctx, "Contrast ?:", f.Chars(kContrast, 16), 16);
  Text_Field_Str(ctx, "Study Comment:", f.Chars(kStudyComment, 64), 64);
  Text_Field_Int(ctx, "Date (YYYYMMDD):", f.I32(kDate));
  Text_Field(ctx, "Time (HHMMSS):", "%06d", f.I32(kTime));
  Text_Field_Str(ctx, "Patient Name:", f.Chars(kPatientName, 32), 32);
  Text_Field_Str(ctx, "Series Comment:", f.Chars(kSeriesComment, 64), 64);
  Text_Field_Real(ctx, "Slice Thickness:", f.F64(kThickness), "%.2f (mm)");
  Text_Field_Real(ctx, "Gantry Tilt:", f.F64(kTilt));
  Text_Field_Int(ctx, "series number:", f.I32(kSeries));
  Text_Field_Int(ctx, "image number:", f.I32(kImage));
  Text_Field_Real(ctx, "x pos:", f.F64(kPosition));
  Text_Field_Real(ctx, "y pos:", f.F64(kPosition + 8));
  Text_Field_Real(ctx, "z pos:", f.F64(kPosition + 16));
  Text_Field_Real(ctx, "inc?:", f.F64(kIncrement));
  Text_Field_Real(ctx, "vert. dir x:", f.F64(kVertical), "%.4f");
  Text_Field_Real(ctx, "vert. dir y:", f.F64(kVertical + 8), "%.4f");
  Text_Field_Real(ctx, "vert. dir z:", f.F64(kVertical + 16), "%.4f");
  Text_Field_Real(ctx, "Table pos:", f.F64(kTable));
  Text_Field_Real(ctx, "FOV Horiz:", f.F64(kFov));
  Text_Field_Real(ctx, "FOV Vert:", f.F64(kFov + 8));
  Text_Field_Int(ctx, "Nb colums:", f.I32(kColumns));
  Text_Field_Int(ctx, "Nb rows:", f.I32(kRows));
  Text_Field_Str(ctx, "Orientation:", f.Chars(kOrientation, 16), 16);
  Text_Field_Str(ctx, "Anatomical ref:", f.Chars(kAnatomical, 32), 32);
}

}  // namespace

int Siemens_SomatomPlus4_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Siemens_SomatomPlus4_Header()");
  if (block.size() < kSomatomPlus4HeaderSize) return 0;
  const FieldBlock f(block, true);
  auto& g1 = ima.g1;
  const int32_t columns = f.I32(kColumns), rows = f.I32(kRows);
  if (columns < 1 || columns > 65535 || rows < 1 || rows > 65535) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 SIEMENS PLUS 4 matrix %d x %d (1 to 65535)\xF0", columns, rows);
    return 0;
  }
  ima.dim_x = static_cast<uint16_t>(columns);
  ima.dim_y = static_cast<uint16_t>(rows);
  ima.modality = kModalityCT;
  try {
    g1.study_ID = f.Text(kStudyID, 32);
    ima.g4.model = f.Text(kModel, 32);
    ima.g3.patient_name = f.Text(kPatientName, 32);
    g1.study_comment = f.Text(kStudyComment, 64);
    g1.series_comment = f.Text(kSeriesComment, 64);
    ima.g4.anatomical_location = f.Text(kAnatomical, 32);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.model");
    return 0;
  }
  g1.series_num = static_cast<uint16_t>(f.I32(kSeries));
  g1.image_num = static_cast<uint16_t>(f.I32(kImage));
  const int32_t date = f.I32(kDate), time = f.I32(kTime);
  g1.image_time = time < 0 ? 0
                           : Field_Local_Seconds(date / 10000, date / 100 % 100, date % 100, time / 10000,
                                                   time / 100 % 100, time % 100);
  Field_Set_Real(g1.pix_size[2], f.F64(kThickness));
  Field_Set_Real(ima.g4.table_pos, f.F64(kTable));
  Field_Set_Real(ima.g4.ct.gantry_tilt, f.F64(kTilt));
  const double fov_x = f.F64(kFov), fov_y = f.F64(kFov + 8);
  if (Field_Finite(fov_x) && Field_Finite(fov_y) && fov_x > 0 && fov_y > 0) {
    g1.fov[0] = static_cast<float>(fov_x);
    g1.fov[1] = static_cast<float>(fov_y);
    g1.pix_dim[0] = static_cast<float>(fov_x / columns);
    g1.pix_dim[1] = static_cast<float>(fov_y / rows);
  }
  // The position is taken whole or not at all.
  const double x = f.F64(kPosition), y = f.F64(kPosition + 8), z = f.F64(kPosition + 16);
  if (Field_Finite(x) && Field_Finite(y) && Field_Finite(z))
    g1.position = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z), 0.0f};
  else
    Log_Print(ctx, 8, "--> slice position out of range: left unset");

  if (ctx.Text_Level()) List_Header(ctx, f);
  Text_End(ctx);
  return 1;
}

int Siemens_SomatomPlus4_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Siemens_SomatomPlus4_Read_Header()");
  std::unique_ptr<uint8_t[]> block;
  if (!Siemens_Read_Block(ctx, ima, kSomatomPlus4HeaderSize, true, block)) return 0;
  if (!Siemens_SomatomPlus4_Header(ctx, {block.get(), kSomatomPlus4HeaderSize}, ima)) return 0;
  ima.flags |= kFlagRowsReversed;
  return 1;
}
