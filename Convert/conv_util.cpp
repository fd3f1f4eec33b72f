#include "Convert/conv_util.h"

#include <cerrno>
#include <cstring>

#include "Convert/kema_image.h"

void Report_Memory(LogHandle log, const char* src, int line, const char* fn, const char* var, long long dim1,
                   long long dim2) {
  Log_Print(log, 1, "line %-4d of %s", line, src);
  Log_Print(log, 1, "memory error in %s (var=%s, dim=%lldx%lld)", fn, var, dim1, dim2);
}

void Report_Strdup(LogHandle log, const char* src, int line, const char* var) {
  Log_Print(log, 1, "line %-4d of %s", line, src);
  Log_Print(log, 1, "memory error in strdup (var=%s)", var);
}

namespace {
void Report_System(LogHandle log, const char* src, int line, const char* what, const char* file) {
  const int err = errno;
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "%s", what);
  Log_Print(log, 6, "%s", System_Error_Text(err));
  Log_Print(log, 6, "file: (%s)", file ? file : "");
}
}  // namespace

void Report_Open(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "Unable to open file", file);
}

void Report_Not_Regular(LogHandle log, const char* file, const char* kind) {
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 Unable to open file ! (%s, not a regular file)", kind);
  Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file);
}

int Source_Check_File(LogHandle log, const std::string& file) {
  const char* refused = nullptr;
  if (ByteSource::Open_File(file, &refused)) return 1;
  if (refused) {
    Report_Not_Regular(log, file.c_str(), refused);
    return 0;
  }
  const int err = errno;
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 Unable to open file !");
  Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file.c_str());
  Log_Print(log, 2, "\x01\t\t %s", System_Error_Text(err));
  return 0;
}

void Report_Seek(LogHandle log, const char* src, int line, long long pos, const char* file) {
  const int err = errno;
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "while seeking pos %lld", pos);
  Log_Print(log, 6, "%s", System_Error_Text(err));
  Log_Print(log, 6, "file: (%s)", file ? file : "");
}

void Report_Lseek(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "using lseek()", file);
}

void Report_Read(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "while reading", file);
}

void Report_Short_Read(LogHandle log, const char* src, int line, long long got, long long wanted, const char* file) {
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "End of File while reading: (%lld /vs/ %lld) (%s)", got, wanted, file ? file : "");
}

void Report_Stat(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "Unable to stat() file", file);
}

std::unique_ptr<ByteSource> Source_Open(LogHandle log, const std::string& file, const char* src, int line) {
  const char* refused = nullptr;
  auto source = ByteSource::Open_File(file, &refused);
  if (!source && refused) Report_Not_Regular(log, file.c_str(), refused);
  else if (!source) Report_Open(log, src, line, file.c_str());
  return source;
}

std::unique_ptr<ByteSource> Source_Open_Input(LogHandle log, const ImageHeader& ima, const char* src, int line) {
  if (ima.input_type == 2) return ByteSource::From_Memory(ima.stream, "memory stream");
  return Source_Open(log, ima.input, src, line);
}

std::unique_ptr<ByteSource> Source_Open_Data(LogHandle log, const ImageHeader& ima, const char* src, int line) {
  if (ima.input_type == 2) return ByteSource::From_Memory(ima.stream, "memory stream");
  return Source_Open(log, ima.file_data, src, line);
}

int Source_Read(LogHandle log, const ByteSource& source, uint64_t offset, void* dst, size_t n, const char* src,
                int line) {
  ptrdiff_t got = source.Read_At(offset, dst, n);
  if (got < 0) {
    Report_Read(log, src, line, source.name().c_str());
    return 0;
  }
  if (static_cast<size_t>(got) < n) {
    Report_Short_Read(log, src, line, got, static_cast<long long>(n), source.name().c_str());
    return 0;
  }
  return 1;
}

void Swap_Pairs(const uint8_t* src, uint8_t* dst, size_t size) {
  // Eight pairs at a time through a vector register, the rest one by one.
  typedef uint16_t V __attribute__((vector_size(16)));
  const size_t blocks = size / sizeof(V);
  for (size_t k = 0; k < blocks; ++k) {
    V v;
    std::memcpy(&v, src + k * sizeof(V), sizeof(V));
    v = (v << 8) | (v >> 8);
    std::memcpy(dst + k * sizeof(V), &v, sizeof(V));
  }
  const size_t pairs = size / 2;
  for (size_t i = blocks * sizeof(V) / 2; i < pairs; ++i) {
    uint16_t v;
    std::memcpy(&v, src + 2 * i, 2);
    v = __builtin_bswap16(v);
    std::memcpy(dst + 2 * i, &v, 2);
  }
  if (size & 1) dst[size - 1] = src[size - 1];
}
