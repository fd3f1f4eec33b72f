// TIFF, DEFF and DSR files written by libtiff (its library and tiffcp) read
// back exactly; the DSR colour maps' telling entries and rendering rules;
// the shared handle's life; damaged files.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Convert/formats/local_TIFF_DSR_map.h"
#include "Convert/formats/local_TIFF_header.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"
#include "tests/fixtures/tiff_writer.h"

namespace {

using namespace fixtures;
using Bytes = std::vector<uint8_t>;

struct Read {
  std::unique_ptr<ImageHeader> ima;
  Bytes pixels;
};

Read Read_All(const std::string& path, uint8_t text_level = 0) {
  Read r;
  r.ima = Kema_Image_Header_Read(nullptr, 0, path.c_str(), text_level);
  if (r.ima && Kema_Image_Get_Image(nullptr, *r.ima) >= 1)
    r.pixels.assign(r.ima->data.data(), r.ima->data.data() + r.ima->data.size());
  return r;
}

Bytes Concat(const std::vector<Bytes>& pages) {
  Bytes out;
  for (const Bytes& p : pages) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Pages of 8-bit grey ramps, one per seed.
std::vector<Bytes> Ramps(size_t samples, std::initializer_list<uint32_t> seeds) {
  std::vector<Bytes> pages;
  for (uint32_t seed : seeds) pages.push_back(Ramp_Samples(samples, 1, seed));
  return pages;
}

// ---- plain pages: every sample layout, compression and arrangement ----

struct PlainCase {
  const char* name;
  TiffFile file;  // everything but the size and the pages
  uint8_t pix_type;
};

class PlainTiff : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainTiff, ReadsTheStoredSamplesBack) {
  const PlainCase& c = GetParam();
  TempDir dir;
  TiffFile s = c.file;
  s.width = 40;  // tiles of 16 leave a part-filled column and row
  s.height = 21;
  const size_t n = size_t{s.width} * s.height * s.spp;
  s.pages = {Ramp_Samples(n, s.bps / 8, 3), Ramp_Samples(n, s.bps / 8, 4), Ramp_Samples(n, s.bps / 8, 5)};
  const std::string path = dir / "page.tif";
  ASSERT_TRUE(Write_Tiff(path, s));
  const Read r = Read_All(path);
  ASSERT_TRUE(r.ima);
  // The pages are the frames.
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_x, r.ima->dim_y, r.ima->dim_t, r.ima->g2.pix_type),
            std::tuple(100, 40, 21, 3, c.pix_type));
  Bytes want = Concat(s.pages);
  if (s.photometric == PHOTOMETRIC_MINISWHITE)
    for (uint8_t& b : want) b = static_cast<uint8_t>(~b);
  EXPECT_EQ(r.pixels, want);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PlainTiff,
    ::testing::Values(
        PlainCase{"Grey8", {}, kPixU8},
        PlainCase{"Grey16Little", {.bps = 16, .rows_per_strip = 5}, kPixU16},
        PlainCase{"Grey16Big", {.bps = 16, .rows_per_strip = 5, .big_endian = true}, kPixU16},
        PlainCase{"Signed16BigLzwPredictor",
                  {.bps = 16, .sample_format = 2, .compression = COMPRESSION_LZW, .predictor = 2, .rows_per_strip = 4,
                   .big_endian = true},
                  kPixS16},
        PlainCase{"Grey16DeflateTiles", {.bps = 16, .compression = COMPRESSION_ADOBE_DEFLATE, .tile = 16}, kPixU16},
        PlainCase{"Grey32PackBits",
                  {.bps = 32, .compression = COMPRESSION_PACKBITS, .rows_per_strip = 3, .big_endian = true}, kPixU32},
        PlainCase{"WhiteIsZero8", {.photometric = 0, .compression = COMPRESSION_PACKBITS, .rows_per_strip = 7}, kPixU8},
        PlainCase{"Rgb8Separate",
                  {.spp = 3, .photometric = 2, .compression = COMPRESSION_LZW, .rows_per_strip = 6, .separate = true},
                  kPixRGB8},
        PlainCase{"Rgb16BigTiles",
                  {.spp = 3, .bps = 16, .photometric = 2, .compression = COMPRESSION_ADOBE_DEFLATE, .predictor = 2,
                   .tile = 16, .big_endian = true},
                  kPixRGB16},
        PlainCase{"Rgba8SeparateTiles", {.spp = 4, .photometric = 2, .tile = 16, .separate = true}, kPixRGBA8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TiffFloat, GreyFloatsComeBackThroughTheRescale) {
  TempDir dir;
  std::vector<float> v(256);
  for (size_t i = 0; i < v.size(); ++i) v[i] = (static_cast<float>(i) - 100.0f) * 0.125f;
  v[7] = 1e6f;
  Bytes page(v.size() * 4);
  std::memcpy(page.data(), v.data(), page.size());
  for (bool big : {false, true}) {
    const TiffFile s{.width = 16, .height = 16, .bps = 32, .sample_format = SAMPLEFORMAT_IEEEFP,
                     .compression = COMPRESSION_LZW, .big_endian = big, .pages = {page}};
    ASSERT_TRUE(Write_Tiff(dir / "f.tif", s));
    const Read r = Read_All(dir / "f.tif");
    ASSERT_TRUE(r.ima);
    ASSERT_EQ(r.pixels.size(), 256u * 4);
    EXPECT_EQ(r.ima->g2.pix_type, kPixS32);
    const float slope = r.ima->g2.rescale_slope;
    for (size_t i = 0; i < v.size(); ++i) {
      int32_t q;
      std::memcpy(&q, &r.pixels[i * 4], 4);
      EXPECT_FLOAT_EQ(static_cast<float>(q * static_cast<double>(slope)), v[i]) << i;
    }
  }
}

TEST(TiffPalette, IndexesExpandThroughTheColourMap) {
  TempDir dir;
  TiffFile s{.width = 16, .height = 16, .photometric = PHOTOMETRIC_PALETTE};
  for (int ch = 0; ch < 3; ++ch)
    for (int i = 0; i < 256; ++i) s.colormap.push_back(static_cast<uint16_t>(((i * (ch + 1) * 37) & 0xFF) * 257));
  Bytes idx(256);
  for (int i = 0; i < 256; ++i) idx[i] = static_cast<uint8_t>(255 - i);
  s.pages = {idx};
  ASSERT_TRUE(Write_Tiff(dir / "p.tif", s));
  const Read r = Read_All(dir / "p.tif");
  ASSERT_TRUE(r.ima);
  ASSERT_EQ(r.pixels.size(), 256u * 3);
  for (int i = 0; i < 256; ++i)
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(r.pixels[i * 3 + ch], (idx[i] * (ch + 1) * 37) & 0xFF);
}

// tiffcp rewrites one colour file as JPEG (YCbCr and RGB), BigTIFF and
// tiles with a predictor: each copy gives what libtiff's own RGBA raster gives.
TEST(TiffTools, TiffcpCopiesMatchLibtiffsRaster) {
  if (!Have("tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  TempDir dir;
  const TiffFile s{.width = 48, .height = 32, .spp = 3, .photometric = PHOTOMETRIC_RGB,
                   .pages = {Ramp_Samples(48 * 32 * 3, 1, 9)}};
  ASSERT_TRUE(Write_Tiff(dir / "rgb.tif", s));
  for (const char* opts : {"-r 16 -c jpeg:90", "-r 16 -c jpeg:r:90", "-8 -c zip", "-t -w 32 -l 16 -c lzw:2",
                           "-B -c packbits"}) {
    SCOPED_TRACE(opts);
    const std::string out = dir / "copy.tif";
    ASSERT_TRUE(Shell("tiffcp " + std::string(opts) + " " + (dir / "rgb.tif") + " " + out));
    TIFF* tif = TIFFOpen(out.c_str(), "r");
    ASSERT_TRUE(tif);
    std::vector<uint32_t> raster(48 * 32);
    ASSERT_TRUE(TIFFReadRGBAImageOriented(tif, 48, 32, raster.data(), ORIENTATION_TOPLEFT, 0));
    TIFFClose(tif);
    const Read r = Read_All(out);
    ASSERT_TRUE(r.ima);
    Bytes want;
    for (uint32_t p : raster) want.insert(want.end(), {uint8_t(TIFFGetR(p)), uint8_t(TIFFGetG(p)), uint8_t(TIFFGetB(p))});
    ASSERT_EQ(r.pixels, want);
  }
}

TEST(TiffPages, FramesStopAtThePageOfAnotherSize) {
  if (!Have("tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  TempDir dir;
  const TiffFile s{.width = 16, .height = 16, .pages = Ramps(256, {1, 2})};
  ASSERT_TRUE(Write_Tiff(dir / "a.tif", s));
  ASSERT_TRUE(Write_Tiff(dir / "b.tif", {.width = 8, .height = 8, .pages = Ramps(64, {3})}));
  ASSERT_TRUE(Shell("tiffcp " + (dir / "a.tif") + " " + (dir / "b.tif") + " " + (dir / "ab.tif")));
  const Read r = Read_All(dir / "ab.tif");
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->dim_t, 2);
  EXPECT_EQ(r.pixels, Concat(s.pages));
}

// ---- header fields ----

TEST(TiffHeader, ResolutionPositionTextFieldsAndTheTagListing) {
  TempDir dir;
  struct Case {
    uint16_t unit;
    float res, pos;
    float pix_mm, pos_mm;
  } cases[] = {
      {RESUNIT_CENTIMETER, 40.0f, 1.5f, 0.25f, 15.0f},
      {RESUNIT_INCH, 254.0f, 2.0f, 0.1f, 50.8f},
      {0, 127.0f, 1.0f, 0.2f, 25.4f},  // no unit tag: inches
      {RESUNIT_NONE, 4.0f, 3.0f, 0.25f, 3.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit);
    const TiffFile s{.width = 32, .height = 32, .compression = COMPRESSION_LZW, .pages = {Bytes(1024, 7)},
                     .xres = c.res, .yres = c.res / 2, .xpos = c.pos, .ypos = c.pos, .unit = c.unit,
                     .description = "left ventricle", .make = "Maker", .model = "M-1"};
    const std::string path = dir / "scan0042.tif";
    ASSERT_TRUE(Write_Tiff(path, s));
    LogCapture log(5);
    const auto ima = Kema_Image_Header_Read(nullptr, 0, path.c_str(), 4);
    ASSERT_TRUE(ima);
    EXPECT_FLOAT_EQ(ima->g1.pix_dim[0], c.pix_mm);
    EXPECT_FLOAT_EQ(ima->g1.pix_dim[1], 2 * c.pix_mm);
    EXPECT_FLOAT_EQ(ima->g1.position[0], c.pos_mm);
    EXPECT_EQ(std::tuple(ima->g1.image_comment, ima->g4.manufacturer, ima->g4.model, ima->g1.series_num, ima->modality),
              std::tuple("left ventricle", "Maker", "M-1", 42, Modality_Code('O', 'T')));
    const std::string text = log.Joined(4, true);
    for (const char* tag : {"256 ImageWidth", "259 Compression", "271 Make"})
      EXPECT_NE(text.find(tag), std::string::npos) << tag << " in\n" << text;
    EXPECT_EQ(text.find("305 Software"), std::string::npos);  // absent tags are not listed
  }
}

// ---- detection and refusals ----

TEST(TiffDetect, MemoryInputIsRefusedAndDamageIsLogged) {
  TempDir dir;
  ASSERT_TRUE(Write_Tiff(dir / "m.tif", {.width = 32, .height = 32, .pages = {Bytes(1024, 1)}}));
  const Bytes file = Read_File(dir / "m.tif");
  LogCapture log(5);
  EXPECT_FALSE(Kema_Image_Header_Read(nullptr, file.size(), file.data()));
  EXPECT_TRUE(log.Has("--> TIFF_Read_Header returned NULL!", 7));

  // The directory cut off: the header read fails with its line.
  Bytes cut = file;
  cut.resize(cut.size() - 100);
  ASSERT_TRUE(Write_File(dir / "cut.tif", cut));
  log.clear();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Kema_Image_Header_Read(nullptr, 0, (dir / "cut.tif").c_str()));
  EXPECT_TRUE(log.Contains("analysing TIFF header"));

  // The strip pointing into the last bytes: libtiff's complaint reaches the log, not the terminal.
  Bytes moved = file;
  uint32_t ifd;
  std::memcpy(&ifd, &moved[4], 4);
  uint16_t entries;
  std::memcpy(&entries, &moved[ifd], 2);
  for (uint16_t e = 0; e < entries; ++e) {
    uint8_t* entry = &moved[ifd + 2 + e * 12];
    if (entry[0] == 0x11 && entry[1] == 0x01) {  // tag 273, one LONG in place
      const uint32_t past = static_cast<uint32_t>(moved.size() - 10);
      std::memcpy(entry + 8, &past, 4);
    }
  }
  ASSERT_TRUE(Write_File(dir / "moved.tif", moved));
  log.clear();
  const Read r = Read_All(dir / "moved.tif");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(r.ima);
  EXPECT_TRUE(r.pixels.empty());
  EXPECT_TRUE(log.Contains("libtiff"));
  EXPECT_TRUE(log.Contains("TIFF strip 0 of page 0 not readable"));
}

TEST(TiffBudget, PagesBeyondTheBudgetAreRefused) {
  TempDir dir;
  ASSERT_TRUE(Write_Tiff(dir / "big.tif", {.width = 1024, .height = 1024, .bps = 16,
                                           .compression = COMPRESSION_ADOBE_DEFLATE,
                                           .pages = {Bytes(2u << 20, 0), Bytes(2u << 20, 0)}}));
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "3", 1);
  const Read r = Read_All(dir / "big.tif");
  unsetenv("KEMASCOPIA_MAX_IMAGE_MB");
  ASSERT_TRUE(r.ima);
  EXPECT_TRUE(r.pixels.empty());
}

// ---- the shared handle ----

// Copies made before the pixels are read share the handle, and reading them
// on two threads at once gives each the same frames; the records a split
// makes share it too, and the last of them closes it.
TEST(TiffHandle, CopiesAndSplitRecordsShareOneHandle) {
  TempDir dir;
  TiffFile s{.width = 64, .height = 64, .bps = 16, .compression = COMPRESSION_LZW, .rows_per_strip = 4};
  for (uint32_t k = 0; k < 8; ++k) s.pages.push_back(Ramp_Samples(64 * 64, 2, k + 1));
  ASSERT_TRUE(Write_Tiff(dir / "m.tif", s));
  auto a = Kema_Image_Header_Read(nullptr, 0, (dir / "m.tif").c_str());
  ASSERT_TRUE(a);
  auto b = std::make_unique<ImageHeader>();
  Image_Init_Header(*b);
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, *b, *a), 1);
  ASSERT_EQ(Tiff_Handle(*a), Tiff_Handle(*b));
  for (int round = 0; round < 10; ++round) {
    a->data.reset();
    b->data.reset();
    int ra = 0;
    std::thread t([&] { ra = Kema_Image_Get_Image(nullptr, *a); });
    const int rb = Kema_Image_Get_Image(nullptr, *b);
    t.join();
    ASSERT_EQ(std::pair(ra, rb), std::pair(1, 1));
    ASSERT_EQ(Bytes(a->data.data(), a->data.data() + a->data.size()), Concat(s.pages));
    ASSERT_EQ(Bytes(b->data.data(), b->data.data() + b->data.size()), Concat(s.pages));
  }

  auto* storage = dynamic_cast<TiffStorage*>(a->g2.storage.get());
  ASSERT_TRUE(storage);
  std::weak_ptr<TiffHandle> watch = storage->handle;
  std::vector<std::unique_ptr<ImageHeader>> parts;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, *a, parts), 8);
  for (size_t k = 0; k < parts.size(); ++k) {
    EXPECT_EQ(Tiff_Handle(*parts[k]), watch.lock().get());
    EXPECT_EQ(Bytes(parts[k]->data.data(), parts[k]->data.data() + parts[k]->data.size()), s.pages[k]);
  }
  for (auto* whole : {&a, &b}) {
    Kema_Image_Free_Header(nullptr, **whole);
    whole->reset();
  }
  parts.resize(1);
  EXPECT_FALSE(watch.expired());
  parts.clear();
  EXPECT_TRUE(watch.expired());
}

// ---- DEFF ----

UltrasoundFile Deff(uint32_t frames, bool interlaced) {
  UltrasoundFile u{.dsr = false, .width = 12, .height = 16, .frames = frames, .strips_per_frame = interlaced ? 2u : 1u,
                   .interlaced = interlaced,
                   .identification = "P-17\\Doe\\Jane\\Stress\\Peak\\4CH\\Maker\\Model 9\\3.1\\Src\\S1\\2.0",
                   .calibration = {63, 0, 0, 11, 9, 0.3, 0.4}};
  for (uint32_t f = 0; f < frames; ++f) u.frame_bytes.push_back(Ramp_Samples(12 * 16, 1, 20 + f));
  return u;
}

TEST(TiffDeff, FramesFieldsAndTheHeaderListing) {
  TempDir dir;
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced);
    const UltrasoundFile u = Deff(4, interlaced);
    ASSERT_TRUE(Write_Ultrasound(dir / "d.tif", u));
    const Read r = Read_All(dir / "d.tif");
    ASSERT_TRUE(r.ima);
    EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_t, r.ima->g2.compression), std::tuple(90, 4, interlaced ? 2 : 1));
    EXPECT_EQ(r.pixels, Concat(u.frame_bytes));
    EXPECT_EQ(std::tuple(r.ima->g3.patient_ID, r.ima->g4.scan_protocol, r.ima->g4.manufacturer, r.ima->g4.model,
                         r.ima->g3.patient_age[0]),
              std::tuple("P-17", "Stress Peak", "Maker", "Model 9", 63));
  }
  // A version above 2.6 is named and read on; an invalid interlace flag is named.
  UltrasoundFile u = Deff(2, false);
  u.version = {2, 7, 1, 1};
  u.interlaced = 5;
  ASSERT_TRUE(Write_Ultrasound(dir / "d.tif", u));
  LogCapture log(5);
  ASSERT_TRUE(Read_All(dir / "d.tif", 4).ima);
  const std::string text = log.Joined(4, true);
  EXPECT_NE(text.find("2.7 -> greater than 2.6"), std::string::npos) << text;
  EXPECT_NE(text.find("INVALID VALUE"), std::string::npos);
  EXPECT_NE(text.find("------ ------ DEFF header ------ ------"), std::string::npos);
}

// ---- DSR ----

// One strip per frame, one row per strip as libtiff sees it.
UltrasoundFile Dsr(uint32_t frames, uint16_t map_type) {
  UltrasoundFile u{.width = 8, .height = frames, .frames = frames, .map_type = map_type, .color_map = {0, 1, 0, 1},
                   .patient_info = "ID7\\Dr Heart\\General\\Dr Ray\\Echo\\study c\\series c\\image c"};
  for (uint32_t f = 0; f < frames; ++f) u.times.insert(u.times.end(), {f * 33, 33});
  return u;
}

TEST(TiffDsr, ThirtyBlackAndWhiteFramesEachFromItsStrips) {
  TempDir dir;
  UltrasoundFile u = Dsr(30, 3);
  const size_t n = size_t{u.width} * u.height;
  Bytes want;
  for (uint32_t f = 0; f < 30; ++f) {
    u.frame_bytes.push_back(Ramp_Samples(2 * n, 1, 40 + f));  // grey plane, colour plane
    want.insert(want.end(), u.frame_bytes.back().begin(), u.frame_bytes.back().begin() + n);
  }
  ASSERT_TRUE(Write_Ultrasound(dir / "s.tif", u));
  LogCapture log(5);
  const Read r = Read_All(dir / "s.tif", 4);
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_t, r.ima->g2.pix_type), std::tuple(91, 30, kPixU8));
  EXPECT_EQ(r.pixels, want);
  ASSERT_EQ(r.ima->g1.frame_pos.size(), 30u);
  EXPECT_EQ(r.ima->g1.frame_pos[29][3], 29 * 33.0f);
  EXPECT_EQ(std::tuple(r.ima->g3.patient_ID, r.ima->g3.physician_name, r.ima->g1.image_comment),
            std::tuple("ID7", "Dr Heart", "image c"));
  EXPECT_TRUE(log.Contains("start:33   msec duration:33   msec"));
  EXPECT_TRUE(log.Contains("Color Flow A"));
  EXPECT_TRUE(log.Contains("Thallium"));
}

TEST(TiffDsr, ColourFramesRenderThroughTheirMap) {
  TempDir dir;
  for (uint16_t type : {1, 4, 10}) {
    SCOPED_TRACE(type);
    UltrasoundFile u = Dsr(3, type);
    u.baseline = 200;  // far from 16: indexes still land inside the map
    const size_t n = size_t{u.width} * u.height;
    for (uint32_t f = 0; f < 3; ++f) u.frame_bytes.push_back(Ramp_Samples(2 * n, 1, 60 + f));
    ASSERT_TRUE(Write_Ultrasound(dir / "c.tif", u));
    const Read r = Read_All(dir / "c.tif");
    ASSERT_TRUE(r.ima);
    EXPECT_EQ(r.ima->g2.pix_type, kPixRGBA8);
    Bytes want(3 * n * 4);
    for (uint32_t f = 0; f < 3; ++f)
      Dsr_Render(u.frame_bytes[f].data(), u.frame_bytes[f].data() + n, n, type, 0, 200, &want[f * n * 4]);
    EXPECT_EQ(r.pixels, want);
  }
}

TEST(TiffDsr, DamagedFramesAndCounts) {
  TempDir dir;
  // More frames stated than strips: bounded by the strips.
  UltrasoundFile u = Dsr(4, 3);
  u.frame_count_tag = 1000000;
  u.color_map = {200, 9, 0, 9};  // no map name, colorization or threshold kind has these
  for (uint32_t f = 0; f < 4; ++f) u.frame_bytes.push_back(Bytes(128, static_cast<uint8_t>(f)));
  ASSERT_TRUE(Write_Ultrasound(dir / "s.tif", u));
  LogCapture log(5);
  Read r = Read_All(dir / "s.tif", 4);
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->dim_t, 4);
  EXPECT_EQ(r.pixels.size(), 4u * 32);
  const std::string text = log.Joined(4, true);
  EXPECT_NE(text.find("33789 Color Map          Invalid"), std::string::npos) << text;
  EXPECT_NE(text.find("colorization         Invalid"), std::string::npos);
  EXPECT_NE(text.find("threshold            INVALID VALUE"), std::string::npos);

  // A frame shorter than its two planes.
  u = Dsr(2, 1);
  for (uint32_t f = 0; f < 2; ++f) u.frame_bytes.push_back(Bytes(20, 1));  // needs 2 x 16
  ASSERT_TRUE(Write_Ultrasound(dir / "s.tif", u));
  r = Read_All(dir / "s.tif");
  EXPECT_TRUE(r.pixels.empty());
  EXPECT_TRUE(log.Contains("frame 0 holds 20 of its 32 bytes"));
}

// ---- colour maps ----

std::array<int, 4> Entry(const DsrTable& t, int i) { return {t[i * 4], t[i * 4 + 1], t[i * 4 + 2], t[i * 4 + 3]}; }
DsrTable Map(uint32_t number) {
  DsrTable t;
  Dsr_Color_Map(number, t);
  return t;
}

TEST(DsrMaps, TellingEntries) {
  struct Row {
    uint32_t map;
    int entry;
    std::array<int, 4> want;
  } rows[] = {
      {0, 1, {251, 240, 0, 200}},   {0, 64, {159, 47, 0, 120}},   {0, 127, {51, 3, 0, 20}},
      {0, 129, {0, 3, 9, 20}},      {0, 192, {0, 47, 150, 120}},  {0, 255, {0, 240, 251, 200}},
      {7, 1, {250, 253, 235, 200}}, {7, 64, {214, 116, 48, 120}}, {7, 127, {70, 11, 20, 20}},
      {7, 129, {20, 11, 70, 20}},   {7, 192, {48, 116, 214, 120}}, {7, 255, {235, 253, 250, 200}},
      {23, 1, {0, 240, 251, 200}},  {23, 64, {0, 47, 150, 120}},  {23, 127, {0, 3, 9, 20}},
      {23, 129, {0, 3, 9, 20}},     {23, 192, {0, 47, 150, 120}}, {23, 255, {0, 240, 251, 200}},
      {95, 1, {0, 0, 0, 0}},        {95, 64, {36, 62, 110, 70}},  {95, 127, {53, 110, 142, 120}},
      {95, 129, {54, 111, 143, 120}}, {95, 192, {78, 160, 175, 160}}, {95, 255, {197, 235, 235, 200}},
      {3, 1, {0, 0, 0, 0}},         {3, 64, {162, 50, 0, 120}},   {3, 127, {60, 3, 0, 20}},
      {3, 129, {0, 0, 0, 0}},       {3, 192, {0, 53, 158, 120}},  {3, 255, {0, 250, 255, 200}},
      {84, 2, {0, 0, 255, 200}},    {84, 32, {28, 55, 19, 200}},  {84, 1, {0, 0, 0, 0}},
      {86, 26, {0, 109, 238, 200}}, {86, 64, {0, 109, 238, 200}}, {86, 120, {0, 0, 238, 200}},
      {86, 138, {0, 0, 238, 200}},  {88, 26, {238, 88, 0, 200}},  {88, 120, {0, 0, 238, 200}},
      {89, 120, {0, 0, 0, 0}},      {1, 130, {0, 0, 0, 0}},       {1, 136, Entry(Map(0), 136)},
      {256 + 7, 1, {250, 253, 235, 200}}, {97, 8, {249, 232, 0, 200}}, {200, 15, {249, 232, 0, 200}},
      {200, 7, {0, 0, 0, 0}},       {0, 128, {0, 0, 0, 0}},
  };
  for (const Row& r : rows) EXPECT_EQ(Entry(Map(r.map), r.entry), r.want) << "map " << r.map << " entry " << r.entry;
}

TEST(DsrMaps, ShapesAndLevels) {
  const DsrTable zero = Map(0), thirteen = Map(13);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ((std::array{thirteen[i * 4], thirteen[i * 4 + 2], thirteen[i * 4 + 3]}),
              (std::array{zero[i * 4], zero[i * 4 + 2], uint8_t{0}}));
  // A build depends on its number only.
  DsrTable seg;
  Dsr_Color_Map(0, seg);
  Dsr_Color_Map(86, seg);
  EXPECT_EQ(seg, Map(86));
  for (int i = 0; i <= 25; ++i) EXPECT_EQ(Entry(seg, i), (std::array<int, 4>{0, 0, 0, 0}));
  // Bipolar levels mirror about 128; the ramp maps' levels never fall.
  for (int i = 1; i < 128; ++i) EXPECT_EQ(zero[i * 4 + 3], zero[(256 - i) * 4 + 3]) << i;
  EXPECT_EQ(std::pair(zero[13 * 4 + 3], zero[134 * 4 + 3]), (std::pair<uint8_t, uint8_t>(180, 40)));
  const DsrTable ramp = Map(96);
  EXPECT_EQ(std::pair(ramp[4 * 4 + 3], ramp[233 * 4 + 3]), (std::pair<uint8_t, uint8_t>(20, 200)));
  for (int i = 5; i < 256; ++i) EXPECT_GE(ramp[i * 4 + 3], ramp[(i - 1) * 4 + 3]) << i;
  // Default map: blocks of 8 equal entries.
  const DsrTable def = Map(50);
  for (int i = 8; i < 256; ++i)
    if (i % 8) {
      EXPECT_EQ(Entry(def, i), Entry(def, i - 1)) << i;
    }
}

TEST(DsrRender, IndexesAndLuminance) {
  // Baselines far from 16 wrap fully: the index stays in the map.
  for (int b = 0; b < 256; ++b)
    for (unsigned c = 0; c < 256; ++c)
      for (uint16_t type : {1, 2, 8, 10}) ASSERT_LT(Dsr_Map_Index(type, c, b), 256u) << type << " " << c << " " << b;
  EXPECT_EQ(Dsr_Map_Index(1, 7, 30), 7u);     // small colour bytes keep their index
  EXPECT_EQ(Dsr_Map_Index(1, 8, 17), 16u);    // block 1 moved up one
  EXPECT_EQ(Dsr_Map_Index(1, 255, 17), 7u);   // block 31 wraps to 0
  EXPECT_EQ(Dsr_Map_Index(2, 5, 15), 4u * 63 + 1);
  EXPECT_EQ(Dsr_Map_Index(10, 3, 15), 251u);
  // Type 4: Y = 4g - 240, pairs share their colour bytes; an odd last pixel keeps its own.
  const uint8_t g[3] = {100, 100, 70};
  const uint8_t c[3] = {64, 80, 90};
  uint8_t out[12];
  Dsr_Render(g, c, 3, 4, 0, 16, out);
  EXPECT_EQ(out[0], 160);  // 160 + 256 - 256
  EXPECT_EQ(out[2], 224);  // 160 + 320 - 256
  EXPECT_EQ(out[1], static_cast<uint8_t>((160 - 0.299 * 160 - 0.114 * 224) * 1.7035775));
  EXPECT_EQ(out[3], 255);
  EXPECT_EQ(out[8], 144);   // Y = 40: 40 + 360 - 256
  EXPECT_EQ(out[10], 144);
  // Type 3 keeps the grey plane; other types start from the default palette.
  const uint8_t gg[2] = {199, 202};
  const uint8_t cc[2] = {0, 0};
  Dsr_Render(gg, cc, 2, 6, 0, 16, out);
  EXPECT_EQ((std::array<int, 4>{out[0], out[1], out[2], out[3]}), (std::array<int, 4>{254, 254, 254, 255}));
  EXPECT_EQ((std::array<int, 4>{out[4], out[5], out[6], out[7]}), (std::array<int, 4>{65, 100, 255, 255}));
}

}  // namespace
