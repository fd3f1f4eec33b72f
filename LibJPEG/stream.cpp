// The decoder's input side at the byte level: the messages, and the
// entropy-coded segments, unstuffed (0xFF 0x00 read as one 0xFF) into one
// buffer that the bit reader then reads without looking at markers.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "LibJPEG/jpeg_internal.h"

namespace {
std::atomic<int> g_verbosity{0};

void Call(JpegHook hook, const void* context, const char* format, va_list args) {
  if (hook) hook(context, format, args);
}
}  // namespace

void Jpeg_Set_Verbosity(int verbosity) { g_verbosity.store(verbosity); }
int Jpeg_Get_Verbosity() { return g_verbosity.load(); }

namespace jpeg {

namespace {
void Location(Decoder& d, const char* file, const char* routine, int line) {
  if (Log_Admitted(6)) Log_Print(d.log, 6, "F>%s:R>%s:L>%d: ", file, routine, line);
}
}  // namespace

void Msg_Error(Decoder& d, const char* file, const char* routine, int line, const char* format, ...) {
  Location(d, file, routine, line);
  va_list args;
  va_start(args, format);
  Call(d.hooks.error, d.opt.hook_context, format, args);
  va_end(args);
}

void Msg_Warning(Decoder& d, const char* file, const char* routine, int line, const char* format, ...) {
  ++d.warnings;
  Location(d, file, routine, line);
  va_list args;
  va_start(args, format);
  Call(d.hooks.warning, d.opt.hook_context, format, args);
  va_end(args);
}

void Msg_Info(Decoder& d, const char* format, ...) {
  if (!d.opt.info_lines || !d.hooks.info) return;
  va_list args;
  va_start(args, format);
  Call(d.hooks.info, d.opt.hook_context, format, args);
  va_end(args);
}

void Msg_Detail(Decoder& d, const char* file, const char* routine, int line, const char* format, ...) {
  if (!Log_Admitted(6)) return;
  Location(d, file, routine, line);
  va_list args;
  va_start(args, format);
  Log_VPrint(d.log, 6, format, args);
  va_end(args);
}

void Msg_Trace(Decoder& d, const char* format, ...) {
  if (d.verbosity <= 0 || !Log_Admitted(10)) return;
  va_list args;
  va_start(args, format);
  Log_VPrint(d.log, 10, format, args);
  va_end(args);
}

void LoadSegment(Decoder& d) {
  const uint8_t* const begin = d.in.data() + d.pos;
  const uint8_t* const end = d.in.data() + d.in.size();
  // The segment is never longer than what is left; 8 zero bytes follow it.
  const size_t room = static_cast<size_t>(end - begin) + 8;
  if (d.seg.size() < room) d.seg.resize(room);
  uint8_t* out = d.seg.data();
  const uint8_t* q = begin;
  while (q < end) {
    const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(q, 0xFF, static_cast<size_t>(end - q)));
    if (!ff) {
      std::memcpy(out, q, static_cast<size_t>(end - q));
      out += end - q;
      q = end;
      break;
    }
    std::memcpy(out, q, static_cast<size_t>(ff - q));
    out += ff - q;
    if (ff + 1 < end && ff[1] == 0x00) {
      *out++ = 0xFF;
      q = ff + 2;
      continue;
    }
    q = ff;  // a marker, fill bytes before one, or a last lone 0xFF
    break;
  }
  const size_t n = static_cast<size_t>(out - d.seg.data());
  std::memset(out, 0, 8);
  d.pos = static_cast<size_t>(q - d.in.data());
  d.br.Reset(d.seg.data(), n);
}

}  // namespace jpeg
