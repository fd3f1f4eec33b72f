// The decoder's records, shared by its modules: one Decoder object holds
// everything one call needs (stream, image, frame, scan, tables, planes), so
// calls never meet.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "LibJPEG/jpeg.h"

namespace jpeg {

// Error codes, as callers and the trace show them.
enum : int {
  kErrNone = 0,
  kErrSlotInUse = 1,      // also: no quantization table
  kErrNoHuffman = 2,
  kErrPrecision = 4,
  kErrInput = 5,
  kErrResyncDisabled = 6,
  kErrResyncEnd = 7,
  kErrInvalid = 8,        // validity checks failed ("Invalid input detected.")
  kErrLineReset = 11,
  kErrMemory = 12,
};

// Markers.
enum : int {
  kSOF0 = 0xC0, kSOF1 = 0xC1, kSOF2 = 0xC2, kSOF3 = 0xC3, kDHT = 0xC4,
  kRST0 = 0xD0, kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kDQT = 0xDB, kDNL = 0xDC, kDRI = 0xDD,
};

// ---- Huffman tables (huffman.cpp) ----

// Bits looked ahead by the table-driven decoder; longer codes take the
// MAXCODE walk.
constexpr int kLook = 10;

// One lookahead entry, packed in 32 bits:
//   bits 0-15  value: the extended difference or coefficient when resolved
//   bits 16-23 the Huffman value (SSSS, or RRRRSSSS)
//   bits 24-27 code length (0: code longer than kLook, take the walk)
//   bits 28-31 bits to consume when resolved (code + extra bits), else 0
using LookEntry = uint32_t;

enum class HuffKind { Lossless, DC, AC };

struct HuffTable {
  uint8_t bits[17] = {};     // BITS[1..16]
  uint8_t huffval[256] = {};
  int count = 0;             // number of values
  int maxlen = 0;            // longest code length in use
  int32_t maxcode[18] = {};  // -1 when no code of that length
  int32_t valoff[18] = {};   // VALPTR - MINCODE
  LookEntry look[1 << kLook] = {};
};

// Builds the decoder tables from bits/huffval (T.81 C.1, C.2, F.15) and the
// lookahead entries for the given use.
void MakeDhuff(HuffTable& t, HuffKind kind);

// ---- the bit reader over one entropy-coded segment ----

// Reads the bytes of one entropy-coded segment with the 0xFF 0x00 stuffing
// already removed; past its end it delivers zero bits and counts them.
struct BitReader {
  const uint8_t* buf = nullptr;  // unstuffed bytes, 8 zero bytes of padding after `len`
  size_t len = 0;
  size_t pos = 0;                // next byte to load (may run past len)
  uint64_t acc = 0;              // bits, most significant first
  int bits = 0;                  // valid bits in acc

  void Reset(const uint8_t* b, size_t n) {
    buf = b;
    len = n;
    pos = 0;
    acc = 0;
    bits = 0;
  }
  // At least 56 bits in acc afterwards.
  inline void Refill() {
    if (__builtin_expect(pos + 8 <= len, 1)) {
      uint64_t w;
      std::memcpy(&w, buf + pos, 8);
      acc |= __builtin_bswap64(w) >> bits;
      pos += static_cast<size_t>((63 - bits) >> 3);
      bits |= 56;
    } else {
      Refill_Tail();
    }
  }
  void Refill_Tail() {
    while (bits < 56) {
      const uint64_t b = pos < len ? buf[pos] : 0;
      ++pos;
      acc |= b << (56 - bits);
      bits += 8;
    }
  }
  inline uint32_t Peek(int n) const { return static_cast<uint32_t>(acc >> (64 - n)); }
  inline void Skip(int n) {
    acc <<= n;
    bits -= n;
  }
  // n in 1..16, after a Refill.
  inline uint32_t Get(int n) {
    const uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  // Bits taken past the end of the segment's data.
  bool Overrun() const { return pos * 8 > len * 8 + static_cast<size_t>(bits); }
};

// ---- records ----

// Frame component, kept under its identifier (0..255).
struct FrameComp {
  bool in_frame = false;
  uint8_t h = 0, v = 0;   // sampling factors
  uint8_t tq = 0;         // quantization table number as read
  int width = 0, height = 0;
  int index = -1;         // position in the frame header
};

// A component plane: where the decoded samples of one component go. For a
// plane that is the output itself, xs is the number of output components.
struct Plane {
  uint8_t* base = nullptr;
  size_t xs = 1;          // samples between neighbours on a line
  size_t ys = 0;          // samples between lines
  int w = 0, h = 0;       // samples that may be written (padded to whole MDUs)
  int crop_w = 0, crop_h = 0;  // samples that exist in the output (<= w, h)
  bool wide = false;      // uint16 samples
  bool cropped = false;   // writes beyond crop_w/crop_h are dropped (output planes)
  bool internal = false;
};

struct ScanComp {
  int id = 0;
  int td = 0, ta = 0;     // DC (lossless) and AC table numbers
  int32_t last_dc = 0;
  HuffTable* dc = nullptr;
  HuffTable* ac = nullptr;
};

constexpr int kMaxRepeats = 8;  // per-sample warnings given per call before they go quiet

// The decoder's own planes, from the caller's allocator.
class PlaneStore {
 public:
  PlaneStore() = default;
  PlaneStore(const PlaneStore&) = delete;
  PlaneStore& operator=(const PlaneStore&) = delete;
  ~PlaneStore() { Release(); }
  // `bytes` zeroed bytes; false when the allocator refused or failed.
  bool Allocate(const JpegAllocator& allocator, size_t bytes);
  uint8_t* data() { return static_cast<uint8_t*>(block_); }

 private:
  void Release();
  JpegAllocator allocator_;
  void* block_ = nullptr;
};

struct Decoder {
  // input and call settings
  std::span<const uint8_t> in;
  size_t pos = 0;
  LogHandle log = nullptr;
  JpegOptions opt;
  JpegHooks hooks;
  int verbosity = 0;
  bool header_only = false;  // Jpeg_Read_Info: stop at the first scan

  // error state
  int error = 0;
  int warnings = 0;
  int huff_errors = 0;       // per-sample warnings so far
  bool marker_warned = false;

  // image
  int frame_count = 0;
  bool eoi = false;
  uint16_t qt[16][64] = {};  // natural order
  bool qt_defined[16] = {};
  std::unique_ptr<HuffTable> dc[16], ac[16];
  int dc_count = 0, ac_count = 0;

  // frame
  bool have_frame = false;
  int type = 0;              // 0 baseline, 1 extended, 3 lossless
  int precision = 8;
  int height = 0, width = 0;
  int restart = 0;
  int ncomp = 0;
  uint8_t comp_ids[256] = {};  // identifiers in frame order
  FrameComp comp[256];
  int hmax = 1, vmax = 1;
  int mdu_w = 0, mdu_h = 0;    // image width and height in MDUs

  // scan
  bool in_scan = false;
  int scan_count = 0;
  int scan_ncomp = 0;
  ScanComp sc[15];
  int ss = 0, se = 0, ah = 0, al = 0;
  int scan_mdu_w = 0, scan_mdu_h = 0;
  int64_t mdus_to_decode = 0;
  bool ge_bug = false;

  // restarts
  bool resync_enabled = false;
  int resync_count = 0;
  int last_resync = 7;
  bool resync_pending = false;

  // output and planes
  bool planes_ready = false;
  std::span<uint8_t> out;
  bool decoded[4] = {};        // components some scan decoded
  int out_components = 0, out_bytes = 0;
  Plane planes[4];             // by frame position; only the first four are kept
  PlaneStore plane_store;      // the planes that are not the output itself
  std::vector<uint8_t> seg;    // unstuffed entropy-coded segment
  BitReader br;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
};

// ---- messages (stream.cpp) ----

void Msg_Error(Decoder& d, const char* file, const char* routine, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void Msg_Warning(Decoder& d, const char* file, const char* routine, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void Msg_Info(Decoder& d, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The location line, then a detail line, at trace level 6 (not on the
// standard output, which belongs to the command's own output).
void Msg_Detail(Decoder& d, const char* file, const char* routine, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// Verbosity-gated diagnostics at trace level 10.
void Msg_Trace(Decoder& d, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define JPEG_ERROR(d, code, ...)                                   \
  do {                                                             \
    Msg_Error((d), __FILE_NAME__, __func__, __LINE__, __VA_ARGS__); \
    if (!(d).error) (d).error = (code);                            \
  } while (0)
#define JPEG_WARN(d, ...) Msg_Warning((d), __FILE_NAME__, __func__, __LINE__, __VA_ARGS__)
#define JPEG_DETAIL(d, ...) Msg_Detail((d), __FILE_NAME__, __func__, __LINE__, __VA_ARGS__)

// ---- stream (stream.cpp) ----

// -1 at the end of the data.
inline int bgetc(Decoder& d) { return d.pos < d.in.size() ? d.in[d.pos++] : -1; }
// -1 when fewer than two bytes are left.
inline int bgetw(Decoder& d) {
  if (d.pos + 2 > d.in.size()) {
    d.pos = d.in.size();
    return -1;
  }
  const int v = (d.in[d.pos] << 8) | d.in[d.pos + 1];
  d.pos += 2;
  return v;
}
inline int PeekByte(const Decoder& d) { return d.pos < d.in.size() ? d.in[d.pos] : -1; }
// Unstuffs the entropy-coded segment at the current position into d.seg,
// leaves the position at the marker (or the end) that ends it, and points
// the bit reader at it.
void LoadSegment(Decoder& d);

// ---- markers (marker.cpp) ----

// The marker handled, or -1 when the next byte is not a marker.
int ScreenMarker(Decoder& d);
// Screens markers until one is not found; -1 only when the first finds none.
int ScreenAllMarkers(Decoder& d);
int DoMarker(Decoder& d, int marker);
void SkipSegment(Decoder& d);
// At a restart boundary: the RST number found, or -1 (then Resync ran).
int ReadResync(Decoder& d);
void Resync(Decoder& d);
// Searches the scan's data for the DNL segment that gives a frame of height
// 0 its number of lines; 0 when there is none.
int FindDnlHeight(const Decoder& d);
void MakeConsistentFrameSize(Decoder& d);

// ---- Huffman decoding (huffman.cpp) ----

// The MAXCODE walk for codes longer than the lookahead; warns and gives 0
// for a code that is not in the table.
int DecodeHuffman(Decoder& d, BitReader& br, const HuffTable& t);
// Selects the scan's DC tables with the GE check; sets d.ge_bug.
int UseDCHuffmanCheckingGEMSBug(Decoder& d, bool check_ge);
int UseACHuffman(Decoder& d);

// T.81 F.2.2.1 EXTEND.
inline int Extend(uint32_t v, int s) { return v < (1u << (s - 1)) ? static_cast<int>(v) - (1 << s) + 1 : static_cast<int>(v); }

// The next lossless difference or DC difference: magnitude category, then
// RECEIVE and EXTEND (16 means 32768, kept as -32768: the same modulo 2^16).
inline int DecodeDiff(Decoder& d, BitReader& br, const HuffTable& t) {
  br.Refill();
  const LookEntry e = t.look[br.Peek(kLook)];
  if (__builtin_expect((e >> 28) != 0, 1)) {
    br.Skip(static_cast<int>(e >> 28));
    return static_cast<int16_t>(e & 0xFFFF);
  }
  int s;
  if (e >> 24) {
    br.Skip(static_cast<int>((e >> 24) & 15));
    s = static_cast<int>((e >> 16) & 0xFF);
  } else {
    s = DecodeHuffman(d, br, t);
  }
  if (s == 0) return 0;
  if (s >= 16) return -32768;
  return Extend(br.Get(s), s);
}

// ---- scans (jpeg.cpp, transform.cpp) ----

int SetupPlanes(Decoder& d);
void JpegLosslessDecodeScan(Decoder& d);
void JpegDecodeScan(Decoder& d);
// Handles the restart boundary before interval `k` (k >= 1): 1 to decode
// on, 0 when decoding must stop (error).
int RestartBoundary(Decoder& d, int64_t k);
// Output assembly from internal planes: colour conversion, upsampling.
void AssembleOutput(Decoder& d);
// The inverse DCT of one 8-bit block: dequantized coefficients (natural
// order) to 8 x 8 samples, level-shifted and clamped.
void Idct_Block_8(const int16_t* coef, const uint16_t* quant, uint8_t* out);

}  // namespace jpeg
