// Format detection: signature tests, size gates and the name tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"

namespace {

std::vector<uint8_t> Bytes(size_t size, const std::string& at0 = {}) {
  std::vector<uint8_t> b(size, 0);
  std::memcpy(b.data(), at0.data(), std::min(at0.size(), size));
  return b;
}

void Put(std::vector<uint8_t>& b, size_t offset, const std::string& s) {
  std::memcpy(b.data() + offset, s.data(), s.size());
}

uint16_t Detect(const std::vector<uint8_t>& b) { return Kema_Image_Get_Format(nullptr, b.size(), b.data()); }

TEST(FormatDetection, SizeGatesComeBeforeTheTestsTheyGuard) {
  fixtures::LogCapture log(2);
  EXPECT_EQ(Detect(Bytes(79, "RAW_DATA")), 1);
  EXPECT_TRUE(log.Has("--> smaller than 80 bytes", 7));
  EXPECT_EQ(Detect(Bytes(80, "RAW_DATA")), 3);
  EXPECT_EQ(Detect(Bytes(1000, "IMGF")), 1);
  EXPECT_TRUE(log.Has("--> smaller than 1024 bytes", 7));
  EXPECT_EQ(Detect(Bytes(1024, "IMGF")), 12);

  auto genesis3180 = Bytes(3300);
  Put(genesis3180, 3180, "IMGF");
  EXPECT_EQ(Detect(genesis3180), 12);
  genesis3180.resize(3247);
  EXPECT_EQ(Detect(genesis3180), 1);
  auto genesis3240 = Bytes(3300);
  Put(genesis3240, 3240, "IMGF");
  EXPECT_EQ(Detect(genesis3240), 12);
}

TEST(FormatDetection, FirstWindowSignatures) {
  fixtures::LogCapture log(0);
  EXPECT_EQ(Detect(Bytes(100, "xx MATERIALISE_IMAGE_FILE")), 86);
  EXPECT_EQ(Detect(Bytes(100, "\xFF\xD8\xFF\xE0")), 103);
  EXPECT_EQ(Detect(Bytes(100, "INTERFILE :=")), 71);
  EXPECT_EQ(Detect(Bytes(100, "!INTERFILE :=")), 71);
  EXPECT_EQ(Detect(Bytes(100, "9800")), 16);
  EXPECT_EQ(Detect(Bytes(100, "HDL1")), 45);
  EXPECT_EQ(Detect(Bytes(100, "MRH1")), 46);
  EXPECT_EQ(Detect(Bytes(100, "x: 256\ny: 256\ntype: short\n")), 2);
  EXPECT_EQ(Detect(Bytes(100, "##TITLE= x")), 4);
  EXPECT_EQ(Detect(Bytes(2000, "!STD")), 14);
  EXPECT_EQ(Detect(Bytes(2000, "1234567Sytec SRi")), 15);
  EXPECT_EQ(Detect(Bytes(2000, "PAPYRUS 3.0")), 81);
  EXPECT_EQ(Detect(Bytes(2000, "\xCE\xFA")), 40);
  // The same signatures in a file under 1024 bytes are not looked at.
  EXPECT_EQ(Detect(Bytes(500, "PAPYRUS 3.0")), 1);
}

TEST(FormatDetection, AnalyzeHeaderMustAgreeWithTheInputSize) {
  fixtures::LogCapture log(2);
  auto hdr = Bytes(348);
  hdr[2] = 0x01; hdr[3] = 0x5C;  // 348, big-endian
  hdr[33] = 0x00; hdr[34] = 0x40; hdr[35] = 0x00;  // extents 16384
  hdr[38] = 'r';
  EXPECT_EQ(Detect(hdr), 84);
  EXPECT_TRUE(log.Has("--> header: 348 /vs/ 348", 7));
  hdr.push_back(0);
  EXPECT_EQ(Detect(hdr), 1);
}

TEST(FormatDetection, LaterWindows) {
  fixtures::LogCapture log(0);
  auto b = Bytes(4000);
  Put(b, 128, "DICM");
  EXPECT_EQ(Detect(b), 25);

  b = Bytes(4000);
  Put(b, 96, "SIEMENS");
  EXPECT_EQ(Detect(b), 35);
  Put(b, 285, "SOMATOM AR");
  EXPECT_EQ(Detect(b), 34);

  b = Bytes(2000, "SIEMENS DATA SET");
  EXPECT_EQ(Detect(b), 33);
  b = Bytes(2000, "xx dbrec yy rdb  zz");
  EXPECT_EQ(Detect(b), 60);

  b = Bytes(2000);
  Put(b, 512, "IFHLEN");
  EXPECT_EQ(Detect(b), 65);
  b = Bytes(2000);
  for (size_t r = 0; r < 4; ++r) {
    b[512 + 12 * r] = '1';
    b[512 + 12 * r + 7] = "IBFI"[r];
  }
  EXPECT_EQ(Detect(b), 65);

  b = Bytes(3100);
  b[109] = 12;
  b[18] = 6;
  EXPECT_EQ(Detect(b), 62);
  b[18] = 7;
  EXPECT_EQ(Detect(b), 1);

  b = Bytes(3100);
  Put(b, 664, "SOMATOM PLUS");
  EXPECT_EQ(Detect(b), 32);
  b = Bytes(3100);
  Put(b, 3072, "STUDY HEADER  ");
  EXPECT_EQ(Detect(b), 10);

  b = Bytes(3200);
  Put(b, 1490, "ZZ");
  EXPECT_EQ(Detect(b), 92);
  b = Bytes(3200);
  b[1536] = b[1537] = 0x80;
  EXPECT_EQ(Detect(b), 50);
  b[70] = 1;
  EXPECT_EQ(Detect(b), 1);
}

TEST(FormatDetection, TiffSignatureWithoutATiffReaderIsUnreadable) {
  fixtures::LogCapture log(2);
  EXPECT_EQ(Detect(Bytes(2000, std::string("II*\0", 4))), 0);
  EXPECT_TRUE(log.Has("--> TIFF_Read_Header returned NULL!", 7));
}

TEST(FormatDetection, MissingFileIsUnreadableNotUnknown) {
  fixtures::LogCapture log(1);
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, 0, "/nonexistent/dir/ct01.dcm"), 0);
  EXPECT_TRUE(log.Has("Unable to open file", 6));
  EXPECT_TRUE(log.Has("[ENOENT] No such file or directory", 6));
  EXPECT_TRUE(log.Has("file: (/nonexistent/dir/ct01.dcm)", 6));
}

TEST(FormatNames, Tables) {
  EXPECT_STREQ(Image_Format_Name(13), "?");
  EXPECT_STREQ(Image_Format_Name(2), "IGB");
  EXPECT_STREQ(Image_Format_Name(1), "Unknow Format");
  EXPECT_STREQ(Image_Format_Name(27), "NEMA_1");
  EXPECT_STREQ(Image_Type_Name(7), "SCOUT_CORONAL");
  EXPECT_STREQ(Image_Type_Name(9), "?");
  EXPECT_STREQ(Image_Modality_Name(kModalityCT), "CT Computed Tomography");
  EXPECT_STREQ(Image_Modality_Name(Modality_Code('M', 'A')), "EC Magnetic Resonance Angiography");
  EXPECT_STREQ(Image_Modality_Name(Modality_Code('N', 'M')), "NM Nuclear Medecine");
  EXPECT_STREQ(Image_Modality_Name(0), "?");
}

}  // namespace
