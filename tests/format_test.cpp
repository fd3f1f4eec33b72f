// Format detection: signature tests, size gates and the name tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"

namespace {

using Marks = std::vector<std::pair<size_t, std::string>>;  // bytes written at offsets

uint16_t Detect(size_t size, const Marks& marks) {
  std::vector<uint8_t> b(size, 0);
  for (const auto& [at, s] : marks) std::memcpy(b.data() + at, s.data(), std::min(s.size(), size - at));
  return Kema_Image_Get_Format(nullptr, b.size(), b.data());
}

TEST(FormatDetection, SignaturesAndTheSizeGatesBeforeThem) {
  fixtures::LogCapture log(0);
  const std::string imatron = std::string("1\0\0\0\0\0\0I", 8) + std::string(4, '\0');
  const std::string analyze("\0\0\x01\x5C", 4);  // 348 big-endian; extents 16384 at 32, 'r' at 38
  const struct {
    size_t size;
    Marks marks;
    uint16_t code;
  } cases[] = {
      {79, {{0, "RAW_DATA"}}, 1},  {80, {{0, "RAW_DATA"}}, 3},
      {1000, {{0, "IMGF"}}, 1},    {1024, {{0, "IMGF"}}, 12},
      {3300, {{3180, "IMGF"}}, 12}, {3247, {{3180, "IMGF"}}, 1}, {3300, {{3240, "IMGF"}}, 12},
      {100, {{3, "MATERIALISE_IMAGE_FILE"}}, 86}, {100, {{0, "\xFF\xD8\xFF\xE0"}}, 103},
      {100, {{0, "INTERFILE :="}}, 71}, {100, {{0, "!INTERFILE :="}}, 71},
      {100, {{0, "9800"}}, 16}, {100, {{0, "HDL1"}}, 45}, {100, {{0, "MRH1"}}, 46},
      {100, {{0, "x: 256\ny: 256\ntype: short\n"}}, 2}, {100, {{0, "##TITLE= x"}}, 4},
      {348, {{0, analyze}, {33, std::string("\0\x40\0", 3)}, {38, "r"}}, 84},
      {349, {{0, analyze}, {33, std::string("\0\x40\0", 3)}, {38, "r"}}, 1},  // size must agree
      // As SPM, FSL and nibabel write it: 348 and the dimension count in one byte order.
      {348, {{0, std::string("\x5C\x01\0\0", 4)}, {40, std::string("\x03\0", 2)}}, 84},
      {348, {{0, analyze}, {40, std::string("\0\x07", 2)}}, 84},
      {348, {{0, std::string("\x5C\x01\0\0", 4)}, {40, std::string("\0\x03", 2)}}, 1},  // orders differ
      {348, {{0, std::string("\x5C\x01\0\0", 4)}, {40, std::string("\x08\0", 2)}}, 1},
      {348, {{0, analyze}}, 1},  // no dimensions
      {349, {{0, std::string("\x5C\x01\0\0", 4)}, {40, std::string("\x03\0", 2)}}, 1},
      {2000, {{0, "!STD"}}, 14}, {2000, {{0, "1234567Sytec SRi"}}, 15}, {2000, {{0, "PAPYRUS 3.0"}}, 81},
      {500, {{0, "PAPYRUS 3.0"}}, 1}, {2000, {{0, "\xCE\xFA"}}, 40},
      {4000, {{128, "DICM"}}, 25}, {4000, {{96, "SIEMENS"}}, 35}, {4000, {{96, "SIEMENS"}, {285, "SOMATOM AR"}}, 34},
      {2000, {{0, "SIEMENS DATA SET"}}, 33}, {2000, {{0, "xx dbrec yy rdb  zz"}}, 60},
      {2000, {{512, "IFHLEN"}}, 65},
      {2000, {{512, imatron}, {524, imatron}, {536, imatron}, {548, imatron}}, 65},
      {3100, {{18, "\x06"}, {109, "\x0C"}}, 62}, {3100, {{18, "\x07"}, {109, "\x0C"}}, 1},
      {3100, {{664, "SOMATOM PLUS"}}, 32}, {3100, {{3072, "STUDY HEADER  "}}, 10},
      {3200, {{1490, "ZZ"}}, 92}, {3200, {{1536, "\x80\x80"}}, 50}, {3200, {{1536, "\x80\x80"}, {70, "\x01"}}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(Detect(c.size, c.marks), c.code) << c.size << " " << c.marks[0].second;
}

TEST(FormatDetection, TraceNotesAndUnreadableInputs) {
  fixtures::LogCapture log(2);
  Detect(79, {});
  EXPECT_TRUE(log.Has("--> smaller than 80 bytes", 7));
  // A TIFF signature that the TIFF reader refuses makes the input unreadable.
  EXPECT_EQ(Detect(2000, {{0, std::string("II*\0", 4)}}), 0);
  EXPECT_TRUE(log.Has("--> TIFF_Read_Header returned NULL!", 7));

  // A missing file is unreadable (0), not unknown (1).
  EXPECT_EQ(Kema_Image_Get_Format(nullptr, 0, "/nonexistent/dir/ct01.dcm"), 0);
  EXPECT_TRUE(log.Has("[ENOENT] No such file or directory", 6));
  EXPECT_TRUE(log.Has("file: (/nonexistent/dir/ct01.dcm)", 6));
}

// Codes the tables do not hold (a gap, past the end, none) have a name too.
TEST(FormatNames, CodesOutsideTheTables) {
  EXPECT_EQ((std::vector<std::string>{Image_Format_Name(13), Image_Format_Name(27), Image_Type_Name(9),
                                      Image_Modality_Name(0), Image_Modality_Name(Modality_Code('N', 'M'))}),
            (std::vector<std::string>{"?", "NEMA_1", "?", "?", "NM Nuclear Medecine"}));
}

}  // namespace
