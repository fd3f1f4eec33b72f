// The common image record every reader fills and the viewer displays, and
// the entry points of the conversion library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Convert/conv_read_context.h"
#include "Convert/write_DICOM_Attribute.h"
#include "log/log.h"

class ByteSource;
struct ImageHeader;

// Two letters packed first letter high: "CT" is 0x4354.
constexpr uint16_t Modality_Code(char a, char b) {
  return static_cast<uint16_t>((static_cast<uint8_t>(a) << 8) | static_cast<uint8_t>(b));
}
inline constexpr uint16_t kModalityCT = Modality_Code('C', 'T');
inline constexpr uint16_t kModalityMR = Modality_Code('M', 'R');
inline constexpr uint16_t kModalityUS = Modality_Code('U', 'S');
inline constexpr uint16_t kModalityNM = Modality_Code('N', 'M');

// Bits of ImageHeader::flags.
enum : uint32_t {
  kFlagDirValid = 0x01,       // dir_h / dir_v are valid
  kFlagNoCoherence = 0x02,    // stored values need no byte-order check
  kFlagPosCentre = 0x10,      // position is the image centre
  kFlagRowsReversed = 0x20,   // rows turned end for end in the geometry
  kFlagBottomUp = 0x80,       // rows stored bottom to top: flip after reading
  kFlagHeadFirstAxial = 0x100, // default axial directions as for head first
  kFlagDirDefault = 0x200     // the file gave no directions: a standard plane's were taken
};

// Pixel type codes: twice the bytes per sample (+1 signed), 0x80 RGB, 0xC0 RGBA.
enum : uint8_t {
  kPixU8 = 2, kPixS8 = 3, kPixU16 = 4, kPixS16 = 5, kPixU32 = 8, kPixS32 = 9,
  kPixRGB8 = 130, kPixRGB16 = 132, kPixRGB32 = 136,
  kPixRGBA8 = 194, kPixRGBA16 = 196, kPixRGBA32 = 200
};

// Format-specific storage kept in g2.storage by the reader family that made
// it; the family's copy operation is Copy_To.
struct FormatStorage {
  virtual ~FormatStorage() = default;
  // Gives `target` its own deep copy; 1, or 0 after a logged memory failure.
  virtual int Copy_To(LogHandle log, ImageHeader& target) const = 0;
};

// Pixel buffer of the record: uninitialised on allocation (a pixel read
// overwrites it whole), owned.
class PixelBuffer {
 public:
  PixelBuffer() = default;
  // Throws std::bad_alloc; callers catch it where the size comes from a file.
  static PixelBuffer Allocate(size_t size);
  static PixelBuffer Zeroed(size_t size);
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return !bytes_; }
  explicit operator bool() const { return static_cast<bool>(bytes_); }
  void reset() { bytes_.reset(); size_ = 0; }

 private:
  // `capacity` is what was allocated: a large block may be handed on to a
  // later image of no more than that size.
  struct Free {
    size_t capacity;  // value-initialised to 0 by the pointer
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t[], Free> bytes_;
  size_t size_ = 0;
};

using Vec4 = std::array<float, 4>;
using Mat4 = std::array<float, 16>;

// What one frame of a file whose frames carry their own geometry (enhanced
// multi-frame DICOM) has beside its position: each part only when `has`
// names it. Directions and pixel sizes as the reader found them; the
// header post-processing turns them to the record's convention.
enum : uint8_t { kGeomDir = 1, kGeomPixel = 2, kGeomThickness = 4, kGeomRescale = 8, kGeomPosition = 16 };
struct FrameGeometry {
  Vec4 dir_h{};
  Vec4 dir_v{};
  std::array<float, 2> pix_dim{};
  float thickness = 0;
  float rescale_intercept = 0;
  float rescale_slope = 1;
  uint8_t has = 0;
};

struct ImageG1 {
  Vec4 position{};
  std::array<float, 3> fov{};
  std::array<float, 3> pix_dim{};
  float frame_time = 0;
  std::array<float, 3> pix_size{};
  float frame_duration = 0;
  std::vector<Vec4> frame_pos;  // dim_z * dim_t entries, or empty
  std::vector<FrameGeometry> frame_geom;  // dim_z * dim_t entries, or empty
  uint8_t label_mode = 0;
  Vec4 dir_h{};
  Vec4 dir_v{};
  Vec4 dir_n{};
  float slice_pos = 0;
  Mat4 ima_to_pat{};
  Mat4 pat_to_ima{};
  int16_t orient_h = 0;
  int16_t orient_v = 0;
  uint16_t orient_n = 0;
  std::string study_ID;
  uint16_t study_num = 0;
  uint16_t series_num = 0;
  uint16_t acq_num = 0;
  uint16_t image_num = 0;
  uint16_t image_idx = 0;
  int32_t study_time = 0;
  int32_t series_time = 0;
  int32_t acq_time = 0;
  int32_t image_time = 0;
  std::string study_comment;
  std::string series_comment;
  std::string image_comment;
  std::string patient_comment;
};

struct ImageG2 {
  uint8_t pix_type = 0;
  int32_t pix_fill = 0;
  uint16_t pix_store = 0;
  uint16_t pix_bits = 0;
  uint8_t pix_plane = 0;
  uint8_t pix_planar = 0;
  uint8_t pix_sign = 0;
  uint8_t pix_swap = 0;
  uint8_t pix_high = 0;
  float rescale_intercept = 0;
  float rescale_slope = 0;
  std::array<uint16_t, 3> palette_red_info{};
  std::array<uint16_t, 3> palette_grn_info{};
  std::array<uint16_t, 3> palette_blu_info{};
  std::vector<uint16_t> palette_red;
  std::vector<uint16_t> palette_grn;
  std::vector<uint16_t> palette_blu;
  int32_t hdr_min = 0;
  int32_t hdr_max = 0;
  int32_t window = 0;
  int32_t level = 0;
  int32_t ima_min = 0;
  int32_t ima_max = 0;
  int32_t serie_min = 0;
  int32_t serie_max = 0;
  int8_t compression = 0;
  std::unique_ptr<FormatStorage> storage;
};

struct ImageG3 {
  std::string patient_name;
  std::string patient_ID;
  char patient_sex = 0;
  uint8_t patient_position = 0;  // 1 supine, 2 prone, 3 decubitus left, 4 right
  uint8_t patient_entry = 0;     // 16 head first, 32 feet first
  std::string hospital_name;
  std::string physician_name;
  std::string radiologist_name;
  std::array<std::string, 4> comments;
  std::array<uint16_t, 3> birth_date{};   // year, month, day
  std::array<uint16_t, 3> patient_age{};  // years, months, days
  float patient_weight = 0;
};

struct ImageCT {
  float gantry_tilt = 0;
  float gantry_swivel = 0;
  float collection_diameter = 0;
  float tube_voltage = 0;
  float tube_current = 0;
  float exposure = 0;
  float dist_source_detector = 0;
  float dist_source_patient = 0;
  float focal_spot = 0;
  uint8_t rotation_direction = 0;
  std::string filter;
};

struct ImageMR {
  uint16_t echo_number = 0;
  uint16_t phase_steps = 0;
  uint16_t echo_train = 0;
  float spare = 0;
  float repetition_time = 0;  // ms
  float echo_time = 0;        // ms
  float inversion_time = 0;   // ms
  float field_strength = 0;   // tesla
  float averages = 0;
  float imaging_frequency = 0;
  std::string scanning_sequence;
  std::string sequence_variant;
  std::string acquisition_type;
  std::string pulse_seq;
  std::string angio_flag;
  std::string imaging_nucleus;
  std::string receiving_coil;
  std::string transmitting_coil;
};

struct ImageUS {
  int32_t number_1 = 0;
  int32_t number_2 = 0;
  int32_t number_3 = 0;
  std::string acq_mode;
  std::string technique;
};

struct ImageNM {
  std::string filter;
};

struct ImageG4 {
  std::string manufacturer;
  std::string model;
  std::string station;
  std::string scan_protocol;
  float table_pos = 0;
  float table_height = 0;
  float scan_time = 0;
  float recon_diameter = 0;
  std::string scan_options;
  uint8_t contrast = 0;
  std::string contrast_oral;
  std::string contrast_IV;
  float contrast_start = 0;
  std::string anatomical_location;
  std::string anatomical_reference;
  float slice_location = 0;
  // Only the sub-record named by `modality` is meaningful.
  ImageCT ct;
  ImageMR mr;
  ImageUS us;
  ImageNM nm;
};

struct ImageHeader {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint8_t transfer_mode = 0;
  std::string DICOM_type;
  DicomList DICOM_list;
  uint16_t format = 0;
  uint16_t modality = 0;
  uint16_t image_type = 0;
  uint8_t input_type = 0;  // 1 named file, 2 memory block
  uint16_t dim_x = 0;
  uint16_t dim_y = 0;
  uint16_t dim_z = 0;
  uint16_t dim_t = 0;
  PixelBuffer data;
  std::string path;
  std::string name;
  std::string ext;
  // Input type 1: the file name as given, and the file holding the pixels.
  std::string input;
  std::string file_data;
  // Input type 2: the caller's block, which must outlive the record; it is
  // both `input` and `file_data`.
  std::span<const uint8_t> stream;
  // The input opened by the read under way, shared by its detection, header
  // and pixel steps; released when the pixels are read.
  std::shared_ptr<ByteSource> source;
  uint32_t header_size = 0;
  uint32_t image_gap = 0;
  uint32_t file_size = 0;
  uint32_t ima_offset = 0;
  ImageG1 g1;
  ImageG2 g2;
  ImageG3 g3;
  ImageG4 g4;
};

// ---- record life cycle (conv_header_copy) ----

// Next value of the process-wide record counter (starts at 1).
uint32_t Image_Next_Id();
// Zero-filled record with a new id and the initial values.
void Image_Init_Header(ImageHeader& ima);
void Kema_Image_Free_Header(LogHandle log, ImageHeader& ima);
int Kema_Image_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source);
// The same without the per-image position table (target.g1.frame_pos is
// left as it was): for a record that will hold one image of the source.
int Image_Copy_Header_One_Image(LogHandle log, ImageHeader& target, const ImageHeader& source);
int32_t Image_Pixel_Value(LogHandle log, const ImageHeader* ima, const uint8_t* data, int x, int y, int z, int t);
// Bytes of one pixel of a pixel type as the accessor reads it; 0 for no type.
unsigned Image_Pixel_Bytes(uint8_t pix_type);
double Image_Real_Value(int32_t value, uint8_t pix_type, float intercept, float slope);

// ---- format detection (conv_format_get) ----

uint16_t Kema_Image_Get_Format(LogHandle log, size_t stream, const void* input);
// The format code of what an opened source holds (0 after a read failure).
uint16_t Image_Detect_Format(const ReadContext& ctx, const ByteSource& source);
const char* Image_Format_Name(uint16_t code);
const char* Image_Type_Name(uint16_t image_type);
const char* Image_Modality_Name(uint16_t modality);

// ---- header reading (conv_header_read) ----

// stream 0: `input` is a file name (const char*); else `input` points at
// `stream` bytes holding a whole file, which must outlive the record. The
// reader lists the header at `text_level` (0: no listing).
std::unique_ptr<ImageHeader> Kema_Image_Header_Read(LogHandle log, size_t stream, const void* input,
                                                    uint8_t text_level = 0);
// The same over a source opened already (null when it could not be) whose
// format is known.
std::unique_ptr<ImageHeader> Image_Header_Read(const ReadContext& ctx, size_t stream, const void* input,
                                               std::shared_ptr<ByteSource> source, uint16_t format);
// Splits a file name into directory (with its trailing separator), name and
// extension (at most 4 characters with its dot).
void Image_Split_Name(const std::string& input, std::string& path, std::string& name, std::string& ext);

// ---- pixel reading (conv_image_read, conv_image_split) ----

// Pre-processing, the pixel read and the steps after it; what a compressed
// image's reader lists goes out at `text_level`.
int32_t Kema_Image_Get_Image(LogHandle log, ImageHeader& ima, uint8_t text_level = 0);
// Fills `out` with dim_z * dim_t single-image records; returns their count,
// 0 when there is nothing to split or on failure.
int Kema_Image_Image_Split(LogHandle log, const ImageHeader& ima, std::vector<std::unique_ptr<ImageHeader>>& out);
// The header of image `k` (t * dim_z + z) as Kema_Image_Image_Split makes
// it, without pixels: what a header pass describes one image of a
// multi-image record by. Null when k is out of range or the copy fails.
std::unique_ptr<ImageHeader> Kema_Image_Split_Header(LogHandle log, const ImageHeader& ima, uint32_t k);

// ---- post-processing (conv_header_postproc, conv_image_postproc,
//      conv_image_coherence) ----

int Image_Header_PostProc(LogHandle log, ImageHeader& ima);
// The image-to-patient matrix of position, directions and pixel sizes, and
// its inverse.
void Image_Geometry_Matrices(LogHandle log, ImageG1& g1);
int Image_Orientation(LogHandle log, ImageHeader& ima);
int Image_Image_PreProc(const ReadContext& ctx, ImageHeader& ima);
int Image_Image_Min_Max(LogHandle log, ImageHeader& ima);
int Image_Image_Coherence(LogHandle log, ImageHeader& ima);
int Image_Image_PostProc(LogHandle log, ImageHeader& ima);
// mode 1 mirrors rows, 2 turns them upside down, 3 both; empty on failure.
PixelBuffer Image_Flip(const ImageHeader& ima, const PixelBuffer& buffer, int mode);
// Slice position along the dominant axis of dir_n; false when the normal is
// too small.
bool Image_Slice_Position(const ImageHeader& ima, const Vec4& position, float& slice_pos);
