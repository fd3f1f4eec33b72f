// The Shimadzu SCT-5000, Picker IQ/PQ, Philips HDL1 and MRH1 and Medison
// readers: decoded pixels, header fields and text, damaged files, and each
// format through the command-line tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

struct Read {
  std::unique_ptr<ImageHeader> ima;
  int status = 0;
  explicit Read(const Bytes& b, uint8_t text = 0) : ima(Kema_Image_Header_Read(nullptr, b.size(), b.data(), text)) {
    if (ima) status = Kema_Image_Get_Image(nullptr, *ima);
  }
  Samples Pixels() const {
    const auto* p = reinterpret_cast<const uint16_t*>(ima->data.data());
    return Samples(p, p + ima->data.size() / 2);
  }
};

Samples Disc_Expected() {
  const Samples px = HDL1_Samples({.path = HDL1Spec::Path::Disc});
  Samples want(512 * 512, 63488);
  for (int y = 0; y < 512; ++y) {
    const HDL1Span s = Philips_HDL1_Disc_Span(y);
    for (int c = s.start; c < s.start + s.count; ++c) want[y * 512 + c] = px[y * 512 + c];
  }
  return want;
}

// Columns 1 to 14 stored; a stored row that ends in -1000 ends in -2048
// (and so does the sample before it when it is -1000 too).
Samples Records_Expected() {
  Samples want = HDL1_Samples({}), px = want;
  for (int y = 0; y < 16; ++y) {
    uint16_t* row = want.data() + y * 16;
    row[0] = row[15] = 63488;
    if (row[14] == 64536) row[14] = 63488, row[13] = row[13] == 64536 ? 63488 : row[13];
  }
  return want;
}

TEST(ScannerA, DisksTablesFollowTheScannerField) {
  const uint16_t first[] = {46, 64, 78, 90, 100, 110, 118, 126};
  for (int y = 0; y < 512; ++y) {
    const HDL1Span s = Philips_HDL1_Disc_Span(y);
    EXPECT_EQ(s.start + s.count / 2, 256) << y;
    EXPECT_EQ(s.count, Philips_HDL1_Disc_Span(511 - y).count) << y;
    if (y < 8) {
      EXPECT_EQ(s.count, first[y]) << y;
    }
  }
  EXPECT_EQ(Philips_HDL1_Disc_Span(255).count, 512);
  EXPECT_EQ(Philips_HDL1_Disc_Span(7).start, 193);
}

TEST(ScannerA, EachFormatDecodesToItsPixels) {
  LogCapture log(0);
  Samples scout = HDL1_Samples({.path = HDL1Spec::Path::Scout});
  scout.resize(400 * 16);
  Samples mrh1;
  for (int16_t v : MRH1_Pixels({})) mrh1.push_back(static_cast<uint16_t>(v));
  const struct {
    const char* name;
    Bytes file;
    uint16_t format, x, y;
    Samples want;
  } cases[] = {
      {"shimadzu", Shimadzu_File({}), 50, 512, 512, Scanner_Phantom(512, 512, 63536)},
      {"picker", Picker_File({}), 60, 32, 32, Scanner_Phantom(32, 32, 0)},
      {"hdl1 disc", HDL1_File({.path = HDL1Spec::Path::Disc, .width = 512, .height = 512}), 45, 512, 512,
       Disc_Expected()},
      {"hdl1 records", HDL1_File({}), 45, 16, 16, Records_Expected()},
      {"hdl1 scout", HDL1_File({.path = HDL1Spec::Path::Scout, .width = 512}), 45, 400, 16, scout},
      {"hdl1 scout by type", HDL1_File({.path = HDL1Spec::Path::Scout, .width = 512, .type = 6}), 45, 400, 16, scout},
      {"mrh1", MRH1_File({}), 46, 16, 16, mrh1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Kema_Image_Get_Format(nullptr, c.file.size(), c.file.data()), c.format);
    const Read r(c.file);
    ASSERT_TRUE(r.ima);
    ASSERT_EQ(r.status, 1);
    EXPECT_EQ(r.ima->dim_x, c.x);
    EXPECT_EQ(r.ima->dim_y, c.y);
    EXPECT_EQ(r.Pixels(), c.want);
  }
  const Read us(Medison_File({}));
  ASSERT_TRUE(us.ima && us.status == 1);
  ASSERT_EQ(us.ima->data.size(), 32u * 24 * 2);
  for (size_t i = 0; i < us.ima->data.size(); ++i) ASSERT_EQ(us.ima->data.data()[i], static_cast<uint8_t>(i * 7));
}

TEST(ScannerA, HeaderFieldsAndGeometry) {
  LogCapture log(0);
  const Read sh(Shimadzu_File({}));
  EXPECT_EQ(sh.ima->g3.patient_name, "YAMADA^TARO");
  EXPECT_EQ(sh.ima->g1.image_num, 12);
  EXPECT_FLOAT_EQ(sh.ima->g1.pix_dim[0], 0.468f);
  EXPECT_FLOAT_EQ(sh.ima->g4.ct.tube_voltage, 120.0f);
  const Read pq(Picker_File({}));
  EXPECT_EQ(pq.ima->g4.manufacturer, "Picker");
  EXPECT_EQ(pq.ima->g3.patient_ID, "PQ-42");
  EXPECT_EQ(pq.ima->g3.patient_sex, 'F');
  EXPECT_EQ(pq.ima->image_type, 1);
  EXPECT_FLOAT_EQ(pq.ima->g1.pix_dim[0], 15.0f);
  EXPECT_FLOAT_EQ(pq.ima->g4.ct.gantry_tilt, -12.5f);
  const Read hd(HDL1_File({}));
  EXPECT_EQ(hd.ima->g3.patient_name, "JANSEN^PIET");
  EXPECT_EQ(hd.ima->g1.study_ID, "ST-77");
  EXPECT_FLOAT_EQ(hd.ima->g4.table_pos, -123.4f);
  EXPECT_FLOAT_EQ(hd.ima->g1.fov[0], 250.0f);
  EXPECT_TRUE(hd.ima->flags & kFlagNoCoherence);
  const Read mr(MRH1_File({}));
  EXPECT_EQ(mr.ima->modality, kModalityMR);
  EXPECT_EQ(mr.ima->g2.pix_bits, 12);
  EXPECT_FLOAT_EQ(mr.ima->g1.fov[0], 230.0f);
  const Read us(Medison_File({}));
  EXPECT_EQ(us.ima->dim_z, 2);
  EXPECT_EQ(us.ima->g3.patient_name, "KIM^MINJI 2ND LINE");
  EXPECT_FLOAT_EQ(us.ima->g1.pix_dim[2], 0.25f);
  // A size that is no number, or past any scanner's, leaves the geometry unset.
  for (const char* bad : {"nan", "1e30", "-0.5"}) {
    const Read r(Shimadzu_File({.pixel_size = bad}));
    EXPECT_EQ(r.ima->g1.pix_dim[0], 1.0f) << bad;  // the default spacing
  }
  EXPECT_EQ(Read(HDL1_File({.fov = 60000})).ima->g1.pix_dim[0], 1.0f);
  EXPECT_EQ(Read(MRH1_File({.fov = 0xFFFFFFFF})).ima->g1.pix_dim[0], 1.0f);
}

TEST(ScannerA, HeaderText) {
  UtcZone utc;
  const struct {
    Bytes file;
    std::vector<std::string> lines;
  } cases[] = {
      {Shimadzu_File({}), {"------ ------ Shimadzu header ------ ------", "Patient Name:            YAMADA^TARO"}},
      {Picker_File({}), {"------ ------ Picker IQ/PQ header ------ ------", "PATNAM:                  DOE^JANE"}},
      {HDL1_File({}),
       {"patient Name:            JANSEN^PIET", "tilt: ?                  0", "pos_z:                   -1234 (0.1 mm)",
        "------ Other unknown info ------", "0x0c8: ab 00 00"}},
      {MRH1_File({}), {"------ ------ Philips MRH1 header ------ ------", "Image block at:          96"}},
      {Medison_File({}), {"Data mode:               CFM mode", "Pixel size:              250000 (nm)"}},
      {Medison_File({.mode = 0x05}), {"Data mode:    (invalid!) 5", "--> bad DMS (0x5) in header"}},
  };
  for (const auto& c : cases) {
    LogCapture log(8);
    const Read r(c.file, 6);
    ASSERT_TRUE(r.ima);
    EXPECT_EQ(r.status, 1);
    const std::string text = log.Joined(6, true) + log.Joined(8, true);
    for (const std::string& l : c.lines) EXPECT_NE(text.find(l), std::string::npos) << l << "\n" << text;
  }
}

// A Picker file whose "D =" places the pixels far past its end.
Bytes Far_Pixels() {
  Bytes f = Picker_File({});
  const std::string d = "D =";
  const auto at = std::search(f.begin(), f.begin() + 280, d.begin(), d.end()) + 3;
  std::fill_n(at, 4, '9');
  return f;
}

TEST(ScannerA, BadInputIsRefusedWithItsMessage) {
  const auto words = [](int pos, int diffs) {
    std::vector<uint16_t> w = {0x8080, static_cast<uint16_t>(pos), 100};
    for (int i = 0; i < diffs; i += 2) w.push_back(i + 1 < diffs ? 0x0101 : 0x0180);
    w.push_back(0x8080);
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
      {"pixels past the end", Far_Pixels(), "pixel data at"},
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
      EXPECT_FALSE(log.Contains("ERROR"));
    }
    if (*c.message) {
      EXPECT_TRUE(log.Contains(c.message)) << log.Joined(2, true);
    }
  }
}

TEST(ScannerA, CutFilesShowTheRowsTheyHold) {
  LogCapture log(0);
  const struct {
    const char* name;
    Bytes file;
    size_t header;
  } cases[] = {{"shimadzu", Shimadzu_File({}), 512},
               {"picker", Picker_File({}), Picker_File({}).size() - 32 * 32 * 2},
               {"hdl1 disc", HDL1_File({.path = HDL1Spec::Path::Disc, .width = 512, .height = 512}), 1024},
               {"hdl1 records", HDL1_File({}), 1024},
               {"mrh1", MRH1_File({}), 96 + 8 + 2048},
               {"medison", Medison_File({}), 16384}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples full = Read(c.file).Pixels();
    Bytes cut = c.file;
    cut.resize(c.header + (cut.size() - c.header) * 6 / 10);
    const Read r(cut);
    ASSERT_EQ(r.status, 1);
    const Samples part = r.Pixels();
    ASSERT_EQ(part.size(), full.size());
    EXPECT_NE(part, full);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + part.size() / 4, full.begin()));
  }
}

}  // namespace
