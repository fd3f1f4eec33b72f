// The shared byte-order decoders, the element-stream readers over files and
// memory blocks, their failure reports, and the text helpers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "Convert/conv_order.h"
#include "Convert/conv_string.h"
#include "Convert/kema_image.h"
#include "Convert/formats/dicom/local_NEMA_read.h"
#include "tests/fixtures/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

// The messages of one level, report line numbers masked.
Texts At(const fixtures::LogCapture& log, int level) {
  Texts out;
  for (const auto& l : log.lines())
    if (l.level == level) out.push_back(std::regex_replace(l.text, std::regex("line:\\d+$"), "line:#"));
  return out;
}

// The same bytes as a file and as a memory block.
std::vector<std::unique_ptr<ByteSource>> Sources(const Bytes& bytes, const std::string& leaf) {
  const std::string path = ::testing::TempDir() + leaf;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::unique_ptr<ByteSource>> out;
  out.push_back(ByteSource::Open_File(path));
  out.push_back(ByteSource::From_Memory(bytes, "block"));
  return out;
}

// Every decoder seen as one type: its value as a double, exact for all of them.
#define DECODER(f) #f, [](uint8_t m, const void* b) -> double { return f(m, b); }
// `in` holds exactly the bytes the decoder may read.
struct Decode { const char* name; double (*fn)(uint8_t, const void*); uint8_t mode; Bytes in; double want; };
const Decode kDecodes[] = {
    {DECODER(Order_Get_U16), 0, {0x12, 0x34}, 0x3412},
    {DECODER(Order_Get_U16), 1, {0x12, 0x34}, 0x1234},
    {DECODER(Order_Get_I32), 0, {1, 2, 3, 4}, 0x04030201},
    {DECODER(Order_Get_I32), 1, {1, 2, 3, 4}, 0x01020304},
    {DECODER(Order_Get_I32), 2, {1, 2, 3, 4}, 0x02010403},
    {DECODER(Order_Get_I32), 3, {1, 2, 3, 4}, 0x03040102},
    {DECODER(Order_Get_I32), 1, {0xFF, 0xFF, 0xFF, 0xFE}, -2},
    {DECODER(NEMA_Get_Long), 3, {1, 2, 3, 4}, 0x01020304},  // the element stream knows no word swap
    {DECODER(Order_Get_F32), 0, {0, 0, 0x80, 0x3F}, 1.0},
    {DECODER(Order_Get_F32), 3, {0, 0, 0x3F, 0x80}, 1.0},
    {DECODER(Order_Get_F64), 0, {1, 2, 3, 4, 5, 6, 7, 8}, std::bit_cast<double>(0x0807060504030201ull)},
    {DECODER(Order_Get_F64), 1, {1, 2, 3, 4, 5, 6, 7, 8}, std::bit_cast<double>(0x0102030405060708ull)},
    // The 16-bit halves of each 4-byte half exchanged: 03 04 01 02 07 08 05 06.
    {DECODER(Order_Get_F64), 2, {1, 2, 3, 4, 5, 6, 7, 8}, std::bit_cast<double>(0x0605080702010403ull)},
    // Reversed first (08 .. 01), then the halves: 06 05 08 07 02 01 04 03.
    {DECODER(Order_Get_F64), 3, {1, 2, 3, 4, 5, 6, 7, 8}, std::bit_cast<double>(0x0304010207080506ull)},
    // VAX F_floating: 1.0 is 80 40 00 00; b2 is the low byte of the low fraction word.
    {DECODER(Order_Get_VAX32), 2, {0, 0, 0x80, 0x40}, 1.0},
    {DECODER(NEMA_Get_VAX_Float), 1, {0, 0, 0x40, 0x80}, 1.0},
    {DECODER(NEMA_Get_VAX_Float), 0, {0x40, 0xC1, 0, 0}, -3.0},
    {DECODER(NEMA_Get_VAX_Float), 0, {0x00, 0x40, 0, 0}, 0.5},
    {DECODER(NEMA_Get_VAX_Float), 0, {0x80, 0x40, 0x01, 0}, std::nextafter(1.0f, 2.0f)},
    {DECODER(NEMA_Get_VAX_Float), 0, {0, 0, 0, 0}, 0.0},
    // Exponents 1 and 2 lie below the IEEE normal range: exact small values, not a wrapped pattern.
    {DECODER(NEMA_Get_VAX_Float), 0, {0x80, 0x00, 0, 0}, std::ldexp(1.0, -128)},
    {DECODER(NEMA_Get_VAX_Float), 0, {0x00, 0x81, 0, 0}, -std::ldexp(1.0, -127)},
    // VAX G_floating: 16-bit little-endian words, exponent 0x401 for 1.0, the last word lowest.
    {DECODER(NEMA_Get_VAX_Double), 0, {0x10, 0x40, 0, 0, 0, 0, 0, 0}, 1.0},
    {DECODER(NEMA_Get_VAX_Double), 1, {0, 0, 0, 0, 0, 0, 0x40, 0x10}, 1.0},
    {DECODER(NEMA_Get_VAX_Double), 0, {0x28, 0xC0, 0, 0, 0, 0, 0, 0}, -3.0},
    {DECODER(NEMA_Get_VAX_Double), 0, {0x10, 0x40, 0, 0, 0, 0, 0x01, 0}, std::nextafter(1.0, 2.0)},
    {DECODER(NEMA_Get_VAX_Double), 0, {0x10, 0x00, 0, 0, 0, 0, 0, 0}, std::ldexp(1.0, -1024)},
    // IBM hexadecimal: sign, 16^(e - 64), 24-bit fraction.
    {DECODER(Order_Get_IBM32), 1, {0x41, 0x10, 0, 0}, 1.0},
    {DECODER(Order_Get_IBM32), 0, {0, 0, 0x10, 0x41}, 1.0},
    {DECODER(Order_Get_IBM32), 1, {0xC2, 0x76, 0xA0, 0}, -118.625},
};

TEST(Order, DecodersFollowTheModeBits) {
  for (const Decode& d : kDecodes) {
    const double got = d.fn(d.mode, d.in.data());
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(d.want))
        << d.name << " mode " << int{d.mode} << ": " << got << " vs " << d.want;
  }
}

TEST(Order, EncodersPutTheBytesInTheModesOrder) {
  using A2 = std::array<uint8_t, 2>;
  using A4 = std::array<uint8_t, 4>;
  EXPECT_EQ(Order_Put_U16(0, 0x1234), (A2{0x34, 0x12}));
  EXPECT_EQ(Order_Put_U16(1, 0x1234), (A2{0x12, 0x34}));
  EXPECT_EQ(Order_Put_U16_2(1, 0xABCD), (A2{0xAB, 0xCD}));
  EXPECT_EQ(Order_Put_I32(0, 0x01020304), (A4{4, 3, 2, 1}));
  EXPECT_EQ(Order_Put_I32(1, -2), (A4{0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(Order_Put_U32(0, 0x01020304u), (A4{1, 2, 3, 4}));  // the opposite sense
  EXPECT_EQ(Order_Put_U32(1, 0x01020304u), (A4{4, 3, 2, 1}));
}

TEST(NemaRead, ReadersMoveTheCursorOverFilesAndMemory) {
  fixtures::LogCapture log(1);
  const Bytes bytes = {0x12, 0x34, 1, 2, 3, 4, 'A', 'B', 0, 'C', 9, 8, 7, 6};
  for (const auto& src : Sources(bytes, "util_stream.bin")) {
    SCOPED_TRACE(src->name());
    ByteCursor cur{src.get(), 0};
    uint16_t s = 0;
    int32_t l = 0;
    uint8_t last = 0;
    EXPECT_EQ(NEMA_Read_Short(nullptr, cur, 1, s), 1);
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(NEMA_Read_Long(nullptr, cur, 0, l), 1);
    EXPECT_EQ(l, 0x04030201);
    EXPECT_EQ(NEMA_Read_String(nullptr, cur, 4), std::string("AB\0C", 4));  // zeros kept
    EXPECT_EQ(NEMA_Skip(nullptr, cur, 1), 1);
    EXPECT_EQ(NEMA_Read_Buffer(nullptr, cur, 2), (Bytes{8, 7}));
    EXPECT_EQ(NEMA_Read_Bytes(nullptr, cur, 1, &last), 1);
    EXPECT_EQ(last, 6);
    EXPECT_EQ(NEMA_Read_Buffer(nullptr, cur, 0), Bytes{});  // nothing to read is a success
    EXPECT_EQ(NEMA_Skip(nullptr, cur, 100), 1);  // past the end, as a seek may: the next read reports it
    EXPECT_EQ(cur.pos, 114u);
    EXPECT_TRUE(log.lines().empty());
    // A target no offset can hold fails as a seek, without moving.
    EXPECT_EQ(NEMA_Skip(nullptr, cur, INT64_MAX - 100), 0);
    EXPECT_EQ(cur.pos, 114u);
    log.clear();
    EXPECT_EQ(NEMA_Skip(nullptr, cur, SIZE_MAX), 0);
    EXPECT_EQ(cur.pos, 114u);
    EXPECT_EQ(At(log, 6), (Texts{"file:local_NEMA_read.cpp line:#", "while seeking pos 113",
                                 "[EOVERFLOW] Value too large for defined data type", "file: (" + src->name() + ")"}));
    log.clear();
  }
}

TEST(NemaRead, ShortReadsReportBothCountsBeforeAllocating) {
  fixtures::LogCapture log(1);
  const Bytes ten(10, 0x55);
  const struct { uint64_t pos; std::function<bool(ByteCursor&)> read; std::string counts; } cases[] = {
      {0, [](ByteCursor& c) { return !!NEMA_Read_Buffer(nullptr, c, 12); }, "(10 /vs/ 12)"},
      {0, [](ByteCursor& c) { uint8_t d[12]; return NEMA_Read_Bytes(nullptr, c, 12, d) == 1; }, "(10 /vs/ 12)"},
      {0, [](ByteCursor& c) { return !!NEMA_Read_String(nullptr, c, 12); }, "(10 /vs/ 12)"},
      {8, [](ByteCursor& c) { int32_t l; return NEMA_Read_Long(nullptr, c, 0, l) == 1; }, "(2 /vs/ 4)"},
      {105, [](ByteCursor& c) { uint16_t s; return NEMA_Read_Short(nullptr, c, 0, s) == 1; }, "(0 /vs/ 2)"},
      // Lengths from a damaged file: a short read, not a memory failure.
      {4, [](ByteCursor& c) { return !!NEMA_Read_Buffer(nullptr, c, size_t{1} << 40); }, "(6 /vs/ 1099511627776)"},
      {4, [](ByteCursor& c) { return !!NEMA_Read_String(nullptr, c, size_t{1} << 40); }, "(6 /vs/ 1099511627776)"},
  };
  for (const auto& src : Sources(ten, "util_ten.bin")) {
    for (const auto& c : cases) {
      SCOPED_TRACE(src->name() + " " + c.counts);
      log.clear();
      ByteCursor cur{src.get(), c.pos};
      EXPECT_FALSE(c.read(cur));
      EXPECT_EQ(cur.pos, c.pos);
      EXPECT_EQ(At(log, 6), (Texts{"file:local_NEMA_read.cpp line:#",
                                   "End of File while reading: " + c.counts + " (" + src->name() + ")"}));
      EXPECT_EQ(log.lines().size(), 2u);
    }
  }
}

TEST(NemaRead, PrintValueListsUnknownElements) {
  fixtures::LogCapture log(1);
  const std::string longer = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGH";  // 44 characters
  const struct { uint8_t mode; uint16_t element; Bytes value; std::string line; } cases[] = {
      {0, 0x10, {'A', 'B', 'C', 0}, "\x02(0009,0010) \x01unknown private tag (4  bytes)       (ABC)"},
      {0, 0x11, {0x80, 0x40, 0, 0}, "\x02(0009,0011) \x01unknown private tag (4  bytes)       (1.000000)"},
      {0, 0x12, {0x01, 0x50, 0, 0}, "\x02(0009,0012) \x01unknown private tag (4  bytes)       (20481)"},
      {0, 0x13, {0x01, 0x50, 0, 0x10}, ""},  // too large as a VAX float and as an integer
      {1, 0x14, {0x12, 0x34}, "\x02(0009,0014) \x01unknown private tag (2  bytes)       (4660)"},
      {0, 0x15, {1, 2, 3, 4, 5, 6}, "\x02(0009,0015) \x01skip (6  bytes)"},
      {0, 0x16, Bytes(longer.begin(), longer.end()),
       "\x02(0009,0016) \x01unknown private tag (44 bytes)       (0123456789abcdefghijklmnopqrstuvwxyzABCD)"},
  };
  for (const auto& c : cases) {
    for (uint8_t level : {4, 0}) {  // at level 0 nothing is listed
      SCOPED_TRACE(c.line + " at " + std::to_string(level));
      log.clear();
      auto src = ByteSource::From_Memory(c.value, "block");
      ByteCursor cur{src.get(), 0};
      EXPECT_EQ(NEMA_Print_Value(ReadContext{nullptr, level}, c.mode, 0x9, c.element, cur, c.value.size()), 1);
      EXPECT_EQ(cur.pos, c.value.size());  // the whole value is consumed
      EXPECT_EQ(At(log, 4), c.line.empty() || !level ? Texts{} : Texts{c.line});
    }
  }
}

TEST(StringHelpers, TokensKeepQuotedSeparators) {
  const struct { std::string text; const char* separators; Texts tokens; } cases[] = {
      {"a \"b c\" d", " ", {"a", "\"b c\"", "d"}},
      {",,x, y;;", ", ;", {"x", "y"}},  // runs and leading separators skipped, as strtok does
      {"k \"v w", " ", {"k", "\"v w"}},  // an unclosed quote runs to the end
      {"   ", " ", {}},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    TokenState st;
    Texts got;
    for (char* t = String_Token(text.data(), c.separators, st); t; t = String_Token(nullptr, c.separators, st))
      got.push_back(t);
    EXPECT_EQ(got, c.tokens) << c.text;
    EXPECT_EQ(String_Token(nullptr, c.separators, st), nullptr);  // and stays at the end
  }
  // Two scans with their own states don't meet; a fresh state has nothing.
  char first[] = "x,y", second[] = "p=\"q;r\";s";
  TokenState a, b, fresh;
  EXPECT_STREQ(String_Token(first, ",", a), "x");
  EXPECT_STREQ(String_Token(second, ";", b), "p=\"q;r\"");
  EXPECT_STREQ(String_Token(nullptr, ",", a), "y");
  EXPECT_STREQ(String_Token(nullptr, ";", b), "s");
  EXPECT_EQ(String_Token(nullptr, " ", fresh), nullptr);
}

// A text helper in both its forms, in place on a C text and on a std::string.
#define FORMS(f) [](char* p) { f(p); }, [](std::string& s) { f(s); }

TEST(StringHelpers, TrimBracketsAndUpperCaseInBothForms) {
  const struct { void (*c_form)(char*); void (*s_form)(std::string&); std::string in, out; } cases[] = {
      {FORMS(String_Trim), "  a b\t ", "a b\t"},  // blanks only: tabs stay
      {FORMS(String_Trim), " \tx  ", "\tx"},
      {FORMS(String_Trim), "   ", ""},
      {FORMS(String_Trim_Brackets), " (mm) ", "mm"},
      {FORMS(String_Trim_Brackets), "\t<deg>\n", "deg"},
      {FORMS(String_Trim_Brackets), "((x))", "(x)"},  // one bracket each side only
      {FORMS(String_Trim_Brackets), " (mm ) ", "mm "},
      {FORMS(String_Trim_Brackets), "(a b)\r\n", "a b"},
      {FORMS(String_Trim_Brackets), " ) ", ""},
      {FORMS(String_Trim_Brackets), "", ""},
      // 4095 characters are trimmed, 4096 left as they are.
      {FORMS(String_Trim_Brackets), "(" + std::string(4093, 'x') + ")", std::string(4093, 'x')},
      {FORMS(String_Trim_Brackets), "(" + std::string(4094, 'x') + ")", "(" + std::string(4094, 'x') + ")"},
      {FORMS(String_Upper_Unquoted), "name = \"Mixed Case\" unit=mm", "NAME = \"Mixed Case\" UNIT=MM"},
      {FORMS(String_Upper_Unquoted), "a\"b\"c\"d", "A\"b\"C\"d"},
  };
  for (const auto& c : cases) {
    std::string s = c.in, buffer = c.in;
    c.c_form(buffer.data());
    c.s_form(s);
    EXPECT_STREQ(buffer.c_str(), c.out.c_str()) << c.in;
    EXPECT_EQ(s, c.out) << c.in;
  }
}

TEST(StringHelpers, FileExistsOnlyForFiles) {
  const std::string dir = ::testing::TempDir(), file = dir + "util_exists.txt";
  std::ofstream(file) << "x";
  EXPECT_EQ(File_Exists(file.c_str()), 1);
  EXPECT_EQ(File_Exists((dir + "util_no_such_file").c_str()), 0);
  EXPECT_EQ(File_Exists(dir.c_str()), 0);  // a directory is no file
  EXPECT_EQ(File_Exists(nullptr), 0);
}

}  // namespace
