#include "Convert/conv_raw_import.h"

#include <algorithm>

#include "Convert/conv_budget.h"
#include "Convert/conv_sample_read.h"
#include "Convert/conv_value_range.h"

unsigned Raw_Layout_Bytes(RawLayout layout) {
  static constexpr unsigned kBytes[] = {1, 2, 3, 4, 4};
  const auto i = static_cast<size_t>(layout);
  return i < std::size(kBytes) ? kBytes[i] : 1;
}

namespace {

bool Is_Grey(RawLayout layout) {
  return layout == RawLayout::Grey8 || layout == RawLayout::Grey16 || layout == RawLayout::Grey32;
}

// The record as the reader of a described file would leave it.
void Describe(ImageHeader& ima, const std::string& file, const RawImportSpec& spec, uint64_t index,
              uint64_t offset, uint64_t file_size) {
  ima.format = 1;
  ima.g1.pix_dim[0] = ima.g1.pix_dim[1] = 1.0f;
  ima.g2.rescale_slope = 1.0f;
  ima.g2.rescale_intercept = 0;
  ima.dim_z = ima.dim_t = 1;
  ima.dim_x = spec.width;
  ima.dim_y = spec.height;
  ima.g1.image_idx = static_cast<uint16_t>(index);
  ima.g1.series_num = spec.series;
  ima.input_type = 1;
  ima.file_data = ima.input = file;
  Image_Split_Name(ima.input, ima.path, ima.name, ima.ext);
  ima.g3.patient_name = "raw image";
  ima.header_size = static_cast<uint32_t>(std::min<uint64_t>(spec.file_header, UINT32_MAX));
  ima.image_gap = static_cast<uint32_t>(std::min<uint64_t>(spec.image_header, UINT32_MAX));
  ima.file_size = static_cast<uint32_t>(std::min<uint64_t>(file_size, UINT32_MAX));
  ima.ima_offset = static_cast<uint32_t>(std::min<uint64_t>(offset, UINT32_MAX));
  const bool grey = Is_Grey(spec.layout);
  const unsigned b = Raw_Layout_Bytes(spec.layout);
  ima.g2.pix_store = ima.g2.pix_bits = static_cast<uint16_t>(grey ? 8 * b : 8);
  ima.g2.pix_plane = static_cast<uint8_t>(grey ? 1 : spec.layout == RawLayout::RGB ? 3 : 4);
  ima.g2.pix_planar = static_cast<uint8_t>(grey ? 0 : spec.planar);
  ima.g2.pix_sign = static_cast<uint8_t>(grey ? spec.sign : 0);
  ima.g2.pix_swap = static_cast<uint8_t>(spec.layout == RawLayout::Grey8 ? 0 : spec.swap);
  ima.g2.pix_high = static_cast<uint8_t>(ima.g2.pix_bits - 1);
  static constexpr uint8_t kGrey[3][2] = {{kPixU8, kPixS8}, {kPixU16, kPixS16}, {kPixU32, kPixS32}};
  ima.g2.pix_type = grey ? kGrey[b == 1 ? 0 : b == 2 ? 1 : 2][ima.g2.pix_sign]
                         : static_cast<uint8_t>(spec.layout == RawLayout::RGB ? kPixRGB8 : kPixRGBA8);
}

}  // namespace

std::unique_ptr<ImageHeader> Image_Raw_Import(LogHandle log, const ByteSource& source, const std::string& file,
                                              const RawImportSpec& spec, uint64_t index) {
  Log_Print(log, 9, "in Image_Raw_Import(%s, %llu)", file.c_str(), static_cast<unsigned long long>(index));
  const uint64_t image_bytes = Mul_Sat(Mul_Sat(spec.width, spec.height), Raw_Layout_Bytes(spec.layout));
  const uint64_t step = image_bytes > UINT64_MAX - spec.image_header ? UINT64_MAX : image_bytes + spec.image_header;
  const uint64_t before = Mul_Sat(step, index);
  const uint64_t offset = before > UINT64_MAX - spec.file_header - spec.image_header
                              ? UINT64_MAX
                              : spec.file_header + before + spec.image_header;
  if (spec.width == 0 || spec.height == 0 || !source.Contains(offset, image_bytes)) {
    const uint64_t left = offset < source.size() ? source.size() - offset : 0;
    Log_Print(log, 2, "EOF while reading (%d /vs/ %d) file: (%s)", static_cast<int>(std::min<uint64_t>(left, INT32_MAX)),
              static_cast<int>(std::min<uint64_t>(image_bytes, INT32_MAX)), file.c_str());
    return nullptr;
  }
  std::unique_ptr<ImageHeader> ima;
  try {
    ima = std::make_unique<ImageHeader>();
    Image_Init_Header(*ima);
    Describe(*ima, file, spec, index, offset, source.size());
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "ima", 1, static_cast<long long>(sizeof(ImageHeader)));
    return nullptr;
  }
  PixelBuffer buf = KEMA_ALLOC_PIXELS(log, image_bytes, file.c_str(), "buf", static_cast<long long>(image_bytes), 1);
  if (!buf) return nullptr;
  const ptrdiff_t got = source.Read_At(offset, buf.data(), image_bytes);
  if (got != static_cast<ptrdiff_t>(image_bytes)) {
    Log_Print(log, 2, "EOF while reading (%d /vs/ %d) file: (%s)", static_cast<int>(std::max<ptrdiff_t>(got, 0)),
              static_cast<int>(std::min<uint64_t>(image_bytes, INT32_MAX)), file.c_str());
    return nullptr;
  }
  ima->data = Image_Read_Process(log, *ima, std::move(buf));
  if (!ima->data || !Image_Image_Min_Max(log, *ima)) {
    Log_Print(log, 6, "Unable to process data for image %s", file.c_str());
    return nullptr;
  }
  return ima;
}
