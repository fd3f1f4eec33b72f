// The Siemens private groups of SPI files (ACR-NEMA files made by Siemens,
// formats 38 and 39), and the one private slice position every maker's
// files may carry in group 0019.
#include <cstring>

#include <algorithm>
#include <vector>

#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA_val.h"
#include "Convert/formats/local_Siemens_Raw_C.h"
#include "Convert/formats/local_Siemens_Raw_D.h"

namespace {

bool Is_SPI(const ImageHeader& ima) { return ima.format == 38 || ima.format == 39; }

// Banner, listed rows shown as retired, anything else shown as an unknown
// private element.
int Siemens_Group(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima,
                  const char* banner) {
  if (el.element == 0x0000 && el.length != kNemaUndefined) return NEMA_Group_Length(ctx, cur, el, banner);
  if (const NemaDictRow* row = NEMA_Dict_Find(el.group, el.element); row && el.length != kNemaUndefined)
    return NEMA_Value_Retired(ctx, cur, mode, el, row->vr, row->label, ima);
  return NEMA_Skip_Group(ctx, cur, mode, el, ima);
}

// (7001,0010) and (7003,0010): the owner must be "SIEMENS MED ".
int Shadow_Owner(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el) {
  const auto text = NEMA_Read_String(ctx, cur, el.length);
  if (!text) return 0;
  const char* owner = text->c_str();
  if (const int level = ctx.Text_Level())
    Log_Print(ctx, level, "\x02(%04x,%04x) \x01unknown private tag (%-2d bytes)       (%.40s)", el.group, el.element,
              static_cast<int>(el.length), owner);
  NemaParseState& st = cur.state;
  st.siemens_owner = std::strncmp(owner, "SIEMENS MED ", 12) == 0;
  if (!st.siemens_owner) {
    Log_Print(ctx, 6, "File:%s Line:%d", KEMA_SRC, __LINE__);
    Log_Print(ctx, 6, "Shadow Owner != (SIEMENS MED ) (%s)\n", owner);
  }
  return 1;
}

}  // namespace

int SIEMENS_Group_0009(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 0009: Siemens ID ---- ----");
}

int SIEMENS_Group_0011(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 0011: Siemens Patient ---- ----");
}

int SIEMENS_Group_0021(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 0021: Siemens Relationship ---- ----");
}

int SIEMENS_Group_0029(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 0029: Siemens ---- ----");
}

// Group 0019 acts for every format: the slice position is read wherever it is.
int SIEMENS_Group_0019(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (el.element == 0x0000 && el.length != kNemaUndefined)
    return NEMA_Group_Length(ctx, cur, el, "---- ---- Group 0019: ---- ----");
  const NemaDictRow* row = NEMA_Dict_Find(el.group, el.element);
  if (row && el.length != kNemaUndefined) {
    float v[1] = {ima.g4.slice_location};
    if (!NEMA_Read_Real(ctx, cur, mode, el, row->vr, row->label, ima, v)) return 0;
    ima.g4.slice_location = v[0];
    return 1;
  }
  return NEMA_Skip_Group(ctx, cur, mode, el, ima);
}

int SIEMENS_Group_7001(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  if (el.element == 0x0010 && el.length != kNemaUndefined) return Shadow_Owner(ctx, cur, el);
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 7001: Siemens Dummy 1 ---- ----");
}

namespace {

// The value of (7003,1010), read whole; at least `size` bytes, zero-filled.
bool Read_Native(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, size_t size,
                 std::vector<uint8_t>& block) {
  try {
    block.assign(std::max<size_t>(el.length, size), 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "malloc", "block", el.length, 1);
    return false;
  }
  return NEMA_Read_Bytes(ctx, cur, el.length, block.data()) != 0;
}

// A SOMATOM Plus header carried in (7003,1010), decoded into the record.
// The pixels stay those the element stream describes; a header the parser
// refuses leaves the record as it was and the parse goes on.
int Somatom_Plus_Handoff(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, ImageHeader& ima) {
  std::vector<uint8_t> block;
  if (!Read_Native(ctx, cur, el, kSomatomPlusHeaderSize, block)) return 0;
  const uint16_t dim_x = ima.dim_x, dim_y = ima.dim_y;
  if (Siemens_SomatomPlus_Header(ctx, block, ima)) {
    ima.dim_x = dim_x;
    ima.dim_y = dim_y;
  }
  return 1;
}

// A NUMARIS 2 header carried in (7003,1010) describes the image whole: its
// pixels follow the first 8192 bytes of the file and the header ends here.
// A header the parser refuses leaves the image as the stream describes it.
int Numaris_2_Handoff(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, ImageHeader& ima) {
  std::vector<uint8_t> block;
  if (!Read_Native(ctx, cur, el, kNumaris2HeaderSize, block)) return 0;
  const uint16_t dim_x = ima.dim_x, dim_y = ima.dim_y;
  const uint32_t offset = ima.ima_offset;
  if (!Siemens_NUMARIS_2_Read_Header_2(ctx, block, ima)) {
    ima.dim_x = dim_x;
    ima.dim_y = dim_y;
    ima.ima_offset = offset;
    return 1;
  }
  ima.ima_offset = 8192;
  ima.g2.compression = 0;
  ima.g2.pix_store = 16;
  ima.g2.pix_sign = 0;
  ima.g2.pix_swap = 0;
  ima.dim_z = ima.dim_t = 1;
  ima.flags |= kFlagRowsReversed;
  return 2;
}

}  // namespace

// (7003,1010) holds a whole Siemens native header. A SOMATOM Plus or a
// NUMARIS 2 one is decoded; any other is shown like an unknown private element.
int SIEMENS_Group_7003(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  if (!Is_SPI(ima)) return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  if (el.element == 0x0010 && el.length != kNemaUndefined) return Shadow_Owner(ctx, cur, el);
  // The scanner is named by the model text; no text is no match. A value
  // larger than any native header is not one.
  if (el.element == 0x1010 && el.length != kNemaUndefined && el.length <= 65536 && cur.state.siemens_owner) {
    if (ima.g4.model == "SOMATOM PLUS") return Somatom_Plus_Handoff(ctx, cur, el, ima);
    if (ima.g4.model == "MAGNETOM") return Numaris_2_Handoff(ctx, cur, el, ima);
  }
  return Siemens_Group(ctx, cur, mode, el, ima, "---- ---- Group 7003: Siemens Dummy 3 ---- ----");
}
