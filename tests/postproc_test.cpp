// Header and image post-processing: geometry, pixel type, makers' fixes,
// value range, byte-order repair and flips.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using V3 = std::array<float, 3>;
using Ints = std::vector<int>;

class PostProcTest : public ::testing::Test {
 protected:
  fixtures::LogCapture log_{5};
};

// A record as the header reader hands it to a format reader.
ImageHeader Fresh(uint16_t dim_x = 4, uint16_t dim_y = 4) {
  ImageHeader ima;
  ima.dim_x = dim_x; ima.dim_y = dim_y; ima.dim_z = ima.dim_t = 1;
  ima.g2.pix_plane = 1; ima.g2.pix_store = 8; ima.g2.pix_fill = -32768; ima.g2.rescale_slope = 1.0f;
  return ima;
}

template <typename T>
ImageHeader Grey(uint8_t pix_type, uint16_t dim_x, uint16_t dim_y, const std::vector<T>& values) {
  ImageHeader ima = Fresh(dim_x, dim_y);
  ima.g2.pix_type = pix_type; ima.g2.pix_sign = pix_type & 1; ima.g2.pix_store = ima.g2.pix_bits = sizeof(T) * 8;
  ima.data = PixelBuffer::Allocate(values.size() * sizeof(T));
  std::memcpy(ima.data.data(), values.data(), values.size() * sizeof(T));
  return ima;
}

template <typename T>
std::vector<T> Values(const PixelBuffer& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

void Expect_HV(const ImageHeader& ima, const V3& h, const V3& v, long row) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(ima.g1.dir_h[i], h[i], 1e-6) << "row " << row << " H[" << i << "]";
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(ima.g1.dir_v[i], v[i], 1e-6) << "row " << row << " V[" << i << "]";
}

// ---------------------------------------------------------------- geometry

TEST_F(PostProcTest, SpacingSizeAndFieldOfViewCompleteEachOther) {
  struct { uint16_t dim_x, dim_y; V3 fov, size, dim, want_dim, want_fov; float sign_h, sign_v; }
  cases[] = {
      {256, 256, {250, 250, 0}, {}, {}, {0.9765625f, 0.9765625f, 1}, {250, 250, 1}, 1, 1},
      {200, 100, {}, {0.5f, 0.75f, 3}, {}, {0.5f, 0.75f, 3}, {100, 75, 3}, 1, 1},
      {10, 10, {}, {}, {-0.7f, 0.8f, 2}, {0.7f, 0.8f, 2}, {7, 8, 2}, -1, 1},  // its vector turns round
      {10, 10, {}, {}, {0.7f, -0.8f, 2}, {0.7f, 0.8f, 2}, {7, 8, 2}, 1, -1},
      {0, 0, {100, 100, 0}, {}, {}, {1, 1, 1}, {100, 100, 1}, 1, 1},  // no division by zero
  };
  for (const auto& k : cases) {
    ImageHeader ima = Fresh(k.dim_x, k.dim_y);
    ima.dim_z = ima.dim_t = 0;
    ima.g1.fov = k.fov; ima.g1.pix_size = k.size; ima.g1.pix_dim = k.dim;
    ima.g1.dir_h = {1, 0, 0, 0}; ima.g1.dir_v = {0, 1, 0, 0};
    ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
    EXPECT_EQ(std::tuple(ima.g1.pix_dim, ima.g1.pix_size, ima.g1.fov), std::tuple(k.want_dim, k.want_dim, k.want_fov));
    EXPECT_EQ(std::tuple(ima.dim_z, ima.dim_t, ima.g1.dir_h[0], ima.g1.dir_v[1]), std::tuple(1, 1, k.sign_h, k.sign_v));
  }
}

TEST_F(PostProcTest, DirectionsFollowPlaneEntryPositionCodesAndGantry) {
  const float c30 = std::cos(30 * 0.017453292f), s30 = std::sin(30 * 0.017453292f);
  const float c20 = std::cos(20 * 0.017453292f), s20 = std::sin(20 * 0.017453292f);
  struct { uint16_t type; uint8_t entry, position; uint32_t flags; Vec4 normal; int16_t code_h, code_v; V3 h, v;
           float tilt = 0, swivel = 0; uint16_t modality = kModalityCT; } cases[] = {
      {1, 16, 1, 0, {}, 0, 0, {1, 0, 0}, {0, -1, 0}},                // axial head first supine
      {1, 32, 1, 0, {}, 0, 0, {-1, 0, 0}, {0, -1, 0}},               // axial feet first supine
      {1, 32, 1, 0x100, {}, 0, 0, {1, 0, 0}, {0, -1, 0}},            // 0x100: head-first axes
      {1, 16, 2, 0, {}, 0, 0, {-1, 0, 0}, {0, 1, 0}},                // prone
      {1, 32, 3, 0, {}, 0, 0, {0, -1, 0}, {1, 0, 0}},                // decubitus left, feet first
      {1, 16, 4, 0, {}, 0, 0, {0, -1, 0}, {-1, 0, 0}},               // decubitus right
      {2, 16, 4, 0, {}, 0, 0, {0, 0, 1}, {-1, 0, 0}},                // sagittal by type
      {1, 32, 1, 0, {0.9f, 0, 0, 1}, 0, 0, {0, 0, -1}, {0, -1, 0}},  // sagittal by normal
      {5, 32, 2, 0, {}, 0, 0, {0, 0, -1}, {0, 1, 0}},                // scout is sagittal
      {7, 32, 3, 0, {}, 0, 0, {0, 1, 0}, {0, 0, -1}},                // coronal by type
      {2, 16, 3, 0, {0, 0.9f, 0, 1}, 0, 0, {0, -1, 0}, {0, 0, 1}},   // normal along y beats type
      {3, 32, 1, 0x100, {}, 0, 0, {-1, 0, 0}, {0, 0, -1}},           // 0x100 is for axial only
      // Direction codes 1..6 are -x, +x, -y, +y, -z, +z, and win when both are known.
      {1, 16, 1, 0, {}, 1, 6, {-1, 0, 0}, {0, 0, 1}},
      {1, 16, 1, 0, {}, 2, 5, {1, 0, 0}, {0, 0, -1}},
      {1, 16, 1, 0, {}, 3, 4, {0, -1, 0}, {0, 1, 0}},
      {1, 16, 1, 0, {}, 9, 5, {1, 0, 0}, {0, -1, 0}},
      // Gantry with direction codes: V turns about H by the tilt, the other way feet first.
      {0, 16, 0, 0, {}, 2, 4, {1, 0, 0}, {0, c30, s30}, 30},
      {0, 32, 0, 0, {}, 2, 4, {1, 0, 0}, {0, c30, -s30}, 30},
      {0, 16, 0, 0, {}, 2, 4, {1, 0, 0}, {0, 1, 0}, 30, 0, kModalityMR},
      // Standard plane (H +x, V -y): both turn about H by minus the tilt;
      // the swivel comes first, the tilt is about H as it was before it.
      {0, 16, 0, 0, {}, 0, 0, {1, 0, 0}, {0, -c20, s20}, 20},
      {0, 16, 0, 0, {}, 0, 0, {0, 1, 0}, {1, 0, 0}, 0, 90},
      {0, 16, 0, 0, {}, 0, 0, {0, c30, -s30}, {1, 0, 0}, 30, 90},
      {0, 16, 0, 0, {}, 0, 0, {1, 0, 0}, {0, -1, 0}, 30, 90, kModalityMR},
  };
  for (const auto& k : cases) {
    ImageHeader ima = Fresh();
    ima.image_type = k.type; ima.g3.patient_entry = k.entry; ima.g3.patient_position = k.position;
    ima.flags = k.flags; ima.g1.dir_n = k.normal; ima.g1.orient_h = k.code_h; ima.g1.orient_v = k.code_v;
    ima.modality = k.modality; ima.g4.ct.gantry_tilt = k.tilt; ima.g4.ct.gantry_swivel = k.swivel;
    ASSERT_EQ(Image_Orientation(nullptr, ima), 1);
    Expect_HV(ima, k.h, k.v, &k - cases);
  }
}

TEST_F(PostProcTest, PositionFlagsAndSlicePosition) {
  // H +x, V +y: the normal is +z unless the reader gave one (w set).
  struct { uint16_t dim_x, dim_y; uint32_t flags; V3 pix_dim; Vec4 position, normal; float location; bool ok;
           Vec4 want_position; float want_slice; } cases[] = {
      {4, 4, 0, {1, 1, 1}, {5, 6, 37.5f, 0}, {}, 0, true, {5, 6, 37.5f, 0}, 37.5f},
      {4, 4, 0, {1, 1, 1}, {}, {}, 12, true, {0, 0, 12, 0}, 12},  // at the slice location on the normal
      {4, 4, 0, {1, 1, 1}, {45, 1, 1, 0}, {-0.5f, 0.1f, 0.1f, 1}, 0, true, {45, 1, 1, 0}, -90},  // x leads
      // x and y sharing the lead: x decides, not a vanishing z.
      {4, 4, 0, {1, 1, 1}, {10, 20, 0, 0}, {0.70710677f, -0.70710677f, 0, 1}, 0, true, {10, 20, 0, 0}, 14.142136f},
      {4, 4, 0, {1, 1, 1}, {6, 20, 3, 0}, {0.6f, 0.6f, 0.6f, 1}, 0, true, {6, 20, 3, 0}, 5},
      // 0x10: 128 columns of 0.5 along H, 127 rows (255 / 2) of 0.25 along V back.
      {256, 255, 0x10, {0.5f, 0.25f, 1}, {10, 20, 30, 0}, {}, 0, true, {-54, -11.75f, 30, 0}, 30},
      // 0x20: the full height (3 rows of 2) along V, then V and the normal turned round.
      {4, 3, 0x20, {2, 2, 1}, {1, 2, 3, 7}, {}, 0, true, {1, 8, 3, 7}, -3},
      // No usable normal: a failure, and its message.
      {4, 4, 0, {1, 1, 1}, {1, 2, 3, 0}, {0, 0, 0, 1}, 0, false, {}, 0},
      {4, 4, 0, {1, 1, 1}, {1, 2, 3, 0}, {1e-35f, 0, 0, 1}, 0, false, {}, 0},
      {4, 4, 0, {1, 1, 1}, {1, 2, 3, 0}, {NAN, 0, 1, 1}, 0, false, {}, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    log_.clear();
    ImageHeader ima = Fresh(k.dim_x, k.dim_y);
    ima.flags = k.flags; ima.g1.orient_h = 2; ima.g1.orient_v = 4; ima.g1.pix_dim = k.pix_dim;
    ima.g1.position = k.position; ima.g1.dir_n = k.normal; ima.g4.slice_location = k.location;
    ASSERT_EQ(Image_Header_PostProc(nullptr, ima), k.ok ? 1 : 0);
    EXPECT_EQ(log_.Has("no image direction vectors!", 6), !k.ok);
    if (!k.ok) continue;
    EXPECT_EQ(ima.g1.position, k.want_position);
    EXPECT_FLOAT_EQ(ima.g1.slice_pos, k.want_slice);
    const float turn = k.flags & 0x20 ? -1 : 1;
    EXPECT_EQ(ima.g1.dir_v[1], turn);
    if (k.normal[3] == 0) {
      EXPECT_EQ(ima.g1.dir_n, (Vec4{0, 0, turn, 0}));
    }
  }
}

TEST_F(PostProcTest, ImageToPatientMatrixAndItsInverse) {
  ImageHeader ima = Fresh(64, 64);
  ima.g1.dir_h = {0.6f, 0.8f, 0, 0}; ima.g1.dir_v = {0, 0, 1, 0};
  ima.g1.pix_dim = {0.5f, 0.25f, 3}; ima.g1.position = {10, -20, 30, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
  const Mat4& m = ima.g1.ima_to_pat;
  const Mat4 want = {0.3f, 0.4f, 0, 0, 0, 0, 0.25f, 0, 2.4f, -1.8f, 0, 0, 10, -20, 30, 1};
  for (int i = 0; i < 16; ++i) {
    EXPECT_FLOAT_EQ(m[i], want[i]) << i;
    float product = 0;  // of ima_to_pat and pat_to_ima
    for (int k = 0; k < 4; ++k) product += m[i / 4 * 4 + k] * ima.g1.pat_to_ima[k * 4 + i % 4];
    EXPECT_NEAR(product, i % 5 == 0 ? 1.0f : 0.0f, 1e-6) << i;
  }
  // A NaN or vanishing spacing: a zero inverse rather than infinities.
  for (float spacing : {NAN, 1e-35f}) {
    ImageHeader bad = Fresh();
    bad.g1.pix_dim = {spacing, 1, 1};
    ASSERT_EQ(Image_Header_PostProc(nullptr, bad), 1);
    EXPECT_EQ(bad.g1.pat_to_ima, Mat4{}) << spacing;
  }
}

// ------------------------------------------------------ pixel description

TEST_F(PostProcTest, PixelTypeAndBits) {
  // want: type, store, bits, high, padding value
  struct { uint8_t plane; uint16_t store, bits; uint8_t sign, high; Ints want; } cases[] = {
      {3, 8, 0, 0, 0, {130, 8, 8, 7, 0}}, {4, 16, 0, 0, 0, {196, 16, 16, 15, 0}},  // colour: no padding value
      {1, 16, 12, 0, 0, {4, 16, 12, 11, -32768}}, {2, 32, 0, 1, 15, {9, 32, 32, 15, -32768}},
      {1, 12, 0, 0, 0, {0, 12, 12, 11, -32768}},  // packed 12-bit: no type code
      {1, 8, 12, 1, 0, {5, 16, 12, 11, -32768}},  // storage grows to whole bytes
      {1, 0, 0, 0, 0, {0, 0, 0, 0, -32768}},      // no bits: no top bit invented
  };
  for (const auto& k : cases) {
    ImageHeader ima = Fresh();
    ima.g2.pix_plane = k.plane; ima.g2.pix_store = k.store; ima.g2.pix_bits = k.bits;
    ima.g2.pix_sign = k.sign; ima.g2.pix_high = k.high;
    ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
    const auto& g2 = ima.g2;
    EXPECT_EQ((Ints{g2.pix_type, g2.pix_store, g2.pix_bits, g2.pix_high, g2.pix_fill}), k.want) << &k - cases;
  }
}

TEST_F(PostProcTest, MakersNumberingAndPatientName) {
  // Records of file IM7 with acquisition 3, image 9, study 99 and the
  // attributes (0020,0010..0013). want: series, study, acquisition, image,
  // label mode; `tags`: last digits of the attributes left.
  struct { uint16_t format; const char *maker, *model, *study_id; uint16_t study_num, series; const char* patient;
           Ints want; std::string want_id, tags; } cases[] = {
      // Siemens SPI: a study number under 50 is the series number.
      {38, "", "", "7", 99, 0, "", {7, 1, 3, 9, 0}, "", "23"},
      {39, "", "", "", 3, 0, "", {3, 1, 3, 9, 0}, "", "23"},
      {38, "", "", "77", 99, 0, "", {0, 99, 3, 9, 0}, "77", "0123"},
      {38, "", "", "7", 99, 2, "", {2, 99, 3, 9, 0}, "7", "0123"},
      // Pace and Toshiba Xvision swap acquisition and image numbers.
      {14, "", "", "", 99, 0, "", {0, 99, 9, 3, 0}, "", "0123"},
      {20, "TOSHIBA", "Xvision/EX", "", 99, 0, "", {0, 99, 9, 3, 2}, "", "01"},
      {27, "TOSHIBA", "Aquilion", "", 99, 0, "DOE^JOHN", {0, 99, 3, 9, 2}, "", "0123"},
      {28, "", "Xspeed", "", 99, 0, "", {0, 99, 3, 9, 2}, "", "0123"},
      {12, "TOSHIBA", "Xvision", "", 99, 0, "", {0, 99, 3, 9, 0}, "", "0123"},  // GE Genesis
  };
  for (const auto& k : cases) {
    ImageHeader ima = Fresh();
    ima.format = k.format; ima.g4.manufacturer = k.maker; ima.g4.model = k.model; ima.g3.patient_name = k.patient;
    ima.name = "IM7"; ima.g1.study_ID = k.study_id; ima.g1.study_num = k.study_num; ima.g1.series_num = k.series;
    ima.g1.acq_num = 3; ima.g1.image_num = 9;
    for (uint16_t e = 0x10; e <= 0x13; ++e) ima.DICOM_list.push_back({0x20, e, 0, {}});
    ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
    std::string tags;
    for (const auto& a : ima.DICOM_list) tags += std::to_string(a.element - 0x10);
    const auto& g1 = ima.g1;
    EXPECT_EQ((Ints{g1.series_num, g1.study_num, g1.acq_num, g1.image_num, g1.label_mode}), k.want) << &k - cases;
    EXPECT_EQ(std::tuple(g1.study_ID, tags, ima.g3.patient_name),
              std::tuple(k.want_id, k.tags, *k.patient ? k.patient : "IM7")) << &k - cases;
  }
}

TEST_F(PostProcTest, SecondFileHoldsTheImagePart) {
  const fixtures::TempDir tmp;
  const std::string dir = tmp.path.string() + "/";
  std::ofstream(dir + "scan.IMG") << "pixels";
  // Bigger than 4096 bytes it is no header file: no search.
  struct { uint16_t format; std::string ext; uint32_t size; std::string want, errors; } cases[] = {
      {20, ".INF", 1000, ".IMG", ""},
      {24, ".h", 4096, ".h", "\x04WARNING:\x02 unable to locate image part!\n"},
      {20, ".INF", 4097, ".INF", ""},
  };
  for (const auto& k : cases) {
    log_.clear();
    ImageHeader ima = Fresh();
    ima.format = k.format; ima.input_type = 1; ima.file_size = k.size; ima.g2.compression = 3;
    ima.path = dir; ima.name = "scan"; ima.ext = k.ext; ima.file_data = dir + "scan" + k.ext;
    ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
    EXPECT_EQ(std::tuple(ima.file_data, int{ima.g2.compression}, log_.Joined(2)),
              std::tuple(dir + "scan" + k.want, k.want == ".IMG" ? 0 : 3, k.errors));
  }
}

// ---------------------------------------------------------- pre-processing

TEST_F(PostProcTest, PreProcRefusesCompressionNobodyDecodes) {
  auto pre = [this](uint16_t format, int8_t compression, const std::string& name) {
    log_.clear();
    ImageHeader ima = Fresh();
    ima.format = format; ima.g2.compression = compression; ima.name = name;
    return Image_Image_PreProc(nullptr, ima);
  };
  const std::string no = "\xF1\x04" "ERROR:\x01 no compression supported for ";
  const std::string unsupported = "\xF1\x04" "ERROR:\x01 unsupported image type ! (format=";
  struct { uint16_t format; int8_t compression; std::string name; int result; std::string errors; } cases[] = {
      {2, 0, "head", 1, ""},
      {2, 3, "head", 0, no + "IGB images !\n\xF1\x01\t\t file:\x02head\x01 compression:\x02" "3\n"},
      {10, 1, "", 0, no + "SIGNA_3 images !\n"},
      {35, 1, "", 0, no + "SIEMENS NATIVE images !\n"},
      {71, 1, "", 0, no + "Interfile images !\n"},
      {36, 1, "s1", 0, "\xF1\x04" "ERROR:\x01 SIEMENS compressed SPI !\n\xF1\x01\t\t file: \x02s1 \n"
                       "\xF1\x01\t\t I can not read the SIEMENS SOMATOM compressed images.\n"},
      {41, 1, "", 0, "\xF1\x04" "ERROR:\x01 Elscint proprietary format !\n"
                     "\xF1\x01\t\t I can not read the Elscint \"Lossless Rice\"images.\n"},
      {60, 1, "pq", 1, ""},
      {60, 3, "pq", 0, no + "Picker IQ/PQ images !\n\xF1\x01\t\t file:\x02pq\x01 compression:\x02" "2\n"},
      {99, 1, "", 0, unsupported + "99)\xF0\n\n"},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(pre(k.format, k.compression, k.name), k.result) << k.format;
    EXPECT_EQ(log_.Joined(2), k.errors) << k.format;
  }
  for (uint16_t format : {12, 14, 15, 16, 20, 24, 25, 28, 38, 39, 45, 46, 50, 81, 82, 103})
    EXPECT_EQ(pre(format, 5, ""), 1) << format;
  for (uint16_t format : {30, 33, 90, 91, 100}) EXPECT_EQ(pre(format, 5, ""), 0) << format;
  // Elscint's own pre-processing decides: here it finds no file to build its line tables from.
  EXPECT_EQ(pre(40, 1, "x"), 0);
  EXPECT_EQ(log_.Joined(2).find("unsupported image type"), std::string::npos);
}

// ------------------------------------------------------------ value range

TEST_F(PostProcTest, MinMaxAgreesWithTheAccessorForEachSampleType) {
  // One random buffer of several images, many vector blocks and a tail,
  // read as each type with the padding value sprinkled in.
  struct { uint8_t pix_type; size_t bytes; int32_t fill; } cases[] = {
      {kPixU8, 1, 7},   {kPixS8, 1, -3},       {kPixS8, 1, 300},  // 300: no 8-bit value is padding
      {kPixU16, 2, 0},  {kPixU16, 2, -32768},  {kPixS16, 2, -32768}, {kPixS16, 2, -2000},
      {kPixU32, 4, -5}, {kPixS32, 4, -32768},  {kPixS32, 4, 12345678},
      {kPixRGB8, 3, -32768}, {kPixRGBA16, 8, -32768},
  };
  std::mt19937 rng(12345);
  std::vector<uint8_t> random(301 * 299 * 8);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  for (const auto& k : cases) {
    ImageHeader ima = Grey<uint8_t>(k.pix_type, 301, 299, random);
    ima.dim_z = static_cast<uint16_t>(8 / k.bytes);
    ima.g2.pix_store = 16; ima.g2.pix_fill = k.fill;  // 16: past the 8-bit shortcut
    const size_t n = size_t{301} * 299 * ima.dim_z;
    uint8_t* p = ima.data.data();
    if (!(k.pix_type & 0x80)) {
      for (size_t i = 0; i < n; i += 7) std::memcpy(p + i * k.bytes, &k.fill, k.bytes);
      // The type's largest value in the last sample, past the vector loop.
      std::memset(p + (n - 1) * k.bytes, 0xFF, k.bytes);
      if (k.pix_type & 1) p[n * k.bytes - 1] = 0x7F;
    }
    std::vector<int32_t> kept;  // what the accessor gives, padding left out
    for (size_t i = 0; i < n; ++i)
      if (int32_t v = Image_Pixel_Value(nullptr, &ima, p, i % 301, i / 301 % 299, i / (301 * 299), 0); v != k.fill)
        kept.push_back(v);
    const auto [lo, hi] = std::minmax_element(kept.begin(), kept.end());
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
    EXPECT_EQ(std::pair(ima.g2.ima_min, ima.g2.ima_max), std::pair(*lo, *hi)) << int{k.pix_type} << " " << k.fill;
  }
}

TEST_F(PostProcTest, MinMaxShortcutsAndBadGeometry) {
  // 8-bit samples: the range follows from the top bit alone, no data read.
  struct { uint8_t sign, high; int32_t lo, hi; } bytes[] = {
      {0, 7, 0, 255},    {0, 3, 0, 15},   {0, 11, 0, 255}, {0, 40, 0, 255},
      {1, 7, -128, 127}, {1, 6, -64, 63}, {1, 0, -1, 0},   {1, 40, 0, INT_MAX}};
  for (const auto& k : bytes) {
    ImageHeader ima = Fresh();
    ima.g2.pix_type = k.sign ? kPixS8 : kPixU8; ima.g2.pix_sign = k.sign; ima.g2.pix_high = k.high;
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
    EXPECT_EQ(std::pair(ima.g2.ima_min, ima.g2.ima_max), std::pair(k.lo, k.hi)) << &k - bytes;
  }
  // Two padding pixels of 16 bits, and changes to them.
  struct { void (*change)(ImageHeader&); int32_t lo, hi; } others[] = {
      {[](ImageHeader&) {}, 0, 0},
      {[](ImageHeader& i) { i.g2.pix_plane = 3; i.g2.ima_min = 5; }, 0, 255},   // colour
      {[](ImageHeader& i) { i.g2.ima_min = -5; i.g2.ima_max = 5; }, -5, 5},     // known already
      {[](ImageHeader& i) { i.dim_x = i.dim_y = 0; }, 0, 0},
      {[](ImageHeader& i) { i.g2.pix_type = 0; }, 0, 0},                        // no accessor
      {[](ImageHeader& i) { i.g2.pix_type = kPixU16; }, 32768, 32768},          // -32768 is no u16 value
  };
  for (const auto& k : others) {
    ImageHeader ima = Grey<int16_t>(kPixS16, 2, 1, {-32768, -32768});
    k.change(ima);
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
    EXPECT_EQ(std::pair(ima.g2.ima_min, ima.g2.ima_max), std::pair(k.lo, k.hi)) << &k - others;
  }
  // A buffer shorter than the geometry is never read past its end.
  ImageHeader shorter = Grey<int16_t>(kPixS16, 4, 4, std::vector<int16_t>(15, 1));
  shorter.input_type = 1; shorter.input = "/data/ct/IM1.dcm";
  EXPECT_EQ(Image_Image_Min_Max(nullptr, shorter), 0);
  EXPECT_EQ(log_.Joined(2),
            "ERROR: /data/ct/IM1.dcm: pixel buffer of 30 bytes is smaller than its 4x4x1x1 pixels of 2 bytes\n");
}

// --------------------------------------------------------------- coherence

TEST_F(PostProcTest, CoherenceSwapsWrongByteOrderOnlyWhenItHelps) {
  const std::vector<uint16_t> swapped = {0x0100, 0xA00F, 0xD007}, right = {1, 4000, 2000};
  struct { std::vector<uint16_t> in; int32_t hdr_max; void (*change)(ImageHeader&); std::vector<uint16_t> out;
           int swap, min, max; bool said; } cases[] = {
      {swapped, 4095, nullptr, right, 1, 1, 4000, false},
      {right, 4095, nullptr, right, 0, 1, 4000, false},
      {{0x0000, 0x0001, 0x0300}, 10, nullptr, {0, 256, 3}, 1, 0, 256, true},  // narrower, still too wide: kept
      {{0x0001, 0x0002, 0x0100}, 10, nullptr, {1, 2, 256}, 0, 1, 256, false},  // wider: the data as read
      {{7, 7, 7}, 10, nullptr, {7, 7, 7}, 0, 7, 7, false},                       // flat: nothing to judge
      // Not checked: flagged, colour or 8-bit data.
      {swapped, 4095, [](ImageHeader& i) { i.flags = kFlagNoCoherence; }, swapped, 0, 0, 0, false},
      {swapped, 4095, [](ImageHeader& i) { i.g2.pix_plane = 3; }, swapped, 0, 0, 0, false},
      {swapped, 4095, [](ImageHeader& i) { i.g2.pix_store = 8; }, swapped, 0, 0, 0, false},
  };
  for (const auto& k : cases) {
    log_.clear();
    ImageHeader ima = Grey<uint16_t>(kPixU16, 3, 1, k.in);
    ima.g2.hdr_max = k.hdr_max;
    if (k.change) k.change(ima);
    ASSERT_EQ(Image_Image_Coherence(nullptr, ima), 1);
    EXPECT_EQ(Values<uint16_t>(ima.data), k.out) << &k - cases;
    EXPECT_EQ((Ints{ima.g2.pix_swap, ima.g2.ima_min, ima.g2.ima_max}), (Ints{k.swap, k.min, k.max})) << &k - cases;
    EXPECT_EQ(log_.Has("--> Image data has been swapped", 8), k.said) << &k - cases;
  }

  // The range the header allows: its own over the slope, else 2^bits, at
  // most 60000. One more as read and the bytes are swapped (128 and
  // 129 + allowed lie close together once swapped: the swap stays).
  struct { int32_t hdr_min, hdr_max; float slope; uint16_t bits; int allowed; } ranges[] = {
      {0, 4095, 2, 12, 2048}, {-1000, 3095, 1, 12, 4095}, {0, 0, 1, 13, 8192},
      {0, 0, 1, 16, 60000},      {0, 100000, 1, 12, 60000},  {0, 4095, NAN, 12, 4096}};
  for (const auto& k : ranges)
    for (int over : {0, 1}) {
      ImageHeader ima = Grey<uint16_t>(kPixU16, 2, 1, {128, static_cast<uint16_t>(128 + k.allowed + over)});
      ima.g2.hdr_min = k.hdr_min; ima.g2.hdr_max = k.hdr_max; ima.g2.rescale_slope = k.slope; ima.g2.pix_bits = k.bits;
      ASSERT_EQ(Image_Image_Coherence(nullptr, ima), 1);
      EXPECT_EQ(ima.g2.pix_swap, over) << k.allowed << " + " << over;
    }
  ImageHeader shorter = Grey<uint16_t>(kPixU16, 4, 1, swapped);
  EXPECT_EQ(Image_Image_Coherence(nullptr, shorter), 0);
}

// -------------------------------------------------------- makers' fixes

TEST_F(PostProcTest, MakersPaddingValueFixes) {
  // GE and Toshiba: the padding value follows from the first
  // pixel, and the range leaves it out. Yokogawa ProSpeed: the band
  // -1600..-1300 of the first image becomes -1500. Elscint: negatives
  // cleared and the range taken again, unless the first pixel is -1000,
  // which marks signed data and moves the level by 1000 instead. `out`
  // empty: the pixels stay.
  const uint16_t CT = kModalityCT, MR = kModalityMR;
  struct { uint16_t modality; const char *maker, *model; uint8_t type; uint16_t dim_x; std::vector<int16_t> in;
           int32_t fill; Ints want; std::vector<int16_t> out; bool marks_signed; } cases[] = {
      {CT, "GE MEDICAL SYSTEMS", "", kPixS16, 4, {-2000, 100, 50, -2000}, 0, {-2000, 50, 100}, {}, false},
      {CT, "GE", "", kPixS16, 2, {-1024, 7}, 0, {-1024, 7, 7}, {}, false},
      {CT, "GE", "", kPixS16, 2, {0, 7}, 0, {0, 7, 7}, {}, false},
      {CT, "GE", "", kPixS16, 2, {5, 7}, 0, {-32768, 5, 7}, {}, false},
      {CT, "GE", "", kPixS16, 2, {-1024, 7}, -1, {-1, 0, 0}, {}, false},  // a value given stays
      {CT, "TOSHIBA", "", kPixS16, 3, {-1024, 7, 9}, -32768, {-1024, 7, 9}, {}, false},
      {CT, "TOSHIBA", "", kPixS16, 3, {-2048, 7, 9}, -32768, {-2048, 7, 9}, {}, false},
      {CT, "TOSHIBA", "", kPixS16, 3, {-1000, 7, 9}, -32768, {-32768, -1000, 9}, {}, false},
      {MR, "GE", "", kPixS16, 2, {0, 40}, 0, {-32768, 0, 40}, {}, false},
      {MR, "", "", kPixU16, 3, {-32768, 12, -32768}, -32768, {32768, 12, 12}, {}, false},  // unsigned, 32768
      {CT, "YOKOGAWA", "ProSpeed SX", kPixS16, 5, {-1601, -1600, -1450, -1300, -1299, -1450}, -32768,
       {-32768, 0, 0}, {-1601, -1500, -1500, -1500, -1299, -1450}, false},
      {CT, "YOKOGAWA", "Prospeed", kPixS16, 1, {-1450}, -32768, {-32768, 0, 0}, {}, false},
      {CT, "Elscint", "", kPixS16, 3, {-999, -5, 7, -3}, -32768, {-32768, 0, 7}, {0, 0, 7, -3}, false},
      {CT, "Elscint", "", kPixS16, 2, {-1000, -5}, -32768, {-32768, 0, 0}, {}, true},
  };
  for (const auto& k : cases) {
    ImageHeader ima = Grey<int16_t>(k.type, k.dim_x, 1, k.in);
    ima.modality = k.modality; ima.g4.manufacturer = k.maker; ima.g4.model = k.model; ima.g2.pix_fill = k.fill;
    ima.g2.pix_sign = 0; ima.g2.rescale_intercept = -1000; ima.g2.level = 40;
    ASSERT_EQ(Image_Image_PostProc(nullptr, ima), 1);
    EXPECT_EQ((Ints{ima.g2.pix_fill, ima.g2.ima_min, ima.g2.ima_max}), k.want) << &k - cases;
    EXPECT_EQ(Values<int16_t>(ima.data), k.out.empty() ? k.in : k.out) << &k - cases;
    EXPECT_EQ(std::tuple(ima.g2.pix_sign, ima.g2.rescale_intercept, ima.g2.level),
              k.marks_signed ? std::tuple(1, 0.0f, 1040) : std::tuple(0, -1000.0f, 40)) << &k - cases;
  }
}

// -------------------------------------------------------------------- flip

TEST_F(PostProcTest, FlipMovesWholePixelsWithinEachImage) {
  // `order`: the source pixel of each place.
  struct { uint8_t pix_type; size_t bytes; uint16_t dim_x, dim_y, images; int mode; Ints order; } cases[] = {
      {kPixU8, 1, 3, 2, 1, 1, {2, 1, 0, 5, 4, 3}},  {kPixU8, 1, 3, 2, 1, 2, {3, 4, 5, 0, 1, 2}},
      {kPixU8, 1, 3, 2, 1, 3, {5, 4, 3, 2, 1, 0}},  {kPixU8, 1, 1, 2, 0, 2, {1, 0}},  // 0 images: one
      {kPixS16, 2, 2, 2, 2, 2, {2, 3, 0, 1, 6, 7, 4, 5}}, {kPixS16, 2, 2, 2, 2, 3, {3, 2, 1, 0, 7, 6, 5, 4}},
      {kPixRGB8, 3, 2, 1, 1, 1, {1, 0}},     {kPixRGBA8, 4, 2, 2, 1, 3, {3, 2, 1, 0}},
      {kPixRGB16, 6, 3, 1, 1, 1, {2, 1, 0}}, {kPixRGBA16, 8, 3, 1, 1, 1, {2, 1, 0}},
      {kPixRGB32, 12, 2, 1, 1, 1, {1, 0}},   {kPixRGBA32, 16, 2, 1, 1, 1, {1, 0}},
  };
  for (const auto& k : cases) {
    std::vector<uint8_t> source(k.order.size() * k.bytes), want;
    std::iota(source.begin(), source.end(), 0);
    for (int p : k.order) want.insert(want.end(), &source[p * k.bytes], &source[p * k.bytes] + k.bytes);
    ImageHeader ima = Grey<uint8_t>(k.pix_type, k.dim_x, k.dim_y, source);
    ima.dim_z = k.images;
    EXPECT_EQ(Values<uint8_t>(Image_Flip(ima, ima.data, k.mode)), want) << &k - cases;
    EXPECT_EQ(Values<uint8_t>(ima.data), source) << &k - cases;
  }
  ImageHeader unknown = Grey<uint8_t>(0, 3, 2, {1, 2, 3, 4, 5, 6});
  EXPECT_TRUE(Image_Flip(unknown, unknown.data, 2).empty());

  // Rows stored bottom up are turned once, after reading; with too few bytes
  // for the geometry they stay as they were.
  ImageHeader up = Grey<uint8_t>(kPixU8, 2, 3, {1, 2, 3, 4, 5, 6});
  up.flags = kFlagBottomUp | kFlagNoCoherence;
  ASSERT_EQ(Image_Image_PostProc(nullptr, up), 1);
  EXPECT_EQ(Values<uint8_t>(up.data), (std::vector<uint8_t>{5, 6, 3, 4, 1, 2}));
  EXPECT_EQ(up.flags, kFlagNoCoherence);
  ImageHeader shorter = Grey<uint8_t>(kPixU8, 3, 3, {1, 2, 3, 4, 5, 6});
  shorter.flags = kFlagBottomUp;
  ASSERT_EQ(Image_Image_PostProc(nullptr, shorter), 1);
  EXPECT_EQ(Values<uint8_t>(shorter.data), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(log_.Joined(2), "ERROR: memory stream: pixel buffer of 6 bytes is smaller than its 1 images of 9 bytes\n");
}

}  // namespace
