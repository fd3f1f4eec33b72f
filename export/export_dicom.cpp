// DICOM Part 10 files through dcmtk's dcmdata: one file per image, explicit
// VR little endian.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>

#include "Convert/kema_image.h"
#include "export/export.h"
#include "export/export_text.h"

namespace kema {

namespace {

// Storage classes we write: a modality's own where the record holds what
// that class needs, else Secondary Capture.
const char* Storage_Class(const Series& s, const ImageHeader& ima) {
  const bool grey16 = ima.g2.pix_type == kPixU16 || ima.g2.pix_type == kPixS16;
  if (ima.modality == kModalityCT && s.geometry && grey16) return UID_CTImageStorage;
  if (ima.modality == kModalityMR && s.geometry && grey16 && !ima.g4.mr.scanning_sequence.empty() &&
      !ima.g4.mr.sequence_variant.empty())
    return UID_MRImageStorage;
  if (ima.modality == kModalityUS && (ima.g2.pix_type == kPixU8 || ima.g2.pix_type == kPixRGB8))
    return UID_UltrasoundImageStorage;
  // NM keeps unsigned samples whose stored bits fill their storage.
  if (ima.modality == kModalityNM && (ima.g2.pix_type == kPixU8 || ima.g2.pix_type == kPixU16) &&
      ima.g2.rescale_intercept == 0)
    return UID_NuclearMedicineImageStorage;
  return UID_SecondaryCaptureImageStorage;
}

// A value cut to what its VR holds.
std::string Fit(const std::string& text, size_t max) {
  std::string t = Output_Line(text);
  if (t.size() <= max) return t;
  size_t n = max;
  while (n > 0 && (static_cast<uint8_t>(t[n]) & 0xC0) == 0x80) --n;  // whole UTF-8 characters
  return t.substr(0, n);
}

// A decimal string of at most 16 characters.
std::string DS(double v) {
  if (!std::isfinite(v)) v = 0;
  char buf[40];
  for (int precision = 10; precision > 1; --precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strlen(buf) <= 16) return buf;
  }
  return "0";
}

std::string DS_List(std::initializer_list<double> values) {
  std::string s;
  for (double v : values) s += (s.empty() ? "" : "\\") + DS(v);
  return s;
}

void Date_Time(int32_t seconds, std::string& date, std::string& time) {
  date.clear();
  time.clear();
  if (seconds == 0) return;
  const time_t t = seconds;
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return;
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  date = buf;
  std::strftime(buf, sizeof buf, "%H%M%S", &tm);
  time = buf;
}

std::string Patient_Position(const ImageG3& g3) {
  static const char* const kLying[] = {"", "S", "P", "DL", "DR"};
  if (g3.patient_position < 1 || g3.patient_position > 4) return "";
  if (g3.patient_entry == 16) return std::string("HF") + kLying[g3.patient_position];
  if (g3.patient_entry == 32) return std::string("FF") + kLying[g3.patient_position];
  return "";
}

// A text as a DICOM source stored it (the record keeps names reordered:
// "DOE^JOHN" became "JOHN DOE"); `fallback` for other sources.
std::string Source_Text(const ImageHeader& ima, uint16_t group, uint16_t element, const std::string& fallback) {
  for (const DicomAttribute& a : ima.DICOM_list) {
    if (a.group != group || a.element != element) continue;
    std::string t(a.data.begin(), a.data.end());
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    return t;
  }
  return fallback;
}

class Writer {
 public:
  Writer(DcmDataset& ds) : ds_(ds) {}
  void Text(const DcmTagKey& tag, const std::string& value) { Check(ds_.putAndInsertString(tag, value.c_str())); }
  void U16(const DcmTagKey& tag, unsigned v) { Check(ds_.putAndInsertUint16(tag, static_cast<Uint16>(v))); }
  bool ok() const { return ok_; }

 private:
  void Check(const OFCondition& c) { ok_ = ok_ && c.good(); }
  DcmDataset& ds_;
  bool ok_ = true;
};

struct SeriesIds {
  std::string study, series, frame_of_reference;
};

bool Fill(const Series& s, const ExportImage& e, int index, bool own_numbers, const SeriesIds& ids, DcmDataset& ds,
          std::string& warning) {
  const ImageHeader& ima = *e.ima;
  const ImageG1& g1 = ima.g1;
  Writer w(ds);
  const char* sop_class = Storage_Class(s, ima);
  w.Text(DCM_SpecificCharacterSet, "ISO_IR 192");
  const bool nm = sop_class == std::string(UID_NuclearMedicineImageStorage);
  w.Text(DCM_ImageType, nm ? "DERIVED\\SECONDARY\\STATIC\\EMISSION" : "DERIVED\\SECONDARY");
  w.Text(DCM_SOPClassUID, sop_class);
  if (nm) {
    // One static frame of one energy window and one detector.
    w.Text(DCM_NumberOfFrames, "1");
    const Uint16 pointer[] = {0x0054, 0x0010, 0x0054, 0x0020};
    if (ds.putAndInsertUint16Array(DCM_FrameIncrementPointer, pointer, 2).bad()) return false;
    w.U16(DCM_EnergyWindowVector, 1);
    w.U16(DCM_NumberOfEnergyWindows, 1);
    w.U16(DCM_DetectorVector, 1);
    w.U16(DCM_NumberOfDetectors, 1);
    for (const DcmTagKey& seq : {DCM_EnergyWindowInformationSequence, DCM_RadiopharmaceuticalInformationSequence,
                                 DCM_DetectorInformationSequence})
      if (ds.insertEmptyElement(seq).bad()) return false;
  }
  w.Text(DCM_SOPInstanceUID, Export_Uid(Image_Digest(e), "image"));
  std::string date, time;
  Date_Time(g1.study_time, date, time);
  w.Text(DCM_StudyDate, date);
  w.Text(DCM_StudyTime, time);
  Date_Time(g1.series_time, date, time);
  w.Text(DCM_SeriesDate, date);
  w.Text(DCM_SeriesTime, time);
  Date_Time(g1.acq_time, date, time);
  if (!date.empty()) {
    w.Text(DCM_AcquisitionDate, date);
    w.Text(DCM_AcquisitionTime, time);
  }
  Date_Time(g1.image_time, date, time);
  w.Text(DCM_ContentDate, date);
  w.Text(DCM_ContentTime, time);
  w.Text(DCM_AccessionNumber, "");
  const std::string modality = Export_Modality(ima.modality);
  w.Text(DCM_Modality, modality.empty() ? "OT" : Fit(modality, 16));
  if (sop_class == std::string(UID_SecondaryCaptureImageStorage)) w.Text(DCM_ConversionType, "WSD");
  w.Text(DCM_Manufacturer, Fit(ima.g4.manufacturer, 64));
  if (!ima.g3.hospital_name.empty()) w.Text(DCM_InstitutionName, Fit(ima.g3.hospital_name, 64));
  w.Text(DCM_ReferringPhysicianName, Fit(Source_Text(ima, 0x0008, 0x0090, ima.g3.physician_name), 64));
  if (!ima.g4.station.empty()) w.Text(DCM_StationName, Fit(ima.g4.station, 16));
  if (!g1.study_comment.empty()) w.Text(DCM_StudyDescription, Fit(g1.study_comment, 64));
  if (!g1.series_comment.empty()) w.Text(DCM_SeriesDescription, Fit(g1.series_comment, 64));
  if (!ima.g4.model.empty()) w.Text(DCM_ManufacturerModelName, Fit(ima.g4.model, 64));
  const std::string source = std::filesystem::path(e.file).filename().string();
  w.Text(DCM_DerivationDescription,
         Fit("converted by kema from " + source + " (" + Image_Format_Name(ima.format) + ")", 1024));

  w.Text(DCM_PatientName, Fit(Source_Text(ima, 0x0010, 0x0010, ima.g3.patient_name), 64));
  w.Text(DCM_PatientID, Fit(ima.g3.patient_ID, 64));
  const auto& b = ima.g3.birth_date;
  if (b[0] && b[1] && b[2]) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04u%02u%02u", b[0] % 10000u, b[1] % 100u, b[2] % 100u);
    w.Text(DCM_PatientBirthDate, buf);
  } else {
    w.Text(DCM_PatientBirthDate, "");
  }
  const char sex = ima.g3.patient_sex;
  w.Text(DCM_PatientSex, sex == 'M' || sex == 'F' || sex == 'O' ? std::string(1, sex) : "");
  if (ima.g3.patient_age[0] > 0 && ima.g3.patient_age[0] < 1000) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03uY", ima.g3.patient_age[0]);
    w.Text(DCM_PatientAge, buf);
  }
  if (ima.g3.patient_weight > 0) w.Text(DCM_PatientWeight, DS(ima.g3.patient_weight));

  // Acquisition details by modality.
  if (ima.modality == kModalityCT) {
    w.Text(DCM_KVP, ima.g4.ct.tube_voltage > 0 ? DS(ima.g4.ct.tube_voltage) : "");
    if (ima.g4.ct.gantry_tilt != 0) w.Text(DCM_GantryDetectorTilt, DS(ima.g4.ct.gantry_tilt));
    if (!ima.g4.ct.filter.empty()) w.Text(DCM_ConvolutionKernel, Fit(ima.g4.ct.filter, 16));
  } else if (ima.modality == kModalityMR) {
    const ImageMR& mr = ima.g4.mr;
    w.Text(DCM_ScanningSequence, Fit(mr.scanning_sequence, 16));
    w.Text(DCM_SequenceVariant, Fit(mr.sequence_variant, 16));
    w.Text(DCM_ScanOptions, Fit(ima.g4.scan_options, 16));
    w.Text(DCM_MRAcquisitionType, Fit(mr.acquisition_type, 16));
    w.Text(DCM_RepetitionTime, mr.repetition_time > 0 ? DS(mr.repetition_time) : "");
    w.Text(DCM_EchoTime, mr.echo_time > 0 ? DS(mr.echo_time) : "");
    w.Text(DCM_EchoTrainLength, mr.echo_train ? std::to_string(mr.echo_train) : "");
    if (mr.inversion_time > 0) w.Text(DCM_InversionTime, DS(mr.inversion_time));
    if (mr.field_strength > 0) w.Text(DCM_MagneticFieldStrength, DS(mr.field_strength));
    if (mr.imaging_frequency > 0) w.Text(DCM_ImagingFrequency, DS(mr.imaging_frequency));
  }
  const std::string position = Patient_Position(ima.g3);
  if (!position.empty()) w.Text(DCM_PatientPosition, position);

  w.Text(DCM_StudyInstanceUID, ids.study);
  w.Text(DCM_SeriesInstanceUID, ids.series);
  w.Text(DCM_StudyID, Fit(g1.study_ID.empty() ? std::to_string(g1.study_num) : g1.study_ID, 16));
  w.Text(DCM_SeriesNumber, std::to_string(g1.series_num));
  w.Text(DCM_AcquisitionNumber, std::to_string(g1.acq_num));
  w.Text(DCM_InstanceNumber, std::to_string(own_numbers ? g1.image_num : index + 1));

  // Geometry only where the source has it: nothing invented.
  const DicomGeometry& g = e.geom;
  if (s.geometry) {
    w.Text(DCM_ImagePositionPatient, DS_List({g.position[0], g.position[1], g.position[2]}));
    w.Text(DCM_ImageOrientationPatient, DS_List({g.row[0], g.row[1], g.row[2], g.col[0], g.col[1], g.col[2]}));
    w.Text(DCM_FrameOfReferenceUID, ids.frame_of_reference);
    w.Text(DCM_PositionReferenceIndicator, "");
  } else {
    w.Text(DCM_PatientOrientation, "");
  }
  w.Text(DCM_PixelSpacing, DS_List({g.spacing[0], g.spacing[1]}));
  w.Text(DCM_SliceThickness, g1.pix_size[2] > 0 ? DS(g1.pix_size[2]) : "");
  if (s.geometry && s.nz > 1) w.Text(DCM_SpacingBetweenSlices, DS(std::fabs(s.spacing)));

  // Pixels.
  const uint8_t t = ima.g2.pix_type;
  const size_t pixels = size_t{ima.dim_x} * ima.dim_y;
  w.U16(DCM_Rows, ima.dim_y);
  w.U16(DCM_Columns, ima.dim_x);
  if (t >= 0x80) {
    w.U16(DCM_SamplesPerPixel, 3);
    w.Text(DCM_PhotometricInterpretation, "RGB");
    w.U16(DCM_PlanarConfiguration, 0);
    w.U16(DCM_BitsAllocated, 8);
    w.U16(DCM_BitsStored, 8);
    w.U16(DCM_HighBit, 7);
    w.U16(DCM_PixelRepresentation, 0);
    const unsigned channels = (t & 0xC0) == 0xC0 ? 4 : 3;
    const unsigned sample = Image_Pixel_Bytes(t) / channels;
    if (channels != 3 || sample != 1) warning = "colour written as 8-bit RGB";
    std::vector<Uint8> rgb(pixels * 3);
    const uint8_t* in = ima.data.data();
    for (size_t p = 0; p < pixels; ++p)
      for (unsigned c = 0; c < 3; ++c) rgb[p * 3 + c] = in[(p * channels + c) * sample + sample - 1];
    if (ds.putAndInsertUint8Array(DCM_PixelData, rgb.data(), static_cast<unsigned long>(rgb.size())).bad()) return false;
    return w.ok();
  }
  const unsigned bytes = Image_Pixel_Bytes(t);
  const unsigned allocated = bytes * 8;
  unsigned stored = ima.g2.pix_bits ? std::min<unsigned>(ima.g2.pix_bits, allocated) : allocated;
  unsigned high = ima.g2.pix_high && ima.g2.pix_high < allocated ? ima.g2.pix_high : stored - 1;
  if (high + 1 < stored) stored = high + 1;
  if (nm) stored = allocated, high = allocated - 1;
  w.U16(DCM_SamplesPerPixel, 1);
  w.Text(DCM_PhotometricInterpretation, "MONOCHROME2");
  w.U16(DCM_BitsAllocated, allocated);
  w.U16(DCM_BitsStored, stored);
  w.U16(DCM_HighBit, high);
  w.U16(DCM_PixelRepresentation, ima.g2.pix_sign ? 1 : 0);
  if (!nm) {
    w.Text(DCM_RescaleIntercept, DS(ima.g2.rescale_intercept));
    if (sop_class != std::string(UID_CTImageStorage)) w.Text(DCM_RescaleType, modality == "CT" ? "HU" : "US");
  }
  w.Text(DCM_RescaleSlope, DS(ima.g2.rescale_slope == 0 ? 1.0 : ima.g2.rescale_slope));
  if (ima.g2.window > 0) {
    w.Text(DCM_WindowCenter, DS(ima.g2.level));
    w.Text(DCM_WindowWidth, DS(ima.g2.window));
  }
  OFCondition c;
  if (bytes == 1) c = ds.putAndInsertUint8Array(DCM_PixelData, ima.data.data(), static_cast<unsigned long>(pixels));
  else if (bytes == 2)
    c = ds.putAndInsertUint16Array(DCM_PixelData, reinterpret_cast<const Uint16*>(ima.data.data()),
                                   static_cast<unsigned long>(pixels));
  else
    c = ds.putAndInsertUint16Array(DCM_PixelData, reinterpret_cast<const Uint16*>(ima.data.data()),
                                   static_cast<unsigned long>(pixels * 2));
  return c.good() && w.ok();
}

}  // namespace

int Export_Dicom(LogHandle log, Series& s, const std::string& dir, ExportResult& result) {
  Log_Print(log, 7, "in Export_Dicom(%s)", dir.c_str());
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    Export_Error(log, "cannot make the folder " + dir + " (" + ec.message() + ")");
    return 0;
  }
  // The series' UIDs come from its images' contents: the same input gives
  // the same UIDs.
  SeriesIds ids;
  Digest series, study;
  study.Add(s.images.front().ima->g3.patient_name);
  study.Add(s.images.front().ima->g3.patient_ID);
  const ImageG1& g1 = s.images.front().ima->g1;
  study.Add(g1.study_ID);
  study.Add_Number(g1.study_num);
  study.Add_Number(g1.study_time);
  std::set<unsigned> numbers;
  for (const ExportImage& e : s.images) {
    const Digest d = Header_Digest(e);
    series.Add(&d, sizeof d);
    numbers.insert(e.ima->g1.image_num);
  }
  ids.study = Export_Uid(study, "study");
  ids.series = Export_Uid(series, "series");
  ids.frame_of_reference = Export_Uid(series, "frame of reference");
  const bool own_numbers = numbers.size() == s.images.size() && !numbers.count(0);

  std::vector<std::pair<std::string, std::string>> written;  // temporary, final
  auto discard = [&] {
    for (const auto& [temporary, final_name] : written) fs::remove(temporary, ec);
  };
  for (size_t k = 0; k < s.images.size(); ++k) {
    ExportImage& e = s.images[k];
    char name[32];
    std::snprintf(name, sizeof name, "IM%05zu.dcm", k + 1);
    const std::string final_name = (fs::path(dir) / name).string();
    const std::string temporary = Temporary_Name(final_name);
    const size_t need = size_t{e.ima->dim_x} * e.ima->dim_y * Image_Pixel_Bytes(e.ima->g2.pix_type);
    if (!Export_Pixels(log, e) || need == 0 || e.ima->data.size() < need) {
      Export_Error(log, "no pixels for an image of " + e.file + ": " + dir + " not written");
      discard();
      return 0;
    }
    DcmFileFormat file;
    std::string warning;
    if (!Fill(s, e, static_cast<int>(k), own_numbers, ids, *file.getDataset(), warning)) {
      Export_Error(log, "cannot describe an image of " + e.file + " in DICOM: " + dir + " not written");
      discard();
      return 0;
    }
    if (!warning.empty() && std::find(result.warnings.begin(), result.warnings.end(), warning) == result.warnings.end())
      result.warnings.push_back(warning);
    Export_Release(e);  // dcmtk holds its own copy now
    written.emplace_back(temporary, final_name);
    const OFCondition c = file.saveFile(temporary.c_str(), EXS_LittleEndianExplicit);
    if (c.bad()) {
      Export_Error(log, "cannot write " + final_name + " (" + c.text() + ")");
      discard();
      return 0;
    }
  }
  for (const auto& [temporary, final_name] : written) {
    fs::rename(temporary, final_name, ec);
    if (ec) {
      Export_Error(log, "cannot write " + final_name + " (" + ec.message() + ")");
      discard();
      return 0;
    }
  }
  result.ok = true;
  result.output = dir;
  result.images = static_cast<int>(s.images.size());
  result.nz = s.nz;
  result.nt = s.nt;
  for (const std::string& w : s.warnings) result.warnings.push_back(w);
  return 1;
}

}  // namespace kema
