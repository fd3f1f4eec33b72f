#include "Convert/formats/local_Interfile.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "Convert/conv_header_text.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kMaxLine = 256;
constexpr const char* kFormat = "Interfile";

enum class Key {
  Modality, System, Institution, Contact, Description, StartBlock, OffsetBytes, DataFile, PatientName,
  PatientId, PatientDob, PatientSex, StudyId, ExamType, Compression, Encode, Images, StudyDate, StudyTime,
  ByteOrder, MatrixX, MatrixY, NumberFormat, BytesPerPixel, ScaleX, ScaleY, Duration, Orientation, Rotation,
  Filter, SliceOrientation, Thickness, Separation, End,
};

// Keys as compared: in lower case.
struct KeyEntry {
  const char* key;
  Key id;
};
constexpr KeyEntry kKeys[] = {
    {"imaging modality", Key::Modality},
    {"originating system", Key::System},
    {"original institution", Key::Institution},
    {"contact person", Key::Contact},
    {"data description", Key::Description},
    {"data starting block", Key::StartBlock},
    {"data offset in bytes", Key::OffsetBytes},
    {"name of data file", Key::DataFile},
    {"patient name", Key::PatientName},
    {"patient id", Key::PatientId},
    {"patient dob", Key::PatientDob},
    {"patient sex", Key::PatientSex},
    {"study id", Key::StudyId},
    {"exam type", Key::ExamType},
    {"data compression", Key::Compression},
    {"data encode", Key::Encode},
    {"total number of images", Key::Images},
    {"study date", Key::StudyDate},
    {"study time", Key::StudyTime},
    {"imagedata byte order", Key::ByteOrder},
    {"matrix size [1]", Key::MatrixX},
    {"matrix size [2]", Key::MatrixY},
    {"number format", Key::NumberFormat},
    {"number of bytes per pixel", Key::BytesPerPixel},
    {"scaling factor (mm/pixel) [1]", Key::ScaleX},
    {"scaling factor (mm/pixel) [2]", Key::ScaleY},
    {"study duration (sec)", Key::Duration},
    {"patient orientation", Key::Orientation},
    {"patient rotation", Key::Rotation},
    {"filter name", Key::Filter},
    {"slice orientation", Key::SliceOrientation},
    {"slice thickness (pixels)", Key::Thickness},
    {"centre-centre slice separation (pixels)", Key::Separation},
    {"center-center slice separation (pixels)", Key::Separation},
    {"end of interfile", Key::End},
};

// What the header said that is finished after its last line.
struct State {
  bool offset_given = false;
  bool file_given = false;
  bool date_given = false;
  int year = 0, month = 0, day = 0;
  double hours = 0.0;  // study time: hours + minutes/60 + seconds/3600
  double thickness = 0.0, separation = 0.0;  // in pixels
  bool thickness_given = false, separation_given = false;
  uint64_t end = 0;  // position after the header
};

// The errors of this reader: the trace lines of the format at level 9, then
// one ERROR line that a user sees.
void Interfile_Error(const ReadContext& ctx, const ImageHeader& ima, int src_line, int header_line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void Interfile_Error(const ReadContext& ctx, const ImageHeader& ima, int src_line, int header_line, const char* format, ...) {
  char text[400];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log_Print(ctx, 9, "File:%s line:%d", KEMA_SRC, src_line);
  Log_Print(ctx, 9, "Error: %s", text);
  Log_Print(ctx, 9, "file %s", ima.name.c_str());
  Text_Error(ctx, Text_Input_Name(ima), "%s (header line %d)", text, header_line);
}

int To_Int(long long v) { return v < -1000000 ? -1000000 : v > 1000000 ? 1000000 : static_cast<int>(v); }
int Char_At(std::string_view v, size_t k) { return k < v.size() ? To_Int(Parse_Int(v.substr(k))) : 0; }

uint16_t Clamp16(long long v) { return v < 0 ? 0 : v > 65535 ? 65535 : static_cast<uint16_t>(v); }

// Hours of a study time: "HH:MM:SS" (':' at character 5), else "HHMMSS".
double Study_Hours(std::string_view v) {
  int h, m, s;
  if (v.size() > 5 && v[5] == ':') {
    h = Char_At(v, 0);
    m = Char_At(v, 3);
    s = Char_At(v, 6);
  } else {
    // Two digits each, as many as are there.
    auto two = [&](size_t k) { return k < v.size() ? To_Int(Parse_Int(v.substr(k, 2))) : 0; };
    h = two(0);
    m = two(2);
    s = two(4);
  }
  return h + m / 60.0 + s / 3600.0;
}

bool Set_Offset(const ReadContext& ctx, const ImageHeader& ima, int line, long long v, long long unit, uint32_t& out) {
  if (v < 0 || v > UINT32_MAX / unit) {
    Interfile_Error(ctx, ima, __LINE__, line, "bad data offset (%lld x %lld) in Interfile header", v, unit);
    return false;
  }
  out = static_cast<uint32_t>(v * unit);
  return true;
}

// One key and its value; false after a logged error.
bool Apply(const ReadContext& ctx, ImageHeader& ima, State& st, Key id, std::string_view v, int line) {
  auto& g1 = ima.g1;
  auto& g2 = ima.g2;
  auto& g3 = ima.g3;
  switch (id) {
    case Key::Modality:
      if (v == "nucmed") ima.modality = kModalityNM;
      break;
    case Key::System: ima.g4.model = Field_Text(v); break;
    case Key::Institution: g3.hospital_name = Field_Text(v); break;
    case Key::Contact: g3.radiologist_name = Field_Text(v); break;
    case Key::Description: g3.comments[0] = Field_Text(v); break;
    case Key::StartBlock:
      st.offset_given = true;
      return Set_Offset(ctx, ima, line, Parse_Int(v), 2048, ima.ima_offset);
    case Key::OffsetBytes:
      st.offset_given = true;
      return Set_Offset(ctx, ima, line, Parse_Int(v), 1, ima.ima_offset);
    case Key::DataFile:
      st.file_given = true;
      ima.file_data = Text_Resolve(ima.path, v);
      break;
    case Key::PatientName: g3.patient_name = Field_Text(v); break;
    case Key::PatientId: g3.patient_ID = Field_Text(v); break;
    case Key::PatientDob:
      g3.birth_date = {Clamp16(Char_At(v, 0)), Clamp16(Char_At(v, 5)), Clamp16(Char_At(v, 8))};
      break;
    case Key::PatientSex: g3.patient_sex = v == "Unknown" ? 'O' : v[0]; break;
    case Key::StudyId: g1.study_ID = Field_Text(v); break;
    case Key::ExamType: g1.study_comment = Field_Text(v); break;
    case Key::Compression:
      if (v != "none") {
        Interfile_Error(ctx, ima, __LINE__, line, "unsupported compression (%.*s) in Interfile header",
                        static_cast<int>(v.size()), v.data());
        return false;
      }
      break;
    case Key::Encode:
      if (v != "none") {
        Interfile_Error(ctx, ima, __LINE__, line, "unsupported encoding (%.*s) in Interfile header",
                        static_cast<int>(v.size()), v.data());
        return false;
      }
      break;
    case Key::Images: return Set_Dimension(ctx, kFormat, "total number of images", Parse_Int(v), ima.dim_z);
    case Key::StudyDate:
      st.date_given = true;
      st.year = Char_At(v, 0);
      st.month = Char_At(v, 5);
      st.day = Char_At(v, 8);
      break;
    case Key::StudyTime: st.hours = Study_Hours(v); break;
    case Key::ByteOrder:
      g2.pix_swap = v == "LITTLEENDIAN" ? 0 : 1;
      ima.flags |= kFlagNoCoherence;  // stated: no guessing
      break;
    case Key::MatrixX: return Set_Dimension(ctx, kFormat, "matrix size [1]", Parse_Int(v), ima.dim_x);
    case Key::MatrixY: return Set_Dimension(ctx, kFormat, "matrix size [2]", Parse_Int(v), ima.dim_y);
    case Key::NumberFormat:
      if (v == "unsigned integer") {
        g2.pix_sign = 0;
      } else if (v == "signed integer") {
        g2.pix_sign = 1;
      } else {
        Interfile_Error(ctx, ima, __LINE__, line, "unsupported pixel size (%.*s) in Interfile header",
                        static_cast<int>(v.size()), v.data());
        return false;
      }
      break;
    case Key::BytesPerPixel: {
      const long long n = Parse_Int(v);
      if (n != 1 && n != 2 && n != 4) {
        Interfile_Error(ctx, ima, __LINE__, line, "unsupported pixel size (%.*s) in Interfile header",
                        static_cast<int>(v.size()), v.data());
        return false;
      }
      g2.pix_store = g2.pix_bits = static_cast<uint16_t>(8 * n);
      g2.pix_high = static_cast<uint8_t>(8 * n - 1);
      break;
    }
    case Key::ScaleX: g1.pix_dim[0] = static_cast<float>(Parse_Real(v)); break;
    case Key::ScaleY: g1.pix_dim[1] = static_cast<float>(Parse_Real(v)); break;
    case Key::Duration: ima.g4.scan_time = static_cast<float>(Parse_Real(v)); break;
    case Key::Orientation:
      if (v == "head_in") g3.patient_entry = 0x10;
      if (v == "feet_in") g3.patient_entry = 0x20;
      break;
    case Key::Rotation:
      if (v == "prone") g3.patient_position = 2;
      if (v == "supine") g3.patient_position = 1;
      break;
    case Key::Filter: ima.g4.nm.filter = Field_Text(v); break;
    case Key::SliceOrientation:
      if (v == "Transverse") ima.image_type = 1;
      if (v == "Coronal") ima.image_type = 3;
      if (v == "Sagittal") ima.image_type = 2;
      break;
    case Key::Thickness:
      st.thickness = Parse_Real(v);
      st.thickness_given = true;
      break;
    case Key::Separation:
      st.separation = Parse_Real(v);
      st.separation_given = true;
      break;
    case Key::End: break;
  }
  return true;
}

// Lines until a form feed or "end of interfile"; false after a logged error.
// Long lines and stray bytes are reported with the header line they are on.
void Interfile_Line_Problem(const ReadContext& ctx, const TextLineReader& lines, TextLineReader::Status status,
                            const ImageHeader& ima) {
  if (status == TextLineReader::Status::TooLong) {
    Log_Print(ctx, 9, "line to long (>%zu) in Interfile header !", kMaxLine);
    Log_Print(ctx, 9, "file %s", ima.name.c_str());
    Text_Error(ctx, Text_Input_Name(ima), "line to long (>%zu) in Interfile header (line %d)", kMaxLine,
               lines.Line_Number());
  } else {
    Interfile_Error(ctx, ima, __LINE__, lines.Line_Number(), "Non print. caract. 0x%x in Interfile header",
                    lines.Bad_Byte());
  }
}

int Interfile_Read_Header_2(const ReadContext& ctx, TextLineReader& lines, ImageHeader& ima, State& st) {
  Log_Print(ctx, 9, "in Interfile_Read_Header_2()");
  Text_Title(ctx, "------ ------ Interfile Header ------ ------");
  static constexpr TextHeaderNames kNames{"Interfile header", "Interfile header", "Interfile header",
                                          Interfile_Line_Problem};
  return Text_Read_Lines(ctx, lines, ima, kNames, st.end, [&](std::string_view line) {
    line = line.substr(0, line.find(';'));
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return TextLineVerdict::Next;
    std::string_view key = Trim_View(line.substr(0, colon));
    if (!key.empty() && key.front() == '!') key = Trim_View(key.substr(1));
    const std::string_view value = colon + 2 <= line.size() ? Trim_View(line.substr(colon + 2)) : std::string_view{};
    const std::string lower = Lower(key);
    if (lower == "end of interfile") {
      if (!value.empty()) Text_Key_Value(ctx, key, 35, " :=", " ", value);
      return TextLineVerdict::End;
    }
    if (value.empty()) return TextLineVerdict::Next;
    Text_Key_Value(ctx, key, 35, " :=", " ", value);
    for (const KeyEntry& e : kKeys)
      if (lower == e.key) {
        if (!Apply(ctx, ima, st, e.id, value, lines.Line_Number())) return TextLineVerdict::Fail;
        break;
      }
    return TextLineVerdict::Next;
  });
}

}  // namespace

int Interfile_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Interfile_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 1;  // Interfile's default byte order is big-endian
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  TextLineReader lines(ctx, *src, 0, kMaxLine, TextLineReader::kStopAtFormFeed);
  State st;
  if (!Interfile_Read_Header_2(ctx, lines, ima, st)) return 0;
  Text_End(ctx);

  // Slices are measured in pixels: the mean of the two pixel sizes makes
  // them millimetres (square pixels, as writers assume).
  const auto& pd = ima.g1.pix_dim;
  const double pixel = pd[0] > 0 && pd[1] > 0 ? (pd[0] + pd[1]) / 2.0 : pd[0] > 0 ? pd[0] : pd[1] > 0 ? pd[1] : 1.0;
  if (st.thickness_given) ima.g1.pix_size[2] = static_cast<float>(st.thickness * pixel);
  if (st.separation_given) ima.g1.pix_dim[2] = static_cast<float>(st.separation * pixel);

  if (st.date_given) {
    const long long total = std::llround(st.hours * 3600.0);
    ima.g1.study_time = Text_Local_Time(st.year, st.month, st.day, static_cast<int>(total / 3600),
                                        static_cast<int>(total / 60 % 60), static_cast<int>(total % 60));
  }
  if (!st.offset_given && !st.file_given) {
    if (st.end > UINT32_MAX) {
      Text_Error(ctx, Text_Input_Name(ima), "Interfile header ends past 4 GiB");
      return 0;
    }
    ima.ima_offset = static_cast<uint32_t>(st.end);
  }
  Log_Print(ctx, 8, "--> offset: %u", ima.ima_offset);
  return Text_Check_Pixels(ctx, ima, kFormat, st.file_given);
}
