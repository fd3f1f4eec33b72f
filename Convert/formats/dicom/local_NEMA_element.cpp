// The element level of the stream reader: element headers, the transfer
// syntax, and the elements that are skipped or shown without a dictionary.
// Nothing here enters the element loop again except through the parse's
// own sequence walker.
#include <cstdio>
#include <cstring>
#include <string>

#include "Convert/formats/dicom/local_NEMA.h"

namespace {

bool Is_Upper(uint8_t c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

// ---- element headers ----

int NEMA_Get_Data_Element(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, NemaElement& el) {
  Log_Print(ctx, 10, "in NEMA_Get_Data_Element()");
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
    if (NEMA_Long_Length_VR(vr)) {
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

int NEMA_Skip_Group(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  Log_Print(ctx, 10, "in NEMA_Skip_Group(%04x,%04x,length:%d)", el.group, el.element, static_cast<int>(el.length));
  if (el.length == kNemaUndefined) {
    if (el.group == 0xFFFE && el.element == 0xE000) {
      Log_Print(ctx, 10, "--> ????? (how did I get here ?) Skip Undefined length item !");
      return cur.Walk_Item(ctx, mode, el.length, ima);
    }
    Log_Print(ctx, 10, "--> Skip Undefined length sequence !");
    return cur.Walk_Sequence(ctx, mode, el, ima);
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
  if (!level && cur.Has(el.length)) return NEMA_Skip(ctx, cur, el.length);  // nothing to list
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
    {"1.2.840.10008.1.2.4.80", 8, 20},     {"1.2.840.10008.1.2.4.81", 8, 21},
    {"1.2.840.10008.1.2.4.90", 8, 22},     {"1.2.840.10008.1.2.4.91", 8, 23},
    {"1.2.840.10008.1.2.4.201", 8, 24},    {"1.2.840.10008.1.2.4.202", 8, 25},
    {"1.2.840.10008.1.2.4.203", 8, 26},    {"1.2.840.10008.1.2.1.98", 8, 27},
    {"1.2.840.10008.1.2.8.1", 8, 28},      {"1.2.840.10008.1.2.1.99", 8 | kNemaDeflated, -1},
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
