// The strip set-up of the ultrasound variants: their frames are runs of the
// directory's strips, split into per-frame lists here and checked against
// the file before anything is read.
#include <tiffio.h>

#include <new>

#include "Convert/conv_report.h"
#include "Convert/formats/local_TIFF.h"
#include "Convert/formats/local_TIFF_header.h"

namespace {

// Splits the directory's strips into `frames` runs of `per` strips each.
int Strip_Setup(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima, uint32_t frames, uint32_t per,
                std::vector<uint64_t>& offsets, std::vector<uint64_t>& counts, const char* var_offsets,
                const char* var_counts) {
  TIFF* tif = h.tif;
  const uint32_t strips = TIFFNumberOfStrips(tif);
  uint64_t* all_offsets = nullptr;
  uint64_t* all_counts = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &all_offsets) || !TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &all_counts) ||
      !all_offsets || !all_counts) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 no strip table in %s\xF0", ima.name.c_str());
    return 0;
  }
  if (per == 0 || uint64_t{frames} * per > strips) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %u frames of %u strips, but the file holds %u strips\xF0", frames, per,
              strips);
    return 0;
  }
  const size_t n = size_t{frames} * per;
  try {
    offsets.assign(n, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", var_offsets, frames, per);
    return 0;
  }
  try {
    counts.assign(n, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", var_counts, frames, per);
    return 0;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    const size_t first = size_t{f} * per;
    Log_Print(ctx, 8, "frame[%d] -> %d strips (%08x %08x)", f, per, static_cast<unsigned>(all_offsets[first]),
              static_cast<unsigned>(all_counts[first]));
    for (uint32_t s = 0; s < per; ++s) {
      const size_t i = first + s;
      if (!h.source->Contains(all_offsets[i], all_counts[i])) {
        Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 strip %zu of frame %u (%llu bytes at %llu) lies past the end of %s\xF0",
                  i, f, static_cast<unsigned long long>(all_counts[i]), static_cast<unsigned long long>(all_offsets[i]),
                  ima.name.c_str());
        return 0;
      }
      offsets[i] = all_offsets[i];
      counts[i] = all_counts[i];
      Log_Print(ctx, 8, "offset:%8d  count:%8d", static_cast<int>(offsets[i]), static_cast<int>(counts[i]));
    }
  }
  return 1;
}

int TIFF_DEFF_New_Strip_Setup(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima) {
  const uint32_t frames = uint32_t{ima.dim_z} * ima.dim_t;
  Log_Print(ctx, 8, "TIFF_DEFF_New_Strip_Setup for %d frames ", frames);
  return Strip_Setup(ctx, h, ima, frames, h.deff.strips_per_frame, h.deff.offsets, h.deff.counts, "deff->offsets",
                     "deff->counts");
}

int TIFF_DSR_New_Strip_Setup(const ReadContext& ctx, TiffHandle& h, const ImageHeader& ima) {
  const uint32_t frames = uint32_t{ima.dim_z} * ima.dim_t;
  Log_Print(ctx, 8, "TIFF_DSR_New_Strip_Setup for %d frames ", frames);
  // Every frame has the same share of the strips.
  h.dsr.strips_per_frame = frames ? TIFFNumberOfStrips(h.tif) / frames : 0;
  return Strip_Setup(ctx, h, ima, frames, h.dsr.strips_per_frame, h.dsr.offsets, h.dsr.counts, "dsr->offsets",
                     "dsr->counts");
}

}  // namespace

int TIFF_PreProc(const ReadContext& ctx, ImageHeader& ima) {
  TiffHandle* h = Tiff_Handle(ima);
  if (!h) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 TIFF file not open\xF0");
    return 0;
  }
  TiffCall call(*h, ctx);
  if (h->deff.present) return TIFF_DEFF_New_Strip_Setup(ctx, *h, ima);
  if (h->dsr.present) return TIFF_DSR_New_Strip_Setup(ctx, *h, ima);
  return 1;
}
