// The element-stream reader: sniffing, the element loop with its dispatch to
// the group handlers, sequences and items, and the storage record.
#include "Convert/formats/dicom/local_NEMA.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "Convert/conv_detect_probe.h"
#include "Convert/byte_source.h"
#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

void Refuse(const ReadContext& ctx, NemaCursor& cur, const char* what, long long value, long long limit) {
  cur.state.refused = true;
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s (%lld /vs/ %lld at most)", what, value, limit);
  Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", cur.Name());
}

}  // namespace

// ---- sniffing ----

namespace {

// The first element header read in one mode at one offset: accepted when
// its group lies in 0002..0008 and its length is a small positive number
// (4 for a group length: other headers that only look like one, such as
// image dimensions 8 x 6, are no element stream). -1 when the read failed.
int Try_Reading(const ReadContext& ctx, NemaCursor& cur, uint64_t start, uint8_t mode) {
  cur.pos = start;
  NemaElement el;
  if (!NEMA_Get_Data_Element(ctx, cur, mode, el)) return -1;
  const auto len = static_cast<int32_t>(el.length);
  return el.group >= 0x0002 && el.group <= 0x0008 && len >= 0 && len < 128 && (el.element != 0 || len == 4);
}

}  // namespace

uint16_t NEMA_Get_Format(const ReadContext& ctx, ByteSource& source) {
  Log_Print(ctx, 8, "in NEMA_Get_Format()");
  NemaCursor cur(source);
  struct Try {
    uint64_t start;
    uint8_t mode;
    const char* trace;
  };
  static constexpr Try kTries[] = {
      {0, 0, "--> try: IMPLICIT_VR | LITTLE_ENDIAN"},
      {0, 1, "--> try: IMPLICIT_VR | BIG_ENDIAN"},
      {24, 0, "--> try: IMPLICIT_VR | LITTLE_ENDIAN, skip=24"},
      {24, 1, "--> try: IMPLICIT_VR | BIG_ENDIAN, skip=24"},
  };
  const Try* accepted = nullptr;
  for (const Try& t : kTries) {
    Log_Print(ctx, 8, "%s", t.trace);
    const int r = Try_Reading(ctx, cur, t.start, t.mode);
    if (r < 0) return 0;
    if (r) {
      accepted = &t;
      break;
    }
  }
  if (!accepted) {
    Log_Print(ctx, 8, "--> none of these! ");
    return 0;
  }

  const uint8_t mode = accepted->mode;
  uint16_t code = mode ? 26 : 24;
  std::string manufacturer;
  cur.pos = accepted->start;
  for (;;) {
    NemaElement el;
    if (!NEMA_Get_Data_Element(ctx, cur, mode, el)) return 0;
    const auto len = static_cast<int32_t>(el.length);
    if (el.group < 0x0008) {
      if (len < 0 || len >= 128) break;
      if (!NEMA_Skip(ctx, cur, el.length)) return 0;
      continue;
    }
    if (el.group != 0x0008 || el.length == kNemaUndefined) break;
    if (el.element == 0x0000 && el.length == 4) {
      int32_t ignored;
      if (!NEMA_Read_Long(ctx, cur, mode, ignored)) return 0;
    } else if (el.element == 0x0010 || el.element == 0x0070) {
      auto text = NEMA_Read_String(ctx, cur, el.length);
      if (!text) return 0;
      if (el.element == 0x0070) {
        manufacturer = text->c_str();
      } else if (text->compare(0, 12, "ACR-NEMA 1.0") == 0) {
        code = accepted->start == 0 ? (mode ? 21 : 20) : (mode ? 28 : 27);
      } else if (text->compare(0, 12, "ACR-NEMA 2.0") == 0) {
        code = mode ? 23 : 22;
      }
    } else if (!NEMA_Skip(ctx, cur, el.length)) {
      return 0;
    }
  }
  if (manufacturer.compare(0, 7, "SIEMENS") == 0) {
    if (code == 20 || code == 22) code = 38;
    else if (code == 21 || code == 23) code = 39;
  }
  Log_Print(ctx, 8, "--> nema format: %d", code);
  return code;
}

int Detect_NEMA_Stream(DetectProbe& probe) {
  // The sniffer reads through a cursor of its own over the same source.
  if (uint16_t code = NEMA_Get_Format(probe.ctx(), const_cast<ByteSource&>(probe.source()))) return code;
  Log_Print(probe.ctx(), 7, "--> not NEMA");
  return 0;
}

// ---- the element loop ----

namespace {

const char* Banner_Of(uint16_t format) {
  switch (format) {
    case 20: case 21: case 27: case 28: return "------ ------ ACR-NEMA 1.0 Header ------ ------";
    case 22: case 23: return "------ ------ ACR-NEMA 2.0 Header ------ ------";
    case 25: return "------ ------ DICOM FILE Header ------ ------";
    case 36: case 38: case 39: return "------ ------ SIEMENS SPI Header ------ ------";
    case 41: return "------ ------ Elscint \"Lossless Rice\" FILE Header ------ ------";
    case 80: return "------ ------ PAPYRUS 2.0 Header ------ ------";
    case 81: return "------ ------ PAPYRUS 3.0 Header ------ ------";
    case 82: return "------ ------ PAPYRUS 3.1 Header ------ ------";
    default: return "------ ------ DICOM Header ------ ------";
  }
}

void Text_Heading(const ReadContext& ctx, const char* text) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "\x02\xF1%s\x01\xF0", text);
}

int Finish(const ReadContext& ctx, const NemaCursor& cur, ImageHeader& ima) {
  Text_Heading(ctx, "------ ------ ------ ------ ------");
  if (!NEMA_Frame_Groups_Finish(ctx, cur.state, ima)) return 0;
  ima.flags |= kFlagRowsReversed;
  return cur.state.NEMA_Nb_Ima + 1;
}

// A stop: success when the pixel data was seen (a file may end early or
// carry trailing bytes), unless a limit made the file refused.
int Stop(const ReadContext& ctx, const NemaCursor& cur, ImageHeader& ima) {
  const NemaParseState& st = cur.state;
  if (st.pixel_seen && !st.refused) return Finish(ctx, cur, ima);
  return 0;
}

}  // namespace

int NEMA_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in NEMA_Read_Header()");
  auto source = Source_Open_Input(ctx, ima, KEMA_SRC, __LINE__);
  if (!source) return 0;

  uint64_t start = 0;
  uint8_t mode = 0;
  switch (ima.format) {
    case 25: case 81: case 82: start = 132; mode = kNemaExplicitVR; ima.flags |= kFlagNoCoherence; break;
    case 21: case 23: case 26: mode = kNemaBigEndian; break;
    case 28: start = 24; mode = kNemaBigEndian; break;
    case 27: start = 24; break;
    default: break;
  }
  ima.transfer_mode = mode;
  ima.g2.pix_swap = (mode & 0x03) != 0;
  Text_Heading(ctx, Banner_Of(ima.format));

  // This parse's own cursor and state; the handlers walk the sequences they
  // meet through it.
  NemaCursor cur(*source, start);
  cur.walk_sequence = &NEMA_Get_Sequence;
  cur.walk_item = &NEMA_Get_Sequence_Item;
  NemaParseState& st = cur.state;
  uint64_t inflate_at = 0;  // where a deflated data set starts, once the syntax says so
  // A stop that failed for a stream that would not inflate says why.
  auto stop = [&] {
    const int r = Stop(ctx, cur, ima);
    if (source->maker()) NEMA_Inflate_Report(ctx, *source, r == 0);
    return r;
  };
  for (;;) {
    if ((ima.transfer_mode & kNemaDeflated) && !source->maker()) {
      if (!inflate_at) {
        inflate_at = NEMA_Meta_End(*source);
        if (!inflate_at) inflate_at = UINT64_MAX;  // no meta group: nothing to inflate
      }
      if (inflate_at && cur.pos >= inflate_at) {
        // From here on the parse and the pixel step read the inflated bytes,
        // inflated as far as they read.
        auto inflated = NEMA_Inflate_Source(ctx, source, inflate_at);
        if (!inflated) return Stop(ctx, cur, ima);
        source = inflated;
        ima.source = inflated;
        cur.Use(*inflated);
      }
    }
    NemaElement el;
    st.element_start = cur.pos;
    if (!NEMA_Get_Data_Element(ctx, cur, ima.transfer_mode, el)) return stop();
    if (el.group == 0 && el.element == 0 && el.vr == 0 && el.length == 0) {
      Log_Print(ctx, 8, "--> ****** NULL element ******");
      return Finish(ctx, cur, ima);
    }
    if (el.length != 0) {
      if (!NEMA_Analyse_Data_Element(ctx, cur, ima.transfer_mode, el, ima)) return stop();
    }
    if (source->maker() && st.pixel_seen && el.group == 0x7FE0 && el.element == 0x0010) {
      // A deflated data set is inflated only as far as a read goes: the
      // header ends at the pixel data (only padding and signatures follow).
      NEMA_Inflate_Report(ctx, *source, false);
      return Finish(ctx, cur, ima);
    }
    if (!source->Contains(cur.pos, 4)) {
      Log_Print(ctx, 8, "--> ****** end of file ******");
      // A value that ran past the end was cut short: that is no clean end.
      return cur.pos > source->size() ? stop() : Finish(ctx, cur, ima);
    }
  }
}

namespace {

// The groups with dictionary rows: the banner of each, and the mapper of the
// elements the header record takes (null: listed only).
struct GroupRow {
  uint16_t group;
  const char* banner;
  NemaMapper map;
};
constexpr GroupRow kGroupRows[] = {
    {0x0008, "---- ---- Group 0008: (Identifying) ---- ----", NEMA_Map_0008},
    {0x0010, "---- ---- Group 0010: (Patient) ---- ----", NEMA_Map_0010},
    {0x0018, "---- ---- Group 0018: (Acquisition) ---- ----", NEMA_Map_0018},
    {0x0020, "---- ---- Group 0020: (Relationship) ---- ----", NEMA_Map_0020},
    {0x0028, "---- ---- Group 0028: (Image Presentation)---- ----", NEMA_Map_0028},
    {0x0032, "---- ---- Group 0032: ---- ----", nullptr},
    {0x0038, "---- ---- Group 0038: ---- ----", nullptr},
    {0x0040, "---- ---- Group 0040: ---- ----", nullptr},
    {0x0041, "---- ---- Group 0041: Papyrus ---- ----", NEMA_Map_0041},
};

}  // namespace

namespace {

// An element without a VR (implicit streams) of defined length that the
// dictionary does not type, or types as a sequence, whose value opens with
// an item tag: a sequence (private and newer ones the dictionary lacks).
bool Untyped_Sequence(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el) {
  if (el.vr || el.length == kNemaUndefined || el.length < 8 || el.group == 0x7FE0 || !cur.Has(4)) return false;
  if (const NemaDictRow* row = NEMA_Dict_Find(el.group, el.element); row && row->vr != NEMA_VR('S', 'Q')) return false;
  const uint64_t at = cur.pos;
  uint16_t group = 0, element = 0;
  const bool read = NEMA_Read_Short(ctx, cur, mode, group) && NEMA_Read_Short(ctx, cur, mode, element);
  cur.pos = at;
  return read && group == 0xFFFE && element == 0xE000;
}

}  // namespace

int NEMA_Analyse_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                              ImageHeader& ima) {
  Log_Print(ctx, 10, "in NEMA_Analyse_Data_Element(%04x,%04x)", el.group, el.element);
  NemaParseState& st = cur.state;
  if (el.group != 0xFFFE) {
    // A sequence is walked whatever its group, its length and whether the
    // dictionary lists it; an undefined-length UN value is a sequence in
    // implicit little-endian (PS3.5 6.2.2).
    if (el.vr == NEMA_VR('S', 'Q')) return cur.Walk_Sequence(ctx, mode, el, ima);
    if (el.vr == NEMA_VR('U', 'N') && el.length == kNemaUndefined) return cur.Walk_Sequence(ctx, 0, el, ima);
    if (Untyped_Sequence(ctx, cur, mode, el)) return cur.Walk_Sequence(ctx, mode, el, ima);
  }
  if ((st.fg_kind || st.mlut_depth) && st.Nested() && el.length != kNemaUndefined) {
    // The geometry an enhanced file keeps in its functional groups, and a
    // modality LUT.
    const int r = NEMA_Frame_Group_Value(ctx, cur, mode, el, ima);
    if (r >= 0) return r;
  }
  for (const GroupRow& row : kGroupRows)
    if (row.group == el.group) return NEMA_Group_Default(ctx, cur, mode, el, ima, row.banner, row.map);
  switch (el.group) {
    case 0x0002: return NEMA_Parse_0002(ctx, cur, mode, el, ima);
    case 0x0009: return SIEMENS_Group_0009(ctx, cur, mode, el, ima);
    case 0x0011: return SIEMENS_Group_0011(ctx, cur, mode, el, ima);
    case 0x0019: return SIEMENS_Group_0019(ctx, cur, mode, el, ima);
    case 0x0021: return SIEMENS_Group_0021(ctx, cur, mode, el, ima);
    case 0x0029: return SIEMENS_Group_0029(ctx, cur, mode, el, ima);
    case 0x07A1:
      if (!NEMA_Skip_Group(ctx, cur, mode, el, ima)) return 0;
      if (el.element != 0x100A) return 1;
      ima.format = 41;
      ima.g2.compression = 1;
      st.pixel_seen = 1;
      return 0;
    case 0x7001: return SIEMENS_Group_7001(ctx, cur, mode, el, ima);
    case 0x7003: {
      const int r = SIEMENS_Group_7003(ctx, cur, mode, el, ima);
      if (r == 2) {
        st.pixel_seen = 1;
        return 0;
      }
      return r;
    }
    case 0x7F00:
      ima.format = 36;
      ima.g2.compression = 1;
      st.pixel_seen = 1;
      return 0;
    case 0x7FE0:
      // An icon's or another nested image's pixels are not this image's.
      if (st.Nested()) return NEMA_Skip_7FE0(ctx, cur, mode, el);
      if (!NEMA_Parse_7FE0(ctx, cur, mode, el, ima)) return 0;
      st.pixel_seen = 1;
      return 1;
    case 0xFFFE:
      if (el.element == 0xE000) return NEMA_Get_Sequence_Item(ctx, cur, mode, el.length, ima);
      if (el.element == 0xE00D || el.element == 0xE0DD) return 1;
      return NEMA_Value_Retired(ctx, cur, mode, el, NEMA_Unknown_VR(el), "unknown:", ima);
    default:
      return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  }
}

// ---- sequences and items ----

namespace {

// Reads and dispatches elements: up to the delimiter `end` for an undefined
// length, else until `length` bytes from here are consumed.
int Read_Contents(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint32_t length, uint16_t end, ImageHeader& ima) {
  NemaParseState& st = cur.state;
  const uint64_t first = cur.pos;
  for (;;) {
    if (length != kNemaUndefined && cur.pos - first >= length) return 1;
    NemaElement el;
    st.element_start = cur.pos;
    if (!NEMA_Get_Data_Element(ctx, cur, mode, el)) return 0;
    if (length == kNemaUndefined && el.group == 0xFFFE && el.element == end) return 1;
    if (!NEMA_Analyse_Data_Element(ctx, cur, mode, el, ima)) return 0;
  }
}

}  // namespace

int NEMA_Get_Sequence(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NEMA_Get_Sequence(size:%d)", static_cast<int>(el.length));
  NemaParseState& st = cur.state;
  if (st.saved_count >= NemaParseState::kMaxDepth) {
    Refuse(ctx, cur, "too many nested sequences", st.saved_count + 1, NemaParseState::kMaxDepth);
    return 0;
  }
  if (st.nesting >= NemaParseState::kMaxNesting) {
    Refuse(ctx, cur, "too many nested sequences and items", st.nesting + 1, NemaParseState::kMaxNesting);
    return 0;
  }
  st.saved_index[st.saved_count++] = {st.NEMA_Nb_Ima, st.item_counter};
  st.depth += 1;
  if (st.depth == 1 && el.group == 0x0041 && el.element == 0x1050) st.image_seq_depth = 1;
  if (st.depth == 1 && el.group == 0x0028 && el.element == 0x3000) st.mlut_depth = 1;
  if (st.depth == 1 && el.group == 0x5200 && (el.element == 0x9229 || el.element == 0x9230)) {
    st.fg_kind = el.element == 0x9229 ? 1 : 2;
    st.fg_depth = 1;
    st.fg_frame = -1;
  }
  st.nesting += 1;
  st.item_counter = 0;

  const int level = ctx.Text_Level();
  char prefix[16 + 4 * NemaParseState::kMaxDepth];
  if (level) {
    int n = std::snprintf(prefix, sizeof prefix, "(%04x,%04x) ", el.group, el.element);
    for (int i = 0; i < st.depth && n + 4 < static_cast<int>(sizeof prefix); ++i, n += 4) std::memcpy(prefix + n, "----", 5);
    if (el.length == kNemaUndefined)
      Log_Print(ctx, level, "\x02%s Sequence (\x01length=undefined\x02)", prefix);
    else
      Log_Print(ctx, level, "\x02%s Sequence (\x01length=%d\x02)", prefix, static_cast<int>(el.length));
  }

  if (!Read_Contents(ctx, cur, mode, el.length, 0xE0DD, ima)) return 0;

  if (level) Log_Print(ctx, level, "\x02%s Out of sequence", prefix);
  st.saved_count -= 1;
  st.NEMA_Nb_Ima = st.saved_index[st.saved_count].first;
  st.item_counter = st.saved_index[st.saved_count].second;
  if (st.image_seq_depth == st.depth) st.image_seq_depth = 0;
  if (st.fg_depth == st.depth) st.fg_kind = st.fg_depth = 0;
  if (st.mlut_depth == st.depth) st.mlut_depth = 0;
  st.depth -= 1;
  st.nesting -= 1;
  return 1;
}

int NEMA_Get_Sequence_Item(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, uint32_t length, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NEMA_Get_Sequence_Item(size:%d)", static_cast<int>(length));
  NemaParseState& st = cur.state;
  if (st.nesting >= NemaParseState::kMaxNesting) {
    Refuse(ctx, cur, "too many nested sequences and items", st.nesting + 1, NemaParseState::kMaxNesting);
    return 0;
  }
  if (st.item_counter >= NemaParseState::kMaxItems) {
    Refuse(ctx, cur, "too many items in one sequence", st.item_counter + 1, NemaParseState::kMaxItems);
    return 0;
  }
  st.item_counter += 1;
  st.NEMA_Nb_Ima = st.item_counter - 1;
  if (st.fg_kind == 2 && st.depth == st.fg_depth) st.fg_frame = st.item_counter - 1;
  Log_Print(ctx, 6, "*** NEMA_Nb_Ima = %d", st.NEMA_Nb_Ima);
  st.nesting += 1;

  const int level = ctx.Text_Level();
  char prefix[16 + 4 * NemaParseState::kMaxDepth];
  if (level) {
    int n = 12;
    std::memset(prefix, ' ', 12);
    prefix[12] = 0;
    for (int i = 0; i < st.depth && n + 4 < static_cast<int>(sizeof prefix); ++i, n += 4) std::memcpy(prefix + n, "====", 5);
    if (length == kNemaUndefined)
      Log_Print(ctx, level, "\x02%s Item %d (\x01length=undefined\x02)", prefix, st.item_counter);
    else
      Log_Print(ctx, level, "\x02%s Item %d (\x01length=%d\x02)", prefix, st.item_counter, static_cast<int>(length));
  }

  if (!Read_Contents(ctx, cur, mode, length, 0xE00D, ima)) return 0;

  if (level) Log_Print(ctx, level, "\x02%s Out of item", prefix);
  st.nesting -= 1;
  return 1;
}

// ---- storage record ----

int NemaStorage::Copy_To(LogHandle log, ImageHeader& target) const {
  try {
    auto copy = std::make_unique<NemaStorage>(*this);
    target.g2.storage = std::move(copy);
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "target->g2.storage", 1, static_cast<long long>(sizeof(NemaStorage)));
    return 0;
  }
  return 1;
}

int NEMA_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  Log_Print(log, 9, "in NEMA_Copy_Header()");
  const auto* storage = dynamic_cast<const NemaStorage*>(source.g2.storage.get());
  return storage ? storage->Copy_To(log, target) : 1;
}

void NEMA_Free_Header(LogHandle log, ImageHeader& ima) {
  Log_Print(log, 9, "in NEMA_Free_Header()");
  ima.g2.storage.reset();
}
