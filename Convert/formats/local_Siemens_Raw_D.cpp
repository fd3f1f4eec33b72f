#include "Convert/formats/local_Siemens_Raw_D.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <algorithm>
#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/local_Siemens_Raw_A.h"
#include "Convert/formats/local_Siemens_Raw_B.h"
#include "Convert/formats/scanner_fields.h"

namespace {

enum { kInstallation = 0, kMeasurement = 1, kImageText = 2, kPixels = 3, kPatient = 9, kImage = 10 };

constexpr uint32_t kLine = 33;  // characters of an image-text line
constexpr uint32_t kTextLines = 10;
constexpr uint32_t kLabelTop = 354, kLabelRight = 362;
// Fields of the five records before the header in a file of its own.
constexpr uint32_t kRecordDate = 52, kRecordTime = 70, kRecordInstitution = 144, kRecordImage = 730;

constexpr NumarisBlock kBlocks[] = {
    {kInstallation, 72, "installation"}, {kMeasurement, 1280, "measurement"}, {kImageText, 370, "image text"},
    {kPixels, 0, "pixel data"},          {kPatient, 124, "patient"},          {kImage, 210, "image"},
};

constexpr TextCode kViewDirection[] = {{1, "Caudal"}, {2, "Cranial"}};
constexpr TextCode kPosition1[] = {{0x10, "Head first"}, {0x20, "Feet first"}};
constexpr TextCode kPosition2[] = {{1, "Supine"}, {2, "Prone"}, {3, "Right lateral"}, {4, "Left lateral"}};
constexpr TextCode kIdentifier[] = {{1, "Adjustments"}, {2, "Imaging"}, {3, "Spectroscopy"}, {4, "Test (service)"}};
struct Mode {
  int code;
  const char* sequence;
  const char* text;
};
constexpr Mode kModes[] = {{1, "SE", "SE (Spin Echo)"},
                           {2, "IR", "IR (Inversion Recovery)"},
                           {3, "FID", "FID (Free Induction Decay)"},
                           {4, "SEM", "SEM (Spin Echo; Multi Echo; CPMG)"},
                           {5, "FW", "FW (Lipid Separation)"},
                           {6, "MRA", "MRA (Angio Measurement)"}};

void Installation(const ReadContext& ctx, const FieldBlock& f) {
  Log_Print(ctx, 9, "in NUMARIS_2_Installation()");
  if (!ctx.Text_Level()) return;
  Text_Title(ctx, "---- --- Installation information --- ----");
  Text_Field(ctx, "installation:", "%.4s %.20s", std::string(f.Chars(0, 4)).c_str(), std::string(f.Chars(4, 20)).c_str());
  Text_Field_Str(ctx, "Soft version:", f.Chars(24, 8), 8);
  Text_Field_Str(ctx, "Soft Level:", f.Chars(32, 8), 8);
  Text_Field_Str(ctx, "Serial num:", f.Chars(40, 32), 32);
}

int Patient(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_2_Patient()");
  try {
    ima.g3.patient_name = f.Text(0, 26);
    ima.g3.patient_ID = f.Text(28, 12);
    ima.g3.physician_name = f.Text(84, 26);
    ima.g1.study_comment = f.Text(116, 8);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.patient_name");
    return 0;
  }
  ima.g1.study_num = static_cast<uint16_t>(f.I32(112));
  if (const char sex = f.Chars(52, 1).empty() ? 0 : f.Chars(52, 1)[0]; sex == 'M' || sex == 'F' || sex == 'O')
    ima.g3.patient_sex = sex;
  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "---- --- Patient information --- ----");
  Text_Field_Str(ctx, "Name:", f.Chars(0, 26), 26);
  Text_Field_Str(ctx, "ID:", f.Chars(28, 12), 12);
  Text_Field_Str(ctx, "Birthday:", f.Chars(40, 10), 10);
  Text_Field_Str(ctx, "Sex:", f.Chars(52, 2), 2);
  Text_Field_Str(ctx, "Maiden name:", f.Chars(56, 26), 26);
  Text_Field_Str(ctx, "Physician:", f.Chars(84, 26), 26);
  Text_Field(ctx, "Study Num:", "%lx", static_cast<unsigned long>(static_cast<uint32_t>(f.I32(112))));
  Text_Field_Str(ctx, "Study Name:", f.Chars(116, 8), 8);
  return 1;
}

void Image(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_2_Image()");
  ima.dim_x = f.U16(138);
  ima.dim_y = f.U16(140);
  if (const uint16_t bits = f.U16(148); bits >= 1 && bits <= 16) ima.g2.pix_bits = bits;
  ima.g2.hdr_min = f.I16(184);
  ima.g2.hdr_max = f.I16(186);
  const uint16_t entry = f.U16(196), position = f.U16(198);
  if (entry == 0x10 || entry == 0x20) ima.g3.patient_entry = static_cast<uint8_t>(entry);
  // The record's 3 and 4 are decubitus left and right: the file's right lateral is 3.
  static constexpr uint8_t kPosition[] = {0, 1, 2, 4, 3};
  if (position >= 1 && position <= 4) ima.g3.patient_position = kPosition[position];
  if (!ctx.Text_Level()) return;
  Text_Title(ctx, "---- --- Image information --- ----");
  Text_Field(ctx, "image mask:", "%08x", static_cast<uint32_t>(f.I32(8)));
  Text_Field_Int(ctx, "image code:", f.I16(128));
  Text_Field_Int(ctx, "matrix X:", f.U16(138));
  Text_Field_Int(ctx, "matrix Y:", f.U16(140));
  Text_Field_Int(ctx, "nb bits/pix:", f.U16(148));
  Text_Field(ctx, "Magnified area pos.:", "%d %d", f.I16(172), f.I16(174));
  Text_Field(ctx, "Magnified area size:", "%d %d", f.I16(176), f.I16(178));
  Text_Field_Int(ctx, "Min Pixel Value:", f.I16(184));
  Text_Field_Int(ctx, "Max Pixel Value:", f.I16(186));
  if (const char* name = Text_Code_Name(kViewDirection, f.I16(194)))
    Text_Field_Str(ctx, "View Direction:", name, 8);
  else
    Text_Field_Str(ctx, "View Direction:", "Invalid", 8);
  Text_Field_Code(ctx, "Patient Position 1:", entry, kPosition1);
  Text_Field_Code(ctx, "Patient Position 2:", position, kPosition2);
  Text_Field_Int(ctx, "Image Flip left/right:", f.I16(204));
  Text_Field_Int(ctx, "Image Flip up/down:", f.I16(206));
  Text_Field_Int(ctx, "Image Rotation :", f.I16(208));
}

// The slice centre and normal, taken whole or not at all: one value a float
// cannot hold would poison the overlay and the sort.
void Slice_Geometry(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  double v[6];
  for (int k = 0; k < 6; ++k) {
    v[k] = f.VAX32(368 + 4 * k);
    if (!Field_Finite(v[k])) {
      Log_Print(ctx, 8, "--> slice geometry out of range: left unset");
      return;
    }
  }
  ima.g1.position = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]), 0.0f};
  ima.g1.dir_n = {static_cast<float>(v[3]), static_cast<float>(v[4]), static_cast<float>(v[5]), 0.0f};
  ima.flags |= kFlagPosCentre;
}

int Measurement(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_2_Measurement()");
  auto& mr = ima.g4.mr;
  const int32_t mode = f.I32(192);
  const Mode* m = nullptr;
  for (const Mode& k : kModes)
    if (k.code == mode) m = &k;
  try {
    if (m) mr.scanning_sequence = m->sequence;
    mr.receiving_coil = f.Text(708, 32);
    mr.imaging_nucleus = f.Text(980, 8);
    mr.pulse_seq = f.Text(100, 64);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.mr.scanning_sequence");
    return 0;
  }
  Field_Set_Real(mr.inversion_time, f.VAX32(264));
  Field_Set_Real(mr.repetition_time, f.VAX32(268));
  Field_Set_Real(mr.echo_time, f.VAX32(520));
  Field_Set_Real(mr.field_strength, f.VAX32(884));
  Field_Set_Real(ima.g3.patient_weight, f.VAX32(16));
  Field_Set_Real(ima.g4.scan_time, f.VAX32(12));
  if (const int32_t n = f.I32(276); n > 0 && n < 65536) mr.averages = static_cast<float>(n);
  if (const int32_t slice = f.I32(364); slice > 0 && slice < 65536) ima.g1.image_num = static_cast<uint16_t>(slice);
  // The horizontal and vertical fields of view, else the square one.
  double fov_x = f.VAX32(428), fov_y = f.VAX32(432);
  if (!(Field_Finite(fov_x) && Field_Finite(fov_y) && fov_x > 0 && fov_y > 0)) fov_x = fov_y = f.VAX32(400);
  if (Field_Finite(fov_x) && fov_x > 0 && ima.dim_x && ima.dim_y) {
    ima.g1.fov[0] = static_cast<float>(fov_x);
    ima.g1.fov[1] = static_cast<float>(fov_y);
    ima.g1.pix_dim[0] = static_cast<float>(fov_x / ima.dim_x);
    ima.g1.pix_dim[1] = static_cast<float>(fov_y / ima.dim_y);
  }
  Slice_Geometry(ctx, f, ima);
  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "---- --- Measurement information --- ----");
  Text_Field_Real(ctx, "Measurement time:", f.VAX32(12), "%.2f (s)");
  Text_Field_Real(ctx, "Patient weight:", f.VAX32(16), "%.1f");
  Text_Field_Int(ctx, "Fourier lines:", f.I32(64));
  Text_Field_Str(ctx, "Sequence name:", f.Chars(100, 64), 64);
  Text_Field_Str(ctx, "Sequence originator:", f.Chars(164, 8), 8);
  Text_Field_Str(ctx, "Sequence mode:", f.Chars(172, 8), 8);
  Text_Field_Code(ctx, "Measurement:", f.I32(188), kIdentifier);
  if (m)
    Text_Field_Str(ctx, "Measurement mode:", m->text, 40);
  else
    Text_Field_Invalid(ctx, "Measurement mode:", mode);
  Text_Field_Real(ctx, "Inversion time:", f.VAX32(264), "%.2f (ms)");
  Text_Field_Real(ctx, "Repetition time:", f.VAX32(268), "%.2f (ms)");
  Text_Field_Real(ctx, "Repetition time 2:", f.VAX32(272), "%.2f (ms)");
  Text_Field_Int(ctx, "Acquisitions:", f.I32(276));
  Text_Field_Int(ctx, "Flip angle:", f.I32(284));
  Text_Field_Int(ctx, "Number of echoes:", f.I32(328));
  Text_Field_Int(ctx, "Total slices:", f.I32(360));
  Text_Field_Int(ctx, "Actual slice:", f.I32(364));
  Text_Field(ctx, "Slice position:", "%.3f %.3f %.3f", f.VAX32(368), f.VAX32(372), f.VAX32(376));
  Text_Field(ctx, "Slice normal:", "%.4f %.4f %.4f", f.VAX32(380), f.VAX32(384), f.VAX32(388));
  Text_Field_Real(ctx, "Field of view:", f.VAX32(400), "%.2f (mm)");
  Text_Field_Real(ctx, "Slice gap:", f.VAX32(408), "%.2f (mm)");
  Text_Field_Int(ctx, "Saturation pulses:", f.I32(424));
  Text_Field(ctx, "FOV horiz./vert.:", "%.2f %.2f", f.VAX32(428), f.VAX32(432));
  Text_Field_Real(ctx, "Slice delay time:", f.VAX32(440), "%.2f (ms)");
  Text_Field_Real(ctx, "Echo time:", f.VAX32(520), "%.2f (ms)");
  Text_Field_Str(ctx, "Coil:", f.Chars(708, 32), 32);
  Text_Field_Int(ctx, "Gating mode:", f.I32(760));
  Text_Field(ctx, "ECG delay/trigger:", "%.2f %.2f", f.VAX32(764), f.VAX32(768));
  Text_Field(ctx, "Breath gate/phases:", "%.2f %d", f.VAX32(772), f.I32(776));
  Text_Field_Real(ctx, "Field strength:", f.VAX32(884), "%.3f (T)");
  Text_Field_Str(ctx, "Nucleus:", f.Chars(980, 8), 8);
  Text_Field_Real(ctx, "Coil field of view:", f.VAX32(1020), "%.2f (mm)");
  static constexpr const char* kGains[] = {"Demodulator gain:", "Intermediate gain:", "Preamplifier gain:",
                                           "Total receiver gain:", "Cable attenuation:", "Low-pass frequency:",
                                           "Image scale factor:"};
  for (int k = 0; k < 7; ++k) Text_Field_Real(ctx, kGains[k], f.VAX32(1080 + 4 * k), "%.4f");
  Text_Field_Str(ctx, "Image filter:", f.Chars(1264, 16), 16);
  return 1;
}

// Lines of 33 characters, the first naming the scanner; then the two
// orientation labels.
int Image_Text(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_2_Image_Text()");
  if (ctx.Text_Level()) {
    Text_Line(ctx, "+---------------------------------+");
    for (uint32_t k = 0; k < kTextLines; ++k) Text_Line(ctx, "|%-33.33s|", std::string(f.Chars(k * kLine, kLine)).c_str());
    Text_Line(ctx, "+---------------------------------+");
    Text_Field_Str(ctx, "label top:", f.Chars(kLabelTop, 8), 8);
    Text_Field_Str(ctx, "label right:", f.Chars(kLabelRight, 8), 8);
  }
  ima.flags |= kFlagDirValid;
  return Numaris_Scanner(ctx, f.Chars(0, kLine), ima);
}

// "dd.mm.yyyy" or "yyyy.mm.dd" (a two-digit year is 19yy); false for none.
bool Record_Date(std::string_view text, int& year, int& month, int& day) {
  int v[3] = {0, 0, 0}, digits[3] = {0, 0, 0};
  size_t k = 0;
  while (k < text.size() && text[k] == ' ') ++k;
  for (int n = 0; n < 3; ++n) {
    while (k < text.size() && digits[n] < 4 && text[k] >= '0' && text[k] <= '9') v[n] = v[n] * 10 + (text[k++] - '0'), ++digits[n];
    if (digits[n] == 0 || (n < 2 && (k >= text.size() || text[k++] != '.'))) return false;
  }
  if (digits[0] == 4) {
    year = v[0], month = v[1], day = v[2];
  } else {
    year = digits[2] == 2 ? 1900 + v[2] : v[2], month = v[1], day = v[0];
  }
  return true;
}

// The first five records of a file of its own: the study's date and time,
// the institution and the image number (after the slice number the
// measurement block gives).
int File_Records(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_2_File_Records()");
  try {
    if (std::string hospital = f.Text(kRecordInstitution, 26); !hospital.empty()) ima.g3.hospital_name = std::move(hospital);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.hospital_name");
    return 0;
  }
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (Record_Date(f.Chars(kRecordDate, 10), y, mo, d)) {
    Field_Time_HMS(f.Chars(kRecordTime, 14), h, mi, sec);
    ima.g1.study_time = Field_Local_Seconds(y, mo, d, h, mi, sec);
  }
  if (const long image = f.Decimal(kRecordImage, 6); image > 0 && image < 65536)
    ima.g1.image_num = static_cast<uint16_t>(image);
  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "---- --- File records --- ----");
  Text_Field_Str(ctx, "Study date:", f.Chars(kRecordDate, 10), 10);
  Text_Field_Str(ctx, "Study time:", f.Chars(kRecordTime, 14), 14);
  Text_Field_Str(ctx, "Institution:", f.Chars(kRecordInstitution, 26), 26);
  Text_Field_Str(ctx, "Image number:", f.Chars(kRecordImage, 6), 6);
  return 1;
}

}  // namespace

int Siemens_NUMARIS_2_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> header, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Siemens_NUMARIS_2_Read_Header_2()");
  if (header.size() < kNumaris2HeaderSize) return 0;
  header = header.first(kNumaris2HeaderSize);
  NumarisDirectory dir;
  if (!Numaris_Directory(ctx, header, 0x00, 8, 5, kBlocks, "NUMARIS 2", dir)) return 0;
  ima.ima_offset = static_cast<uint32_t>(std::min<int64_t>(dir.offset[kPixels], UINT32_MAX));
  Numaris_List_Directory(ctx, header, 0x00, 8, dir, ima.ima_offset);
  Installation(ctx, FieldBlock(header.subspan(dir.offset[kInstallation]), false));
  if (!Patient(ctx, FieldBlock(header.subspan(dir.offset[kPatient]), false), ima)) return 0;
  Image(ctx, FieldBlock(header.subspan(dir.offset[kImage]), false), ima);
  if (!Measurement(ctx, FieldBlock(header.subspan(dir.offset[kMeasurement]), false), ima)) return 0;
  if (!Image_Text(ctx, FieldBlock(header.subspan(dir.offset[kImageText]), false), ima)) return 0;
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 NUMARIS 2 image matrix %u x %u\xF0", ima.dim_x, ima.dim_y);
    return 0;
  }
  return 1;
}

int Siemens_NUMARIS_2_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Siemens_NUMARIS_2_Read_Header()");
  // A file of its own holds the header after its first five records, marked
  // by "SIEMENS MED " at 286; one without the mark starts with the header.
  const uint32_t size = ima.file_size >= kNumaris2FileHeader + kNumaris2HeaderSize
                            ? kNumaris2FileHeader + kNumaris2HeaderSize
                            : kNumaris2HeaderSize;
  std::unique_ptr<uint8_t[]> block;
  if (!Siemens_Read_Block(ctx, ima, size, false, block)) return 0;
  const bool marked = std::memcmp(block.get() + 286, "SIEMENS MED ", 12) == 0;
  if (marked && size == kNumaris2HeaderSize) {  // a marked file too short for its header
    Report_Short_Read(ctx, KEMA_SRC, __LINE__, ima.file_size, kNumaris2FileHeader + kNumaris2HeaderSize,
                      ima.name.c_str());
    return 0;
  }
  const uint32_t at = marked ? kNumaris2FileHeader : 0;
  int ok = Siemens_NUMARIS_2_Read_Header_2(ctx, {block.get() + at, kNumaris2HeaderSize}, ima);
  if (ok && marked) ok = File_Records(ctx, FieldBlock({block.get(), kNumaris2FileHeader}, false), ima);
  if (ok) {
    const uint64_t pixels = uint64_t{at} + ima.ima_offset;
    if (pixels > ima.file_size) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 NUMARIS 2 block directory: entry 3 (pixel data) at %llu, past the "
                "file (%u bytes)\xF0", static_cast<unsigned long long>(pixels), ima.file_size);
      ok = 0;
    } else {
      ima.ima_offset = static_cast<uint32_t>(pixels);
      ima.flags |= kFlagRowsReversed;
    }
  }
  Text_End(ctx);
  return ok;
}
