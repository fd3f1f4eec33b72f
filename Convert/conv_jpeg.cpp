#include "Convert/conv_jpeg.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "Convert/conv_budget.h"
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"

namespace {

const ReadContext& Context_Of(const void* context) {
  static const ReadContext kQuiet{};
  return context ? *static_cast<const ReadContext*>(context) : kQuiet;
}

void Warning_Hook(const void* context, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  Log_Print(Context_Of(context), 2, "\xF1\x05" "WARNING:\x01 %s", text);
}

void Error_Hook(const void* context, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  Log_Print(Context_Of(context), 2, "\xF1\x04" "ERROR:\x01 %s", text);
}

// "label\x01value" becomes a header-text field line.
void Info_Hook(const void* context, const char* format, va_list args) {
  const ReadContext& ctx = Context_Of(context);
  if (!ctx.Text_Level()) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  char* sep = std::strchr(text, '\x01');
  if (sep) {
    *sep = 0;
    Text_Field(ctx, text, "%s", sep + 1);
  } else {
    Text_Line(ctx, "%s", text);
  }
}

void* Budget_Allocate(void* log, size_t bytes, const char* what) {
  if (!Image_Budget_Check(log, bytes, nullptr)) return nullptr;
  void* block = ::operator new(bytes, std::nothrow);
  if (!block) Report_Memory(log, KEMA_SRC, __LINE__, "malloc", what, static_cast<long long>(bytes), 1);
  return block;
}

void Budget_Release(void*, void* block) { ::operator delete(block); }

}  // namespace

JpegOptions Jpeg_Options(const ReadContext& ctx) {
  JpegOptions opt;
  opt.log = ctx.log;
  opt.hooks = {&Error_Hook, &Warning_Hook, &Info_Hook};
  opt.hook_context = &ctx;
  opt.allocator = {ctx.log, &Budget_Allocate, &Budget_Release};
  return opt;
}

PixelBuffer jpeg_decode(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt) {
  // The header pass is quiet: its messages come again from the decoding, or
  // from a second pass when it fails.
  JpegOptions quiet = opt;
  quiet.hooks = {};
  if (!Jpeg_Read_Info(data, info, quiet)) {
    Jpeg_Read_Info(data, info, opt);
    return {};
  }
  const uint64_t need = info.Output_Bytes();
  PixelBuffer made = KEMA_ALLOC_PIXELS(opt.log, need, nullptr, "jpeg_decode output",
                                       static_cast<long long>(info.width) * info.height,
                                       info.components * info.bytes_per_sample);
  if (!made) return {};
  if (!Jpeg_Decode_Into(data, {made.data(), static_cast<size_t>(need)}, info, opt)) return {};
  return made;
}

PixelBuffer jpeg_decode(const uint8_t* data, size_t size, int* width, int* height, int* components,
                        int* bytes_per_sample) {
  static const ReadContext kContext{};
  JpegInfo info;
  PixelBuffer made = jpeg_decode(std::span<const uint8_t>(data, data ? size : 0), info, Jpeg_Options(kContext));
  if (width) *width = info.width;
  if (height) *height = info.height;
  if (components) *components = info.components;
  if (bytes_per_sample) *bytes_per_sample = info.bytes_per_sample;
  return made;
}
