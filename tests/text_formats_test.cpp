// The text-header readers: fields and pixels of files from the fixture
// writer, the second-file rules, damaged headers, and the line reader's
// limits.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/kema_image.h"
#include "Convert/formats/local_Analyze.h"
#include "Convert/formats/text_header.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"
#include "tests/fixtures/text_formats_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace fixtures;

class TextFormats : public testing::Test {
 protected:
  std::string Put(const std::string& name, std::string_view head, std::span<const uint8_t> tail = {}) {
    const std::string p = (dir_ / name).string();
    fs::create_directories(fs::path(p).parent_path());
    EXPECT_TRUE(Write_Text_File(p, head, tail));
    return p;
  }
  UtcZone utc_;
  TempDir tmp_;
  const fs::path& dir_ = tmp_.path;
};

// Header and pixels of a file, or null.
std::unique_ptr<ImageHeader> Read(const std::string& path) {
  auto ima = Kema_Image_Header_Read(nullptr, 0, path.c_str());
  if (ima && Kema_Image_Get_Image(nullptr, *ima) < 1) return nullptr;
  return ima;
}
std::unique_ptr<ImageHeader> Read(std::span<const uint8_t> bytes, uint8_t listing = 0) {
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), listing);
  if (ima && Kema_Image_Get_Image(nullptr, *ima) < 1) return nullptr;
  return ima;
}
std::vector<uint8_t> Bytes(std::string_view s, std::span<const uint8_t> tail = {}) {
  std::vector<uint8_t> b(s.begin(), s.end());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}
std::vector<uint8_t> Data(const ImageHeader& ima) { return {ima.data.data(), ima.data.data() + ima.data.size()}; }
// Samples in the machine's order (this machine is little-endian).
std::vector<uint8_t> Machine(std::span<const int64_t> v, unsigned bytes) { return Store_Samples(v, bytes, false); }

// ---- Interfile ----

TEST_F(TextFormats, InterfilePixelsWhereverTheHeaderPutsThem) {
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6 * 2, 2, true);
  const auto big = Store_Samples(values, 2, true), little = Store_Samples(values, 2, false);
  const std::string pad(2048, 'P');
  struct Case {
    const char* what;
    InterfileSpec spec;
    std::string tail;         // after the header in the same file
    const char* data_file;    // written with the pixels, when set
  } cases[] = {
      {"after the end line", {.little = false}, "", nullptr},
      {"after a form feed", {.end = "\f"}, "", nullptr},
      {"data offset in bytes", {.offset_bytes = 3000}, std::string(3000, 'P'), nullptr},
      {"data starting block 1", {.start_block = 1}, pad, nullptr},
      {"named file", {.data_file = "pix.i33"}, "", "pix.i33"},
      {"named file up a folder", {.data_file = "../up.i33"}, "", "../up.i33"},
      {"named file with offset", {.data_file = "pix2.i33", .offset_bytes = 7}, "", "pix2.i33"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string header = Interfile_Header(c.spec);
    const auto& px = c.spec.little ? little : big;
    std::string path;
    if (c.data_file) {
      std::vector<uint8_t> data(c.spec.offset_bytes > 0 ? c.spec.offset_bytes : 0, 0xEE);
      data.insert(data.end(), px.begin(), px.end());
      Put(std::string("sub/") + c.data_file, {}, data);
      path = Put("sub/h.h33", header);
    } else {
      std::string head = header;
      // Offsets count from the file start: the tail fills up to them.
      if (c.spec.offset_bytes > 0) head.resize(c.spec.offset_bytes, 'P');
      if (c.spec.start_block > 0) head.resize(2048, 'P');
      path = Put("sub/h.h33", head, px);
      // The same bytes from memory.
      auto mem = Read(Bytes(head, px));
      ASSERT_NE(mem, nullptr) << log.Joined(2, true);
      EXPECT_EQ(Data(*mem), Machine(values, 2));
    }
    auto ima = Read(path);
    ASSERT_NE(ima, nullptr) << log.Joined(2, true);
    EXPECT_EQ(ima->format, 71);
    EXPECT_EQ(std::tuple(ima->dim_x, ima->dim_y, ima->dim_z, ima->g2.pix_type), std::tuple(8, 6, 2, kPixS16));
    EXPECT_EQ(Data(*ima), Machine(values, 2));
    EXPECT_EQ(ima->ima_offset == 2048u, c.spec.start_block == 1);
  }
}

TEST_F(TextFormats, InterfileFieldsAndHeaderText) {
  LogCapture log(4);
  const InterfileSpec spec{.extra = "STUDY DURATION (SEC) := 90\n!Imaging Modality := NUCMED\n"};
  const auto px = Store_Samples(Text_Pattern(96, 2, true), 2, false);
  auto ima = Read(Bytes(Interfile_Header(spec), px), 4);
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  // Capital keys and '!' are recognised; a value in capitals is not.
  // The modality from "nucmed" earlier: "NUCMED" changes nothing. The comment after ';' is cut.
  EXPECT_EQ(std::tuple(ima->g4.scan_time, ima->modality, ima->g4.model, ima->g4.nm.filter),
            std::tuple(90.0f, kModalityNM, "KEMA-TEST", "Butterworth"));
  EXPECT_EQ(std::tuple(ima->g3.patient_name, ima->g3.patient_ID, ima->g3.birth_date, ima->g3.patient_sex,
                       ima->g3.hospital_name, ima->g1.study_ID, ima->g1.study_comment),
            std::tuple("DOE^JOHN", "12345", std::array<uint16_t, 3>{1970, 1, 31}, 'M', "Test Clinic", "STUDY9",
                       "bone scan"));
  EXPECT_EQ(std::tuple(ima->image_type, ima->g3.patient_entry, ima->g3.patient_position), std::tuple(3, 0x20, 2));
  // Slices in pixels of 2 mm.
  EXPECT_EQ(ima->g1.pix_dim, (std::array<float, 3>{2.0f, 2.0f, 4.0f}));
  EXPECT_EQ(ima->g1.pix_size[2], 3.0f);
  EXPECT_EQ(ima->g1.study_time, 981173106);  // 2001-02-03 04:05:06 UTC
  EXPECT_TRUE(log.Has("\x02patient name                        :=\x01 DOE^JOHN", 4));
  EXPECT_TRUE(log.Has("\x02STUDY DURATION (SEC)                :=\x01 90", 4));
  EXPECT_TRUE(log.Has("\x02\xF1------ ------ Interfile Header ------ ------\x01\xF0", 4));

  // A study time without ':' at character 5 is HHMMSS.
  auto hhmmss = Read(Bytes(Interfile_Header({.extra = "study time := 040506\n"}), px));
  ASSERT_NE(hhmmss, nullptr);
  EXPECT_EQ(hhmmss->g1.study_time, 981173106);
}

TEST_F(TextFormats, InterfileRefusals) {
  LogCapture log(9);
  const auto px = Store_Samples(Text_Pattern(96, 2, true), 2, false);
  const std::string long_value(256 - std::strlen("exam type := "), 'x');
  const struct {
    std::string extra;
    const char* message;  // in the level-9 or ERROR lines
  } cases[] = {
      {"data compression := rle\n", "Error: unsupported compression (rle) in Interfile header"},
      {"data encode := uuencode\n", "Error: unsupported encoding (uuencode) in Interfile header"},
      {"number format := short float\n", "Error: unsupported pixel size (short float) in Interfile header"},
      {"number of bytes per pixel := 3\n", "Error: unsupported pixel size (3) in Interfile header"},
      {"patient name := M\xFCller\n", "Error: Non print. caract. 0xfc in Interfile header"},
      {"exam type := " + long_value + "y\n", "line to long (>256) in Interfile header !"},
      {"!matrix size [1] := 70000\n", "bad dimension 70000"},
      {"data offset in bytes := -5\n", "bad data offset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    log.clear();
    EXPECT_EQ(Read(Bytes(Interfile_Header({.extra = c.extra}), px)), nullptr);
    EXPECT_TRUE(log.Contains(c.message));
    EXPECT_TRUE(log.Contains("ERROR:", 2));
  }
  // A line of exactly 256 characters is fine.
  EXPECT_NE(Read(Bytes(Interfile_Header({.extra = "exam type := " + long_value + "\n"}), px)), nullptr);
  // A form feed in the middle ends the header: the matrix size after it is pixel data.
  log.clear();
  EXPECT_EQ(Read(Bytes("!INTERFILE :=\n!number format := signed integer\f!matrix size [1] := 4\n" + std::string(80, ' '))),
            nullptr);
  EXPECT_TRUE(log.Contains("Interfile header gives no image size"));
}

TEST_F(TextFormats, SecondFilesMissingShortOrOutOfReach) {
  LogCapture log(2);
  const auto px = Store_Samples(Text_Pattern(96, 2, true), 2, false);
  const std::string named = Interfile_Header({.data_file = "pix.i33"});
  const std::string header = Put("h.h33", named);
  // Missing.
  EXPECT_EQ(Read(header), nullptr);
  EXPECT_TRUE(log.Contains("Interfile pixel data file \"" + (dir_ / "pix.i33").string() + "\" cannot be opened"));
  // Short by one byte.
  log.clear();
  Put("pix.i33", {}, std::span(px).first(px.size() - 1));
  EXPECT_EQ(Read(header), nullptr);
  EXPECT_TRUE(log.Contains("Interfile pixel data too short: 191 bytes from offset 0"));
  // From memory, no second file can be reached.
  log.clear();
  EXPECT_EQ(Read(Bytes(named)), nullptr);
  EXPECT_TRUE(log.Contains("a memory block cannot reach"));
  // The raw header's file_name follows the same rules.
  log.clear();
  const std::string raw = Put("r.raw", "magic RAW_DATA x 8 y 6 z 2 pixel_size 16 file_name \"../gone.bin\"\n# detection wants 80 bytes\n");
  EXPECT_EQ(Read(raw), nullptr);
  EXPECT_TRUE(log.Contains("gone.bin\" cannot be opened"));
}

// ---- Analyze ----

TEST_F(TextFormats, AnalyzeBothByteOrdersEveryIntegerType) {
  LogCapture log(2);
  for (bool big : {true, false})
    for (int16_t type : {2, 4, 8, 128}) {
      SCOPED_TRACE(testing::Message() << (big ? "big" : "little") << "-endian, type " << type);
      const unsigned bytes = type == 4 ? 2 : type == 8 ? 4 : 1;
      const unsigned samples = type == 128 ? 3 : 1;
      const auto values = Text_Pattern(8 * 6 * 2 * samples, bytes, type != 2 && type != 128);
      // Orientation 0: rows stored bottom to top.
      const AnalyzeSpec spec{.big_endian = big, .classic = big, .datatype = type,
                             .bitpix = static_cast<int16_t>(8 * bytes * samples), .orient = 0};
      const auto hdr = Analyze_Header(spec);
      const std::string path = Put("a.hdr", {}, hdr);
      Put("a.img", {}, Store_Samples(values, bytes, big));
      auto ima = Read(path);
      ASSERT_NE(ima, nullptr) << log.Joined(2, true);
      EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->dim_z, ima->g2.pix_swap),
                std::tuple(84, 8, 6, 2, type == 128 || !big ? 0 : 1));
      EXPECT_EQ(ima->file_data, (dir_ / "a.img").string());
      // Each slice's rows come out top to bottom.
      const size_t row = 8 * bytes * samples;
      std::vector<uint8_t> want;
      const auto stored = Machine(values, bytes);
      for (int z = 0; z < 2; ++z)
        for (int y = 5; y >= 0; --y)
          want.insert(want.end(), stored.begin() + (z * 6 + y) * row, stored.begin() + (z * 6 + y + 1) * row);
      EXPECT_EQ(Data(*ima), want);
      EXPECT_EQ(ima->g1.pix_dim, (std::array<float, 3>{0.75f, 0.5f, 4.0f}));
      EXPECT_EQ(std::tuple(ima->g1.study_comment, ima->g3.physician_name, ima->g3.patient_ID),
                std::tuple("SYNTHETIC PHANTOM", "DR NO", "PID-7"));
    }
}

TEST_F(TextFormats, AnalyzeFloatsReadAsRealValues) {
  LogCapture log(2);
  const float f[] = {1.5f, -2.25f, 1234.5f, 0.0f, 3.0e-3f, -7.0f};
  for (bool big : {true, false})
    for (int16_t type : {16, 64}) {
      SCOPED_TRACE(testing::Message() << (big ? "big" : "little") << "-endian, type " << type);
      const AnalyzeSpec spec{.big_endian = big, .classic = false, .dims = 2, .dim = {3, 2, 1, 1},
                             .datatype = type, .bitpix = static_cast<int16_t>(type == 16 ? 32 : 64)};
      std::vector<uint8_t> data;
      for (float v : f) {
        uint8_t b[8];
        if (type == 16) std::memcpy(b, &v, 4);
        else {
          const double d = v;
          std::memcpy(b, &d, 8);
        }
        const unsigned n = type == 16 ? 4 : 8;
        if (big) std::reverse(b, b + n);
        data.insert(data.end(), b, b + n);
      }
      Put("f.img", {}, data);
      auto ima = Read(Put("f.hdr", {}, Analyze_Header(spec)));
      ASSERT_NE(ima, nullptr) << log.Joined(2, true);
      ASSERT_EQ(ima->g2.pix_type, kPixS32);
      for (int i = 0; i < 6; ++i) {
        const int32_t stored = Image_Pixel_Value(nullptr, ima.get(), ima->data.data(), i % 3, i / 3, 0, 0);
        const double real = Image_Real_Value(stored, ima->g2.pix_type, ima->g2.rescale_intercept,
                                             ima->g2.rescale_slope);
        EXPECT_NEAR(real, f[i], 1234.5 * 1e-7) << i;
      }
    }
  // Whole numbers come through unscaled.
  int32_t out[4];
  const float whole[] = {-3.0f, 0.0f, 70000.0f};
  EXPECT_EQ(Analyze_Float_To_Int(reinterpret_cast<const uint8_t*>(whole), 3, 4, false, out), 1.0f);
  EXPECT_EQ(std::vector<int32_t>(out, out + 3), (std::vector<int32_t>{-3, 0, 70000}));
  // NaN is 0, infinities the largest magnitude of their sign.
  const float odd[] = {NAN, INFINITY, -INFINITY, 2.5f};
  const float slope = Analyze_Float_To_Int(reinterpret_cast<const uint8_t*>(odd), 4, 4, false, out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1] * slope, 2.5f);
  EXPECT_EQ(out[2] * slope, -2.5f);
}

TEST_F(TextFormats, AnalyzeOffsetsRefusalsAndSecondFile) {
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6 * 2, 2, true);
  const auto px = Store_Samples(values, 2, true);
  // A negative voxel offset comes before every image.
  std::vector<uint8_t> gapped;
  for (int z = 0; z < 2; ++z) {
    gapped.insert(gapped.end(), 10, 0xAB);
    gapped.insert(gapped.end(), px.begin() + z * 96, px.begin() + (z + 1) * 96);
  }
  Put("g.img", {}, gapped);
  auto ima = Read(Put("g.hdr", {}, Analyze_Header({.vox_offset = -10.0f})));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->image_gap, ima->header_size, ima->ima_offset), std::tuple(10u, 0u, 0u));
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  // A positive one is where the pixels start.
  std::vector<uint8_t> shifted(352, 0xCD);
  shifted.insert(shifted.end(), px.begin(), px.end());
  Put("s.img", {}, shifted);
  ima = Read(Put("s.hdr", {}, Analyze_Header({.vox_offset = 352.0f})));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->header_size, ima->image_gap), std::tuple(352u, 0u));
  EXPECT_EQ(Data(*ima), Machine(values, 2));

  const struct {
    const char* what;
    AnalyzeSpec spec;
    std::optional<size_t> img_bytes;  // nothing: no ".img"
    const char* message;
  } refused[] = {
      {"complex", {.datatype = 32, .bitpix = 64}, 192, "Unsuported pixel data type! (val=32)"},
      {"no .img", {}, std::nullopt, "a.img\" cannot be opened"},
      {"short .img", {}, 191, "Analyze pixel data too short: 191 bytes from offset 0"},
      {"no dimensions", {.dims = 0}, 192, "Analyze header: 0 dimensions"},
      {"negative width", {.dim = {-8, 6, 2, 1}}, 192, "bad dimension -8"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    log.clear();
    fs::remove(dir_ / "a.img");
    if (c.img_bytes) Put("a.img", {}, std::vector<uint8_t>(*c.img_bytes));
    EXPECT_EQ(Read(Put("a.hdr", {}, Analyze_Header(c.spec))), nullptr);
    EXPECT_TRUE(log.Contains(c.message));
  }
  log.clear();
  const auto hdr = Analyze_Header({});
  EXPECT_EQ(Read(hdr), nullptr);
  EXPECT_TRUE(log.Contains("a memory block cannot reach"));
}

// ---- Materialise, SMIS, IGB, raw header ----

// Pixels cut short between the header read and the pixel read (a copy still
// being written, a file replaced): a clean failure, never a crash.
TEST_F(TextFormats, DataCutShortAfterTheHeaderRead) {
  LogCapture log(6);
  const auto px = Store_Samples(Text_Pattern(8 * 6 * 2, 2, true), 2, true);
  const std::string img = Put("cut.img", {}, px);
  const std::string hdr = Put("cut.hdr", {}, Analyze_Header({}));
  const std::string single = Put("cut.raw", "magic RAW_DATA x 8 y 6 z 2 pixel_size 16\n# one file, both parts\n\f", px);
  for (const std::string& header : {hdr, single}) {
    SCOPED_TRACE(header);
    auto ima = Kema_Image_Header_Read(nullptr, 0, header.c_str());
    ASSERT_NE(ima, nullptr) << log.Joined(2, true);
    const std::string data = header == hdr ? img : single;
    fs::resize_file(data, fs::file_size(data) - 40);
    log.clear();
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 0);
    EXPECT_FALSE(ima->data);
    EXPECT_TRUE(log.Contains("End of File while reading", 6)) << log.Joined(6, true);
  }
}

TEST_F(TextFormats, MaterialiseHeaderAndPixels) {
  LogCapture log(2);
  const auto values = Text_Pattern(4 * 3, 2, true);
  std::string head = "FILE_TYPE MATERIALISE_IMAGE_FILE\nX_SIZE:4\nY_SIZE\t3\nPIXEL_TYPE S\nPIXEL_SIZE 0.625\n"
                     "GANTRY_TILT -12.5\nSLICE_POS 40\nPATIENT_NAME   DOE JANE  \nINSTITUTE KEMA\nHEADER_SIZE 200\n"
                     "HEADER_END\nX_SIZE 99\n";
  head.resize(200, ' ');
  auto ima = Read(Bytes(head, Store_Samples(values, 2, false)));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->g2.pix_type), std::tuple(86, 4, 3, kPixS16));
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  EXPECT_EQ(std::tuple(ima->g3.patient_name, ima->g3.hospital_name, ima->g1.pix_dim[0], ima->g4.ct.gantry_tilt),
            std::tuple("DOE JANE", "KEMA", 0.625f, -12.5f));
  // Without HEADER_SIZE the pixels follow the empty line that ends the header.
  ima = Read(Bytes("MATERIALISE_IMAGE_FILE\nX_SIZE 4\nY_SIZE 3\nPIXEL_TYPE UB\nINSTITUTE Somewhere Far Away\n\n",
                   Store_Samples(Text_Pattern(12, 1, false), 1, false)));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(Data(*ima), Machine(Text_Pattern(12, 1, false), 1));
  log.clear();
  EXPECT_EQ(Read(Bytes("MATERIALISE_IMAGE_FILE\nX_SIZE 4\nY_SIZE 3\nPIXEL_TYPE F32\nINSTITUTE Somewhere Far Away\n\n")), nullptr);
  EXPECT_TRUE(log.Contains("unsupported PIXEL_TYPE (F32) in Materialise header"));
}

TEST_F(TextFormats, SMISBlockTrailerAndOrientation) {
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6, 2, false);
  std::vector<int64_t> twelve(values.size());
  for (size_t i = 0; i < values.size(); ++i) twelve[i] = values[i] & 0x7FF;
  auto ima = Read(SMIS_File({}, Store_Samples(twelve, 2, false)));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->g2.pix_bits, ima->modality),
            std::tuple(62, 8, 6, 12, kModalityMR));
  EXPECT_EQ(Data(*ima), Machine(twelve, 2));
  const auto& mr = ima->g4.mr;
  EXPECT_EQ(std::tuple(mr.echo_time, mr.repetition_time, mr.averages, ima->g1.image_num),
            std::tuple(30.0f, 1500.0f, 2.0f, 5));
  EXPECT_EQ(std::tuple(ima->g1.fov[0], ima->g1.fov[1], ima->g1.pix_size[2]), std::tuple(200.0f, 150.0f, 3.0f));
  EXPECT_EQ(ima->g1.position, (Vec4{1.5f, -2.5f, 10.0f, 0.0f}));
  // 90 degrees about x: rows stay along x, columns turn from y to z.
  EXPECT_NEAR(ima->g1.dir_h[0], 1.0f, 1e-6);
  EXPECT_NEAR(ima->g1.dir_v[2], 1.0f, 1e-6);
  EXPECT_NEAR(ima->g1.dir_v[1], 0.0f, 1e-6);
}

TEST_F(TextFormats, IGBHeaderCommentsAndSlicePositions) {
  LogCapture log(2);
  const auto values = Text_Pattern(4 * 3 * 2, 2, true);
  std::vector<uint8_t> tail(8);
  const float z[] = {-5.0f, 7.5f};
  std::memcpy(tail.data(), z, 8);
  const auto px = Store_Samples(values, 2, false);
  tail.insert(tail.end(), px.begin(), px.end());
  const std::string head = IGB_Header(
      "x:4 y:3 z:2 type:short systeme:little_endian\r\ninc_x:0.5 inc_y:0.5 org_x:-1 dim_z:8 vect_z:1 bogus:3\r\n"
      "# Patient Name: DOE JOHN\r\n# Hospital KEMA\r\n# some remark\r\n");
  auto ima = Read(Put("heart042.igb", head, tail));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->dim_z, ima->ima_offset), std::tuple(2, 4, 3, 2, 1032u));
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  EXPECT_EQ(std::tuple(ima->g3.patient_name, ima->g3.hospital_name, ima->g3.comments[0], ima->g1.series_num),
            std::tuple("DOE JOHN", "KEMA", "some remark", 42));
  ASSERT_EQ(ima->g1.frame_pos.size(), 2u);
  EXPECT_EQ(std::tuple(ima->g1.frame_pos[0][0], ima->g1.frame_pos[0][2], ima->g1.frame_pos[1][2]),
            std::tuple(-1.0f, -5.0f, 7.5f));
  EXPECT_TRUE(log.Has("WARNING unknown key word (bogus) in  GLI header", 2));
  for (const auto& [text, message] : {std::pair{"x:4 y:3 # no type: given\n", "missing X, Y or TYPE in GLI header"},
                                      {"x:4 y:3 type:float\n", "unsupported pixel size (float) in GLI header"}}) {
    log.clear();
    EXPECT_EQ(Read(Bytes(IGB_Header(text), std::vector<uint8_t>(24))), nullptr);
    EXPECT_TRUE(log.Contains(message)) << message;
  }
}

TEST_F(TextFormats, RawHeaderFieldsGapsAndFailures) {
  LogCapture log(2);
  const auto values = Text_Pattern(4 * 3 * 2, 2, true);
  const auto px = Store_Samples(values, 2, true);
  std::vector<uint8_t> gapped;
  for (int z = 0; z < 2; ++z) {
    gapped.insert(gapped.end(), 6, 0x55);
    gapped.insert(gapped.end(), px.begin() + z * 24, px.begin() + (z + 1) * 24);
  }
  auto ima = Read(Bytes("magic RAW_DATA\nx 4, y 3; z\t2\npixel_size 16 pixel_sign 1 pixel_swap 1 image_offset 6\n"
                        "patient_name \"DOE, JOHN\" * scanned twice\nslice_orientation Sagittal inc_z 2.5\n"
                        "# second note\nhospital KEMA patient_sex Unknown\f",
                        gapped));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->dim_z, ima->image_type), std::tuple(3, 4, 3, 2, 2));
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  EXPECT_EQ(std::tuple(ima->g3.patient_name, ima->g3.hospital_name, ima->g3.patient_sex, ima->g1.pix_dim[2]),
            std::tuple("DOE, JOHN", "KEMA", 'O', 2.5f));
  EXPECT_EQ(std::tuple(ima->g3.comments[0], ima->g3.comments[1]), std::tuple("scanned twice", "second note"));
  // Packed 3 x 3 masks of 1 bit: each image fills two bytes of its own after its gap.
  ima = Read(Bytes("magic RAW_DATA\nx 3 y 3 z 2 pixel_size 1 image_offset 2\n# a binary mask, images padded to bytes\n\f",
                   std::vector<uint8_t>{0xFF, 0xFF, 0xB3, 0x80, 0xFF, 0xFF, 0x4C, 0x00}));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(Data(*ima), (std::vector<uint8_t>{1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 0}));
  // Colour stored plane by plane (pixel_config 1) comes out interleaved R G B.
  ima = Read(Bytes("magic RAW_DATA x 2 y 2 pixel_size 8 pixel_plane 3 pixel_config 1\n# red, green, blue planes\n\f",
                   std::vector<uint8_t>{1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24}));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(ima->g2.pix_type, kPixRGB8);
  EXPECT_EQ(Data(*ima), (std::vector<uint8_t>{1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24}));
  const struct {
    const char* header;
    const char* message;
  } refused[] = {
      {"magic RAW_DATA x 4 y 3 pixel_store\n\f", "missing X, Y or TYPE in RAW header"},
      {"magic RAW_DATA x 4 y 3 pixel_size 16 patient_name \"DOE\n\f", "bad number of quotes"},
      {"magic RAW_DATA_X x 4 # detection wants 80 bytes\n\f", "bad magic (RAW_DATA_X) in RAW header"},
      {"magic RAW_DATA x 4 y 3 pixel_size 24\n\f", "unsupported pixel layout in RAW header"},
      {"magic RAW_DATA x 4 y 3 pixel_size 16\n\x01", "Non print. caract. 0x1 in RAW header"},
  };
  for (const auto& c : refused) {
    log.clear();
    EXPECT_EQ(Read(Bytes(c.header, px)), nullptr);
    EXPECT_TRUE(log.Contains(c.message)) << c.message;
  }
}

// ---- Bruker ----

TEST_F(TextFormats, BrukerStudyTree) {
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6 * 2, 2, true);
  const BrukerSpec spec{.byte_order = "bigEndian",
                        .reco_extra = "##$RECO_abs_time=( 2 )\n981173106 0\n",
                        .acqp_extra = "##$ACQ_slice_offset=( 1 )\n-3\n",
                        .imnd_extra = "##$IMND_slicepack_vector=( 3 )\n0 0 1\n##$IMND_read_vector=( 3 )\n1 0 0\n",
                        .subject_extra = "##$SUBJECT_dbirth=( 3 )\n1999 4 12\n"};
  const std::string reco = Write_Bruker_Study((dir_ / "study").string(), spec, Store_Samples(values, 2, true));
  auto ima = Read(reco);
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(std::tuple(ima->format, ima->dim_x, ima->dim_y, ima->dim_z, ima->g2.pix_type), std::tuple(4, 8, 6, 2, kPixS16));
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  EXPECT_EQ(std::tuple(ima->g3.patient_name, ima->g3.patient_ID, ima->g3.patient_sex, ima->g3.patient_entry,
                       ima->g3.patient_position),
            std::tuple("Rat^Twelve", "RAT-12", 'F', 0x10, 2));
  EXPECT_EQ(std::tuple(ima->g1.series_comment, ima->g3.radiologist_name, ima->g3.hospital_name),
            std::tuple("FLASH axial", "nmr", "Test Lab"));
  EXPECT_EQ(std::tuple(ima->g1.fov[0], ima->g1.fov[1], ima->g1.pix_dim[2], ima->g4.mr.echo_time, ima->g4.mr.averages),
            std::tuple(128.0f, 96.0f, 1.5f, 12.5f, 4.0f));
  EXPECT_EQ(std::tuple(ima->image_type, ima->g1.orient_v, ima->g4.manufacturer), std::tuple(1, 1, "Bruker"));
  EXPECT_EQ(ima->g1.dir_v, (Vec4{0.0f, 1.0f, 0.0f, 0.0f}));  // slice normal x read direction
  EXPECT_EQ(ima->g1.position[2], -3.0f);
  // The birth date as year, month, day; the reconstruction's time for the series and the image.
  EXPECT_EQ(std::tuple(ima->g3.birth_date, ima->g1.series_time, ima->g1.image_time),
            std::tuple(std::array<uint16_t, 3>{1999, 4, 12}, 981173106, 981173106));

  const struct {
    const char* what;
    BrukerSpec spec;
    const char* message;
  } broken[] = {
      {"no d3proc", {.write_d3proc = false}, "missing files \"d3proc\", \"procs\", \"reco\" or \"acq\""},
      {"no 2dseq", {.write_2dseq = false}, "missing file \"2dseq\""},
      {"bad DATTYPE", {.d3proc_extra = "##$DATTYPE=9\n"}, "Unrecognized value for DATTYPE (=9) !"},
      {"short 2dseq", {.slices = 3}, "Bruker pixel data too short"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.what);
    log.clear();
    const std::string root = (dir_ / c.what).string();
    const std::string file = Write_Bruker_Study(root, c.spec, Store_Samples(values, 2, false));
    EXPECT_EQ(Read(file), nullptr);
    EXPECT_TRUE(log.Contains(c.message));
  }
  // The subject file is optional; PR_STA's last number is the byte order.
  const BrukerSpec no_subject{.byte_order = "",
                              .procs_extra = "##$PR_STA=( 16 )\n25.6 19.2 1 0 0 0 0 0 0 0 0 0 0 0 0 1\n",
                              .write_subject = false};
  ima = Read(Write_Bruker_Study((dir_ / "plain").string(), no_subject, Store_Samples(values, 2, true)));
  ASSERT_NE(ima, nullptr) << log.Joined(2, true);
  EXPECT_EQ(Data(*ima), Machine(values, 2));
  EXPECT_EQ(ima->g1.fov[0], 256.0f);
}

// ---- the line reader ----

TEST(TextLineReader, LimitsAndEnds) {
  LogCapture log(2);
  using S = TextLineReader::Status;
  const std::string text = "ab\r\nc\td\n" + std::string(10, 'x') + "\n" + std::string(11, 'y') + "\n";
  auto src = ByteSource::From_Memory({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  TextLineReader r(nullptr, *src, 0, 10, 0);
  std::string_view line;
  for (std::string_view want : {"ab", "c\td", "xxxxxxxxxx"}) {
    EXPECT_EQ(r.Next(line), S::Line);
    EXPECT_EQ(line, want);
  }
  EXPECT_EQ(r.Next(line), S::TooLong);
  EXPECT_EQ(r.Position(), 8u + 11u + 10u);  // at the byte that did not fit

  const std::string ff = "k := v\n\fpixels\x01";
  auto src2 = ByteSource::From_Memory({reinterpret_cast<const uint8_t*>(ff.data()), ff.size()});
  TextLineReader r2(nullptr, *src2, 0, 256, TextLineReader::kStopAtFormFeed);
  EXPECT_EQ(r2.Next(line), S::Line);
  EXPECT_EQ(r2.Next(line), S::Stop);
  EXPECT_EQ(r2.Position(), 8u);
  // A header that never ends stops at its cap, however long its lines are.
  const std::string endless(5000, 'z');
  auto src3 = ByteSource::From_Memory({reinterpret_cast<const uint8_t*>(endless.data()), endless.size()});
  TextLineReader r3(nullptr, *src3, 0, 100000, 0, 4096);
  EXPECT_EQ(r3.Next(line), S::TooBig);
}

// ---- files written by other programs ----

// XMedCon converts an Analyze file of ours to Interfile (header and data
// apart, or in one file) and back to Analyze.
TEST_F(TextFormats, FilesOfXMedCon) {
  if (!Have("medcon")) GTEST_SKIP() << "medcon is not installed";
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6 * 2, 2, true);
  Put("be.img", {}, Store_Samples(values, 2, true));
  Put("be.hdr", {}, Analyze_Header({.orient = 0}));
  const std::vector<uint8_t> stored = Machine(values, 2);
  // Analyze orientation 0 stores rows bottom to top: the record holds them top to bottom.
  std::vector<uint8_t> flipped;
  for (int z = 0; z < 2; ++z)
    for (int y = 5; y >= 0; --y)
      flipped.insert(flipped.end(), stored.begin() + (z * 6 + y) * 16, stored.begin() + (z * 6 + y + 1) * 16);
  const std::string medcon = "cd " + dir_.string() + " && medcon -n -f be.hdr ";
  ASSERT_TRUE(Shell(medcon + "-c intf -o mc >/dev/null"));
  ASSERT_TRUE(Shell(medcon + "-c intf -one -o one >/dev/null"));
  ASSERT_TRUE(Shell(medcon + "-c anlz -o mca >/dev/null"));
  for (const char* name : {"be.hdr", "mc.h33", "one.i33", "mca.hdr"}) {
    SCOPED_TRACE(name);
    auto ima = Read((dir_ / name).string());
    ASSERT_NE(ima, nullptr) << log.Joined(2, true);
    EXPECT_EQ(std::tuple(ima->dim_x, ima->dim_y, ima->dim_z, ima->g2.pix_type), std::tuple(8, 6, 2, kPixS16));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(ima->g1.pix_dim[k], (std::array{0.75f, 0.5f, 4.0f})[k], 1e-5);
    // Interfile keeps the rows as read; Analyze turns them over again.
    EXPECT_EQ(Data(*ima), std::string(name).ends_with(".hdr") ? flipped : stored);
  }
}

// A full-range 16-bit image: spread over 65534 values, which the range-based
// byte-order repair would take for swapped data (swapped it spreads over 513).
TEST_F(TextFormats, StatedByteOrderWinsOverTheRangeGuess) {
  LogCapture log(2);
  std::vector<int64_t> values(8 * 6 * 2);
  for (size_t k = 0; k < values.size(); ++k) values[k] = std::array<int64_t, 4>{-32767, 32767, 1, 256}[k % 4];
  for (bool little : {true, false}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    const auto stored = Store_Samples(values, 2, !little);
    auto interfile = Read(Bytes(Interfile_Header({.little = little}), stored));
    ASSERT_NE(interfile, nullptr) << log.Joined(2, true);
    EXPECT_EQ(Data(*interfile), Machine(values, 2));
    EXPECT_EQ(std::pair(interfile->g2.ima_min, interfile->g2.ima_max), std::pair(-32767, 32767));

    const std::string hdr = Put("full.hdr", {}, Analyze_Header({.big_endian = !little, .classic = !little}));
    Put("full.img", {}, stored);
    auto analyze = Read(hdr);
    ASSERT_NE(analyze, nullptr) << log.Joined(2, true);
    EXPECT_EQ(Data(*analyze), Machine(values, 2));
  }
}

}  // namespace
