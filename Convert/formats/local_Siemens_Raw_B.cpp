#include "Convert/formats/local_Siemens_Raw_B.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"
#include "Convert/formats/local_Siemens_Raw_A.h"
#include "Convert/formats/local_Siemens_Raw_C.h"
#include "Convert/formats/scanner_fields.h"

namespace {

// Directory entries of the blocks.
enum { kInstallation = 0, kMeasurement = 1, kImageText = 2, kPixels = 3 };
constexpr uint32_t kLine = 42;  // characters of an image-text line
constexpr uint32_t kTextLines = 12;

constexpr NumarisBlock kBlocks[] = {
    {kInstallation, 40, "installation"},
    {kMeasurement, 112, "measurement"},
    {kImageText, kTextLines * kLine, "image text"},
    {kPixels, 0, "pixel data"},
};

constexpr TextCode kOrientation[] = {{1, "Transverse"}, {2, "Sagittal"}, {3, "Coronal"}};

void Installation(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_1_Installation()");
  ima.dim_x = f.U16(8);
  ima.dim_y = f.U16(10);
  if (const uint16_t bits = f.U16(12); bits >= 1 && bits <= 16) ima.g2.pix_bits = bits;
  if (const double size = f.F32(16); Field_Finite(size) && size > 0)
    ima.g1.pix_dim[0] = ima.g1.pix_dim[1] = static_cast<float>(size);
  ima.g2.hdr_min = f.I16(32);
  ima.g2.hdr_max = f.I16(36);
  if (!ctx.Text_Level()) return;
  Text_Title(ctx, "---- --- data info --- ----");
  Text_Field_Int(ctx, "Data code:", f.I16(0));
  Text_Field_Int(ctx, "Header version:", f.I16(2));
  Text_Field_Int(ctx, "Text lines:", f.I16(4));
  Text_Field_Int(ctx, "Text columns:", f.I16(6));
  Text_Field(ctx, "Image matrix:", "%d x %d", f.U16(8), f.U16(10));
  Text_Field_Int(ctx, "Bit depth:", f.U16(12));
  Text_Field_Int(ctx, "Pixels / 10 cm:", f.U16(14));
  Text_Field_Real(ctx, "Pixel size:", f.F32(16), "%.4f (mm)");
  Text_Field_Real(ctx, "Magnification:", f.F32(20));
  Text_Field_Int(ctx, "Scrolling:", f.I16(24));
  Text_Field_Real(ctx, "Norm factor:", f.F32(28), "%.4f");
  Text_Field_Int(ctx, "Min pixel:", f.I16(32));
  Text_Field_Int(ctx, "Mean pixel:", f.I16(34));
  Text_Field_Int(ctx, "Max pixel:", f.I16(36));
  Text_Field_Int(ctx, "Archiving:", f.I16(38));
}

int Measurement(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_1_Measurement()");
  auto& mr = ima.g4.mr;
  try {
    mr.receiving_coil = f.Text(24, 16);
    mr.imaging_nucleus = f.Text(96, 8);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.mr.receiving_coil");
    return 0;
  }
  mr.averages = f.I16(18);
  if (const int16_t echo = f.I16(42); echo > 0) mr.echo_number = static_cast<uint16_t>(echo);
  if (const int16_t slice = f.I16(44); slice > 0) ima.g1.image_num = static_cast<uint16_t>(slice);
  const int16_t orient = f.I16(46);
  if (orient >= 1 && orient <= 3) ima.image_type = static_cast<uint16_t>(orient);  // axial, sagittal, coronal
  Field_Set_Real(mr.imaging_frequency, f.F32(60));
  // Times are stored in seconds, the record keeps milliseconds.
  Field_Set_Real(mr.repetition_time, f.F32(64) * 1000.0);
  Field_Set_Real(mr.inversion_time, f.F32(68) * 1000.0);
  Field_Set_Real(mr.field_strength, f.F32(72));
  Field_Set_Real(ima.g1.pix_size[2], f.F32(76));
  Field_Set_Real(ima.g4.table_pos, f.F32(108));
  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "---- --- Measurement information --- ----");
  Text_Field_Int(ctx, "Gating:", f.I16(0));
  Text_Field_Str(ctx, "Sequence file:", f.Chars(2, 16), 16);
  Text_Field_Int(ctx, "Averages:", f.I16(18));
  Text_Field_Int(ctx, "Lines:", f.I16(20));
  Text_Field_Int(ctx, "Columns:", f.I16(22));
  Text_Field_Str(ctx, "Measured coil:", f.Chars(24, 16), 16);
  Text_Field_Int(ctx, "Filter:", f.I16(40));
  Text_Field_Int(ctx, "Echo number:", f.I16(42));
  Text_Field_Int(ctx, "Slice number:", f.I16(44));
  Text_Field_Code(ctx, "Slice orientation:", orient, kOrientation);
  Text_Field(ctx, "Gradient amplitudes:", "%.4f %.4f %.4f", f.F32(48), f.F32(52), f.F32(56));
  Text_Field_Real(ctx, "NMR frequency:", f.F32(60), "%.6f (MHz)");
  Text_Field_Real(ctx, "Repetition time:", f.F32(64), "%.4f (s)");
  Text_Field_Real(ctx, "Inversion time:", f.F32(68), "%.4f (s)");
  Text_Field_Real(ctx, "Field strength:", f.F32(72), "%.2f (T)");
  Text_Field_Real(ctx, "Slice thickness:", f.F32(76), "%.2f (mm)");
  Text_Field_Real(ctx, "Slice gap:", f.F32(80), "%.2f (mm)");
  Text_Field(ctx, "Slice distances:", "%.2f %.2f %.2f", f.F32(84), f.F32(88), f.F32(92));
  Text_Field_Str(ctx, "Nucleus:", f.Chars(96, 8), 8);
  Text_Field_Real(ctx, "Table position:", f.F32(108), "%.2f (mm)");
  return 1;
}

// Lines: 0 the scanner name, 1 the hospital, 2 the patient ID, 3 the date
// ("DD-MMM-YY"), 4 the time ("hh:mm:ss"); the rest free annotation.
int Image_Text(const ReadContext& ctx, const FieldBlock& f, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NUMARIS_1_Image_Text()");
  try {
    ima.g3.hospital_name = f.Text(1 * kLine, kLine);
    ima.g3.patient_ID = f.Text(2 * kLine, kLine);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g3.hospital_name");
    return 0;
  }
  ima.g1.study_time = ima.g1.image_time = Siemens_Date_Seconds(f.Chars(3 * kLine, kLine), f.Chars(4 * kLine, kLine));
  if (ctx.Text_Level()) {
    Text_Line(ctx, "+------------------------------------------+");
    for (uint32_t k = 0; k < kTextLines; ++k) Text_Line(ctx, "|%-42.42s|", std::string(f.Chars(k * kLine, kLine)).c_str());
    Text_Line(ctx, "+------------------------------------------+");
  }
  return Numaris_Scanner(ctx, f.Chars(0, kLine), ima);
}

}  // namespace

int Numaris_Directory(const ReadContext& ctx, std::span<const uint8_t> header, uint8_t mode, size_t first_entry,
                      int bias, std::span<const NumarisBlock> blocks, const char* format, NumarisDirectory& dir) {
  const FieldBlock f(header, mode & 0x01);
  dir.nb_entry = f.U16(0);
  dir.sz_entry = f.U16(2);
  dir.sz_record = f.U16(4);
  dir.offset.fill(-1);
  for (const NumarisBlock& b : blocks) {
    const uint64_t at = first_entry + uint64_t{2} * dir.sz_entry * b.entry;
    if (b.entry >= dir.nb_entry || dir.sz_entry == 0 || at + 2 > header.size()) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s block directory: no entry %d for the %s (%u entries of %u words, "
                "%zu header bytes)\xF0", format, b.entry, b.name, dir.nb_entry, dir.sz_entry, header.size());
      return 0;
    }
    const int64_t offset = (int64_t{f.U16(at)} - bias) * dir.sz_record;
    const uint64_t limit = b.size ? header.size() : UINT64_MAX;
    if (offset < 0 || (b.size && static_cast<uint64_t>(offset) + b.size > limit)) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s block directory: entry %d (%s) at %lld + %u bytes, past the "
                "header (%zu bytes)\xF0", format, b.entry, b.name, static_cast<long long>(offset), b.size,
                header.size());
      return 0;
    }
    dir.offset[b.entry] = offset;
  }
  return 1;
}

void Numaris_List_Directory(const ReadContext& ctx, std::span<const uint8_t> header, uint8_t mode,
                            size_t first_entry, const NumarisDirectory& dir, uint32_t ima_offset) {
  if (!ctx.Text_Level()) return;
  const FieldBlock f(header, mode & 0x01);
  Text_Title(ctx, "---- Original NUMARIS 2 Header ----");
  Text_Field_UInt(ctx, "nb_entry:", dir.nb_entry);
  Text_Field_UInt(ctx, "sz_entry:", dir.sz_entry);
  Text_Field_UInt(ctx, "sz_record:", dir.sz_record);
  static constexpr std::pair<int, const char*> kLabels[] = {{0, "offset_installation:"},
                                                            {1, "offset_measurement:"},
                                                            {2, "offset_image_text:"},
                                                            {9, "offset_patient:"},
                                                            {10, "offset_image:"}};
  for (const auto& [k, label] : kLabels)
    if (dir.offset[k] >= 0) Text_Field(ctx, label, "%lld", static_cast<long long>(dir.offset[k]));
  Text_Field_UInt(ctx, "ima->ima_offset:", ima_offset);
  for (uint32_t k = 0; k < dir.nb_entry; ++k) {
    const uint64_t at = first_entry + uint64_t{2} * dir.sz_entry * k;
    if (at + 4 > header.size()) break;
    char label[24];
    std::snprintf(label, sizeof label, "Entry[%u]:", k);
    Text_Field(ctx, label, "%04x x %04x", f.U16(at), f.U16(at + 2));
  }
}

int Numaris_Scanner(const ReadContext& ctx, std::string_view name, ImageHeader& ima) {
  const char* model = nullptr;
  if (name.substr(0, 6) == "MAGNET") {
    ima.modality = kModalityMR;
    model = "MAGNETOM";
  } else if (name.substr(0, 6) == "SOMATO") {
    ima.modality = kModalityCT;
    model = "SOMATOM";
  }
  if (!model || !ima.g4.model.empty()) return 1;
  try {
    ima.g4.model = model;
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "ima->g4.model");
    return 0;
  }
  return 1;
}

int Siemens_NUMARIS_1_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> header, ImageHeader& ima) {
  Log_Print(ctx, 9, "in Siemens_NUMARIS_1_Read_Header_2()");
  NumarisDirectory dir;
  if (!Numaris_Directory(ctx, header, 0x01, 20, 0, kBlocks, "NUMARIS 1", dir)) return 0;
  if (dir.offset[kPixels] > ima.file_size) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 NUMARIS 1 block directory: entry 3 (pixel data) at %lld, past the "
              "file (%u bytes)\xF0", static_cast<long long>(dir.offset[kPixels]), ima.file_size);
    return 0;
  }
  ima.ima_offset = static_cast<uint32_t>(dir.offset[kPixels]);
  Numaris_List_Directory(ctx, header, 0x01, 20, dir, ima.ima_offset);
  Installation(ctx, FieldBlock(header.subspan(dir.offset[kInstallation]), true), ima);
  if (!Measurement(ctx, FieldBlock(header.subspan(dir.offset[kMeasurement]), true), ima)) return 0;
  if (!Image_Text(ctx, FieldBlock(header.subspan(dir.offset[kImageText]), true), ima)) return 0;
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 NUMARIS 1 image matrix %u x %u\xF0", ima.dim_x, ima.dim_y);
    return 0;
  }
  return 1;
}

int Siemens_NUMARIS_1_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Siemens_NUMARIS_1_Read_Header()");
  std::unique_ptr<uint8_t[]> block;
  if (!Siemens_Read_Block(ctx, ima, kNumaris1HeaderSize, true, block)) return 0;
  const int ok = Siemens_NUMARIS_1_Read_Header_2(ctx, {block.get(), kNumaris1HeaderSize}, ima);
  Text_End(ctx);
  return ok;
}
