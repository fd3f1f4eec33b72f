// Bringing the pixels of a record into its `data` buffer: pre-processing,
// the format's own image reader for compressed data or the generic read,
// then the range, coherence and post-processing steps.
#include "Convert/conv_format_registry.h"
#include "Convert/conv_image_preproc.h"
#include "Convert/conv_sample_read.h"
#include "Convert/conv_value_range.h"
#include "Convert/kema_image.h"

int Image_Image_PreProc(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Image_Image_PreProc()");
  if (ima.g2.compression == 0) return 1;
  const FormatRow* row = Format_Row(ima.format);
  if (!row || !row->preproc) return PreProc_Unsupported(ctx, ima);
  return row->preproc(ctx, ima);
}

namespace {

int Read_Pixels(const ReadContext& ctx, ImageHeader& ima) {
  if (!Image_Image_PreProc(ctx, ima)) return 0;

  int32_t status;
  SampleRange range;
  const FormatRow* row = Format_Row(ima.format);
  const ImageReader reader = row && row->reads_plain == (ima.g2.compression == 0) ? row->image : nullptr;
  if (ima.g2.compression != 0 || reader) {
    if (!reader) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 unsupported image type ! (format=%d)\xF0", ima.format);
      if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
      return 0;
    }
    // A reader that writes the samples itself may take their range on the way.
    ReadContext with_range = ctx;
    with_range.range = &range;
    status = reader(with_range, ima);
  } else {
    status = Image_Read_Generic(ctx, ima, &range);
  }
  // A failed read leaves no data, so that a later call tries again.
  if (status < 1) {
    ima.data.reset();
    return status;
  }

  // Every later step walks the buffer by the geometry: it must hold it.
  Image_Derive_Pixel_Type(ima);
  const uint64_t need = Image_Data_Bytes_Needed(ima);
  if (!ima.data || ima.data.size() < need) {
    Image_Report_Too_Short(ctx, ima, ima.data.size(), need);
    ima.data.reset();
    return 0;
  }

  SampleRange plain;
  if (!Image_Image_Min_Max(ctx, ima, range.count ? &range : nullptr, &plain)) {
    Log_Print(ctx, 6, "\xF1\x04" "ERROR:\xF0\x01 in Image_Compute_Min_Max() !");
    ima.data.reset();
    return 0;
  }
  const uint8_t* const samples = ima.data.data();  // the coherence step may swap them
  if (!Image_Image_Coherence(ctx, ima)) {
    Log_Print(ctx, 6, "\xF1\x04" "ERROR:\xF0\x01\t in Image_Coherence() !");
    ima.data.reset();
    return 0;
  }
  if (!Image_Image_PostProc(ctx, ima, plain.count && ima.data.data() == samples ? &plain : nullptr)) {
    Log_Print(ctx, 6, "\xF1\x04" "ERROR:\xF0\x01\t in Image_Post_Proc() !");
    ima.data.reset();
    return 0;
  }
  return status;
}

}  // namespace

int32_t Kema_Image_Get_Image(LogHandle log, ImageHeader& ima, uint8_t text_level) {
  Log_Print(log, 7, "in Kema_Image_Get_Image()");
  if (ima.data) return 1;
  const int32_t status = Read_Pixels(ReadContext{log, text_level}, ima);
  // The read is over: the record no longer holds its input open.
  ima.source.reset();
  return status;
}
