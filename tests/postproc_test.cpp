// Header and image post-processing: geometry, pixel type, makers' fixes,
// value range, byte-order repair and flips.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"

namespace {

class PostProcTest : public ::testing::Test {
 protected:
  bool Logged(int level, const std::string& text) const { return log_.Has(text, level); }
  std::vector<std::string> Texts(int level) const {
    std::vector<std::string> out;
    for (const auto& l : log_.lines())
      if (l.level == level) out.push_back(l.text);
    return out;
  }
  void Clear() { log_.clear(); }

  fixtures::LogCapture log_{5};
};

// A record as the header reader hands it to a format reader.
ImageHeader Fresh(uint16_t dim_x = 4, uint16_t dim_y = 4) {
  ImageHeader ima;
  ima.dim_x = dim_x;
  ima.dim_y = dim_y;
  ima.dim_z = ima.dim_t = 1;
  ima.g2.pix_plane = 1;
  ima.g2.pix_store = 8;
  ima.g2.pix_fill = -32768;
  ima.g2.rescale_slope = 1.0f;
  return ima;
}

template <typename T>
void Set_Data(ImageHeader& ima, const std::vector<T>& values) {
  ima.data = PixelBuffer::Allocate(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(ima.data.data(), values.data(), values.size() * sizeof(T));
}

template <typename T>
std::vector<T> Get_Data(const PixelBuffer& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

// A grey record of typed samples, ready for the image steps.
template <typename T>
ImageHeader Grey(uint8_t pix_type, uint16_t dim_x, uint16_t dim_y, const std::vector<T>& values) {
  ImageHeader ima = Fresh(dim_x, dim_y);
  ima.g2.pix_type = pix_type;
  ima.g2.pix_store = static_cast<uint16_t>(sizeof(T) * 8);
  ima.g2.pix_bits = ima.g2.pix_store;
  ima.g2.pix_sign = pix_type & 1;
  Set_Data(ima, values);
  return ima;
}

void Expect_Vec(const Vec4& v, float x, float y, float z, const char* what) {
  EXPECT_NEAR(v[0], x, 1e-6) << what;
  EXPECT_NEAR(v[1], y, 1e-6) << what;
  EXPECT_NEAR(v[2], z, 1e-6) << what;
}

// ---------------------------------------------------------------- geometry

TEST_F(PostProcTest, SpacingSizesAndFieldOfViewCompleteEachOther) {
  ImageHeader a = Fresh(256, 256);
  a.g1.fov = {250, 250, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, a), 1);
  EXPECT_EQ(a.g1.pix_dim[0], 0.9765625f);
  EXPECT_EQ(a.g1.pix_dim[1], 0.9765625f);
  EXPECT_EQ(a.g1.pix_size[0], 0.9765625f);
  EXPECT_EQ(a.g1.pix_dim[2], 1.0f);  // nothing given: 1
  EXPECT_EQ(a.g1.fov[2], 1.0f);      // dim_z x 1

  ImageHeader b = Fresh(200, 100);
  b.g1.pix_size = {0.5f, 0.75f, 3.0f};
  ASSERT_EQ(Image_Header_PostProc(nullptr, b), 1);
  EXPECT_EQ(b.g1.pix_dim[0], 0.5f);
  EXPECT_EQ(b.g1.pix_dim[1], 0.75f);
  EXPECT_EQ(b.g1.pix_dim[2], 3.0f);
  EXPECT_EQ(b.g1.fov[0], 100.0f);
  EXPECT_EQ(b.g1.fov[1], 75.0f);
  EXPECT_EQ(b.g1.fov[2], 3.0f);

  // A negative spacing turns its direction vector round.
  ImageHeader c = Fresh(10, 10);
  c.g1.pix_dim = {-0.7f, -0.8f, 2.0f};
  c.g1.dir_h = {1, 0, 0, 0};
  c.g1.dir_v = {0, 1, 0, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, c), 1);
  EXPECT_EQ(c.g1.pix_dim[0], 0.7f);
  EXPECT_EQ(c.g1.pix_dim[1], 0.8f);
  Expect_Vec(c.g1.dir_h, -1, 0, 0, "dir_h");
  Expect_Vec(c.g1.dir_v, 0, -1, 0, "dir_v");
  EXPECT_EQ(c.g1.pix_size[0], 0.7f);

  // Zero dimensions: no division by zero, z and t become 1.
  ImageHeader d = Fresh(0, 0);
  d.dim_z = d.dim_t = 0;
  d.g1.fov = {100, 100, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, d), 1);
  EXPECT_EQ(d.dim_z, 1);
  EXPECT_EQ(d.dim_t, 1);
  EXPECT_EQ(d.g1.pix_dim[0], 1.0f);
  EXPECT_EQ(d.g1.fov[0], 100.0f);
}

TEST_F(PostProcTest, DefaultDirectionsFollowPlaneEntryAndPosition) {
  struct Case {
    uint16_t image_type;
    uint8_t entry, position;
    uint32_t flags;
    Vec4 normal;
    float h[3], v[3];
  } cases[] = {
      {1, 16, 1, 0, {}, {1, 0, 0}, {0, -1, 0}},          // axial head first supine
      {1, 32, 1, 0, {}, {-1, 0, 0}, {0, -1, 0}},         // axial feet first supine
      {1, 32, 1, 0x100, {}, {1, 0, 0}, {0, -1, 0}},      // flag 0x100 picks head-first axes
      {1, 16, 2, 0, {}, {-1, 0, 0}, {0, 1, 0}},          // prone
      {1, 32, 3, 0, {}, {0, -1, 0}, {1, 0, 0}},          // decubitus left, feet first
      {1, 16, 4, 0, {}, {0, -1, 0}, {-1, 0, 0}},         // decubitus right
      {2, 16, 4, 0, {}, {0, 0, 1}, {-1, 0, 0}},          // sagittal by type
      {1, 32, 1, 0, {0.9f, 0, 0, 1}, {0, 0, -1}, {0, -1, 0}},  // sagittal by normal
      {5, 32, 2, 0, {}, {0, 0, -1}, {0, 1, 0}},          // scout is sagittal
      {7, 32, 3, 0, {}, {0, 1, 0}, {0, 0, -1}},          // coronal by type
      {2, 16, 3, 0, {0, 0.9f, 0, 1}, {0, -1, 0}, {0, 0, 1}},   // normal along y beats type
      {3, 16, 1, 0x100, {}, {-1, 0, 0}, {0, 0, 1}},      // 0x100 is for axial only
  };
  for (const Case& k : cases) {
    ImageHeader ima = Fresh();
    ima.image_type = k.image_type;
    ima.g3.patient_entry = k.entry;
    ima.g3.patient_position = k.position;
    ima.flags = k.flags;
    ima.g1.dir_n = k.normal;
    ASSERT_EQ(Image_Orientation(nullptr, ima), 1);
    const std::string what = "type " + std::to_string(k.image_type) + " entry " + std::to_string(k.entry) +
                             " position " + std::to_string(k.position);
    Expect_Vec(ima.g1.dir_h, k.h[0], k.h[1], k.h[2], what.c_str());
    Expect_Vec(ima.g1.dir_v, k.v[0], k.v[1], k.v[2], what.c_str());
    EXPECT_EQ(ima.g1.dir_h[3], 0.0f);
  }

  // The trace shows V, and V as flag 0x20 will turn it, without turning it.
  Clear();
  ImageHeader ima = Fresh();
  ima.g3.patient_entry = 16;
  ima.flags = 0x20;
  ASSERT_EQ(Image_Orientation(nullptr, ima), 1);
  EXPECT_EQ(Texts(6), (std::vector<std::string>{"a--> V: 0.00 -1.00 0.00 ", "b--> V: -0.00 1.00 -0.00 ",
                                                "d--> H: 1.00 0.00 0.00 ", "d--> V: 0.00 -1.00 0.00 "}));
  EXPECT_TRUE(Logged(9, "in Image_Orientation()"));
  Expect_Vec(ima.g1.dir_v, 0, -1, 0, "V unchanged by 0x20 here");

  // Vectors a reader gave are kept.
  ImageHeader kept = Fresh();
  kept.g1.dir_h = {0, 1, 0, 0};
  kept.g1.dir_v = {0, 0, 1, 0};
  kept.g1.orient_h = 2;
  kept.g1.orient_v = 5;
  ASSERT_EQ(Image_Orientation(nullptr, kept), 1);
  Expect_Vec(kept.g1.dir_h, 0, 1, 0, "kept H");
  Expect_Vec(kept.g1.dir_v, 0, 0, 1, "kept V");
}

TEST_F(PostProcTest, OrientationCodesGiveUnitVectors) {
  ImageHeader ima = Fresh();
  ima.g1.orient_h = 2;  // left
  ima.g1.orient_v = 5;  // feet
  ASSERT_EQ(Image_Orientation(nullptr, ima), 1);
  Expect_Vec(ima.g1.dir_h, 1, 0, 0, "H");
  Expect_Vec(ima.g1.dir_v, 0, 0, -1, "V");
  EXPECT_TRUE(Texts(6).empty());  // no standard plane was chosen

  // A code outside the table names no direction: the standard plane is used.
  ImageHeader bad = Fresh();
  bad.g1.orient_h = 9;
  bad.g1.orient_v = 5;
  bad.g3.patient_entry = 16;
  ASSERT_EQ(Image_Orientation(nullptr, bad), 1);
  Expect_Vec(bad.g1.dir_h, 1, 0, 0, "fallback H");
  Expect_Vec(bad.g1.dir_v, 0, -1, 0, "fallback V");
}

TEST_F(PostProcTest, GantryTiltAndSwivelRotateCtDirections) {
  const float c30 = std::cos(30 * 0.017453292f), s30 = std::sin(30 * 0.017453292f);
  const float c20 = std::cos(20 * 0.017453292f), s20 = std::sin(20 * 0.017453292f);

  // Direction codes: V turns about H by the tilt, the other way feet first.
  ImageHeader head = Fresh();
  head.modality = kModalityCT;
  head.g1.orient_h = 2;  // (1,0,0)
  head.g1.orient_v = 4;  // (0,1,0)
  head.g4.ct.gantry_tilt = 30;
  head.g3.patient_entry = 16;
  ASSERT_EQ(Image_Orientation(nullptr, head), 1);
  Expect_Vec(head.g1.dir_h, 1, 0, 0, "H");
  Expect_Vec(head.g1.dir_v, 0, c30, s30, "V head first");

  ImageHeader feet = Fresh();
  feet.modality = kModalityCT;
  feet.g1.orient_h = 2;
  feet.g1.orient_v = 4;
  feet.g4.ct.gantry_tilt = 30;
  feet.g3.patient_entry = 32;
  ASSERT_EQ(Image_Orientation(nullptr, feet), 1);
  Expect_Vec(feet.g1.dir_v, 0, c30, -s30, "V feet first");

  // Not CT: no tilt.
  ImageHeader mr = Fresh();
  mr.modality = kModalityMR;
  mr.g1.orient_h = 2;
  mr.g1.orient_v = 4;
  mr.g4.ct.gantry_tilt = 30;
  ASSERT_EQ(Image_Orientation(nullptr, mr), 1);
  Expect_Vec(mr.g1.dir_v, 0, 1, 0, "MR V");

  // Standard plane: the tilt turns both vectors about H by minus the tilt.
  ImageHeader tilt = Fresh();
  tilt.modality = kModalityCT;
  tilt.g3.patient_entry = 16;  // H (1,0,0), V (0,-1,0)
  tilt.g4.ct.gantry_tilt = 20;
  ASSERT_EQ(Image_Orientation(nullptr, tilt), 1);
  Expect_Vec(tilt.g1.dir_h, 1, 0, 0, "tilted H");
  Expect_Vec(tilt.g1.dir_v, 0, -c20, s20, "tilted V");
  EXPECT_TRUE(Logged(6, "d--> V: 0.00 -0.94 0.34 "));

  ImageHeader swivel = Fresh();
  swivel.modality = kModalityCT;
  swivel.g3.patient_entry = 16;
  swivel.g4.ct.gantry_swivel = 90;
  ASSERT_EQ(Image_Orientation(nullptr, swivel), 1);
  Expect_Vec(swivel.g1.dir_h, 0, 1, 0, "swivelled H");
  Expect_Vec(swivel.g1.dir_v, 1, 0, 0, "swivelled V");

  // Swivel first, then the tilt about the H of before the swivel.
  ImageHeader both = Fresh();
  both.modality = kModalityCT;
  both.g3.patient_entry = 16;
  both.g4.ct.gantry_swivel = 90;
  both.g4.ct.gantry_tilt = 30;
  ASSERT_EQ(Image_Orientation(nullptr, both), 1);
  Expect_Vec(both.g1.dir_h, 0, c30, -s30, "H");
  Expect_Vec(both.g1.dir_v, 1, 0, 0, "V");
}

TEST_F(PostProcTest, SlicePositionAlongTheDominantAxis) {
  ImageHeader z = Fresh();
  z.g1.orient_h = 2;
  z.g1.orient_v = 4;  // normal (0,0,1)
  z.g1.position = {5, 6, 37.5f, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, z), 1);
  Expect_Vec(z.g1.dir_n, 0, 0, 1, "normal");
  EXPECT_EQ(z.g1.slice_pos, 37.5f);

  // A normal the reader gave (w set) is kept; x leads.
  ImageHeader x = Fresh();
  x.g1.orient_h = 4;
  x.g1.orient_v = 6;
  x.g1.dir_n = {-0.5f, 0.1f, 0.1f, 1};
  x.g1.position = {45, 1, 1, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, x), 1);
  EXPECT_EQ(x.g1.slice_pos, -90.0f);

  // No position but a slice location: the position lies on the normal.
  ImageHeader loc = Fresh();
  loc.g1.orient_h = 2;
  loc.g1.orient_v = 4;
  loc.g4.slice_location = 12.0f;
  ASSERT_EQ(Image_Header_PostProc(nullptr, loc), 1);
  Expect_Vec(loc.g1.position, 0, 0, 12, "position");
  EXPECT_EQ(loc.g1.slice_pos, 12.0f);

  // Parallel row and column vectors leave no normal.
  ImageHeader flat = Fresh();
  flat.g1.dir_h = {1, 0, 0, 0};
  flat.g1.dir_v = {1, 0, 0, 0};
  EXPECT_EQ(Image_Header_PostProc(nullptr, flat), 0);
  const auto trace = Texts(6);
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].rfind("file:conv_header_postproc.cpp line:", 0), 0u) << trace[0];
  EXPECT_EQ(trace[1], "no image direction vectors!");

  // x and y sharing the lead: x decides (a vanishing z would fail or explode).
  ImageHeader tie = Fresh();
  tie.g1.dir_n = {0.70710677f, -0.70710677f, 0, 0};
  float pos = 0;
  ASSERT_TRUE(Image_Slice_Position(tie, Vec4{10, 20, 0, 0}, pos));
  EXPECT_FLOAT_EQ(pos, 14.142136f);
  tie.g1.dir_n = {0.6f, 0.6f, 1e-8f, 0};
  ASSERT_TRUE(Image_Slice_Position(tie, Vec4{6, 20, 0, 0}, pos));
  EXPECT_FLOAT_EQ(pos, 10.0f);
  tie.g1.dir_n = {0.6f, 0.6f, 0.6f, 0};
  ASSERT_TRUE(Image_Slice_Position(tie, Vec4{6, 20, 3, 0}, pos));
  EXPECT_FLOAT_EQ(pos, 5.0f);
  tie.g1.dir_n = {NAN, 0, 1, 0};
  EXPECT_FALSE(Image_Slice_Position(tie, Vec4{1, 2, 3, 0}, pos));
  tie.g1.dir_n = {1e-35f, 0, 0, 0};
  EXPECT_FALSE(Image_Slice_Position(tie, Vec4{1, 2, 3, 0}, pos));
}

TEST_F(PostProcTest, CentreAndReversedRowFlagsMoveThePosition) {
  ImageHeader centre = Fresh(256, 255);
  centre.flags = 0x10;
  centre.g1.pix_dim = {0.5f, 0.25f, 1};
  centre.g1.orient_h = 2;  // (1,0,0)
  centre.g1.orient_v = 4;  // (0,1,0)
  centre.g1.position = {10, 20, 30, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, centre), 1);
  // 128 columns of 0.5 along x, 127 rows (255 / 2) of 0.25 along y.
  Expect_Vec(centre.g1.position, -54, -11.75f, 30, "centre");

  ImageHeader reversed = Fresh(4, 3);
  reversed.flags = 0x20;
  reversed.g1.pix_dim = {2, 2, 1};
  reversed.g1.orient_h = 2;
  reversed.g1.orient_v = 4;
  reversed.g1.position = {1, 2, 3, 7};
  ASSERT_EQ(Image_Header_PostProc(nullptr, reversed), 1);
  // The full image height (3 rows of 2) along V, then V turned round.
  EXPECT_EQ(reversed.g1.position, (Vec4{1, 8, 3, 7}));
  Expect_Vec(reversed.g1.dir_v, 0, -1, 0, "V");
  Expect_Vec(reversed.g1.dir_n, 0, 0, -1, "N");
  EXPECT_EQ(reversed.g1.slice_pos, -3.0f);
}

TEST_F(PostProcTest, MatricesMapPixelsToPatientAndBack) {
  ImageHeader ima = Fresh(64, 64);
  ima.g1.dir_h = {0.6f, 0.8f, 0, 0};
  ima.g1.dir_v = {0, 0, 1, 0};
  ima.g1.pix_dim = {0.5f, 0.25f, 3};
  ima.g1.position = {10, -20, 30, 0};
  ASSERT_EQ(Image_Header_PostProc(nullptr, ima), 1);
  const Mat4& m = ima.g1.ima_to_pat;
  const float expect[16] = {0.3f, 0.4f, 0, 0, 0, 0, 0.25f, 0, 2.4f, -1.8f, 0, 0, 10, -20, 30, 1};
  for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(m[i], expect[i]) << i;
  EXPECT_FLOAT_EQ(ima.g1.slice_pos, 12.5f);  // x leads: 10 / 0.8

  const Mat4& inv = ima.g1.pat_to_ima;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += m[i * 4 + k] * inv[k * 4 + j];
      EXPECT_NEAR(sum, i == j ? 1.0f : 0.0f, 1e-6) << i << "," << j;
    }
  // Column 2, row 4, slice 1 and back.
  const float p[4] = {2, 4, 1, 1};
  float pat[4] = {}, back[4] = {};
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 4; ++k) pat[j] += p[k] * m[k * 4 + j];
  EXPECT_FLOAT_EQ(pat[0], 13.0f);
  EXPECT_FLOAT_EQ(pat[1], -21.0f);
  EXPECT_FLOAT_EQ(pat[2], 31.0f);
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 4; ++k) back[j] += pat[k] * inv[k * 4 + j];
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(back[j], p[j], 1e-5) << j;

  // A spacing of NaN: no infinities or NaN in the inverse, a zero matrix.
  ImageHeader bad = Fresh();
  bad.g1.orient_h = 2;
  bad.g1.orient_v = 4;
  bad.g1.pix_dim = {NAN, 1, 1};
  ASSERT_EQ(Image_Header_PostProc(nullptr, bad), 1);
  for (float v : bad.g1.pat_to_ima) EXPECT_EQ(v, 0.0f);
}

// ------------------------------------------------------ pixel description

TEST_F(PostProcTest, PixelTypeBitsAndPatientName) {
  ImageHeader rgb = Fresh();
  rgb.g2.pix_plane = 3;
  ASSERT_EQ(Image_Header_PostProc(nullptr, rgb), 1);
  EXPECT_EQ(rgb.g2.pix_type, 130);
  EXPECT_EQ(rgb.g2.pix_fill, 0);
  EXPECT_EQ(rgb.g2.pix_bits, 8);
  EXPECT_EQ(rgb.g2.pix_high, 7);

  ImageHeader rgba = Fresh();
  rgba.g2.pix_plane = 4;
  rgba.g2.pix_store = 16;
  ASSERT_EQ(Image_Header_PostProc(nullptr, rgba), 1);
  EXPECT_EQ(rgba.g2.pix_type, 196);
  EXPECT_EQ(rgba.g2.pix_fill, 0);

  ImageHeader twelve = Fresh();
  twelve.g2.pix_store = 16;
  twelve.g2.pix_bits = 12;
  ASSERT_EQ(Image_Header_PostProc(nullptr, twelve), 1);
  EXPECT_EQ(twelve.g2.pix_type, 4);
  EXPECT_EQ(twelve.g2.pix_high, 11);
  EXPECT_EQ(twelve.g2.pix_bits, 12);
  EXPECT_EQ(twelve.g2.pix_fill, -32768);

  // Packed 12-bit storage: no code yet, the bits come from the storage.
  ImageHeader packed = Fresh();
  packed.g2.pix_store = 12;
  ASSERT_EQ(Image_Header_PostProc(nullptr, packed), 1);
  EXPECT_EQ(packed.g2.pix_type, 0);
  EXPECT_EQ(packed.g2.pix_bits, 12);
  EXPECT_EQ(packed.g2.pix_high, 11);

  // Storage below the value bits grows to whole bytes.
  ImageHeader grow = Fresh();
  grow.g2.pix_bits = 12;
  grow.g2.pix_sign = 1;
  ASSERT_EQ(Image_Header_PostProc(nullptr, grow), 1);
  EXPECT_EQ(grow.g2.pix_store, 16);
  EXPECT_EQ(grow.g2.pix_type, 5);

  ImageHeader s32 = Fresh();
  s32.g2.pix_store = 32;
  s32.g2.pix_sign = 1;
  s32.g2.pix_plane = 2;
  s32.g2.pix_high = 15;
  ASSERT_EQ(Image_Header_PostProc(nullptr, s32), 1);
  EXPECT_EQ(s32.g2.pix_type, 9);
  EXPECT_EQ(s32.g2.pix_high, 15);

  // No bits at all: no top bit is invented.
  ImageHeader none = Fresh();
  none.g2.pix_store = 0;
  ASSERT_EQ(Image_Header_PostProc(nullptr, none), 1);
  EXPECT_EQ(none.g2.pix_high, 0);

  ImageHeader named = Fresh();
  named.name = "IM0042";
  ASSERT_EQ(Image_Header_PostProc(nullptr, named), 1);
  EXPECT_EQ(named.g3.patient_name, "IM0042");
  named.g3.patient_name = "DOE^JOHN";
  ASSERT_EQ(Image_Header_PostProc(nullptr, named), 1);
  EXPECT_EQ(named.g3.patient_name, "DOE^JOHN");
  EXPECT_TRUE(Logged(8, "in Image_Header_PostProc()"));
}

// ------------------------------------------------------- makers' numbering

DicomAttribute Attr(uint16_t group, uint16_t element) {
  DicomAttribute a;
  a.group = group;
  a.element = element;
  a.vr = ('I' << 8) | 'S';
  a.data = {'1', ' '};
  return a;
}

std::vector<std::pair<int, int>> Tags(const DicomList& list) {
  std::vector<std::pair<int, int>> out;
  for (const auto& a : list) out.emplace_back(a.group, a.element);
  return out;
}

TEST_F(PostProcTest, MakersNumberingQuirks) {
  ImageHeader spi = Fresh();
  spi.format = 38;
  spi.g1.study_ID = "7";
  spi.g1.study_num = 99;
  spi.DICOM_list = {Attr(0x20, 0x10), Attr(0x20, 0x11), Attr(0x20, 0x12)};
  ASSERT_EQ(Image_Header_PostProc(nullptr, spi), 1);
  EXPECT_EQ(spi.g1.series_num, 7);
  EXPECT_EQ(spi.g1.study_ID, "");
  EXPECT_EQ(spi.g1.study_num, 1);
  EXPECT_EQ(Tags(spi.DICOM_list), (std::vector<std::pair<int, int>>{{0x20, 0x12}}));

  ImageHeader spi_num = Fresh();
  spi_num.format = 39;
  spi_num.g1.study_num = 3;
  ASSERT_EQ(Image_Header_PostProc(nullptr, spi_num), 1);
  EXPECT_EQ(spi_num.g1.series_num, 3);
  EXPECT_EQ(spi_num.g1.study_num, 1);

  ImageHeader spi_big = Fresh();
  spi_big.format = 38;
  spi_big.g1.study_ID = "77";
  ASSERT_EQ(Image_Header_PostProc(nullptr, spi_big), 1);
  EXPECT_EQ(spi_big.g1.series_num, 0);
  EXPECT_EQ(spi_big.g1.study_ID, "77");

  ImageHeader spi_series = Fresh();
  spi_series.format = 38;
  spi_series.g1.study_ID = "7";
  spi_series.g1.series_num = 2;
  ASSERT_EQ(Image_Header_PostProc(nullptr, spi_series), 1);
  EXPECT_EQ(spi_series.g1.series_num, 2);
  EXPECT_EQ(spi_series.g1.study_ID, "7");

  ImageHeader pace = Fresh();
  pace.format = 14;
  pace.g1.acq_num = 3;
  pace.g1.image_num = 9;
  ASSERT_EQ(Image_Header_PostProc(nullptr, pace), 1);
  EXPECT_EQ(pace.g1.acq_num, 9);
  EXPECT_EQ(pace.g1.image_num, 3);

  ImageHeader xvision = Fresh();
  xvision.format = 20;
  xvision.g4.manufacturer = "TOSHIBA";
  xvision.g4.model = "Xvision/EX";
  xvision.g1.acq_num = 4;
  xvision.g1.image_num = 12;
  xvision.DICOM_list = {Attr(0x20, 0x11), Attr(0x20, 0x12), Attr(0x20, 0x13)};
  ASSERT_EQ(Image_Header_PostProc(nullptr, xvision), 1);
  EXPECT_EQ(xvision.g1.acq_num, 12);
  EXPECT_EQ(xvision.g1.image_num, 4);
  EXPECT_EQ(xvision.g1.label_mode, 2);
  EXPECT_EQ(Tags(xvision.DICOM_list), (std::vector<std::pair<int, int>>{{0x20, 0x11}}));

  ImageHeader toshiba = Fresh();
  toshiba.format = 27;
  toshiba.g4.manufacturer = "TOSHIBA";
  toshiba.g4.model = "Aquilion";
  toshiba.g1.acq_num = 4;
  ASSERT_EQ(Image_Header_PostProc(nullptr, toshiba), 1);
  EXPECT_EQ(toshiba.g1.acq_num, 4);
  EXPECT_EQ(toshiba.g1.label_mode, 2);

  ImageHeader xspeed = Fresh();
  xspeed.format = 28;
  xspeed.g4.model = "Xspeed";
  ASSERT_EQ(Image_Header_PostProc(nullptr, xspeed), 1);
  EXPECT_EQ(xspeed.g1.label_mode, 2);

  ImageHeader other = Fresh();  // GE Genesis is not touched
  other.format = 12;
  other.g4.manufacturer = "TOSHIBA";
  other.g4.model = "Xvision";
  other.g1.acq_num = 4;
  ASSERT_EQ(Image_Header_PostProc(nullptr, other), 1);
  EXPECT_EQ(other.g1.acq_num, 4);
  EXPECT_EQ(other.g1.label_mode, 0);
}

TEST_F(PostProcTest, SecondFileHoldsTheImagePart) {
  char tmpl[] = "/tmp/kema_postproc_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = std::string(tmpl) + "/";
  std::ofstream(dir + "scan.IMG") << "pixels";

  ImageHeader inf = Fresh();
  inf.format = 20;
  inf.input_type = 1;
  inf.file_size = 1000;
  inf.path = dir;
  inf.name = "scan";
  inf.ext = ".INF";
  inf.input = inf.file_data = dir + "scan.INF";
  inf.g2.compression = 3;
  ASSERT_EQ(Image_Header_PostProc(nullptr, inf), 1);
  EXPECT_EQ(inf.file_data, dir + "scan.IMG");
  EXPECT_EQ(inf.g2.compression, 0);
  EXPECT_TRUE(Logged(8, "--> 2 components ISAC file "));
  EXPECT_TRUE(Texts(2).empty());

  Clear();
  ImageHeader h = Fresh();
  h.format = 24;
  h.input_type = 1;
  h.file_size = 4096;
  h.path = dir;
  h.name = "scan";
  h.ext = ".h";
  h.input = h.file_data = dir + "scan.h";
  h.g2.compression = 3;
  ASSERT_EQ(Image_Header_PostProc(nullptr, h), 1);  // only a warning
  EXPECT_EQ(h.file_data, dir + "scan.h");
  EXPECT_EQ(h.g2.compression, 3);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{"\x04WARNING:\x02 unable to locate image part!"}));

  // Too big to be a header file, or not a named file: no search.
  Clear();
  ImageHeader big = Fresh();
  big.format = 20;
  big.input_type = 1;
  big.file_size = 4097;
  big.path = dir;
  big.name = "scan";
  big.ext = ".INF";
  big.file_data = "orig";
  ASSERT_EQ(Image_Header_PostProc(nullptr, big), 1);
  EXPECT_EQ(big.file_data, "orig");
  EXPECT_FALSE(Logged(8, "--> 2 components ISAC file "));

  std::filesystem::remove_all(tmpl);
}

// ---------------------------------------------------------- pre-processing

TEST_F(PostProcTest, PreProcRefusesCompressionNobodyDecodes) {
  ImageHeader plain = Fresh();
  plain.format = 2;
  EXPECT_EQ(Image_Image_PreProc(nullptr, plain), 1);

  ImageHeader igb = Fresh();
  igb.format = 2;
  igb.name = "head";
  igb.g2.compression = 3;
  EXPECT_EQ(Image_Image_PreProc(nullptr, igb), 0);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{"\xF1\x04" "ERROR:\x01 no compression supported for IGB images !",
                                                "\xF1\x01\t\t file:\x02head\x01 compression:\x02" "3"}));
  EXPECT_TRUE(Logged(8, "in Image_Image_PreProc()"));

  const std::pair<uint16_t, const char*> refused[] = {
      {10, "SIGNA_3"}, {30, "SIEMENS NATIVE"}, {35, "SIEMENS NATIVE"}, {71, "Interfile"}};
  for (const auto& [format, what] : refused) {
    Clear();
    ImageHeader ima = Fresh();
    ima.format = format;
    ima.g2.compression = 1;
    EXPECT_EQ(Image_Image_PreProc(nullptr, ima), 0);
    EXPECT_EQ(Texts(2), (std::vector<std::string>{std::string("\xF1\x04" "ERROR:\x01 no compression supported for ") +
                                                  what + " images !"}));
  }

  Clear();
  ImageHeader spi = Fresh();
  spi.format = 36;
  spi.name = "s1";
  spi.g2.compression = 1;
  EXPECT_EQ(Image_Image_PreProc(nullptr, spi), 0);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{"\xF1\x04" "ERROR:\x01 SIEMENS compressed SPI !",
                                                "\xF1\x01\t\t file: \x02s1 ",
                                                "\xF1\x01\t\t I can not read the SIEMENS SOMATOM compressed images."}));

  Clear();
  ImageHeader rice = Fresh();
  rice.format = 41;
  rice.g2.compression = 1;
  EXPECT_EQ(Image_Image_PreProc(nullptr, rice), 0);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{"\xF1\x04" "ERROR:\x01 Elscint proprietary format !",
                                                "\xF1\x01\t\t I can not read the Elscint \"Lossless Rice\"images."}));

  Clear();
  ImageHeader picker = Fresh();
  picker.format = 60;
  picker.name = "pq";
  picker.g2.compression = 1;
  EXPECT_EQ(Image_Image_PreProc(nullptr, picker), 1);
  picker.g2.compression = 3;
  EXPECT_EQ(Image_Image_PreProc(nullptr, picker), 0);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{"\xF1\x04" "ERROR:\x01 no compression supported for Picker IQ/PQ images !",
                                                "\xF1\x01\t\t file:\x02pq\x01 compression:\x02" "2"}));

  for (uint16_t format : {12, 14, 15, 16, 20, 24, 25, 28, 38, 39, 45, 46, 50, 81, 82, 103}) {
    ImageHeader ima = Fresh();
    ima.format = format;
    ima.g2.compression = 5;
    EXPECT_EQ(Image_Image_PreProc(nullptr, ima), 1) << format;
  }

  // Elscint and TIFF have no reader yet; anything unknown is refused alike.
  for (uint16_t format : {40, 90, 91, 100, 99}) {
    Clear();
    ImageHeader ima = Fresh();
    ima.format = format;
    ima.name = "x";
    ima.g2.compression = 1;
    EXPECT_EQ(Image_Image_PreProc(nullptr, ima), 0);
    EXPECT_EQ(Texts(2), (std::vector<std::string>{"\xF1\x04" "ERROR:\x01 unsupported image type ! (format=" +
                                                      std::to_string(format) + ")\xF0\n",
                                                  "\xF1\x01\t\t file:\x02x"}));
  }
}

// ------------------------------------------------------------ value range

// The range the accessor gives, pixel by pixel.
void Accessor_Range(const ImageHeader& ima, int32_t& lo, int32_t& hi, long& count) {
  lo = hi = 0;
  count = 0;
  for (int t = 0; t < ima.dim_t; ++t)
    for (int z = 0; z < ima.dim_z; ++z)
      for (int y = 0; y < ima.dim_y; ++y)
        for (int x = 0; x < ima.dim_x; ++x) {
          const int32_t v = Image_Pixel_Value(nullptr, &ima, ima.data.data(), x, y, z, t);
          if (v == ima.g2.pix_fill) continue;
          if (count == 0 || v < lo) lo = v;
          if (count == 0 || v > hi) hi = v;
          ++count;
        }
}

template <typename T>
void Check_Scan(const fixtures::LogCapture& log, uint8_t pix_type, int32_t fill, std::mt19937& rng) {
  // More than one block of the scan, with the padding value sprinkled in.
  std::vector<T> values(600 * 600);
  std::uniform_int_distribution<int64_t> dist(std::numeric_limits<T>::min() / 2, std::numeric_limits<T>::max() / 2);
  for (auto& v : values) v = static_cast<T>(dist(rng));
  for (size_t i = 0; i < values.size(); i += 7) values[i] = static_cast<T>(fill);
  values[1000] = std::numeric_limits<T>::min();
  values[70000] = std::numeric_limits<T>::max();
  ImageHeader ima = Grey<T>(pix_type, 600, 300, values);
  ima.dim_z = 2;
  ima.g2.pix_fill = fill;
  if (sizeof(T) == 1) ima.g2.pix_store = 16;  // past the 8-bit shortcut
  ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
  int32_t lo, hi;
  long count;
  Accessor_Range(ima, lo, hi, count);
  ASSERT_GT(count, 0);
  EXPECT_EQ(ima.g2.ima_min, lo) << int(pix_type) << " fill " << fill;
  EXPECT_EQ(ima.g2.ima_max, hi) << int(pix_type) << " fill " << fill;
  EXPECT_TRUE(log.Has("--> min:" + std::to_string(lo) + " max:" + std::to_string(hi) + " with " +
                      std::to_string(count) + " valid pixels", 6));
}

TEST_F(PostProcTest, MinMaxSkipsThePaddingValueForEachSampleType) {
  ImageHeader u16 = Grey<uint16_t>(kPixU16, 5, 1, {0, 5, 65535, 0, 300});
  u16.g2.pix_fill = 0;
  ASSERT_EQ(Image_Image_Min_Max(nullptr, u16), 1);
  EXPECT_EQ(u16.g2.ima_min, 5);
  EXPECT_EQ(u16.g2.ima_max, 65535);
  EXPECT_TRUE(Logged(6, "--> min:5 max:65535 with 3 valid pixels"));
  EXPECT_TRUE(Logged(8, "in Image_Image_Min_Max()"));

  ImageHeader u16_all = Grey<uint16_t>(kPixU16, 3, 1, {0, 7, 2});  // -32768 is no 16-bit unsigned value
  ASSERT_EQ(Image_Image_Min_Max(nullptr, u16_all), 1);
  EXPECT_EQ(u16_all.g2.ima_min, 0);
  EXPECT_EQ(u16_all.g2.ima_max, 7);

  ImageHeader s16 = Grey<int16_t>(kPixS16, 2, 2, {-32768, -2000, 1500, -32768});
  ASSERT_EQ(Image_Image_Min_Max(nullptr, s16), 1);
  EXPECT_EQ(s16.g2.ima_min, -2000);
  EXPECT_EQ(s16.g2.ima_max, 1500);

  // Both 32-bit types read as signed values.
  ImageHeader u32 = Grey<uint32_t>(kPixU32, 3, 1, {0xFFFFFFFFu, 7u, 0xFFFF8000u});
  ASSERT_EQ(Image_Image_Min_Max(nullptr, u32), 1);
  EXPECT_EQ(u32.g2.ima_min, -1);
  EXPECT_EQ(u32.g2.ima_max, 7);

  ImageHeader s32 = Grey<int32_t>(kPixS32, 3, 1, {INT_MIN, 100, -32768});
  ASSERT_EQ(Image_Image_Min_Max(nullptr, s32), 1);
  EXPECT_EQ(s32.g2.ima_min, INT_MIN);
  EXPECT_EQ(s32.g2.ima_max, 100);

  Clear();
  ImageHeader padding = Grey<int16_t>(kPixS16, 2, 1, {-32768, -32768});
  ASSERT_EQ(Image_Image_Min_Max(nullptr, padding), 1);
  EXPECT_EQ(padding.g2.ima_min, 0);
  EXPECT_EQ(padding.g2.ima_max, 0);
  EXPECT_TRUE(Logged(6, "--> min:0 max:0 with 0 valid pixels"));

  // Colour pixels of a grey record give the accessor's packed value.
  ImageHeader packed = Fresh(2, 1);
  packed.g2.pix_type = kPixRGB8;
  packed.g2.pix_store = 16;
  Set_Data<uint8_t>(packed, {10, 20, 30, 1, 2, 3});
  ASSERT_EQ(Image_Image_Min_Max(nullptr, packed), 1);
  EXPECT_EQ(packed.g2.ima_min, static_cast<int32_t>(0xFF030201u));
  EXPECT_EQ(packed.g2.ima_max, static_cast<int32_t>(0xFF1E140Au));

  std::mt19937 rng(12345);
  Check_Scan<uint16_t>(log_, kPixU16, 0, rng);
  Check_Scan<uint16_t>(log_, kPixU16, 1000, rng);
  Check_Scan<int16_t>(log_, kPixS16, -32768, rng);
  Check_Scan<int16_t>(log_, kPixS16, -2000, rng);
  Check_Scan<int32_t>(log_, kPixS32, -32768, rng);
  Check_Scan<int32_t>(log_, kPixS32, 12345678, rng);
  Check_Scan<uint32_t>(log_, kPixU32, -5, rng);
  Check_Scan<uint8_t>(log_, kPixU8, 7, rng);
  Check_Scan<int8_t>(log_, kPixS8, -3, rng);
  Check_Scan<int8_t>(log_, kPixS8, 300, rng);
}

TEST_F(PostProcTest, MinMaxShortcutsAndBadGeometry) {
  // 8-bit samples: the range follows from the top bit alone.
  struct Case {
    uint8_t sign, high;
    int32_t lo, hi;
  } cases[] = {{0, 7, 0, 255}, {0, 3, 0, 15}, {0, 11, 0, 255}, {0, 40, 0, 255},
               {1, 7, -128, 127}, {1, 6, -64, 63}, {1, 0, -1, 0}, {1, 40, 0, INT_MAX}};
  for (const Case& k : cases) {
    ImageHeader ima = Fresh();
    ima.g2.pix_type = k.sign ? kPixS8 : kPixU8;
    ima.g2.pix_sign = k.sign;
    ima.g2.pix_high = k.high;
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);  // no data needed
    EXPECT_EQ(ima.g2.ima_min, k.lo) << int(k.sign) << " " << int(k.high);
    EXPECT_EQ(ima.g2.ima_max, k.hi) << int(k.sign) << " " << int(k.high);
  }

  ImageHeader colour = Fresh();
  colour.g2.pix_plane = 3;
  colour.g2.ima_min = 5;
  ASSERT_EQ(Image_Image_Min_Max(nullptr, colour), 1);
  EXPECT_EQ(colour.g2.ima_min, 0);
  EXPECT_EQ(colour.g2.ima_max, 255);

  ImageHeader known = Grey<int16_t>(kPixS16, 2, 1, {1, 2});
  known.g2.ima_min = -5;
  known.g2.ima_max = 5;
  ASSERT_EQ(Image_Image_Min_Max(nullptr, known), 1);
  EXPECT_EQ(known.g2.ima_min, -5);
  EXPECT_EQ(known.g2.ima_max, 5);

  // A buffer shorter than the geometry is never read past its end.
  Clear();
  ImageHeader shorter = Grey<int16_t>(kPixS16, 4, 4, std::vector<int16_t>(15, 1));
  shorter.input_type = 1;
  shorter.input = "/data/ct/IM1.dcm";
  EXPECT_EQ(Image_Image_Min_Max(nullptr, shorter), 0);
  EXPECT_EQ(Texts(2), (std::vector<std::string>{
                          "ERROR: /data/ct/IM1.dcm: pixel buffer of 30 bytes is smaller than its 4x4x1x1 pixels of 2 bytes"}));

  ImageHeader empty = Fresh(0, 0);
  empty.g2.pix_type = kPixS16;
  empty.g2.pix_store = 16;
  ASSERT_EQ(Image_Image_Min_Max(nullptr, empty), 1);
  EXPECT_EQ(empty.g2.ima_max, 0);

  // An unknown type gives the padding value everywhere: no range.
  ImageHeader unknown = Fresh(2, 2);
  unknown.g2.pix_type = 0;
  unknown.g2.pix_store = 12;
  ASSERT_EQ(Image_Image_Min_Max(nullptr, unknown), 1);
  EXPECT_EQ(unknown.g2.ima_min, 0);
  EXPECT_EQ(unknown.g2.ima_max, 0);
}

// --------------------------------------------------------------- coherence

uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

ImageHeader Swapped_U16(const std::vector<uint16_t>& values, int32_t hdr_min, int32_t hdr_max) {
  std::vector<uint16_t> stored;
  for (uint16_t v : values) stored.push_back(Swap16(v));
  ImageHeader ima = Grey<uint16_t>(kPixU16, static_cast<uint16_t>(values.size()), 1, stored);
  ima.g2.pix_bits = 12;
  ima.g2.hdr_min = hdr_min;
  ima.g2.hdr_max = hdr_max;
  return ima;
}

TEST_F(PostProcTest, CoherenceSwapsWrongByteOrderOnlyWhenItHelps) {
  // Read in the wrong order: 1, 4000, 2000 show as 256, 40975, 53255.
  ImageHeader kept = Swapped_U16({1, 4000, 2000}, 0, 4095);
  ASSERT_EQ(Image_Image_Coherence(nullptr, kept), 1);
  EXPECT_EQ(Get_Data<uint16_t>(kept.data), (std::vector<uint16_t>{1, 4000, 2000}));
  EXPECT_EQ(kept.g2.pix_swap, 1);
  EXPECT_EQ(kept.g2.ima_min, 1);
  EXPECT_EQ(kept.g2.ima_max, 4000);
  EXPECT_TRUE(Logged(8, "--> 1 Pixel min:256 max:53255 range:52999"));
  EXPECT_TRUE(Logged(8, "--> Pixel Swap (range 52999 > max 4095)"));
  EXPECT_TRUE(Logged(8, "--> 2 Pixel min:1 max:4000 range:3999"));
  EXPECT_FALSE(Logged(8, "--> Image data has been swapped"));

  Clear();
  ImageHeader fine = Grey<uint16_t>(kPixU16, 3, 1, {1, 4000, 2000});
  fine.g2.hdr_max = 4095;
  ASSERT_EQ(Image_Image_Coherence(nullptr, fine), 1);
  EXPECT_EQ(fine.g2.pix_swap, 0);
  EXPECT_TRUE(Logged(8, "--> NO pixel Swap (range 3999 < max 4095)"));

  // Narrower after the swap though still too wide: kept, and said so.
  Clear();
  ImageHeader narrower = Grey<uint16_t>(kPixU16, 3, 1, {0x0000, 0x0001, 0x0300});
  narrower.g2.hdr_max = 10;
  ASSERT_EQ(Image_Image_Coherence(nullptr, narrower), 1);
  EXPECT_EQ(Get_Data<uint16_t>(narrower.data), (std::vector<uint16_t>{0, 256, 3}));
  EXPECT_EQ(narrower.g2.pix_swap, 1);
  EXPECT_TRUE(Logged(8, "--> Image data has been swapped"));

  // Wider after the swap: the data as read come back.
  Clear();
  ImageHeader reverted = Grey<uint16_t>(kPixU16, 3, 1, {0x0001, 0x0002, 0x0100});
  reverted.g2.hdr_max = 10;
  ASSERT_EQ(Image_Image_Coherence(nullptr, reverted), 1);
  EXPECT_EQ(Get_Data<uint16_t>(reverted.data), (std::vector<uint16_t>{1, 2, 256}));
  EXPECT_EQ(reverted.g2.pix_swap, 0);
  EXPECT_EQ(reverted.g2.ima_min, 1);
  EXPECT_EQ(reverted.g2.ima_max, 256);
  EXPECT_TRUE(Logged(8, "--> 2 Pixel min:1 max:512 range:511"));
  EXPECT_TRUE(Logged(8, "--> Unable to fix dynamic range problem"));

  // The expected range: header range over the slope, else 2^bits, at most 60000.
  struct Case {
    int32_t hdr_min, hdr_max;
    float slope;
    uint16_t bits;
    const char* line;
  } ranges[] = {{0, 4095, 0.5f, 12, "--> NO pixel Swap (range 7000 < max 8190)"},
                {-1000, 3095, 1.0f, 12, "--> Pixel Swap (range 7000 > max 4095)"},
                {0, 0, 1.0f, 13, "--> NO pixel Swap (range 7000 < max 8192)"},
                {0, 0, 1.0f, 16, "--> NO pixel Swap (range 7000 < max 60000)"},
                {0, 100000, 1.0f, 12, "--> NO pixel Swap (range 7000 < max 60000)"},
                {0, 4095, NAN, 12, "--> Pixel Swap (range 7000 > max 4096)"}};
  for (const Case& k : ranges) {
    Clear();
    ImageHeader ima = Grey<uint16_t>(kPixU16, 2, 1, {1000, 8000});
    ima.g2.hdr_min = k.hdr_min;
    ima.g2.hdr_max = k.hdr_max;
    ima.g2.rescale_slope = k.slope;
    ima.g2.pix_bits = k.bits;
    ASSERT_EQ(Image_Image_Coherence(nullptr, ima), 1);
    EXPECT_TRUE(Logged(8, k.line)) << k.line;
  }

  // Not checked: flagged, colour or 8-bit data.
  for (int which = 0; which < 3; ++which) {
    ImageHeader ima = Swapped_U16({1, 4000, 2000}, 0, 4095);
    if (which == 0) ima.flags = 0x02;
    if (which == 1) ima.g2.pix_plane = 3;
    if (which == 2) ima.g2.pix_store = 8;
    ASSERT_EQ(Image_Image_Coherence(nullptr, ima), 1);
    EXPECT_EQ(ima.g2.pix_swap, 0);
    EXPECT_EQ(Get_Data<uint16_t>(ima.data)[0], 0x0100);
  }

  ImageHeader shorter = Swapped_U16({1, 4000, 2000}, 0, 4095);
  shorter.dim_x = 4;
  EXPECT_EQ(Image_Image_Coherence(nullptr, shorter), 0);
}

// -------------------------------------------------------- makers' fixes

ImageHeader Ct(const char* maker, const std::vector<int16_t>& values, int32_t fill) {
  ImageHeader ima = Grey<int16_t>(kPixS16, static_cast<uint16_t>(values.size()), 1, values);
  ima.modality = kModalityCT;
  ima.g4.manufacturer = maker;
  ima.g2.pix_fill = fill;
  return ima;
}

TEST_F(PostProcTest, MakersPaddingValueFixes) {
  ImageHeader ge = Ct("GE MEDICAL SYSTEMS", {static_cast<int16_t>(0xF830), 100, 50, -2000}, 0);
  ASSERT_EQ(Image_Image_PostProc(nullptr, ge), 1);
  EXPECT_EQ(ge.g2.pix_fill, -2000);
  EXPECT_EQ(ge.g2.ima_min, 50);
  EXPECT_EQ(ge.g2.ima_max, 100);
  EXPECT_TRUE(Logged(8, "--> change pix_fill to -2000"));

  const std::pair<int16_t, int32_t> ge_cases[] = {{-1024, -1024}, {0, 0}, {5, -32768}};
  for (const auto& [first, fill] : ge_cases) {
    ImageHeader ima = Ct("GE", {first, 7}, 0);
    ASSERT_EQ(Image_Image_PostProc(nullptr, ima), 1);
    EXPECT_EQ(ima.g2.pix_fill, fill) << first;
  }
  ImageHeader ge_set = Ct("GE", {-1024, 7}, -1);  // a padding value already given stays
  ASSERT_EQ(Image_Image_PostProc(nullptr, ge_set), 1);
  EXPECT_EQ(ge_set.g2.pix_fill, -1);

  const std::pair<int16_t, int32_t> toshiba_cases[] = {{-1024, -1024}, {-2048, -2048}, {-1000, -32768}};
  for (const auto& [first, fill] : toshiba_cases) {
    ImageHeader ima = Ct("TOSHIBA", {first, 7, 9}, -32768);
    ASSERT_EQ(Image_Image_PostProc(nullptr, ima), 1);
    EXPECT_EQ(ima.g2.pix_fill, fill) << first;
  }
  ImageHeader toshiba = Ct("TOSHIBA", {-2048, 7, 9}, -32768);
  ASSERT_EQ(Image_Image_PostProc(nullptr, toshiba), 1);
  EXPECT_EQ(toshiba.g2.ima_min, 7);
  EXPECT_EQ(toshiba.g2.ima_max, 9);

  // Yokogawa: the band -1600..-1300 of the first image only becomes -1500.
  ImageHeader yoko = Ct("YOKOGAWA", {-1601, -1600, -1450, -1300, -1299, 0, -1450, -1450}, -32768);
  yoko.dim_x = 3;
  yoko.dim_y = 2;
  yoko.g4.model = "ProSpeed SX";
  ASSERT_EQ(Image_Image_PostProc(nullptr, yoko), 1);
  EXPECT_EQ(Get_Data<int16_t>(yoko.data),
            (std::vector<int16_t>{-1601, -1500, -1500, -1500, -1299, 0, -1450, -1450}));
  ImageHeader yoko_other = Ct("YOKOGAWA", {-1450}, -32768);
  yoko_other.g4.model = "Prospeed";
  ASSERT_EQ(Image_Image_PostProc(nullptr, yoko_other), 1);
  EXPECT_EQ(Get_Data<int16_t>(yoko_other.data)[0], -1450);

  // Elscint: negatives cleared unless the first pixel is -1000, which
  // instead marks signed data and moves the level.
  ImageHeader elscint = Ct("Elscint", {-999, -5, 7, -3}, -32768);
  elscint.dim_x = 3;
  ASSERT_EQ(Image_Image_PostProc(nullptr, elscint), 1);
  EXPECT_EQ(Get_Data<int16_t>(elscint.data), (std::vector<int16_t>{0, 0, 7, -3}));
  ImageHeader elscint_pad = Ct("Elscint", {-1000, -5}, -32768);
  elscint_pad.g2.pix_sign = 0;
  elscint_pad.g2.rescale_intercept = -1000;
  elscint_pad.g2.level = 40;
  ASSERT_EQ(Image_Image_PostProc(nullptr, elscint_pad), 1);
  EXPECT_EQ(Get_Data<int16_t>(elscint_pad.data), (std::vector<int16_t>{-1000, -5}));
  EXPECT_EQ(elscint_pad.g2.rescale_intercept, 0.0f);
  EXPECT_EQ(elscint_pad.g2.pix_sign, 1);
  EXPECT_EQ(elscint_pad.g2.level, 1040);

  // Unsigned data padded with 32768.
  Clear();
  ImageHeader pad = Grey<uint16_t>(kPixU16, 3, 1, {32768, 12, 32768});
  ASSERT_EQ(Image_Image_PostProc(nullptr, pad), 1);
  EXPECT_EQ(pad.g2.pix_fill, 32768);
  EXPECT_EQ(pad.g2.ima_min, 12);
  EXPECT_EQ(pad.g2.ima_max, 12);
  EXPECT_TRUE(Logged(8, "--> change pix_fill to 32768"));

  ImageHeader mr = Grey<int16_t>(kPixS16, 2, 1, {0, 40});
  mr.modality = kModalityMR;
  mr.g4.manufacturer = "GE MEDICAL SYSTEMS";
  mr.g2.pix_fill = 0;
  ASSERT_EQ(Image_Image_PostProc(nullptr, mr), 1);
  EXPECT_EQ(mr.g2.pix_fill, -32768);
  EXPECT_EQ(mr.g2.ima_min, 0);
  EXPECT_EQ(mr.g2.ima_max, 40);

  // Rows stored bottom up are turned once.
  ImageHeader bottom_up = Grey<uint8_t>(kPixU8, 2, 3, {1, 2, 3, 4, 5, 6});
  bottom_up.flags = 0x80 | 0x02;
  ASSERT_EQ(Image_Image_PostProc(nullptr, bottom_up), 1);
  EXPECT_EQ(Get_Data<uint8_t>(bottom_up.data), (std::vector<uint8_t>{5, 6, 3, 4, 1, 2}));
  EXPECT_EQ(bottom_up.flags, 0x02u);
  EXPECT_TRUE(Logged(8, "in Image_Image_PostProc()"));
}

// -------------------------------------------------------------------- flip

TEST_F(PostProcTest, FlipMirrorsAndTurnsEachImage) {
  ImageHeader u8 = Grey<uint8_t>(kPixU8, 3, 2, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Get_Data<uint8_t>(Image_Flip(u8, u8.data, 1)), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(Get_Data<uint8_t>(Image_Flip(u8, u8.data, 2)), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  EXPECT_EQ(Get_Data<uint8_t>(Image_Flip(u8, u8.data, 3)), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Get_Data<uint8_t>(u8.data), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

  // Two images of 16-bit samples, each turned by itself.
  ImageHeader u16 = Grey<uint16_t>(kPixS16, 2, 2, {1, 2, 3, 4, 10, 20, 30, 40});
  u16.dim_t = 2;
  EXPECT_EQ(Get_Data<uint16_t>(Image_Flip(u16, u16.data, 2)), (std::vector<uint16_t>{3, 4, 1, 2, 30, 40, 10, 20}));
  EXPECT_EQ(Get_Data<uint16_t>(Image_Flip(u16, u16.data, 3)), (std::vector<uint16_t>{4, 3, 2, 1, 40, 30, 20, 10}));

  // Whole pixels move, whatever their size.
  ImageHeader rgb = Fresh(2, 1);
  rgb.g2.pix_type = kPixRGB8;
  Set_Data<uint8_t>(rgb, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Get_Data<uint8_t>(Image_Flip(rgb, rgb.data, 1)), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  ImageHeader rgba32 = Fresh(2, 1);
  rgba32.g2.pix_type = kPixRGBA32;
  Set_Data<uint32_t>(rgba32, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(Get_Data<uint32_t>(Image_Flip(rgba32, rgba32.data, 1)), (std::vector<uint32_t>{5, 6, 7, 8, 1, 2, 3, 4}));
  ImageHeader rgba16 = Fresh(3, 1);
  rgba16.g2.pix_type = kPixRGBA16;
  Set_Data<uint16_t>(rgba16, {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3});
  EXPECT_EQ(Get_Data<uint16_t>(Image_Flip(rgba16, rgba16.data, 1)),
            (std::vector<uint16_t>{3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1}));

  // No image count still means one image.
  ImageHeader zero = Grey<uint8_t>(kPixU8, 1, 2, {1, 2});
  zero.dim_z = 0;
  EXPECT_EQ(Get_Data<uint8_t>(Image_Flip(zero, zero.data, 2)), (std::vector<uint8_t>{2, 1}));

  // Too few bytes for the geometry, or an unknown type: no buffer.
  ImageHeader shorter = Grey<uint8_t>(kPixU8, 3, 3, {1, 2, 3, 4, 5, 6});
  EXPECT_TRUE(Image_Flip(shorter, shorter.data, 2).empty());
  ImageHeader unknown = Grey<uint8_t>(0, 3, 2, {1, 2, 3, 4, 5, 6});
  EXPECT_TRUE(Image_Flip(unknown, unknown.data, 2).empty());

  // A failed flip leaves the data as they were.
  shorter.flags = 0x80;
  ASSERT_EQ(Image_Image_PostProc(nullptr, shorter), 1);
  EXPECT_EQ(Get_Data<uint8_t>(shorter.data), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

}  // namespace
