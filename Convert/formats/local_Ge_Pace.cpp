#include "Convert/formats/local_Ge_Pace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"

namespace {

constexpr size_t kHeaderRead = 2048;
// "!STD" may sit anywhere in the first 300 bytes; the image header follows
// the study header 512 bytes on.
constexpr size_t kStudySearch = 300;
constexpr size_t kImageAfterStudy = 512;

// Study header fields (from "!STD").
enum : size_t {
  kStModality = 6, kStMachine = 7, kStNumber = 10, kStDate = 16, kStTime = 26, kStPatientId = 38,
  kStPatientName = 54, kStAge = 80, kStWeight = 86, kStSex = 92, kStMaker = 96, kStModel = 120,
  kStHospital = 144, kStContrast = 188, kStDescription = 256,
};
// Image header fields (from "!IMG").
enum : size_t {
  kImBlocks = 4, kImModality = 6, kImSeries = 16, kImAcq = 18, kImNumber = 20, kImDate = 32, kImTime = 42,
  kImEntry = 64, kImOrient = 66, kImAnatomy = 68, kImPlane = 80, kImSlice = 84, kImFov = 108, kImThickness = 112,
  kImTable = 124, kImTableHeight = 192, kImTilt = 200, kImMa = 230, kImMas = 234, kImKvp = 240, kImTr = 266,
  kImTi = 272, kImTe = 277, kImField = 304, kImCentre = 348, kImCosines = 360, kImRecon = 386, kImColumns = 416,
  kImRows = 418, kImPixel = 420, kImLevel = 424, kImWindow = 426, kImPacked = 538, kImSeriesText = 576,
  kImImageText = 618,
};

constexpr TextCode kModality[] = {{1, "CT"}, {2, "MR"}};
constexpr TextCode kMachine[] = {{1, "CT8600"},   {2, "CT8800"}, {3, "CT9000"}, {4, "EMI"},
                                 {5, "ImageMax"}, {6, "Resona"}, {7, "Quantex"}};

void Format_Error(const ReadContext& ctx, const char* text) { Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s\xF0", text); }

int32_t Date_Time(const FieldBlock& b, size_t date, size_t time) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (!Field_Date_YMD(b.Chars(date, 10), y, mo, d)) return 0;
  Field_Time_HMS(b.Chars(time, 12), h, mi, s);
  return Field_Local_Seconds(y, mo, d, h, mi, s);
}

void List_Vector(const ReadContext& ctx, const char* label, const FieldBlock& b, size_t off) {
  Text_Field(ctx, label, "%.3f %.3f %.3f", b.F32(off), b.F32(off + 4), b.F32(off + 8));
}

void List_Study(const ReadContext& ctx, const FieldBlock& b) {
  Text_Title(ctx, "------ ------ GE PACE Study header ------ ------");
  Text_Field_Code(ctx, "Modality:", b.U8(kStModality), kModality);
  Text_Field_Code(ctx, "Machine:", b.U8(kStMachine), kMachine);
  Text_Field_Str(ctx, "Study number:", b.Chars(kStNumber, 5), 5);
  Text_Field_Str(ctx, "Study date:", b.Chars(kStDate, 10), 10);
  Text_Field_Str(ctx, "Study time:", b.Chars(kStTime, 12), 12);
  Text_Field_Str(ctx, "Patient ID:", b.Chars(kStPatientId, 12), 12);
  Text_Field_Str(ctx, "Patient Name:", b.Chars(kStPatientName, 12), 12);
  Text_Field_Str(ctx, "Patient age:", b.Chars(kStAge, 6), 6);
  Text_Field_Str(ctx, "Patient weight:", b.Chars(kStWeight, 5), 5);
  Text_Field_Str(ctx, "Patient sex:", b.Chars(kStSex, 2), 2);
  Text_Field_Str(ctx, "Manufacturer:", b.Chars(kStMaker, 24), 24);
  Text_Field_Str(ctx, "Model:", b.Chars(kStModel, 14), 14);
  Text_Field_Str(ctx, "Hospital:", b.Chars(kStHospital, 32), 32);
  Text_Field_Str(ctx, "Contrast:", b.Chars(kStContrast, 4), 4);
  Text_Field(ctx, "Study description:", "%s", "");
  for (size_t k = 0; k < 5; ++k) {
    const std::string_view line = b.Chars(kStDescription + 50 * k, 50);
    if (!line.empty()) Text_Line(ctx, "\t%-50.50s", std::string(line).c_str());
  }
}

void List_Image(const ReadContext& ctx, const FieldBlock& b, bool ct) {
  Text_Title(ctx, "------ ------ GE PACE Image header ------ ------");
  Text_Field_Int(ctx, "Image info blocks:", b.U16(kImBlocks));
  Text_Field_Code(ctx, "Modality:", b.U8(kImModality), kModality);
  Text_Field_Str(ctx, "Series number:", b.Chars(kImSeries, 2), 2);
  Text_Field_Str(ctx, "Acquisition number:", b.Chars(kImAcq, 2), 2);
  Text_Field_Str(ctx, "Image number:", b.Chars(kImNumber, 2), 2);
  Text_Field_Str(ctx, "Image date:", b.Chars(kImDate, 10), 10);
  Text_Field_Str(ctx, "Image time:", b.Chars(kImTime, 12), 12);
  Text_Field_Str(ctx, "Head/Feet first:", b.Chars(kImEntry, 2), 2);
  Text_Field_Str(ctx, "Patient orient.:", b.Chars(kImOrient, 2), 2);
  Text_Field_Str(ctx, "Anatomy:", b.Chars(kImAnatomy, 6), 6);
  Text_Field_Str(ctx, "Plane:", b.Chars(kImPlane, 4), 4);
  List_Vector(ctx, "Slice pos. (HF,AP,LR):", b, kImSlice);
  Text_Field_Str(ctx, "Scan FOV (cm):", b.Chars(kImFov, 4), 4);
  Text_Field_Str(ctx, "Slice thickness (mm):", b.Chars(kImThickness, 4), 4);
  Text_Field_Real(ctx, "Table position:", b.F32(kImTable), "%.2f (mm)");
  if (ct) {
    Text_Field_Real(ctx, "Table height:", b.F32(kImTableHeight), "%.2f (mm)");
    Text_Field_Str(ctx, "Gantry tilt:", b.Chars(kImTilt, 5), 5);
    Text_Field_Str(ctx, "mA:", b.Chars(kImMa, 3), 3);
    Text_Field_Str(ctx, "mAs:", b.Chars(kImMas, 5), 5);
    Text_Field_Str(ctx, "kVp:", b.Chars(kImKvp, 3), 3);
  } else {
    Text_Field_Str(ctx, "TR (ms):", b.Chars(kImTr, 5), 5);
    Text_Field_Str(ctx, "TI (ms):", b.Chars(kImTi, 5), 5);
    Text_Field_Str(ctx, "TE (ms):", b.Chars(kImTe, 5), 5);
    Text_Field_Str(ctx, "Field strength (T):", b.Chars(kImField, 4), 4);
  }
  List_Vector(ctx, "Image centre:", b, kImCentre);
  List_Vector(ctx, "Row direction:", b, kImCosines);
  List_Vector(ctx, "Column direction:", b, kImCosines + 12);
  Text_Field_Str(ctx, "Recon mode:", b.Chars(kImRecon, 6), 6);
  Text_Field_Int(ctx, "Columns:", b.U16(kImColumns));
  Text_Field_Int(ctx, "Rows:", b.U16(kImRows));
  Text_Field_Real(ctx, "Pixel size:", b.F32(kImPixel), "%.4f (mm)");
  Text_Field_Int(ctx, "Window centre:", b.I16(kImLevel));
  Text_Field_Int(ctx, "Window width:", b.I16(kImWindow));
  Text_Field_UInt(ctx, "Packed size:", b.U32(kImPacked));
  Text_Field_Str(ctx, "Series description:", b.Chars(kImSeriesText, 42), 42);
  Text_Field_Str(ctx, "Image description:", b.Chars(kImImageText, 25), 25);
  Text_End(ctx);
}

// The geometry only when every part of it is a real position and direction.
void Set_Geometry(const ReadContext& ctx, const FieldBlock& b, ImageHeader& ima) {
  auto& g1 = ima.g1;
  if (const double pixel = b.F32(kImPixel); Field_Finite(pixel) && pixel > 0 && pixel < 1000)
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(pixel);
  const double cx = b.F32(kImCentre), cy = b.F32(kImCentre + 4), cz = b.F32(kImCentre + 8);
  Vec4 h, v;
  if (Field_Finite(cx) && Field_Finite(cy) && Field_Finite(cz) &&
      Field_Direction(b.F32(kImCosines), b.F32(kImCosines + 4), b.F32(kImCosines + 8), h) &&
      Field_Direction(b.F32(kImCosines + 12), b.F32(kImCosines + 16), b.F32(kImCosines + 20), v)) {
    g1.position = {static_cast<float>(cx), static_cast<float>(cy), static_cast<float>(cz), 0.0f};
    g1.dir_h = h;
    g1.dir_v = v;
    ima.flags |= kFlagDirValid | kFlagPosCentre;
  } else {
    Log_Print(ctx, 8, "--> image position or directions out of range: left unset");
  }
}

}  // namespace

int GE_PACE_Read_Header_Study(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_PACE_Read_Header_Study()");
  const FieldBlock b(block, true);
  if (ctx.Text_Level()) List_Study(ctx, b);

  const uint8_t modality = b.U8(kStModality);
  if (b.Chars(kStModality, 2) == "DC") {
    Format_Error(ctx, "Unsupported Modality \"DC\" in PACE header");
    return 0;
  }
  if (modality != 1 && modality != 2) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Unsupported Modality (%02x) in PACE header\xF0", modality);
    return 0;
  }
  ima.modality = modality == 1 ? kModalityCT : kModalityMR;
  auto& g3 = ima.g3;
  try {
    ima.g1.study_ID = b.Text(kStNumber, 5);
    g3.patient_ID = b.Text(kStPatientId, 12);
    g3.patient_name = b.Text(kStPatientName, 12);
    g3.hospital_name = b.Text(kStHospital, 32);
    const std::string maker = b.Text(kStMaker, 24);
    ima.g4.manufacturer = maker.empty() ? "GE" : maker;
    ima.g4.model = b.Text(kStModel, 14);
    std::string comment;
    for (size_t k = 0; k < 5; ++k) {
      const std::string line = b.Text(kStDescription + 50 * k, 50);
      if (line.empty()) continue;
      if (!comment.empty()) comment += ' ';
      comment += line;
    }
    ima.g1.study_comment = comment;
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  ima.g1.study_num = static_cast<uint16_t>(b.Decimal(kStNumber, 5));
  ima.g1.study_time = Date_Time(b, kStDate, kStTime);
  // Age "yyy;mm".
  if (const long years = b.Decimal(kStAge, 3); years > 0 && years < 200) g3.patient_age[0] = static_cast<uint16_t>(years);
  if (const long months = b.Decimal(kStAge + 4, 2); months > 0 && months < 12)
    g3.patient_age[1] = static_cast<uint16_t>(months);
  if (double kg; b.Real(kStWeight, 5, kg) && kg > 0) g3.patient_weight = static_cast<float>(kg);
  const char sex = static_cast<char>(b.U8(kStSex));
  if (sex == 'M' || sex == 'F') g3.patient_sex = sex;
  const std::string_view contrast = b.Chars(kStContrast, 4);
  ima.g4.contrast = contrast.starts_with("+C") ? 1 : 0;
  return 1;
}

int GE_PACE_Read_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_PACE_Read_Header_Image()");
  const FieldBlock b(block, true);
  const bool ct = ima.modality == kModalityCT;
  if (ctx.Text_Level()) List_Image(ctx, b, ct);

  auto& g1 = ima.g1;
  auto& g4 = ima.g4;
  g1.series_num = static_cast<uint16_t>(b.Decimal(kImSeries, 2));
  // The post-processing exchanges these two for this format: the image
  // number ends in image_num.
  g1.acq_num = static_cast<uint16_t>(b.Decimal(kImNumber, 2));
  g1.image_num = static_cast<uint16_t>(b.Decimal(kImAcq, 2));
  g1.image_time = Date_Time(b, kImDate, kImTime);
  const std::string_view entry = b.Chars(kImEntry, 2), orient = b.Chars(kImOrient, 2), plane = b.Chars(kImPlane, 4);
  ima.g3.patient_entry = entry.starts_with("H") ? 0x10 : entry.starts_with("F") ? 0x20 : 0;
  ima.g3.patient_position = orient == "SP" ? 1 : orient == "PR" ? 2 : orient == "LL" ? 3 : orient == "RL" ? 4 : 0;
  ima.image_type = plane.starts_with("AX") ? 1 : plane.starts_with("SAG") ? 2 : plane.starts_with("COR") ? 3 : 0;
  try {
    g4.anatomical_location = b.Text(kImAnatomy, 6);
    g1.series_comment = b.Text(kImSeriesText, 42);
    g1.image_comment = b.Text(kImImageText, 25);
    if (ct) g4.ct.filter = b.Text(kImRecon, 6);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g1.series_comment");
    return 0;
  }
  if (double mm; b.Real(kImThickness, 4, mm) && mm > 0) g1.pix_size[2] = static_cast<float>(mm);
  Field_Set_Real(g4.table_pos, b.F32(kImTable));
  if (ct) {
    Field_Set_Real(g4.table_height, b.F32(kImTableHeight));
    double v;
    if (b.Real(kImTilt, 5, v)) g4.ct.gantry_tilt = static_cast<float>(v);
    if (b.Real(kImMa, 3, v)) g4.ct.tube_current = static_cast<float>(v);
    if (b.Real(kImMas, 5, v)) g4.ct.exposure = static_cast<float>(v);
    if (b.Real(kImKvp, 3, v)) g4.ct.tube_voltage = static_cast<float>(v);
  } else {
    double v;
    if (b.Real(kImTr, 5, v)) g4.mr.repetition_time = static_cast<float>(v);
    if (b.Real(kImTi, 5, v)) g4.mr.inversion_time = static_cast<float>(v);
    if (b.Real(kImTe, 5, v)) g4.mr.echo_time = static_cast<float>(v);
    if (b.Real(kImField, 4, v)) g4.mr.field_strength = static_cast<float>(v);
  }
  Set_Geometry(ctx, b, ima);
  ima.dim_x = b.U16(kImColumns);
  ima.dim_y = b.U16(kImRows);
  if (const int16_t window = b.I16(kImWindow); window > 0) {
    ima.g2.window = window;
    ima.g2.level = b.I16(kImLevel);
  }
  return 1;
}

int GE_PACE_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_PACE_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  // The header area, or the whole of a smaller file (a small image may
  // start inside it).
  uint8_t head[kHeaderRead] = {};
  const size_t got = static_cast<size_t>(std::min<uint64_t>(kHeaderRead, src->size()));
  if (!KEMA_READ(ctx, *src, 0, head, got)) return 0;
  const uint8_t* mark = static_cast<const uint8_t*>(memmem(head, std::min(got, kStudySearch), "!STD", 4));
  if (!mark) {
    Format_Error(ctx, "GE PACE study header (\"!STD\") not found in the first 300 bytes");
    return 0;
  }
  const size_t study = static_cast<size_t>(mark - head);
  const size_t image = study + kImageAfterStudy;
  Log_Print(ctx, 8, "--> study header: %zu image header: %zu", study, image);

  ima.dim_z = ima.dim_t = 1;
  ima.g2.pix_swap = 1;
  ima.g2.pix_store = 16;
  ima.g2.pix_sign = 1;
  ima.g2.compression = 1;
  // The samples are decoded here, in the machine's order.
  ima.flags |= kFlagNoCoherence;

  if (!GE_PACE_Read_Header_Study(ctx, std::span<const uint8_t>(head + study, std::min(got - study, kImageAfterStudy)), ima)) return 0;
  const std::span<const uint8_t> image_block(head + image, got > image ? got - image : 0);
  if (image_block.size() < 4 || std::memcmp(image_block.data(), "!IMG", 4) != 0) {
    Format_Error(ctx, "GE PACE image header (\"!IMG\") not found after the study header");
    return 0;
  }
  if (!GE_PACE_Read_Header_Image(ctx, image_block, ima)) return 0;

  const FieldBlock b(image_block, true);
  // The pixels follow the stated number of 1024-byte blocks of image information.
  const uint64_t blocks = std::max<uint16_t>(b.U16(kImBlocks), 1);
  const uint64_t offset = image + blocks * 1024;
  Log_Print(ctx, 8, "--> offset: %llu  x: %d  y: %d", static_cast<unsigned long long>(offset), ima.dim_x, ima.dim_y);
  if (offset >= src->size()) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE PACE pixel data at %llu lies past the end of the file (%llu bytes) (%s)\xF0",
              static_cast<unsigned long long>(offset), static_cast<unsigned long long>(src->size()), src->name().c_str());
    return 0;
  }
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE PACE image size %dx%d (%s)\xF0", ima.dim_x, ima.dim_y, src->name().c_str());
    return 0;
  }
  ima.ima_offset = static_cast<uint32_t>(offset);
  try {
    auto pace = std::make_unique<PaceStorage>();
    pace->packed_size = b.U32(kImPacked);
    ima.g2.storage = std::move(pace);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "pace", 1, sizeof(PaceStorage));
    return 0;
  }
  return 1;
}

int PaceStorage::Copy_To(LogHandle log, ImageHeader& target) const {
  try {
    auto t = std::make_unique<PaceStorage>();
    t->packed_size = packed_size;
    target.g2.storage = std::move(t);
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "pace", 1, sizeof(PaceStorage));
    return 0;
  }
  return 1;
}

// ---- pixels ----

PaceDecoded GE_PACE_Decode(const uint8_t* p, size_t n, int16_t* out, size_t count) {
  PaceDecoded r;
  if (n < 2 || count == 0) return r;
  uint16_t v = static_cast<uint16_t>(p[0] << 8 | p[1]);
  out[0] = static_cast<int16_t>(v);
  size_t i = 1, k = 2;
  bool difference = false;
  while (k < n) {
    const uint8_t b = p[k];
    if (b == 0x80) {
      difference = !difference;
      ++k;
      continue;
    }
    if (b == 0x81) {
      if (k + 1 >= n) break;  // the count is missing
      const size_t run = p[k + 1];
      k += 2;
      if (run > count - i) {
        std::fill(out + i, out + count, static_cast<int16_t>(v));
        i = count;
        r.overflow = true;
        break;
      }
      std::fill(out + i, out + i + run, static_cast<int16_t>(v));
      i += run;
      continue;
    }
    if (difference) {
      // The common case: a run of small differences.
      if (i == count) {
        r.overflow = true;
        break;
      }
      v = static_cast<uint16_t>(v + static_cast<int8_t>(b));
      out[i++] = static_cast<int16_t>(v);
      ++k;
      while (k < n && i < count) {
        const uint8_t c = p[k];
        if (c == 0x80 || c == 0x81) break;
        v = static_cast<uint16_t>(v + static_cast<int8_t>(c));
        out[i++] = static_cast<int16_t>(v);
        ++k;
      }
      continue;
    }
    if (k + 1 >= n) break;  // the low byte is missing
    if (i == count) {
      r.overflow = true;
      break;
    }
    v = static_cast<uint16_t>(b << 8 | p[k + 1]);
    out[i++] = static_cast<int16_t>(v);
    k += 2;
  }
  r.samples = i;
  return r;
}

int GE_PACE_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_PACE_Read_Image()");
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const size_t width = ima.dim_x, height = ima.dim_y, count = width * height;
  const uint64_t left = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
  const auto* pace = dynamic_cast<const PaceStorage*>(ima.g2.storage.get());
  const uint64_t stated = pace ? pace->packed_size : 0;
  // The coded block is what the header states; a file that holds less was
  // cut short and shows what it holds.
  const bool cut = stated > left;
  const uint64_t n = stated && !cut ? stated : left;
  Log_Print(ctx, 8, "--> compressed: %llu bytes (stated %llu) image:%zux%zu", static_cast<unsigned long long>(n),
            static_cast<unsigned long long>(stated), width, height);
  if (count == 0 || n < 2) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE PACE image %zux%zu with %llu bytes of pixel data (%s)\xF0", width,
              height, static_cast<unsigned long long>(n), src->name().c_str());
    return 0;
  }
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, uint64_t{count} * 2, ima.name.c_str(), "ima->data",
                                      static_cast<long long>(width) * height, 2);
  if (!out) return 0;
  SourceBytes coded;
  if (!KEMA_VIEW(ctx, *src, ima.ima_offset, n, coded)) return 0;
  const uint8_t* bytes = coded.data;

  auto* data = reinterpret_cast<int16_t*>(out.data());
  const PaceDecoded r = GE_PACE_Decode(bytes, n, data, count);
  if (r.overflow) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE PACE pixel data codes more than %zu samples (%s)\xF0", count,
              src->name().c_str());
    return 0;
  }
  if (r.samples < count) {
    if (!cut) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE PACE pixel data ends after %zu of %zu samples (%s)\xF0", r.samples,
                count, src->name().c_str());
      return 0;
    }
    Log_Print(ctx, 2, "\x04WARNING:\x02 GE PACE file cut short: %llu of %llu coded bytes, %zu of %zu samples (%s)",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(stated), r.samples, count,
              src->name().c_str());
    std::fill(data + r.samples, data + count, static_cast<int16_t>(ima.g2.pix_fill));
  }
  ima.data = std::move(out);
  return 1;
}
