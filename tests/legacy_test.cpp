// The Elscint and GE CT 9800 readers: plain, line-compressed and byte-coded
// pixels from a file and from memory, the codes and their limits, the vector
// decoders against their one-code-at-a-time references, fields, geometry,
// damaged files and copied records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Convert/conv_lanes.h"
#include "Convert/conv_value_range.h"
#include "Convert/formats/local_Elscint.h"
#include "Convert/formats/local_Ge_CT9800.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;

constexpr uint16_t kFill = 0x8000;  // the CT 9800 default fill, as a stored sample

TEST(Legacy, FilesDecodeToTheirPixelsFromFileAndFromMemory) {
  const TempDir dir;
  const ElscintSpec plain{.width = 48, .height = 40, .compressed = false}, packed{.width = 48, .height = 40};
  const CT9800Spec flat{.size = 48}, mapped{.size = 48, .map = true};
  const struct {
    std::vector<uint8_t> bytes;
    uint16_t format;
    std::vector<uint16_t> want;
  } cases[] = {{Elscint_File(plain), 40, Elscint_Expected(plain)}, {Elscint_File(packed), 40, Elscint_Expected(packed)},
               {CT9800_File(flat), 16, CT9800_Expected(flat, kFill)}, {CT9800_File(mapped), 16, CT9800_Expected(mapped, kFill)}};
  for (const auto& c : cases) {
    ASSERT_TRUE(Write_File(dir / "legacy.img", c.bytes));
    LogCapture log(0);
    auto ima = Kema_Image_Header_Read(nullptr, 0, (dir / "legacy.img").c_str());
    ASSERT_TRUE(ima);
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
    EXPECT_EQ(ima->format, c.format);
    EXPECT_EQ(ima->dim_x * 1000 + ima->dim_y, c.format == 40 ? 48040 : 48048);  // Elscint not square
    EXPECT_EQ(Samples(*ima), c.want);
    EXPECT_LT(ima->g2.ima_max, 4096);  // unmapped corners are fill, in no range
    EXPECT_EQ(Samples(*Read_Legacy(c.bytes).ima), c.want);
  }
}

// ---- Elscint ----

class Elscint : public testing::Test {
  UtcZone utc_;
};


const auto Row = Elscint_Stored_Row;

TEST_F(Elscint, RowCodesAndTheirLimits) {
  // Row 0: c = 1, only the first value at x0 and the last at x0 + 1.
  // Row 1: 0x40 is -64; 0x81 0x00 is +256; 0xC0 0x00 is -16384, which
  //        leaves 0..4096, so the sample repeats the one before.
  // Row 2: a step above 4096 repeats too; +0x3F reaches 4096 exactly.
  // Row 3: a first value above 32767, cleared as a negative one.
  // Row 4: a span reaching past the width: its tail is dropped.
  ElscintSpec s{.width = 8, .height = 5};
  s.raw_rows = {{0, Row(2, 700, 1, {}, 900)},
                {1, Row(0, 1000, 5, {0x40, 0x81, 0x00, 0xC0, 0x00, 0x01}, 77)},
                {2, Row(1, 4000, 3, {0x81, 0x00, 0x3F}, 5)},
                {3, Row(3, 40000, 1, {}, 1234)},
                {4, Row(6, 10, 4, {0x01, 0x01, 0x01}, 9)}};
  const std::vector<uint16_t> expected = {
      0,    0,    700,  900,  0,    0,  0,  0,   //
      1000, 936,  1192, 1192, 1193, 77, 0,  0,   //
      0,    4000, 4000, 4063, 5,    0,  0,  0,   //
      0,    0,    0,    0,    1234, 0,  0,  0,   //
      0,    0,    0,    0,    0,    0,  10, 11,  //
  };
  EXPECT_EQ(Samples(*Read_Legacy(Elscint_File(s)).ima), expected);
}

TEST_F(Elscint, DamagedFilesFailOrShowWhatTheyHold) {
  ElscintSpec past{.width = 8, .height = 3};
  past.raw_rows[1] = Row(0, 100, 6, {0x81, 0x01}, 5);  // six samples promised, two bytes of stream
  ElscintSpec tall{.width = 4, .height = 1100};
  tall.rows.assign(1100, ElscintRow{.empty = true});
  auto narrow = Elscint_File({.width = 16, .height = 16});
  narrow[370] = narrow[371] = 0;
  const std::pair<std::vector<uint8_t>, std::vector<std::string>> cases[] = {
      {Elscint_File(past), {"in Elscint Compression !", "Bad line lenght, line 1"}},
      {Elscint_File(tall), {"Elscint line-length table: row 1099 lies past its 1024 entries"}},
      {narrow, {"Elscint image of 0x16 pixels"}},
  };
  for (const auto& [bytes, errors] : cases) {
    LogCapture log(2);
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    EXPECT_TRUE(!ima || Kema_Image_Get_Image(nullptr, *ima) == 0);
    for (const std::string& e : errors) EXPECT_TRUE(log.Contains(e)) << e;
  }
  // A transfer cut short inside row 20: rows 0..19 are shown, the rest is fill (0).
  const ElscintSpec s{.width = 32, .height = 32};
  auto bytes = Elscint_File(s);
  size_t end = 3072;
  for (int y = 0; y < 20; ++y) end += 2 * (bytes[1024 + 2 * y] | bytes[1025 + 2 * y] << 8);
  bytes.resize(end + 3);
  const auto cut = Read_Legacy(bytes);
  auto want = Elscint_Expected(s);
  std::fill(want.begin() + 20 * 32, want.end(), 0);
  EXPECT_EQ(Samples(*cut.ima), want);
  EXPECT_TRUE(cut.Logged("--> compressed rows end after row 20 of 32"));
  // The fill, cleared to 0 as a negative sample, leaves the range with it.
  EXPECT_EQ(cut.ima->g2.ima_max, *std::max_element(want.begin(), want.end()));
}

TEST_F(Elscint, FieldsGeometryAndListing) {
  ElscintSpec s{.compressed = false, .slice_type = 52, .birth = 315532800};  // 1 January 1980
  const auto r = Read_Legacy(Elscint_File(s));
  ASSERT_TRUE(r.ima);
  const ImageHeader& ima = *r.ima;
  EXPECT_EQ(ima.g3.patient_name, "COHEN^DAVID");
  EXPECT_EQ(ima.g4.ct.filter, "B");
  EXPECT_EQ(ima.g3.birth_date, (std::array<uint16_t, 3>{1980, 1, 1}));
  EXPECT_EQ(ima.g1.image_time, 700000000);
  EXPECT_FLOAT_EQ(ima.g4.table_pos, -123.4f);
  EXPECT_FLOAT_EQ(ima.g1.pix_dim[2], 10.0f);
  EXPECT_FLOAT_EQ(ima.g4.scan_time, 2.0f);
  EXPECT_EQ(ima.g2.level * 1000 + ima.g2.window, 40400);
  EXPECT_EQ(ima.g3.patient_entry * 10 + ima.g3.patient_position, 161);
  // Head first, supine, axial, rows turned: the first pixel is the centre
  // (12.5, -5) less half the image along both final directions.
  EXPECT_EQ(ima.g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima.g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_EQ(ima.g1.position, (Vec4{12.5f - 32, -5.0f - 32, -123.4f, 0}));
  for (const char* line : {"Slice type:              3D case tissue invisible", "Patient Name:                    COHEN^DAVID\n",
                           "Date of scan:            07 Mar 1992  20:26:40", "Bed Increment:           10.00 mm"})
    EXPECT_NE(r.text.find(line), std::string::npos) << line;

  // A scout, feet first and prone: exposure a tenth, sagittal directions,
  // the vertical one turned with the rows.
  const auto sc = Read_Legacy(Elscint_File({.compressed = false, .axial = false, .position_bits = 0x1000})).ima;
  EXPECT_EQ(sc->image_type, 5);
  EXPECT_FLOAT_EQ(sc->g4.ct.exposure, 30.0f);
  EXPECT_EQ(sc->g3.patient_entry * 10 + sc->g3.patient_position, 322);
  EXPECT_EQ(sc->g1.dir_h, (Vec4{0, 0, -1, 0}));
  EXPECT_EQ(sc->g1.dir_v, (Vec4{0, -1, 0, 0}));
}

TEST_F(Elscint, CopiedRecordKeepsItsOwnLineTables) {
  const auto bytes = Elscint_File({.width = 16, .height = 16});
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  ASSERT_TRUE(ima && Elscint_PreProc(ReadContext{}, *ima) == 1);
  ImageHeader copy;
  Image_Init_Header(copy);
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, copy, *ima), 1);
  Kema_Image_Free_Header(nullptr, *ima);
  const auto* el = dynamic_cast<const ElscintStorage*>(copy.g2.storage.get());
  ASSERT_TRUE(el && el->line_length.size() == 16u);
  EXPECT_EQ(el->line_offset[1], 3072u + 2 * el->line_length[0]);
  EXPECT_EQ(el->line_stop[8] - el->line_start[8], 14);  // the disc's widest row: c = 2 * 7
}


// ---- GE CT 9800 ----


TEST(CT9800, MapRowsAndByteCodesAtTheirLimits) {
  // Row 0: no run, fill at both ends. Row 1: half the width, no fill.
  // Row 2: a run wider than the row: decoded, and only the row kept.
  // Row 3: one sample each side of the centre.
  const CT9800Spec s{.size = 8, .map = true, .line_size = {0, 4, 6, 1, 0, 0, 0, 0}};
  const auto got = Samples(*Read_Legacy(CT9800_File(s)).ima);
  EXPECT_EQ(got, CT9800_Expected(s, kFill));
  EXPECT_EQ(std::count(got.begin(), got.begin() + 8, kFill), 8);
  EXPECT_EQ(std::count(got.begin() + 8, got.begin() + 16, kFill), 0);
  EXPECT_EQ(std::count(got.begin() + 24, got.begin() + 32, kFill), 6);
  const CT9800Spec odd{.size = 15, .map = true};  // one column of some rows neither run nor fill: 0
  EXPECT_EQ(Samples(*Read_Legacy(CT9800_File(odd)).ima), CT9800_Expected(odd, kFill));
  // Row 0: absolute 0x0123, +0x3F, -1 (0xFF), -64 (0xC0).
  // Row 1 starts from 0 again: +5, then absolute 0x7FFF, +1 wraps past 15 bits.
  // Row 2: 0x80 (+0), -1 from 0: 0xFFFF as a 16-bit sample.
  const CT9800Spec codes{.size = 4, .raw_data = {0x01, 0x23, 0xBF, 0xFF, 0xC0, 0x85, 0x7F, 0xFF, 0x81, 0x80, 0x80,
                                                 0xFF, 0x80, 0x80, 0x00, 0x00, 0x00, 0x01, 0x81, 0x82}};
  const std::vector<uint16_t> want = {0x0123, 0x0162, 0x0161, 0x0121, 5, 0x7FFF, 0x8000, 0x8000,
                                      0,      0xFFFF, 0xFFFF, 0xFFFF, 0, 1,      2,      4};
  EXPECT_EQ(Samples(*Read_Legacy(CT9800_File(codes)).ima), want);
}

TEST(CT9800, DirectoryPointersAndDefaults) {
  // All pointers 0: every block at its usual place.
  auto r = Read_Legacy(CT9800_File({.size = 16, .map = true, .zero_pointers = true}));
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->ima_offset, 3072u);
  EXPECT_EQ(r.ima->g3.patient_name, "SMITH^ANNA");
  EXPECT_EQ(Samples(*r.ima), CT9800_Expected({.size = 16, .map = true}, kFill));
  // An even pointer: the block is where (p div 2) x 4 says, 2 bytes past (p - 1) x 2.
  r = Read_Legacy(CT9800_File({.size = 16, .exam_pointer = 258}));
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->g1.study_num, 4711);
}

TEST(CT9800, FieldsGeometryAndListing) {
  const auto r = Read_Legacy(CT9800_File({.size = 64, .map = true}));
  ASSERT_TRUE(r.ima);
  const ImageHeader& ima = *r.ima;
  EXPECT_EQ(ima.g1.series_num * 100 + ima.g1.image_num, 734);
  EXPECT_EQ(ima.g3.hospital_name, "ST ELSEWHERE");
  EXPECT_EQ(ima.g3.patient_position, 1);  // supine, coded 2 in the file
  EXPECT_FLOAT_EQ(ima.g4.table_height, 140.5f);
  EXPECT_FLOAT_EQ(ima.g1.pix_dim[0], 250.0f / 64);
  EXPECT_FLOAT_EQ(ima.g1.pix_size[2], 5.0f);
  EXPECT_FLOAT_EQ(ima.g2.rescale_intercept, -1024.0f);
  // Position as stored; head first supine axial directions.
  EXPECT_EQ(ima.g1.position, (Vec4{10.5f, -20.0f, -250.25f, 0}));
  EXPECT_EQ(ima.g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima.g1.dir_v, (Vec4{0, -1, 0, 0}));
  for (const char* line : {"------ ------ GE Ct 9800 Image header ------ ------", "File Name:               IM0000123.IMG ",
                           "Table pos:               -250.25 (mm)", "Image map used:          yes"})
    EXPECT_NE(r.text.find(line), std::string::npos) << line;
  // Scouts: lateral is sagittal, AP coronal.
  EXPECT_EQ(Read_Legacy(CT9800_File({.size = 16, .file_type = 2, .scout_orient = 1})).ima->image_type, 6);
  EXPECT_EQ(Read_Legacy(CT9800_File({.size = 16, .file_type = 2, .scout_orient = 0})).ima->image_type, 7);
}

TEST(CT9800, DamagedFiles) {
  auto patch = [](std::vector<uint8_t> b, size_t at, std::vector<uint8_t> v) {
    return std::copy(v.begin(), v.end(), b.begin() + at), b;
  };
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {patch(CT9800_File({.size = 16}), 0, {'8'}), "Invalid Image: Misplaced key work \"9800\""},
      {patch(CT9800_File({.size = 16, .map = true}), 74, {0x7F}), "GE CT 9800 image map: row 0 lies past the end of the file"},
      {patch(CT9800_File({.size = 16}), 68, {0x7F}), "GE CT 9800 directory: entry 1 (exam)"},
  };
  for (const auto& [bytes, error] : cases) {
    const auto r = Read_Legacy(bytes, 16);
    EXPECT_FALSE(r.ima);
    EXPECT_TRUE(r.Logged(error)) << error;
  }
  // A real beyond a float's range leaves the position unset.
  const auto far = Read_Legacy(patch(CT9800_File({.size = 16}), 1024 + 312, {0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(far.ima->g1.position, (Vec4{}));
  EXPECT_TRUE(far.Logged("--> image position out of range: left unset"));
  // Pixel data cut short: the rows it holds, then fill.
  const CT9800Spec s{.size = 32};
  auto bytes = CT9800_File(s);
  bytes.resize(bytes.size() - (bytes.size() - 2560) / 4);  // a quarter of the pixel bytes lost
  const auto cut = Read_Legacy(bytes);
  const auto got = Samples(*cut.ima);
  const size_t rows = std::find(got.begin(), got.end(), kFill) - got.begin();
  EXPECT_GT(rows, 16u * 32);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + rows / 32 * 32, CT9800_Expected(s, kFill).begin()));
  EXPECT_TRUE(std::all_of(got.begin() + rows, got.end(), [](uint16_t v) { return v == kFill; }));
  EXPECT_TRUE(cut.Logged("--> compressed data ends in row"));
}

// The CT 9800 reader takes the range of what it decodes on the way: it
// must be the one the range steps would find, the padding change included.
TEST(CT9800, RangeTakenWhileDecodingIsTheRangeStepsOwn) {
  CT9800Spec fill_like{.size = 16, .map = true};  // decoded samples equal to the fill, inside the map
  fill_like.pixels.assign(256, 700);
  fill_like.pixels[8 * 16 + 7] = 0x7FFF, fill_like.pixels[8 * 16 + 8] = 0x8000;  // a step of +1 past 15 bits
  auto ct_cut = CT9800_File({.size = 32, .map = true});
  ct_cut.resize(ct_cut.size() - 400);
  const std::vector<uint8_t> files[] = {CT9800_File({.size = 48, .map = true}), CT9800_File({.size = 15, .map = true}),
                                        CT9800_File(fill_like), ct_cut, CT9800_File({.size = 24})};
  for (size_t i = 0; i < std::size(files); ++i) {
    const auto r = Read_Legacy(files[i]);
    ASSERT_EQ(r.pixels, 1) << i;
    const auto taken = r.log.rfind("--> min:");
    ASSERT_NE(taken, std::string::npos) << i;
    ImageHeader& ima = *r.ima;
    const int32_t min = ima.g2.ima_min, max = ima.g2.ima_max;
    ima.g2.ima_min = ima.g2.ima_max = 0;
    LogCapture log(6);
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
    EXPECT_EQ(ima.g2.ima_min * 100000 + ima.g2.ima_max, min * 100000 + max) << i;
    EXPECT_TRUE(log.Contains(r.log.substr(taken, r.log.find('\n', taken) - taken))) << i;  // the count too
  }
  EXPECT_EQ(Samples(*Read_Legacy(CT9800_File(fill_like)).ima), CT9800_Expected(fill_like, kFill));
}

// ---- the vector decoders against their references ----

struct Random {
  uint32_t s;
  uint32_t operator()() { return s ^= s << 13, s ^= s >> 17, s ^= s << 5; }
};

// A difference stream of n bytes: one-byte codes within +-spread (bit 7
// clear for Elscint, set for CT 9800), and a long code (CT 9800: an absolute
// value) at `escape` chances in 256. Trials run from long runs of small
// steps to random bytes; Elscint starts also next to 0, 4096 and above it.
std::vector<uint8_t> Stream(Random& r, size_t n, int trial, bool ct9800) {
  const int spread = 1 + trial % 64;
  const unsigned escape = (trial / 64 % 5) * (trial / 64 % 5) * 16;  // 0, 16, 64, 144, 256
  std::vector<uint8_t> s;
  while (s.size() < n) {
    const int d = static_cast<int>(r() % (2 * spread + 1)) - spread;
    if (r() % 256 < escape)
      s.push_back(static_cast<uint8_t>(ct9800 ? r() & 0x7F : r() | 0x80)), s.push_back(static_cast<uint8_t>(r()));
    else
      s.push_back(static_cast<uint8_t>((d & 0x7F) | (ct9800 ? 0x80 : 0)));
  }
  return s.resize(n), s;
}

// The Elscint decoder runs on the wide registers (where the processor has
// them) and on the narrow ones every processor has.
class LegacyDecode : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Lanes_Narrow_Only(GetParam()); }
  void TearDown() override { Lanes_Narrow_Only(false); }
};
INSTANTIATE_TEST_SUITE_P(Lanes, LegacyDecode, ::testing::Values(false, true));

TEST_P(LegacyDecode, ElscintVectorRowsMatchTheReference) {
  Random r{12345};
  constexpr uint16_t kFirst[] = {2000, 4090, 3, 5000};
  for (int trial = 0; trial < 3000; ++trial) {
    const size_t width = 1 + r() % 300;
    const uint16_t c = static_cast<uint16_t>(r() % 8 ? r() % 320 : r());  // at times past the stream
    const uint16_t x0 = static_cast<uint16_t>(r() % 4 ? r() % 40 : r() % 400);
    const auto stream = Stream(r, 2 * (r() % 200), trial, false);
    auto row = Elscint_Stored_Row(x0, kFirst[trial % 4], c, stream, static_cast<uint16_t>(r()));
    const size_t n = row.size(), readable = r() % 2 ? r() % 80 : 0;  // bytes of the next row
    for (size_t j = 0; j < readable; ++j) row.push_back(static_cast<uint8_t>(r()));
    std::vector<uint16_t> want(width, 0xBEEF), got(width, 0xBEEF);
    std::vector<uint8_t> scratch(n);
    const int ok = Elscint_Decode_Row_Scalar({row.data(), n}, want.data(), width);
    ASSERT_EQ(Elscint_Decode_Row({row.data(), n}, got.data(), width, scratch.data(), readable), ok) << trial;
    if (ok) {
      EXPECT_EQ(got, want) << trial;  // a failed row is dropped by the reader
    }
  }
}

TEST(LegacyDecodeRuns, CT9800VectorRunsMatchTheReference) {
  Random r{777};
  for (int trial = 0; trial < 3000; ++trial) {
    const auto bytes = Stream(r, r() % 700, trial, true);
    const size_t count = r() % 600;
    uint32_t v_want = r(), v_got = v_want;
    const uint8_t *p_want = bytes.data(), *p_got = bytes.data();
    std::vector<uint16_t> want(count), got(count);
    const size_t n = GE_CT9800_Decode_Scalar(p_want, bytes.data() + bytes.size(), want.data(), count, v_want);
    ASSERT_EQ(GE_CT9800_Decode(p_got, bytes.data() + bytes.size(), got.data(), count, v_got), n) << trial;
    ASSERT_TRUE(p_got == p_want && v_got == v_want) << trial;
    // Samples past those decoded are left to the caller (it fills the row).
    ASSERT_TRUE(std::equal(want.begin(), want.begin() + n, got.begin())) << trial;
  }
}

}  // namespace
