// The writers of kema convert through the library: formats without a sample
// image go to both targets and come back through our own reader; a write
// that fails (disk full, folder missing) leaves nothing behind; UIDs follow
// the contents.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "Convert/conv_file_read.h"
#include "export/export.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/jpeg_writer.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"
#include "tests/fixtures/text_formats_writer.h"
#include "tests/fixtures/tiff_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace fixtures;
using kema::Series;

std::vector<Series> Gather(const std::vector<std::string>& names, kema::CollectCounts* counts = nullptr) {
  std::vector<kema::ExportImage> images;
  kema::CollectCounts c;
  kema::Export_Collect(nullptr, names, images, c);
  if (counts) *counts = c;
  return kema::Export_Group(nullptr, std::move(images));
}

// Every name below `dir`, temporary ones included.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// An ACR-NEMA 2 stream (implicit little-endian, no preamble) with patient
// geometry; Siemens SPI when the maker says SIEMENS.
std::vector<uint8_t> Nema_Slice(int k, const char* maker = "ACME") {
  DicomWriter w(0x00);
  w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0")
      .Text(0x0008, 0x0060, "CS", "CT")
      .Text(0x0008, 0x0070, "LO", maker)
      .Text(0x0010, 0x0010, "PN", "NEMA^TWO")
      .Text(0x0020, 0x0011, "IS", "4")
      .Text(0x0020, 0x0013, "IS", std::to_string(k + 1))
      .Text(0x0020, 0x0032, "DS", "-20\\-30\\" + std::to_string(5 * k))
      .Text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0")
      .Text(0x0028, 0x0030, "DS", "0.75\\0.5");
  w.Image(6, 8, 16).Pixels(Dicom_Ramp16(6, 8, k));
  return w.Done(1024);
}

TEST(Export, FormatsWithoutASampleGoBothWaysAndBack) {
  TempDir dir;
  LogCapture log(2);
  const auto values = Text_Pattern(8 * 6 * 2, 2, true);
  Write_File(dir / "an.hdr", Analyze_Header({.big_endian = false, .classic = false}));
  Write_File(dir / "an.img", Store_Samples(values, 2, false));
  const std::string bruker = Write_Bruker_Study(dir / "rat", {}, Store_Samples(values, 2, true));
  Write_File(dir / "ramp.jpg", Lossless_Jpeg({.width = 16, .height = 12, .precision = 8,
                                              .samples = Phantom_Samples(16, 12, 8, 1)}));
  fs::create_directory(dir / "nema");
  for (int k = 0; k < 3; ++k) Write_File(dir / ("nema/s" + std::to_string(k) + ".acr"), Nema_Slice(k));
  Write_File(dir / "spi.ima", Nema_Slice(0, "SIEMENS"));
  Write_File(dir / "ar.ima", Vision_File({.matrix = 32, .model = "SOMATOM AR.SP"}));
  UltrasoundFile deff{.dsr = false, .width = 12, .height = 16, .frames = 2};
  for (int f = 0; f < 2; ++f) deff.frame_bytes.push_back(Ramp_Samples(12 * 16, 1, 20 + f));
  Write_Ultrasound(dir / "echo.deff", deff);
  const struct {
    std::string name, input;
    int images, format;
    bool geometry;  // the file gives patient directions
  } rows[] = {{"Analyze", dir / "an.hdr", 2, 84, false},  {"Bruker", bruker, 2, 4, false},
              {"JPEG", dir / "ramp.jpg", 1, 103, false},  {"ACR-NEMA", dir / "nema", 3, 22, true},
              {"SPI", dir / "spi.ima", 1, 38, true},      {"SOMATOM AR", dir / "ar.ima", 1, 34, true},
              {"DEFF", dir / "echo.deff", 2, 90, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    log.clear();
    std::vector<Series> series = Gather({row.input});
    ASSERT_EQ(series.size(), 1u) << log.Joined(2, true);
    EXPECT_EQ(std::tuple(series[0].images[0].ima->format, series[0].geometry), std::tuple(row.format, row.geometry));
    Series& s = series[0];
    ASSERT_EQ(static_cast<int>(s.images.size()), row.images);
    kema::ExportResult nifti, dicom;
    const std::string out = dir / ("out_" + row.name);
    ASSERT_TRUE(kema::Export_Nifti(nullptr, s, out, false, nifti)) << log.Joined(2, true);
    const ImageHeader& first = *s.images[0].ima;
    EXPECT_EQ(fs::file_size(nifti.output), 352 + row.images * first.dim_x * first.dim_y * Image_Pixel_Bytes(first.g2.pix_type));
    ASSERT_TRUE(kema::Export_Dicom(nullptr, s, out, dicom)) << log.Joined(2, true);
    for (int k = 0; k < row.images; ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "/IM%05d.dcm", k + 1);
      FileRead back = Kema_Image_Read_File(nullptr, out + name);
      ASSERT_NE(back.ima, nullptr) << name;
      ASSERT_TRUE(kema::Export_Pixels(nullptr, s.images[k]));  // given back after writing
      const ImageHeader &a = *s.images[k].ima, &b = *back.ima;
      EXPECT_EQ(Data(a), Data(b)) << name;
      EXPECT_EQ(std::tuple(a.dim_x, a.dim_y, a.g2.pix_type), std::tuple(b.dim_x, b.dim_y, b.g2.pix_type));
      // No invented geometry: without directions in, none out.
      EXPECT_EQ((b.flags & kFlagDirDefault) == 0, s.geometry);
      if (!s.geometry) continue;
      const DicomGeometry ga = Image_Dicom_Geometry(a), gb = Image_Dicom_Geometry(b);
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(ga.position[c], gb.position[c], 1e-4);
        EXPECT_NEAR(ga.row[c], gb.row[c], 1e-4);
        EXPECT_NEAR(ga.col[c], gb.col[c], 1e-4);
      }
      EXPECT_EQ(ga.spacing, gb.spacing);
    }
  }
}

TEST(Export, FailedWritesLeaveNothingBehind) {
  TempDir dir;
  LogCapture log(2);
  fs::create_directory(dir / "in");
  for (int k = 0; k < 3; ++k) Write_File(dir / ("in/s" + std::to_string(k)), Dicom_CT_Slice(128, 128, k));
  std::vector<Series> series = Gather({dir / "in"});
  ASSERT_EQ(series.size(), 1u);
  fs::create_directory(dir / "out");
  // A disk that fills up: writes past 16 kB fail.
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 16384;
  setrlimit(RLIMIT_FSIZE, &small);
  kema::ExportResult r1, r2;
  const int nifti = kema::Export_Nifti(nullptr, series[0], dir / "out/v", false, r1);
  const int dicom = kema::Export_Dicom(nullptr, series[0], dir / "out/d", r2);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(std::tuple(nifti, dicom), std::tuple(0, 0));
  EXPECT_EQ(Listing(dir / "out"), std::vector<std::string>{"d"});  // the folder made, empty
  // A folder that cannot be made.
  Write_File(dir / "file", std::vector<uint8_t>{1});
  EXPECT_EQ(kema::Export_Dicom(nullptr, series[0], dir / "file/d", r2), 0);
  EXPECT_EQ(kema::Export_Nifti(nullptr, series[0], dir / "file/v", true, r1), 0);
  const std::string errors = log.Joined(2, true);
  EXPECT_NE(errors.find("ERROR: cannot write " + dir / "out/v.nii"), std::string::npos) << errors;
  EXPECT_NE(errors.find("ERROR: cannot make the folder " + dir / "file/d"), std::string::npos) << errors;
}

TEST(Export, GroupingSplitsAndReportsAndUidsFollowContents) {
  TempDir dir;
  LogCapture log(2);
  fs::create_directory(dir / "in");
  for (int k = 0; k < 4; ++k) Write_File(dir / ("in/a" + std::to_string(k)), Dicom_CT_Slice(32, 32, k));
  // The same series number at another size, a file of no known format, one
  // that fails.
  Write_File(dir / "in/b", Dicom_CT_Slice(16, 16, 9));
  Write_File(dir / "in/notes.txt", std::vector<uint8_t>(2000, 'x'));
  std::vector<uint8_t> cut = Dicom_CT_Slice(32, 32, 5);
  cut.resize(cut.size() - 100);
  Write_File(dir / "in/cut", cut);
  kema::CollectCounts counts;
  std::vector<Series> series = Gather({dir / "in", dir / "in/a0"}, &counts);  // a0 named twice, read once
  EXPECT_EQ(std::tuple(counts.read, counts.skipped, counts.failed), std::tuple(5, 1, 1));
  ASSERT_EQ(series.size(), 2u);
  for (const Series& s : series) {
    ASSERT_FALSE(s.warnings.empty());
    EXPECT_EQ(s.warnings[0], "series " + std::to_string(s.images[0].ima->g1.series_num) +
                                 " split in 2 by image size, pixel type, orientation or geometry");
  }
  // Same input, same files byte for byte; a changed pixel, another UID.
  Series& big = series[0].images.size() == 4 ? series[0] : series[1];
  kema::ExportResult r;
  ASSERT_TRUE(kema::Export_Dicom(nullptr, big, dir / "one", r));
  ASSERT_TRUE(kema::Export_Dicom(nullptr, big, dir / "two", r));
  for (const char* f : {"/IM00001.dcm", "/IM00004.dcm"})
    EXPECT_EQ(Read_File(dir / "one" + f), Read_File(dir / "two" + f));
  ASSERT_TRUE(kema::Export_Pixels(nullptr, big.images[0]));
  const kema::Digest a = kema::Image_Digest(big.images[0]);
  big.images[0].ima->data.data()[7] ^= 1;
  const std::string uid = kema::Export_Uid(a, "image");
  EXPECT_NE(uid, kema::Export_Uid(kema::Image_Digest(big.images[0]), "image"));
  EXPECT_TRUE(uid.starts_with("2.25.")) << uid;
  EXPECT_LE(uid.size(), 64u);

  // Past the pixel budget images keep their header only; their pixels are
  // read again when written.
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "1", 1);
  fs::create_directory(dir / "large");
  for (int k = 0; k < 3; ++k) Write_File(dir / ("large/s" + std::to_string(k)), Dicom_CT_Slice(512, 512, k));
  std::vector<Series> large = Gather({dir / "large"});
  unsetenv("KEMASCOPIA_MAX_IMAGE_MB");
  ASSERT_EQ(large.size(), 1u);
  const auto released = std::find_if(large[0].images.begin(), large[0].images.end(),
                                     [](const kema::ExportImage& e) { return e.ima->data.empty(); });
  ASSERT_NE(released, large[0].images.end());
  const std::string source = released->file;
  const size_t index = released - large[0].images.begin();
  ASSERT_TRUE(kema::Export_Dicom(nullptr, large[0], dir / "large_out", r));
  char name[32];
  std::snprintf(name, sizeof name, "/IM%05zu.dcm", index + 1);
  FileRead back = Kema_Image_Read_File(nullptr, dir / "large_out" + name), orig = Kema_Image_Read_File(nullptr, source);
  ASSERT_TRUE(back.ima && orig.ima);
  EXPECT_EQ(Data(*back.ima), Data(*orig.ima));
}

}  // namespace
