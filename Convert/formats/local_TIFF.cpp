// TIFF detection and the header read: the file is opened once per read and
// the handle travels with the record.
#include "Convert/formats/local_TIFF.h"

#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <new>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_format_registry.h"
#include "Convert/conv_header_text.h"
#include "Convert/formats/local_TIFF_header.h"

namespace {

// The number that ends a file name ("us0042" gives 42), 0 when none.
uint16_t Trailing_Number(const std::string& name) {
  size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  unsigned v = 0;
  for (size_t k = i; k < name.size(); ++k) v = (v * 10 + static_cast<unsigned>(name[k] - '0')) & 0xFFFF;
  return static_cast<uint16_t>(v);
}

// Frames of a DSR file: its frame count, bounded by the strips there are.
uint32_t Dsr_Frames(const TiffHandle& h, uint32_t strips) {
  uint32_t frames = h.dsr.frames;
  if (frames > strips) frames = strips;
  return frames;
}

}  // namespace

int Detect_TIFF(DetectProbe& p) {
  const std::string_view w = p.Window(0, 4);
  if (w != std::string_view("II*\0", 4) && w != std::string_view("MM\0*", 4) && w != std::string_view("II+\0", 4) &&
      w != std::string_view("MM\0+", 4))
    return 0;
  ImageHeader head;
  Image_Init_Header(head);
  head.input_type = p.source().is_memory() ? 2 : 1;
  head.input = p.source().name();
  // The probe's source, borrowed for the question: the temporary record is
  // released before detection returns.
  head.source = std::shared_ptr<ByteSource>(std::shared_ptr<ByteSource>{}, const_cast<ByteSource*>(&p.source()));
  const ReadContext quiet{p.ctx().log, 0};
  // A TIFF signature libtiff cannot read makes the input unreadable.
  int format = -1;
  if (TIFF_Read_Header(quiet, head)) format = head.format;
  else Log_Print(p.ctx(), 7, "--> TIFF_Read_Header returned NULL!");
  Kema_Image_Free_Header(p.ctx(), head);
  return format;
}

int Detect_TIFF_Small(DetectProbe& p) { return p.size() < 1024 ? Detect_TIFF(p) : 0; }

int TIFF_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in TIFF_Read_Header()");
  // libtiff reads files only.
  if (ima.input_type == 2) return 0;
  ima.format = Code(FormatCode::TIFF);
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 1;
  ima.modality = Modality_Code('O', 'T');
  ima.g2.compression = 1;
  ima.g1.series_num = Trailing_Number(ima.name);

  if (!ima.g2.storage) {
    std::shared_ptr<ByteSource> src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
    std::shared_ptr<TiffHandle> h = src ? Tiff_Open(ctx, std::move(src), ima.input) : nullptr;
    if (!h) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 analysing TIFF header \xF0");
      if (!ima.name.empty()) Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
      return 0;
    }
    ima.g2.storage = std::make_unique<TiffStorage>(std::move(h));
  }
  TiffHandle& h = *Tiff_Handle(ima);
  TiffCall call(h, ctx);
  if (!TIFF_Read_Header_2(ctx, h, ima)) return 0;

  if (h.deff.present) {
    ima.dim_t = static_cast<uint16_t>(std::min<uint32_t>(h.deff.frames, 0xFFFF));
    if (h.deff.interlaced) ima.g2.compression = 2;
  } else if (h.dsr.present) {
    const uint32_t strips = TIFFNumberOfStrips(h.tif);
    ima.dim_t = static_cast<uint16_t>(std::min<uint32_t>(Dsr_Frames(h, strips), 0xFFFF));
    if (ima.g1.frame_pos.empty() && ima.dim_t > 0) {
      ima.g1.frame_pos.assign(ima.dim_t, ima.g1.position);
      for (size_t k = 0; k < ima.dim_t; ++k)
        ima.g1.frame_pos[k][3] = 2 * k < h.dsr.times.size() ? static_cast<float>(h.dsr.times[2 * k]) : 0.0f;
    }
  } else {
    // Pages of the same size and samples are the frames of one record.
    ima.dim_t = static_cast<uint16_t>(Tiff_Count_Pages(h, 0xFFFF));
  }
  if (ima.dim_t == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 no whole frame in the strips of %s\xF0", ima.name.c_str());
    return 0;
  }
  Log_Print(ctx, 8, "--> TIFF: %ux%u, %u frames, %u planes of %u bits", ima.dim_x, ima.dim_y, ima.dim_t,
            ima.g2.pix_plane, ima.g2.pix_store);
  Text_End(ctx);
  return 1;
}
