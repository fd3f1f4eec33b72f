// The element-stream reader: sniffing, the element loop, element headers,
// sequences and items, the transfer syntax, and the storage record.
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

bool Is_Upper(uint8_t c) { return c >= 'A' && c <= 'Z'; }

// VRs whose explicit header has two reserved bytes and a 4-byte length: the
// five of the first editions and those added since with the same layout.
bool Long_Length_VR(uint16_t vr) {
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

void Refuse(const ReadContext& ctx, NemaCursor& cur, const char* what, long long value, long long limit) {
  cur.state.refused = true;
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 %s (%lld /vs/ %lld at most)", what, value, limit);
  Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", cur.Name());
}

}  // namespace


// ---- element headers ----

int NEMA_Get_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, NemaElement& el) {
  uint8_t b[4];
  if (!NEMA_Read_Bytes(ctx, cur, 2, b)) return 0;
  el.group = static_cast<uint16_t>(b[0] | (b[1] << 8));
  if (el.group == 0x0002)
    mode = static_cast<uint8_t>((mode & 0xF8) | kNemaExplicitVR);  // the meta group: explicit little-endian
  else if ((mode & 0x03) == 1)
    el.group = static_cast<uint16_t>((el.group >> 8) | (el.group << 8));
  if (!NEMA_Read_Short(ctx, cur, mode, el.element)) return 0;
  if (el.group == 0xFFFE) mode &= 0x03;  // items and delimiters: implicit, never cut

  bool cut = (mode & kNemaGeLengthFix) != 0;
  el.vr = 0;
  if (mode & kNemaExplicitVR) {
    if (!NEMA_Read_Bytes(ctx, cur, 4, b)) return 0;
    const uint16_t vr = static_cast<uint16_t>((b[0] << 8) | b[1]);
    if (Long_Length_VR(vr)) {
      int32_t len;
      if (!NEMA_Read_Long(ctx, cur, mode, len)) return 0;
      el.vr = vr;
      el.length = static_cast<uint32_t>(len);
    } else if (vr == NEMA_VR('?', '?') || (Is_Upper(b[0]) && Is_Upper(b[1]))) {
      el.vr = vr;
      el.length = NEMA_Get_Short(mode, b + 2);
    } else {
      // Not a VR: the four bytes are the length of an implicitly coded element.
      el.length = static_cast<uint32_t>(NEMA_Get_Long(mode, b));
      cut = false;
    }
  } else {
    int32_t len;
    if (!NEMA_Read_Long(ctx, cur, mode, len)) return 0;
    el.length = static_cast<uint32_t>(len);
  }

  if (el.length == 13) {
    Log_Print(ctx, 10, "--> Fix GE bug: length from 13 to 10");
    el.length = 10;
  }
  if (cut && (el.length & 0xFFFF0000u)) {
    Log_Print(ctx, 10, "--> Fix GE bug: length from 0x%08x to 0x%08x", el.length, el.length & 0xFFFF);
    el.length &= 0xFFFF;
  }
  Log_Print(ctx, 10, "--> (0x%04x,0x%04x) VR:%c%c length:%d", el.group, el.element, el.vr ? el.vr >> 8 : '0',
            el.vr ? el.vr & 0xFF : '0', static_cast<int>(el.length));
  return 1;
}

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

  // This parse's own cursor and state.
  NemaCursor cur(*source, start);
  NemaParseState& st = cur.state;
  const uint64_t size = source->size();
  for (;;) {
    NemaElement el;
    st.element_start = cur.pos;
    if (!NEMA_Get_Data_Element(ctx, cur, ima.transfer_mode, el)) return Stop(ctx, cur, ima);
    if (el.group == 0 && el.element == 0 && el.vr == 0 && el.length == 0) {
      Log_Print(ctx, 8, "--> ****** NULL element ******");
      return Finish(ctx, cur, ima);
    }
    if (el.length != 0) {
      if (!NEMA_Analyse_Data_Element(ctx, cur, ima.transfer_mode, el, ima)) return Stop(ctx, cur, ima);
    }
    if (cur.pos > size || size - cur.pos < 4) {
      Log_Print(ctx, 8, "--> ****** end of file ******");
      // A value that ran past the end was cut short: that is no clean end.
      return cur.pos > size ? Stop(ctx, cur, ima) : Finish(ctx, cur, ima);
    }
  }
}

int NEMA_Analyse_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                              ImageHeader& ima) {
  Log_Print(ctx, 10, "in NEMA_Analyse_Data_Element(%04x,%04x)", el.group, el.element);
  NemaParseState& st = cur.state;
  switch (el.group) {
    case 0x0002: return NEMA_Parse_0002(ctx, cur, mode, el, ima);
    case 0x0008: return NEMA_Parse_0008(ctx, cur, mode, el, ima);
    case 0x0009: return SIEMENS_Group_0009(ctx, cur, mode, el, ima);
    case 0x0010: return NEMA_Parse_0010(ctx, cur, mode, el, ima);
    case 0x0011: return SIEMENS_Group_0011(ctx, cur, mode, el, ima);
    case 0x0018: return NEMA_Parse_0018(ctx, cur, mode, el, ima);
    case 0x0019: return SIEMENS_Group_0019(ctx, cur, mode, el, ima);
    case 0x0020: return NEMA_Parse_0020(ctx, cur, mode, el, ima);
    case 0x0021: return SIEMENS_Group_0021(ctx, cur, mode, el, ima);
    case 0x0028: return NEMA_Parse_0028(ctx, cur, mode, el, ima);
    case 0x0029: return SIEMENS_Group_0029(ctx, cur, mode, el, ima);
    case 0x0032: return NEMA_Parse_0032(ctx, cur, mode, el, ima);
    case 0x0038: return NEMA_Parse_0038(ctx, cur, mode, el, ima);
    case 0x0040: return NEMA_Parse_0040(ctx, cur, mode, el, ima);
    case 0x0041: return NEMA_Parse_0041(ctx, cur, mode, el, ima);
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
      if (!NEMA_Parse_7FE0(ctx, cur, mode, el, ima)) return 0;
      st.pixel_seen = 1;
      return 1;
    case 0xFFFE:
      if (el.element == 0xE000) return NEMA_Get_Sequence_Item(ctx, cur, mode, el.length, ima);
      if (el.element == 0xE00D || el.element == 0xE0DD) return 1;
      return NEMA_Value_Retired(ctx, cur, mode, el, NEMA_VR('L', 'T'), "unknown:", ima);
    default:
      return NEMA_Skip_Group(ctx, cur, mode, el, ima);
  }
}

int NEMA_Skip_Group(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  Log_Print(ctx, 10, "in NEMA_Skip_Group(%04x,%04x,length:%d)", el.group, el.element, static_cast<int>(el.length));
  if (el.length == kNemaUndefined) {
    if (el.group == 0xFFFE && el.element == 0xE000) {
      Log_Print(ctx, 10, "--> ????? (how did I get here ?) Skip Undefined length item !");
      return NEMA_Get_Sequence_Item(ctx, cur, mode, el.length, ima);
    }
    Log_Print(ctx, 10, "--> Skip Undefined length sequence !");
    return NEMA_Get_Sequence(ctx, cur, mode, el, ima);
  }
  if (el.element == 0x0000) {
    if (!NEMA_Skip(ctx, cur, el.length)) return 0;
    if (const int level = ctx.Text_Level())
      Log_Print(ctx, level, "\xF1\x02---- ---- Group %04x ---- ----\xF0\x01", el.group);
    return 1;
  }
  return NEMA_Show_Private(ctx, cur, mode, el);
}

int NEMA_Show_Private(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el) {
  const int level = ctx.Text_Level();
  if (!level && cur.Left() >= el.length) return NEMA_Skip(ctx, cur, el.length);  // nothing to list
  const auto value = NEMA_Read_String(ctx, cur, el.length);
  if (!value || !level) return value ? 1 : 0;
  const int len = static_cast<int>(el.length);
  const char* text = value->c_str();
  bool printable = true;
  for (const char* p = text; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7E) printable = false;
  const char* head = "\x02(%04x,%04x) \x01unknown private tag (%-2d bytes)       ";
  char format[96];
  // An element that names its VR says how its bytes are coded; only an
  // untyped value is guessed at.
  const bool fl = el.vr == NEMA_VR('F', 'L') && el.length == 4, fd = el.vr == NEMA_VR('F', 'D') && el.length == 8;
  if (fl || fd) {
    const double f = fl ? NEMA_Get_Float(mode, text) : NEMA_Get_Double(mode, text);
    if (f >= -100000.0 && f < 100000.0) {
      std::snprintf(format, sizeof format, "%s(%%-.6f)", head);
      Log_Print(ctx, level, format, el.group, el.element, len, f);
      return 1;
    }
  } else if (printable) {
    std::snprintf(format, sizeof format, "%s(%%.40s)", head);
    Log_Print(ctx, level, format, el.group, el.element, len, text);
    return 1;
  } else if (el.length == 4) {
    const float f = NEMA_Get_VAX_Float(mode, text);
    if (f >= -100000.0f && f < 100000.0f) {
      std::snprintf(format, sizeof format, "%s(%%-.6f)", head);
      Log_Print(ctx, level, format, el.group, el.element, len, static_cast<double>(f));
      return 1;
    }
    const int32_t v = NEMA_Get_Long(mode, text);
    if (v >= -99999 && v <= 99999) {
      std::snprintf(format, sizeof format, "%s(%%-d)", head);
      Log_Print(ctx, level, format, el.group, el.element, len, v);
      return 1;
    }
  } else if (el.length == 2) {
    std::snprintf(format, sizeof format, "%s(%%-d)", head);
    Log_Print(ctx, level, format, el.group, el.element, len, static_cast<int16_t>(NEMA_Get_Short(mode, text)));
    return 1;
  }
  Log_Print(ctx, level, "\x02(%04x,%04x) \x01skip (%-2d bytes)", el.group, el.element, len);
  return 1;
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

// ---- transfer syntax ----

namespace {

struct Syntax {
  const char* uid;
  uint8_t mode;
  int compression;  // -1: unchanged
};

constexpr Syntax kSyntaxes[] = {
    {"1.2.840.10008.1.2", 0, -1},          {"1.2.840.10008.1.2.1", 8, -1},
    {"1.2.840.10008.1.2.2", 9, -1},        {"1.2.840.113619.5.2", 0x80, -1},
    {"1.2.840.10008.1.2.4.50", 8, 2},      {"1.2.840.10008.1.2.4.51", 8, 3},
    {"1.2.840.10008.1.2.4.52", 8, 4},      {"1.2.840.10008.1.2.4.53", 8, 5},
    {"1.2.840.10008.1.2.4.54", 8, 6},      {"1.2.840.10008.1.2.4.55", 8, 7},
    {"1.2.840.10008.1.2.4.56", 8, 8},      {"1.2.840.10008.1.2.4.57", 8, 9},
    {"1.2.840.10008.1.2.4.58", 8, 10},     {"1.2.840.10008.1.2.4.59", 8, 11},
    {"1.2.840.10008.1.2.4.60", 8, 12},     {"1.2.840.10008.1.2.4.61", 8, 13},
    {"1.2.840.10008.1.2.4.62", 8, 14},     {"1.2.840.10008.1.2.4.63", 8, 15},
    {"1.2.840.10008.1.2.4.64", 8, 16},     {"1.2.840.10008.1.2.4.65", 8, 17},
    {"1.2.840.10008.1.2.4.66", 8, 18},     {"1.2.840.10008.1.2.4.70", 8, 19},
    {"1.2.840.10008.1.2.5", 8, 1},
};

}  // namespace

int NEMA_Transfert_Syntax(const ReadContext& ctx, ImageHeader& ima, const char* uid) {
  Log_Print(ctx, 9, "in NEMA_Transfert_Syntax(%s)", uid);
  for (const Syntax& s : kSyntaxes) {
    if (std::strcmp(s.uid, uid) != 0) continue;
    ima.transfer_mode = s.mode;
    if (s.compression >= 0) ima.g2.compression = static_cast<int8_t>(s.compression);
    return 1;
  }
  Log_Print(ctx, 6, "Unrecognized Transfer Syntax UID: %s", uid);
  Log_Print(ctx, 6, "file:%s, line:%d", KEMA_SRC, __LINE__);
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 unknown transfer syntax UID (%s)", uid);
  return 0;
}

const char* NEMA_Compression_UID(int code) {
  for (const Syntax& s : kSyntaxes)
    if (s.compression == code) return s.uid;
  return nullptr;
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
