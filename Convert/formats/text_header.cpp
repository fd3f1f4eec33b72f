#include "Convert/formats/text_header.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <climits>
#include <new>

#include "Convert/conv_header_text.h"
#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"

// ---- the line reader ----

namespace {
constexpr size_t kChunk = 4096;
bool Is_Text(uint8_t c) { return (c >= 0x20 && c <= 0x7E) || c == '\t'; }
}  // namespace

TextLineReader::TextLineReader(const ReadContext& ctx, const ByteSource& source, uint64_t start, size_t max_line,
                               unsigned flags, uint64_t cap)
    : log_(ctx), src_(source), pos_(start), cap_(cap), max_line_(max_line), flags_(flags) {
  const uint64_t end = start > UINT64_MAX - cap ? UINT64_MAX : start + cap;
  limit_ = std::min(end, source.size());
  if (source.is_memory()) {
    chunk_ = source.memory().data();
    chunk_start_ = 0;
    chunk_size_ = source.memory().size();
  }
  line_.reserve(max_line + 1);
}

// Makes the byte at pos_ available in the chunk; false at the end of the
// data or after a logged read error (bad_ stays 0, chunk_ null).
bool TextLineReader::Fill() {
  if (pos_ >= src_.size()) return false;
  if (src_.is_memory()) return true;
  if (!buffer_) buffer_.reset(new uint8_t[kChunk]);
  const ptrdiff_t got = src_.Read_At(pos_, buffer_.get(), kChunk);
  if (got <= 0) {
    if (got < 0) Report_Read(log_, KEMA_SRC, __LINE__, src_.name().c_str());
    chunk_ = nullptr;
    chunk_size_ = 0;
    return false;
  }
  chunk_ = buffer_.get();
  chunk_start_ = pos_;
  chunk_size_ = static_cast<size_t>(got);
  return true;
}

TextLineReader::Status TextLineReader::Next(std::string_view& line) {
  line = {};
  if (stopped_) return Status::Stop;
  line_.clear();
  ++line_no_;
  for (;;) {
    if (pos_ >= limit_) {
      if (pos_ < src_.size()) return Status::TooBig;
      if (!line_.empty()) {
        line = line_;
        return Status::Line;
      }
      return Status::End;
    }
    if (pos_ < chunk_start_ || pos_ - chunk_start_ >= chunk_size_ || !chunk_) {
      if (!Fill()) {
        if (!src_.is_memory() && pos_ < src_.size()) return Status::ReadError;
        return line_.empty() ? Status::End : (line = line_, Status::Line);
      }
    }
    // Scan the chunk up to the header's limit.
    const size_t off = static_cast<size_t>(pos_ - chunk_start_);
    const size_t avail = static_cast<size_t>(std::min<uint64_t>(chunk_size_ - off, limit_ - pos_));
    const uint8_t* p = chunk_ + off;
    for (size_t i = 0; i < avail; ++i) {
      const uint8_t c = p[i];
      if (c == '\n') {
        pos_ += i + 1;
        line = line_;
        return Status::Line;
      }
      if (c == '\r') continue;
      if ((c == 0x0C && (flags_ & kStopAtFormFeed)) || (c == 0 && (flags_ & kStopAtNul))) {
        pos_ += i + 1;
        stopped_ = true;
        if (line_.empty()) return Status::Stop;
        line = line_;
        return Status::Line;
      }
      if (!Is_Text(c) && !(flags_ & kReplaceNonText)) {
        pos_ += i;
        bad_ = c;
        return Status::NonPrintable;
      }
      if (line_.size() >= max_line_) {
        pos_ += i;
        return Status::TooLong;
      }
      line_.push_back(Is_Text(c) ? static_cast<char>(c) : '?');
    }
    pos_ += avail;
  }
}

void Text_Report_Line_Problem(const ReadContext& ctx, const TextLineReader& lines, TextLineReader::Status status,
                              const ImageHeader& ima, const TextHeaderNames& names) {
  const char* file = Text_Input_Name(ima);
  if (names.report && status != TextLineReader::Status::TooBig && status != TextLineReader::Status::ReadError) {
    names.report(ctx, lines, status, ima);
    return;
  }
  switch (status) {
    case TextLineReader::Status::TooLong:
      Text_Error(ctx, file, "line to long (>%zu) in %s", lines.Max_Line(), names.too_long);
      break;
    case TextLineReader::Status::NonPrintable:
      Text_Error(ctx, file, "Non print. caract. 0x%x in %s", lines.Bad_Byte(), names.non_printable);
      break;
    case TextLineReader::Status::TooBig:
      Text_Error(ctx, file, "%s longer than %llu bytes without its end", names.too_big,
                 static_cast<unsigned long long>(lines.Cap()));
      break;
    default:  // a read error is reported where it happened
      break;
  }
}

// ---- header text ----

void Text_Key_Value(const ReadContext& ctx, std::string_view key, int width, const char* separator, const char* lead,
                    std::string_view value) {
  const int level = ctx.Text_Level();
  if (!level) return;
  Log_Print(ctx, level, "\x02%-*.*s%s\x01%s%.*s", width, static_cast<int>(key.size()), key.data(), separator, lead,
            static_cast<int>(value.size()), value.data());
}

void Text_Label_Value(const ReadContext& ctx, int width, const char* label, const char* format, ...) {
  const int level = ctx.Text_Level();
  if (!level) return;
  char value[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  Log_Print(ctx, level, "%-*s\x02  %s", width, label, value);
}

void Text_Comment(const ReadContext& ctx, std::string_view text) {
  if (const int level = ctx.Text_Level())
    Log_Print(ctx, level, "\x01%.*s", static_cast<int>(text.size()), text.data());
}

// ---- values ----

std::string_view Trim_View(std::string_view s, std::string_view blanks) {
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

long long Parse_Int(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (LLONG_MAX - 9) / 10) {
      v = LLONG_MAX;
      continue;
    }
    v = v * 10 + (s[i] - '0');
  }
  return negative ? -v : v;
}

double Parse_Real(std::string_view s, bool* ok) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  double v = 0.0;
  const char* first = s.data() + i;
  const char* last = s.data() + s.size();
  // from_chars takes no sign of its own here: the sign was taken above.
  auto r = std::from_chars(first, last, v, std::chars_format::general);
  const bool found = r.ec == std::errc() || r.ec == std::errc::result_out_of_range;
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: which one, the exponent's sign says.
    const std::string_view number(first, static_cast<size_t>(r.ptr - first));
    const size_t e = number.find_first_of("eE");
    v = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-' ? 0.0 : HUGE_VAL;
  }
  const bool word = first < last && (*first == 'i' || *first == 'I' || *first == 'n' || *first == 'N');
  if (!found || r.ptr == first || word) {
    // atof would read "inf" and "nan"; a header value means neither.
    if (ok) *ok = false;
    return 0.0;
  }
  if (ok) *ok = true;
  return negative ? -v : v;
}

int Parse_Numbers(std::string_view s, double* out, int n) {
  int count = 0;
  size_t i = 0;
  while (count < n && i < s.size()) {
    const char c = s[i];
    const bool starts = (c >= '0' && c <= '9') ||
                        ((c == '-' || c == '+' || c == '.') && i + 1 < s.size() &&
                         ((s[i + 1] >= '0' && s[i + 1] <= '9') || s[i + 1] == '.'));
    if (!starts) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < s.size() && ((s[j] >= '0' && s[j] <= '9') || s[j] == '.' || s[j] == 'e' || s[j] == 'E' ||
                            ((s[j] == '-' || s[j] == '+') && (s[j - 1] == 'e' || s[j - 1] == 'E'))))
      ++j;
    out[count++] = Parse_Real(s.substr(i, j - i));
    i = j;
  }
  return count;
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string Field_Text(std::string_view s, size_t width) {
  s = Trim_View(s, " ");
  if (width && s.size() > width) s = Trim_View(s.substr(0, width), " ");
  return std::string(s);
}

void Text_Error(const ReadContext& ctx, const char* file, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s\xF0", text);
  if (file && *file) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", file);
}

bool Set_Dimension(const ReadContext& ctx, const char* format_name, std::string_view key, long long value, uint16_t& dim) {
  if (value >= 1 && value <= 65535) {
    dim = static_cast<uint16_t>(value);
    return true;
  }
  Text_Error(ctx, nullptr, "bad dimension %lld for \"%.*s\" in %s header (1 to 65535)", value,
             static_cast<int>(std::min<size_t>(key.size(), 64)), key.data(), format_name);
  return false;
}

int32_t Text_Local_Time(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
  if (year < 0 || year > 100000) return 0;
  std::tm t{};
  t.tm_year = year > 1000 ? year - 1900 : year;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  const std::time_t r = std::mktime(&t);
  if (r == static_cast<std::time_t>(-1) || r < INT32_MIN || r > INT32_MAX) return 0;
  return static_cast<int32_t>(r);
}

// ---- second files and pixel data ----

std::string Text_Resolve(const std::string& path, std::string_view value) {
  if (!value.empty() && value.front() == '/') return std::string(value);
  return path + std::string(value);
}

const char* Text_Input_Name(const ImageHeader& ima) {
  return ima.input_type == 2 ? "memory stream" : ima.input.c_str();
}

uint64_t Text_Image_Bytes(const ImageHeader& ima, unsigned bits) {
  if (bits == 0) bits = ima.g2.pix_store;
  const unsigned s = ima.g2.pix_plane >= 3 ? ima.g2.pix_plane : 1;
  // 16-bit width times 16-bit height times at most 255 planes of at most
  // 64 Ki bits: no overflow in 64 bits.
  const uint64_t image_bits = uint64_t{ima.dim_x} * ima.dim_y * s * bits;
  return image_bits / 8 + (image_bits % 8 != 0);
}

uint64_t Text_Image_Count(const ImageHeader& ima) {
  return uint64_t{ima.dim_z ? ima.dim_z : 1u} * (ima.dim_t ? ima.dim_t : 1u);
}

uint64_t Text_Data_Bytes(const ImageHeader& ima, unsigned bits) {
  return Mul_Sat(Text_Image_Count(ima), Text_Image_Bytes(ima, bits) + ima.image_gap);
}

int Text_Check_Pixels(const ReadContext& ctx, const ImageHeader& ima, const char* format_name, bool second_file,
                      unsigned bits) {
  const char* header = Text_Input_Name(ima);
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Text_Error(ctx, header, "%s header gives no image size (x %u, y %u)", format_name, ima.dim_x, ima.dim_y);
    return 0;
  }
  if (second_file && ima.input_type == 2) {
    Text_Error(ctx, nullptr, "%s pixel data are in a second file (%s), which a memory block cannot reach: "
               "open the header as a file", format_name, ima.file_data.empty() ? "?" : ima.file_data.c_str());
    return 0;
  }
  const uint64_t need = Text_Data_Bytes(ima, bits);
  // Pixels in the header's own file when the reader names no other.
  const std::string& data_file = ima.file_data.empty() ? ima.input : ima.file_data;
  const char* data_name = ima.input_type == 2 ? "memory stream" : data_file.c_str();
  if (!Image_Budget_Check(ctx, need, data_name)) return 0;
  std::unique_ptr<ByteSource> src;
  if (ima.input_type == 2) {
    src = ByteSource::From_Memory(ima.stream, "memory stream");
  } else {
    src = ByteSource::Open_File(data_file);
    if (!src) {
      const int err = errno;
      Text_Error(ctx, header, "%s pixel data file \"%s\" cannot be opened: %s", format_name, data_file.c_str(),
                 System_Error_Text(err));
      return 0;
    }
  }
  const uint64_t there = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
  // Images with a gap before each: the last one needs no gap after it.
  if (need > there) {
    Text_Error(ctx, header, "%s pixel data too short: %llu bytes from offset %u in \"%s\", %llu needed",
               format_name, static_cast<unsigned long long>(there), ima.ima_offset, data_name,
               static_cast<unsigned long long>(need));
    return 0;
  }
  return 1;
}

PixelBuffer Text_Gather_Images(const ReadContext& ctx, const ImageHeader& ima, uint64_t image_bytes) {
  const uint64_t images = Text_Image_Count(ima);
  const uint64_t size = Mul_Sat(images, image_bytes);
  auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return {};
  const uint64_t stride = image_bytes + ima.image_gap;
  const uint64_t span = Mul_Sat(images, stride);
  if (span == UINT64_MAX || !src->Contains(ima.ima_offset, span)) {
    const uint64_t there = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
    Report_Short_Read(ctx, KEMA_SRC, __LINE__, static_cast<long long>(there),
                      span > INT64_MAX ? INT64_MAX : static_cast<long long>(span), src->name().c_str());
    return {};
  }
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, size, ima.name.c_str(), "buffer", static_cast<long long>(images),
                                      static_cast<long long>(image_bytes));
  if (!out) return {};
  if (ima.image_gap == 0) {
    if (!KEMA_READ(ctx, *src, ima.ima_offset, out.data(), static_cast<size_t>(size))) return {};
    return out;
  }
  for (uint64_t k = 0; k < images; ++k)
    if (!KEMA_READ(ctx, *src, ima.ima_offset + ima.image_gap + k * stride, out.data() + k * image_bytes,
                   static_cast<size_t>(image_bytes)))
      return {};
  return out;
}

int Text_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Text_Read_Image()");
  if (ima.g2.compression != kTextGapped) return 0;
  const uint64_t image_bytes = Text_Image_Bytes(ima);
  Log_Print(ctx, 8, "--> %u images of %llu bytes, %u bytes before each", unsigned{ima.dim_z} * ima.dim_t,
            static_cast<unsigned long long>(image_bytes), ima.image_gap);
  PixelBuffer buffer = Text_Gather_Images(ctx, ima, image_bytes);
  if (!buffer) return 0;
  const uint64_t images = Text_Image_Count(ima);
  const unsigned s = ima.g2.pix_plane >= 3 ? ima.g2.pix_plane : 1;
  if (images == 1 || (uint64_t{ima.dim_x} * ima.dim_y * s * ima.g2.pix_store) % 8 == 0) {
    ima.data = Image_Read_Process(ctx, ima, std::move(buffer));
    return ima.data ? 1 : 0;
  }
  // Packed samples whose images end inside a byte: each image starts on a
  // byte of its own after its gap, so each is unpacked on its own; read as
  // one stream, every later image would be shifted by the padding bits.
  const uint16_t bits = ima.g2.pix_store, dim_z = ima.dim_z, dim_t = ima.dim_t;
  ima.dim_z = ima.dim_t = 1;
  PixelBuffer out;
  uint64_t done = 0;
  for (uint64_t k = 0; k < images; ++k) {
    ima.g2.pix_store = bits;
    PixelBuffer one = KEMA_ALLOC_PIXELS(ctx, image_bytes, ima.name.c_str(), "buffer", 1, static_cast<long long>(image_bytes));
    if (one) std::memcpy(one.data(), buffer.data() + k * image_bytes, static_cast<size_t>(image_bytes));
    if (one) one = Image_Read_Process(ctx, ima, std::move(one));
    if (one && !out) out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(images, one.size()), ima.name.c_str(), "buffer",
                                            static_cast<long long>(images), static_cast<long long>(one.size()));
    if (!one || !out || one.size() != out.size() / images) {
      ima.dim_z = dim_z, ima.dim_t = dim_t;
      ima.g2.pix_store = bits;
      return 0;
    }
    std::memcpy(out.data() + done, one.data(), one.size());
    done += one.size();
  }
  ima.dim_z = dim_z, ima.dim_t = dim_t;
  ima.data = std::move(out);
  return 1;
}
