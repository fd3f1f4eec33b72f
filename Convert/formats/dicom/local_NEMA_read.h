// Readers of the DICOM element stream: bytes, numbers and texts taken at a
// cursor over a file or a memory block, and the decoders of the numbers.
//
// Every reader reads at `cur.pos` and, on success, moves it on by the bytes
// consumed (files and memory blocks alike). On failure it logs the read
// error or "End of File while reading" lines and returns 0 (or nothing);
// the cursor is left where it was and the caller stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <array>
#include <utility>
#include <string>
#include <vector>

#include "Convert/byte_source.h"
#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"
#include "log/log.h"

// Mode bit 0x01: most significant byte first.
uint16_t NEMA_Get_Short(uint8_t mode, const void* bytes);
int32_t NEMA_Get_Long(uint8_t mode, const void* bytes);
// VAX F_floating (4 bytes) and G_floating (8 bytes); mode 0x01 means the
// bytes are stored reversed.
float NEMA_Get_VAX_Float(uint8_t mode, const void* bytes);
double NEMA_Get_VAX_Double(uint8_t mode, const void* bytes);
// IEEE single (4 bytes) and double (8 bytes), as DICOM stores FL and FD;
// mode 0x01 means most significant byte first.
float NEMA_Get_Float(uint8_t mode, const void* bytes);
double NEMA_Get_Double(uint8_t mode, const void* bytes);

// Reads n bytes into `dst`, which holds at least n bytes.
int NEMA_Read_Bytes(const ReadContext& ctx, ByteCursor& cur, size_t n, void* dst);
// Reads 2 (4) bytes and decodes them with NEMA_Get_Short (NEMA_Get_Long).
int NEMA_Read_Short(const ReadContext& ctx, ByteCursor& cur, uint8_t mode, uint16_t& value);
int NEMA_Read_Long(const ReadContext& ctx, ByteCursor& cur, uint8_t mode, int32_t& value);
// A new buffer of n bytes; nothing is allocated when fewer than n bytes
// are left (n usually comes from the file).
std::optional<std::vector<uint8_t>> NEMA_Read_Buffer(const ReadContext& ctx, ByteCursor& cur, size_t n);
// The n bytes read as a text of exactly n bytes (embedded zeros kept;
// c_str() gives the zero-terminated form).
std::optional<std::string> NEMA_Read_String(const ReadContext& ctx, ByteCursor& cur, size_t n);
// Moves the cursor n bytes on. Going past the end is not a failure here:
// the next read reports it.
int NEMA_Skip(const ReadContext& ctx, ByteCursor& cur, size_t n);

// Reads an element value of n bytes that no dictionary knows and lists it
// at the header-text level: as text, VAX float, integer, or "skip".
int NEMA_Print_Value(const ReadContext& ctx, uint8_t mode, uint16_t group, uint16_t element, ByteCursor& cur, size_t n);

struct ImageHeader;
struct NemaElement;

// What one parse of an element stream has seen: each parse has its own,
// so reads on several threads, or one read nested inside another, never
// meet.
struct NemaParseState {
  static constexpr int kMaxDepth = 100;      // sequences open at once
  static constexpr int kMaxNesting = 2 * kMaxDepth + 1;  // sequences and items open at once
  static constexpr int kMaxItems = 32767;    // items of one sequence: the image index range
  int32_t depth = 0;
  int32_t item_counter = 0;
  int32_t NEMA_Nb_Ima = 0;
  std::array<std::pair<int32_t, int32_t>, kMaxDepth> saved_index{};
  int32_t saved_count = 0;
  int32_t pixel_seen = 0;
  int32_t nesting = 0;     // sequences and items open (items may nest without a sequence)
  bool refused = false;    // a limit was passed: the file is refused whatever was seen
  uint32_t running_offset = 0;  // image_offset of the next image located
  uint64_t element_start = 0;   // file offset of the tag of the element being handled
  bool siemens_owner = false;   // (7001,0010) / (7003,0010) named Siemens
  // Depth of the open image sequence (Papyrus (0041,1050)), 0 when none:
  // its items describe images as the top level does.
  int32_t image_seq_depth = 0;
  // Inside a sequence that is no image sequence: the elements there are
  // listed, never taken for the image's own description.
  bool Nested() const { return depth > 0 && depth != image_seq_depth; }
  // The functional groups of an enhanced multi-frame file: which sequence
  // is open (1 shared (5200,9229), 2 per-frame (5200,9230), 0 none), at
  // which depth, the frame of the per-frame item, and what the shared
  // groups gave.
  int32_t fg_kind = 0;
  int32_t fg_depth = 0;
  int32_t fg_frame = -1;
  FrameGeometry fg_shared;
  int32_t mlut_depth = 0;  // depth of an open Modality LUT Sequence, 0 when none
  Vec4 fg_shared_pos{};
};

// A cursor that serves the many small reads of an element stream from a
// read-ahead window: a file header of a hundred elements costs one read of
// the file, not two hundred. Memory blocks are read in place. A parse of an
// element stream carries its state with its cursor.
class NemaCursor : public ByteCursor {
 public:
  NemaParseState state;
  // The element loop's walkers of a nested sequence and of an item: a
  // handler that meets one hands it back to the loop through these.
  int (*walk_sequence)(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                       ImageHeader& ima) = nullptr;
  int (*walk_item)(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint32_t length, ImageHeader& ima) = nullptr;
  int Walk_Sequence(const ReadContext& ctx, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
    return walk_sequence ? walk_sequence(ctx, *this, mode, el, ima) : 0;
  }
  int Walk_Item(const ReadContext& ctx, uint8_t mode, uint32_t length, ImageHeader& ima) {
    return walk_item ? walk_item(ctx, *this, mode, length, ima) : 0;
  }

  explicit NemaCursor(ByteSource& src, uint64_t at = 0) {
    source = &src;
    pos = at;
  }
  // Bytes between the position and the end of the source (0 past the end;
  // for a made source, the end of what is made so far).
  uint64_t Left() const { return pos < source->size() ? source->size() - pos : 0; }
  // True when the n bytes from the position are there (made, if need be).
  bool Has(uint64_t n) const { return source->Contains(pos, n); }
  // Reads on from the same position in another source (the inflated data set).
  void Use(ByteSource& src) {
    source = &src;
    window_len_ = 0;
  }
  const char* Name() const { return source->name().c_str(); }
  // Reads n bytes at the position into `dst` and moves on; a read error or
  // a short read is reported (with the caller's source line) and gives 0.
  int Fetch(const ReadContext& ctx, void* dst, size_t n, const char* src, int line);

 private:
  static constexpr size_t kWindow = 16384;
  std::unique_ptr<uint8_t[]> window_;
  uint64_t window_pos_ = 0;
  size_t window_len_ = 0;
  bool refilled_ = false;
};

int NEMA_Read_Bytes(const ReadContext& ctx, NemaCursor& cur, size_t n, void* dst);
int NEMA_Read_Short(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint16_t& value);
int NEMA_Read_Long(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, int32_t& value);
std::optional<std::string> NEMA_Read_String(const ReadContext& ctx, NemaCursor& cur, size_t n);
int NEMA_Print_Value(const ReadContext& ctx, uint8_t mode, uint16_t group, uint16_t element, NemaCursor& cur, size_t n);
