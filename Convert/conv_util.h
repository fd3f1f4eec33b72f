// The fixed forms in which every reader reports a failure, and the checked
// open and read of a record's input that all readers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Convert/byte_source.h"
#include "Convert/kema_image.h"
#include "log/log.h"

// Source file name used in the report lines.
#define KEMA_SRC __FILE_NAME__

// Level 1: "line %-4d of %s" then "memory error in <fn> (var=%s, dim=%dx%d)".
void Report_Memory(LogHandle log, const char* src, int line, const char* fn, const char* var, long long dim1,
                   long long dim2);
// Level 1: "line %-4d of %s" then "memory error in strdup (var=%s)".
void Report_Strdup(LogHandle log, const char* src, int line, const char* var);
// Level 6, with the system error text of the current errno.
void Report_Open(LogHandle log, const char* src, int line, const char* file);
void Report_Seek(LogHandle log, const char* src, int line, long long pos, const char* file);
void Report_Lseek(LogHandle log, const char* src, int line, const char* file);
void Report_Read(LogHandle log, const char* src, int line, const char* file);
void Report_Short_Read(LogHandle log, const char* src, int line, long long got, long long wanted, const char* file);
// Level 2: a path that names a directory, FIFO, socket or device.
void Report_Not_Regular(LogHandle log, const char* file, const char* kind);
void Report_Stat(LogHandle log, const char* src, int line, const char* file);

// 1 when `file` is a regular file that opens; else the ERROR lines of an
// open failure (with the system's reason, or what the path names) and 0.
int Source_Check_File(LogHandle log, const std::string& file);
// Opens a named file; logs the open failure and returns null.
std::unique_ptr<ByteSource> Source_Open(LogHandle log, const std::string& file, const char* src, int line);
// Opens what a record reads from: its input (file or memory block).
std::unique_ptr<ByteSource> Source_Open_Input(LogHandle log, const ImageHeader& ima, const char* src, int line);
// Opens the source of a record's pixels: `file_data`, or the memory block.
std::unique_ptr<ByteSource> Source_Open_Data(LogHandle log, const ImageHeader& ima, const char* src, int line);

// Reads exactly n bytes at `offset`; logs a read error or a short read
// ("End of File while reading") and returns 0.
int Source_Read(LogHandle log, const ByteSource& source, uint64_t offset, void* dst, size_t n, const char* src,
                int line);

// Sizes come from file headers: products saturate instead of wrapping, so an
// absurd geometry only ever compares as "more than there is".
inline uint64_t Mul_Sat(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Exchanges the bytes of every byte pair from src into dst (the same buffer
// or two that do not overlap); an odd last byte is copied as it is.
void Swap_Pairs(const uint8_t* src, uint8_t* dst, size_t size);

// The pixel memory budget: KEMASCOPIA_MAX_IMAGE_MB megabytes, 2 GiB when
// unset. Every buffer whose size comes from a file (decoded, unpacked,
// decompressed or split images) is checked against it before any memory is
// touched.
uint64_t Image_Budget_Bytes();
// 1 when `size` bytes fit; else one ERROR line naming the size and the
// budget (and the file, when given), and 0. UINT64_MAX stands for a size
// that overflowed (see Mul_Sat).
int Image_Budget_Check(LogHandle log, uint64_t size, const char* file);
// A pixel buffer of a file-driven size: the budget check, then the
// allocation; a refusal or a failed allocation (reported with `var`, `dim1`
// x `dim2`) is logged and gives an empty buffer.
PixelBuffer Image_Alloc_Pixels(LogHandle log, uint64_t size, const char* file, const char* var, long long dim1,
                               long long dim2, const char* src, int line);
#define KEMA_ALLOC_PIXELS(log, size, file, var, dim1, dim2) \
  Image_Alloc_Pixels((log), (size), (file), (var), (dim1), (dim2), KEMA_SRC, __LINE__)

#define KEMA_READ(log, source, offset, dst, n) Source_Read((log), (source), (offset), (dst), (n), KEMA_SRC, __LINE__)

// The value range of grey samples of one pixel type, padding values
// included: what the reading pass learns while the samples are still in the
// cache, so that the range step need not walk the whole image again.
struct SampleRange {
  uint8_t pix_type = 0;  // the type the samples were read as
  int32_t min = 0;
  int32_t max = 0;
  uint64_t count = 0;
};
// Adds `n` samples of `pix_type` (16 or 32-bit grey) at `p` to `r`; false
// for any other type. With `out`, the samples are also stored there in the
// same pass; `swap`: those at `p` are in the other byte order, and are
// stored, and their range taken, in this machine's order.
bool Image_Scan_Range(uint8_t pix_type, const uint8_t* p, size_t n, SampleRange& r, uint8_t* out = nullptr,
                      bool swap = false);
// Keeps the scans on the 16-byte path every processor has, even where wider
// registers exist: for checking that path on any machine.
void Image_Scan_Narrow_Only(bool narrow);
// The generic read that also gives the range of what it read, when that
// came for free (`range->count` stays 0 when not).
int Image_Read_Generic(LogHandle log, ImageHeader& ima, SampleRange* range);
// The range step, taking a range of the whole buffer already known.
int Image_Image_Min_Max(LogHandle log, ImageHeader& ima, const SampleRange* known);
