// Elscint CT image files: a 1024-byte little-endian header, a table of
// compressed line lengths, and the pixels from byte 3072, plain or
// line-compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kElscintHeaderSize = 1024;
inline constexpr uint32_t kElscintTableOffset = 1024;
inline constexpr uint32_t kElscintTableSize = 2048;  // 1024 16-bit entries
inline constexpr uint32_t kElscintDataOffset = 3072;

int Elscint_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes the 1024-byte header block into `ima` and lists it; 1.
int Elscint_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
// Builds the line tables of a compressed image (g2.storage).
int Elscint_PreProc(const ReadContext& ctx, ImageHeader& ima);
int Elscint_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// The line tables of a compressed image.
struct ElscintStorage final : FormatStorage {
  std::vector<uint32_t> line_offset;  // file offset of each row
  std::vector<uint16_t> line_start;   // first column (0 for empty rows)
  std::vector<uint16_t> line_stop;    // first column + pixel count (0 for empty rows)
  std::vector<uint16_t> line_length;  // compressed length in 16-bit words
  uint32_t table_tail = 0;            // the last four bytes of the line-length table
  uint16_t spare = 0;
  // Rows whose bytes lie wholly inside the file; the rows after them are
  // missing (a file cut short) and read as fill.
  uint32_t rows_present = 0;
  // The rows' bytes read from a file while the tables were built, handed
  // on to the decoding (which then drops them); not copied.
  SourceBytes row_bytes;
  int Copy_To(LogHandle log, ImageHeader& target) const override;
};

// Decodes one compressed row of `n` 16-bit words (bytes as stored) into
// `row` of `width` samples; columns past the width are dropped. 1, or 0
// when the difference stream runs past the row's length. `scratch` holds
// 2n bytes (the stream in reading order); runs of one-byte differences are
// summed sixteen or thirty-two at a time where the processor allows.
// `readable`: how many bytes after the row may be read (never used), so
// that the last codes of a row need not go one by one.
int Elscint_Decode_Row(std::span<const uint8_t> stored, uint16_t* row, size_t width, uint8_t* scratch,
                       size_t readable = 0);
// The same, one code at a time: the reference the fast path must match.
int Elscint_Decode_Row_Scalar(std::span<const uint8_t> stored, uint16_t* row, size_t width);
