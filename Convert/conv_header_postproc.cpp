// Brings every record to one standard after its reader: spacing and field
// of view, direction vectors, slice position, the image/patient matrices,
// the pixel type code, and a few numbering quirks of single makers.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Convert/byte_source.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"
#include "Convert/write_DICOM_Attribute.h"

namespace {

constexpr double kDegToRad = 0.017453292;

bool Starts_With(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool Has_Direction(const Vec4& v) { return v[0] != 0.0f || v[1] != 0.0f || v[2] != 0.0f; }

// Unit vector of a patient direction code (1 right .. 6 head); false for a
// code outside the table.
bool Direction_Of_Code(int code, Vec4& v) {
  static constexpr float kDir[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
  if (code < 1 || code > 6) return false;
  v = {kDir[code - 1][0], kDir[code - 1][1], kDir[code - 1][2], 0.0f};
  return true;
}

using Mat4d = std::array<double, 16>;

Mat4d Identity() {
  Mat4d m{};
  m[0] = m[5] = m[10] = m[15] = 1.0;
  return m;
}

// Right-handed rotation about a unit axis, for row vectors (p' = p M).
Mat4d Rotation(const Vec4& axis, double degrees) {
  const double a = degrees * kDegToRad;
  const double c = std::cos(a), s = std::sin(a), t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  // The column-vector rotation R, stored transposed.
  const double r[3][3] = {{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                          {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                          {t * x * z - s * y, t * y * z + s * x, t * z * z + c}};
  Mat4d m = Identity();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i * 4 + j] = r[j][i];
  return m;
}

Mat4d Multiply(const Mat4d& a, const Mat4d& b) {
  Mat4d m{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) sum += a[i * 4 + k] * b[k * 4 + j];
      m[i * 4 + j] = sum;
    }
  return m;
}

// Direction vector (w = 0) times the matrix.
Vec4 Apply(const Vec4& v, const Mat4d& m) {
  Vec4 out{};
  for (int j = 0; j < 4; ++j) {
    double sum = 0.0;
    for (int i = 0; i < 4; ++i) sum += static_cast<double>(v[i]) * m[i * 4 + j];
    out[j] = static_cast<float>(sum);
  }
  return out;
}

// Gauss-Jordan elimination with partial pivoting. False, with a zero
// result, for a singular matrix or one holding NaN: no caller should get
// infinities out of the cursor read-out.
bool Matrix_Inverse(const Mat4& in, Mat4& out) {
  double a[4][8];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      a[i][j] = in[i * 4 + j];
      a[i][j + 4] = (i == j) ? 1.0 : 0.0;
    }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    double best = std::fabs(a[col][col]);
    for (int r = col + 1; r < 4; ++r)
      if (std::fabs(a[r][col]) > best) {
        best = std::fabs(a[r][col]);
        pivot = r;
      }
    if (!(best > 1e-30) || !std::isfinite(best)) {
      out.fill(0.0f);
      return false;
    }
    if (pivot != col)
      for (int j = 0; j < 8; ++j) std::swap(a[col][j], a[pivot][j]);
    const double p = a[col][col];
    for (int j = 0; j < 8; ++j) a[col][j] /= p;
    for (int r = 0; r < 4; ++r) {
      if (r == col) continue;
      const double f = a[r][col];
      if (f == 0.0) continue;
      for (int j = 0; j < 8; ++j) a[r][j] -= f * a[col][j];
    }
  }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const double v = a[i][j + 4];
      if (!std::isfinite(v)) {
        out.fill(0.0f);
        return false;
      }
      out[i * 4 + j] = static_cast<float>(v);
    }
  return true;
}

// Siemens SPI files may carry the series number in the study identifier.
void PostProc_Siemens_SPI(LogHandle log, ImageHeader& ima) {
  long n = ima.g1.study_num;
  if (!ima.g1.study_ID.empty()) {
    errno = 0;
    n = std::strtol(ima.g1.study_ID.c_str(), nullptr, 10);
    if (errno == ERANGE) n = n < 0 ? INT_MIN : INT_MAX;
  }
  if (n < 50 && ima.g1.series_num == 0) {
    ima.g1.series_num = static_cast<uint16_t>(n);
    ima.g1.study_ID.clear();
    ima.g1.study_num = 1;
    DICOM_Attribute_Delete(log, ima.DICOM_list, 0x0020, 0x0010);
    DICOM_Attribute_Delete(log, ima.DICOM_list, 0x0020, 0x0011);
  }
}

// ISAC files keep the header in one small file and the pixels in another
// of the same name.
void PostProc_Second_File(LogHandle log, ImageHeader& ima) {
  struct Pair {
    const char* ext;
    const char* image_ext;
  };
  static constexpr Pair kPairs[] = {{".INF", ".IMG"}, {".h", ".i"}};
  for (const Pair& pair : kPairs) {
    if (!Starts_With(ima.ext, pair.ext)) continue;
    Log_Print(log, 8, "--> 2 components ISAC file ");
    std::string image = ima.path + ima.name + pair.image_ext;
    if (ByteSource::Open_File(image)) {
      ima.file_data = std::move(image);
      ima.g2.compression = 0;
    } else {
      Log_Print(log, 2, "\x04WARNING:\x02 unable to locate image part!");
    }
  }
}

void PostProc_Toshiba(LogHandle log, ImageHeader& ima) {
  if (Starts_With(ima.g4.manufacturer, "TOSHIB")) {
    if (Starts_With(ima.g4.model, "Xvision")) {
      std::swap(ima.g1.acq_num, ima.g1.image_num);
      DICOM_Attribute_Delete(log, ima.DICOM_list, 0x0020, 0x0012);
      DICOM_Attribute_Delete(log, ima.DICOM_list, 0x0020, 0x0013);
    }
    ima.g1.label_mode = 2;
  }
  if (Starts_With(ima.g4.model, "Xspee")) ima.g1.label_mode = 2;
}

void PostProc_Spacing(ImageHeader& ima) {
  const uint16_t dims[3] = {ima.dim_x, ima.dim_y, ima.dim_z};
  auto& g1 = ima.g1;
  for (int i = 0; i < 3; ++i) {
    // A dimension of 0 gives no spacing from the field of view.
    if (g1.pix_dim[i] == 0.0f && g1.fov[i] != 0.0f && dims[i] != 0) g1.pix_dim[i] = g1.fov[i] / dims[i];
    if (g1.pix_dim[i] == 0.0f) g1.pix_dim[i] = g1.pix_size[i] != 0.0f ? g1.pix_size[i] : 1.0f;
    if (i < 2 && g1.pix_dim[i] < 0.0f) {
      Vec4& dir = i == 0 ? g1.dir_h : g1.dir_v;
      for (int k = 0; k < 3; ++k) dir[k] = -dir[k];
      g1.pix_dim[i] = -g1.pix_dim[i];
    }
    if (g1.pix_size[i] == 0.0f) g1.pix_size[i] = g1.pix_dim[i];
    if (g1.fov[i] == 0.0f) g1.fov[i] = dims[i] * g1.pix_size[i];
  }
}

uint8_t Pixel_Type_Code(const ImageG2& g2) {
  int bytes_code;
  switch (g2.pix_store) {
    case 8: bytes_code = 2; break;
    case 16: bytes_code = 4; break;
    case 32: bytes_code = 8; break;
    default: return g2.pix_type;
  }
  switch (g2.pix_plane) {
    case 1:
    case 2: return static_cast<uint8_t>(bytes_code + (g2.pix_sign ? 1 : 0));
    case 3: return static_cast<uint8_t>(0x80 | bytes_code);
    case 4: return static_cast<uint8_t>(0xC0 | bytes_code);
    default: return g2.pix_type;
  }
}

}  // namespace

bool Image_Slice_Position(const ImageHeader& ima, const Vec4& position, float& slice_pos) {
  const Vec4& n = ima.g1.dir_n;
  const float a = std::fabs(n[0]), b = std::fabs(n[1]), c = std::fabs(n[2]);
  constexpr float kTiny = 1e-30f;
  if (a > b && a > c) {
    if (!(a > kTiny)) return false;
    slice_pos = position[0] / n[0];
  } else if (b > a && b > c) {
    if (!(b > kTiny)) return false;
    slice_pos = position[1] / n[1];
  } else if (c > kTiny && c >= a && c >= b) {
    slice_pos = position[2] / n[2];
  } else if (a == b && a > c && a > kTiny) {
    // x and y share the lead (a plane at 45 degrees): x decides rather
    // than a vanishing z.
    slice_pos = position[0] / n[0];
  } else {
    return false;
  }
  return true;
}

int Image_Orientation(LogHandle log, ImageHeader& ima) {
  Log_Print(log, 9, "in Image_Orientation()");
  auto& g1 = ima.g1;
  if (Has_Direction(g1.dir_h) && Has_Direction(g1.dir_v)) return 1;

  const bool is_ct = ima.modality == kModalityCT;
  Vec4 h{}, v{};
  // Codes outside 1..6 name no direction: the standard plane is chosen.
  if (g1.orient_h != 0 && g1.orient_v != 0 && Direction_Of_Code(g1.orient_h, h) && Direction_Of_Code(g1.orient_v, v)) {
    g1.dir_h = h;
    g1.dir_v = v;
    const float tilt = ima.g4.ct.gantry_tilt;
    if (is_ct && tilt != 0.0f) {
      const double angle = ima.g3.patient_entry == 32 ? -static_cast<double>(tilt) : tilt;
      g1.dir_v = Apply(g1.dir_v, Rotation(g1.dir_h, angle));
    }
    return 1;
  }

  // From here on the directions are a standard plane's, not the file's:
  // writers of patient geometry must not present them as measured.
  ima.flags |= kFlagDirDefault;
  enum { kAxial, kSagittal, kCoronal } plane = kAxial;
  const uint16_t type = ima.image_type;
  if (type == 3 || type == 7 || std::fabs(g1.dir_n[1]) > 0.8f)
    plane = kCoronal;
  else if (type == 2 || type == 5 || type == 6 || std::fabs(g1.dir_n[0]) > 0.8f)
    plane = kSagittal;
  const bool head_first = ima.g3.patient_entry == 16;
  const int column = ima.g3.patient_position >= 2 && ima.g3.patient_position <= 4 ? ima.g3.patient_position - 2 : 3;

  // [plane][head first][P = 2, 3, 4, other] -> H, V
  struct HV {
    float h[3];
    float v[3];
  };
  static constexpr HV kTable[3][2][4] = {
      {// axial: otherwise, head first
       {{{1, 0, 0}, {0, 1, 0}}, {{0, -1, 0}, {1, 0, 0}}, {{0, 1, 0}, {-1, 0, 0}}, {{-1, 0, 0}, {0, -1, 0}}},
       {{{-1, 0, 0}, {0, 1, 0}}, {{0, 1, 0}, {1, 0, 0}}, {{0, -1, 0}, {-1, 0, 0}}, {{1, 0, 0}, {0, -1, 0}}}},
      {// sagittal
       {{{0, 0, -1}, {0, 1, 0}}, {{0, 0, -1}, {1, 0, 0}}, {{0, 0, -1}, {-1, 0, 0}}, {{0, 0, -1}, {0, -1, 0}}},
       {{{0, 0, 1}, {0, 1, 0}}, {{0, 0, 1}, {1, 0, 0}}, {{0, 0, 1}, {-1, 0, 0}}, {{0, 0, 1}, {0, -1, 0}}}},
      {// coronal
       {{{1, 0, 0}, {0, 0, -1}}, {{0, 1, 0}, {0, 0, -1}}, {{0, -1, 0}, {0, 0, -1}}, {{-1, 0, 0}, {0, 0, -1}}},
       {{{1, 0, 0}, {0, 0, 1}}, {{0, -1, 0}, {0, 0, 1}}, {{0, 1, 0}, {0, 0, 1}}, {{-1, 0, 0}, {0, 0, 1}}}},
  };
  const bool first = plane == kAxial ? (head_first || (ima.flags & kFlagHeadFirstAxial)) : head_first;
  const HV& hv = kTable[plane][first ? 1 : 0][column];
  g1.dir_h = {hv.h[0], hv.h[1], hv.h[2], 0.0f};
  g1.dir_v = {hv.v[0], hv.v[1], hv.v[2], 0.0f};

  Log_Print(log, 6, "a--> V: %.2f %.2f %.2f ", g1.dir_v[0], g1.dir_v[1], g1.dir_v[2]);
  if (ima.flags & kFlagRowsReversed)
    Log_Print(log, 6, "b--> V: %.2f %.2f %.2f ", -g1.dir_v[0], -g1.dir_v[1], -g1.dir_v[2]);
  else
    Log_Print(log, 6, "b--> V: %.2f %.2f %.2f ", g1.dir_v[0], g1.dir_v[1], g1.dir_v[2]);

  const float swivel = ima.g4.ct.gantry_swivel;
  const float tilt = ima.g4.ct.gantry_tilt;
  if (is_ct && (swivel != 0.0f || tilt != 0.0f)) {
    Mat4d m = Identity();
    if (swivel != 0.0f) m = Multiply(m, Rotation(Vec4{0, 0, 1, 0}, swivel));
    if (tilt != 0.0f) m = Multiply(m, Rotation(g1.dir_h, -static_cast<double>(tilt)));
    g1.dir_h = Apply(g1.dir_h, m);
    g1.dir_v = Apply(g1.dir_v, m);
  }
  Log_Print(log, 6, "d--> H: %.2f %.2f %.2f ", g1.dir_h[0], g1.dir_h[1], g1.dir_h[2]);
  Log_Print(log, 6, "d--> V: %.2f %.2f %.2f ", g1.dir_v[0], g1.dir_v[1], g1.dir_v[2]);
  return 1;
}

void Image_Geometry_Matrices(LogHandle log, ImageG1& g1) {
  for (int k = 0; k < 3; ++k) {
    g1.ima_to_pat[0 + k] = g1.dir_h[k] * g1.pix_dim[0];
    g1.ima_to_pat[4 + k] = g1.dir_v[k] * g1.pix_dim[1];
    g1.ima_to_pat[8 + k] = g1.dir_n[k] * g1.pix_dim[2];
    g1.ima_to_pat[12 + k] = g1.position[k];
  }
  g1.ima_to_pat[3] = g1.ima_to_pat[7] = g1.ima_to_pat[11] = 0.0f;
  g1.ima_to_pat[15] = 1.0f;
  if (!Matrix_Inverse(g1.ima_to_pat, g1.pat_to_ima))
    Log_Print(log, 8, "--> singular image matrix: no patient-to-image matrix");
}

int Image_Header_PostProc(LogHandle log, ImageHeader& ima) {
  Log_Print(log, 8, "in Image_Header_PostProc()");
  if (ima.dim_z == 0) ima.dim_z = 1;
  if (ima.dim_t == 0) ima.dim_t = 1;
  auto& g1 = ima.g1;
  auto& g2 = ima.g2;

  if (ima.format == 38 || ima.format == 39) PostProc_Siemens_SPI(log, ima);
  if (ima.format == 14) std::swap(g1.acq_num, g1.image_num);
  switch (ima.format) {
    case 20: case 21: case 24: case 26: case 27: case 28:
      if (ima.input_type == 1 && ima.file_size <= 4096) PostProc_Second_File(log, ima);
      break;
    default:
      break;
  }
  switch (ima.format) {
    case 20: case 21: case 27: case 28: PostProc_Toshiba(log, ima); break;
    default: break;
  }

  PostProc_Spacing(ima);
  if (!Image_Orientation(log, ima)) return 0;

  if (ima.flags & kFlagPosCentre) {
    const float dx = static_cast<float>(ima.dim_x / 2) * g1.pix_dim[0];
    const float dy = static_cast<float>(ima.dim_y / 2) * g1.pix_dim[1];
    for (int k = 0; k < 4; ++k) g1.position[k] -= dx * g1.dir_h[k];
    for (int k = 0; k < 4; ++k) g1.position[k] -= dy * g1.dir_v[k];
  }
  if (ima.flags & kFlagRowsReversed) {
    // The positions of the single images (multi-image files) turn with the
    // record, each by its own height and column direction.
    const size_t frames = std::min(g1.frame_pos.size(), size_t{ima.dim_z} * ima.dim_t);
    for (size_t f = 0; f < frames; ++f) {
      FrameGeometry* g = f < g1.frame_geom.size() ? &g1.frame_geom[f] : nullptr;
      const Vec4& v = g && (g->has & kGeomDir) ? g->dir_v : g1.dir_v;
      const float dy = g && (g->has & kGeomPixel) ? g->pix_dim[1] : g1.pix_dim[1];
      for (int k = 0; k < 3; ++k) g1.frame_pos[f][k] += static_cast<float>(ima.dim_y) * dy * v[k];
    }
    for (FrameGeometry& g : g1.frame_geom)
      if (g.has & kGeomDir)
        for (int k = 0; k < 3; ++k) g.dir_v[k] = -g.dir_v[k];
    const float height = static_cast<float>(ima.dim_y) * g1.pix_dim[1];
    for (int k = 0; k < 4; ++k) g1.position[k] += height * g1.dir_v[k];
    for (int k = 0; k < 4; ++k) g1.dir_v[k] = -g1.dir_v[k];
  }
  if (g1.dir_n[3] == 0.0f) {
    const Vec4& h = g1.dir_h;
    const Vec4& v = g1.dir_v;
    g1.dir_n[0] = h[1] * v[2] - h[2] * v[1];
    g1.dir_n[1] = h[2] * v[0] - h[0] * v[2];
    g1.dir_n[2] = h[0] * v[1] - h[1] * v[0];
  }
  if (g1.position[0] == 0.0f && ima.g4.slice_location != 0.0f)
    for (int k = 0; k < 4; ++k) g1.position[k] = ima.g4.slice_location * g1.dir_n[k];

  if (!Image_Slice_Position(ima, g1.position, g1.slice_pos)) {
    Log_Print(log, 6, "file:%s line:%d", KEMA_SRC, __LINE__);
    Log_Print(log, 6, "no image direction vectors!");
    return 0;
  }

  Image_Geometry_Matrices(log, g1);

  if (g2.pix_store < g2.pix_bits) g2.pix_store = static_cast<uint16_t>((g2.pix_bits + 7) / 8 * 8);
  g2.pix_type = Pixel_Type_Code(g2);
  if (g2.pix_type & 0x80) g2.pix_fill = 0;
  if (g2.pix_bits == 0) g2.pix_bits = g2.pix_store;
  // With no bit count at all there is no top bit to name.
  if (g2.pix_high == 0 && g2.pix_bits != 0) g2.pix_high = static_cast<uint8_t>(g2.pix_bits - 1);

  if (ima.g3.patient_name.empty() && !ima.name.empty()) {
    try {
      ima.g3.patient_name = ima.name;
    } catch (const std::bad_alloc&) {
      Report_Strdup(log, KEMA_SRC, __LINE__, "ima->g3.patient_name");
      return 0;
    }
  }
  return 1;
}
