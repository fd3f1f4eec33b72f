// Format detection: the registry's signature tests in their order, with
// minimum-size gates between them. The first match wins.
#include "Convert/conv_format_registry.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"

namespace {

const char* Gate_Text(uint32_t min_size) {
  switch (min_size) {
    case 80: return "--> smaller than 80 bytes";
    case 1024: return "--> smaller than 1024 bytes";
    case 3086: return "--> smaller than 3 Kbytes";
    default: return "--> smaller than 3184 bytes";
  }
}

}  // namespace

uint16_t Image_Detect_Format(const ReadContext& ctx, const ByteSource& source) {
  DetectProbe probe(ctx, source);
  for (const FormatRow& row : Format_Rows()) {
    if (!row.detect) continue;
    if (source.size() < row.min_size) {
      Log_Print(ctx, 7, "%s", Gate_Text(row.min_size));
      return Code(FormatCode::Unknown);
    }
    const int code = row.detect(probe);
    if (probe.Failed() || code < 0) return 0;
    if (code > 0) return static_cast<uint16_t>(code);
  }
  Log_Print(ctx, 7, "--> no known format");
  return Code(FormatCode::Unknown);
}

uint16_t Kema_Image_Get_Format(LogHandle log, size_t stream, const void* input) {
  Log_Print(log, 7, "in Kema_Image_Get_Format(stream:%d)", static_cast<int>(stream));
  if (!input) return 0;
  std::unique_ptr<ByteSource> source;
  if (stream) {
    Log_Print(log, 7, "--> input is a data stream");
    source = ByteSource::From_Memory(std::span<const uint8_t>(static_cast<const uint8_t*>(input), stream),
                                     "memory stream");
  } else {
    Log_Print(log, 7, "--> input is a file");
    source = Source_Open(log, static_cast<const char*>(input), KEMA_SRC, __LINE__);
    if (!source) return 0;
  }
  return Image_Detect_Format(ReadContext{log}, *source);
}

const char* Image_Format_Name(uint16_t code) {
  const FormatRow* row = Format_Row(code);
  return row ? row->name : "?";
}

const char* Image_Type_Name(uint16_t image_type) {
  static constexpr const char* kNames[] = {"?",     "AXIAL",          "SAGITTAL",      "CORONAL", "OBLIQUE",
                                           "SCOUT", "SCOUT SAGITTAL", "SCOUT_CORONAL", "DERIVED"};
  return image_type >= 1 && image_type <= 8 ? kNames[image_type] : "?";
}

const char* Image_Modality_Name(uint16_t modality) {
  struct Entry {
    char a, b;
    const char* name;
  };
  static constexpr Entry kModalities[] = {
      {'A', 'S', "AS Angioscopy"},
      {'B', 'I', "BI Biomagnetic imaging"},
      {'C', 'D', "CD Color flow Doppler"},
      {'C', 'F', "CF Cinefluorography"},
      {'C', 'P', "CP Culposcopy"},
      {'C', 'R', "CR Computed Radiography"},
      {'C', 'S', "CS Cystoscopy"},
      {'C', 'T', "CT Computed Tomography"},
      {'D', 'D', "DD Duplex Doppler"},
      {'D', 'F', "DF Digital Fluoroscopy"},
      {'D', 'G', "DG Diaphanography"},
      {'D', 'M', "DM Digital microscopy"},
      {'D', 'S', "DS Digital Subtraction Angiography"},
      {'E', 'C', "EC Echocardiography"},
      {'F', 'A', "FA Fluorescein angiography"},
      {'F', 'S', "FS Fundoscopy"},
      {'L', 'P', "LP Laparoscopy"},
      {'L', 'S', "LS Laser Surface Scan"},
      {'M', 'A', "EC Magnetic Resonance Angiography"},
      {'M', 'R', "MR Magnetic Resonance"},
      {'M', 'S', "MS Magnetic Resonance spectroscopy"},
      {'N', 'M', "NM Nuclear Medecine"},
      {'O', 'T', "OT Other"},
      {'P', 'T', "PT Positron emission tomography (PET)"},
      {'R', 'G', "RG Radiographic imaging (conventional film)"},
      {'S', 'T', "ST Single-photon emission tomography (SPECT)"},
      {'T', 'G', "TG Thermography"},
      {'U', 'S', "US Ultrasound"},
      {'V', 'F', "VF Videofluorography"},
  };
  for (const Entry& e : kModalities)
    if (Modality_Code(e.a, e.b) == modality) return e.name;
  return "?";
}
