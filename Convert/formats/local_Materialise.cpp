#include "Convert/formats/local_Materialise.h"

#include <memory>
#include <string>
#include <string_view>

#include "Convert/conv_header_text.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kMaxLine = 80;
constexpr const char* kFormat = "Materialise";

struct State {
  bool offset_given = false;
  uint64_t end = 0;
};

// "UB"/"UC" 8 bits unsigned, "US" 16 unsigned, "S" 16 signed, "UI" 32
// unsigned, "I" 32 signed.
bool Pixel_Type(ImageHeader& ima, std::string_view v) {
  const std::string_view two = v.substr(0, 2);
  int bits;
  bool sign;
  if (two == "UB" || two == "UC") {
    bits = 8, sign = false;
  } else if (two == "US") {
    bits = 16, sign = false;
  } else if (two == "UI") {
    bits = 32, sign = false;
  } else if (!v.empty() && v[0] == 'S') {
    bits = 16, sign = true;
  } else if (!v.empty() && v[0] == 'I') {
    bits = 32, sign = true;
  } else {
    return false;
  }
  ima.g2.pix_store = ima.g2.pix_bits = static_cast<uint16_t>(bits);
  ima.g2.pix_high = static_cast<uint8_t>(bits - 1);
  ima.g2.pix_sign = sign ? 1 : 0;
  return true;
}

bool Apply(const ReadContext& ctx, ImageHeader& ima, State& st, std::string_view key, std::string_view v, bool& end) {
  auto& g1 = ima.g1;
  if (key == "FILE_TYPE") return true;
  if (key == "X_SIZE") return Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_x);
  if (key == "Y_SIZE") return Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_y);
  if (key == "Z_SIZE") return Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_z);
  if (key == "HEADER_SIZE") {
    const long long n = Parse_Int(v);
    if (n < 0 || n > UINT32_MAX) {
      Text_Error(ctx, Text_Input_Name(ima), "bad HEADER_SIZE (%lld) in Materialise header", n);
      return false;
    }
    ima.ima_offset = static_cast<uint32_t>(n);
    st.offset_given = true;
    return true;
  }
  if (key == "PIXEL_TYPE") {
    if (Pixel_Type(ima, v)) return true;
    Text_Error(ctx, Text_Input_Name(ima), "unsupported PIXEL_TYPE (%.*s) in Materialise header",
               static_cast<int>(v.size()), v.data());
    return false;
  }
  if (key == "PIXEL_SIZE") {
    // Square pixels: the one size serves both directions.
    g1.pix_dim[0] = g1.pix_dim[1] = static_cast<float>(Parse_Real(v));
  } else if (key == "GANTRY_TILT") {
    ima.g4.ct.gantry_tilt = static_cast<float>(Parse_Real(v));
  } else if (key == "SLICE_POS") {
    g1.position[2] = static_cast<float>(Parse_Real(v));
  } else if (key == "PATIENT_NAME") {
    ima.g3.patient_name = Field_Text(v);
  } else if (key == "IMAGE_NAME") {
    g1.image_comment = Field_Text(v);
  } else if (key == "INSTITUTE") {
    ima.g3.hospital_name = Field_Text(v);
  } else if (key == "HEADER_END") {
    end = true;
  }
  return true;
}

int Materialise_Read_Header_2(const ReadContext& ctx, TextLineReader& lines, ImageHeader& ima, State& st) {
  Log_Print(ctx, 9, "in Materialise_Read_Header_2()");
  Text_Title(ctx, "------ ------ Materialise Header ------ ------");
  static constexpr TextHeaderNames kNames{"Materialise header", "header", "Materialise header"};
  return Text_Read_Lines(ctx, lines, ima, kNames, st.end, [&](std::string_view line) {
    if (line.empty()) return TextLineVerdict::End;
    const size_t cut = line.find_first_of(": \t");
    const std::string_view key = line.substr(0, cut);
    std::string_view value;
    if (cut != std::string_view::npos) {
      const size_t start = line.find_first_not_of(": \t", cut);
      if (start != std::string_view::npos) value = line.substr(start);
    }
    Text_Key_Value(ctx, key, 25, " : ", "", value);
    bool end = false;
    if (!Apply(ctx, ima, st, key, value, end)) return TextLineVerdict::Fail;
    return end ? TextLineVerdict::End : TextLineVerdict::Next;
  });
}

}  // namespace

int Materialise_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Materialise_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  ima.flags |= kFlagNoCoherence;  // always little-endian: no guessing
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  TextLineReader lines(ctx, *src, 0, kMaxLine, 0);
  State st;
  if (!Materialise_Read_Header_2(ctx, lines, ima, st)) return 0;
  Text_End(ctx);
  if (!st.offset_given) {
    if (st.end > UINT32_MAX) return 0;
    ima.ima_offset = static_cast<uint32_t>(st.end);
  }
  Log_Print(ctx, 8, "--> offset: %u", ima.ima_offset);
  return Text_Check_Pixels(ctx, ima, kFormat, false);
}
