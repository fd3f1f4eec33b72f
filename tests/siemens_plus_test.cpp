// The Siemens SOMATOM Plus reader: pixels, fields from both blocks, VAX
// reals, the date and time texts, geometry and damaged headers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Convert/formats/local_Siemens_Raw_C.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::SomatomPlusSpec;

class SomatomPlus : public testing::Test {
 protected:
  fixtures::UtcZone utc_;
};

std::unique_ptr<ImageHeader> Read(const std::vector<uint8_t>& bytes) {
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  EXPECT_TRUE(ima);
  if (ima) {
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
  }
  return ima;
}

TEST_F(SomatomPlus, PixelsFieldsAndGeometry) {
  fixtures::LogCapture log(0);
  SomatomPlusSpec s{.matrix = 32};
  for (int i = 0; i < 32 * 32; ++i) s.pixels.push_back(static_cast<uint16_t>(i * 3 % 3000));
  const auto bytes = fixtures::Somatom_Plus_File(s);
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 32);
  const auto ima = Read(bytes);
  ASSERT_TRUE(ima && ima->data);
  const auto* p = reinterpret_cast<const uint16_t*>(ima->data.data());
  EXPECT_EQ(std::vector<uint16_t>(p, p + 32 * 32), s.pixels);
  EXPECT_EQ(ima->modality, kModalityCT);
  EXPECT_EQ(ima->g4.manufacturer, "SIEMENS");
  EXPECT_EQ(ima->g4.model, "SOMATOM PLUS");
  EXPECT_EQ(ima->g3.patient_name, "HUBER^ANNA");
  EXPECT_EQ(ima->g3.patient_ID, "SP-4711");
  EXPECT_EQ(ima->g3.hospital_name, "STADTSPITAL");
  EXPECT_EQ(ima->g3.patient_sex, 'F');
  EXPECT_EQ(ima->g1.study_comment, "ABDOMEN ROUTINE");
  EXPECT_EQ(ima->g1.image_comment, "IMAGE COMMENT");
  EXPECT_FLOAT_EQ(ima->g4.ct.tube_voltage, 120);
  EXPECT_FLOAT_EQ(ima->g4.ct.exposure, 300);
  EXPECT_FLOAT_EQ(ima->g4.ct.tube_current, 250);
  EXPECT_FLOAT_EQ(ima->g4.ct.gantry_tilt, -12.0f);
  EXPECT_FLOAT_EQ(ima->g4.scan_time, 1.5f);  // a VAX real
  EXPECT_FLOAT_EQ(ima->g1.pix_size[2], 8);
  EXPECT_FLOAT_EQ(ima->g1.pix_dim[0], 0.4f);  // 0.5 mm before a zoom of 1.25
  EXPECT_FLOAT_EQ(ima->g4.table_pos, -125);
  EXPECT_EQ(ima->g1.image_num, 17);
  EXPECT_EQ(ima->image_type, 1);
  EXPECT_EQ(ima->g1.study_time, 826626615);  // 12 March 1996 10:30:15 UTC
  EXPECT_EQ(ima->g1.image_time, 826626705);
  EXPECT_FLOAT_EQ(ima->g2.rescale_intercept, -1000);
  // No patient position in the file: the standard axial plane, rows turned
  // once (the position moves down by the image height); here without tilt.
  const auto flat = Read(fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 32, .tilt = "0"}));
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->g1.dir_h, (Vec4{-1, 0, 0, 0}));
  EXPECT_EQ(flat->g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_FLOAT_EQ(flat->g1.position[1], -32 * 0.4f);
  EXPECT_FLOAT_EQ(flat->g1.position[2], -125);
}

TEST_F(SomatomPlus, DateAndTimeTexts) {
  int y, m, d;
  Siemens_Parse_Date("05-DEC-99", y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 19991205);
  Siemens_Parse_Date("05-XYZ-01", y, m, d);  // an unknown month name gives 0
  EXPECT_EQ(y * 10000 + m * 100 + d, 20010005);
  Siemens_Parse_Date("5-DEC", y, m, d);
  EXPECT_EQ(y + m + d, 0);
  EXPECT_DOUBLE_EQ(Siemens_Parse_Time("10:30:36"), 10.51);
  // A date with an unknown month leaves the time unset.
  fixtures::LogCapture log(0);
  const auto ima = Read(fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 8, .study_date = "12-XXX-96"}));
  EXPECT_EQ(ima->g1.study_time, 0);
}

TEST_F(SomatomPlus, HeaderTextAndDamage) {
  {
    fixtures::LogCapture log(6);
    const auto bytes = fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 8});
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 6);
    ASSERT_TRUE(ima);
    const std::string text = log.Joined(6, true);
    for (const std::string& want : std::vector<std::string>{
             "------ ------ SIEMENS RAW ------ ------", " -------  Block at 0x0200 ---------",
             " ------- Text Block at 0x0C00 ---------", "Scan type:               Axial",
             "kV=Tube voltage          120       ", "Study Comment            ABDOMEN ROUTINE"})
      EXPECT_NE(text.find(want), std::string::npos) << want;
  }
  {
    fixtures::LogCapture log(2);
    const auto bytes = fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = -4});
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("SIEMENS PLUS image resolution -4 (1 to 65535)"));
  }
  {
    fixtures::LogCapture log(6);
    auto bytes = fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 8});
    bytes.resize(4000);
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("End of File while reading: (4000 /vs/ 4096)"));
  }
}

}  // namespace
