#include "Convert/formats/local_SMIS.h"

#include <algorithm>
#include <cmath>
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

constexpr size_t kBlock = 256;
constexpr uint32_t kPixels = 512;
// The text trailer is a few hundred bytes; more than this is not read.
constexpr uint64_t kTrailerCap = uint64_t{1} << 20;
constexpr int kLabel = 18;

int32_t I32(const uint8_t* b, size_t off) { return Order_Get_I32(0, b + off); }

bool Dimension(const ReadContext& ctx, const char* key, int32_t v, uint16_t& dim) {
  return Set_Dimension(ctx, "SMIS", key, v, dim);
}

// The binary block: resolution, image code, scaling, bits per pixel.
int SMIS_Read_Header_2a(const ReadContext& ctx, const uint8_t* b, ImageHeader& ima) {
  Log_Print(ctx, 9, "in SMIS_Read_Header_2a()");
  const int32_t rx = I32(b, 0), ry = I32(b, 4), rz = I32(b, 8);
  const int code = Order_Get_U16(0, b + 18);
  const float scaling = Order_Get_F32(0, b + 48);
  const int bits = b[109];
  Text_Title(ctx, "------ ------ Header SMIS ------ ------");
  Text_Label_Value(ctx, kLabel, "resolution x:", "%d", rx);
  Text_Label_Value(ctx, kLabel, "resolution y:", "%d", ry);
  Text_Label_Value(ctx, kLabel, "resolution z:", "%d", rz);
  Text_Label_Value(ctx, kLabel, "image code:", "%d", code);
  Text_Label_Value(ctx, kLabel, "scalling fact:", "%.2f", static_cast<double>(scaling));
  Text_Label_Value(ctx, kLabel, "bits_per_pix:", "%d", bits);
  if (!Dimension(ctx, "resolution x", rx, ima.dim_x) || !Dimension(ctx, "resolution y", ry, ima.dim_y) ||
      !Dimension(ctx, "resolution z", rz, ima.dim_z))
    return 0;
  auto& g2 = ima.g2;
  switch (code) {
    case 0: g2.pix_store = g2.pix_bits = 8, g2.pix_sign = 0; break;
    case 1: g2.pix_store = g2.pix_bits = 8, g2.pix_sign = 1; break;
    case 2:
    case 3:
      if (bits < 1 || bits > 16) {
        Text_Error(ctx, Text_Input_Name(ima), "SMIS header: %d bits per pixel for 16-bit samples", bits);
        return 0;
      }
      g2.pix_store = 16, g2.pix_bits = static_cast<uint16_t>(bits), g2.pix_sign = 1;
      break;
    case 4: g2.pix_store = g2.pix_bits = 32, g2.pix_sign = 1; break;
    default:
      Text_Error(ctx, Text_Input_Name(ima), "unsupported SMIS image code (%d)", code);
      return 0;
  }
  g2.pix_high = static_cast<uint8_t>(g2.pix_bits - 1);
  return 1;
}

// v rotated by `deg` degrees about axis 0 (x), 1 (y) or 2 (z), right-handed.
void Rotate(Vec4& v, int axis, double deg) {
  const double a = deg * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;
  const double vi = v[i], vj = v[j];
  v[i] = static_cast<float>(c * vi - s * vj);
  v[j] = static_cast<float>(s * vi + c * vj);
}

std::string_view Next_Token(std::string_view& s) {
  const size_t a = s.find_first_not_of(" \t,=");
  if (a == std::string_view::npos) return s = {}, std::string_view{};
  const size_t b = s.find_first_of(" \t,=", a);
  const std::string_view t = s.substr(a, b == std::string_view::npos ? std::string_view::npos : b - a);
  s = b == std::string_view::npos ? std::string_view{} : s.substr(b);
  return t;
}

// The text trailer: lines beginning with ':'.
int SMIS_Read_Header_2b(const ReadContext& ctx, std::string_view text, ImageHeader& ima) {
  Log_Print(ctx, 9, "in SMIS_Read_Header_2b()");
  auto& g1 = ima.g1;
  auto& mr = ima.g4.mr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find_first_of("\r\n", pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.empty() || line[0] != ':') continue;
    std::string_view rest = line;
    const std::string_view key = Next_Token(rest);
    double v[3] = {0, 0, 0};
    if (key == ":VAR") {
      std::string_view args = rest;
      const std::string_view name = Next_Token(args);
      const long long n = Parse_Int(Trim_View(args, " \t,="));
      if (name == "TE") mr.echo_time = static_cast<float>(n);
      else if (name == "TR") mr.repetition_time = static_cast<float>(n);
      else continue;
    } else if (key == ":NO_AVERAGES") {
      mr.averages = static_cast<float>(Parse_Int(Trim_View(rest, " \t,=")));
    } else if (key == ":IM_SLICE") {
      const long long n = Parse_Int(Trim_View(rest, " \t,="));
      g1.image_num = static_cast<uint16_t>(n < 0 ? 0 : n > 65535 ? 65535 : n);
    } else if (key == ":IM_FOV") {
      Parse_Numbers(rest, v, 3);
      g1.fov[0] = static_cast<float>(v[0]);
      g1.fov[1] = static_cast<float>(v[1]);
      g1.pix_size[2] = static_cast<float>(v[2]);
    } else if (key == ":IM_OFFSETS") {
      Parse_Numbers(rest, v, 3);
      for (int k = 0; k < 3; ++k) g1.position[k] = static_cast<float>(v[k]);
    } else if (key == ":IM_ORIENTATION") {
      Parse_Numbers(rest, v, 3);
      Vec4 h{1, 0, 0, 0}, w{0, 1, 0, 0};
      // Tenths of a degree, turned about x, then y, then z.
      for (int axis = 0; axis < 3; ++axis) {
        const double deg = std::trunc(std::clamp(v[axis], -1e9, 1e9)) * 0.1;
        Rotate(h, axis, deg);
        Rotate(w, axis, deg);
      }
      g1.dir_h = h;
      g1.dir_v = w;
      ima.flags |= kFlagDirValid;
    } else {
      continue;
    }
    const std::string_view shown = Trim_View(rest).substr(0, 200);
    Text_Label_Value(ctx, kLabel, std::string(key.substr(0, 40)).c_str(), "%.*s", static_cast<int>(shown.size()),
                     shown.data());
  }
  return 1;
}

}  // namespace

int SMIS_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in SMIS_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  ima.modality = kModalityMR;
  ima.g2.pix_plane = 1;
  ima.g2.compression = 0;
  ima.flags |= kFlagNoCoherence;  // always little-endian: no guessing
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t block[kBlock];
  if (!KEMA_READ(ctx, *src, 0, block, sizeof block)) return 0;
  if (!SMIS_Read_Header_2a(ctx, block, ima)) return 0;
  ima.ima_offset = kPixels;

  // The trailer follows the pixels.
  const uint64_t skip = kPixels + Text_Data_Bytes(ima);
  if (!src->Contains(0, skip)) {
    Text_Error(ctx, Text_Input_Name(ima), "SMIS pixel data too short: %llu bytes, %llu needed",
               static_cast<unsigned long long>(src->size() > kPixels ? src->size() - kPixels : 0),
               static_cast<unsigned long long>(skip - kPixels));
    return 0;
  }
  const uint64_t size = std::min(src->size() - skip, kTrailerCap);
  Log_Print(ctx, 8, "skip: %llu size:%llu", static_cast<unsigned long long>(skip),
            static_cast<unsigned long long>(src->size() - skip));
  std::string head2(size, '\0');
  if (size && !KEMA_READ(ctx, *src, skip, head2.data(), head2.size())) return 0;
  if (!SMIS_Read_Header_2b(ctx, head2, ima)) return 0;
  Text_End(ctx);
  return Text_Check_Pixels(ctx, ima, "SMIS", false);
}
