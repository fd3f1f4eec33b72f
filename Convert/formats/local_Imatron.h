// Imatron CT image files: 512-byte blocks, little-endian, VAX reals. Block 0
// places two tables of named entries (the file header's and the slice
// header's), each naming where its value lies in a data area; the slice
// position table gives each slice's header data, whose ISDATP entry gives
// the block of its pixels.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kImatronBlock = 512;
inline constexpr uint32_t kImatronEntrySize = 12;
inline constexpr uint32_t kImatronEntriesPerBlock = 42;

// One named entry of a table: its value is `count` elements of `type` ('B'
// text, 'I' 16-bit integer, 'F' VAX real) at 16-bit word `word` (from 1) of
// its data area.
struct ImatronEntry {
  std::string name;
  char type = 0;
  uint16_t word = 0;
  uint16_t count = 0;
};

// A table and the data area its entries point into.
struct ImatronTable {
  std::vector<ImatronEntry> entries;
  std::vector<uint8_t> data;
  const ImatronEntry* Find(std::string_view name) const;
  // The text of a 'B' entry (blanks trimmed), or "".
  std::string Text(std::string_view name) const;
  // The first element of an 'I' or 'F' entry; false when there is none.
  bool Number(std::string_view name, double& value) const;
};

int Imatron_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// The first slice's rows; a file cut short shows those it holds.
int Imatron_Read_Image(const ReadContext& ctx, ImageHeader& ima);
// Lists both tables as name and value and fills `ima` (1; 0 when the
// slice gives no pixels).
int Imatron_Read_Header_2(const ReadContext& ctx, const ImatronTable& file, const ImatronTable& slice, ImageHeader& ima);
