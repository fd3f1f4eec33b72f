#include "Convert/conv_readers.h"

#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/kema_image.h"
#include "Convert/formats/local_Analyze.h"
#include "Convert/formats/local_Bruker.h"
#include "Convert/formats/local_Ge_Signa_5.h"
#include "Convert/formats/local_JPEG.h"
#include "Convert/formats/local_IGB.h"
#include "Convert/formats/local_Interfile.h"
#include "Convert/formats/local_Materialise.h"
#include "Convert/formats/local_Raw.h"
#include "Convert/formats/local_SMIS.h"
#include "Convert/formats/text_header.h"

namespace {

struct ReaderEntry {
  uint16_t first;  // format codes first..last
  uint16_t last;
  HeaderReader header;
  ImageReader image;
};

// Formats whose reader is not here take the "unsupported image type" path.
constexpr ReaderEntry kReaders[] = {
    {2, 2, IGB_Read_Header, nullptr},
    {3, 3, Raw_Read_Header, Text_Read_Image},
    {4, 4, Bruker_Read_Header, nullptr},
    {12, 12, GE_SIGNA_5_Read_Header, GE_SIGNA_5_Read_Image},
    {20, 28, NEMA_Read_Header, NEMA_Read_Image},
    {36, 36, NEMA_Read_Header, nullptr},
    {38, 39, NEMA_Read_Header, NEMA_Read_Image},
    {81, 82, NEMA_Read_Header, NEMA_Read_Image},
    {62, 62, SMIS_Read_Header, nullptr},
    {71, 71, Interfile_Read_Header, nullptr},
    {84, 84, Analyze_Read_Header, Analyze_Read_Image},
    {86, 86, Materialise_Read_Header, nullptr},
    {103, 103, JPEG_Read_Header, JPEG_Read_Image},
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
