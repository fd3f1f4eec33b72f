#include "Convert/formats/local_IGB.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kMaxLine = 80;
constexpr const char* kFormat = "GLI";
constexpr uint64_t kBlock = 1024;  // IGB headers are padded to a multiple of this
constexpr int kMaxWarnings = 16;
constexpr std::string_view kSeparators = " ,;\t";

struct State {
  bool x = false, y = false, type = false;
  bool vect_z = false;
  size_t comments = 0;
  int warnings = 0;
  uint64_t end = 0;
};

constexpr const char* kAccepted[] = {"sup",      "system",   "bin",      "num",      "comp",
                                     "lut",      "facteur",  "date",     "id",       "aut",
                                     "systeme",  "unites_x", "unites_y", "unites_z", "unites"};

// Comment labels and the field each fills.
enum class Label { Hospital, Name, Id, Series, Sex, Description, Anatomy, Protocol };
struct LabelEntry {
  const char* label;
  Label id;
};
constexpr LabelEntry kLabels[] = {
    {"Hospital", Label::Hospital},       {"Patient Name", Label::Name},  {"Patient ID", Label::Id},
    {"Series number", Label::Series},    {"Patient sex", Label::Sex},    {"Serie descript", Label::Description},
    {"anatomical ref", Label::Anatomy},  {"scan protocol", Label::Protocol},
};

void Comment(const ReadContext& ctx, ImageHeader& ima, State& st, std::string_view text) {
  Text_Comment(ctx, text);
  for (const LabelEntry& e : kLabels) {
    const size_t n = std::strlen(e.label);
    if (text.substr(0, n) != e.label) continue;
    const std::string_view v = Trim_View(text.substr(n), " \t:=");
    switch (e.id) {
      case Label::Hospital: ima.g3.hospital_name = Field_Text(v, 40); break;
      case Label::Name: ima.g3.patient_name = Field_Text(v, 40); break;
      case Label::Id: ima.g3.patient_ID = Field_Text(v, 40); break;
      case Label::Series: {
        const long long s = Parse_Int(v);
        ima.g1.series_num = static_cast<uint16_t>(s < 0 ? 0 : s > 65535 ? 65535 : s);
        break;
      }
      case Label::Sex:
        // A number as written; a letter as it is.
        ima.g3.patient_sex = !v.empty() && (v[0] < '0' || v[0] > '9') ? v[0] : static_cast<char>(Parse_Int(v));
        break;
      case Label::Description: ima.g1.series_comment = Field_Text(v, 62); break;
      case Label::Anatomy: ima.g4.anatomical_reference = Field_Text(v, 62); break;
      case Label::Protocol: ima.g4.scan_protocol = Field_Text(v, 62); break;
    }
    return;
  }
  if (st.comments < ima.g3.comments.size()) ima.g3.comments[st.comments++] = Field_Text(text, 80);
}

bool Type(const ReadContext& ctx, ImageHeader& ima, std::string_view v) {
  auto& g2 = ima.g2;
  int bits = 0, sign = 0, planes = 1;
  if (v == "byte" || v == "char") bits = 8;
  else if (v == "short") bits = 16, sign = 1;
  else if (v == "ushort") bits = 16;
  else if (v == "long" || v == "uint") bits = 32;
  else if (v == "int") bits = 32, sign = 1;
  else if (v == "rgba") bits = 8, planes = 4;
  const char* refused = v == "float" ? "float" : v == "double" ? "Double" : v == "complex" ? "Complex"
                      : v == "d_complex" ? "D_Complex" : nullptr;
  if (refused) {
    Text_Error(ctx, Text_Input_Name(ima), "unsupported pixel size (%s) in GLI header", refused);
    return false;
  }
  if (bits == 0) {
    Text_Error(ctx, Text_Input_Name(ima), "unsupported pixel type (%.*s) in GLI header", static_cast<int>(v.size()),
               v.data());
    return false;
  }
  g2.pix_store = g2.pix_bits = static_cast<uint16_t>(bits);
  g2.pix_high = static_cast<uint8_t>(bits - 1);
  g2.pix_sign = static_cast<uint8_t>(sign);
  g2.pix_plane = static_cast<uint8_t>(planes);
  return true;
}

bool Apply(const ReadContext& ctx, ImageHeader& ima, State& st, std::string_view key, std::string_view v) {
  auto& g1 = ima.g1;
  Text_Key_Value(ctx, key, 25, " : ", "", v);
  const int axis = key.size() >= 2 && key[key.size() - 2] == '_' ? key.back() - 'x' : -1;
  const std::string_view stem = axis >= 0 && axis <= 2 ? key.substr(0, key.size() - 1) : std::string_view{};
  if (key == "x") return st.x = true, Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_x);
  if (key == "y") return st.y = true, Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_y);
  if (key == "z") return Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_z);
  if (key == "t") return Set_Dimension(ctx, kFormat, key, Parse_Int(v), ima.dim_t);
  if (key == "type") return st.type = true, Type(ctx, ima, v);
  if (stem == "inc_") g1.pix_dim[axis] = static_cast<float>(Parse_Real(v));
  else if (stem == "dim_") g1.fov[axis] = static_cast<float>(Parse_Real(v));
  else if (stem == "org_") g1.position[axis] = static_cast<float>(Parse_Real(v));
  else if (key == "epais") g1.pix_size[2] = static_cast<float>(Parse_Real(v));
  else if (key == "vect_z") st.vect_z = true;
  else {
    bool known = false;
    for (const char* k : kAccepted) known = known || key == k;
    // The byte order of the samples, when the header names it.
    if (key == "systeme" || key == "system") {
      if (v == "big_endian") ima.g2.pix_swap = 1, ima.flags |= kFlagNoCoherence;
      if (v == "little_endian") ima.g2.pix_swap = 0, ima.flags |= kFlagNoCoherence;
    }
    if (!known && st.warnings++ < kMaxWarnings)
      Log_Print(ctx, 2, "WARNING unknown key word (%.*s) in  GLI header", static_cast<int>(key.size()), key.data());
  }
  return true;
}

// Splits the part of a line before its comment into key and value tokens:
// "key:value", "key: value" and "key value" all give one pair.
bool Tokens(const ReadContext& ctx, ImageHeader& ima, State& st, std::string_view text) {
  std::string_view pending;  // a key waiting for its value
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = text.find_first_not_of(kSeparators, i);
    if (start == std::string_view::npos) break;
    size_t stop = text.find_first_of(kSeparators, start);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view token = text.substr(start, stop - start);
    i = stop;
    if (!pending.empty()) {
      if (!Apply(ctx, ima, st, pending, token)) return false;
      pending = {};
      continue;
    }
    const size_t colon = token.find(':');
    if (colon == std::string_view::npos) {
      pending = token;
    } else if (colon + 1 < token.size()) {
      if (!Apply(ctx, ima, st, token.substr(0, colon), token.substr(colon + 1))) return false;
    } else {
      pending = token.substr(0, colon);
    }
  }
  if (!pending.empty()) Text_Key_Value(ctx, pending, 25, " : ", "", {});
  return true;
}

int IGB_Read_Header_2(const ReadContext& ctx, TextLineReader& lines, ImageHeader& ima, State& st) {
  Log_Print(ctx, 9, "in IGB_Read_Header_2()");
  Text_Title(ctx, "------ ------ GLI Header ------ ------");
  static constexpr TextHeaderNames kNames{"GLI header", "GLI header", "GLI header"};
  return Text_Read_Lines(ctx, lines, ima, kNames, st.end, [&](std::string_view line) {
    const size_t hash = line.find('#');
    if (!Tokens(ctx, ima, st, line.substr(0, hash))) return TextLineVerdict::Fail;
    if (hash != std::string_view::npos) Comment(ctx, ima, st, Trim_View(line.substr(hash + 1)));
    return TextLineVerdict::Next;
  });
}

// The per-slice z positions that follow the header: one 4-byte real each.
bool Read_Slice_Positions(const ReadContext& ctx, const ByteSource& src, ImageHeader& ima) {
  const size_t count = ima.dim_z;
  const uint64_t bytes = uint64_t{4} * count;
  if (!src.Contains(ima.ima_offset, bytes)) {
    Text_Error(ctx, Text_Input_Name(ima), "GLI header: %zu slice positions (vect_z) past the end of the file", count);
    return false;
  }
  std::vector<uint8_t> raw(bytes);
  if (!KEMA_READ(ctx, src, ima.ima_offset, raw.data(), raw.size())) return false;
  ima.g1.frame_pos.assign(size_t{ima.dim_z} * ima.dim_t, Vec4{});
  for (size_t k = 0; k < ima.g1.frame_pos.size(); ++k) {
    Vec4& p = ima.g1.frame_pos[k];
    p = {ima.g1.position[0], ima.g1.position[1], 0.0f, 0.0f};
    p[2] = Order_Get_F32(ima.g2.pix_swap ? 1 : 0, raw.data() + 4 * (k % count));
  }
  ima.ima_offset += static_cast<uint32_t>(bytes);
  return true;
}

// Trailing decimal digits of the name: the series number.
uint16_t Name_Number(const std::string& name) {
  size_t k = name.size();
  while (k > 0 && name[k - 1] >= '0' && name[k - 1] <= '9') --k;
  if (k == name.size()) return 0;
  const long long n = Parse_Int(std::string_view(name).substr(k, 9));
  return static_cast<uint16_t>(n > 65535 ? 65535 : n);
}

}  // namespace

int IGB_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in IGB_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  ima.g2.pix_plane = 1;
  ima.g1.series_num = Name_Number(ima.name);
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  TextLineReader lines(ctx, *src, 0, kMaxLine, TextLineReader::kStopAtFormFeed | TextLineReader::kStopAtNul);
  State st;
  if (!IGB_Read_Header_2(ctx, lines, ima, st)) return 0;
  Text_End(ctx);
  if (!st.x || !st.y || !st.type) {
    Text_Error(ctx, Text_Input_Name(ima), "missing X, Y or TYPE in GLI header");
    return 0;
  }
  // The header is padded to a whole number of 1024-byte blocks.
  const uint64_t offset = (st.end + kBlock - 1) / kBlock * kBlock;
  if (offset > UINT32_MAX - uint64_t{4} * 65535) return 0;
  ima.ima_offset = static_cast<uint32_t>(offset);
  if (st.vect_z && !Read_Slice_Positions(ctx, *src, ima)) return 0;
  Log_Print(ctx, 8, "--> offset: %u", ima.ima_offset);
  return Text_Check_Pixels(ctx, ima, kFormat, false);
}
