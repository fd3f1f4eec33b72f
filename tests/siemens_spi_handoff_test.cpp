// The Siemens native header inside an SPI file: (7003,1010) with a SOMATOM
// Plus header, decoded only when the owner is Siemens and the model names it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"

namespace {

std::vector<uint8_t> Spi_File(const std::string& model, const std::string& owner) {
  fixtures::DicomWriter w(0);
  w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0").Text(0x0008, 0x0070, "LO", "SIEMENS");
  if (!model.empty()) w.Text(0x0008, 0x1090, "LO", model);
  w.Text(0x0010, 0x0010, "PN", "DICOM^NAME");
  w.Text(0x7003, 0x0010, "LO", owner);
  const auto plus = fixtures::Somatom_Plus_File(fixtures::SomatomPlusSpec{.matrix = 512});
  w.Element(0x7003, 0x1010, "OB", std::vector<uint8_t>(plus.begin(), plus.begin() + 4096));
  w.Image(4, 4).Pixels(std::vector<uint8_t>(32, 7));
  return w.Done(1024);
}

TEST(SiemensSpiHandoff, SomatomPlusHeaderFillsTheRecord) {
  fixtures::LogCapture log(0);
  const auto bytes = Spi_File("SOMATOM PLUS", "SIEMENS MED ");
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 38);
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  ASSERT_TRUE(ima);
  EXPECT_EQ(ima->g3.patient_name, "HUBER^ANNA");  // the native header's, read after the element's
  EXPECT_EQ(ima->g3.hospital_name, "STADTSPITAL");
  EXPECT_FLOAT_EQ(ima->g4.ct.tube_voltage, 120);
  // The pixels stay the element stream's 4 x 4, not the native 512 x 512.
  EXPECT_EQ(ima->dim_x, 4);
  ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
  EXPECT_EQ(ima->data.size(), 32u);
}

TEST(SiemensSpiHandoff, OtherOwnersAndModelsAreNoMatch) {
  fixtures::LogCapture log(0);
  for (const auto& [model, owner] : {std::pair<std::string, std::string>{"SOMATOM PLUS", "OTHER MAKER "},
                                     {"", "SIEMENS MED "},
                                     {"SOMATOM PLUS 4", "SIEMENS MED "}}) {
    const auto bytes = Spi_File(model, owner);
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    ASSERT_TRUE(ima) << model << "/" << owner;
    EXPECT_NE(ima->g3.patient_name, "HUBER^ANNA") << model << "/" << owner;
    EXPECT_EQ(ima->g3.hospital_name, "") << model << "/" << owner;
  }
}

}  // namespace
