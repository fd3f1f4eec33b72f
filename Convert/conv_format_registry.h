// The reader registry: one row per format code, with the name `kema formats`
// prints, the signature test that detects it (where detection is by
// signature), its header reader, its image reader and the pre-processing
// of its compressed images. Detection walks the rows in table order.
//
// Adding a reader means one new file under Convert/formats/ and filling in
// its row in conv_format_registry.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Convert/conv_detect_probe.h"
#include "Convert/conv_read_context.h"

struct ImageHeader;

enum class FormatCode : uint16_t {
  None = 0,  // detection failed
  Unknown = 1,
  IGB = 2,
  Raw = 3,
  Bruker = 4,
  GE_Signa_3 = 10,
  GE_Signa_4 = 11,
  GE_Signa_5 = 12,
  GE_Pace = 14,
  GE_Sytec = 15,
  GE_CT9800 = 16,
  NEMA_1 = 20,
  NEMA_1_Big = 21,
  NEMA_2 = 22,
  NEMA_2_Big = 23,
  DICOM = 24,
  DICOM_File = 25,
  DICOM_Big = 26,
  NEMA_1_Prefixed = 27,
  NEMA_1_Prefixed_Big = 28,
  Siemens_Numaris_1 = 30,
  Siemens_Numaris_2 = 31,
  Siemens_Plus = 32,
  Siemens_Plus_4 = 33,
  Siemens_Somatom_AR = 34,
  Siemens_Vision = 35,
  Siemens_SPI_Compressed = 36,
  Siemens_SPI = 38,
  Siemens_SPI_Big = 39,
  Elscint = 40,
  Elscint_Rice = 41,
  Philips_HDL1 = 45,
  Philips_MRH1 = 46,
  Shimadzu = 50,
  Picker = 60,
  SMIS = 62,
  Imatron = 65,
  Interfile_32 = 70,
  Interfile_33 = 71,
  Papyrus_2 = 80,
  Papyrus_30 = 81,
  Papyrus_31 = 82,
  Analyze = 84,
  Materialise = 86,
  DEFF = 90,
  DSR = 91,
  Medison = 92,
  TIFF = 100,
  Targa = 101,
  GIF = 102,
  JPEG = 103,
};

constexpr uint16_t Code(FormatCode f) { return static_cast<uint16_t>(f); }

// A test answers the code it recognises (its own or one of its family),
// 0 for no, or -1 to end detection with a failure.
using DetectTest = int (*)(DetectProbe& probe);
using HeaderReader = int (*)(const ReadContext& ctx, ImageHeader& ima);
using ImageReader = int (*)(const ReadContext& ctx, ImageHeader& ima);
using PreProcHook = int (*)(const ReadContext& ctx, ImageHeader& ima);

struct FormatRow {
  FormatCode code;
  // Shown by `kema formats`; null for a second detection place of a format
  // listed earlier (its readers are that row's).
  const char* name;
  // Detection stops with "unknown" when the input is smaller than this, at
  // the first row that asks for more than there is.
  uint32_t min_size;
  DetectTest detect;     // null: not detected by a signature of its own
  HeaderReader header;   // null: no reader ("unsupported image type")
  ImageReader image;     // for compressed images (g2.compression != 0)
  PreProcHook preproc;   // null: compressed images are refused
  // The image reader is for plainly stored samples instead (g2.compression
  // 0), so that a file cut short shows the rows it holds rather than failing
  // the generic read; such a format reads no compressed images.
  bool reads_plain = false;
};

// Every row, in detection order.
std::span<const FormatRow> Format_Rows();
// The row that names a code, or null for a code that is no format.
const FormatRow* Format_Row(uint16_t code);
