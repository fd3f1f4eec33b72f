#include "Convert/conv_format_signatures.h"

#include <cstring>

namespace {

using View = std::string_view;

bool Starts(View w, View s) { return w.substr(0, s.size()) == s; }
bool At(View w, size_t offset, View s) { return offset <= w.size() && w.substr(offset, s.size()) == s; }
bool Contains(View w, View s, size_t from = 0) { return from < w.size() && w.find(s, from) != View::npos; }
uint8_t Byte(View w, size_t i) { return i < w.size() ? static_cast<uint8_t>(w[i]) : 0; }
int32_t Big32(View w, size_t i) {
  return static_cast<int32_t>((uint32_t{Byte(w, i)} << 24) | (uint32_t{Byte(w, i + 1)} << 16) |
                              (uint32_t{Byte(w, i + 2)} << 8) | Byte(w, i + 3));
}
bool Is_Digit(uint8_t c) { return c >= '0' && c <= '9'; }

// The first bytes as the early tests see them.
View Head80(DetectProbe& p) { return p.Window(0, 80); }
// The longer view of the later tests.
View Head300(DetectProbe& p) { return p.Window(0, 300); }

int If(bool match, FormatCode code) { return match ? Code(code) : 0; }

}  // namespace

int Detect_Raw(DetectProbe& p) { return If(Contains(Head80(p), "RAW_DATA"), FormatCode::Raw); }
int Detect_Materialise(DetectProbe& p) {
  return If(Contains(Head80(p), "MATERIALISE_IMAGE_FILE"), FormatCode::Materialise);
}
int Detect_JPEG(DetectProbe& p) { return If(Starts(Head80(p), "\xFF\xD8\xFF"), FormatCode::JPEG); }
int Detect_Interfile(DetectProbe& p) {
  const View w = Head80(p);
  return If(Starts(w, "INTERFILE") || At(w, 1, "INTERFILE"), FormatCode::Interfile_33);
}
int Detect_GE_CT9800(DetectProbe& p) { return If(Starts(Head80(p), "9800"), FormatCode::GE_CT9800); }
int Detect_Philips_HDL1(DetectProbe& p) { return If(Starts(Head80(p), "HDL1"), FormatCode::Philips_HDL1); }
int Detect_Philips_MRH1(DetectProbe& p) { return If(Starts(Head80(p), "MRH1"), FormatCode::Philips_MRH1); }
int Detect_IGB(DetectProbe& p) {
  const View w = Head80(p);
  return If(Contains(w, "x:") && Contains(w, "y:") && Contains(w, "type:"), FormatCode::IGB);
}
int Detect_Bruker(DetectProbe& p) { return If(Contains(Head80(p), "##TITLE"), FormatCode::Bruker); }

int Detect_Analyze(DetectProbe& p) {
  const View w = Head80(p);
  const ReadContext& ctx = p.ctx();
  const uint64_t size = p.size();
  if (Big32(w, 32) == 16384 && Byte(w, 38) == 'r' && static_cast<uint64_t>(static_cast<uint32_t>(Big32(w, 0))) == size) {
    Log_Print(ctx, 7, "--> header: %d /vs/ %d", Big32(w, 0), static_cast<int>(size));
    Log_Print(ctx, 7, "--> Analyse file");
    return Code(FormatCode::Analyze);
  }
  // Analyze as SPM, FSL and nibabel write it: little-endian, extents and
  // regular left 0. A 348-byte file whose first integer is 348 and whose
  // dimension count (16-bit at 40) is 1 to 7, both in the same byte order.
  if (size == 348) {
    const int32_t big = Big32(w, 0);
    const int32_t little = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(big)));
    const int dims_big = Byte(w, 40) << 8 | Byte(w, 41);
    const int dims_little = Byte(w, 41) << 8 | Byte(w, 40);
    if ((big == 348 && dims_big >= 1 && dims_big <= 7) || (little == 348 && dims_little >= 1 && dims_little <= 7)) {
      Log_Print(ctx, 7, "--> header: 348 (%s-endian) /vs/ %d", big == 348 ? "big" : "little", static_cast<int>(size));
      Log_Print(ctx, 7, "--> Analyse file");
      return Code(FormatCode::Analyze);
    }
  }
  return 0;
}

int Detect_GE_Pace(DetectProbe& p) { return If(Starts(Head80(p), "!STD"), FormatCode::GE_Pace); }
int Detect_GE_Sytec(DetectProbe& p) { return If(At(Head80(p), 7, "Sytec"), FormatCode::GE_Sytec); }
int Detect_Papyrus(DetectProbe& p) { return If(Starts(Head80(p), "PAPYRUS"), FormatCode::Papyrus_30); }
int Detect_Elscint(DetectProbe& p) { return If(Starts(Head80(p), "\xCE\xFA"), FormatCode::Elscint); }

// The Genesis magic at the start, or behind one of the two older prefixes.
int Detect_GE_Signa_5(DetectProbe& p) {
  if (Starts(Head80(p), "IMGF")) return Code(FormatCode::GE_Signa_5);
  if (p.size() > 3247) {
    for (uint64_t at : {3180, 3240}) {
      const View w = p.Window(at, 4);
      if (p.Failed()) return 0;
      if (Starts(w, "IMGF")) return Code(FormatCode::GE_Signa_5);
    }
  }
  return 0;
}

// "IFHLEN" at 512, or four 12-byte directory entries there: a digit, a
// zero at 6 and a kind letter at 7.
int Detect_Imatron(DetectProbe& p) {
  const View w = p.Window(512, 48);
  if (p.Failed()) return 0;
  if (Starts(w, "IFHLEN")) return Code(FormatCode::Imatron);
  for (size_t r = 0; r < 48; r += 12) {
    const uint8_t kind = Byte(w, r + 7);
    if (!(Is_Digit(Byte(w, r)) && Byte(w, r + 6) == 0 && (kind == 'I' || kind == 'B' || kind == 'F'))) return 0;
  }
  return Code(FormatCode::Imatron);
}

int Detect_DICOM_File(DetectProbe& p) { return If(At(Head300(p), 128, "DICM"), FormatCode::DICOM_File); }

int Detect_Picker(DetectProbe& p) {
  const View w = Head300(p);
  return If(Contains(w, "dbrec") && Contains(w, "rdb  "), FormatCode::Picker);
}
int Detect_Siemens_Vision(DetectProbe& p) {
  const View w = Head300(p);
  if (!At(w, 96, "SIEMENS")) return 0;
  return Contains(w, "SOMATOM AR", 280) ? Code(FormatCode::Siemens_Somatom_AR) : Code(FormatCode::Siemens_Vision);
}
int Detect_Siemens_Plus_4(DetectProbe& p) {
  return If(Starts(Head300(p), "SIEMENS DATA SET"), FormatCode::Siemens_Plus_4);
}
int Detect_SMIS(DetectProbe& p) {
  const View w = Head300(p);
  return If(Byte(w, 109) == 12 && Byte(w, 18) <= 6, FormatCode::SMIS);
}
int Detect_GE_Pace_Anywhere(DetectProbe& p) { return If(Contains(Head300(p), "!STD"), FormatCode::GE_Pace); }
int Detect_Siemens_Plus(DetectProbe& p) { return If(Starts(p.Window(664, 12), "SOMATOM PLUS"), FormatCode::Siemens_Plus); }
int Detect_GE_Signa_3(DetectProbe& p) { return If(Starts(p.Window(3072, 14), "STUDY HEAD"), FormatCode::GE_Signa_3); }
int Detect_Medison(DetectProbe& p) { return If(Starts(p.Window(1490, 2), "ZZ"), FormatCode::Medison); }

// The 0x80 0x80 mark at 512 or 1536, and ten bytes of the first 74 that
// must be zero.
int Detect_Shimadzu(DetectProbe& p) {
  for (uint64_t mark : {512, 1536}) {
    const View m = p.Window(mark, 2);
    if (p.Failed()) return 0;
    if (Byte(m, 0) != 0x80 || Byte(m, 1) != 0x80) continue;
    const View w = p.Window(0, 74);
    bool zeros = !p.Failed();
    for (size_t i : {24, 25, 50, 51, 58, 59, 64, 65, 70, 71}) zeros = zeros && Byte(w, i) == 0;
    if (zeros) return Code(FormatCode::Shimadzu);
  }
  return 0;
}

// "SIEMENS MED " at 286, in the first of the five records before the header.
int Detect_Siemens_Numaris_2(DetectProbe& p) {
  return If(Starts(p.Window(286, 12), "SIEMENS MED "), FormatCode::Siemens_Numaris_2);
}
