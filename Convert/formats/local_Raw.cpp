#include "Convert/formats/local_Raw.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Convert/conv_header_text.h"
#include "Convert/conv_string.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kMaxLine = 256;
constexpr const char* kFormat = "RAW";
// Separators of key and value tokens (outside double quotes).
constexpr const char* kSeparators = " ,;\t=";

struct State {
  bool offset_given = false;
  bool file_given = false;
  bool dir_h = false, dir_v = false;
  size_t comments = 0;
  uint64_t end = 0;
};

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

bool To_U16(const ReadContext& ctx, const ImageHeader& ima, std::string_view key, long long v, uint16_t& out) {
  if (v < 0 || v > 65535) {
    Text_Error(ctx, Text_Input_Name(ima), "bad value %lld for %.*s in RAW header", v, static_cast<int>(key.size()),
               key.data());
    return false;
  }
  out = static_cast<uint16_t>(v);
  return true;
}

bool To_U8(const ReadContext& ctx, const ImageHeader& ima, std::string_view key, long long v, uint8_t& out) {
  uint16_t wide = 0;
  if (!To_U16(ctx, ima, key, v > 255 ? 65536 : v, wide)) return false;
  out = static_cast<uint8_t>(wide);
  return true;
}

bool To_U32(const ReadContext& ctx, const ImageHeader& ima, std::string_view key, long long v, uint32_t& out) {
  if (v < 0 || v > UINT32_MAX) {
    Text_Error(ctx, Text_Input_Name(ima), "bad value %lld for %.*s in RAW header", v, static_cast<int>(key.size()),
               key.data());
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

float Real(std::string_view v) { return static_cast<float>(Parse_Real(v)); }

// One key and its value; false after a logged error.
bool Apply(const ReadContext& ctx, ImageHeader& ima, State& st, std::string_view key, std::string_view v) {
  auto& g1 = ima.g1;
  auto& g2 = ima.g2;
  auto& g3 = ima.g3;
  const long long n = Parse_Int(v);
  const int axis = key.size() >= 2 ? key.back() - 'x' : -1;  // _x, _y, _z
  const bool xyz = axis >= 0 && axis <= 2 && key[key.size() - 2] == '_';
  const std::string_view stem = xyz ? key.substr(0, key.size() - 1) : std::string_view{};

  if (key == "magic") {
    if (v == "RAW_DATA") return true;
    Text_Error(ctx, Text_Input_Name(ima), "bad magic (%.*s) in RAW header", static_cast<int>(v.size()), v.data());
    return false;
  }
  if (key == "x") return Set_Dimension(ctx, kFormat, key, n, ima.dim_x);
  if (key == "y") return Set_Dimension(ctx, kFormat, key, n, ima.dim_y);
  if (key == "z") return Set_Dimension(ctx, kFormat, key, n, ima.dim_z);
  if (key == "pixel_store") {
    if (!To_U16(ctx, ima, key, n, g2.pix_store)) return false;
    if (g2.pix_bits == 0) g2.pix_bits = g2.pix_store;
    g2.pix_high = static_cast<uint8_t>(n > 0 ? n - 1 : 0);
    return true;
  }
  if (key == "pixel_size") {
    if (!To_U16(ctx, ima, key, n, g2.pix_bits)) return false;
    g2.pix_store = g2.pix_bits;
    g2.pix_high = static_cast<uint8_t>(n > 0 ? n - 1 : 0);
    return true;
  }
  if (key == "pixel_sign") return To_U8(ctx, ima, key, n, g2.pix_sign);
  if (key == "pixel_high_bit") return To_U8(ctx, ima, key, n, g2.pix_high);
  if (key == "pixel_swap") {
    ima.flags |= kFlagNoCoherence;  // stated: no guessing
    return To_U8(ctx, ima, key, n, g2.pix_swap);
  }
  if (key == "pixel_plane") return To_U8(ctx, ima, key, n, g2.pix_plane);
  if (key == "pixel_config") return To_U8(ctx, ima, key, n, g2.pix_planar);
  if (key == "pixel_pading") {
    g2.pix_fill = static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
    return true;
  }
  if (key == "file_offset") {
    st.offset_given = true;
    return To_U32(ctx, ima, key, n, ima.ima_offset);
  }
  if (key == "image_offset") return To_U32(ctx, ima, key, n, ima.image_gap);
  if (xyz && stem == "inc_") g1.pix_dim[axis] = Real(v);
  else if (xyz && stem == "dim_") g1.fov[axis] = Real(v);
  else if (xyz && stem == "org_") g1.position[axis] = Real(v);
  else if (xyz && stem == "dir_h_") g1.dir_h[axis] = Real(v), st.dir_h = true;
  else if (xyz && stem == "dir_v_") g1.dir_v[axis] = Real(v), st.dir_v = true;
  else if (key == "epais" || key == "thickness") g1.pix_size[2] = Real(v);
  else if (key == "axis_syst") g1.label_mode = static_cast<uint8_t>(n);
  else if (key == "axis_trust") return true;
  else if (key == "slice_orientation") {
    if (v == "Transverse" || v == "Axial") ima.image_type = 1;
    else if (v == "Coronal") ima.image_type = 3;
    else if (v == "Sagittal") ima.image_type = 2;
    else if (v == "Oblique") ima.image_type = 4;
  } else if (key == "file_name") {
    st.file_given = true;
    ima.file_data = Text_Resolve(ima.path, v);
  } else if (key == "study_num") return To_U16(ctx, ima, key, n, g1.study_num);
  else if (key == "serie_num") return To_U16(ctx, ima, key, n, g1.series_num);
  else if (key == "image_num") return To_U16(ctx, ima, key, n, g1.image_num);
  else if (key == "patient_name") g3.patient_name = Field_Text(v);
  else if (key == "patient_id") g3.patient_ID = Field_Text(v);
  else if (key == "patient_sex") g3.patient_sex = v == "Unknown" ? 'O' : (v.empty() ? 0 : v[0]);
  else if (key == "patient_weight") g3.patient_weight = Real(v);
  else if (key == "hospital") g3.hospital_name = Field_Text(v);
  else if (key == "physician") g3.physician_name = Field_Text(v);
  else if (key == "radiologist") g3.radiologist_name = Field_Text(v);
  else if (key == "patient_orientation") {
    if (v == "head_in") g3.patient_entry = 0x10;
    if (v == "feet_in") g3.patient_entry = 0x20;
  } else if (key == "patient_rotation") {
    if (v == "prone") g3.patient_position = 2;
    if (v == "supine") g3.patient_position = 1;
  }
  return true;
}

int Raw_Read_Header_2(const ReadContext& ctx, TextLineReader& lines, ImageHeader& ima, State& st) {
  Log_Print(ctx, 9, "in Raw_Read_Header_2()");
  Text_Title(ctx, "------ ------ Raw Header ------ ------");
  char work[kMaxLine + 1];
  static constexpr TextHeaderNames kNames{"Raw header", "RAW header", "RAW header"};
  return Text_Read_Lines(ctx, lines, ima, kNames, st.end, [&](std::string_view line) {
    // A comment starts at the first '#' or '*' outside quotes.
    size_t cut = line.size();
    size_t quotes = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') ++quotes;
      else if ((line[i] == '#' || line[i] == '*') && quotes % 2 == 0) {
        cut = i;
        break;
      }
    }
    if (cut < line.size()) {
      const std::string_view comment = Trim_View(line.substr(cut + 1));
      Text_Comment(ctx, comment);
      if (st.comments < ima.g3.comments.size()) ima.g3.comments[st.comments++] = Field_Text(comment, 80);
    }
    if (quotes % 2 != 0) {
      Text_Error(ctx, Text_Input_Name(ima), "bad number of quotes (%.*s) in RAW header!", static_cast<int>(line.size()),
                 line.data());
      return TextLineVerdict::Fail;
    }
    std::memcpy(work, line.data(), cut);
    work[cut] = 0;
    TokenState ts;
    for (char* key = String_Token(work, kSeparators, ts); key; key = String_Token(nullptr, kSeparators, ts)) {
      char* value = String_Token(nullptr, kSeparators, ts);
      const std::string_view v = value ? Unquote(value) : std::string_view{};
      Text_Key_Value(ctx, key, 25, " : ", "", v);
      if (!value) break;
      if (!Apply(ctx, ima, st, key, v)) return TextLineVerdict::Fail;
    }
    return TextLineVerdict::Next;
  });
}

bool Supported_Store(unsigned bits) {
  return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 12 || bits == 16 || bits == 32;
}

}  // namespace

int Raw_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Raw_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  TextLineReader lines(ctx, *src, 0, kMaxLine, TextLineReader::kStopAtFormFeed | TextLineReader::kStopAtNul);
  State st;
  if (!Raw_Read_Header_2(ctx, lines, ima, st)) return 0;
  Text_End(ctx);
  auto& g2 = ima.g2;
  if (ima.dim_x == 0 || ima.dim_y == 0 || g2.pix_bits == 0) {
    Text_Error(ctx, Text_Input_Name(ima), "missing X, Y or TYPE in RAW header");
    return 0;
  }
  if (!Supported_Store(g2.pix_store) || g2.pix_plane == 0 || g2.pix_plane > 4 || g2.pix_bits > g2.pix_store) {
    Text_Error(ctx, Text_Input_Name(ima), "unsupported pixel layout in RAW header (store %u, bits %u, planes %u)",
               g2.pix_store, g2.pix_bits, g2.pix_plane);
    return 0;
  }
  if (st.dir_h && st.dir_v) ima.flags |= kFlagDirValid;
  if (!st.offset_given && !st.file_given) {
    if (st.end > UINT32_MAX) return 0;
    ima.ima_offset = static_cast<uint32_t>(st.end);
  }
  if (ima.image_gap) g2.compression = kTextGapped;
  Log_Print(ctx, 8, "--> offset: %u", ima.ima_offset);
  return Text_Check_Pixels(ctx, ima, kFormat, st.file_given);
}
