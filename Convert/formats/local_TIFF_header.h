// The open TIFF file shared by the records of one read, the ultrasound
// records filled from its private tags, and the header read over it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

typedef struct tiff TIFF;

// Private tags of the ultrasound variants, registered with libtiff so that
// it reads them with the directory.
enum : uint32_t {
  kDsrApplicationId = 33781,
  kDsrFrameCount = 33782,
  kDsrFrameTimes = 33783,
  kDsrScreenFormat = 33784,
  kDsrImageMapType = 33786,
  kDsrApplicationText = 33787,
  kDsrPatientInfo = 33788,
  kDsrColorMap = 33789,
  kDsrColorBaseline = 33790,
  kDsrDataType = 33791,
  kDeffIdentification = 0x400A,
  kDeffVersion = 0x401C,
  kDeffCalibration = 0x401F,
  kDeffInterlaced = 0x9101,
};

// Installs the private tags in libtiff's tag extender (once per process)
// and routes libtiff's process-wide messages away from the terminal.
void Tiff_Register_Private_Tags();

// How the samples of a plain page are stored and what the record gets.
enum class TiffPath : uint8_t {
  Samples,  // integer samples as stored (grey, RGB, RGBA)
  Float,    // IEEE grey samples, to 32-bit integers with a rescale slope
  Palette,  // 8-bit indexes expanded through the colour map to RGB
  Raster,   // anything else, through libtiff's RGBA raster to 8-bit RGB
  Grey8Raster,  // narrow grey (1, 2, 4 bits), through the raster to 8 bits
};

struct TiffLayout {
  TiffPath path = TiffPath::Raster;
  uint16_t spp = 1;          // samples per pixel as stored
  uint16_t bps = 8;          // bits per sample as stored
  uint16_t format = 1;       // sample format (1 unsigned, 2 signed, 3 float)
  uint16_t photometric = 1;
  uint16_t planar = 1;
  uint16_t compression = 1;
  bool invert = false;       // white is zero: values are turned over
};

struct TiffDeff {
  bool present = false;
  uint16_t version[4] = {};  // major, minor, DEFF subclass, image subclass
  bool interlaced = false;
  uint32_t frames = 0;
  uint32_t rows_per_strip = 0;
  // Per frame: `strips_per_frame` entries each, filled by the strip set-up.
  uint32_t strips_per_frame = 1;
  std::vector<uint64_t> offsets, counts;
};

struct TiffDsr {
  bool present = false;
  uint32_t frames = 0;
  uint16_t image_map_type = 0;
  uint32_t color_map[4] = {};  // map code, colorization, green tag, threshold kind
  uint16_t baseline = 16;
  std::vector<uint32_t> times;  // start and duration (ms) per frame
  uint32_t strips_per_frame = 0;
  std::vector<uint64_t> offsets, counts;
};

// One open file: libtiff's handle over the read's byte source, shared by
// every record made from it and closed with the last of them. Calls into
// libtiff hold `lock`; `log` is where its messages go during that call.
struct TiffHandle {
  std::mutex lock;
  TIFF* tif = nullptr;
  std::shared_ptr<ByteSource> source;
  uint64_t pos = 0;          // libtiff's file position
  LogHandle log = nullptr;
  std::string name;
  TiffLayout layout;
  uint32_t rows_per_strip = 0;
  TiffDeff deff;
  TiffDsr dsr;

  TiffHandle() = default;
  TiffHandle(const TiffHandle&) = delete;
  TiffHandle& operator=(const TiffHandle&) = delete;
  ~TiffHandle();
};

// The family's storage in g2.storage: a copy shares the handle.
struct TiffStorage : FormatStorage {
  explicit TiffStorage(std::shared_ptr<TiffHandle> h) : handle(std::move(h)) {}
  int Copy_To(LogHandle log, ImageHeader& target) const override;
  std::shared_ptr<TiffHandle> handle;
};

// The handle of a record read by this family, or null.
TiffHandle* Tiff_Handle(const ImageHeader& ima);

// Opens libtiff over `source`; null after libtiff's messages went to `log`.
std::shared_ptr<TiffHandle> Tiff_Open(LogHandle log, std::shared_ptr<ByteSource> source, const std::string& name);

// Fills the record from the first directory's tags, lists them, and reads
// the private records. 1, or 0 after an ERROR line.
int TIFF_Read_Header_2(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima);
int TIFF_Read_DSR(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima);
int TIFF_Read_DEFF(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima);

// The number of pages from the first on that share its geometry and sample
// layout (at most `limit`).
uint32_t Tiff_Count_Pages(TiffHandle& h, uint32_t limit);

// Holds the handle for one call and sends libtiff's messages to `log`.
class TiffCall {
 public:
  TiffCall(TiffHandle& h, LogHandle log) : h_(h), guard_(h.lock) { h_.log = log; }
  ~TiffCall() { h_.log = nullptr; }

 private:
  TiffHandle& h_;
  std::lock_guard<std::mutex> guard_;
};
