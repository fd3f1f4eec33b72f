#include "Convert/formats/scanner_fields.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_order.h"
#include "Convert/conv_sample_read.h"
#include "Convert/formats/text_header.h"

uint16_t FieldBlock::U16(size_t off) const {
  if (!Has(off, 2)) return 0;
  return be_ ? static_cast<uint16_t>(b_[off] << 8 | b_[off + 1]) : static_cast<uint16_t>(b_[off + 1] << 8 | b_[off]);
}

uint32_t FieldBlock::U32(size_t off) const {
  if (!Has(off, 4)) return 0;
  const uint32_t a = b_[off], b = b_[off + 1], c = b_[off + 2], d = b_[off + 3];
  return be_ ? a << 24 | b << 16 | c << 8 | d : d << 24 | c << 16 | b << 8 | a;
}

double FieldBlock::F64(size_t off) const { return Has(off, 8) ? Order_Get_F64(be_ ? 0x01 : 0x00, b_.data() + off) : 0.0; }
double FieldBlock::F32(size_t off) const { return Has(off, 4) ? Order_Get_F32(be_ ? 0x01 : 0x00, b_.data() + off) : 0.0; }

double FieldBlock::DG32(size_t off) const { return Has(off, 4) ? Order_Get_IBM32(0x01, b_.data() + off) : 0.0; }

double FieldBlock::VAX32(size_t off) const { return Has(off, 4) ? Order_VAX_F_To_Float(b_.data() + off) : 0.0; }

std::string_view FieldBlock::Chars(size_t off, size_t width) const {
  if (off >= b_.size()) return {};
  std::string_view s(reinterpret_cast<const char*>(b_.data() + off), std::min(width, b_.size() - off));
  return s.substr(0, s.find('\0'));
}

std::string FieldBlock::Field_Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
}

long FieldBlock::Decimal(size_t off, size_t width) const {
  const std::string t(Chars(off, width));
  const long v = std::strtol(t.c_str(), nullptr, 10);
  return v;
}

bool FieldBlock::Real(size_t off, size_t width, double& value) const {
  const std::string t(Chars(off, width));
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end == t.c_str() || !Field_Finite(v)) return false;
  value = v;
  return true;
}

bool Field_Finite(double v) { return std::isfinite(v) && std::fabs(v) <= 3.0e38; }

bool Field_Set_Real(float& field, double value) {
  if (!Field_Finite(value)) return false;
  field = static_cast<float>(value);
  return true;
}

int32_t Field_Local_Seconds(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1901 || year > 2037 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60)
    return 0;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  return t == static_cast<std::time_t>(-1) || t > INT32_MAX || t < INT32_MIN ? 0 : static_cast<int32_t>(t);
}

int Field_Month(std::string_view name) {
  // English names, then the French spellings where they differ.
  static constexpr const char* kNames[][2] = {{"jan", "jan"}, {"feb", "fev"}, {"mar", "mar"}, {"apr", "avr"},
                                              {"may", "mai"}, {"jun", "jun"}, {"jul", "jul"}, {"aug", "aou"},
                                              {"sep", "sep"}, {"oct", "oct"}, {"nov", "nov"}, {"dec", "dec"}};
  if (name.size() < 3) return 0;
  char low[3];
  for (int i = 0; i < 3; ++i) low[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  const std::string_view key(low, 3);
  for (int m = 0; m < 12; ++m)
    if (key == kNames[m][0] || key == kNames[m][1]) return m + 1;
  return 0;
}

namespace {

// Up to `max` digits at `k`; -1 when there is none.
int Digits(std::string_view s, size_t& k, size_t max) {
  while (k < s.size() && s[k] == ' ') ++k;
  int v = 0;
  size_t n = 0;
  while (k < s.size() && n < max && std::isdigit(static_cast<unsigned char>(s[k]))) v = v * 10 + (s[k++] - '0'), ++n;
  return n ? v : -1;
}

bool Separator(std::string_view s, size_t& k, std::string_view set) {
  if (k >= s.size() || set.find(s[k]) == std::string_view::npos) return false;
  ++k;
  return true;
}

}  // namespace

bool Field_Date_YMD(std::string_view text, int& year, int& month, int& day) {
  size_t k = 0;
  const int y = Digits(text, k, 4);
  if (y < 0 || !Separator(text, k, "/-.")) return false;
  const int m = Digits(text, k, 2);
  if (m < 0 || !Separator(text, k, "/-.")) return false;
  const int d = Digits(text, k, 2);
  if (d < 0) return false;
  year = y, month = m, day = d;
  return true;
}

bool Field_Date_DMY(std::string_view text, int& year, int& month, int& day) {
  size_t k = 0;
  const int d = Digits(text, k, 2);
  if (d < 0 || !Separator(text, k, "-/ .")) return false;
  if (text.size() < k + 3) return false;
  const int m = Field_Month(text.substr(k, 3));
  k += 3;
  if (m == 0 || !Separator(text, k, "-/ .")) return false;
  int y = Digits(text, k, 4);
  if (y < 0) return false;
  if (y < 100) y += 1900;
  year = y, month = m, day = d;
  return true;
}

bool Field_Time_HMS(std::string_view text, int& hour, int& minute, int& second) {
  size_t k = 0;
  const int h = Digits(text, k, 2);
  if (h < 0 || !Separator(text, k, ":/.")) return false;
  const int m = Digits(text, k, 2);
  if (m < 0 || !Separator(text, k, ":/.")) return false;
  const int s = Digits(text, k, 2);
  if (s < 0) return false;
  hour = h, minute = m, second = s;
  return true;
}

bool Field_Direction(double x, double y, double z, Vec4& dir) {
  if (!Field_Finite(x) || !Field_Finite(y) || !Field_Finite(z)) return false;
  const double len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 1e-6) || !std::isfinite(len)) return false;
  dir = {static_cast<float>(x / len), static_cast<float>(y / len), static_cast<float>(z / len), 0.0f};
  return true;
}

int Scanner_Read_Rows(const ReadContext& ctx, ImageHeader& ima, const char* format_name, uint16_t fill) {
  Log_Print(ctx, 8, "in Scanner_Read_Rows()");
  const char* file = Text_Input_Name(ima);
  const unsigned bytes = ima.g2.pix_store / 8;
  if ((bytes != 1 && bytes != 2) || ima.g2.pix_store % 8 || ima.dim_x == 0 || ima.dim_y == 0) {
    Text_Error(ctx, file, "%s image of %ux%u with %u-bit samples cannot be read", format_name, ima.dim_x, ima.dim_y,
               ima.g2.pix_store);
    return 0;
  }
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const uint64_t row = uint64_t{ima.dim_x} * bytes;
  const uint64_t rows = uint64_t{ima.dim_y} * std::max<uint16_t>(ima.dim_z, 1) * std::max<uint16_t>(ima.dim_t, 1);
  const uint64_t left = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
  const uint64_t held = std::min(rows, left / row);
  if (held == 0) {
    Text_Error(ctx, file, "%s pixel data: %llu bytes at %u, one row needs %llu", format_name,
               static_cast<unsigned long long>(left), ima.ima_offset, static_cast<unsigned long long>(row));
    return 0;
  }
  PixelBuffer buf = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(row, rows), ima.name.c_str(), "buffer",
                                      static_cast<long long>(rows), static_cast<long long>(row));
  if (!buf) return 0;
  if (!KEMA_READ(ctx, *src, ima.ima_offset, buf.data(), held * row)) return 0;
  if (held < rows) {
    // A file cut short shows the rows it holds; the rest is background.
    Log_Print(ctx, 8, "--> the file holds %llu of %llu rows", static_cast<unsigned long long>(held),
              static_cast<unsigned long long>(rows));
    uint8_t* p = buf.data() + held * row;
    const size_t n = (rows - held) * row;
    if (bytes == 1) {
      std::memset(p, fill & 0xFF, n);
    } else {
      const uint8_t first = ima.g2.pix_swap ? fill >> 8 : fill & 0xFF, second = ima.g2.pix_swap ? fill & 0xFF : fill >> 8;
      for (size_t i = 0; i < n; i += 2) p[i] = first, p[i + 1] = second;
    }
  }
  ima.data = Image_Read_Process(ctx, ima, std::move(buf));
  return ima.data ? 1 : 0;
}
