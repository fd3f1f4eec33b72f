#include "Convert/formats/local_Analyze.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Convert/conv_header_text.h"
#include "Convert/conv_order.h"
#include "Convert/conv_string.h"
#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kHeaderSize = 348;
constexpr size_t kKey = 0, kDim = 40, kHist = 148;  // the three blocks: 40, 108 and 200 bytes
constexpr int kLabel = 22;

// The header in its byte order.
class Header {
 public:
  Header(const uint8_t* b, uint8_t mode) : b_(b), mode_(mode) {}
  int16_t I16(size_t off) const { return static_cast<int16_t>(Order_Get_U16(mode_, b_ + off)); }
  int32_t I32(size_t off) const { return Order_Get_I32(mode_, b_ + off); }
  // A real as stored; a value that is no number reads as 0.
  float F32(size_t off) const {
    const float f = Order_Get_F32(mode_, b_ + off);
    return std::isfinite(f) ? f : 0.0f;
  }
  std::string_view Chars(size_t off, size_t width) const {
    std::string_view s(reinterpret_cast<const char*>(b_ + off), width);
    return s.substr(0, s.find('\0'));
  }
  uint8_t Byte(size_t off) const { return b_[off]; }

 private:
  const uint8_t* b_;
  uint8_t mode_;
};

void Field(const ReadContext& ctx, const char* label, std::string_view text) {
  Text_Label_Value(ctx, kLabel, label, "%-.*s", static_cast<int>(text.size()), text.data());
}

int Analyze_Read_Header_Key(const ReadContext& ctx, const Header& h) {
  Log_Print(ctx, 9, "in Analyze_Read_Header_Key()");
  Text_Label_Value(ctx, kLabel, "header size:", "%d", h.I32(kKey + 0));
  Field(ctx, "data type:", h.Chars(kKey + 4, 10));
  Field(ctx, "db name:", h.Chars(kKey + 14, 18));
  Text_Label_Value(ctx, kLabel, "extents:", "%d", h.I32(kKey + 32));
  Text_Label_Value(ctx, kLabel, "session error:", "%d", h.I16(kKey + 36));
  return 1;
}

const char* Type_Name(int code) {
  switch (code) {
    case 1: return "binary";
    case 2: return "unsigned char";
    case 4: return "signed short";
    case 8: return "signed int";
    case 16: return "float: read as 32-bit integers with a rescale slope";
    case 32: return "complex";
    case 64: return "double: read as 32-bit integers with a rescale slope";
    case 128: return "RGB";
    default: return "unknown";
  }
}

// The data-type rule; false after a logged refusal.
bool Data_Type(const ReadContext& ctx, int code, int bits, ImageHeader& ima) {
  auto& g2 = ima.g2;
  auto set = [&](int store, int sign) {
    g2.pix_store = g2.pix_bits = static_cast<uint16_t>(store);
    g2.pix_sign = static_cast<uint8_t>(sign);
    g2.pix_high = static_cast<uint8_t>(store - 1);
  };
  switch (code) {
    // A binary image of one bit per voxel is unpacked to 0 and 1.
    case 1: bits == 1 ? set(1, 0) : set(8, 0); break;
    case 2: set(8, 0); break;
    case 4: set(16, 1); break;
    case 8: set(32, 1); break;
    case 16:
    case 64:
      set(32, 1);
      g2.compression = code == 16 ? kAnalyzeFloat : kAnalyzeDouble;
      break;
    case 128:
      // R, G and B bytes in that order, whatever the header's byte order.
      set(8, 0);
      g2.pix_plane = 3;
      g2.pix_swap = 0;
      break;
    default:
      Log_Print(ctx, 2, "Unsuported pixel data type! (val=%d)", code);
      Text_Error(ctx, Text_Input_Name(ima), "Analyze data type %d (%s) cannot be read", code, Type_Name(code));
      return false;
  }
  return true;
}

int Analyze_Read_Header_Dimension(const ReadContext& ctx, const Header& h, ImageHeader& ima, int& source_bits) {
  Log_Print(ctx, 9, "in Analyze_Read_Header_Dimension()");
  const int n = h.I16(kDim + 0);
  const int shown = std::clamp(n, 0, 7);
  Text_Label_Value(ctx, kLabel, "number of dimensions:", "%d", n);
  char label[32];
  for (int i = 1; i <= shown; ++i) {
    std::snprintf(label, sizeof label, "image dim[%d]:", i);
    Text_Label_Value(ctx, kLabel, label, "%d", h.I16(kDim + 2 * i));
  }
  const int code = h.I16(kDim + 30);
  const int bits = h.I16(kDim + 32);
  Text_Label_Value(ctx, kLabel, "data type:", "%d (%s)", code, Type_Name(code));
  Text_Label_Value(ctx, kLabel, "bits per pixel:", "%d", bits);
  float pixdim[8];
  for (int i = 0; i < 8; ++i) {
    pixdim[i] = h.F32(kDim + 36 + 4 * i);
    std::snprintf(label, sizeof label, "pix dim[%d]:", i);
    Text_Label_Value(ctx, kLabel, label, "%.2f", static_cast<double>(pixdim[i]));
  }
  const float voxel_offset = h.F32(kDim + 68);
  Text_Label_Value(ctx, kLabel, "Voxel offset:", "%.0f", static_cast<double>(voxel_offset));
  Text_Label_Value(ctx, kLabel, "calibrated max:", "%.2f", static_cast<double>(h.F32(kDim + 84)));
  Text_Label_Value(ctx, kLabel, "calibrated min:", "%.2f", static_cast<double>(h.F32(kDim + 88)));
  Text_Label_Value(ctx, kLabel, "max pixel value:", "%d", h.I32(kDim + 100));
  Text_Label_Value(ctx, kLabel, "min pixel value:", "%d", h.I32(kDim + 104));

  if (n < 1 || n > 7) {
    Text_Error(ctx, Text_Input_Name(ima), "Analyze header: %d dimensions (1 to 7)", n);
    return 0;
  }
  if (!Set_Dimension(ctx, "Analyze", "dim[1]", h.I16(kDim + 2), ima.dim_x)) return 0;
  // A one-dimensional image is one row.
  if (n >= 2 && !Set_Dimension(ctx, "Analyze", "dim[2]", h.I16(kDim + 4), ima.dim_y)) return 0;
  if (n < 2) ima.dim_y = 1;
  if (n >= 3 && !Set_Dimension(ctx, "Analyze", "dim[3]", h.I16(kDim + 6), ima.dim_z)) return 0;
  if (n >= 4 && !Set_Dimension(ctx, "Analyze", "dim[4]", h.I16(kDim + 8), ima.dim_t)) return 0;

  ima.g2.pix_bits = static_cast<uint16_t>(std::max(bits, 0));
  if (!Data_Type(ctx, code, bits, ima)) return 0;
  source_bits = code == 16 ? 32 : code == 64 ? 64 : 0;

  auto& g1 = ima.g1;
  g1.pix_dim[0] = pixdim[1];
  g1.pix_dim[1] = pixdim[2];
  if (n >= 3) g1.pix_dim[2] = pixdim[3];
  if (n >= 4) g1.frame_time = pixdim[4];

  const double offset = std::trunc(static_cast<double>(voxel_offset));
  if (std::fabs(offset) > UINT32_MAX) {
    Text_Error(ctx, Text_Input_Name(ima), "Analyze header: voxel offset %.0f past 4 GiB", offset);
    return 0;
  }
  if (offset >= 0) {
    ima.header_size = static_cast<uint32_t>(offset);
    ima.ima_offset = ima.header_size;
  } else {
    // The absolute value comes before every image.
    ima.image_gap = static_cast<uint32_t>(-offset);
    if (ima.g2.compression == 0) ima.g2.compression = kTextGapped;
  }
  ima.g2.hdr_max = h.I32(kDim + 100);
  ima.g2.hdr_min = h.I32(kDim + 104);
  return 1;
}

int Analyze_Read_Header_History(const ReadContext& ctx, const Header& h, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Analyze_Read_Header_History()");
  static constexpr const char* kOrient[] = {"transverse unflipped", "coronal unflipped", "sagittal unflipped",
                                            "transverse flipped",   "coronal flipped",   "sagittal flipped"};
  int orient = h.Byte(kHist + 104);
  if (orient >= '0' && orient <= '5') orient -= '0';  // some writers store the digit
  Text_Label_Value(ctx, kLabel, "orientation:", "%s", orient <= 5 ? kOrient[orient] : "unknown");
  Field(ctx, "description:", h.Chars(kHist + 0, 80));
  Field(ctx, "aux file:", h.Chars(kHist + 80, 24));
  Field(ctx, "originator:", h.Chars(kHist + 105, 10));
  Field(ctx, "genrated:", h.Chars(kHist + 115, 10));
  Field(ctx, "scan num:", h.Chars(kHist + 125, 10));
  Field(ctx, "patient id:", h.Chars(kHist + 135, 10));
  Field(ctx, "exp date:", h.Chars(kHist + 145, 10));
  Field(ctx, "exp time:", h.Chars(kHist + 155, 10));

  if (orient <= 5) {
    static constexpr uint16_t kType[] = {1, 3, 2, 1, 3, 2};
    ima.image_type = kType[orient];
    if (orient <= 2) ima.flags |= kFlagBottomUp;
  }
  if (ima.g1.study_comment.empty()) ima.g1.study_comment = Field_Text(h.Chars(kHist + 0, 80));
  ima.g3.physician_name = Field_Text(h.Chars(kHist + 105, 10));
  ima.g3.patient_ID = Field_Text(h.Chars(kHist + 135, 10));
  return 1;
}

// The ".img" file beside the header; ".IMG" when only that one is there.
std::string Data_File(const ImageHeader& ima) {
  const std::string base = ima.path + ima.name;
  std::string name = base + ".img";
  if (!File_Exists(name.c_str()) && File_Exists((base + ".IMG").c_str())) name = base + ".IMG";
  return name;
}

}  // namespace

int Analyze_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Analyze_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 1;
  ima.image_type = 1;
  ima.g4.manufacturer = "Analyze";
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  uint8_t bytes[kHeaderSize];
  if (!KEMA_READ(ctx, *src, 0, bytes, sizeof bytes)) return 0;
  // The byte order is the one in which the header size reads 348; big-endian
  // when neither does.
  const bool little = Order_Get_I32(1, bytes) != 348 && Order_Get_I32(0, bytes) == 348;
  ima.g2.pix_swap = little ? 0 : 1;
  ima.flags |= kFlagNoCoherence;  // the header says the byte order: no guessing
  const Header h(bytes, little ? 0 : 1);
  Log_Print(ctx, 8, "--> %s-endian header", little ? "little" : "big");

  Text_Title(ctx, "------ ------ Analyze Header ------ ------");
  int source_bits = 0;
  if (!Analyze_Read_Header_Key(ctx, h) || !Analyze_Read_Header_Dimension(ctx, h, ima, source_bits) ||
      !Analyze_Read_Header_History(ctx, h, ima))
    return 0;
  Text_End(ctx);
  if (ima.input_type != 2) ima.file_data = Data_File(ima);
  Log_Print(ctx, 8, "--> ima->file_data: %s", ima.file_data.c_str());
  return Text_Check_Pixels(ctx, ima, "Analyze", true, source_bits);
}

// ---- pixels ----

namespace {

template <typename F, typename U>
F Load(const uint8_t* p, bool swap) {
  U u;
  std::memcpy(&u, p, sizeof u);
  if (swap) {
    if constexpr (sizeof(U) == 4) u = __builtin_bswap32(u);
    else u = __builtin_bswap64(u);
  }
  return std::bit_cast<F>(u);
}

template <typename F, typename U>
float Convert(const uint8_t* in, size_t n, bool swap, int32_t* out) {
  // The largest finite magnitude, and whether every value is a whole number.
  double top = 0.0;
  bool whole = true;
  for (size_t i = 0; i < n; ++i) {
    const double v = Load<F, U>(in + i * sizeof(U), swap);
    if (!std::isfinite(v)) continue;
    top = std::max(top, std::fabs(v));
    whole = whole && v == std::trunc(v);
  }
  int k = 0;  // slope 2^k
  if (top > 0.0 && !(whole && top <= 2147483647.0)) {
    int e;
    std::frexp(top, &e);  // top < 2^e
    k = std::clamp(e - 30, -126, 127);  // top / 2^k < 2^30: rounding cannot overflow
  }
  const double scale = std::ldexp(1.0, -k);
  constexpr double kMax = 2147483647.0, kMin = -2147483647.0;
  for (size_t i = 0; i < n; ++i) {
    double v = Load<F, U>(in + i * sizeof(U), swap);
    if (std::isnan(v)) v = 0.0;
    else if (std::isinf(v)) v = v > 0 ? top : -top;
    const double s = std::nearbyint(v * scale);
    out[i] = static_cast<int32_t>(std::clamp(s, kMin, kMax));
  }
  return std::ldexp(1.0f, k);
}

}  // namespace

float Analyze_Float_To_Int(const uint8_t* in, size_t n, unsigned bytes, bool swap, int32_t* out) {
  return bytes == 8 ? Convert<double, uint64_t>(in, n, swap, out) : Convert<float, uint32_t>(in, n, swap, out);
}

int Analyze_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Analyze_Read_Image()");
  const int8_t mode = ima.g2.compression;
  if (mode == kTextGapped) return Text_Read_Image(ctx, ima);
  if (mode != kAnalyzeFloat && mode != kAnalyzeDouble) return 0;
  const unsigned bytes = mode == kAnalyzeFloat ? 4 : 8;
  const uint64_t image_bytes = Text_Image_Bytes(ima, bytes * 8);
  PixelBuffer raw = Text_Gather_Images(ctx, ima, image_bytes);
  if (!raw) return 0;
  const size_t n = raw.size() / bytes;
  PixelBuffer out;
  if (bytes == 4) {
    out = std::move(raw);  // each sample is read before it is written over
  } else {
    out = KEMA_ALLOC_PIXELS(ctx, uint64_t{n} * 4, ima.name.c_str(), "ima->data", static_cast<long long>(n), 4);
    if (!out) return 0;
  }
  const uint8_t* in = bytes == 4 ? out.data() : raw.data();
  const float slope = Analyze_Float_To_Int(in, n, bytes, ima.g2.pix_swap != 0, reinterpret_cast<int32_t*>(out.data()));
  ima.g2.rescale_slope = slope;
  ima.g2.rescale_intercept = 0.0f;
  ima.g2.pix_store = 32;
  ima.g2.pix_swap = 0;
  ima.flags |= kFlagNoCoherence;
  Log_Print(ctx, 8, "--> %s samples to 32-bit integers, rescale slope %g", bytes == 4 ? "float" : "double",
            static_cast<double>(slope));
  ima.data = std::move(out);
  return 1;
}
