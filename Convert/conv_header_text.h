// The line shapes in which every reader lists a file's header as text: block
// titles, label/value field lines, coded fields and the closing line. They
// carry the message list's layout bytes (0x01, 0x02, 0xF0, 0xF1), which the
// console and the trace file drop.
//
// Every function writes at the header-text level and does nothing when that
// level is 0 or not admitted by the ctx; readers with long listings test
// ctx.Text_Level() once and skip the whole listing.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "Convert/conv_read_context.h"
#include "log/log.h"

// One entry of a code table: a coded field prints the name of its code.
struct TextCode {
  int code;
  const char* name;
};
using TextCodes = std::span<const TextCode>;

// What a coded field prints for a code missing from its table.
enum class TextMiss {
  Invalid,  // the "(invalid!)" form of the line with the raw number
  Unknow,   // the name "Unknow"
};

// 0x02 0xF1 title 0x01 0xF0.
void Text_Title(const ReadContext& ctx, const char* title);
// 0x02, the label padded to 24, 0x01, a blank, the value built from `format`.
void Text_Field(const ReadContext& ctx, const char* label, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Fixed-width text, possibly unterminated, cut at its first NUL: "%-W.Ws".
void Text_Field_Str(const ReadContext& ctx, const char* label, std::string_view text, int width);
// A single character: "%c".
void Text_Field_Char(const ReadContext& ctx, const char* label, char c);
// An integer through `format` ("%-d" by default, e.g. "%-d (usec)").
void Text_Field_Int(const ReadContext& ctx, const char* label, int value, const char* format = "%-d");
// An unsigned integer through `format` ("%-u" by default).
void Text_Field_UInt(const ReadContext& ctx, const char* label, unsigned value, const char* format = "%-u");
// A real through `format` ("%.2f" by default, e.g. "%-10.5f (mm)").
void Text_Field_Real(const ReadContext& ctx, const char* label, double value, const char* format = "%.2f");
// Seconds since 1970 as local time, "%d %b %Y  %H:%M:%S".
void Text_Field_Time(const ReadContext& ctx, const char* label, int64_t seconds);
// A code printed by name through its table.
void Text_Field_Code(const ReadContext& ctx, const char* label, int code, TextCodes table, TextMiss miss = TextMiss::Invalid);
// The second form of a field line: the label followed by "(invalid!)", the
// two padded to 24, and the raw number.
void Text_Field_Invalid(const ReadContext& ctx, const char* label, long value);
// A line of its own at the header-text level (a long value under its label).
void Text_Line(const ReadContext& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The line that closes a header listing.
void Text_End(const ReadContext& ctx);

// The name of a code, or null when the table does not hold it.
const char* Text_Code_Name(TextCodes table, int code);
