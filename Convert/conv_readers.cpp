#include "Convert/conv_readers.h"

#include "Convert/dicom/local_NEMA.h"
#include "Convert/kema_image.h"
#include "Convert/vendor/local_Ge_Signa_5.h"

namespace {

struct ReaderEntry {
  uint16_t first;  // format codes first..last
  uint16_t last;
  HeaderReader header;
  ImageReader image;
};

// Formats whose reader is not here take the "unsupported image type" path.
constexpr ReaderEntry kReaders[] = {
    {12, 12, GE_SIGNA_5_Read_Header, GE_SIGNA_5_Read_Image},
    {20, 28, NEMA_Read_Header, NEMA_Read_Image},
    {36, 36, NEMA_Read_Header, nullptr},
    {38, 39, NEMA_Read_Header, NEMA_Read_Image},
    {81, 82, NEMA_Read_Header, NEMA_Read_Image},
};

const ReaderEntry* Find(uint16_t format) {
  for (const auto& e : kReaders)
    if (format >= e.first && format <= e.last) return &e;
  return nullptr;
}

}  // namespace

HeaderReader Reader_Header_For(uint16_t format) {
  const ReaderEntry* e = Find(format);
  return e ? e->header : nullptr;
}

ImageReader Reader_Image_For(uint16_t format) {
  const ReaderEntry* e = Find(format);
  return e ? e->image : nullptr;
}

uint16_t Reader_Stream_Format(LogHandle log, const ByteSource& source, uint64_t) {
  return NEMA_Get_Format(log, const_cast<ByteSource&>(source));
}

// No TIFF reader is built in yet: a TIFF signature is not accepted.
uint16_t Reader_TIFF_Format(LogHandle, const ByteSource&, ImageHeader&) { return 0; }
