// The DICOM, ACR-NEMA and Papyrus element-stream reader: sniffing a stream,
// walking its elements (sequences and items to a bounded depth), the
// transfer syntax, and the per-image storage of the pixel data locations.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/kema_image.h"
#include "Convert/formats/dicom/local_NEMA_read.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

// Transfer mode bits (ImageHeader::transfer_mode).
enum : uint8_t {
  kNemaBigEndian = 0x01,
  kNemaExplicitVR = 0x08,
  kNemaDeflated = 0x40,  // the data set after the meta group is deflated
  kNemaGeLengthFix = 0x80,
};

inline constexpr uint32_t kNemaUndefined = 0xFFFFFFFF;

// Two VR letters, the first in the high byte ("OB" is 0x4F42).
constexpr uint16_t NEMA_VR(char a, char b) {
  return static_cast<uint16_t>((static_cast<uint8_t>(a) << 8) | static_cast<uint8_t>(b));
}

// VRs whose explicit header has two reserved bytes and a 4-byte length: the
// five of the first editions and those added since with the same layout.
constexpr bool NEMA_Long_Length_VR(uint16_t vr) {
  switch (vr) {
    case NEMA_VR('O', 'B'): case NEMA_VR('O', 'W'): case NEMA_VR('S', 'Q'): case NEMA_VR('U', 'N'):
    case NEMA_VR('U', 'T'): case NEMA_VR('O', 'F'): case NEMA_VR('O', 'D'): case NEMA_VR('O', 'L'):
    case NEMA_VR('O', 'V'): case NEMA_VR('U', 'C'): case NEMA_VR('U', 'R'): case NEMA_VR('S', 'V'):
    case NEMA_VR('U', 'V'):
      return true;
    default:
      return false;
  }
}

// One element header as read from the stream.
struct NemaElement {
  uint16_t group = 0;
  uint16_t element = 0;
  uint16_t vr = 0;  // 0: the element carried no VR
  uint32_t length = 0;
};

// Where the stored pixel bytes of each image are: file offset, offset in the
// buffer that gathers all images, and size; one entry per image.
struct NemaStorage final : FormatStorage {
  std::vector<uint32_t> file_offset;
  std::vector<uint32_t> image_offset;
  std::vector<uint32_t> image_size;
  // Images stored in several fragments: (file offset, size) of each, in
  // order; empty for an image stored in one piece.
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> pieces;
  // The Modality LUT Sequence's table (0028,3000): entries, first value
  // mapped, bits of an entry; and the entries. Empty when there is none.
  std::array<int32_t, 3> modality_lut_desc{};
  std::vector<uint16_t> modality_lut;
  int Copy_To(LogHandle log, ImageHeader& target) const override;
};

// Element handler of a group: consumes the element's value; 1 to go on, 0
// to stop (SIEMENS_Group_7003 may also return 2: the header is complete).
using NemaHandler = int (*)(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);

// The NEMA-family code (20 to 28, 38, 39) of an element stream, or 0.
uint16_t NEMA_Get_Format(const ReadContext& ctx, ByteSource& source);
// Parses the whole element stream of the record's input; the image count,
// or 0 on failure.
int NEMA_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Deflated data sets: the offset of the first byte after the file meta
// group of a Part-10 stream (0 when there is none), and a source that holds
// the stream's bytes up to there as stored and the rest inflated as far as
// its reads reach, the inflated bytes through the pixel budget; null (with
// an ERROR line) when the stream cannot start.
uint64_t NEMA_Meta_End(const ByteSource& source);
std::shared_ptr<ByteSource> NEMA_Inflate_Source(const ReadContext& ctx, std::shared_ptr<ByteSource> file, uint64_t from);
// After a read of an inflating source: how much was inflated (level 8)
// and, when the read failed, the ERROR line of a stream that failed.
void NEMA_Inflate_Report(const ReadContext& ctx, const ByteSource& source, bool read_failed);
int NEMA_Get_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, NemaElement& el);
int NEMA_Analyse_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int NEMA_Skip_Group(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
// Lists an element no dictionary knows: printable text, a VAX float, an
// integer, or a skip line.
int NEMA_Show_Private(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el);
int NEMA_Get_Sequence(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int NEMA_Get_Sequence_Item(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint32_t length, ImageHeader& ima);
int NEMA_Transfert_Syntax(const ReadContext& ctx, ImageHeader& ima, const char* uid);
// The transfer syntax UID of a compression code (1 to 19), or null.
const char* NEMA_Compression_UID(int code);
int NEMA_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source);
void NEMA_Free_Header(LogHandle log, ImageHeader& ima);

// Pixel data (local_NEMA_fe0): locating while parsing, reading later.
int NEMA_Parse_7FE0(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int NEMA_Read_Image(const ReadContext& ctx, ImageHeader& ima);
// Pixel data met inside a sequence: its value (native or encapsulated)
// is passed over and listed as skipped.
int NEMA_Skip_7FE0(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el);
int NEMA_Read_7FE0(const ReadContext& ctx, ByteSource& source, uint8_t mode, const NemaElement& el, ImageHeader& ima);

// Encapsulated pixel data (local_NEMA_RLE, local_NEMA_JPG). `gathered` holds
// the stored bytes of every image at their image_offset; the result holds
// dim_t x dim_z frames in machine order, samples interleaved, or is empty.
PixelBuffer NEMA_Decompress_RLE(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total);
PixelBuffer NEMA_Decompress_JPG(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total);
// Decodes one RLE frame into `out` (frame bytes, samples interleaved, machine
// order); the input bytes consumed, or 0 on failure.
uint64_t NEMA_Decompress_RLE_2(const ReadContext& ctx, uint8_t mode, std::span<uint8_t> out, std::span<const uint8_t> frame,
                               uint32_t dim_x, uint32_t dim_y, unsigned bytes_per_sample, unsigned samples);

// Threads that decode the frames of one file: 0 (the default) for the
// number of cores (or KEMASCOPIA_DECODE_THREADS when set), 1 for one at a
// time; never more than the cores.
void NEMA_Set_Decode_Threads(unsigned threads);
unsigned NEMA_Decode_Threads();
// Runs f(0) .. f(n-1) on up to NEMA_Decode_Threads() threads (the caller's
// among them).
void NEMA_For_Frames(size_t n, const std::function<void(size_t)>& f);

// The stored bytes of image i in the gathering buffer of `total` bytes;
// empty for an image no fragment holds (those bytes were never written).
std::span<const uint8_t> NEMA_Frame_Bytes(const NemaStorage& s, size_t i, const PixelBuffer& gathered, uint64_t total);
// Decodes frame i from its stored bytes into its slot (exactly the slot's
// size); false, with its log lines, on failure.
using NemaFrameDecoder = std::function<bool(size_t i, std::span<const uint8_t> in, std::span<uint8_t> slot)>;
// The frames of an image decoded into one buffer of dim_t x dim_z slots of
// `frame_bytes` (through the pixel budget): frame 0 on the caller's thread,
// then the rest on the pool. A frame no fragment holds is left black, and
// one WARNING line (naming `codec`) counts them. The first frame that fails
// stops the rest: `failed` names it and the result is empty (as it is,
// with `failed` -1, when the budget refused the buffer).
PixelBuffer NEMA_Decode_Frames(const ReadContext& ctx, const ImageHeader& ima, const NemaStorage& s,
                               const PixelBuffer& gathered, uint64_t total, uint64_t frame_bytes, const char* codec,
                               const NemaFrameDecoder& decode, int& failed);

// Detection of an element stream without a file preamble: its NEMA-family
// code, or 0.
class DetectProbe;
int Detect_NEMA_Stream(DetectProbe& probe);
