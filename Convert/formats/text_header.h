// What the text-header readers share: the one line reader, the
// header-text line shapes, bounded number parsing of a line's values, the
// second-file rules and the pixel-data check every reader runs before it
// says yes, and the image reader of images stored with a gap before each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

// ---- the line reader ----

// Reads a text header line by line from a byte source, from `start`. A line
// ends at a line feed; a carriage return is dropped; every other byte must
// be printable (0x20..0x7E) or a tab. Each byte is looked at once, a line
// never grows past its limit, and the whole header never past its cap, so
// hostile input costs at most its own length.
class TextLineReader {
 public:
  enum Flags : unsigned {
    kStopAtFormFeed = 0x01,  // a form feed ends the line and the header
    kStopAtNul = 0x02,       // a NUL byte ends the line and the header
    kReplaceNonText = 0x04,  // a byte that is not text reads as '?' instead of failing
  };
  enum class Status {
    Line,          // `line` holds the next line
    End,           // the data ended (a last unterminated line is given first)
    Stop,          // a form feed or NUL ended the header (after its line)
    TooLong,       // a line longer than the limit
    NonPrintable,  // a byte that is not text: Bad_Byte()
    TooBig,        // the header ran past its cap
    ReadError,     // the source could not be read (logged)
  };

  // `max_line` characters per line; `cap` bytes for the whole header.
  TextLineReader(const ReadContext& ctx, const ByteSource& source, uint64_t start, size_t max_line, unsigned flags,
                 uint64_t cap = kDefaultCap);

  Status Next(std::string_view& line);
  // Offset of the byte after the last one consumed (after the line feed,
  // form feed or NUL that ended the last line).
  uint64_t Position() const { return pos_; }
  uint8_t Bad_Byte() const { return bad_; }
  size_t Max_Line() const { return max_line_; }
  uint64_t Cap() const { return cap_; }
  // 1-based number of the line last returned or being read.
  int Line_Number() const { return line_no_; }

  static constexpr uint64_t kDefaultCap = uint64_t{1} << 20;

 private:
  bool Fill();
  LogHandle log_;
  const ByteSource& src_;
  uint64_t pos_;
  uint64_t limit_;  // start + cap, or the source size
  uint64_t cap_;
  size_t max_line_;
  unsigned flags_;
  std::string line_;
  // The bytes being scanned: the memory block itself, or a chunk of the file.
  const uint8_t* chunk_ = nullptr;
  uint64_t chunk_start_ = 0;
  size_t chunk_size_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  uint8_t bad_ = 0;
  int line_no_ = 0;
  bool stopped_ = false;
};

// What a text header's read calls its problems: "line to long (>N) in
// <too_long>", "Non print. caract. 0xNN in <non_printable>", "<too_big>
// longer than N bytes without its end".
struct TextHeaderNames {
  const char* too_long;
  const char* non_printable;
  const char* too_big;
  // A format that words a long line or a stray byte its own way (with the
  // line's number, say) reports those itself.
  void (*report)(const ReadContext& ctx, const TextLineReader& lines, TextLineReader::Status status,
                 const ImageHeader& ima) = nullptr;
};
// What the reader of one line says: go on, the header ends here, or fail
// (after reporting why).
enum class TextLineVerdict { Next, End, Fail };

// Reads the header's lines through `on_line` to its end (the data's end, a
// stop byte, or a line that ends it); `end` is then the offset after the
// header. A line too long, a byte that is not text or a header past its cap
// is reported in the format's own words. 1, or 0 after a logged failure.
template <typename OnLine>
int Text_Read_Lines(const ReadContext& ctx, TextLineReader& lines, const ImageHeader& ima,
                    const TextHeaderNames& names, uint64_t& end, OnLine&& on_line);

// ---- header text ----

// A key and value line: 0x02, the key padded to `width`, `separator`,
// 0x01, `lead` and the value.
void Text_Key_Value(const ReadContext& ctx, std::string_view key, int width, const char* separator, const char* lead,
                    std::string_view value);
// The Analyze and SMIS shape: the label padded to `width`, 0x02, two blanks,
// then the value built from `format`.
void Text_Label_Value(const ReadContext& ctx, int width, const char* label, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// A comment line: 0x01 and the text.
void Text_Comment(const ReadContext& ctx, std::string_view text);

// ---- values of a line (never read past the view) ----

std::string_view Trim_View(std::string_view s, std::string_view blanks = " \t");
// Like atoi: leading blanks, a sign, digits; 0 when there are none. Saturates.
long long Parse_Int(std::string_view s);
// Like atof: leading blanks, a sign (also '+'), a decimal or exponent
// number; 0 when there is none. Sets `ok` when a number was found.
double Parse_Real(std::string_view s, bool* ok = nullptr);
// Reads up to `n` numbers from `s`, separated by anything that cannot start
// a number; returns how many were found.
int Parse_Numbers(std::string_view s, double* out, int n);
std::string Lower(std::string_view s);
// A heap copy of a value: blanks trimmed at both ends, at most `width`
// characters (0: no limit).
std::string Field_Text(std::string_view s, size_t width = 0);

// Seconds since 1970 of a local calendar time (years above 1000 are
// calendar years, smaller ones years since 1900); 0 when the date is not a
// date (month 1 to 12, day 1 to 31) or the time does not fit 32 bits.
int32_t Text_Local_Time(int year, int month, int day, int hour, int minute, int second);
// A dimension from a header: 1 to 65535, else an ERROR line naming the key
// and the format, and false.
bool Set_Dimension(const ReadContext& ctx, const char* format_name, std::string_view key, long long value, uint16_t& dim);
// One "ERROR:" line at level 2 (framed like every format error), then the
// file line when `file` is set.
void Text_Error(const ReadContext& ctx, const char* file, const char* format, ...) __attribute__((format(printf, 3, 4)));

// ---- second files and the pixel data ----

// The file a header names, relative to the header's folder `path` (an
// absolute name stays as it is).
std::string Text_Resolve(const std::string& path, std::string_view value);
// The name of the file a record reads from, for messages.
const char* Text_Input_Name(const ImageHeader& ima);

// Bytes of one image: dim_x * dim_y * samples * bits / 8, rounded up, with
// `bits` per stored sample (0: g2.pix_store).
uint64_t Text_Image_Bytes(const ImageHeader& ima, unsigned bits = 0);
// dim_z * dim_t, a dimension of 0 counted as 1.
uint64_t Text_Image_Count(const ImageHeader& ima);
// Bytes the record's images take in their file, each preceded by
// `image_gap` bytes: dim_x * dim_y * samples * bits / 8 per image (rounded
// up), `bits` per stored sample (0: g2.pix_store). Saturates.
uint64_t Text_Data_Bytes(const ImageHeader& ima, unsigned bits = 0);

// Run by every text reader before it says yes: the pixel data the record
// describes must be there. `second_file` says the pixels are in another file
// than the header (`file_data`), which a memory block cannot reach. Checks
// the geometry, the pixel memory budget and the bytes really there from
// `ima_offset`; one ERROR line and 0 on failure.
int Text_Check_Pixels(const ReadContext& ctx, const ImageHeader& ima, const char* format_name, bool second_file,
                      unsigned bits = 0);

// Gathers the record's images from its pixel source into one buffer, each
// image read from after its gap: dim_z * dim_t images of `image_bytes` at
// ima_offset + image_gap + k * (image_gap + image_bytes). Budget-checked;
// empty after a logged failure.
PixelBuffer Text_Gather_Images(const ReadContext& ctx, const ImageHeader& ima, uint64_t image_bytes);

// Image reader of the text formats whose images are stored with a gap before
// each (g2.compression kTextGapped): gathers them, then the common
// conversion (Image_Read_Process).
int Text_Read_Image(const ReadContext& ctx, ImageHeader& ima);
inline constexpr int8_t kTextGapped = 1;

// ---- the line loop ----

// The report of a line the reader refused (not Line, End or Stop).
void Text_Report_Line_Problem(const ReadContext& ctx, const TextLineReader& lines, TextLineReader::Status status,
                              const ImageHeader& ima, const TextHeaderNames& names);

template <typename OnLine>
int Text_Read_Lines(const ReadContext& ctx, TextLineReader& lines, const ImageHeader& ima,
                    const TextHeaderNames& names, uint64_t& end, OnLine&& on_line) {
  for (;;) {
    std::string_view line;
    const TextLineReader::Status status = lines.Next(line);
    if (status == TextLineReader::Status::End || status == TextLineReader::Status::Stop) break;
    if (status != TextLineReader::Status::Line) {
      Text_Report_Line_Problem(ctx, lines, status, ima, names);
      return 0;
    }
    const TextLineVerdict verdict = on_line(line);
    if (verdict == TextLineVerdict::Fail) return 0;
    if (verdict == TextLineVerdict::End) break;
  }
  end = lines.Position();
  return 1;
}
