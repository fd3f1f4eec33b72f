// The Shimadzu SCT-5000, Picker IQ/PQ, Philips HDL1 and MRH1 and Medison
// readers: decoded pixels (whole and cut short), header fields, damaged
// files, and each format's record and header text through the tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "Convert/formats/local_Philips_HDL1.h"
#include "Convert/formats/local_Picker_IQ.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/scanner_writer_a.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<uint16_t>;
using Path = HDL1Spec::Path;

struct Read {
  std::unique_ptr<ImageHeader> ima;
  int status = 0;
  explicit Read(const Bytes& b) : ima(Kema_Image_Header_Read(nullptr, b.size(), b.data())) {
    if (ima) status = Kema_Image_Get_Image(nullptr, *ima);
  }
  Samples Pixels() const {
    const auto* p = reinterpret_cast<const uint16_t*>(ima->data.data());
    return Samples(p, p + ima->data.size() / 2);
  }
};

TEST(ScannerA, EachFormatDecodesToItsPixelsAndFields) {
  LogCapture log(0);
  // The disc: spans centred on column 256, the first rows as the scanner has them.
  const uint16_t first_rows[] = {46, 64, 78, 90, 100, 110, 118, 126};
  Samples disc(512 * 512, 63488), px = HDL1_Samples({.path = Path::Disc});
  for (int y = 0; y < 512; ++y) {
    const HDL1Span s = Philips_HDL1_Disc_Span(y);
    ASSERT_EQ(s.start + s.count / 2, 256);
    ASSERT_EQ(s.count, y < 8 ? first_rows[y] : Philips_HDL1_Disc_Span(511 - y).count);
    std::copy_n(px.begin() + y * 512 + s.start, s.count, disc.begin() + y * 512 + s.start);
  }
  EXPECT_EQ(Philips_HDL1_Disc_Span(255).count, 512);
  // Row records store columns 1 to 14; a row that ends in -1000 ends in -2048.
  Samples records = HDL1_Samples({});
  for (int y = 0; y < 16; ++y) {
    uint16_t* row = records.data() + y * 16;
    row[0] = row[15] = 63488;
    if (row[14] == 64536) row[14] = 63488, row[13] = row[13] == 64536 ? 63488 : row[13];
  }
  Samples scout = HDL1_Samples({.path = Path::Scout}), mrh1, medison(32 * 24);
  Samples narrow;  // a header narrower than the measured row: each row from its own start
  for (int r = 0; r < 16; ++r) narrow.insert(narrow.end(), scout.begin() + r * 400, scout.begin() + r * 400 + 300);
  scout.resize(400 * 16);  // rows of 400 measured; 16 rows in the header
  for (int16_t v : MRH1_Pixels({})) mrh1.push_back(static_cast<uint16_t>(v));
  for (size_t i = 0; i < medison.size(); ++i) medison[i] = static_cast<uint8_t>(i * 14) | static_cast<uint8_t>(i * 14 + 7) << 8;
  const struct {
    const char* name;
    Bytes file;
    uint16_t format, x, y;
    Samples want;
    size_t header;  // a copy cut inside the pixel data shows the rows it holds
  } cases[] = {
      {"shimadzu", Shimadzu_File({}), 50, 512, 512, Scanner_Phantom(512, 512, 63536), 512},
      {"picker", Picker_File({}), 60, 32, 32, Scanner_Phantom(32, 32, 0), Picker_File({}).size() - 2048},
      {"hdl1 disc", HDL1_File({.path = Path::Disc, .width = 512, .height = 512}), 45, 512, 512, disc, 1024},
      {"hdl1 records", HDL1_File({}), 45, 16, 16, records, 1024},
      {"hdl1 scout", HDL1_File({.path = Path::Scout, .width = 512}), 45, 400, 16, scout, 0},
      {"hdl1 narrow scout", HDL1_File({.path = Path::Scout, .width = 300}), 45, 300, 16, narrow, 0},
      {"hdl1 scout by type", HDL1_File({.path = Path::Scout, .width = 512, .type = 6}), 45, 400, 16, scout, 0},
      {"mrh1", MRH1_File({}), 46, 16, 16, mrh1, 96 + 8 + 2048},
      {"medison", Medison_File({}), 92, 32, 24, medison, 16384},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Kema_Image_Get_Format(nullptr, c.file.size(), c.file.data()), c.format);
    const Read r(c.file);
    ASSERT_EQ(r.status, 1);
    EXPECT_EQ(r.ima->dim_x, c.x);
    EXPECT_EQ(r.ima->dim_y, c.y);
    const Samples full = r.Pixels();
    EXPECT_EQ(full, c.want);
    if (!c.header) continue;
    const Read cut(Bytes(c.file.begin(), c.file.begin() + c.header + (c.file.size() - c.header) * 6 / 10));
    ASSERT_EQ(cut.status, 1);
    const Samples part = cut.Pixels();
    EXPECT_NE(part, full);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + part.size() / 4, full.begin()));
  }
  const Read pq(Picker_File({})), hd(HDL1_File({})), us(Medison_File({}));
  EXPECT_FLOAT_EQ(pq.ima->g4.ct.gantry_tilt, -12.5f);
  EXPECT_FLOAT_EQ(hd.ima->g4.table_pos, -123.4f);
  EXPECT_EQ(us.ima->g3.patient_name, "KIM^MINJI 2ND LINE");
  // A size that is no number, or past any scanner's, leaves the default spacing.
  for (const char* bad : {"nan", "1e30", "-0.5"}) EXPECT_EQ(Read(Shimadzu_File({.pixel_size = bad})).ima->g1.pix_dim[0], 1);
  EXPECT_EQ(Read(HDL1_File({.fov = 60000})).ima->g1.pix_dim[0], 1);
  EXPECT_EQ(Read(MRH1_File({.fov = 0xFFFFFFFF})).ima->g1.pix_dim[0], 1);
}

TEST(ScannerA, BadInputIsRefusedWithItsMessage) {
  const auto words = [](int pos, int diffs) {  // row 0 empty; row 1: 100 at pos, then +1 each
    std::vector<uint16_t> w = {0x8080, static_cast<uint16_t>(pos), 100};
    for (int i = 0; i < diffs; i += 2) w.push_back(i + 1 < diffs ? 0x0101 : 0x0180);
    return Shimadzu_File({.words = w});
  };
  const struct {
    const char* name;
    Bytes file;
    const char* message;  // empty: read, with no ERROR line
  } cases[] = {
      {"512 columns", words(0, 511), ""},
      {"513 columns", words(0, 512), "4 ERROR pos(=512) > 512 (line 1)"},
      {"start past the row", words(513, 0), "1 ERROR pos(=513) > 512 (line 1)"},
      {"no dbrec", Picker_File({.dbrec = "dbrek"}), "Unable to find \"dbrec\" in IQ/PQ header of image"},
      {"no recsz", Picker_File({.recsz = "recsize"}), "Unable to match \"recsz:\" in IQ/PQ header of image"},
      {"no nrecs", Picker_File({.nrecs = "nrec"}), "Unable to match \"nrecs:\" in IQ/PQ header of image"},
      {"tables past the end", Picker_File({.nrecs = "nrecs: 60000"}), "records of 32 bytes"},
      {"record out of sequence", HDL1_File({.bad_row = 1}), "uncompressing HDL1 image (line:1)"},
      {"no IMG1", MRH1_File({.magic = false}), "no \"IMG1\" image block in MRH1 image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(2);
    if (std::string(c.name) == "no dbrec") {  // detection asks for it too: the reader by itself
      ImageHeader ima;
      Image_Init_Header(ima);
      ima.input_type = 2;
      ima.stream = c.file;
      EXPECT_EQ(Picker_Read_Header(ReadContext{}, ima), 0);
    } else if (const Read r(c.file); *c.message) {
      EXPECT_TRUE(!r.ima || r.status != 1);
    } else {
      ASSERT_EQ(r.status, 1);
      EXPECT_EQ(r.Pixels()[512 + 511], 100 + 511);
    }
    EXPECT_EQ(log.Contains(c.message), true) << log.Joined(2, true);
    EXPECT_EQ(log.Contains("ERROR"), *c.message != 0);
  }
}

#ifdef KEMA_CLI_PATH
std::pair<int, std::string> Kema(const std::string& args) {
  const std::string out = ::testing::TempDir() + "/scanner_a_kema.out";
  const int status = std::system((std::string(KEMA_CLI_PATH) + " " + args + " > " + out + " 2>&1").c_str());
  const Bytes text = Read_File(out);
  return {status, std::string(text.begin(), text.end())};
}

TEST(ScannerA, EachFixtureThroughTheTool) {
  const TempDir dir;
  const struct {
    const char* name;
    Bytes file;
    const char* info;
    std::vector<std::string> header;
    size_t raw;
  } cases[] = {
      {"ct.sct", Shimadzu_File({}), "\"pix_dim\":[0.468,0.468,1.0]",
       {"------ Shimadzu header ------", "Patient Name:            YAMADA^TARO"}, 512 * 512 * 2},
      {"ct.pq", Picker_File({}), "\"pix_dim\":[15.0,15.0,1.0]", {"Picker IQ/PQ header", "PATNAM:                  DOE^JANE"}, 2048},
      {"disc.hdl", HDL1_File({.path = Path::Disc, .width = 512, .height = 512}), "\"pix_dim\":[0.48828125,0.48828125,1.0]",
       {"tilt: ?                  0", "pos_z:                   -1234 (0.1 mm)", "0x0c8: ab 00 00"},
       512 * 512 * 2},
      {"scout.hdl", HDL1_File({.path = Path::Scout, .width = 512}), "\"image_type\":5", {"res X:                   512"}, 12800},
      {"mr.mrh", MRH1_File({}), "\"pix_dim\":[14.375,14.375,5.0]", {"Image block at:          96", "Patient ID:              MR-1001"}, 512},
      {"us.med", Medison_File({}), "\"pix_dim\":[0.25,0.25,0.25]", {"Data mode:               CFM mode", "Pixel size:              250000 (nm)"},
       32 * 24 * 2},
      {"bad.med", Medison_File({.mode = 0x05}), "\"format_name\":\"MEDISON\"", {"Data mode:    (invalid!) 5", "--> bad DMS (0x5) in header"},
       32 * 24 * 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir / c.name, raw = dir / "out.raw";
    ASSERT_TRUE(Write_File(file, c.file));
    const auto info = Kema("info --json " + file), header = Kema("-t 8 header " + file), pixels = Kema("raw " + file + " -o " + raw);
    EXPECT_EQ(info.first | header.first | pixels.first, 0);
    EXPECT_NE(info.second.find(c.info), std::string::npos) << info.second;
    for (const std::string& l : c.header) EXPECT_NE(header.second.find(l), std::string::npos) << l << header.second;
    EXPECT_EQ(Read_File(raw).size(), c.raw);
  }
}
#endif

}  // namespace
