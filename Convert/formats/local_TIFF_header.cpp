// The TIFF header: libtiff opened over the read's byte source, the first
// directory's tags into the record and its listing, and the records of the
// two ultrasound variants filled from their private tags.
#include "Convert/formats/local_TIFF_header.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "Convert/conv_budget.h"
#include "Convert/conv_format_registry.h"
#include "Convert/conv_header_text.h"
#include "Convert/formats/local_TIFF_DSR_map.h"

namespace {

// ---- libtiff over a ByteSource ----

tmsize_t Proc_Read(thandle_t fd, void* buf, tmsize_t size) {
  auto* h = static_cast<TiffHandle*>(fd);
  if (size <= 0) return 0;
  const ptrdiff_t got = h->source->Read_At(h->pos, buf, static_cast<size_t>(size));
  if (got < 0) return -1;
  h->pos += static_cast<uint64_t>(got);
  return got;
}
tmsize_t Proc_Write(thandle_t, void*, tmsize_t) { return -1; }
toff_t Proc_Seek(thandle_t fd, toff_t off, int whence) {
  auto* h = static_cast<TiffHandle*>(fd);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = h->pos;
  else if (whence == SEEK_END) base = h->source->size();
  if (off > UINT64_MAX - base) return static_cast<toff_t>(-1);
  h->pos = base + off;
  return h->pos;
}
int Proc_Close(thandle_t) { return 0; }
toff_t Proc_Size(thandle_t fd) { return static_cast<TiffHandle*>(fd)->source->size(); }
int Proc_Map(thandle_t, void**, toff_t*) { return 0; }
void Proc_Unmap(thandle_t, void*, toff_t) {}

// libtiff's messages go to the log of the call under way, never to the terminal.
int Message(void* user, int level, const char* kind, const char* module, const char* fmt, va_list ap) {
  auto* h = static_cast<TiffHandle*>(user);
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  if (h) Log_Print(h->log, level, "--> libtiff %s (%s): %s", kind, module ? module : "-", text);
  return 1;
}
int On_Error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  return Message(user, 6, "error", module, fmt, ap);
}
int On_Warning(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  return Message(user, 7, "warning", module, fmt, ap);
}

// ---- private tags ----

const TIFFFieldInfo kPrivateTags[] = {
    {kDsrApplicationId, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRApplicationID")},
    {kDsrFrameCount, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRNumberOfFrames")},
    {kDsrFrameTimes, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_LONG, FIELD_CUSTOM, 1, 1, const_cast<char*>("DSRFrameTimes")},
    {kDsrScreenFormat, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRScreenFormat")},
    {kDsrImageMapType, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRImageMapType")},
    {kDsrApplicationText, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRApplicationDescription")},
    {kDsrPatientInfo, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRPatientInformation")},
    {kDsrColorMap, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_LONG, FIELD_CUSTOM, 1, 1, const_cast<char*>("DSRColorMap")},
    {kDsrColorBaseline, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRColorBaseline")},
    {kDsrDataType, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("DSRDataType")},
    {kDeffIdentification, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("DEFFIdentification")},
    {kDeffVersion, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SHORT, FIELD_CUSTOM, 1, 1, const_cast<char*>("DEFFVersion")},
    {kDeffCalibration, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("DEFFCalibration")},
    {kDeffInterlaced, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("DEFFInterlaced")},
};

TIFFExtendProc g_parent_extender = nullptr;  // set once, before any open

void Extend(TIFF* tif) {
  TIFFMergeFieldInfo(tif, kPrivateTags, sizeof kPrivateTags / sizeof kPrivateTags[0]);
  if (g_parent_extender) g_parent_extender(tif);
}

// ---- reading tags ----

std::string Get_Ascii(TIFF* tif, uint32_t tag) {
  const char* s = nullptr;
  if (TIFFGetField(tif, tag, &s) == 1 && s) return s;
  return {};
}
bool Get_U16(TIFF* tif, uint32_t tag, uint16_t& v) { return TIFFGetField(tif, tag, &v) == 1; }
bool Get_U32(TIFF* tif, uint32_t tag, uint32_t& v) { return TIFFGetField(tif, tag, &v) == 1; }
bool Get_Float(TIFF* tif, uint32_t tag, float& v) { return TIFFGetField(tif, tag, &v) == 1; }
template <typename T>
std::span<const T> Get_Array(TIFF* tif, uint32_t tag) {
  uint32_t n = 0;
  const T* p = nullptr;
  if (TIFFGetField(tif, tag, &n, &p) != 1 || !p) return {};
  return {p, n};
}

// The fields separated by backslashes in a private text tag.
std::vector<std::string> Split_Fields(const std::string& s) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    const size_t at = s.find('\\', from);
    out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) break;
    from = at + 1;
  }
  return out;
}
std::string Field(const std::vector<std::string>& f, size_t i) { return i < f.size() ? f[i] : std::string{}; }
std::string Joined(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return a.empty() ? b : a;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%s %s", a.c_str(), b.c_str());
  return buf;
}

// ---- the baseline tags' listing ----

enum class Kind : uint8_t { U16, U32, Real, Text, Pair, Count, Present };
struct TagLine {
  uint32_t tag;
  Kind kind;
};
// Tags 254 to 341 and 512 to 515 that a file may carry, in tag order.
constexpr TagLine kBaseline[] = {
    {TIFFTAG_SUBFILETYPE, Kind::U32},     {TIFFTAG_IMAGEWIDTH, Kind::U32},     {TIFFTAG_IMAGELENGTH, Kind::U32},
    {TIFFTAG_BITSPERSAMPLE, Kind::U16},   {TIFFTAG_COMPRESSION, Kind::U16},    {TIFFTAG_PHOTOMETRIC, Kind::U16},
    {TIFFTAG_THRESHHOLDING, Kind::U16},   {TIFFTAG_FILLORDER, Kind::U16},      {TIFFTAG_DOCUMENTNAME, Kind::Text},
    {TIFFTAG_IMAGEDESCRIPTION, Kind::Text}, {TIFFTAG_MAKE, Kind::Text},        {TIFFTAG_MODEL, Kind::Text},
    {TIFFTAG_STRIPOFFSETS, Kind::Count},  {TIFFTAG_ORIENTATION, Kind::U16},    {TIFFTAG_SAMPLESPERPIXEL, Kind::U16},
    {TIFFTAG_ROWSPERSTRIP, Kind::U32},    {TIFFTAG_STRIPBYTECOUNTS, Kind::Count}, {TIFFTAG_MINSAMPLEVALUE, Kind::U16},
    {TIFFTAG_MAXSAMPLEVALUE, Kind::U16},  {TIFFTAG_XRESOLUTION, Kind::Real},   {TIFFTAG_YRESOLUTION, Kind::Real},
    {TIFFTAG_PLANARCONFIG, Kind::U16},    {TIFFTAG_PAGENAME, Kind::Text},      {TIFFTAG_XPOSITION, Kind::Real},
    {TIFFTAG_YPOSITION, Kind::Real},      {TIFFTAG_RESOLUTIONUNIT, Kind::U16}, {TIFFTAG_PAGENUMBER, Kind::Pair},
    {TIFFTAG_SOFTWARE, Kind::Text},       {TIFFTAG_DATETIME, Kind::Text},      {TIFFTAG_ARTIST, Kind::Text},
    {TIFFTAG_HOSTCOMPUTER, Kind::Text},   {TIFFTAG_PREDICTOR, Kind::U16},      {TIFFTAG_COLORMAP, Kind::Present},
    {TIFFTAG_TILEWIDTH, Kind::U32},       {TIFFTAG_TILELENGTH, Kind::U32},     {TIFFTAG_TILEOFFSETS, Kind::Count},
    {TIFFTAG_TILEBYTECOUNTS, Kind::Count}, {TIFFTAG_INKSET, Kind::U16},        {TIFFTAG_EXTRASAMPLES, Kind::Present},
    {TIFFTAG_SAMPLEFORMAT, Kind::U16},
};

void List_Baseline(const ReadContext& ctx, TIFF* tif) {
  for (const TagLine& t : kBaseline) {
    const TIFFField* f = TIFFFindField(tif, t.tag, TIFF_ANY);
    if (!f) continue;
    char label[64];
    std::snprintf(label, sizeof label, "%u %s", t.tag, TIFFFieldName(f));
    switch (t.kind) {
      case Kind::U16: {
        uint16_t v = 0;
        if (Get_U16(tif, t.tag, v)) Text_Field(ctx, label, "%u", v);
        break;
      }
      case Kind::U32: {
        uint32_t v = 0;
        if (Get_U32(tif, t.tag, v)) Text_Field(ctx, label, "%u", v);
        break;
      }
      case Kind::Real: {
        float v = 0;
        if (Get_Float(tif, t.tag, v)) Text_Field(ctx, label, "%g", static_cast<double>(v));
        break;
      }
      case Kind::Text: {
        const char* s = nullptr;
        if (TIFFGetField(tif, t.tag, &s) == 1 && s) Text_Field(ctx, label, "%.200s", s);
        break;
      }
      case Kind::Pair: {
        uint16_t a = 0, b = 0;
        if (TIFFGetField(tif, t.tag, &a, &b) == 1) Text_Field(ctx, label, "%u %u", a, b);
        break;
      }
      case Kind::Count: {
        const bool tile_tag = t.tag == TIFFTAG_TILEOFFSETS || t.tag == TIFFTAG_TILEBYTECOUNTS;
        if (tile_tag == (TIFFIsTiled(tif) != 0))
          Text_Field(ctx, label, "%u entries", tile_tag ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif));
        break;
      }
      case Kind::Present: {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        uint16_t count = 0;
        if (t.tag == TIFFTAG_COLORMAP ? TIFFGetField(tif, t.tag, &r, &g, &b) == 1
                                      : TIFFGetField(tif, t.tag, &count, &r) == 1)
          Text_Field(ctx, label, "present");
        break;
      }
    }
  }
}

// ---- the sample layout of a page ----

TiffLayout Layout_Of(TIFF* tif) {
  TiffLayout l;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
  if (!Get_U16(tif, TIFFTAG_PHOTOMETRIC, l.photometric)) l.photometric = l.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  const bool grey = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
  // JPEG data in YCbCr: libtiff's codec hands RGB out.
  const bool rgb = l.photometric == PHOTOMETRIC_RGB ||
                   (l.photometric == PHOTOMETRIC_YCBCR && l.compression == COMPRESSION_JPEG);
  const bool whole = l.bps == 8 || l.bps == 16 || l.bps == 32;
  l.path = TiffPath::Raster;
  if (grey && l.spp == 1 && l.format == SAMPLEFORMAT_IEEEFP && (l.bps == 32 || l.bps == 64)) {
    l.path = TiffPath::Float;
  } else if (grey && l.spp == 1 && whole && l.format != SAMPLEFORMAT_IEEEFP) {
    l.path = TiffPath::Samples;
    l.invert = l.photometric == PHOTOMETRIC_MINISWHITE;
  } else if (grey && l.spp == 1 && l.bps < 8) {
    l.path = TiffPath::Grey8Raster;
  } else if (rgb && (l.spp == 3 || l.spp == 4) && (l.bps == 8 || l.bps == 16) && l.format != SAMPLEFORMAT_IEEEFP) {
    l.path = TiffPath::Samples;
  } else if (l.photometric == PHOTOMETRIC_PALETTE && l.spp == 1 && l.bps == 8) {
    l.path = TiffPath::Palette;
  }
  return l;
}

bool Same_Layout(const TiffLayout& a, const TiffLayout& b) {
  return a.path == b.path && a.spp == b.spp && a.bps == b.bps && a.format == b.format &&
         a.photometric == b.photometric;
}

// What the record says about samples of this layout.
void Set_Pixels(ImageHeader& ima, const TiffLayout& l) {
  ImageG2& g = ima.g2;
  g.pix_sign = 0;
  switch (l.path) {
    case TiffPath::Samples:
      g.pix_plane = static_cast<uint8_t>(l.spp);
      g.pix_store = l.bps;
      g.pix_bits = l.bps;
      g.pix_sign = l.format == SAMPLEFORMAT_INT && l.spp == 1;
      break;
    case TiffPath::Float:
      g.pix_plane = 1;
      g.pix_store = 32;
      g.pix_bits = 32;
      g.pix_sign = 1;
      break;
    case TiffPath::Grey8Raster:
      g.pix_plane = 1;
      g.pix_store = 8;
      g.pix_bits = 8;
      break;
    case TiffPath::Palette:
    case TiffPath::Raster:
      g.pix_plane = 3;
      g.pix_store = 8;
      g.pix_bits = 8;
      break;
  }
  g.pix_high = static_cast<uint8_t>(g.pix_bits - 1);
}

// ---- DSR and DEFF header lines ----

const TextCode kColorization[] = {{0, "None"}, {1, "Thallium"}, {2, "Harvest Wheat"}};
const TextCode kThresholdKind[] = {{0, "Radiology"}, {1, "Cardiology"}, {2, "Angio Write Priority"},
                                   {3, "Doppler Tissue Color"}};

void Line_Ascii(const ReadContext& ctx, uint32_t tag, const char* label, const std::string& value) {
  char l[64];
  std::snprintf(l, sizeof l, "%u %s", tag, label);
  Text_Field(ctx, l, "%.200s", value.c_str());
}
void Line_Number(const ReadContext& ctx, uint32_t tag, const char* label, unsigned value) {
  char l[64];
  std::snprintf(l, sizeof l, "%u %s", tag, label);
  Text_Field(ctx, l, "%u", value);
}
void Line_Named(const ReadContext& ctx, const char* label, const char* name) {
  Text_Field(ctx, label, "%s", name ? name : "INVALID VALUE");
}

}  // namespace

TiffHandle::~TiffHandle() {
  if (tif) TIFFClose(tif);
}

int TiffStorage::Copy_To(LogHandle, ImageHeader& target) const {
  target.g2.storage = std::make_unique<TiffStorage>(handle);
  return 1;
}

TiffHandle* Tiff_Handle(const ImageHeader& ima) {
  auto* s = dynamic_cast<TiffStorage*>(ima.g2.storage.get());
  return s ? s->handle.get() : nullptr;
}

void Tiff_Register_Private_Tags() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_parent_extender = TIFFSetTagExtender(Extend);
    // Messages of calls made without a handle would otherwise reach stderr.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

std::shared_ptr<TiffHandle> Tiff_Open(LogHandle log, std::shared_ptr<ByteSource> source, const std::string& name) {
  Tiff_Register_Private_Tags();
  std::shared_ptr<TiffHandle> h;
  try {
    h = std::make_shared<TiffHandle>();
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "tiff", 1, static_cast<long long>(sizeof(TiffHandle)));
    return nullptr;
  }
  h->source = std::move(source);
  h->name = name;
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (!opts) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(opts, On_Error, h.get());
  TIFFOpenOptionsSetWarningHandlerExtR(opts, On_Warning, h.get());
  // libtiff's own buffers stay within the pixel budget too.
  const uint64_t budget = Image_Budget_Bytes();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(std::min<uint64_t>(budget, INT64_MAX)));
  {
    TiffCall call(*h, log);
    // "m": no mapping, the reads go through the source.
    h->tif = TIFFClientOpenExt(name.c_str(), "rm", h.get(), Proc_Read, Proc_Write, Proc_Seek, Proc_Close, Proc_Size,
                               Proc_Map, Proc_Unmap, opts);
  }
  TIFFOpenOptionsFree(opts);
  if (!h->tif) return nullptr;
  return h;
}

uint32_t Tiff_Count_Pages(TiffHandle& h, uint32_t limit) {
  TIFF* tif = h.tif;
  uint32_t w0 = 0, l0 = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w0);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l0);
  uint32_t n = 1;
  // libtiff refuses directory chains that loop.
  while (n < limit && TIFFReadDirectory(tif)) {
    uint32_t w = 0, l = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l);
    if (w != w0 || l != l0 || !Same_Layout(Layout_Of(tif), h.layout)) break;
    ++n;
  }
  TIFFSetDirectory(tif, 0);
  return n;
}

int TIFF_Read_Header_2(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima) {
  Log_Print(ctx, 8, "in TIFF_Read_Header_2()");
  TIFF* tif = h.tif;
  uint32_t width = 0, length = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
  if (width == 0 || length == 0 || width > 0xFFFF || length > 0xFFFF) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 TIFF image of %ux%u pixels: not readable\xF0", width, length);
    return 0;
  }
  ima.dim_x = static_cast<uint16_t>(width);
  ima.dim_y = static_cast<uint16_t>(length);
  h.layout = Layout_Of(tif);
  Set_Pixels(ima, h.layout);
  h.rows_per_strip = length;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &h.rows_per_strip);

  float v = 0;
  if (Get_Float(tif, TIFFTAG_XPOSITION, v)) ima.g1.position[0] = v;
  if (Get_Float(tif, TIFFTAG_YPOSITION, v)) ima.g1.position[1] = v;
  if (Get_Float(tif, TIFFTAG_XRESOLUTION, v) && v > 0) ima.g1.pix_dim[0] = 1.0f / v;
  if (Get_Float(tif, TIFFTAG_YRESOLUTION, v) && v > 0) ima.g1.pix_dim[1] = 1.0f / v;
  uint16_t unit = RESUNIT_INCH;
  Get_U16(tif, TIFFTAG_RESOLUTIONUNIT, unit);
  // An inch is 25.4 mm exactly.
  const float scale = unit == RESUNIT_CENTIMETER ? 10.0f : unit == RESUNIT_INCH ? 25.4f : 1.0f;
  for (int i = 0; i < 2; ++i) {
    ima.g1.pix_dim[i] *= scale;
    ima.g1.position[i] *= scale;
  }
  ima.g1.study_comment = Get_Ascii(tif, TIFFTAG_DOCUMENTNAME);
  ima.g1.image_comment = Get_Ascii(tif, TIFFTAG_IMAGEDESCRIPTION);
  ima.g4.manufacturer = Get_Ascii(tif, TIFFTAG_MAKE);
  ima.g4.model = Get_Ascii(tif, TIFFTAG_MODEL);

  if (ctx.Text_Level()) {
    Text_Title(ctx, "------ ------ TIFF header ------ ------");
    List_Baseline(ctx, tif);
  }
  uint16_t u16;
  uint32_t u32;
  if (Get_U32(tif, kDsrFrameCount, u32) || Get_U16(tif, kDsrImageMapType, u16)) {
    if (!TIFF_Read_DSR(ctx, h, ima)) return 0;
  } else if (!Get_Array<uint16_t>(tif, kDeffVersion).empty() || Get_U16(tif, kDeffInterlaced, u16)) {
    if (!TIFF_Read_DEFF(ctx, h, ima)) return 0;
  }
  return 1;
}

int TIFF_Read_DSR(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima) {
  Log_Print(ctx, 8, "in TIFF_Read_DSR()");
  TIFF* tif = h.tif;
  TiffDsr& d = h.dsr;
  d = TiffDsr{};
  d.present = true;
  Get_U32(tif, kDsrFrameCount, d.frames);
  Get_U16(tif, kDsrImageMapType, d.image_map_type);
  Get_U16(tif, kDsrColorBaseline, d.baseline);
  const auto map = Get_Array<uint32_t>(tif, kDsrColorMap);
  for (size_t i = 0; i < 4 && i < map.size(); ++i) d.color_map[i] = map[i];
  const auto times = Get_Array<uint32_t>(tif, kDsrFrameTimes);
  d.times.assign(times.begin(), times.end());
  ima.format = Code(FormatCode::DSR);
  ima.modality = kModalityUS;
  // Frames are two 8-bit planes; all map types but black and white render in colour.
  ima.g2.pix_store = 8;
  ima.g2.pix_bits = 8;
  ima.g2.pix_high = 7;
  ima.g2.pix_sign = 0;
  ima.g2.pix_plane = d.image_map_type == 3 ? 1 : 4;

  const std::vector<std::string> info = Split_Fields(Get_Ascii(tif, kDsrPatientInfo));
  ima.g3.patient_ID = Field(info, 0);
  ima.g3.physician_name = Field(info, 1);
  ima.g3.hospital_name = Field(info, 2);
  ima.g3.radiologist_name = Field(info, 3);
  ima.g4.scan_protocol = Field(info, 4);
  ima.g1.study_comment = Field(info, 5);
  ima.g1.series_comment = Field(info, 6);
  ima.g1.image_comment = Field(info, 7);

  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "------ ------ DSR header ------ ------");
  Line_Ascii(ctx, kDsrApplicationId, "Application ID", Get_Ascii(tif, kDsrApplicationId));
  Line_Number(ctx, kDsrFrameCount, "Number of Frames in File", d.frames);
  for (size_t k = 0; k + 1 < d.times.size(); k += 2)
    Text_Line(ctx, "start:%-4d msec duration:%-4d msec", static_cast<int>(d.times[k]), static_cast<int>(d.times[k + 1]));
  uint16_t u = 0;
  if (Get_U16(tif, kDsrScreenFormat, u)) Line_Number(ctx, kDsrScreenFormat, "Screen Format", u);
  Line_Number(ctx, kDsrImageMapType, "Image Map Type", d.image_map_type);
  Line_Ascii(ctx, kDsrApplicationText, "Application Description", Get_Ascii(tif, kDsrApplicationText));
  char name[48];
  Line_Named(ctx, "33789 Color Map", Dsr_Map_Name(d.color_map[0], name, sizeof name));
  const char* colorization = Text_Code_Name(kColorization, static_cast<int>(d.color_map[1]));
  Text_Field(ctx, "    colorization", "%s", colorization ? colorization : "Invalid");
  Text_Field(ctx, "    green tag", "%u", d.color_map[2]);
  Line_Named(ctx, "    threshold", Text_Code_Name(kThresholdKind, static_cast<int>(d.color_map[3])));
  Line_Number(ctx, kDsrColorBaseline, "Color Baseline", d.baseline);
  if (Get_U16(tif, kDsrDataType, u)) Line_Number(ctx, kDsrDataType, "Data Type", u);
  Text_Field(ctx, "Patient ID", "%s", ima.g3.patient_ID.c_str());
  Text_Field(ctx, "Physician", "%s", ima.g3.physician_name.c_str());
  Text_Field(ctx, "Hospital", "%s", ima.g3.hospital_name.c_str());
  Text_Field(ctx, "Radiologist", "%s", ima.g3.radiologist_name.c_str());
  return 1;
}

int TIFF_Read_DEFF(const ReadContext& ctx, TiffHandle& h, ImageHeader& ima) {
  Log_Print(ctx, 8, "in TIFF_Read_DEFF()");
  TIFF* tif = h.tif;
  TiffDeff& d = h.deff;
  d = TiffDeff{};
  d.present = true;
  const auto version = Get_Array<uint16_t>(tif, kDeffVersion);
  for (size_t i = 0; i < 4 && i < version.size(); ++i) d.version[i] = version[i];
  uint16_t interlaced = 0;
  Get_U16(tif, kDeffInterlaced, interlaced);
  d.interlaced = interlaced != 0;
  d.strips_per_frame = d.interlaced ? 2 : 1;
  d.rows_per_strip = d.interlaced ? (ima.dim_y + 1u) / 2 : ima.dim_y;
  // Frames are what the strip table holds, whole frames only.
  const uint32_t planes = h.layout.planar == PLANARCONFIG_SEPARATE ? h.layout.spp : 1;
  d.strips_per_frame *= planes;
  d.frames = TIFFNumberOfStrips(tif) / d.strips_per_frame;
  ima.format = Code(FormatCode::DEFF);
  ima.modality = kModalityUS;
  ima.g2.pix_store = 8;
  ima.g2.pix_bits = 8;
  ima.g2.pix_high = 7;
  ima.g2.pix_sign = 0;
  ima.g2.pix_plane = h.layout.spp >= 3 ? 3 : 1;

  const std::vector<std::string> id = Split_Fields(Get_Ascii(tif, kDeffIdentification));
  ima.g3.patient_ID = Field(id, 0);
  ima.g3.patient_name = Joined(Field(id, 1), Field(id, 2));
  ima.g4.scan_protocol = Joined(Field(id, 3), Field(id, 4));
  ima.g4.manufacturer = Field(id, 6);
  ima.g4.model = Field(id, 7);
  const auto cal = Get_Array<double>(tif, kDeffCalibration);
  if (!cal.empty() && cal[0] >= 0 && cal[0] < 200) ima.g3.patient_age[0] = static_cast<uint16_t>(cal[0]);

  if (!ctx.Text_Level()) return 1;
  Text_Title(ctx, "------ ------ DEFF header ------ ------");
  char label[64];
  std::snprintf(label, sizeof label, "0x%04X DEFF version", kDeffVersion);
  if (d.version[0] > 2 || (d.version[0] == 2 && d.version[1] > 6))
    Text_Field(ctx, label, "%u.%u -> greater than 2.6", d.version[0], d.version[1]);
  else
    Text_Field(ctx, label, "%u.%u", d.version[0], d.version[1]);
  Text_Field(ctx, "    DEFF subclass", "%u", d.version[2]);
  Text_Field(ctx, "    image subclass", "%u", d.version[3]);
  static const char* const kIdLabels[] = {"Patient ID", "Last name", "First name", "Acquisition protocol",
                                          "Stage protocol", "View name", "Original manufacturer",
                                          "Original model", "Original software", "Source manufacturer",
                                          "Source model", "Source software"};
  std::snprintf(label, sizeof label, "0x%04X identification", kDeffIdentification);
  Text_Line(ctx, "%s", label);
  for (size_t i = 0; i < std::size(kIdLabels) && i < id.size(); ++i)
    Text_Field(ctx, kIdLabels[i], "%.200s", id[i].c_str());
  if (!cal.empty()) {
    std::snprintf(label, sizeof label, "0x%04X patient age", kDeffCalibration);
    Text_Field(ctx, label, "%g", cal[0]);
    // Calibration regions: x0 y0 x1 y1, then mm per pixel across and down.
    for (size_t r = 1; r + 6 <= cal.size(); r += 6)
      Text_Line(ctx, "region (%g,%g)-(%g,%g): %g x %g mm", cal[r], cal[r + 1], cal[r + 2], cal[r + 3], cal[r + 4],
                cal[r + 5]);
  }
  std::snprintf(label, sizeof label, "0x%04X interlaced image", kDeffInterlaced);
  if (interlaced > 1) Text_Field(ctx, label, "INVALID VALUE");
  else Text_Field(ctx, label, "%s", d.interlaced ? "yes" : "no");
  return 1;
}
