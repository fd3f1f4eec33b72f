// Format detection: a fixed sequence of signature tests over small windows
// of the input, with minimum-size gates between them. The first match wins.
#include <cstring>
#include <new>
#include <string_view>

#include "Convert/conv_readers.h"
#include "Convert/conv_util.h"
#include "Convert/kema_image.h"

namespace {

// The window last read; every test looks only at it.
class Window {
 public:
  Window(LogHandle log, const ByteSource& source) : log_(log), source_(source) {}

  // Reads n bytes at `offset` (n <= capacity); false after a logged failure.
  bool Read(uint64_t offset, size_t n) {
    size_ = 0;
    ptrdiff_t got = source_.Read_At(offset, buf_, n);
    if (got < 0) {
      Report_Read(log_, KEMA_SRC, __LINE__, source_.name().c_str());
      return false;
    }
    if (static_cast<size_t>(got) < n) {
      Report_Short_Read(log_, KEMA_SRC, __LINE__, got, static_cast<long long>(n), source_.name().c_str());
      return false;
    }
    size_ = n;
    return true;
  }

  bool Starts(std::string_view s) const { return At(0, s); }
  bool At(size_t offset, std::string_view s) const {
    return offset <= size_ && s.size() <= size_ - offset && std::memcmp(buf_ + offset, s.data(), s.size()) == 0;
  }
  bool Contains(std::string_view s, size_t from = 0) const {
    if (from >= size_) return false;
    return memmem(buf_ + from, size_ - from, s.data(), s.size()) != nullptr;
  }
  uint8_t Byte(size_t i) const { return i < size_ ? buf_[i] : 0; }
  int32_t Big32(size_t i) const {
    return static_cast<int32_t>((uint32_t{Byte(i)} << 24) | (uint32_t{Byte(i + 1)} << 16) |
                                (uint32_t{Byte(i + 2)} << 8) | Byte(i + 3));
  }

 private:
  LogHandle log_;
  const ByteSource& source_;
  uint8_t buf_[300] = {};
  size_t size_ = 0;
};

bool Is_Digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Shimadzu: ten bytes of the first 74 that must be zero.
bool Shimadzu_Zeros(const Window& w) {
  for (size_t i : {24, 25, 50, 51, 58, 59, 64, 65, 70, 71})
    if (w.Byte(i) != 0) return false;
  return true;
}

uint16_t Detect(LogHandle log, const ByteSource& src, size_t stream, const void* input) {
  const uint64_t size = src.size();
  Window w(log, src);

  if (size < 80) {
    Log_Print(log, 7, "--> smaller than 80 bytes");
    return 1;
  }
  if (!w.Read(0, 80)) return 0;
  if (w.Contains("RAW_DATA")) return 3;
  if (w.Contains("MATERIALISE_IMAGE_FILE")) return 86;
  if (w.Byte(0) == 0xFF && w.Byte(1) == 0xD8 && w.Byte(2) == 0xFF) return 103;
  if (w.Starts("INTERFILE") || w.At(1, "INTERFILE")) return 71;
  if (w.Starts("9800")) return 16;
  if (w.Starts("HDL1")) return 45;
  if (w.Starts("MRH1")) return 46;
  if (w.Contains("x:") && w.Contains("y:") && w.Contains("type:")) return 2;
  if (w.Contains("##TITLE")) return 4;
  if (w.Big32(32) == 16384 && w.Byte(38) == 'r' && static_cast<uint64_t>(static_cast<uint32_t>(w.Big32(0))) == size) {
    Log_Print(log, 7, "--> header: %d /vs/ %d", w.Big32(0), static_cast<int>(size));
    Log_Print(log, 7, "--> Analyse file");
    return 84;
  }
  // Analyze as SPM, FSL and nibabel write it: little-endian, extents and
  // regular left 0. A 348-byte file whose first integer is 348 and whose
  // dimension count (16-bit at 40) is 1 to 7, both in the same byte order.
  if (size == 348) {
    const int32_t big = w.Big32(0);
    const int32_t little = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(big)));
    const int dims_big = w.Byte(40) << 8 | w.Byte(41);
    const int dims_little = w.Byte(41) << 8 | w.Byte(40);
    if ((big == 348 && dims_big >= 1 && dims_big <= 7) || (little == 348 && dims_little >= 1 && dims_little <= 7)) {
      Log_Print(log, 7, "--> header: 348 (%s-endian) /vs/ %d", big == 348 ? "big" : "little", static_cast<int>(size));
      Log_Print(log, 7, "--> Analyse file");
      return 84;
    }
  }

  if (size < 1024) {
    Log_Print(log, 7, "--> smaller than 1024 bytes");
    return 1;
  }
  if (w.Starts("!STD")) return 14;
  if (w.At(7, "Sytec")) return 15;
  if (w.Starts("PAPYRUS")) return 81;
  if (w.Byte(0) == 0xCE && w.Byte(1) == 0xFA) return 40;
  if (w.Starts("IMGF")) return 12;

  if (size > 3247) {
    if (!w.Read(3180, 4)) return 0;
    if (w.Starts("IMGF")) return 12;
    if (!w.Read(3240, 4)) return 0;
    if (w.Starts("IMGF")) return 12;
  }

  if (!w.Read(512, 48)) return 0;
  if (w.Starts("IFHLEN")) return 65;
  bool imatron = true;
  for (size_t r = 0; r < 48; r += 12) {
    const uint8_t kind = w.Byte(r + 7);
    imatron = imatron && Is_Digit(w.Byte(r)) && w.Byte(r + 6) == 0 && (kind == 'I' || kind == 'B' || kind == 'F');
  }
  if (imatron) return 65;

  if (uint16_t nema = Reader_Stream_Format(log, src, 560)) return nema;
  Log_Print(log, 7, "--> not NEMA");

  if (!w.Read(0, 300)) return 0;
  if (w.At(128, "DICM")) return 25;
  if (w.Starts(std::string_view("II*\0", 4)) || w.Starts(std::string_view("MM\0*", 4))) {
    uint16_t code = 0;
    try {
      ImageHeader temp;
      temp.file_size = static_cast<uint32_t>(size);
      if (stream) {
        temp.input_type = 2;
        temp.stream = std::span<const uint8_t>(static_cast<const uint8_t*>(input), stream);
      } else {
        temp.input_type = 1;
        temp.input = static_cast<const char*>(input);
      }
      code = Reader_TIFF_Format(log, src, temp);
      Kema_Image_Free_Header(log, temp);
    } catch (const std::bad_alloc&) {
      Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "head", 1, static_cast<long long>(sizeof(ImageHeader)));
      return 0;
    }
    if (code) return code;
    Log_Print(log, 7, "--> TIFF_Read_Header returned NULL!");
    return 0;
  }
  if (w.Contains("dbrec") && w.Contains("rdb  ")) return 60;
  if (w.At(96, "SIEMENS")) return w.Contains("SOMATOM AR", 280) ? 34 : 35;
  if (w.Starts("SIEMENS DATA SET")) return 33;

  if (size < 3086) {
    Log_Print(log, 7, "--> smaller than 3 Kbytes");
    return 1;
  }
  if (w.Byte(109) == 12 && w.Byte(18) <= 6) return 62;
  if (w.Contains("!STD")) return 14;

  if (!w.Read(664, 12)) return 0;
  if (w.Starts("SOMATOM PLUS")) return 32;
  if (!w.Read(3072, 14)) return 0;
  if (w.Starts("STUDY HEAD")) return 10;

  if (size < 3184) {
    Log_Print(log, 7, "--> smaller than 3184 bytes");
    return 1;
  }
  if (!w.Read(1490, 2)) return 0;
  if (w.Byte(0) == 'Z' && w.Byte(1) == 'Z') return 92;
  for (uint64_t mark : {512, 1536}) {
    if (!w.Read(mark, 2)) return 0;
    if (w.Byte(0) == 0x80 && w.Byte(1) == 0x80) {
      if (!w.Read(0, 74)) return 0;
      if (Shimadzu_Zeros(w)) return 50;
    }
  }
  Log_Print(log, 7, "--> no known format");
  return 1;
}

}  // namespace

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
  return Detect(log, *source, stream, input);
}

const char* Image_Format_Name(uint16_t code) {
  switch (code) {
    case 1: return "Unknow Format";
    case 2: return "IGB";
    case 3: return "Raw Image File";
    case 4: return "Bruker";
    case 10: return "GE SIGNA-3";
    case 11: return "GE SIGNA-4";
    case 12: return "GE SIGNA-5";
    case 14: return "GE PACE";
    case 15: return "GE SYTEC";
    case 16: return "GE CT 9800";
    case 20: case 21: case 27: case 28: return "NEMA_1";
    case 22: case 23: return "NEMA_2";
    case 24: case 26: return "DICOM";
    case 25: return "DICOM FILE";
    case 30: return "SIEMENS NUMARIS 1";
    case 31: return "SIEMENS NUMARIS 2";
    case 32: return "SIEMENS PLUS";
    case 33: return "SIEMENS PLUS 4";
    case 34: return "SIEMENS SOMATOM AR";
    case 35: return "SIEMENS VISION";
    case 36: return "SIEMENS SPI (compressed)";
    case 38: case 39: return "SIEMENS SPI";
    case 40: return "ELSCINT";
    case 41: return "ELSCINT DICOM Lossless Rice";
    case 45: return "Philips HDL1";
    case 46: return "Philips MRH1";
    case 50: return "SHIMADZU SCT-5000";
    case 60: return "PICKER IQ/PQ";
    case 62: return "SMIS NMR";
    case 65: return "IMATRON";
    case 70: return "INTERFILE 3.2";
    case 71: return "INTERFILE 3.3";
    case 80: return "PAPYRUS 2";
    case 81: return "PAPYRUS 3.0";
    case 82: return "PAPYRUS 3.1";
    case 84: return "Analyze";
    case 86: return "Materialise";
    case 90: return "DEFF";
    case 91: return "DSR";
    case 92: return "MEDISON";
    case 100: return "TIFF";
    case 101: return "TARGA";
    case 102: return "GIF";
    case 103: return "JPEG";
    default: return "?";
  }
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
