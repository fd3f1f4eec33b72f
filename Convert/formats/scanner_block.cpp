#include "Convert/formats/scanner_block.h"

#include <algorithm>
#include <cstring>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_sample_read.h"
#include "Convert/formats/text_header.h"

uint16_t ScannerBlock::U16(size_t off) const {
  if (off > b_.size() || b_.size() - off < 2) return 0;
  return big_ ? static_cast<uint16_t>(b_[off] << 8 | b_[off + 1]) : static_cast<uint16_t>(b_[off + 1] << 8 | b_[off]);
}

uint32_t ScannerBlock::U32(size_t off) const {
  if (off > b_.size() || b_.size() - off < 4) return 0;
  const uint32_t hi = U16(off), lo = U16(off + 2);
  return big_ ? hi << 16 | lo : lo << 16 | hi;
}

std::string_view ScannerBlock::Chars(size_t off, size_t width) const {
  if (off >= b_.size()) return {};
  return {reinterpret_cast<const char*>(b_.data() + off), std::min(width, b_.size() - off)};
}

std::string ScannerBlock::Text(size_t off, size_t width) const {
  std::string_view s = Chars(off, width);
  s = s.substr(0, s.find('\0'));
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
}

int Scanner_Read_Rows(const ReadContext& ctx, ImageHeader& ima, const char* format_name, uint16_t fill) {
  Log_Print(ctx, 8, "in Scanner_Read_Rows()");
  const char* file = Text_Input_Name(ima);
  const unsigned bytes = ima.g2.pix_store / 8;
  if ((bytes != 1 && bytes != 2) || ima.g2.pix_store % 8 || ima.dim_x == 0 || ima.dim_y == 0) {
    Text_Error(ctx, file, "%s image of %ux%u with %u-bit samples cannot be read", format_name, ima.dim_x, ima.dim_y,
               ima.g2.pix_store);
    return 0;
  }
  const auto src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;
  const uint64_t row = uint64_t{ima.dim_x} * bytes;
  const uint64_t rows = uint64_t{ima.dim_y} * std::max<uint16_t>(ima.dim_z, 1) * std::max<uint16_t>(ima.dim_t, 1);
  const uint64_t left = ima.ima_offset < src->size() ? src->size() - ima.ima_offset : 0;
  const uint64_t held = std::min(rows, left / row);
  if (held == 0) {
    Text_Error(ctx, file, "%s pixel data: %llu bytes at %u, one row needs %llu", format_name,
               static_cast<unsigned long long>(left), ima.ima_offset, static_cast<unsigned long long>(row));
    return 0;
  }
  PixelBuffer buf = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(row, rows), ima.name.c_str(), "buffer",
                                      static_cast<long long>(rows), static_cast<long long>(row));
  if (!buf) return 0;
  if (!KEMA_READ(ctx, *src, ima.ima_offset, buf.data(), held * row)) return 0;
  if (held < rows) {
    // A file cut short shows the rows it holds; the rest is background.
    Log_Print(ctx, 8, "--> the file holds %llu of %llu rows", static_cast<unsigned long long>(held),
              static_cast<unsigned long long>(rows));
    uint8_t* p = buf.data() + held * row;
    const size_t n = (rows - held) * row;
    if (bytes == 1) {
      std::memset(p, fill & 0xFF, n);
    } else {
      const uint8_t first = ima.g2.pix_swap ? fill >> 8 : fill & 0xFF, second = ima.g2.pix_swap ? fill & 0xFF : fill >> 8;
      for (size_t i = 0; i < n; i += 2) p[i] = first, p[i + 1] = second;
    }
  }
  ima.data = Image_Read_Process(ctx, ima, std::move(buf));
  return ima.data ? 1 : 0;
}
