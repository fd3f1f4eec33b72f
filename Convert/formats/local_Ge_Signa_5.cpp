#include "Convert/formats/local_Ge_Signa_5.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"

// ---- code tables ----

namespace {

constexpr TextCode kPlaneType[] = {
    {1, "Scout"},          {2, "Axial"},          {4, "Sagittal"},        {8, "Coronal"},
    {16, "Oblique"},       {18, "Oblique Axial"}, {20, "Oblique Sagittal"}, {24, "Oblique Coronal"},
    {32, "ParAxial"},      {64, "Reformated"},    {128, "Projected"},     {256, "Mixed"},
};
constexpr TextCode kScanMode[] = {
    {1, "Axial mode"},         {2, "Dynamic mode"},      {4, "Scout mode"},      {8, "Axial Xron mode"},
    {16, "Axial Xroff mode"},  {32, "Static Xroff mode"}, {64, "Static Xron mode"}, {128, "Tube Heat mode"},
    {256, "Das mode"},         {512, "Tube Cal mode"},    {1024, "Biopsy mode"},   {2048, "Cine mode"},
    {4096, "Helical mode"},    {8192, "Rotgencal mode"},
};
constexpr TextCode kSfovType[] = {
    {1, "Ped Head"}, {2, "Adult Head"}, {4, "Small"}, {8, "Medium"}, {16, "Large"}, {32, "No SfovType"},
};
constexpr TextCode kReconAlgo[] = {
    {1, "Smooth"}, {2, "Soft"}, {4, "Stand"}, {8, "Detail"}, {16, "Bone"}, {32, "Edge"}, {64, "Sharp"},
    {128, "Experimental"},
};

constexpr TextCode kSex[] = {{1, "Male"}, {2, "Female"}};
constexpr TextCode kSeriesType[] = {
    {1, "Prospective"}, {2, "Retrospective"}, {3, "Scout"},   {4, "Reformatted"},
    {5, "Screen Save"}, {6, "Xenon"},         {7, "Service"}, {9, "Projected"},
};
constexpr TextCode kScanType[] = {{1, "Scout"}, {2, "Axial"}, {3, "Screen Save"}, {4, "Xenon"}, {5, "Service"}};
constexpr TextCode kPatientPosition[] = {
    {0, "None"}, {1, "Supine"}, {2, "Prone"}, {4, "Decubitus Left"}, {8, "Decubitus Right"},
};
constexpr TextCode kPatientEntry[] = {{1, "Head First"}, {2, "Feet First"}};
constexpr TextCode kContrastMode[] = {{0, "None"}, {1, "Oral"}, {2, "IV"}, {3, "Oral & IV"}};
constexpr TextCode kPulseSequence[] = {
    {0, "SE"},       {1, "IR"},       {2, "RM:RM"},    {3, "RMGE"},     {4, "GRE"},     {5, "MPGR"},
    {6, "MPIRS"},    {7, "MPIRI"},    {8, "VOGRE"},    {9, "CINEGRE"},  {10, "SPGR"},   {11, "SSFP"},
    {12, "CINSPGR"}, {13, "VOSPGR"},  {14, "FSE"},     {15, "FVE"},     {16, "FSPR"},   {17, "FGR"},
    {18, "FMPSPGR"}, {19, "FSPGR"},   {20, "FMPGR"},   {21, "FRFSE"},   {22, "FMPIR"},  {23, "SSFSE"},
};
constexpr TextCode kCoilType[] = {{1, "Head"}, {2, "Body"}, {3, "Surface"}};

}  // namespace

const TextCodes kGE_Plane_Type{kPlaneType};
const TextCodes kGE_Scan_Mode{kScanMode};
const TextCodes kGE_Sfov_Type{kSfovType};
const TextCodes kGE_Recon_Algo{kReconAlgo};

namespace {

// ---- a header block: big-endian fields, zeros past its end ----

class Block {
 public:
  explicit Block(std::span<const uint8_t> bytes) : b_(bytes) {}

  uint8_t U8(size_t off) const { return off < b_.size() ? b_[off] : 0; }
  uint16_t U16(size_t off) const {
    return Has(off, 2) ? static_cast<uint16_t>(b_[off] << 8 | b_[off + 1]) : 0;
  }
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  uint32_t U32(size_t off) const {
    if (!Has(off, 4)) return 0;
    return static_cast<uint32_t>(b_[off]) << 24 | static_cast<uint32_t>(b_[off + 1]) << 16 |
           static_cast<uint32_t>(b_[off + 2]) << 8 | b_[off + 3];
  }
  int32_t I32(size_t off) const { return static_cast<int32_t>(U32(off)); }
  float F32(size_t off) const {
    const uint32_t u = U32(off);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
  }
  // Up to `width` characters at `off`, fewer at the block's end.
  std::string_view Chars(size_t off, size_t width) const {
    if (off >= b_.size()) return {};
    return {reinterpret_cast<const char*>(b_.data() + off), std::min(width, b_.size() - off)};
  }
  // A fixed-width text field as the record keeps it: up to its first NUL,
  // blanks removed at both ends (empty: absent).
  std::string Text(size_t off, size_t width) const {
    std::string_view s = Chars(off, width);
    s = s.substr(0, s.find('\0'));
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(' ');
    return std::string(s.substr(first, last - first + 1));
  }

 private:
  bool Has(size_t off, size_t n) const { return off <= b_.size() && n <= b_.size() - off; }
  std::span<const uint8_t> b_;
};

// ---- header text of the blocks, one table per block ----
//
// Each field has its offset in the Genesis block and in the Signa 4 block.
// The Signa 4 blocks carry the Genesis fields packed without alignment
// padding, with shorter texts (hospital 32, patient ID 12, physicians 32,
// operator 3, description 22, suites 7); offsets of fields no file we know
// pins down follow that packing, and the fixture writer uses the same ones.

enum class Kind : uint8_t { Str, Char, I16, I32, U32, F32, Time, Code16, Code32, Age, History, Tesla };
enum class When : uint8_t { All, CT, MR };
enum Generation { kGenesis = 0, kSigna4 = 1 };
constexpr uint16_t kAbsent = 0xFFFF;

struct FieldText {
  const char* label;
  Kind kind;
  uint16_t off[2];    // Genesis, Signa 4 (kAbsent: not in that block)
  uint8_t width[2];   // characters of a text field
  When when;
  const char* format; // value format of a number (null: "%-d" or "%.2f")
  TextCodes codes;
  TextMiss miss;
};

constexpr FieldText Str(const char* label, uint16_t off5, uint8_t width5, uint16_t off4, uint8_t width4,
                        When when = When::All) {
  return {label, Kind::Str, {off5, off4}, {width5, width4}, when, nullptr, {}, TextMiss::Invalid};
}
// A long text printed on its own line under its label.
constexpr FieldText Own_Line(const char* label, uint16_t off5, uint8_t width5, uint16_t off4, uint8_t width4) {
  return {label, Kind::History, {off5, off4}, {width5, width4}, When::All, nullptr, {}, TextMiss::Invalid};
}
constexpr FieldText Num(const char* label, Kind kind, uint16_t off5, uint16_t off4, When when = When::All,
                        const char* format = nullptr) {
  return {label, kind, {off5, off4}, {0, 0}, when, format, {}, TextMiss::Invalid};
}
constexpr FieldText Code(const char* label, Kind kind, uint16_t off5, uint16_t off4, TextCodes codes,
                         TextMiss miss = TextMiss::Invalid, When when = When::All) {
  return {label, kind, {off5, off4}, {0, 0}, when, nullptr, codes, miss};
}

const FieldText kSuiteText[] = {
    Str("Suite ID:", 0, 4, 0, 4),
    Num("Disk ID:", Kind::Char, 6, 6),
    Str("Product ID:", 7, 13, 7, 13),
    Str("Advantage Version (cre):", 20, 2, 20, 2),
    Str("Advantage Version (cur):", 22, 2, 22, 2),
};

const FieldText kExamText[] = {
    Str("Suite ID:", 0, 4, 0, 4),
    Num("Exam number:", Kind::I16, 8, 7),
    Str("Hospital:", 10, 33, 9, 32),
    Str("Patient ID:", 84, 13, 81, 12),
    Str("Patient Name:", 97, 25, 93, 25),
    Num("Patient age:", Kind::Age, 122, 118),
    Code("Patient sex:", Kind::Code16, 126, 122, kSex),
    Num("Patient weight:", Kind::F32, 128, 124),
    Num("Trauma Flag:", Kind::I16, 132, 128),
    Own_Line("Patient History:", 134, 61, 130, 60),
    Str("Requisition Number:", 195, 13, 190, 11),
    Num("Exam date:", Kind::Time, 208, 201),
    Str("Referring Physician:", 212, 33, 205, 32),
    Str("Diagnostic/Radiologist:", 245, 33, 237, 32),
    Str("Operator:", 278, 4, 269, 3),
    Str("Exam Description:", 282, 23, 272, 22),
    Str("Exam Type:", 305, 3, 294, 3),
    Num("Exam Format:", Kind::I16, 308, 297),
    Str("Creator Suite and Host:", 318, 9, 307, 7),
    Num("Last Change:", Kind::Time, 328, 314),
    Str("Memory allocated by:", kAbsent, 0, 320, 13),
    Str("Advantage Version (cre):", 352, 2, 337, 2),
    Str("Advantage Version (cur):", 354, 2, 339, 2),
    Num("Patient Status:", Kind::I16, 436, 341),
    Num("Tube Type:", Kind::I16, 66, 63),
    Num("DAS Type:", Kind::I16, 68, 65),
    Str("Exam Type:", 305, 2, 294, 2),
    Num("Detector Type:", Kind::I16, 44, 41, When::CT),
    Num("Number of cells in det:", Kind::I32, 46, 43, When::CT),
    Num("Cell number at Theta:", Kind::F32, 50, 47, When::CT),
    Num("Cell spacing:", Kind::F32, 54, 51, When::CT),
    Num("Distance source-detect.:", Kind::F32, 58, 55, When::CT),
    Num("Distance source-iso:", Kind::F32, 62, 59, When::CT),
    Num("Magnet Strength:", Kind::Tesla, 80, 77, When::MR),
};

const FieldText kSerieText[] = {
    Str("Serie ID:", 0, 4, 0, 4),
    Num("Serie number:", Kind::I16, 10, 9),
    Str("Serie descript:", 20, 30, 19, 30),
    Code("Serie Type:", Kind::Code16, 68, 63, kSeriesType),
    Str("Primary Receiver Suite:", 50, 9, 49, 7),
    Str("Archive Suite:", 59, 9, 56, 7),
    Code("Scan Type:", Kind::Code16, 74, 69, kScanType),
    Str("Scan protocol:", 92, 25, 86, 25),
    Code("Patient Position:", Kind::Code32, 76, 71, kPatientPosition),
    Code("Patient Entry:", Kind::Code32, 80, 75, kPatientEntry),
    Str("Anatomical ref:", 84, 3, 79, 3),
};

constexpr When CT = When::CT;
constexpr When MR = When::MR;
constexpr When All = When::All;

const FieldText kImageText[] = {
    Str("Image ID:", 0, 4, 0, 4),
    Num("Image number:", Kind::I16, 12, 11),
    Num("Duration of scan:", Kind::F32, 22, 21, All, "%-.2f (sec)"),
    Num("Image thickness:", Kind::F32, 26, 25, All, "%-.2f (mm)"),
    Num("Image mat size x:", Kind::I16, 30, 29),
    Num("Image mat size y:", Kind::I16, 32, 31),
    Num("Display FOV X:", Kind::F32, 34, 33, All, "%-.2f (mm)"),
    Num("Display FOV Y (if different):", Kind::F32, 38, 37, All, "%-.2f (mm)"),
    Num("Image dim x:", Kind::F32, 42, 41),
    Num("Image dim y:", Kind::F32, 46, 45),
    Num("Pixel size x:", Kind::F32, 50, 49, All, "%-10.5f (mm)"),
    Num("Pixel size y:", Kind::F32, 54, 53, All, "%-10.5f (mm)"),
    Str("Pixel Data ID:", 58, 14, 57, 14),
    Str("IV Contrast Agent:", 72, 17, 71, 17),
    Str("Oral Contrast Agent:", 89, 17, 88, 17),
    Code("Image Contrast Mode:", Kind::Code16, 106, 105, kContrastMode),
    Num("Series from wich prescribed:", Kind::I16, 108, 107),
    Num("Image from which prescribed:", Kind::I16, 110, 109),
    Num("Screen Format (8/16 bit):", Kind::I16, 112, 111),
    Code("Plane Type:", Kind::Code16, 114, 113, kPlaneType, TextMiss::Unknow),
    Num("Spacing between scans:", Kind::F32, 116, 115, All, "%-.2f (mm)"),
    Num("Scout Type (AP/Lateral):", Kind::I16, 122, 121),
    Num("RAS letter of image location:", Kind::Char, 124, 123),
    Num("Image location:", Kind::F32, 126, 124, All, "%-.2f (mm)"),
    Num("Center R coord of plane image:", Kind::F32, 130, 128),
    Num("Center A coord of plane image:", Kind::F32, 134, 132),
    Num("Center S coord of plane image:", Kind::F32, 138, 136),
    Num("Normal R coord:", Kind::F32, 142, 140),
    Num("Normal A coord:", Kind::F32, 146, 144),
    Num("Normal S coord:", Kind::F32, 150, 148),
    Num("R Coord of Top LH Corner:", Kind::F32, 154, 152),
    Num("A Coord of Top LH Corner:", Kind::F32, 158, 156),
    Num("S Coord of Top LH Corner:", Kind::F32, 162, 160),
    Num("R Coord of Top RH Corner:", Kind::F32, 166, 164),
    Num("A Coord of Top RH Corner:", Kind::F32, 170, 168),
    Num("S Coord of Top RH Corner:", Kind::F32, 174, 172),
    Num("R Coord of Bottom RH Corner:", Kind::F32, 178, 176),
    Num("A Coord of Bottom RH Corner:", Kind::F32, 182, 180),
    Num("S Coord of Bottom RH Corner:", Kind::F32, 186, 184),
    Str("S Foreign Image Revision:", 190, 4, 188, 4),
    // CT
    Num("Scout start:", Kind::F32, 194, 192, CT),
    Num("Scout end:", Kind::F32, 198, 196, CT),
    Num("Table speed:", Kind::F32, 202, 200, CT),
    Num("Table height:", Kind::F32, 206, 204, CT),
    Num("Generator setting:", Kind::I32, 216, 208, CT, "%-d (KVolt)"),
    Num("Generator setting:", Kind::I32, 220, 212, CT, "%-d (MAmp)"),
    Num("Gantry Tilt:", Kind::F32, 224, 216, CT),
    Num("Azimuth:", Kind::I32, 228, 220, CT),
    Num("Gantry Velocity:", Kind::F32, 232, 224, CT),
    Num("Trigger on Position:", Kind::F32, 240, 228, CT),
    Num("Degrees of rotation:", Kind::F32, 244, 232, CT),
    Num("X-Ray On Position:", Kind::F32, 248, 236, CT),
    Num("X-Ray Off Position:", Kind::F32, 252, 240, CT),
    Num("Number of Triggers:", Kind::I32, 256, 244, CT),
    Num("Total input views:", Kind::I16, 260, 248, CT),
    Num("Angle of first view:", Kind::F32, 264, 250, CT),
    Num("Trigger Frequency:", Kind::F32, 268, 254, CT),
    Code("Scan Type:", Kind::Code32, 280, 258, kScanMode, TextMiss::Unknow, CT),
    Num("Axial Type:", Kind::I16, 312, 262, CT),
    Code("Recon Algo:", Kind::Code16, 314, 264, kReconAlgo, TextMiss::Unknow, CT),
    Num("Peristaltic Flag:", Kind::I16, 316, 266, CT),
    Num("IterBone Flag:", Kind::I16, 318, 268, CT),
    Num("Compute Type:", Kind::I16, 320, 270, CT),
    Num("Segment Number:", Kind::I16, 322, 272, CT),
    Num("Total number of Segment Req.:", Kind::I16, 324, 274, CT),
    Num("Inter scan delay:", Kind::F32, 328, 276, CT),
    Num("Scan field of view:", Kind::F32, 332, 280, CT, "%-.2f (mm)"),
    Num("Scan Number:", Kind::I16, 336, 284, CT),
    Num("Total Output Views:", Kind::I16, 342, 286, CT),
    Num("Number of Overranges:", Kind::I16, 344, 288, CT),
    Num("IBH Image scale factor:", Kind::F32, 380, 290, CT),
    Num("CT Water Number:", Kind::F32, 384, 294, CT),
    Num("CT Bone Number:", Kind::F32, 388, 298, CT),
    Num("BBH Coefficient 1:", Kind::F32, 392, 302, CT),
    Num("BBH Coefficient 2:", Kind::F32, 396, 306, CT),
    Num("BBH Coefficient 3:", Kind::F32, 400, 310, CT),
    Num("Number of BBH channels blend:", Kind::I16, 404, 314, CT),
    Num("Starting channel:", Kind::I32, 408, 316, CT),
    Num("Number of channels:", Kind::I32, 412, 320, CT),
    Num("Increment between Channels:", Kind::I32, 416, 324, CT),
    Num("Starting view:", Kind::I32, 420, 328, CT),
    Num("Number of views:", Kind::I32, 424, 332, CT),
    Num("Increment between views:", Kind::I32, 428, 336, CT),
    Num("Window Range:", Kind::I16, 432, 340, CT),
    Num("Min Scaling of image data:", Kind::F32, 436, 342, CT),
    Num("Max Scaling of image data:", Kind::F32, 440, 346, CT),
    Num("Amount of processing to do:", Kind::I16, 444, 350, CT),
    Num("Source of the qcal vector:", Kind::I16, 446, 352, CT),
    Num("Source of the cal vector:", Kind::I16, 448, 354, CT),
    Num("Tube focal spot size:", Kind::I16, 450, 356, CT),
    Num("Tube focal spot position:", Kind::I16, 452, 358, CT),
    Num("Gantry Rotation Direction:", Kind::I16, 498, 360, CT),
    Num("Tube Rotor Speed:", Kind::I16, 500, 362, CT),
    Num("TGGC Trigger Mode:", Kind::I16, 502, 364, CT),
    Num("R/L coord for target recon:", Kind::F32, 504, 366, CT),
    Num("A/P coord for target recon:", Kind::F32, 508, 370, CT),
    Num("Window Value:", Kind::I16, 512, 374, CT),
    Num("Level Value:", Kind::I16, 514, 376, CT),
    Num("Interger Slop Field 1:", Kind::I32, 516, 378, CT),
    Num("Interger Slop Field 2:", Kind::I32, 520, 382, CT),
    Num("Interger Slop Field 3:", Kind::I32, 524, 386, CT),
    Num("Interger Slop Field 4:", Kind::I32, 528, 390, CT),
    Num("Interger Slop Field 5:", Kind::I32, 532, 394, CT),
    Num("Float Slop Field 1:", Kind::F32, 536, 398, CT),
    Num("Float Slop Field 2:", Kind::F32, 540, 402, CT),
    Num("Float Slop Field 3:", Kind::F32, 544, 406, CT),
    Num("Float Slop Field 4:", Kind::F32, 548, 410, CT),
    Num("Float Slop Field 5:", Kind::F32, 552, 414, CT),
    Str("String Slop Field 1:", 556, 16, 418, 16, CT),
    Str("String Slop Field 2:", 572, 16, 434, 16, CT),
    Num("GE Image Integrity:", Kind::I16, 588, 450, CT),
    Num("Scan Pitch Ration:", Kind::F32, 592, 452, CT),
    Num("Start Scan To Xray On:", Kind::F32, 596, 456, CT),
    Num("Duration of Xray On:", Kind::F32, 600, 460, CT),
    // MR
    Num("Repetition time:  (TR)", Kind::I32, 194, 192, MR, "%-d (usec)"),
    Num("Invertion time:   (TI)", Kind::I32, 198, 196, MR, "%-d (usec)"),
    Num("Echo time:        (TE)", Kind::I32, 202, 200, MR, "%-d (usec)"),
    Num("Second Echo time: (TE2)", Kind::I32, 206, 204, MR, "%-d (usec)"),
    Num("number of echos:", Kind::I16, 210, 208, MR),
    Num("Echo number:", Kind::I16, 212, 210, MR),
    Num("Table Delta:", Kind::F32, 214, 212, MR),
    Num("Number of Excitations:", Kind::F32, 218, 216, MR),
    Num("Continuous Slices Flag:", Kind::I16, 222, 220, MR),
    Num("Cardiac Heart Rate:", Kind::I16, 224, 222, MR),
    Num("Average SAR:", Kind::F32, 230, 228, MR),
    Num("Peak SAR:", Kind::F32, 234, 232, MR),
    Num("Monitor SAR Flag:", Kind::I16, 238, 236, MR),
    Num("Trigger win:", Kind::I16, 240, 238, MR),
    Num("Cardiac repetition time:", Kind::F32, 242, 240, MR),
    Num("Images per cardiac cycle:", Kind::I16, 246, 244, MR),
    Num("Actual Transmit Gain:", Kind::I16, 248, 246, MR),
    Num("Actual Receive Gain Analog:", Kind::I16, 250, 248, MR),
    Num("Actual Receive Gain Digital:", Kind::I16, 252, 250, MR),
    Num("Flip Angle for GRASS scans:", Kind::I16, 254, 252, MR),
    Num("Min. Delay after Trigger:", Kind::I32, 256, 254, MR),
    Num("Total Cardiac Phase presc.:", Kind::I16, 260, 258, MR),
    Num("Swap Phase/Frequency Axis:", Kind::I16, 262, 260, MR),
    Code("Pulse Sequence:", Kind::Code16, 304, 262, kPulseSequence, TextMiss::Invalid, MR),
    Num("Pulse Sequence Mode:", Kind::I16, 306, 264, MR),
    Str("Pulse Sequence Name:", 308, 33, 266, 33, MR),
    Code("Coil Type:", Kind::Code16, 360, 299, kCoilType, TextMiss::Invalid, MR),
    Str("Coil Name:", 362, 17, 301, 17, MR),
    Num("Surface Coil Type:", Kind::I16, 380, 318, MR),
    Num("Extremity Coil Flag:", Kind::I16, 382, 320, MR),
    Num("Cal. Field Strenght:", Kind::U32, 388, 322, MR, "%-u (uGauss)"),
    Num("Surface Coil Intens. Corr.:", Kind::I16, 558, 326, MR),
    Num("Projection Algorithm:", Kind::I16, 600, 328, MR),
    Str("Projection Algorithm Name:", 602, 13, 330, 13, MR),
    Num("Preporatory Pulse Option:", Kind::I16, 640, 343, MR),
    Num("Interger Slop Field 1:", Kind::I32, 644, 345, MR),
    Num("Interger Slop Field 2:", Kind::I32, 648, 349, MR),
    Num("Interger Slop Field 3:", Kind::I32, 652, 353, MR),
    Num("Interger Slop Field 4:", Kind::I32, 656, 357, MR),
    Num("Interger Slop Field 5:", Kind::I32, 660, 361, MR),
    Num("Float Slop Field 1:", Kind::F32, 664, 365, MR),
    Num("Float Slop Field 2:", Kind::F32, 668, 369, MR),
    Num("Float Slop Field 3:", Kind::F32, 672, 373, MR),
    Num("Float Slop Field 4:", Kind::F32, 676, 377, MR),
    Num("Float Slop Field 5:", Kind::F32, 680, 381, MR),
    Str("String Slop Field 1:", 684, 16, 385, 16, MR),
    Str("String Slop Field 2:", 700, 16, 401, 16, MR),
    Num("GE Image Integrity:", Kind::I16, 716, 417, MR),
    Num("Number of Phases:", Kind::I16, 718, 419, MR),
    Num("Frequency Direction:", Kind::I16, 720, 421, MR),
    Num("Vascular Mode:", Kind::I16, 722, 423, MR),
};

constexpr const char* kAgeUnit[] = {"Years", "Months", "Days", "Weeks"};

void List_Age(const ReadContext& ctx, const char* label, int16_t age, uint16_t unit) {
  if (unit > 3)
    Text_Field(ctx, label, "%-d (invalid!) %d", age, unit);
  else
    Text_Field(ctx, label, "%-d %s", age, kAgeUnit[unit]);
}

void List_Fields(const ReadContext& ctx, const Block& b, std::span<const FieldText> fields, Generation gen, bool ct) {
  for (const FieldText& f : fields) {
    if ((f.when == When::CT && !ct) || (f.when == When::MR && ct)) continue;
    const uint16_t off = f.off[gen];
    if (off == kAbsent) continue;
    const int width = f.width[gen];
    switch (f.kind) {
      case Kind::Str:
        Text_Field_Str(ctx, f.label, b.Chars(off, width), width);
        break;
      case Kind::History: {
        const std::string_view text = b.Chars(off, width);
        const int precision = static_cast<int>(std::min<size_t>(text.size(), width));
        Text_Field(ctx, f.label, "%s", "");
        Text_Line(ctx, "\x01 %-*.*s", width, precision, text.data() ? text.data() : "");
        break;
      }
      case Kind::Char:
        Text_Field_Char(ctx, f.label, static_cast<char>(b.U8(off)));
        break;
      case Kind::I16:
        Text_Field_Int(ctx, f.label, b.I16(off), f.format ? f.format : "%-d");
        break;
      case Kind::I32:
        Text_Field_Int(ctx, f.label, b.I32(off), f.format ? f.format : "%-d");
        break;
      case Kind::U32:
        Text_Field_UInt(ctx, f.label, b.U32(off), f.format ? f.format : "%-u");
        break;
      case Kind::F32:
        Text_Field_Real(ctx, f.label, b.F32(off), f.format ? f.format : "%.2f");
        break;
      case Kind::Time:
        Text_Field_Time(ctx, f.label, b.I32(off));
        break;
      case Kind::Code16:
        Text_Field_Code(ctx, f.label, b.I16(off), f.codes, f.miss);
        break;
      case Kind::Code32:
        Text_Field_Code(ctx, f.label, b.I32(off), f.codes, f.miss);
        break;
      case Kind::Age:
        List_Age(ctx, f.label, b.I16(off), b.U16(off + 2));
        break;
      case Kind::Tesla:
        Text_Field_Real(ctx, f.label, b.I32(off) * 0.0001, "%.2f Tesla");
        break;
    }
  }
}

// The exam's own type decides which tail of the exam listing applies.
bool Exam_Is_CT(const Block& b, size_t type_off) { return b.Chars(type_off, 2) == "CT"; }

// ---- decoding into the record: the offsets of the fields that reach it ----

struct TextAt {
  uint16_t off;
  uint8_t width;
};

struct ExamLayout {
  TextAt hospital;
  uint16_t magnet;
  TextAt patient_id, patient_name;
  uint16_t age, age_unit, sex, weight, date;
  TextAt referring, radiologist, description;
  uint16_t type;
};
constexpr ExamLayout kExamLayout[2] = {
    {{10, 33}, 80, {84, 13}, {97, 25}, 122, 124, 126, 128, 208, {212, 33}, {245, 33}, {282, 23}, 305},
    {{9, 32}, 77, {81, 12}, {93, 25}, 118, 120, 122, 124, 201, {205, 32}, {237, 32}, {272, 22}, 294},
};

struct SerieLayout {
  uint16_t number;
  TextAt description;
  uint16_t scan_type, position, entry;
  TextAt anatomical_ref, protocol;
};
constexpr SerieLayout kSerieLayout[2] = {
    {10, {20, 30}, 74, 76, 80, {84, 3}, {92, 25}},
    {9, {19, 30}, 69, 71, 75, {79, 3}, {86, 25}},
};

struct ImageLayout {
  uint16_t number, time, duration, thickness, matrix_x, matrix_y, pixel_x, pixel_y;
  TextAt contrast_iv, contrast_oral;
  uint16_t contrast_mode, plane, spacing, scout_type, location, tlhc, trhc, brhc, table_height;
  uint16_t kvolt, mamp, tilt, sfov, rotation;  // CT
  uint16_t tr, ti, te, echo_number;           // MR
};
constexpr ImageLayout kImageLayout[2] = {
    {12, 18, 22, 26, 30, 32, 50, 54, {72, 17}, {89, 17}, 106, 114, 116, 122, 126, 154, 166, 178, 206,
     216, 220, 224, 332, 498, 194, 198, 202, 212},
    {11, 17, 21, 25, 29, 31, 49, 53, {71, 17}, {88, 17}, 105, 113, 115, 121, 124, 152, 164, 176, 204,
     208, 212, 216, 280, 360, 192, 196, 200, 210},
};

std::string Text_Of(const Block& b, TextAt t) { return b.Text(t.off, t.width); }

// GE codes 1 male and 2 female; any other code says nothing about the patient.
char Sex_Of(int16_t code) { return code == 1 ? 'M' : code == 2 ? 'F' : 0; }

void Decode_Exam(const Block& b, const ExamLayout& l, ImageHeader& ima) {
  const bool ct = Exam_Is_CT(b, l.type);
  ima.modality = ct ? kModalityCT : kModalityMR;
  ima.g2.pix_bits = 12;
  ima.g2.pix_high = 11;
  ima.g2.pix_sign = ct ? 1 : 0;
  ima.g3.hospital_name = Text_Of(b, l.hospital);
  if (!ct) ima.g4.mr.field_strength = static_cast<float>(b.I32(l.magnet) * 0.0001);
  ima.g3.patient_ID = Text_Of(b, l.patient_id);
  ima.g3.patient_name = Text_Of(b, l.patient_name);
  const uint16_t age = b.U16(l.age);
  switch (b.U16(l.age_unit)) {
    case 0: ima.g3.patient_age[0] = age; break;
    case 1: ima.g3.patient_age[1] = age; break;
    case 2: ima.g3.patient_age[2] = age; break;
    case 3: ima.g3.patient_age[2] = static_cast<uint16_t>(age * 7); break;
    default: break;
  }
  ima.g3.patient_sex = Sex_Of(b.I16(l.sex));
  ima.g3.patient_weight = b.F32(l.weight);
  ima.g1.study_time = b.I32(l.date);
  ima.g3.physician_name = Text_Of(b, l.referring);
  ima.g3.radiologist_name = Text_Of(b, l.radiologist);
  ima.g1.study_comment = Text_Of(b, l.description);
}

void Decode_Serie(const ReadContext& ctx, const Block& b, const SerieLayout& l, ImageHeader& ima) {
  ima.g1.series_num = b.U16(l.number);
  ima.g1.series_comment = Text_Of(b, l.description);
  if (ima.modality == kModalityCT) {
    const int16_t scan = b.I16(l.scan_type);
    if (scan == 1) ima.image_type = 5;
    if (scan == 2) ima.image_type = 1;
  } else {
    ima.image_type = 0;
  }
  const int32_t position = b.I32(l.position);
  switch (position) {
    case 1: ima.g3.patient_position = 1; break;
    case 2: ima.g3.patient_position = 2; break;
    case 4: ima.g3.patient_position = 3; break;
    case 8: ima.g3.patient_position = 4; break;
    default:
      ima.g3.patient_position = 0;
      Log_Print(ctx, 6, "bad patient position (%d)", position);
  }
  const int32_t entry = b.I32(l.entry);
  switch (entry) {
    case 1: ima.g3.patient_entry = 0x10; break;
    case 2: ima.g3.patient_entry = 0x20; break;
    default:
      ima.g3.patient_entry = 0;
      Log_Print(ctx, 6, "bad patient position (%d)", entry);
  }
  ima.g4.anatomical_reference = Text_Of(b, l.anatomical_ref);
  ima.g3.comments[0] = Text_Of(b, l.protocol);
}

uint16_t Image_Type_Of_Plane(int16_t plane) {
  switch (plane) {
    case 1: return 5;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    case 16: case 18: case 20: case 24: return 4;
    default: return 0;
  }
}

// Unit vector of b - a; a zero-length difference stays zero.
Vec4 Direction(const std::array<float, 3>& a, const std::array<float, 3>& b) {
  const float x = b[0] - a[0], y = b[1] - a[1], z = b[2] - a[2];
  const float len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 0)) return {0, 0, 0, 0};
  return {x / len, y / len, z / len, 0};
}

std::array<float, 3> Point(const Block& b, uint16_t off) { return {b.F32(off), b.F32(off + 4), b.F32(off + 8)}; }

void Decode_Image(const Block& b, const ImageLayout& l, ImageHeader& ima) {
  const bool ct = ima.modality == kModalityCT;
  const bool mr = ima.modality == kModalityMR;
  ima.g1.image_num = b.U16(l.number);
  ima.g1.image_time = b.I32(l.time);
  const float duration = b.F32(l.duration);
  ima.g4.scan_time = mr ? static_cast<float>(duration * 1e-06) : duration;
  const float thickness = b.F32(l.thickness);
  ima.g1.pix_size[2] = thickness;
  ima.dim_x = b.U16(l.matrix_x);
  ima.dim_y = b.U16(l.matrix_y);
  ima.g1.pix_dim[0] = b.F32(l.pixel_x);
  ima.g1.pix_dim[1] = b.F32(l.pixel_y);
  ima.g1.fov[0] = ima.dim_x * ima.g1.pix_dim[0];
  ima.g1.fov[1] = ima.dim_y * ima.g1.pix_dim[1];
  if (ct) {
    // A contrast text is kept only while the record has none yet.
    const int16_t mode = b.I16(l.contrast_mode);
    if ((mode == 1 || mode == 3) && ima.g4.contrast_oral.empty()) ima.g4.contrast_oral = Text_Of(b, l.contrast_oral);
    if ((mode == 2 || mode == 3) && ima.g4.contrast_IV.empty()) ima.g4.contrast_IV = Text_Of(b, l.contrast_iv);
  }
  ima.image_type = Image_Type_Of_Plane(b.I16(l.plane));
  ima.g1.pix_dim[2] = b.F32(l.spacing) + (mr ? thickness : 0.0f);
  if (ima.image_type == 5) {
    const int16_t scout = b.I16(l.scout_type);
    if (scout == 1) ima.image_type = 6;
    if (scout == 2) ima.image_type = 7;
  }
  ima.g4.table_pos = b.F32(l.location);
  const auto tlhc = Point(b, l.tlhc), trhc = Point(b, l.trhc), brhc = Point(b, l.brhc);
  ima.g1.position = {tlhc[0], tlhc[1], tlhc[2], 0};
  ima.g1.dir_h = Direction(tlhc, trhc);
  ima.g1.dir_v = Direction(trhc, brhc);
  // Table height sits in the CT part, but the same bytes are kept for every modality.
  ima.g4.table_height = b.F32(l.table_height);
  if (ct) {
    ima.g4.ct.tube_voltage = static_cast<float>(b.I32(l.kvolt));
    ima.g4.ct.tube_current = static_cast<float>(b.I32(l.mamp));
    ima.g4.ct.gantry_tilt = b.F32(l.tilt);
    ima.g4.ct.collection_diameter = b.F32(l.sfov);
    ima.g4.ct.rotation_direction = static_cast<uint8_t>(b.I16(l.rotation));
  }
  if (mr) {
    ima.g4.mr.repetition_time = static_cast<float>(b.I32(l.tr) * 0.001);
    ima.g4.mr.inversion_time = static_cast<float>(b.I32(l.ti) * 0.001);
    ima.g4.mr.echo_time = static_cast<float>(b.I32(l.te) * 0.001);
    ima.g4.mr.echo_number = b.U16(l.echo_number);
  }
  ima.flags |= kFlagDirValid | kFlagNoCoherence;
  ima.g1.label_mode = 1;
}

const char* Image_Title(int compression) {
  switch (compression) {
    case 1: return "------ ------ GE Image header (Rectangluar) ------";
    case 2: return "------ ------ GE Image header (Packed) ------";
    case 3: return "------ ------ GE Image header (Compress) ------";
    case 4: return "------ ------ GE Image header (Compack) ------";
    default: return "------ ------ GE Image header ------";
  }
}

int Header_Suite(const ReadContext& ctx, std::span<const uint8_t> block, Generation gen) {
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Suite header ------ ------");
    List_Fields(ctx, Block(block), kSuiteText, gen, false);
  }
  return 1;
}

int Header_Exam(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima, Generation gen) {
  const Block b(block);
  const ExamLayout& l = kExamLayout[gen];
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Exam header ------ ------");
    List_Fields(ctx, b, kExamText, gen, Exam_Is_CT(b, l.type));
  }
  Decode_Exam(b, l, ima);
  return 1;
}

int Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima, Generation gen) {
  const Block b(block);
  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ GE Serie header ------ ------");
    List_Fields(ctx, b, kSerieText, gen, ima.modality == kModalityCT);
  }
  Decode_Serie(ctx, b, kSerieLayout[gen], ima);
  return 1;
}

int Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima, Generation gen) {
  const Block b(block);
  if (ctx.Text_Level()) {
    Text_Title(ctx, Image_Title(ima.g2.compression));
    List_Fields(ctx, b, kImageText, gen, ima.modality == kModalityCT);
  }
  Decode_Image(b, kImageLayout[gen], ima);
  return 1;
}

}  // namespace

int GE_SIGNA_5_Header_Suite(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader&) {
  Log_Print(ctx, 9, "in GE_SIGNA_5_Header_Suite()");
  return Header_Suite(ctx, block, kGenesis);
}
int GE_SIGNA_5_Header_Exam(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_5_Header_Exam()");
  return Header_Exam(ctx, block, ima, kGenesis);
}
int GE_SIGNA_5_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_5_Header_Serie()");
  return Header_Serie(ctx, block, ima, kGenesis);
}
int GE_SIGNA_5_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_5_Header_Image()");
  return Header_Image(ctx, block, ima, kGenesis);
}
int GE_SIGNA_4_Header_Suite(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader&) {
  Log_Print(ctx, 9, "in GE_SIGNA_4_Header_Suite()");
  return Header_Suite(ctx, block, kSigna4);
}
int GE_SIGNA_4_Header_Exam(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_4_Header_Exam()");
  return Header_Exam(ctx, block, ima, kSigna4);
}
int GE_SIGNA_4_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_4_Header_Serie()");
  return Header_Serie(ctx, block, ima, kSigna4);
}
int GE_SIGNA_4_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima) {
  Log_Print(ctx, 9, "in GE_SIGNA_4_Header_Image()");
  return Header_Image(ctx, block, ima, kSigna4);
}

// ---- the header reader ----

namespace {

using BlockDecoder = int (*)(const ReadContext&, std::span<const uint8_t>, ImageHeader&);

constexpr uint32_t kPixelHeaderSize = 156;
constexpr uint64_t kPixelHeaderPlaces[] = {0, 3180, 3240};
constexpr uint32_t kSuiteSize = 114;

void Format_Error(const ReadContext& ctx, const char* text) { Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s\xF0", text); }

// Reads `length` bytes at `offset` after checking that the source holds them,
// so that a length taken from the file never sizes an allocation by itself.
bool Read_Checked(const ReadContext& ctx, const ByteSource& src, uint64_t offset, uint64_t length, const char* var,
                  std::vector<uint8_t>& out, int line) {
  out.clear();
  if (length == 0) return true;
  if (!src.Contains(offset, length)) {
    const uint64_t got = offset < src.size() ? src.size() - offset : 0;
    Report_Short_Read(ctx, KEMA_SRC, line, static_cast<long long>(got), static_cast<long long>(length),
                      src.name().c_str());
    return false;
  }
  try {
    out.resize(length);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, line, "malloc", var, static_cast<long long>(length), 1);
    return false;
  }
  return Source_Read(ctx, src, offset, out.data(), out.size(), KEMA_SRC, line) != 0;
}
#define READ_CHECKED(ctx, src, offset, length, var, out) \
  Read_Checked((ctx), (src), (offset), (length), (var), (out), __LINE__)

// The base: where the pixel header's magic is, or false.
bool Find_Pixel_Header(const ReadContext& ctx, const ByteSource& src, uint64_t& base, bool& read_error) {
  read_error = false;
  for (const uint64_t place : kPixelHeaderPlaces) {
    if (!src.Contains(place, 4)) continue;
    char magic[4];
    if (!KEMA_READ(ctx, src, place, magic, sizeof magic)) {
      read_error = true;
      return false;
    }
    if (std::memcmp(magic, "IMGF", 4) == 0) {
      base = place;
      return true;
    }
  }
  return false;
}

// Offsets stored in the pixel header count from the base.
struct PixelHeader {
  uint64_t base = 0;
  uint32_t uid_off = 0, uid_len = 0;
  uint32_t unpack_off = 0, unpack_len = 0;
  uint32_t compress_off = 0, compress_len = 0;
  uint32_t db_off = 0, db_len = 0;
  uint32_t block_off[4] = {}, block_len[4] = {};  // suite, exam, serie, image
};

void Trace_Block(const ReadContext& ctx, const char* name, uint32_t length, uint64_t at) {
  Log_Print(ctx, 8, "--> %s: %d bytes at 0x%04x", name, static_cast<int>(length), static_cast<unsigned>(at));
}

PixelHeader Decode_Pixel_Header(const ReadContext& ctx, const Block& h, uint64_t base, ImageHeader& ima) {
  PixelHeader p;
  p.base = base;
  ima.ima_offset = static_cast<uint32_t>(h.U32(4) + base);
  Log_Print(ctx, 8, "--> offset: %d", static_cast<int>(ima.ima_offset));
  ima.dim_x = static_cast<uint16_t>(h.U32(8));
  Log_Print(ctx, 8, "--> x: %d", h.I32(8));
  ima.dim_y = static_cast<uint16_t>(h.U32(12));
  Log_Print(ctx, 8, "--> y: %d", h.I32(12));
  ima.g2.pix_store = static_cast<uint16_t>(h.U32(16));
  Log_Print(ctx, 8, "--> pix_store: %d", h.I32(16));
  // A code that does not fit the selector must not alias a valid one.
  const int32_t compression = h.I32(20);
  ima.g2.compression = (compression >= -128 && compression <= 127) ? static_cast<int8_t>(compression) : -1;
  Log_Print(ctx, 8, "--> compression: %d", compression);
  ima.g2.level = h.I32(24);
  ima.g2.window = h.I32(28);
  Log_Print(ctx, 8, "--> Window: %d  / level: %d", ima.g2.window, ima.g2.level);
  ima.g2.pix_fill = static_cast<int16_t>(h.U32(32) & 0xFFFF);
  Log_Print(ctx, 8, "--> pix_fill: %d", ima.g2.pix_fill);
  Log_Print(ctx, 8, "--> img_ovrflow: %d", h.I32(36));
  Log_Print(ctx, 8, "--> img_undflow: %d", h.I32(40));
  Log_Print(ctx, 8, "--> img_top_offset: %d", h.I32(44));
  Log_Print(ctx, 8, "--> img_bot_offset: %d", h.I32(48));
  p.uid_off = h.U32(56);
  p.uid_len = h.U32(60);
  Log_Print(ctx, 8, "--> unique image identifier: %d bytes at 0x%04x", static_cast<int>(p.uid_len),
            static_cast<unsigned>(base + p.uid_off));
  p.unpack_off = h.U32(64);
  p.unpack_len = h.U32(68);
  Trace_Block(ctx, "unpack header", p.unpack_len, base + p.unpack_off);
  p.compress_off = h.U32(72);
  p.compress_len = h.U32(76);
  Trace_Block(ctx, "compression", p.compress_len, base + p.compress_off);
  Trace_Block(ctx, "histo cntrl data", h.U32(84), base + h.U32(80));
  Trace_Block(ctx, "text plane data", h.U32(92), base + h.U32(88));
  Trace_Block(ctx, "graphic plane data", h.U32(100), base + h.U32(96));
  p.db_off = h.U32(104);
  p.db_len = h.U32(108);
  Trace_Block(ctx, "data base", p.db_len, base + p.db_off);
  ima.g2.rescale_intercept = static_cast<float>(h.I32(112));
  Trace_Block(ctx, "user defined", h.U32(120), base + h.U32(116));
  for (int k = 0; k < 4; ++k) {
    p.block_off[k] = h.U32(124 + 8 * k);
    p.block_len[k] = h.U32(128 + 8 * k);
  }
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 1;
  ima.image_type = 0;
  ima.g4.manufacturer = "GE";
  return p;
}

bool Read_Table(const ReadContext& ctx, const ByteSource& src, uint64_t at, uint32_t length, const char* var,
                const char* trace, std::vector<uint8_t>& out) {
  if (length == 0) return true;
  if (!READ_CHECKED(ctx, src, at, length, var, out)) return false;
  Log_Print(ctx, 8, "--> %s: %x (size=%d)", trace, static_cast<unsigned>(at), static_cast<int>(length));
  return true;
}

bool Read_Compression_Record(const ReadContext& ctx, const ByteSource& src, const PixelHeader& p, ImageHeader& ima) {
  std::unique_ptr<GenesisStorage> comp;
  try {
    comp = std::make_unique<GenesisStorage>();
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "comp", 1, 32);
    return false;
  }
  comp->fill = ima.g2.pix_fill;
  if (!Read_Table(ctx, src, p.base + p.unpack_off, p.unpack_len, "comp->unpack", "unpack", comp->unpack))
    return false;
  if (!Read_Table(ctx, src, p.base + p.compress_off, p.compress_len, "comp->compress", "compress",
                  comp->compress))
    return false;
  ima.g2.storage = std::move(comp);
  return true;
}

// Reads one block and hands it to its decoder.
bool Read_And_Decode(const ReadContext& ctx, const ByteSource& src, uint64_t at, uint64_t length, const char* var,
                     BlockDecoder decode, ImageHeader& ima) {
  std::vector<uint8_t> block;
  if (!READ_CHECKED(ctx, src, at, length, var, block)) return false;
  return decode(ctx, block, ima) != 0;
}

constexpr const char* kBlockVar[4] = {"suite", "exam", "serie", "image"};
constexpr BlockDecoder kGenesisDecoders[4] = {GE_SIGNA_5_Header_Suite, GE_SIGNA_5_Header_Exam,
                                              GE_SIGNA_5_Header_Serie, GE_SIGNA_5_Header_Image};

bool Blocks_Pointer(const ReadContext& ctx, const ByteSource& src, const PixelHeader& p, ImageHeader& ima) {
  constexpr const char* kTrace[4] = {"suite header", "exam header", "serie header", "image header"};
  for (int k = 0; k < 4; ++k) {
    const uint64_t at = p.base + p.block_off[k];
    Trace_Block(ctx, kTrace[k], p.block_len[k], at);
    if (!Read_And_Decode(ctx, src, at, p.block_len[k], kBlockVar[k], kGenesisDecoders[k], ima)) return false;
  }
  return true;
}

// Pixel header at 3180: the blocks fill the bytes before it, whatever its
// block pointers say.
bool Blocks_Fixed(const ReadContext& ctx, const ByteSource& src, ImageHeader& ima) {
  constexpr uint64_t kAt[4] = {0, 114, 1138, 2158};
  constexpr uint64_t kLength[4] = {114, 1024, 1020, 1022};
  for (int k = 0; k < 4; ++k)
    if (!Read_And_Decode(ctx, src, kAt[k], kLength[k], kBlockVar[k], kGenesisDecoders[k], ima)) return false;
  return true;
}

bool Blocks_Database_Genesis(const ReadContext& ctx, const ByteSource& src, const PixelHeader& p, const uint32_t (&length)[4],
                             ImageHeader& ima) {
  constexpr const char* kTrace[4] = {"suite", "exam", "serie", "image"};
  uint64_t at = p.base + p.db_off + 16;
  for (int k = 0; k < 4; ++k) {
    Log_Print(ctx, 8, "--> %s header data (in DataBase): %d bytes at 0x%04x", kTrace[k], static_cast<int>(length[k]),
              static_cast<unsigned>(at));
    if (!Read_And_Decode(ctx, src, at, length[k], kBlockVar[k], kGenesisDecoders[k], ima)) return false;
    at += length[k];
  }
  return true;
}

// Finds the first place in the `window` bytes after `from` where the suite
// identifier starts a block, scanning positions 0 to window - 5; a window
// running past the end of the data is cut there.
bool Search_Block(const ReadContext& ctx, const ByteSource& src, uint64_t from, uint64_t window, const uint8_t (&suite_id)[4],
                  uint64_t& found, bool& failed) {
  failed = false;
  const uint64_t avail = from < src.size() ? std::min<uint64_t>(window, src.size() - from) : 0;
  if (avail < 4) return false;
  std::vector<uint8_t> mom;
  if (!READ_CHECKED(ctx, src, from, avail, "mom", mom)) {
    failed = true;
    return false;
  }
  const uint64_t last = std::min<uint64_t>(window - 5, avail - 4);
  for (uint64_t i = 0; i <= last; ++i) {
    if (std::memcmp(mom.data() + i, suite_id, 4) == 0) {
      found = from + i;
      return true;
    }
  }
  return false;
}

bool Blocks_Database_Signa4(const ReadContext& ctx, const ByteSource& src, const PixelHeader& p, ImageHeader& ima) {
  constexpr uint64_t kExamSize = 1024, kSerieSize = 1020, kImageSize = 1024;
  const uint64_t suite_at = p.base + p.db_off + 69;
  std::vector<uint8_t> suite;
  if (!READ_CHECKED(ctx, src, suite_at, kSuiteSize, "suite", suite)) return false;
  if (!GE_SIGNA_4_Header_Suite(ctx, suite, ima)) return false;
  uint8_t suite_id[4];
  std::memcpy(suite_id, suite.data(), 4);

  struct Step {
    uint64_t window, size;
    const char* var;
    const char* missing;
    BlockDecoder decode;
  };
  const Step kSteps[3] = {
      {1024, kExamSize, "exam", "Unable to locate Exam header", GE_SIGNA_4_Header_Exam},
      {10240, kSerieSize, "serie", "Unable to locate Serie header", GE_SIGNA_4_Header_Serie},
      {10240, kImageSize, "image", "Unable to locate Image header", GE_SIGNA_4_Header_Image},
  };
  uint64_t next = suite_at + kSuiteSize;
  for (const Step& s : kSteps) {
    uint64_t at = 0;
    bool failed = false;
    if (!Search_Block(ctx, src, next, s.window, suite_id, at, failed)) {
      if (!failed) Format_Error(ctx, s.missing);
      return false;
    }
    Trace_Block(ctx, s.var, static_cast<uint32_t>(s.size), at);
    if (!Read_And_Decode(ctx, src, at, s.size, s.var, s.decode, ima)) return false;
    next = at + s.size;
  }
  return true;
}

bool Blocks_Database(const ReadContext& ctx, const ByteSource& src, const PixelHeader& p, ImageHeader& ima) {
  uint8_t db[16];
  if (!KEMA_READ(ctx, src, p.base + p.db_off, db, sizeof db)) return false;
  const Block d(db);
  const uint32_t length[4] = {d.U32(0), d.U32(4), d.U32(8), d.U32(12)};
  if (length[0] == kSuiteSize) return Blocks_Database_Genesis(ctx, src, p, length, ima);
  return Blocks_Database_Signa4(ctx, src, p, ima);
}

}  // namespace

int GE_SIGNA_5_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_SIGNA_5_Read_Header()");
  const auto src = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!src) return 0;

  uint64_t base = 0;
  bool read_error = false;
  if (!Find_Pixel_Header(ctx, *src, base, read_error)) {
    if (!read_error) Format_Error(ctx, "Bad Magic Number in GE SIGNA_5 header's");
    return 0;
  }
  uint8_t pixel_header[kPixelHeaderSize];
  if (!KEMA_READ(ctx, *src, base, pixel_header, sizeof pixel_header)) return 0;
  const PixelHeader p = Decode_Pixel_Header(ctx, Block(pixel_header), base, ima);
  // The pixel offset counts from the base: one that no longer fits the
  // record's 32 bits lies past any file this reader can address.
  if (uint64_t{Block(pixel_header).U32(4)} + base > UINT32_MAX) {
    Format_Error(ctx, "GE SIGNA_5 pixel data offset lies past the end of the file");
    return 0;
  }

  const int compression = ima.g2.compression;
  if (compression >= 2 && compression <= 4 && !Read_Compression_Record(ctx, *src, p, ima)) return 0;

  bool ok;
  if (base + p.uid_off <= 124)
    ok = Blocks_Database(ctx, *src, p, ima);
  else if (base == 3180)
    ok = Blocks_Fixed(ctx, *src, ima);
  else
    ok = Blocks_Pointer(ctx, *src, p, ima);
  if (!ok) return 0;

  ima.flags |= kFlagRowsReversed;
  Text_End(ctx);
  return 1;
}

// ---- compression record ----

int GenesisStorage::Copy_To(LogHandle log, ImageHeader& target) const {
  std::unique_ptr<GenesisStorage> t_comp;
  try {
    t_comp = std::make_unique<GenesisStorage>();
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "target->g2.storage", 1, 32);
    return 0;
  }
  std::copy(std::begin(reserved), std::end(reserved), std::begin(t_comp->reserved));
  t_comp->fill = fill;
  try {
    t_comp->compress = compress;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "t_comp->compress", static_cast<long long>(compress.size()), 1);
    return 0;
  }
  try {
    t_comp->unpack = unpack;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "t_comp->unpack", static_cast<long long>(unpack.size()), 1);
    return 0;
  }
  target.g2.storage = std::move(t_comp);
  return 1;
}

int GE_SIGNA_5_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  const auto* comp = dynamic_cast<const GenesisStorage*>(source.g2.storage.get());
  if (!comp) return 1;
  return comp->Copy_To(log, target);
}

// ---- pixels ----

size_t GE_SIGNA_5_Decode(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v) {
  const uint8_t* q = p;
  uint32_t value = v;  // only its low 16 bits matter, so wrapping is harmless
  size_t i = 0;
  // While three bytes per sample remain, no code can run past the end.
  for (;;) {
    const size_t safe = std::min(count - i, static_cast<size_t>(end - q) / 3);
    if (safe == 0) break;
    const size_t stop = i + safe;
    for (; i < stop; ++i) {
      const uint32_t b = q[0];
      if (b < 0x80) {
        value += static_cast<uint32_t>(static_cast<int32_t>(b << 25) >> 25);
        q += 1;
      } else if (b < 0xC0) {
        value += static_cast<uint32_t>(static_cast<int32_t>((b << 8 | q[1]) << 18) >> 18);
        q += 2;
      } else {
        value = static_cast<uint32_t>(q[1]) << 8 | q[2];
        q += 3;
      }
      out[i] = static_cast<uint16_t>(value);
    }
  }
  // The last few bytes: each code checked against the end.
  while (i < count && q < end) {
    const uint32_t b = q[0];
    const ptrdiff_t left = end - q;
    if (b < 0x80) {
      value += static_cast<uint32_t>(static_cast<int32_t>(b << 25) >> 25);
      q += 1;
    } else if (b < 0xC0) {
      if (left < 2) break;
      value += static_cast<uint32_t>(static_cast<int32_t>((b << 8 | q[1]) << 18) >> 18);
      q += 2;
    } else {
      if (left < 3) break;
      value = static_cast<uint32_t>(q[1]) << 8 | q[2];
      q += 3;
    }
    out[i++] = static_cast<uint16_t>(value);
  }
  p = q;
  v = value;
  return i;
}

namespace {

// The pixel data of the record: its source and the bytes from `ima_offset`
// to the end.
struct PixelSource {
  std::shared_ptr<ByteSource> src;
  uint64_t left = 0;
};

bool Open_Pixels(const ReadContext& ctx, const ImageHeader& ima, PixelSource& ps) {
  if (ima.dim_x == 0 || ima.dim_y == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE SIGNA_5 image of %dx%d pixels (%s)\xF0", ima.dim_x, ima.dim_y,
              ima.input_type == 2 ? "memory stream" : ima.file_data.c_str());
    return false;
  }
  ps.src = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!ps.src) return false;
  ps.left = ima.ima_offset < ps.src->size() ? ps.src->size() - ima.ima_offset : 0;
  return true;
}

// The pixel data cannot hold what the geometry needs: one error line with
// both figures, and the short-read detail.
void Report_Too_Short(const ReadContext& ctx, const ImageHeader& ima, const PixelSource& ps, uint64_t needed, int line) {
  Log_Print(ctx, 2,
            "\xF1\x04" "ERROR:\x01 GE SIGNA_5 image %dx%d needs %llu bytes at offset %u, %llu present (%s)\xF0",
            ima.dim_x, ima.dim_y, static_cast<unsigned long long>(needed), ima.ima_offset,
            static_cast<unsigned long long>(ps.left), ps.src->name().c_str());
  Report_Short_Read(ctx, KEMA_SRC, line, static_cast<long long>(ps.left), static_cast<long long>(needed),
                    ps.src->name().c_str());
}

bool Allocate_Output(const ReadContext& ctx, const ImageHeader& ima, PixelBuffer& out, int line) {
  const uint64_t n = uint64_t{ima.dim_x} * ima.dim_y;
  out = Image_Alloc_Pixels(ctx, n * 2, ima.name.c_str(), "ima->data", static_cast<long long>(n), 2, KEMA_SRC, line);
  return static_cast<bool>(out);
}

void Swap_In_Place(uint16_t* s, size_t n) {
  auto* bytes = reinterpret_cast<uint8_t*>(s);
  Swap_Pairs(bytes, bytes, n * 2);
}

// Big-endian (or, unswapped, machine-order) samples into the row.
void Copy_Samples(uint16_t* dst, const uint8_t* src, size_t n, bool swap) {
  std::memcpy(dst, src, n * 2);
  if (swap) Swap_In_Place(dst, n);
}

void Fill(uint16_t* dst, size_t n, int32_t fill) { std::fill_n(dst, n, static_cast<uint16_t>(fill)); }

// One row of the line map: leading fill L and stored count N.
struct LineEntry {
  uint16_t lead, stored;
};

LineEntry Line_Entry(const std::vector<uint8_t>& map, size_t row) {
  const uint8_t* e = map.data() + 4 * row;
  return {static_cast<uint16_t>(e[0] << 8 | e[1]), static_cast<uint16_t>(e[2] << 8 | e[3])};
}

// The line map of a packed image: present and holding a row for every row.
const GenesisStorage* Line_Map(const ReadContext& ctx, const ImageHeader& ima, const PixelSource& ps) {
  const auto* comp = dynamic_cast<const GenesisStorage*>(ima.g2.storage.get());
  const size_t rows = comp ? comp->unpack.size() / 4 : 0;
  if (rows < ima.dim_y) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 GE SIGNA_5 line map holds %zu rows, the image has %d (%s)\xF0", rows,
              ima.dim_y, ps.src->name().c_str());
    return nullptr;
  }
  return comp;
}

// Stored samples of all rows, as the line map states them.
uint64_t Stored_Samples(const GenesisStorage& comp, size_t rows) {
  uint64_t total = 0;
  for (size_t r = 0; r < rows; ++r) total += Line_Entry(comp.unpack, r).stored;
  return total;
}

// A row's leading fill and stored count cut to the row: a line map entry
// never writes past its row.
LineEntry Clamp_To_Row(LineEntry e, size_t width) {
  const size_t lead = std::min<size_t>(e.lead, width);
  const size_t stored = std::min<size_t>(e.stored, width - lead);
  return {static_cast<uint16_t>(lead), static_cast<uint16_t>(stored)};
}

}  // namespace

int GE_SIGNA_5_Read_Image_Rect(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 10, "in GE_SIGNA_5_Read_Image_Rect()");
  PixelSource ps;
  if (!Open_Pixels(ctx, ima, ps)) return 0;
  const size_t n = static_cast<size_t>(ima.dim_x) * ima.dim_y;
  if (n * 2 > ps.left) {
    Report_Too_Short(ctx, ima, ps, n * 2, __LINE__);
    return 0;
  }
  PixelBuffer out;
  if (!Allocate_Output(ctx, ima, out, __LINE__)) return 0;
  if (!KEMA_READ(ctx, *ps.src, ima.ima_offset, out.data(), n * 2)) return 0;
  if (ima.g2.pix_swap) Swap_In_Place(reinterpret_cast<uint16_t*>(out.data()), n);
  ima.data = std::move(out);
  ima.g2.pix_store = 16;
  return 1;
}

int GE_SIGNA_5_Read_Image_Packed(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 10, "in GE_SIGNA_5_Read_Image_Packed()");
  PixelSource ps;
  if (!Open_Pixels(ctx, ima, ps)) return 0;
  const GenesisStorage* comp = Line_Map(ctx, ima, ps);
  if (!comp) return 0;
  const size_t width = ima.dim_x, height = ima.dim_y;
  const uint64_t bytes = Stored_Samples(*comp, height) * 2;
  if (bytes > ps.left) {
    Report_Too_Short(ctx, ima, ps, bytes, __LINE__);
    return 0;
  }
  SourceBytes in;
  if (!KEMA_VIEW(ctx, *ps.src, ima.ima_offset, bytes, in)) return 0;
  PixelBuffer out;
  if (!Allocate_Output(ctx, ima, out, __LINE__)) return 0;
  auto* row = reinterpret_cast<uint16_t*>(out.data());
  const uint8_t* p = in.data;
  const bool swap = ima.g2.pix_swap != 0;
  for (size_t r = 0; r < height; ++r, row += width) {
    const LineEntry stated = Line_Entry(comp->unpack, r);
    const LineEntry e = Clamp_To_Row(stated, width);
    Fill(row, e.lead, comp->fill);
    Copy_Samples(row + e.lead, p, e.stored, swap);
    Fill(row + e.lead + e.stored, width - e.lead - e.stored, comp->fill);
    p += 2 * static_cast<size_t>(stated.stored);  // samples beyond the row are skipped
  }
  ima.data = std::move(out);
  ima.g2.pix_store = 16;
  return 1;
}

int GE_SIGNA_5_Read_Image_Compress(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 10, "in GE_SIGNA_5_Read_Image_Compress()");
  PixelSource ps;
  if (!Open_Pixels(ctx, ima, ps)) return 0;
  const size_t n = static_cast<size_t>(ima.dim_x) * ima.dim_y;
  // A stream cut short (a failed transfer) still shows the rows it holds;
  // only a file with no pixel bytes at all has nothing to show.
  if (ps.left == 0) {
    Report_Too_Short(ctx, ima, ps, n, __LINE__);
    return 0;
  }
  SourceBytes in;
  if (!KEMA_VIEW(ctx, *ps.src, ima.ima_offset, ps.left, in)) return 0;
  PixelBuffer out;
  if (!Allocate_Output(ctx, ima, out, __LINE__)) return 0;
  auto* samples = reinterpret_cast<uint16_t*>(out.data());
  const uint8_t* p = in.data;
  uint32_t v = 0;
  const size_t done = GE_SIGNA_5_Decode(p, in.data + in.size, samples, n, v);
  if (done < n) {
    // The stream ended early: what it did not reach is background.
    Log_Print(ctx, 8, "--> compressed data ends after %zu of %zu samples", done, n);
    Fill(samples + done, n - done, ima.g2.pix_fill);
  }
  ima.data = std::move(out);
  ima.g2.pix_store = 16;
  return 1;
}

int GE_SIGNA_5_Read_Image_Compack(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 10, "in GE_SIGNA_5_Read_Image_Compack()");
  PixelSource ps;
  if (!Open_Pixels(ctx, ima, ps)) return 0;
  const GenesisStorage* comp = Line_Map(ctx, ima, ps);
  if (!comp) return 0;
  const size_t width = ima.dim_x, height = ima.dim_y;
  const uint64_t stored = Stored_Samples(*comp, height);
  if (ps.left == 0 && stored > 0) {
    Report_Too_Short(ctx, ima, ps, stored, __LINE__);
    return 0;
  }
  SourceBytes in;
  if (!KEMA_VIEW(ctx, *ps.src, ima.ima_offset, ps.left, in)) return 0;
  PixelBuffer out;
  if (!Allocate_Output(ctx, ima, out, __LINE__)) return 0;
  auto* row = reinterpret_cast<uint16_t*>(out.data());
  const uint8_t* p = in.data;
  const uint8_t* const end = in.data + in.size;
  uint32_t v = 0;  // runs on from row to row
  size_t decoded = 0, wanted = 0;
  for (size_t r = 0; r < height; ++r, row += width) {
    const LineEntry stated = Line_Entry(comp->unpack, r);
    const LineEntry e = Clamp_To_Row(stated, width);
    Fill(row, e.lead, comp->fill);
    const size_t got = GE_SIGNA_5_Decode(p, end, row + e.lead, e.stored, v);
    decoded += got;
    wanted += e.stored;
    // Samples the row cannot hold are decoded (the running value needs them) and dropped.
    for (size_t skip = stated.stored - e.stored; skip > 0;) {
      uint16_t scratch[256];
      const size_t k = GE_SIGNA_5_Decode(p, end, scratch, std::min<size_t>(skip, 256), v);
      if (k == 0) break;
      skip -= k;
    }
    Fill(row + e.lead + got, width - e.lead - got, comp->fill);
  }
  if (decoded < wanted) Log_Print(ctx, 8, "--> compressed data ends after %zu of %zu samples", decoded, wanted);
  ima.data = std::move(out);
  ima.g2.pix_store = 16;
  return 1;
}

int GE_SIGNA_5_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in GE_SIGNA_5_Read_Image()");
  switch (ima.g2.compression) {
    case 1: return GE_SIGNA_5_Read_Image_Rect(ctx, ima);
    case 2: return GE_SIGNA_5_Read_Image_Packed(ctx, ima);
    case 3: return GE_SIGNA_5_Read_Image_Compress(ctx, ima);
    case 4: return GE_SIGNA_5_Read_Image_Compack(ctx, ima);
    default: return 0;
  }
}
