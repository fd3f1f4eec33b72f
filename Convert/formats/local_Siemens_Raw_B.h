// Siemens NUMARIS 1 MR files: a 4096-byte big-endian header that starts
// with a block directory (installation, measurement, image text, pixels)
// and plain 16-bit big-endian samples in the pixel block. Also the block
// directory and the scanner-name rule NUMARIS 2 shares.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kNumaris1HeaderSize = 4096;

int Siemens_NUMARIS_1_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes a whole 4096-byte header; 1, or 0 after a logged failure.
int Siemens_NUMARIS_1_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> header, ImageHeader& ima);

// The block directory at the start of a NUMARIS header: entry k names the
// record r(k) where block k starts, (r(k) - bias) records into the header.
struct NumarisDirectory {
  uint16_t nb_entry = 0;
  uint16_t sz_entry = 0;   // 16-bit words
  uint16_t sz_record = 0;  // bytes
  std::array<int64_t, 11> offset{};  // block k's offset in the header
};
// What a reader asks of one block: its entry and the bytes it reads there
// (0 for the pixel block, which lies after the header).
struct NumarisBlock {
  int entry;
  uint32_t size;
  const char* name;
};
// Reads and checks the directory: the entries inside the header and every
// asked block inside it too, else one ERROR line naming the entry and both
// sizes. 1, or 0 after that line.
int Numaris_Directory(const ReadContext& ctx, std::span<const uint8_t> header, uint8_t mode, size_t first_entry,
                      int bias, std::span<const NumarisBlock> blocks, const char* format, NumarisDirectory& dir);
// Lists the directory under "---- Original NUMARIS 2 Header ----".
void Numaris_List_Directory(const ReadContext& ctx, std::span<const uint8_t> header, uint8_t mode,
                            size_t first_entry, const NumarisDirectory& dir, uint32_t ima_offset);
// The scanner name of an image text: "MAGNET..." is an MR scanner (MAGNETOM),
// "SOMATO..." a CT one (SOMATOM); the model is set only when none is yet.
// 1, or 0 after a memory failure.
int Numaris_Scanner(const ReadContext& ctx, std::string_view name, ImageHeader& ima);
