#include "Convert/conv_header_text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "Convert/kema_image.h"

namespace {

constexpr size_t kValueSize = 512;

void Field_Line(const ReadContext& ctx, int level, const char* label, const char* value) {
  Log_Print(ctx, level, "\x02%-24s\x01 %s", label, value);
}

}  // namespace

void Text_Title(const ReadContext& ctx, const char* title) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "\x02\xF1%s\x01\xF0", title);
}

void Text_Field(const ReadContext& ctx, const char* label, const char* format, ...) {
  const int level = ctx.Text_Level();
  if (!level) return;
  char value[kValueSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  Field_Line(ctx, level, label, value);
}

void Text_Field_Str(const ReadContext& ctx, const char* label, std::string_view text, int width) {
  const int precision = text.size() < static_cast<size_t>(width) ? static_cast<int>(text.size()) : width;
  Text_Field(ctx, label, "%-*.*s", width, precision, text.data() ? text.data() : "");
}

void Text_Field_Char(const ReadContext& ctx, const char* label, char c) { Text_Field(ctx, label, "%c", c); }

// The field's own value format, given by the caller's table.
void Text_Field_Int(const ReadContext& ctx, const char* label, int value, const char* format) {
  Text_Field(ctx, label, format, value);
}

void Text_Field_UInt(const ReadContext& ctx, const char* label, unsigned value, const char* format) {
  Text_Field(ctx, label, format, value);
}

void Text_Field_Real(const ReadContext& ctx, const char* label, double value, const char* format) {
  Text_Field(ctx, label, format, value);
}

void Text_Field_Time(const ReadContext& ctx, const char* label, int64_t seconds) {
  const int level = ctx.Text_Level();
  if (!level) return;
  char text[64] = {};
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm_local{};
  if (localtime_r(&t, &tm_local)) std::strftime(text, sizeof text, "%d %b %Y  %H:%M:%S", &tm_local);
  Field_Line(ctx, level, label, text);
}

const char* Text_Code_Name(TextCodes table, int code) {
  for (const TextCode& c : table)
    if (c.code == code) return c.name;
  return nullptr;
}

void Text_Field_Code(const ReadContext& ctx, const char* label, int code, TextCodes table, TextMiss miss) {
  const int level = ctx.Text_Level();
  if (!level) return;
  if (const char* name = Text_Code_Name(table, code))
    Field_Line(ctx, level, label, name);
  else if (miss == TextMiss::Unknow)
    Field_Line(ctx, level, label, "Unknow");
  else
    Text_Field_Invalid(ctx, label, code);
}

void Text_Field_Invalid(const ReadContext& ctx, const char* label, long value) {
  const int level = ctx.Text_Level();
  if (!level) return;
  char marked[128];
  std::snprintf(marked, sizeof marked, "%-14s(invalid!)", label);
  Log_Print(ctx, level, "\x02%-24s\x01 %ld", marked, value);
}

void Text_Line(const ReadContext& ctx, const char* format, ...) {
  const int level = ctx.Text_Level();
  if (!level) return;
  char text[kValueSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log_Print(ctx, level, "%s", text);
}

void Text_End(const ReadContext& ctx) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "------ ------ ------ ------ ------");
}
