#include "Convert/formats/local_Siemens_Raw_C.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/conv_report.h"
#include "Convert/formats/scanner_fields.h"
#include "Convert/formats/local_Siemens_Raw_A.h"

namespace {

constexpr size_t kData = 0x200;
constexpr size_t kText = 0xC00;

using Fields = FieldBlock;

}  // namespace

int32_t Siemens_Date_Seconds(std::string_view date, std::string_view time) {
  int year = 0, month = 0, day = 0;
  Siemens_Parse_Date(date, year, month, day);
  if (month < 1 || day < 1 || day > 31) return 0;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  const double hours = Siemens_Parse_Time(time);
  const long seconds = hours >= 0 && hours < 24.01 ? std::lround(hours * 3600) : 0;
  tm.tm_sec = static_cast<int>(seconds);
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) || t > INT32_MAX || t < INT32_MIN ? 0 : static_cast<int32_t>(t);
}

namespace {

// Scan types of the data block: an axial image or a topogram.
constexpr TextCode kScanType[] = {{1, "Axial"}, {2, "Topogram"}};

void Section(const ReadContext& ctx, const char* text) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "\x02 %s", text);
}

}  // namespace

void Siemens_Parse_Date(std::string_view text, int& year, int& month, int& day) {
  static constexpr const char* kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  year = month = day = 0;
  if (text.size() < 9) return;
  auto digits = [&](size_t at) {
    const char a = text[at], b = text[at + 1];
    return a >= '0' && a <= '9' && b >= '0' && b <= '9' ? (a - '0') * 10 + (b - '0') : -1;
  };
  day = digits(0);
  const int yy = digits(7);
  for (int m = 0; m < 12; ++m)
    if (text.substr(3, 3) == kMonths[m]) month = m + 1;
  if (day < 0 || yy < 0) {
    year = month = day = 0;
    return;
  }
  year = yy < 70 ? 2000 + yy : 1900 + yy;
}

double Siemens_Parse_Time(std::string_view text) {
  const std::string t(text);
  int hh = 0, mm = 0, ss = 0;
  if (std::sscanf(t.c_str(), "%d:%d:%d", &hh, &mm, &ss) < 1) return 0;
  return hh + (mm + ss / 60.0) / 60.0;
}

int Siemens_SomatomPlus_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Siemens_SomatomPlus_Header()");
  if (block.size() < kSomatomPlusHeaderSize) return 0;
  const Fields f(block, false);
  auto& g1 = ima.g1;
  auto& g4 = ima.g4;

  const int32_t matrix = f.I32(1328);
  if (matrix < 1 || matrix > 65535) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 SIEMENS PLUS image resolution %d (1 to 65535)\xF0", matrix);
    return 0;
  }
  ima.dim_x = ima.dim_y = static_cast<uint16_t>(matrix);
  ima.modality = kModalityCT;
  try {
    g4.model = f.Text(kText + 4, 24);
    ima.g3.hospital_name = f.Text(kText + 30, 30);
    ima.g3.patient_name = f.Text(kText + 96, 24);
    ima.g3.patient_ID = f.Text(kText + 120, 12);
    g1.study_comment = f.Text(kText + 273, 40);
    g1.image_comment = f.Text(0x640, 40);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.model");
    return 0;
  }
  ima.g3.patient_sex = static_cast<char>(f.U8(886));
  g4.ct.tube_voltage = static_cast<float>(f.I32(1072));
  g4.ct.exposure = static_cast<float>(f.I32(1080));
  g4.ct.tube_current = static_cast<float>(f.I32(1196));
  if (const double t = f.VAX32(1084); Field_Finite(t)) g4.scan_time = static_cast<float>(t);
  if (const int32_t thick = f.I32(1088); thick > 0) g1.pix_size[2] = static_cast<float>(thick);
  const double zoom = f.VAX32(1332);
  if (const double size = f.VAX32(624); Field_Finite(size) && Field_Finite(zoom) && size > 0 && zoom > 0)
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(size / zoom);
  const int32_t table = f.I32(1544);
  g4.table_pos = static_cast<float>(table);
  g1.position = {0.0f, 0.0f, static_cast<float>(table), 0.0f};
  g1.image_num = static_cast<uint16_t>(f.I32(1560));
  const int32_t scan = f.I32(1540);
  ima.image_type = scan == 2 ? 5 : scan == 1 ? 1 : 0;
  {
    char tilt[11] = {};
    std::memcpy(tilt, f.bytes().data() + kText + 195, 10);
    char* end = nullptr;
    const double v = std::strtod(tilt, &end);
    if (end != tilt && Field_Finite(v)) g4.ct.gantry_tilt = static_cast<float>(v);
  }
  g1.study_time = Siemens_Date_Seconds(f.Chars(520, 12), f.Chars(532, 12));
  g1.image_time = Siemens_Date_Seconds(f.Chars(1564, 12), f.Chars(1576, 12));

  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ SIEMENS RAW ------ ------");
    Section(ctx, "-------  Block at 0x0200 ---------");
    Text_Field_Str(ctx, "Version:", f.Chars(516, 4), 4);
    Text_Field_Str(ctx, "Study date:", f.Chars(520, 12), 12);
    Text_Field_Str(ctx, "Study time:", f.Chars(532, 12), 12);
    Text_Field_Char(ctx, "Sex:", static_cast<char>(f.U8(886)));
    Text_Field_Int(ctx, "Tube voltage:", f.I32(1072), "%-d kV");
    Text_Field_Int(ctx, "Exposure:", f.I32(1080), "%-d mAs");
    Text_Field_Real(ctx, "Exposure time:", f.VAX32(1084), "%.2f s");
    Text_Field_Int(ctx, "Slice thickness:", f.I32(1088), "%-d mm");
    Text_Field_Int(ctx, "Tube current:", f.I32(1196), "%-d mA");
    Text_Field_Int(ctx, "Image resolution:", matrix);
    Text_Field_Real(ctx, "Zoom:", zoom);
    Text_Field_Int(ctx, "Table position:", table, "%-d mm");
    Text_Field_Int(ctx, "Table start:", f.I32(1552), "%-d mm");
    Text_Field_Int(ctx, "Table stop:", f.I32(1556), "%-d mm");
    Text_Field_Code(ctx, "Scan type:", scan, kScanType);
    Text_Field_Str(ctx, "Image date:", f.Chars(1564, 12), 12);
    Text_Field_Str(ctx, "Image time:", f.Chars(1576, 12), 12);
    Text_Field_Str(ctx, "Image comment:", f.Chars(0x640, 40), 40);
    Section(ctx, "------- Text Block at 0x0C00 ---------");
    Text_Field_Str(ctx, "Model:", f.Chars(kText + 4, 24), 24);
    Text_Field_Str(ctx, "Version:", f.Chars(kText + 25, 5), 5);
    Text_Field_Str(ctx, "Hospital:", f.Chars(kText + 30, 30), 30);
    Text_Field_Str(ctx, "Time:", f.Chars(kText + 60, 8), 8);
    Text_Field_Str(ctx, "Scan type:", f.Chars(kText + 320, 12), 12);
    Text_Field_Str(ctx, "Table position:", f.Chars(kText + 86, 10), 10);
    Text_Field_Str(ctx, "Patient Name:", f.Chars(kText + 96, 24), 24);
    Text_Field_Str(ctx, "Patient ID:", f.Chars(kText + 120, 12), 12);
    Text_Field_Str(ctx, "Date:", f.Chars(kText + 133, 12), 12);
    Text_Field_Str(ctx, "TI=Exp Time", f.Chars(kText + 147, 10), 10);
    Text_Field_Str(ctx, "mAs=Dose", f.Chars(kText + 160, 9), 9);
    Text_Field_Str(ctx, "kV=Tube voltage", f.Chars(kText + 171, 10), 10);
    Text_Field_Str(ctx, "SL=Slice Thickness", f.Chars(kText + 183, 10), 10);
    Text_Field_Str(ctx, "ZO=Zoom", f.Chars(kText + 207, 10), 10);
    Text_Field(ctx, "CE=", "%.12s %.10s", std::string(f.Chars(kText + 219, 12)).c_str(),
               std::string(f.Chars(kText + 231, 10)).c_str());
    Text_Field_Str(ctx, "mA=Tube Current", f.Chars(kText + 243, 10), 10);
    Text_Field_Str(ctx, "left side", f.Chars(kText + 253, 10), 10);
    Text_Field_Str(ctx, "top side", f.Chars(kText + 263, 10), 10);
    Text_Field_Str(ctx, "Study Comment", f.Chars(kText + 273, 40), 40);
  }
  Text_End(ctx);
  return 1;
}

int Siemens_SomatomPlus_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Siemens_SomatomPlus_Read_Header()");
  std::unique_ptr<uint8_t[]> block;
  if (!Siemens_Read_Block(ctx, ima, kSomatomPlusHeaderSize, false, block)) return 0;
  ima.g2.rescale_intercept = -1000.0f;
  if (!Siemens_SomatomPlus_Header(ctx, {block.get(), kSomatomPlusHeaderSize}, ima)) return 0;
  ima.flags |= kFlagDirValid | kFlagRowsReversed;
  return 1;
}
