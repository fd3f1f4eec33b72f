// TIFF pixels: plain pages read as their samples are stored (strips or
// tiles, decoded by libtiff into machine order), the RGBA raster only for
// layouts without a sample form of their own; DEFF and DSR frames read from
// their strip lists, DSR frames rendered through their colour maps.
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/formats/local_Analyze.h"
#include "Convert/formats/local_TIFF.h"
#include "Convert/formats/local_TIFF_DSR_map.h"
#include "Convert/formats/local_TIFF_header.h"

namespace {

void Report_Page(const ReadContext& ctx, const ImageHeader& ima, const char* what, uint32_t index, uint32_t page) {
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 TIFF %s %u of page %u not readable\xF0", what, index, page);
  if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
}

// Interleaves `spp` planes of `count` samples of `bytes` each.
void Interleave(const uint8_t* planes, uint8_t* out, size_t count, unsigned spp, unsigned bytes) {
  for (unsigned p = 0; p < spp; ++p) {
    const uint8_t* in = planes + size_t{p} * count * bytes;
    for (size_t i = 0; i < count; ++i) std::memcpy(out + (i * spp + p) * bytes, in + i * bytes, bytes);
  }
}

// The current page's samples as stored, into `dst`: rows of width * spp
// samples of bps bits, machine order, planes interleaved.
int Read_Stored(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima, uint8_t* dst, uint32_t page) {
  TIFF* tif = h.tif;
  const TiffLayout& l = h.layout;
  const uint32_t w = ima.dim_x, ht = ima.dim_y;
  const unsigned bytes = l.bps / 8;
  const bool separate = l.planar == PLANARCONFIG_SEPARATE && l.spp > 1;
  const unsigned planes = separate ? l.spp : 1;
  const unsigned per_pixel = separate ? 1 : l.spp;
  const size_t row = size_t{w} * per_pixel * bytes;  // bytes of one row of one plane
  const size_t plane = row * ht;

  // Separate planes are read one after another, then interleaved.
  PixelBuffer staging;
  uint8_t* target = dst;
  if (separate) {
    staging = KEMA_ALLOC_PIXELS(ctx, uint64_t{plane} * planes, ima.name.c_str(), "planes", planes, plane);
    if (!staging) return 0;
    target = staging.data();
  }

  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, tl = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tl);
    const tmsize_t tile_size = TIFFTileSize(tif);
    if (tw == 0 || tl == 0 || tile_size <= 0) {
      Report_Page(ctx, ima, "tile layout", 0, page);
      return 0;
    }
    PixelBuffer tile = KEMA_ALLOC_PIXELS(ctx, static_cast<uint64_t>(tile_size), ima.name.c_str(), "tile", tw, tl);
    if (!tile) return 0;
    const size_t tile_row = size_t{tw} * per_pixel * bytes;
    for (unsigned p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < ht; y += tl)
        for (uint32_t x = 0; x < w; x += tw) {
          if (TIFFReadTile(tif, tile.data(), x, y, 0, static_cast<uint16_t>(p)) < 0) {
            Report_Page(ctx, ima, "tile", TIFFComputeTile(tif, x, y, 0, static_cast<uint16_t>(p)), page);
            return 0;
          }
          const uint32_t rows = std::min(tl, ht - y);
          const size_t span = size_t{std::min(tw, w - x)} * per_pixel * bytes;
          for (uint32_t r = 0; r < rows; ++r)
            std::memcpy(target + p * plane + (y + r) * row + size_t{x} * per_pixel * bytes,
                        tile.data() + r * tile_row, span);
        }
  } else {
    uint32_t rps = ht;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps);
    if (rps == 0 || rps > ht) rps = ht;
    const uint32_t strips = (ht + rps - 1) / rps;
    for (unsigned p = 0; p < planes; ++p)
      for (uint32_t s = 0; s < strips; ++s) {
        const uint32_t rows = std::min(rps, ht - s * rps);
        const tmsize_t want = static_cast<tmsize_t>(rows * row);
        const uint32_t strip = p * strips + s;
        if (TIFFReadEncodedStrip(tif, strip, target + p * plane + size_t{s} * rps * row, want) != want) {
          Report_Page(ctx, ima, "strip", strip, page);
          return 0;
        }
      }
  }
  if (separate) Interleave(staging.data(), dst, size_t{w} * ht, l.spp, bytes);
  return 1;
}

// 8-bit indexes through the colour map to RGB.
int Read_Palette(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima, uint8_t* dst, uint32_t page) {
  const size_t n = size_t{ima.dim_x} * ima.dim_y;
  PixelBuffer index = KEMA_ALLOC_PIXELS(ctx, n, ima.name.c_str(), "index", ima.dim_x, ima.dim_y);
  if (!index || !Read_Stored(ctx, h, ima, index.data(), page)) return 0;
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (!TIFFGetField(h.tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) {
    Report_Page(ctx, ima, "colour map", 0, page);
    return 0;
  }
  // Some writers store 8-bit values in the 16-bit map.
  bool narrow = true;
  for (int i = 0; i < 256 && narrow; ++i) narrow = r[i] < 256 && g[i] < 256 && b[i] < 256;
  const int shift = narrow ? 0 : 8;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t k = index.data()[i];
    dst[i * 3] = static_cast<uint8_t>(r[k] >> shift);
    dst[i * 3 + 1] = static_cast<uint8_t>(g[k] >> shift);
    dst[i * 3 + 2] = static_cast<uint8_t>(b[k] >> shift);
  }
  return 1;
}

// libtiff's RGBA raster, top row first, to RGB (or grey from the red byte).
int Read_Raster(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima, uint8_t* dst, uint32_t page,
                bool grey) {
  const size_t n = size_t{ima.dim_x} * ima.dim_y;
  PixelBuffer raster = KEMA_ALLOC_PIXELS(ctx, uint64_t{n} * 4, ima.name.c_str(), "raster", ima.dim_x, ima.dim_y);
  if (!raster) return 0;
  auto* px = reinterpret_cast<uint32_t*>(raster.data());
  if (!TIFFReadRGBAImageOriented(h.tif, ima.dim_x, ima.dim_y, px, ORIENTATION_TOPLEFT, 0)) {
    Report_Page(ctx, ima, "raster", 0, page);
    return 0;
  }
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = px[i];
    if (grey) {
      dst[i] = static_cast<uint8_t>(TIFFGetR(v));
    } else {
      dst[i * 3] = static_cast<uint8_t>(TIFFGetR(v));
      dst[i * 3 + 1] = static_cast<uint8_t>(TIFFGetG(v));
      dst[i * 3 + 2] = static_cast<uint8_t>(TIFFGetB(v));
    }
  }
  return 1;
}

int Read_Plain(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima, PixelBuffer& out) {
  TIFF* tif = h.tif;
  const TiffLayout& l = h.layout;
  const uint32_t frames = uint32_t{ima.dim_z} * ima.dim_t;
  const uint64_t n = uint64_t{ima.dim_x} * ima.dim_y;
  // Bytes of one page as read: the stored width for samples and floats.
  const unsigned read_bytes = l.path == TiffPath::Samples || l.path == TiffPath::Float ? l.bps / 8 * l.spp
                              : l.path == TiffPath::Grey8Raster                      ? 1
                                                                                     : 3;
  const uint64_t page_bytes = n * read_bytes;
  // 64-bit floats are read whole, then brought to 32-bit integers.
  PixelBuffer wide;
  uint8_t* base = out.data();
  if (l.path == TiffPath::Float && l.bps == 64) {
    wide = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(page_bytes, frames), ima.name.c_str(), "samples", static_cast<long long>(n),
                             frames);
    if (!wide) return 0;
    base = wide.data();
  }
  int ok = 1;
  for (uint32_t k = 0; k < frames && ok; ++k) {
    if (k > 0 && !TIFFSetDirectory(tif, static_cast<tdir_t>(k))) {
      Report_Page(ctx, ima, "directory", k, k);
      ok = 0;
      break;
    }
    if (l.photometric == PHOTOMETRIC_YCBCR && l.compression == COMPRESSION_JPEG)
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    uint8_t* dst = base + k * page_bytes;
    switch (l.path) {
      case TiffPath::Samples:
      case TiffPath::Float: ok = Read_Stored(ctx, h, ima, dst, k); break;
      case TiffPath::Palette: ok = Read_Palette(ctx, h, ima, dst, k); break;
      case TiffPath::Raster: ok = Read_Raster(ctx, h, ima, dst, k, false); break;
      case TiffPath::Grey8Raster: ok = Read_Raster(ctx, h, ima, dst, k, true); break;
    }
  }
  TIFFSetDirectory(tif, 0);
  if (!ok) return 0;
  const uint64_t total = page_bytes * frames;
  if (l.invert) {
    // White is zero: turning every bit over gives max - v for any width.
    for (uint64_t i = 0; i < total; ++i) out.data()[i] = static_cast<uint8_t>(~out.data()[i]);
  }
  if (l.path == TiffPath::Float) {
    const size_t count = static_cast<size_t>(n * frames);
    const float slope =
        Analyze_Float_To_Int(base, count, l.bps / 8, false, reinterpret_cast<int32_t*>(out.data()));
    ima.g2.rescale_slope = slope;
    ima.g2.rescale_intercept = 0.0f;
    Log_Print(ctx, 8, "--> float samples to 32-bit integers, rescale slope %g", static_cast<double>(slope));
  }
  return 1;
}

// A frame of the ultrasound variants: its strips one after another.
int Gather_Frame(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima, const std::vector<uint64_t>& offsets,
                 const std::vector<uint64_t>& counts, uint32_t per, uint32_t frame, uint8_t* dst, uint64_t need) {
  uint64_t have = 0;
  for (uint32_t s = 0; s < per && have < need; ++s) {
    const size_t i = size_t{frame} * per + s;
    const uint64_t take = std::min(counts[i], need - have);
    if (!KEMA_READ(ctx, *h.source, offsets[i], dst + have, static_cast<size_t>(take))) return 0;
    have += take;
  }
  if (have < need) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 frame %u holds %llu of its %llu bytes\xF0", frame,
              static_cast<unsigned long long>(have), static_cast<unsigned long long>(need));
    if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
    return 0;
  }
  return 1;
}

bool Raw_Strips(const ReadContext& ctx, const TiffHandle& h) {
  if (h.layout.compression == COMPRESSION_NONE) return true;
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 compressed ultrasound frames (compression %u) are not supported\xF0",
            h.layout.compression);
  return false;
}

int Read_Deff(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima, PixelBuffer& out) {
  if (!Raw_Strips(ctx, h)) return 0;
  const uint32_t frames = uint32_t{ima.dim_z} * ima.dim_t;
  const uint64_t n = uint64_t{ima.dim_x} * ima.dim_y;
  const unsigned spp = ima.g2.pix_plane;
  const uint64_t frame_bytes = n * spp;
  const bool separate = h.layout.planar == PLANARCONFIG_SEPARATE && spp > 1;
  PixelBuffer staging;
  if (separate) {
    staging = KEMA_ALLOC_PIXELS(ctx, frame_bytes, ima.name.c_str(), "frame", static_cast<long long>(n), spp);
    if (!staging) return 0;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    uint8_t* dst = out.data() + f * frame_bytes;
    uint8_t* into = separate ? staging.data() : dst;
    if (!Gather_Frame(ctx, h, ima, h.deff.offsets, h.deff.counts, h.deff.strips_per_frame, f, into, frame_bytes))
      return 0;
    if (separate) Interleave(staging.data(), dst, static_cast<size_t>(n), spp, 1);
  }
  return 1;
}

int Read_Dsr(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima, PixelBuffer& out) {
  if (!Raw_Strips(ctx, h)) return 0;
  const uint32_t frames = uint32_t{ima.dim_z} * ima.dim_t;
  const size_t n = size_t{ima.dim_x} * ima.dim_y;
  const TiffDsr& d = h.dsr;
  Log_Print(ctx, 8, "--> dsr->image_map_type = %d", d.image_map_type);
  if (d.image_map_type == 3) {
    Log_Print(ctx, 8, "--> B&W image (%d planes)", ima.g2.pix_plane);
    for (uint32_t f = 0; f < frames; ++f)
      if (!Gather_Frame(ctx, h, ima, d.offsets, d.counts, d.strips_per_frame, f, out.data() + f * n, n)) return 0;
    return 1;
  }
  // Grey plane, then colour plane.
  PixelBuffer frame = KEMA_ALLOC_PIXELS(ctx, uint64_t{n} * 2, ima.name.c_str(), "frame", static_cast<long long>(n), 2);
  if (!frame) return 0;
  for (uint32_t f = 0; f < frames; ++f) {
    if (!Gather_Frame(ctx, h, ima, d.offsets, d.counts, d.strips_per_frame, f, frame.data(), uint64_t{n} * 2)) return 0;
    Dsr_Render(frame.data(), frame.data() + n, n, d.image_map_type, d.color_map[0], d.baseline,
               out.data() + uint64_t{f} * n * 4);
  }
  return 1;
}

}  // namespace

int TIFF_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in TIFF_Read_Image()");
  TiffHandle* h = Tiff_Handle(ima);
  if (!h) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 TIFF file not open\xF0");
    return 0;
  }
  TiffCall call(*h, ctx);
  const uint64_t frames = uint64_t{ima.dim_z} * ima.dim_t;
  const uint64_t n = uint64_t{ima.dim_x} * ima.dim_y;
  const uint64_t size = Mul_Sat(Mul_Sat(n, frames), uint64_t{ima.g2.pix_plane} * (ima.g2.pix_store / 8));
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, size, ima.name.c_str(), "ima->data", static_cast<long long>(n),
                                      static_cast<long long>(frames));
  if (!out) return 0;
  int ok;
  if (h->deff.present) ok = Read_Deff(ctx, *h, ima, out);
  else if (h->dsr.present) ok = Read_Dsr(ctx, *h, ima, out);
  else ok = Read_Plain(ctx, *h, ima, out);
  if (!ok) return 0;
  // Samples come out in the machine's order.
  ima.g2.pix_swap = 0;
  ima.g2.pix_planar = 0;
  ima.flags |= kFlagNoCoherence;
  ima.data = std::move(out);
  return 1;
}
