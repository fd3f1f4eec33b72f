#include "Convert/conv_jpeg.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jpeglib.h>

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

// ---- libjpeg-turbo for 8-bit DCT frames ----

namespace {

// The decoder's error code of a frame libjpeg-turbo refused (beside the
// codes of our decoder, which stay below 100).
constexpr int kLibraryError = 100;
// Progressive streams may hold any number of scans; real ones hold a dozen.
// A stream of thousands is a decoding-time attack, stopped here.
constexpr int kMaxScans = 1000;
// Warnings of one stream written out; the rest are counted only.
constexpr int kMaxWarnings = 10;

void Hook_Print(JpegHook hook, const void* context, const char* format, ...) {
  if (!hook) return;
  va_list args;
  va_start(args, format);
  hook(context, format, args);
  va_end(args);
}

// The error manager: messages to the caller's hooks, failures back to the
// setjmp of the call (nothing C++ with a destructor lives between the two).
struct TurboError {
  jpeg_error_mgr mgr;  // first: libjpeg hands back a pointer to it
  jmp_buf jump;
  const JpegOptions* opt;
  int warnings;
};

TurboError& Error_Of(j_common_ptr cinfo) { return *reinterpret_cast<TurboError*>(cinfo->err); }

[[noreturn]] void Turbo_Error_Exit(j_common_ptr cinfo) {
  TurboError& e = Error_Of(cinfo);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  Hook_Print(e.opt->hooks.error, e.opt->hook_context, "%s", text);
  std::longjmp(e.jump, 1);
}

void Turbo_Emit(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // libjpeg's own trace lines
  TurboError& e = Error_Of(cinfo);
  if (e.warnings++ >= kMaxWarnings) return;
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  Hook_Print(e.opt->hooks.warning, e.opt->hook_context, "%s", text);
}

void Turbo_Output(j_common_ptr) {}

void Turbo_Progress(j_common_ptr cinfo) {
  const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number <= kMaxScans) return;
  TurboError& e = Error_Of(cinfo);
  Hook_Print(e.opt->hooks.error, e.opt->hook_context, "too many scans (more than %d)", kMaxScans);
  std::longjmp(e.jump, 1);
}

// The memory libjpeg-turbo will want beyond its few lines of buffers: whole
// coefficient planes for progressive and multi-scan frames.
uint64_t Turbo_Planes_Bytes(const jpeg_decompress_struct& c) {
  if (!c.progressive_mode && c.comps_in_scan == c.num_components) return 0;
  uint64_t blocks = 0;
  for (int i = 0; i < c.num_components; ++i) {
    const jpeg_component_info& k = c.comp_info[i];
    const uint64_t w = (uint64_t{c.image_width} * k.h_samp_factor + 8 * c.max_h_samp_factor - 1) / (8 * c.max_h_samp_factor);
    const uint64_t h = (uint64_t{c.image_height} * k.v_samp_factor + 8 * c.max_v_samp_factor - 1) / (8 * c.max_v_samp_factor);
    blocks += (w + k.h_samp_factor) * (h + k.v_samp_factor);
  }
  return blocks * sizeof(JBLOCK);
}

void Turbo_Info_Lines(const jpeg_decompress_struct& c, const JpegOptions& opt) {
  if (!opt.info_lines || !opt.hooks.info) return;
  const JpegHook info = opt.hooks.info;
  const void* cx = opt.hook_context;
  Hook_Print(info, cx, "Gloabl Width:\x01%d", static_cast<int>(c.image_width));
  Hook_Print(info, cx, "Gloabl Height:\x01%d", static_cast<int>(c.image_height));
  Hook_Print(info, cx, "Resync Interval:\x01%d", static_cast<int>(c.restart_interval));
  Hook_Print(info, cx, "Number of Components:\x01%d", c.comps_in_scan);
  for (int i = 0; i < c.comps_in_scan; ++i) {
    const jpeg_component_info& k = *c.cur_comp_info[i];
    const int w = static_cast<int>((uint64_t{c.image_width} * k.h_samp_factor + c.max_h_samp_factor - 1) / c.max_h_samp_factor);
    const int h = static_cast<int>((uint64_t{c.image_height} * k.v_samp_factor + c.max_v_samp_factor - 1) / c.max_v_samp_factor);
    Hook_Print(info, cx, "Component[%d] index:\x01%d", i, k.component_id);
    Hook_Print(info, cx, "Component[%d] file name:\x01jpeg_decode.%d.%d", i, 1, k.component_id);
    Hook_Print(info, cx, "Component[%d] width:\x01%d", i, w);
    Hook_Print(info, cx, "Component[%d] height:\x01%d", i, h);
    Hook_Print(info, cx, "Component[%d] horiz. freq:\x01%d", i, k.h_samp_factor);
    Hook_Print(info, cx, "Component[%d] vert. freq:\x01%d", i, k.v_samp_factor);
  }
}

// One stream through libjpeg-turbo: the header only when `out` is empty.
// Plain C data only in this frame: a failure returns here by longjmp.
int Turbo_Decode(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info, const JpegOptions& opt,
                 JpegColour colour) {
  info = JpegInfo{};
  jpeg_decompress_struct cinfo;
  TurboError err;
  jpeg_progress_mgr progress;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = &Turbo_Error_Exit;
  err.mgr.emit_message = &Turbo_Emit;
  err.mgr.output_message = &Turbo_Output;
  err.opt = &opt;
  err.warnings = 0;
  progress.progress_monitor = &Turbo_Progress;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    info.error = kLibraryError;
    info.warnings = err.warnings;
    return 0;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.num_components == 3 && colour == JpegColour::kOptions) {
    cinfo.jpeg_color_space = opt.ycc_to_rgb ? JCS_YCbCr : JCS_RGB;
    cinfo.out_color_space = JCS_RGB;
  } else if (cinfo.num_components == 3) {
    cinfo.out_color_space = JCS_RGB;
  } else if (cinfo.num_components == 4) {
    cinfo.out_color_space = JCS_CMYK;
  }
  info.width = static_cast<uint16_t>(cinfo.image_width);
  info.height = static_cast<uint16_t>(cinfo.image_height);
  info.components = static_cast<uint8_t>(cinfo.num_components);
  info.frame_components = static_cast<uint8_t>(cinfo.num_components);
  info.bytes_per_sample = 1;
  info.precision = static_cast<uint8_t>(cinfo.data_precision);
  // The SOF marker's low nibble: 0 baseline, 1 extended, 2 progressive, 9 and 10 arithmetic.
  info.frame_type = static_cast<uint8_t>(Jpeg_Frame_Kind(data).sof & 0x0F);
  info.restart_interval = static_cast<uint16_t>(cinfo.restart_interval);
  Turbo_Info_Lines(cinfo, opt);
  if (!out.data()) {
    jpeg_destroy_decompress(&cinfo);
    info.warnings = err.warnings;
    return 1;
  }
  const size_t row = size_t{info.width} * info.components;
  if (out.size() < info.Output_Bytes()) {
    Hook_Print(opt.hooks.error, opt.hook_context, "output of %zu bytes for a frame of %zu", out.size(),
               info.Output_Bytes());
    std::longjmp(err.jump, 1);
  }
  // Whole-image coefficient planes pass the budget before libjpeg-turbo
  // allocates them; it may take no more than that.
  const uint64_t planes = Turbo_Planes_Bytes(cinfo);
  if (planes && !Image_Budget_Check(opt.log, planes, nullptr)) std::longjmp(err.jump, 1);
  cinfo.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(Image_Budget_Bytes(), LONG_MAX));
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_width != info.width || cinfo.output_height != info.height ||
      static_cast<int>(cinfo.output_components) != info.components) {
    Hook_Print(opt.hooks.error, opt.hook_context, "decoded geometry differs from the frame header");
    std::longjmp(err.jump, 1);
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[16];
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION n = std::min<JDIMENSION>(16, cinfo.output_height - first);
    for (JDIMENSION k = 0; k < n; ++k) rows[k] = out.data() + (first + k) * row;
    jpeg_read_scanlines(&cinfo, rows, n);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  info.warnings = err.warnings;
  return 1;
}

}  // namespace

bool JpegFrameKind::Library() const {
  const bool dct = sof == 0xC0 || sof == 0xC1 || sof == 0xC2 || sof == 0xC9 || sof == 0xCA;
  return dct && precision == 8 && (components == 1 || components == 3 || components == 4);
}

JpegFrameKind Jpeg_Frame_Kind(std::span<const uint8_t> in) {
  JpegFrameKind kind;
  size_t i = 0;
  while (i + 4 <= in.size()) {
    if (in[i] != 0xFF) return kind;
    const uint8_t m = in[i + 1];
    if (m == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      i += 2;
      continue;
    }
    if (m == 0xDA || m == 0xD9) return kind;
    const size_t len = size_t{in[i + 2]} << 8 | in[i + 3];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      if (len >= 8 && i + 2 + len <= in.size()) {
        kind.sof = m;
        kind.precision = in[i + 4];
        kind.components = in[i + 9];
      }
      return kind;
    }
    if (len < 2) return kind;
    i += 2 + len;
  }
  return kind;
}

int Jpeg_Frame_Read_Info(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt, JpegColour colour) {
  if (Jpeg_Frame_Kind(data).Library()) return Turbo_Decode(data, {}, info, opt, colour);
  return Jpeg_Read_Info(data, info, opt);
}

int Jpeg_Frame_Decode_Into(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info,
                           const JpegOptions& opt, JpegColour colour) {
  if (Jpeg_Frame_Kind(data).Library()) {
    if (!out.data()) {
      info = JpegInfo{};
      info.error = kLibraryError;
      return 0;
    }
    return Turbo_Decode(data, out, info, opt, colour);
  }
  return Jpeg_Decode_Into(data, out, info, opt);
}
