// The Siemens Vision / SOMATOM AR reader: pixels, fields, the modality rule,
// geometry (turned once), the annotation text and damaged headers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Convert/formats/local_Siemens_Raw_A.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::VisionSpec;

class Vision : public testing::Test {
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

TEST_F(Vision, PixelsAndFields) {
  fixtures::LogCapture log(0);
  VisionSpec s{.matrix = 32};
  for (int i = 0; i < 32 * 32; ++i) s.pixels.push_back(static_cast<uint16_t>(i * 3 % 4000));
  const auto bytes = fixtures::Vision_File(s);
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 35);
  const auto ima = Read(bytes);
  ASSERT_TRUE(ima && ima->data);
  const auto* p = reinterpret_cast<const uint16_t*>(ima->data.data());
  EXPECT_EQ(std::vector<uint16_t>(p, p + 32 * 32), s.pixels);
  EXPECT_EQ(ima->dim_x, 32);
  EXPECT_EQ(ima->g4.manufacturer, "SIEMENS");
  EXPECT_EQ(ima->g4.model, "MAGNETOM VISION");
  EXPECT_EQ(ima->modality, kModalityMR);
  EXPECT_EQ(ima->g3.patient_name, "MUELLER^HANS");
  EXPECT_EQ(ima->g3.patient_ID, "SV-0815");
  EXPECT_EQ(ima->g3.hospital_name, "KLINIKUM NORD");
  EXPECT_EQ(ima->g3.patient_sex, 'M');
  EXPECT_EQ(ima->g3.birth_date, (std::array<uint16_t, 3>{1950, 6, 15}));
  EXPECT_EQ(ima->g3.patient_age[0], 46);
  EXPECT_EQ(ima->g3.comments[0], "AXIAL T1");
  EXPECT_EQ(ima->g1.image_num, 12);
  EXPECT_EQ(ima->g1.series_num, 3);
  // The study number's second character is the series number's place.
  EXPECT_EQ(ima->g1.study_ID, "73");
  EXPECT_EQ(ima->g1.image_time, 889711533);  // 12 March 1998 14:05:33 UTC
  EXPECT_EQ(ima->g1.study_time, 889711533);
  EXPECT_FLOAT_EQ(ima->g4.mr.repetition_time, 500);
  EXPECT_FLOAT_EQ(ima->g4.mr.echo_time, 15);
  EXPECT_FLOAT_EQ(ima->g4.mr.field_strength, 1.5f);
  EXPECT_FLOAT_EQ(ima->g4.mr.imaging_frequency, 63.6f);
  EXPECT_EQ(ima->g4.mr.receiving_coil, "HEAD");
  EXPECT_EQ(ima->g4.mr.imaging_nucleus, "1H");
  EXPECT_FLOAT_EQ(ima->g1.pix_size[2], 5);
  EXPECT_FLOAT_EQ(ima->g1.fov[0], 250);
  // The annotation items.
  EXPECT_FLOAT_EQ(ima->g4.ct.tube_voltage, 120);
  EXPECT_FLOAT_EQ(ima->g4.ct.tube_current, 200);
  EXPECT_FLOAT_EQ(ima->g4.ct.gantry_tilt, -12.5f);
}

TEST_F(Vision, ModalityFollowsTheModelText) {
  fixtures::LogCapture log(0);
  // Detected as Vision (35) when "SOMATOM AR" is not after byte 280, yet a
  // SOMATOM model is CT.
  auto bytes = fixtures::Vision_File(VisionSpec{.matrix = 8, .model = "SIEMENS SOMATOM"});
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 35);
  EXPECT_EQ(Read(bytes)->modality, kModalityCT);
  bytes = fixtures::Vision_File(VisionSpec{.matrix = 8, .model = "SOMATOM AR.SP"});
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 34);
  const auto ar = Read(bytes);
  EXPECT_EQ(ar->modality, kModalityCT);
  EXPECT_EQ(ar->format, 34);
}

TEST_F(Vision, GeometryIsTurnedOnce) {
  fixtures::LogCapture log(0);
  const auto ima = Read(fixtures::Vision_File(VisionSpec{.matrix = 64}));
  ASSERT_TRUE(ima);
  // Rows turned: the position moves down the column direction by the
  // image height, and the column direction is turned.
  const float height = 64 * (250.0f / 64);
  EXPECT_FLOAT_EQ(ima->g1.position[0], -10.0f);
  EXPECT_FLOAT_EQ(ima->g1.position[1], 20.0f + height);
  EXPECT_FLOAT_EQ(ima->g1.position[2], 30.0f);
  EXPECT_EQ(ima->g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima->g1.dir_v, (Vec4{0, -1, 0, 0}));

  // A NaN among the slice values leaves the geometry unset: the standard
  // plane is chosen instead, and the position stays 0.
  VisionSpec bad{.matrix = 8};
  bad.origin[1] = std::numeric_limits<double>::quiet_NaN();
  fixtures::LogCapture trace(8);
  const auto unset = Read(fixtures::Vision_File(bad));
  ASSERT_TRUE(unset);
  EXPECT_TRUE(trace.Contains("--> slice geometry out of range: left unset"));
  for (float c : unset->g1.position) EXPECT_FALSE(std::isnan(c));
  for (float c : unset->g1.dir_v) EXPECT_FALSE(std::isnan(c));
  EXPECT_FLOAT_EQ(unset->g1.position[0], 0.0f);
}

TEST_F(Vision, HeaderTextAndDamage) {
  {
    fixtures::LogCapture log(6);
    const auto bytes = fixtures::Vision_File(VisionSpec{.matrix = 8});
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 6);
    ASSERT_TRUE(ima);
    const std::string text = log.Joined(6, true);
    for (const std::string& want : std::vector<std::string>{"------ ------ SIEMENS VISION RAW ------ ------", "Image Date:              12/03/1998",
                             "Image Time:              14h05:33", "Scanner Model:           MAGNETOM VISION   ",
                             "Patient Age:             046Y", "TR:" + std::string(22, ' ') + "500.00 (ms)",
                             " ----------------- text ------------------", "1619|\"mA 200\""})
      EXPECT_NE(text.find(want), std::string::npos) << want;
  }
  {  // A matrix no image can have.
    fixtures::LogCapture log(2);
    const auto bytes = fixtures::Vision_File(VisionSpec{.matrix = 0});
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("SIEMENS VISION matrix size 0 (1 to 65535)"));
  }
  {  // A header cut short.
    fixtures::LogCapture log(6);
    auto bytes = fixtures::Vision_File(VisionSpec{.matrix = 8});
    bytes.resize(5000);
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("End of File while reading: (5000 /vs/ 6144)"));
  }
}

}  // namespace
