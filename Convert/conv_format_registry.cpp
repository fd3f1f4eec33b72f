#include "Convert/conv_format_registry.h"

#include <algorithm>
#include <cstring>

#include "Convert/conv_format_signatures.h"
#include "Convert/conv_image_preproc.h"
#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/formats/local_Analyze.h"
#include "Convert/formats/local_Bruker.h"
#include "Convert/formats/local_Elscint.h"
#include "Convert/formats/local_Ge_CT9800.h"
#include "Convert/formats/local_Ge_Pace.h"
#include "Convert/formats/local_Ge_Signa_3.h"
#include "Convert/formats/local_Ge_Signa_5.h"
#include "Convert/formats/local_Ge_Sytec.h"
#include "Convert/formats/local_IGB.h"
#include "Convert/formats/local_Imatron.h"
#include "Convert/formats/local_Interfile.h"
#include "Convert/formats/local_JPEG.h"
#include "Convert/formats/local_Materialise.h"
#include "Convert/formats/local_Medison.h"
#include "Convert/formats/local_Philips_HDL1.h"
#include "Convert/formats/local_Philips_MRH1.h"
#include "Convert/formats/local_Picker_IQ.h"
#include "Convert/formats/local_Raw.h"
#include "Convert/formats/local_SMIS.h"
#include "Convert/formats/local_Shimadzu_SCT.h"
#include "Convert/formats/local_Siemens_Raw_A.h"
#include "Convert/formats/local_Siemens_Raw_B.h"
#include "Convert/formats/local_Siemens_Raw_C.h"
#include "Convert/formats/local_Siemens_Raw_D.h"
#include "Convert/formats/local_Siemens_Raw_E.h"
#include "Convert/formats/local_TIFF.h"
#include "Convert/formats/text_header.h"

namespace {

using F = FormatCode;

// Detection order: the rows with a test, first to last. The size gates
// (80, 1024, 3086 and 3184 bytes) fall between the rows whose minimum grows.
constexpr FormatRow kRows[] = {
    // code, name, minimum size, signature test, header reader, image reader, pre-processing
    {F::Raw, "Raw Image File", 80, Detect_Raw, Raw_Read_Header, Text_Read_Image, PreProc_Accept},
    {F::Materialise, "Materialise", 80, Detect_Materialise, Materialise_Read_Header, nullptr, nullptr},
    {F::JPEG, "JPEG", 80, Detect_JPEG, JPEG_Read_Header, JPEG_Read_Image, PreProc_Accept},
    {F::Interfile_33, "INTERFILE 3.3", 80, Detect_Interfile, Interfile_Read_Header, nullptr, PreProc_Refuse_Interfile},
    {F::GE_CT9800, "GE CT 9800", 80, Detect_GE_CT9800, GE_CT9800_Read_Header, GE_CT9800_Read_Image, PreProc_Accept},
    {F::Philips_HDL1, "Philips HDL1", 80, Detect_Philips_HDL1, Philips_HDL1_Read_Header, Philips_HDL1_Read_Image,
     PreProc_Accept},
    {F::Philips_MRH1, "Philips MRH1", 80, Detect_Philips_MRH1, Philips_MRH1_Read_Header, Philips_MRH1_Read_Image,
     PreProc_Accept},
    {F::IGB, "IGB", 80, Detect_IGB, IGB_Read_Header, nullptr, PreProc_Refuse_IGB},
    {F::Bruker, "Bruker", 80, Detect_Bruker, Bruker_Read_Header, nullptr, nullptr},
    {F::Analyze, "Analyze", 80, Detect_Analyze, Analyze_Read_Header, Analyze_Read_Image, PreProc_Accept},
    // TIFF files too small for the later gate (a thumbnail, a few rows).
    {F::TIFF, nullptr, 80, Detect_TIFF_Small, nullptr, nullptr, nullptr},

    {F::GE_Pace, "GE PACE", 1024, Detect_GE_Pace, GE_PACE_Read_Header, GE_PACE_Read_Image, PreProc_Accept},
    {F::GE_Sytec, "GE SYTEC", 1024, Detect_GE_Sytec, GE_Sytec_Read_Header, GE_Sytec_Read_Image, PreProc_Accept, true},
    {F::Papyrus_30, "PAPYRUS 3.0", 1024, Detect_Papyrus, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::Elscint, "ELSCINT", 1024, Detect_Elscint, Elscint_Read_Header, Elscint_Read_Image, Elscint_PreProc},
    {F::GE_Signa_5, "GE SIGNA-5", 1024, Detect_GE_Signa_5, GE_SIGNA_5_Read_Header, GE_SIGNA_5_Read_Image,
     PreProc_Accept},
    {F::Imatron, "IMATRON", 1024, Detect_Imatron, Imatron_Read_Header, Imatron_Read_Image, nullptr, true},
    // Element streams without a preamble: the test answers their codes.
    {F::NEMA_1, "NEMA_1", 1024, Detect_NEMA_Stream, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::DICOM_File, "DICOM FILE", 1024, Detect_DICOM_File, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::TIFF, "TIFF", 1024, Detect_TIFF, TIFF_Read_Header, TIFF_Read_Image, TIFF_PreProc},
    {F::Picker, "PICKER IQ/PQ", 1024, Detect_Picker, Picker_Read_Header, Picker_Read_Image, PreProc_Picker},
    // Also answers SOMATOM AR.
    {F::Siemens_Vision, "SIEMENS VISION", 1024, Detect_Siemens_Vision, Siemens_Vision_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},
    {F::Siemens_Plus_4, "SIEMENS PLUS 4", 1024, Detect_Siemens_Plus_4, Siemens_SomatomPlus4_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},

    {F::SMIS, "SMIS NMR", 3086, Detect_SMIS, SMIS_Read_Header, nullptr, nullptr},
    {F::GE_Pace, nullptr, 3086, Detect_GE_Pace_Anywhere, nullptr, nullptr, nullptr},
    {F::Siemens_Plus, "SIEMENS PLUS", 3086, Detect_Siemens_Plus, Siemens_SomatomPlus_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},
    {F::GE_Signa_3, "GE SIGNA-3", 3086, Detect_GE_Signa_3, GE_SIGNA_3_Read_Header, GE_SIGNA_3_Read_Image,
     PreProc_Refuse_Signa_3, true},

    {F::Medison, "MEDISON", 3184, Detect_Medison, Medison_Read_Header, Medison_Read_Image, PreProc_Accept, true},
    {F::Shimadzu, "SHIMADZU SCT-5000", 3184, Detect_Shimadzu, Shimadzu_Read_Header, Shimadzu_Read_Image,
     PreProc_Accept},
    // Last of all, so that it never takes a file an earlier test claims.
    {F::Siemens_Numaris_2, "SIEMENS NUMARIS 2", 3184, Detect_Siemens_Numaris_2, Siemens_NUMARIS_2_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},

    // Codes that no signature of their own gives: answered by a test above,
    // set by a reader, or names only.
    {F::Unknown, "Unknow Format", 0, nullptr, nullptr, nullptr, nullptr},
    {F::GE_Signa_4, "GE SIGNA-4", 0, nullptr, nullptr, nullptr, nullptr},
    {F::NEMA_1_Big, "NEMA_1", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::NEMA_2, "NEMA_2", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::NEMA_2_Big, "NEMA_2", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::DICOM, "DICOM", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::DICOM_Big, "DICOM", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::NEMA_1_Prefixed, "NEMA_1", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::NEMA_1_Prefixed_Big, "NEMA_1", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    // NUMARIS 1 files carry no signature: read when the caller names the format.
    {F::Siemens_Numaris_1, "SIEMENS NUMARIS 1", 0, nullptr, Siemens_NUMARIS_1_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},
    {F::Siemens_Somatom_AR, "SIEMENS SOMATOM AR", 0, nullptr, Siemens_Vision_Read_Header, nullptr,
     PreProc_Refuse_Siemens_Native},
    {F::Siemens_SPI_Compressed, "SIEMENS SPI (compressed)", 0, nullptr, NEMA_Read_Header, nullptr,
     PreProc_Siemens_SPI_Compressed},
    {F::Siemens_SPI, "SIEMENS SPI", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::Siemens_SPI_Big, "SIEMENS SPI", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    // A DICOM file whose pixels are stored in the (07A1,100A) element.
    {F::Elscint_Rice, "ELSCINT DICOM Lossless Rice", 0, nullptr, nullptr, nullptr, PreProc_Elscint_Rice},
    {F::Interfile_32, "INTERFILE 3.2", 0, nullptr, nullptr, nullptr, nullptr},
    {F::Papyrus_2, "PAPYRUS 2", 0, nullptr, nullptr, nullptr, nullptr},
    {F::Papyrus_31, "PAPYRUS 3.1", 0, nullptr, NEMA_Read_Header, NEMA_Read_Image, PreProc_Accept},
    {F::DEFF, "DEFF", 0, nullptr, TIFF_Read_Header, TIFF_Read_Image, TIFF_PreProc},
    {F::DSR, "DSR", 0, nullptr, TIFF_Read_Header, TIFF_Read_Image, TIFF_PreProc},
    {F::Targa, "TARGA", 0, nullptr, nullptr, nullptr, nullptr},
    {F::GIF, "GIF", 0, nullptr, nullptr, nullptr, nullptr},
};

// Row of each code, built once: detection order is not code order.
struct Index {
  const FormatRow* row[256] = {};
  constexpr Index() {
    for (const FormatRow& r : kRows)
      if (r.name && Code(r.code) < 256 && !row[Code(r.code)]) row[Code(r.code)] = &r;
  }
};
constexpr Index kIndex;

}  // namespace

std::span<const FormatRow> Format_Rows() { return kRows; }

const FormatRow* Format_Row(uint16_t code) { return code < 256 ? kIndex.row[code] : nullptr; }
