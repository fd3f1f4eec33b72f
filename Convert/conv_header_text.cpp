#include "Convert/conv_header_text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "Convert/kema_image.h"

namespace {

constexpr size_t kValueSize = 512;

void Field_Line(LogHandle log, int level, const char* label, const char* value) {
  Log_Print(log, level, "\x02%-24s\x01 %s", label, value);
}

}  // namespace

int Text_Level() {
  const int level = Image_Header_Text_Level();
  return (level != 0 && Log_Admitted(level)) ? level : 0;
}

void Text_Title(LogHandle log, const char* title) {
  if (const int level = Text_Level()) Log_Print(log, level, "\x02\xF1%s\x01\xF0", title);
}

void Text_Field(LogHandle log, const char* label, const char* format, ...) {
  const int level = Text_Level();
  if (!level) return;
  char value[kValueSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  Field_Line(log, level, label, value);
}

void Text_Field_Str(LogHandle log, const char* label, std::string_view text, int width) {
  const int precision = text.size() < static_cast<size_t>(width) ? static_cast<int>(text.size()) : width;
  Text_Field(log, label, "%-*.*s", width, precision, text.data() ? text.data() : "");
}

void Text_Field_Char(LogHandle log, const char* label, char c) { Text_Field(log, label, "%c", c); }

// The field's own value format, given by the caller's table.
void Text_Field_Int(LogHandle log, const char* label, int value, const char* format) {
  Text_Field(log, label, format, value);
}

void Text_Field_UInt(LogHandle log, const char* label, unsigned value, const char* format) {
  Text_Field(log, label, format, value);
}

void Text_Field_Real(LogHandle log, const char* label, double value, const char* format) {
  Text_Field(log, label, format, value);
}

void Text_Field_Time(LogHandle log, const char* label, int64_t seconds) {
  const int level = Text_Level();
  if (!level) return;
  char text[64] = {};
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm_local{};
  if (localtime_r(&t, &tm_local)) std::strftime(text, sizeof text, "%d %b %Y  %H:%M:%S", &tm_local);
  Field_Line(log, level, label, text);
}

const char* Text_Code_Name(TextCodes table, int code) {
  for (const TextCode& c : table)
    if (c.code == code) return c.name;
  return nullptr;
}

void Text_Field_Code(LogHandle log, const char* label, int code, TextCodes table, TextMiss miss) {
  const int level = Text_Level();
  if (!level) return;
  if (const char* name = Text_Code_Name(table, code))
    Field_Line(log, level, label, name);
  else if (miss == TextMiss::Unknow)
    Field_Line(log, level, label, "Unknow");
  else
    Text_Field_Invalid(log, label, code);
}

void Text_Field_Invalid(LogHandle log, const char* label, long value) {
  const int level = Text_Level();
  if (!level) return;
  char marked[128];
  std::snprintf(marked, sizeof marked, "%-14s(invalid!)", label);
  Log_Print(log, level, "\x02%-24s\x01 %ld", marked, value);
}

void Text_Line(LogHandle log, const char* format, ...) {
  const int level = Text_Level();
  if (!level) return;
  char text[kValueSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log_Print(log, level, "%s", text);
}

void Text_End(LogHandle log) {
  if (const int level = Text_Level()) Log_Print(log, level, "------ ------ ------ ------ ------");
}
