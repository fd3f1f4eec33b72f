// The shared byte-order decoders, the element-stream readers over files and
// memory blocks, their failure reports, and the text helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Convert/conv_order.h"
#include "Convert/conv_string.h"
#include "Convert/kema_image.h"
#include "Convert/local_NEMA_read.h"
#include "log/log.h"
#include "tests/fixtures/log_capture.h"

namespace {

namespace fs = std::filesystem;

// Captures every admitted log line (trace level 1, so the level-6 report
// lines arrive) and gives the header-text level back afterwards.
class UtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_text_level_ = Image_Header_Text_Level();
    char tmpl[] = "/tmp/kema_util_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    Image_Set_Header_Text_Level(saved_text_level_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write_File(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  const std::vector<fixtures::LogLine>& Lines() const { return log_.lines(); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& l : log_.lines()) out.push_back(l.text);
    return out;
  }

  fixtures::LogCapture log_{1};
  std::string dir_;

 private:
  uint8_t saved_text_level_ = 0;
};

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }

}  // namespace

TEST(OrderDecode, IntegersFollowTheModeBits) {
  const uint8_t s[] = {0x12, 0x34};
  EXPECT_EQ(NEMA_Get_Short(1, s), 0x1234);
  EXPECT_EQ(NEMA_Get_Short(0, s), 0x3412);
  EXPECT_EQ(NEMA_Get_Short(2, s), 0x3412);  // word swap means nothing to 16 bits
  EXPECT_EQ(Order_Get_U16(1, s), 0x1234);
  EXPECT_EQ(Order_Get_U16(0, s), 0x3412);

  const uint8_t l[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(Order_Get_I32(0, l), 0x04030201);
  EXPECT_EQ(Order_Get_I32(1, l), 0x01020304);
  EXPECT_EQ(Order_Get_I32(2, l), 0x02010403);
  EXPECT_EQ(Order_Get_I32(3, l), 0x03040102);
  EXPECT_EQ(NEMA_Get_Long(0, l), 0x04030201);
  EXPECT_EQ(NEMA_Get_Long(1, l), 0x01020304);
  EXPECT_EQ(NEMA_Get_Long(2, l), 0x04030201);  // NEMA readers know no word swap

  const uint8_t neg[] = {0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Order_Get_I32(0, neg), -2);
  EXPECT_EQ(NEMA_Get_Long(1, neg), static_cast<int32_t>(0xFEFFFFFF));
}

TEST(OrderDecode, IeeeSingleAndDouble) {
  const uint8_t m0[] = {0x00, 0x00, 0x80, 0x3F};
  const uint8_t m1[] = {0x3F, 0x80, 0x00, 0x00};
  const uint8_t m2[] = {0x80, 0x3F, 0x00, 0x00};
  const uint8_t m3[] = {0x00, 0x00, 0x3F, 0x80};
  EXPECT_EQ(Order_Get_F32(0, m0), 1.0f);
  EXPECT_EQ(Order_Get_F32(1, m1), 1.0f);
  EXPECT_EQ(Order_Get_F32(2, m2), 1.0f);
  EXPECT_EQ(Order_Get_F32(3, m3), 1.0f);

  const uint8_t p[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Bits(Order_Get_F64(0, p)), 0x0807060504030201u);
  EXPECT_EQ(Bits(Order_Get_F64(1, p)), 0x0102030405060708u);
  // 16-bit halves of each 4-byte half exchanged: 03 04 01 02 07 08 05 06.
  EXPECT_EQ(Bits(Order_Get_F64(2, p)), 0x0605080702010403u);
  // Reversed first (08 .. 01), then the halves: 06 05 08 07 02 01 04 03.
  EXPECT_EQ(Bits(Order_Get_F64(3, p)), 0x0304010207080506u);
  const uint8_t one_be[] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Order_Get_F64(1, one_be), 1.0);
}

TEST(OrderDecode, VaxFloatingPoint) {
  const uint8_t one[] = {0x80, 0x40, 0x00, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, one), 1.0f);
  EXPECT_EQ(Order_Get_VAX32(0, one), 1.0f);
  const uint8_t one_rev[] = {0x00, 0x00, 0x40, 0x80};
  EXPECT_EQ(NEMA_Get_VAX_Float(1, one_rev), 1.0f);
  EXPECT_EQ(Order_Get_VAX32(1, one_rev), 1.0f);
  const uint8_t one_swapped[] = {0x00, 0x00, 0x80, 0x40};
  EXPECT_EQ(Order_Get_VAX32(2, one_swapped), 1.0f);

  const uint8_t minus_three[] = {0x40, 0xC1, 0x00, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, minus_three), -3.0f);
  const uint8_t half[] = {0x00, 0x40, 0x00, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, half), 0.5f);
  // The low fraction word: b2 is its low byte.
  const uint8_t next_one[] = {0x80, 0x40, 0x01, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, next_one), std::nextafter(1.0f, 2.0f));
  const uint8_t zero[] = {0, 0, 0, 0};
  EXPECT_EQ(Bits(NEMA_Get_VAX_Float(0, zero)), 0u);

  // Exponents 1 and 2 lie below the IEEE normal range: exact small values,
  // not the wrapped bit pattern.
  const uint8_t e1[] = {0x80, 0x00, 0x00, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, e1), std::ldexp(1.0f, -128));
  const uint8_t e2_neg[] = {0x00, 0x81, 0x00, 0x00};
  EXPECT_EQ(NEMA_Get_VAX_Float(0, e2_neg), -std::ldexp(1.0f, -127));

  // G_floating: 16-bit little-endian words, exponent 0x401 for 1.0.
  const uint8_t g_one[] = {0x10, 0x40, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(NEMA_Get_VAX_Double(0, g_one), 1.0);
  const uint8_t g_one_rev[] = {0, 0, 0, 0, 0, 0, 0x40, 0x10};
  EXPECT_EQ(NEMA_Get_VAX_Double(1, g_one_rev), 1.0);
  const uint8_t g_minus_three[] = {0x28, 0xC0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(NEMA_Get_VAX_Double(0, g_minus_three), -3.0);
  // The last word carries the lowest fraction bits.
  const uint8_t g_next_one[] = {0x10, 0x40, 0, 0, 0, 0, 0x01, 0};
  EXPECT_EQ(NEMA_Get_VAX_Double(0, g_next_one), std::nextafter(1.0, 2.0));
  const uint8_t g_e1[] = {0x10, 0x00, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(NEMA_Get_VAX_Double(0, g_e1), std::ldexp(1.0, -1024));
}

TEST(OrderDecode, IbmHexadecimalSingle) {
  const uint8_t one[] = {0x41, 0x10, 0x00, 0x00};
  EXPECT_EQ(Order_Get_IBM32(1, one), 1.0);
  const uint8_t one_le[] = {0x00, 0x00, 0x10, 0x41};
  EXPECT_EQ(Order_Get_IBM32(0, one_le), 1.0);
  const uint8_t one_swapped[] = {0x10, 0x41, 0x00, 0x00};
  EXPECT_EQ(Order_Get_IBM32(2, one_swapped), 1.0);
  const uint8_t v[] = {0xC2, 0x76, 0xA0, 0x00};
  EXPECT_EQ(Order_Get_IBM32(1, v), -118.625);
  const uint8_t hundred[] = {0x42, 0x64, 0x00, 0x00};
  EXPECT_EQ(Order_Get_IBM32(1, hundred), 100.0);
}

TEST(OrderEncode, BytesInTheModesOrder) {
  using A2 = std::array<uint8_t, 2>;
  using A4 = std::array<uint8_t, 4>;
  EXPECT_EQ(Order_Put_U16(0, 0x1234), (A2{0x34, 0x12}));
  EXPECT_EQ(Order_Put_U16(1, 0x1234), (A2{0x12, 0x34}));
  EXPECT_EQ(Order_Put_U16_2(1, 0xABCD), (A2{0xAB, 0xCD}));
  EXPECT_EQ(Order_Put_I32(0, 0x01020304), (A4{4, 3, 2, 1}));
  EXPECT_EQ(Order_Put_I32(1, -2), (A4{0xFF, 0xFF, 0xFF, 0xFE}));
  // The unsigned writer has the opposite sense.
  EXPECT_EQ(Order_Put_U32(0, 0x01020304u), (A4{1, 2, 3, 4}));
  EXPECT_EQ(Order_Put_U32(1, 0x01020304u), (A4{4, 3, 2, 1}));
}

TEST_F(UtilTest, ReadersAdvanceTheCursorOverFilesAndMemory) {
  const std::vector<uint8_t> bytes = {0x12, 0x34,              // short
                                      0x01, 0x02, 0x03, 0x04,  // long
                                      'A',  'B',  0,    'C',   // string with an embedded zero
                                      9,    8,    7,    6};
  const std::string path = Write_File("stream.bin", bytes);
  auto file = ByteSource::Open_File(path);
  auto mem = ByteSource::From_Memory(bytes, "block");
  ASSERT_TRUE(file && mem);
  for (ByteSource* src : {file.get(), mem.get()}) {
    SCOPED_TRACE(src->is_memory() ? "memory" : "file");
    ByteCursor cur{src, 0};
    uint16_t s = 0;
    ASSERT_EQ(NEMA_Read_Short(nullptr, cur, 1, s), 1);
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(cur.pos, 2u);
    int32_t l = 0;
    ASSERT_EQ(NEMA_Read_Long(nullptr, cur, 0, l), 1);
    EXPECT_EQ(l, 0x04030201);
    EXPECT_EQ(cur.pos, 6u);
    auto text = NEMA_Read_String(nullptr, cur, 4);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, std::string("AB\0C", 4));
    EXPECT_STREQ(text->c_str(), "AB");
    EXPECT_EQ(cur.pos, 10u);
    ASSERT_EQ(NEMA_Skip(nullptr, cur, 1), 1);
    EXPECT_EQ(cur.pos, 11u);
    auto buf = NEMA_Read_Buffer(nullptr, cur, 2);
    ASSERT_TRUE(buf);
    EXPECT_EQ(*buf, (std::vector<uint8_t>{8, 7}));
    uint8_t last = 0;
    ASSERT_EQ(NEMA_Read_Bytes(nullptr, cur, 1, &last), 1);
    EXPECT_EQ(last, 6);
    EXPECT_EQ(cur.pos, 14u);
    auto empty = NEMA_Read_Buffer(nullptr, cur, 0);
    ASSERT_TRUE(empty);  // nothing to read is a success
    EXPECT_TRUE(empty->empty());
  }
  EXPECT_TRUE(Lines().empty());
}

TEST_F(UtilTest, ShortReadReportsObtainedAndWantedCounts) {
  const std::vector<uint8_t> ten(10, 0x55);
  const std::string path = Write_File("ten.bin", ten);
  auto file = ByteSource::Open_File(path);
  auto mem = ByteSource::From_Memory(ten, "block");
  ASSERT_TRUE(file && mem);

  for (ByteSource* src : {file.get(), mem.get()}) {
    SCOPED_TRACE(src->is_memory() ? "memory" : "file");
    const std::string eof = "End of File while reading: (10 /vs/ 12) (" + src->name() + ")";

    log_.clear();
    ByteCursor cur{src, 0};
    EXPECT_FALSE(NEMA_Read_Buffer(nullptr, cur, 12));
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0].level, 6);
    EXPECT_EQ(Lines()[0].text.rfind("file:local_NEMA_read.cpp line:", 0), 0u) << Lines()[0].text;
    EXPECT_EQ(Lines()[1].text, eof);
    EXPECT_EQ(cur.pos, 0u);

    log_.clear();
    uint8_t dst[12];
    EXPECT_EQ(NEMA_Read_Bytes(nullptr, cur, 12, dst), 0);
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0].text.rfind("file:local_NEMA_read.cpp line:", 0), 0u);
    EXPECT_EQ(Lines()[1].text, eof);

    log_.clear();
    EXPECT_FALSE(NEMA_Read_String(nullptr, cur, 12));
    EXPECT_EQ(Texts().back(), eof);

    // A length from a damaged file: refused from the bytes left, nothing
    // allocated, the cursor's offset counted in.
    log_.clear();
    cur.pos = 4;
    EXPECT_FALSE(NEMA_Read_Buffer(nullptr, cur, 0xFFFFFFF0u));
    EXPECT_EQ(Texts().back(), "End of File while reading: (6 /vs/ 4294967280) (" + src->name() + ")");
    log_.clear();
    EXPECT_FALSE(NEMA_Read_String(nullptr, cur, size_t{1} << 40));
    ASSERT_EQ(Lines().size(), 2u);  // a short read, not a memory failure
    EXPECT_EQ(Lines()[1].text, "End of File while reading: (6 /vs/ 1099511627776) (" + src->name() + ")");
    log_.clear();
    int32_t l = 0;
    cur.pos = 8;
    EXPECT_EQ(NEMA_Read_Long(nullptr, cur, 0, l), 0);
    EXPECT_EQ(Texts().back(), "End of File while reading: (2 /vs/ 4) (" + src->name() + ")");
    EXPECT_EQ(cur.pos, 8u);
  }
  // The report lines are low-level detail: not written at trace level 0.
  Log_Set_Trace_Level(0);
  log_.clear();
  ByteCursor cur{mem.get(), 0};
  EXPECT_FALSE(NEMA_Read_Buffer(nullptr, cur, 12));
  EXPECT_TRUE(Lines().empty());
}

TEST_F(UtilTest, SkipMovesTheCursorForEveryKindOfSource) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6};
  const std::string path = Write_File("six.bin", bytes);
  auto file = ByteSource::Open_File(path);
  auto mem = ByteSource::From_Memory(bytes, "block");
  for (ByteSource* src : {file.get(), mem.get()}) {
    SCOPED_TRACE(src->is_memory() ? "memory" : "file");
    log_.clear();
    ByteCursor cur{src, 1};
    EXPECT_EQ(NEMA_Skip(nullptr, cur, 3), 1);
    EXPECT_EQ(cur.pos, 4u);
    uint8_t b = 0;
    ASSERT_EQ(NEMA_Read_Bytes(nullptr, cur, 1, &b), 1);
    EXPECT_EQ(b, 5);
    // Past the end is allowed, as a seek is; the next read reports it.
    EXPECT_EQ(NEMA_Skip(nullptr, cur, 100), 1);
    EXPECT_EQ(cur.pos, 105u);
    EXPECT_TRUE(Lines().empty());
    uint16_t s = 0;
    EXPECT_EQ(NEMA_Read_Short(nullptr, cur, 0, s), 0);
    EXPECT_EQ(Texts().back(), "End of File while reading: (0 /vs/ 2) (" + src->name() + ")");
    // A target no offset can hold fails as a seek, without moving.
    log_.clear();
    EXPECT_EQ(NEMA_Skip(nullptr, cur, SIZE_MAX), 0);
    EXPECT_EQ(cur.pos, 105u);
    ASSERT_EQ(Lines().size(), 4u);
    EXPECT_EQ(Lines()[0].text.rfind("file:local_NEMA_read.cpp line:", 0), 0u);
    EXPECT_EQ(Lines()[1].text, "while seeking pos 104");
    EXPECT_EQ(Lines()[2].text, "[EOVERFLOW] Value too large for defined data type");
    EXPECT_EQ(Lines()[3].text, "file: (" + src->name() + ")");
  }
}

TEST_F(UtilTest, PrintValueListsUnknownElements) {
  Image_Set_Header_Text_Level(4);
  const std::vector<uint8_t> bytes = {
      'A', 'B', 'C', 0,        // (0009,0010) text
      0x80, 0x40, 0x00, 0x00,  // (0009,0011) VAX 1.0
      0x01, 0x50, 0x00, 0x00,  // (0009,0012) VAX too large, integer 20481
      0x01, 0x50, 0x00, 0x10,  // (0009,0013) neither: no line
      0x12, 0x34,              // (0009,0014) 16 bits
      0x01, 2, 3, 4, 5, 6,     // (0009,0015) 6 bytes
  };
  auto mem = ByteSource::From_Memory(bytes, "block");
  ByteCursor cur{mem.get(), 0};
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x10, cur, 4), 1);
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x11, cur, 4), 1);
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x12, cur, 4), 1);
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x13, cur, 4), 1);
  EXPECT_EQ(NEMA_Print_Value(nullptr, 1, 0x9, 0x14, cur, 2), 1);
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x15, cur, 6), 1);
  EXPECT_EQ(cur.pos, bytes.size());
  const std::vector<std::string> want = {
      "\x02(0009,0010) \x01unknown private tag (4  bytes)       (ABC)",
      "\x02(0009,0011) \x01unknown private tag (4  bytes)       (1.000000)",
      "\x02(0009,0012) \x01unknown private tag (4  bytes)       (20481)",
      "\x02(0009,0014) \x01unknown private tag (2  bytes)       (4660)",
      "\x02(0009,0015) \x01skip (6  bytes)",
  };
  EXPECT_EQ(Texts(), want);
  for (const auto& l : Lines()) EXPECT_EQ(l.level, 4);

  // A long text is cut to 40 characters; the whole value is consumed.
  log_.clear();
  const std::string longer = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGH";  // 44
  auto text_src = ByteSource::From_Memory(
      std::span(reinterpret_cast<const uint8_t*>(longer.data()), longer.size()), "text");
  ByteCursor tc{text_src.get(), 0};
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x29, 0x1010, tc, 44), 1);
  EXPECT_EQ(tc.pos, 44u);
  EXPECT_EQ(Texts(), std::vector<std::string>{
                         "\x02(0029,1010) \x01unknown private tag (44 bytes)       "
                         "(0123456789abcdefghijklmnopqrstuvwxyzABCD)"});

  // Level 0: nothing listed, the value still consumed; a value past the end
  // fails.
  Image_Set_Header_Text_Level(0);
  log_.clear();
  cur.pos = 0;
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x10, cur, 4), 1);
  EXPECT_EQ(cur.pos, 4u);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(NEMA_Print_Value(nullptr, 0, 0x9, 0x10, cur, 100), 0);
  EXPECT_EQ(Texts().back(), "End of File while reading: (20 /vs/ 100) (block)");
}

TEST(StringHelpers, TokenKeepsQuotedSeparators) {
  char text[] = "a \"b c\" d";
  TokenState st;
  EXPECT_STREQ(String_Token(text, " ", st), "a");
  EXPECT_STREQ(String_Token(nullptr, " ", st), "\"b c\"");
  EXPECT_STREQ(String_Token(nullptr, " ", st), "d");
  EXPECT_EQ(String_Token(nullptr, " ", st), nullptr);
  EXPECT_EQ(String_Token(nullptr, " ", st), nullptr);

  // Runs of separators and leading ones are skipped, as strtok does; two
  // scans with their own states don't meet.
  char first[] = ",,x, y;;";
  char second[] = "p=\"q;r\";s";
  TokenState a, b;
  EXPECT_STREQ(String_Token(first, ", ;", a), "x");
  EXPECT_STREQ(String_Token(second, ";", b), "p=\"q;r\"");
  EXPECT_STREQ(String_Token(nullptr, ", ;", a), "y");
  EXPECT_STREQ(String_Token(nullptr, ";", b), "s");
  EXPECT_EQ(String_Token(nullptr, ", ;", a), nullptr);
  EXPECT_EQ(String_Token(nullptr, ";", b), nullptr);

  // An unclosed quote runs to the end.
  char open[] = "k \"v w";
  TokenState c;
  EXPECT_STREQ(String_Token(open, " ", c), "k");
  EXPECT_STREQ(String_Token(nullptr, " ", c), "\"v w");
  EXPECT_EQ(String_Token(nullptr, " ", c), nullptr);
  char blanks[] = "   ";
  EXPECT_EQ(String_Token(blanks, " ", c), nullptr);
  TokenState fresh;
  EXPECT_EQ(String_Token(nullptr, " ", fresh), nullptr);
}

TEST(StringHelpers, TrimAndBrackets) {
  char t1[] = "  a b\t ";
  EXPECT_STREQ(String_Trim(t1), "a b\t");
  char t2[] = "   ";
  EXPECT_STREQ(String_Trim(t2), "");
  std::string s1 = " \tx  ";
  EXPECT_EQ(String_Trim(s1), "\tx");

  char b1[] = " (mm) ";
  EXPECT_STREQ(String_Trim_Brackets(b1), "mm");
  char b2[] = "\t<deg>\n";
  EXPECT_STREQ(String_Trim_Brackets(b2), "deg");
  char b3[] = "((x))";
  EXPECT_STREQ(String_Trim_Brackets(b3), "(x)");  // one bracket each side only
  char b4[] = " (mm ) ";
  EXPECT_STREQ(String_Trim_Brackets(b4), "mm ");
  char b5[] = "(a b)\r\n";
  EXPECT_STREQ(String_Trim_Brackets(b5), "a b");
  char b6[] = " ) ";
  EXPECT_STREQ(String_Trim_Brackets(b6), "");
  char b7[] = "";
  EXPECT_STREQ(String_Trim_Brackets(b7), "");
  std::string s2 = " <cm> ";
  EXPECT_EQ(String_Trim_Brackets(s2), "cm");
  std::string huge = " (" + std::string(4094, 'x') + ")";  // 4097 characters
  EXPECT_EQ(String_Trim_Brackets(huge), " (" + std::string(4094, 'x') + ")");
  std::string edge = "(" + std::string(4094, 'x') + ")";  // 4096: left as it is
  EXPECT_EQ(String_Trim_Brackets(edge).size(), 4096u);
  std::string fits = "(" + std::string(4093, 'x') + ")";  // 4095: trimmed
  EXPECT_EQ(String_Trim_Brackets(fits), std::string(4093, 'x'));

  char u[] = "name = \"Mixed Case\" unit=mm";
  String_Upper_Unquoted(u);
  EXPECT_STREQ(u, "NAME = \"Mixed Case\" UNIT=MM");
  std::string us = "a\"b\"c\"d";
  String_Upper_Unquoted(us);
  EXPECT_EQ(us, "A\"b\"C\"d");
}

TEST(StringHelpers, FileExists) {
  char tmpl[] = "/tmp/kema_exists_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string file = dir + "/f.txt";
  std::ofstream(file) << "x";
  EXPECT_EQ(File_Exists(file.c_str()), 1);
  EXPECT_EQ(File_Exists((dir + "/missing").c_str()), 0);
  EXPECT_EQ(File_Exists(dir.c_str()), 0);  // a directory is no file
  EXPECT_EQ(File_Exists(nullptr), 0);
  fs::remove_all(dir);
}
