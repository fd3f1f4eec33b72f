// Value readers and formatters shared by the group handlers: how each VR
// is shown as a header-text line, how it is kept in the attribute list, and
// the field readers that hand values to the header mapping.
#include "Convert/formats/dicom/local_NEMA_val.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "Convert/conv_header_text.h"
#include "Convert/conv_report.h"

namespace {

constexpr uint16_t V(char a, char b) { return NEMA_VR(a, b); }

char Vr_Hi(uint16_t vr) { return static_cast<char>(vr >> 8); }
char Vr_Lo(uint16_t vr) { return static_cast<char>(vr & 0xFF); }

// The value as a C text: up to its first zero byte.
std::string C_Text(const std::string& raw) { return std::string(raw.c_str()); }

std::string Trim_Right(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = s.find(sep, from);
    parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::string Join(const std::vector<std::string>& parts, char sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out.push_back(sep);
    out += parts[i];
  }
  return out;
}

size_t Text_Max(uint16_t vr) {
  switch (vr) {
    case V('A', 'E'): case V('C', 'S'): case V('S', 'H'): return 16;
    case V('A', 'S'): return 4;
    case V('L', 'O'): case V('U', 'I'): return 64;
    default: return 1024;
  }
}

bool Is_Text_VR(uint16_t vr) {
  switch (vr) {
    case V('A', 'E'): case V('A', 'S'): case V('C', 'S'): case V('L', 'T'): case V('S', 'T'):
    case V('U', 'T'): case V('U', 'C'): case V('U', 'R'):
      return true;
    default:
      return false;
  }
}

// VRs of bytes the stream holds whole: shown as bytes like "OB".
bool Is_Byte_VR(uint16_t vr) {
  switch (vr) {
    case V('O', 'B'): case V('U', 'N'): case V('O', 'F'): case V('O', 'D'): case V('O', 'L'): case V('O', 'V'):
      return true;
    default:
      return false;
  }
}

void Report_File_Line(const ReadContext& ctx, int line) { Log_Print(ctx, 9, "File:%s, Line:%d", KEMA_SRC, line); }

void Report_Bad_VR(const ReadContext& ctx, const NemaElement& el, uint16_t vr, const char* accepted, int line) {
  Report_File_Line(ctx, line);
  if (accepted)
    Log_Print(ctx, 9, "(%04x,%04x): bad VR value (%04x (%c%c) != %s)", el.group, el.element, vr, Vr_Hi(vr),
              Vr_Lo(vr), accepted);
  else
    Log_Print(ctx, 9, "(%04x,%04x): bad VR value (%04x (%c%c))", el.group, el.element, vr, Vr_Hi(vr), Vr_Lo(vr));
}

// The VR a field reader takes a value with: the effective one when the
// reader can read it, else the dictionary's (a writer that typed the element
// wrongly never costs the header), else 0.
uint16_t Agreed_VR(const ReadContext& ctx, uint8_t mode, const NemaElement& el, uint16_t dict_vr, bool (*ok)(uint16_t)) {
  const uint16_t vr = NEMA_Effective_VR(mode, el.vr, dict_vr);
  if (ok(vr)) return vr;
  if (!ok(dict_vr)) return 0;
  Log_Print(ctx, 9, "(%04x,%04x): VR %c%c read as %c%c", el.group, el.element, Vr_Hi(vr), Vr_Lo(vr), Vr_Hi(dict_vr),
            Vr_Lo(dict_vr));
  return dict_vr;
}

// Keeps a value in the attribute list.
int Keep_Raw(const ReadContext& ctx, ImageHeader& ima, uint8_t mode, const NemaElement& el, uint16_t vr, const std::string& raw) {
  return DICOM_Attribute_Copy(ctx, ima.DICOM_list, mode, el.group, el.element, vr, static_cast<uint32_t>(raw.size()),
                              reinterpret_cast<const uint8_t*>(raw.data()));
}

int Keep_Text(const ReadContext& ctx, ImageHeader& ima, const NemaElement& el, uint16_t vr, const std::string& kept) {
  return DICOM_Attribute_Copy(ctx, ima.DICOM_list, 0, el.group, el.element, vr, static_cast<uint32_t>(kept.size()),
                              reinterpret_cast<const uint8_t*>(kept.data()));
}

// Bytes per value of the binary VRs, 0 for the others.
size_t Binary_Size(uint16_t vr) {
  switch (vr) {
    case V('U', 'S'): case V('S', 'S'): return 2;
    case V('U', 'L'): case V('S', 'L'): case V('A', 'T'): case V('F', 'L'): return 4;
    case V('F', 'D'): return 8;
    default: return 0;
  }
}

void Report_Binary_Size(const ReadContext& ctx, uint16_t vr, const std::string& raw, int line) {
  Report_File_Line(ctx, line);
  const int n = static_cast<int>(raw.size());
  switch (Binary_Size(vr)) {
    case 2: Log_Print(ctx, 9, "Expecting short but got %d bytes", n); break;
    case 4:
      if (vr == V('F', 'L'))
        Log_Print(ctx, 9, "Expecting float but got %d bytes", n);
      else
        Log_Print(ctx, 9, "Expecting int but got %d bytes: (%s)", n, raw.c_str());
      break;
    default: Log_Print(ctx, 9, "Expecting double but got %d bytes", n); break;
  }
}

// Up to the first 16 bytes of binary values, separated by "/".
std::string Format_Binary(uint8_t mode, uint16_t vr, const std::string& raw) {
  const size_t unit = Binary_Size(vr);
  const auto* b = reinterpret_cast<const uint8_t*>(raw.data());
  const size_t n = std::min<size_t>(raw.size(), 16) / unit;
  std::string out;
  char num[64];
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = b + i * unit;
    switch (vr) {
      case V('U', 'S'): std::snprintf(num, sizeof num, "%u", NEMA_Get_Short(mode, p)); break;
      case V('S', 'S'): std::snprintf(num, sizeof num, "%d", static_cast<int16_t>(NEMA_Get_Short(mode, p))); break;
      case V('U', 'L'): std::snprintf(num, sizeof num, "%u", static_cast<uint32_t>(NEMA_Get_Long(mode, p))); break;
      case V('S', 'L'): std::snprintf(num, sizeof num, "%d", NEMA_Get_Long(mode, p)); break;
      case V('A', 'T'):
        std::snprintf(num, sizeof num, "0x%04x 0x%04x", NEMA_Get_Short(mode, p), NEMA_Get_Short(mode, p + 2));
        break;
      case V('F', 'L'): std::snprintf(num, sizeof num, "%-.2g", static_cast<double>(NEMA_Get_Float(mode, p))); break;
      default: std::snprintf(num, sizeof num, "%lf", NEMA_Get_Double(mode, p)); break;
    }
    if (i) out.push_back('/');
    out += num;
  }
  return out;
}

std::string Format_Bytes(const uint8_t* b, size_t n) {
  std::string out;
  char num[8];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(num, sizeof num, "%02x ", b[i]);
    out += num;
  }
  return out;
}

std::string Format_Words(uint8_t mode, const uint8_t* b, size_t n) {
  std::string out;
  char num[16];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(num, sizeof num, "%d ", NEMA_Get_Short(mode, b + 2 * i));
    out += num;
  }
  return out;
}

// A line that carries on the value of the element line above.
void Text_More(const ReadContext& ctx, const std::string& value) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "\x01%50s%s", "", value.c_str());
}

// "OB" (16 bytes a line) and "OW" (8 values a line), every line.
void Show_Lines(const ReadContext& ctx, uint8_t mode, const NemaElement& el, uint16_t vr, const char* label,
                const std::string& raw) {
  if (!ctx.Text_Level()) return;
  const auto* b = reinterpret_cast<const uint8_t*>(raw.data());
  const bool words = vr == V('O', 'W');
  const size_t per_line = 16;
  const size_t bytes = words ? raw.size() / 2 * 2 : raw.size();
  for (size_t at = 0; at == 0 || at < bytes; at += per_line) {
    const size_t n = std::min(per_line, bytes - std::min(at, bytes));
    const std::string line = words ? Format_Words(mode, b + at, n / 2) : Format_Bytes(b + at, n);
    if (at == 0)
      NEMA_Text_Element(ctx, el.group, el.element, label, line.c_str());
    else
      Text_More(ctx, line);
  }
}

// Numbers shown in columns, eight a line (palette tables).
void Show_Columns(const ReadContext& ctx, const NemaElement& el, const char* label, const std::vector<int32_t>& values) {
  if (!ctx.Text_Level()) return;
  char num[32];
  std::string line;
  bool first = true;
  for (size_t i = 0; i < values.size(); ++i) {
    std::snprintf(num, sizeof num, "%-6d ", values[i]);
    line += num;
    if (i % 8 == 7 || i + 1 == values.size()) {
      if (first)
        NEMA_Text_Element(ctx, el.group, el.element, label, line.c_str());
      else
        Text_More(ctx, line);
      first = false;
      line.clear();
    }
  }
  if (first) NEMA_Text_Element(ctx, el.group, el.element, label, "");
}

std::optional<std::string> Read_Value(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el) {
  return NEMA_Read_String(ctx, cur, el.length);
}

struct DateParts {
  int day = 0, month = 0, year = 0;
};

int Digits(const std::string& s, size_t from, size_t count) {
  if (from >= s.size()) return 0;
  return std::atoi(s.substr(from, count).c_str());
}

// A number of up to `count` digits at `at`, moving `at` past it.
int Scan_Number(const std::string& s, size_t& at, size_t count) {
  int v = 0;
  size_t n = 0;
  while (at < s.size() && n < count && s[at] >= '0' && s[at] <= '9') {
    v = v * 10 + (s[at] - '0');
    ++at;
    ++n;
  }
  return v;
}

DateParts Parse_Date(uint16_t vr, const std::string& text, size_t length) {
  DateParts d;
  if (vr == V('D', 'T') || length == 8) {
    d.year = Digits(text, 0, 4);
    d.month = Digits(text, 4, 2);
    d.day = Digits(text, 6, 2);
  } else if (length == 6) {
    d.year = Digits(text, 0, 2) + 1900;
    d.month = Digits(text, 2, 2) + 1;
    d.day = Digits(text, 4, 2);
  } else {
    // Three numbers with any separator between them: YYYY.MM.DD, or a
    // date written day first.
    size_t at = 0;
    d.year = Scan_Number(text, at, 4);
    ++at;
    d.month = Scan_Number(text, at, 2);
    ++at;
    d.day = Scan_Number(text, at, 4);
  }
  if (d.day > 1900) std::swap(d.day, d.year);
  return d;
}

}  // namespace

float NEMA_To_Float(double v) {
  if (std::isnan(v)) return 0.0f;
  return static_cast<float>(std::clamp(v, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
}

int32_t NEMA_To_Int(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int32_t>(std::clamp(v, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX)));
}

// ---- header text ----


void NEMA_Text_Element(const ReadContext& ctx, uint16_t group, uint16_t element, const char* label, const char* value) {
  if (const int level = ctx.Text_Level())
    Log_Print(ctx, level, "\x02(%04x,%04x)\x01 %-36s\x02 %s", group, element, label, value);
}

void NEMA_Text_Banner(const ReadContext& ctx, const char* text) {
  if (const int level = ctx.Text_Level()) Log_Print(ctx, level, "\xF1\x02%s\xF0\x01", text);
}

int NEMA_Group_Length(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, const char* banner) {
  if (!NEMA_Skip(ctx, cur, el.length)) return 0;
  NEMA_Text_Banner(ctx, banner);
  return 1;
}

bool NEMA_Retired_Label(const char* label) { return std::strncmp(label, "(retired)", 9) == 0; }

// ---- kept forms ----

std::string NEMA_Keep_Number_Text(uint16_t vr, const std::string& raw) {
  std::string s = C_Text(raw);
  if (!s.empty() && s.back() == '\\') s.pop_back();
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  std::vector<std::string> parts = Split(s, '\\');
  const size_t max = vr == V('D', 'S') ? 16 : 12;
  char num[64];
  for (std::string& p : parts) {
    if (p.find_first_of("eE") != std::string::npos) {
      const double x = std::atof(p.c_str());
      const double a = std::fabs(x);
      if (x == std::floor(x) && a < 2147483648.0) {
        std::snprintf(num, sizeof num, "%-d", static_cast<int>(x));
        p = num;
      } else if (a >= 0.001 && a < 100) {
        std::snprintf(num, sizeof num, "%-.6f", x);
        p = num;
      } else if (a < 10000) {
        std::snprintf(num, sizeof num, "%-.4f", x);
        p = num;
      } else if (a < 1000000) {
        std::snprintf(num, sizeof num, "%-.2f", x);
        p = num;
      }
    }
    if (p.size() > max) p.resize(max);
  }
  std::string out = Join(parts, '\\');
  if (out.size() & 1) out.push_back(' ');
  return out;
}

std::string NEMA_Keep_Text(uint16_t vr, const std::string& raw) {
  std::string out;
  switch (vr) {
    case V('L', 'O'): case V('S', 'H'): {
      std::vector<std::string> parts = Split(C_Text(raw), '\\');
      for (std::string& p : parts)
        if (p.size() > Text_Max(vr)) p.resize(Text_Max(vr));
      out = Join(parts, '\\');
      break;
    }
    case V('U', 'I'):
      out = Trim_Right(C_Text(raw));
      if (out.size() > 64) out.resize(64);
      if (out.size() & 1) out.push_back('\0');
      return out;
    case V('P', 'N'):
      return raw;
    case V('D', 'S'): case V('I', 'S'):
      return NEMA_Keep_Number_Text(vr, raw);
    default:
      out = Trim_Right(C_Text(raw));
      if (out.size() > Text_Max(vr)) out.resize(Text_Max(vr));
      break;
  }
  if (out.size() & 1) out.push_back(' ');
  return out;
}

std::string NEMA_Text_Value(uint16_t vr, const std::string& raw) {
  std::vector<std::string> parts = Split(C_Text(raw), '\\');
  for (std::string& p : parts) {
    p = Trim_Right(p);
    if (p.size() > Text_Max(vr)) p.resize(Text_Max(vr));
  }
  std::string text = Join(parts, '\\');
  if (vr == V('P', 'N')) {
    // Empty trailing components ("DOE^JOHN^^^") name nobody.
    while (!text.empty() && text.back() == '^') text.pop_back();
    const size_t first = text.find('^');
    if (first != std::string::npos) {
      const size_t last = text.rfind('^');
      text = text.substr(last + 1) + " " + text.substr(0, first);
    }
  }
  return text;
}

double NEMA_Time_Hours(uint16_t vr, const std::string& text) {
  const size_t from = vr == V('D', 'T') ? 8 : 0;
  if (text.size() <= from) return 0;
  const std::string t = text.substr(from);
  double hours;
  if (t.size() > 2 && t[2] == ':') {
    // HH:MM:SS.frac, as ACR-NEMA files write it.
    hours = Digits(t, 0, 2) + Digits(t, 3, 2) / 60.0 + (t.size() > 6 ? std::atof(t.c_str() + 6) : 0.0) / 3600.0;
  } else {
    hours = Digits(t, 0, 2) + Digits(t, 2, 2) / 60.0 + (t.size() > 4 ? std::atof(t.c_str() + 4) : 0.0) / 3600.0;
  }
  if (vr == V('D', 'T')) {
    // The offset from UTC that may follow: +HHMM or -HHMM.
    const size_t sign = t.find_first_of("+-", 2);
    if (sign != std::string::npos) {
      const double offset = Digits(t, sign + 1, 2) + Digits(t, sign + 3, 2) / 60.0;
      hours += t[sign] == '-' ? -offset : offset;
    }
  }
  // A time far outside a day (digits that read as an exponent) is no time.
  return std::isfinite(hours) && std::fabs(hours) < 1000 ? hours : 0.0;
}

// ---- shown and kept ----

namespace {

// The time of a "TM" or "DT" value: shown, kept, handed out.
int Time_Value(const ReadContext& ctx, uint8_t mode, const NemaElement& el, uint16_t vr, const char* label, ImageHeader& ima,
               const std::string& raw, float& hours, bool keep) {
  const std::string text = Trim_Right(C_Text(raw));
  const double h = NEMA_Time_Hours(vr, text);
  hours = static_cast<float>(h);
  if (raw.empty()) {
    NEMA_Text_Element(ctx, el.group, el.element, label, "");
    return 1;
  }
  if (ctx.Text_Level()) {
    const int hh = static_cast<int>(h);
    const double m = (h - hh) * 60.0;
    const int mm = static_cast<int>(m);
    char value[64];
    std::snprintf(value, sizeof value, "%02d:%02d:%06.3f", hh, mm, (m - mm) * 60.0);
    NEMA_Text_Element(ctx, el.group, el.element, label, value);
  }
  if (!keep) return 1;
  if (vr == V('D', 'T')) return Keep_Raw(ctx, ima, mode, el, vr, raw);
  return DICOM_Attribute_Add(ctx, ima.DICOM_list, el.group, el.element, V('T', 'M'), {h});
}

int Date_Value(const ReadContext& ctx, const NemaElement& el, uint16_t vr, const char* label, ImageHeader& ima,
               const std::string& raw, DateParts& d, bool keep) {
  if (raw.empty()) {
    NEMA_Text_Element(ctx, el.group, el.element, label, "");
    return 1;
  }
  if (vr == V('D', 'A') && raw.size() != 6 && raw.size() != 8 && raw.size() != 10) {
    Report_File_Line(ctx, __LINE__);
    Log_Print(ctx, 9, "(%04x,%04x): Date must be size 6, 8 or 10 (%d)", el.group, el.element,
              static_cast<int>(raw.size()));
    return 0;
  }
  d = Parse_Date(vr, raw, raw.size());
  if (ctx.Text_Level()) {
    char value[64];
    std::snprintf(value, sizeof value, "%02d/%02d/%04d", d.day, d.month, d.year);
    NEMA_Text_Element(ctx, el.group, el.element, label, value);
  }
  if (!keep) return 1;
  return DICOM_Attribute_Add(ctx, ima.DICOM_list, el.group, el.element, V('D', 'A'),
                             {static_cast<double>(d.year), static_cast<double>(d.month), static_cast<double>(d.day)});
}

// Reads, shows and (when `keep`) keeps a value by its effective VR.
int Show_Value(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t vr, const char* label,
               ImageHeader& ima, bool keep) {
  // A sequence has no value of its own: its items are walked, retired or not.
  if (vr == V('S', 'Q') || el.length == kNemaUndefined) return cur.Walk_Sequence(ctx, mode, el, ima);

  const bool known = Is_Text_VR(vr) || Is_Byte_VR(vr) || Binary_Size(vr) || vr == V('L', 'O') ||
                     vr == V('S', 'H') || vr == V('U', 'I') || vr == V('P', 'N') || vr == V('D', 'S') ||
                     vr == V('I', 'S') || vr == V('D', 'A') || vr == V('T', 'M') || vr == V('D', 'T') ||
                     vr == V('O', 'W');
  if (!known) {
    Report_Bad_VR(ctx, el, vr, nullptr, __LINE__);
    if (keep) return 0;
    // Nothing is kept: show the bytes as an unknown element is shown.
    return NEMA_Show_Private(ctx, cur, mode, el);
  }
  // A value nobody reads: skip it when it is there.
  if (!keep && !ctx.Text_Level() && cur.Has(el.length)) return NEMA_Skip(ctx, cur, el.length);

  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  if (vr == V('D', 'A')) {
    DateParts d;
    return Date_Value(ctx, el, vr, label, ima, *raw, d, keep);
  }
  if (vr == V('T', 'M') || vr == V('D', 'T')) {
    float hours;
    return Time_Value(ctx, mode, el, vr, label, ima, *raw, hours, keep);
  }
  if (Is_Byte_VR(vr) || vr == V('O', 'W')) {
    Show_Lines(ctx, mode, el, vr, label, *raw);
    return keep ? Keep_Raw(ctx, ima, mode, el, vr, *raw) : 1;
  }
  if (const size_t unit = Binary_Size(vr)) {
    if (raw->size() % unit) {
      Report_Binary_Size(ctx, vr, *raw, __LINE__);
      if (keep) return 0;
      NEMA_Text_Element(ctx, el.group, el.element, label, "");
      return 1;
    }
    if (ctx.Text_Level()) NEMA_Text_Element(ctx, el.group, el.element, label, Format_Binary(mode, vr, *raw).c_str());
    return keep ? Keep_Raw(ctx, ima, mode, el, vr, *raw) : 1;
  }
  // Texts: shown as read.
  NEMA_Text_Element(ctx, el.group, el.element, label, raw->c_str());
  return keep ? Keep_Text(ctx, ima, el, vr, NEMA_Keep_Text(vr, *raw)) : 1;
}

}  // namespace

int NEMA_Value_Stool(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                     const char* label, ImageHeader& ima) {
  return Show_Value(ctx, cur, mode, el, NEMA_Effective_VR(mode, el.vr, dict_vr), label, ima, true);
}

int NEMA_Value_Retired(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                       const char* label, ImageHeader& ima) {
  return Show_Value(ctx, cur, mode, el, NEMA_Effective_VR(mode, el.vr, dict_vr), label, ima, false);
}

// ---- field readers ----

int NEMA_Read_Text(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, std::string& out) {
  const uint16_t vr = Agreed_VR(ctx, mode, el, dict_vr, [](uint16_t v) {
    switch (v) {
      case V('P', 'N'): case V('S', 'H'): case V('A', 'E'): case V('C', 'S'): case V('L', 'O'): case V('U', 'I'):
      case V('S', 'T'): case V('L', 'T'): case V('A', 'S'):
        return true;
      default:
        return false;
    }
  });
  if (!vr) {
    Report_Bad_VR(ctx, el, NEMA_Effective_VR(mode, el.vr, dict_vr), "PN,SH.AE,CS,LO,UI,ST,LT", __LINE__);
    return 0;
  }
  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  NEMA_Text_Element(ctx, el.group, el.element, label, raw->c_str());
  try {
    out = NEMA_Text_Value(vr, *raw);
  } catch (const std::bad_alloc&) {
    Report_Strdup(ctx, KEMA_SRC, __LINE__, "*str");
    return 0;
  }
  return Keep_Text(ctx, ima, el, vr, NEMA_Keep_Text(vr, *raw));
}

int NEMA_Read_Int(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                  const char* label, ImageHeader& ima, std::span<int32_t> out, size_t* count) {
  const uint16_t vr = Agreed_VR(ctx, mode, el, dict_vr, [](uint16_t v) {
    switch (v) {
      case V('I', 'S'): case V('D', 'S'): case V('S', 'S'): case V('U', 'S'): case V('O', 'W'): case V('S', 'L'):
      case V('U', 'L'):
        return true;
      default:
        return false;
    }
  });
  size_t unit = 0;
  bool is_signed = false;
  switch (vr) {
    case V('I', 'S'): case V('D', 'S'): break;
    case V('S', 'S'): is_signed = true; unit = 2; break;
    case V('U', 'S'): case V('O', 'W'): unit = 2; break;
    case V('S', 'L'): is_signed = true; unit = 4; break;
    case V('U', 'L'): unit = 4; break;
    default:
      Report_Bad_VR(ctx, el, NEMA_Effective_VR(mode, el.vr, dict_vr), "IS,US,UL,SS,SL", __LINE__);
      return 0;
  }
  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  std::vector<int32_t> values;
  if (unit == 0) {
    for (const std::string& p : Split(C_Text(*raw), '\\')) values.push_back(std::atoi(p.c_str()));
    if (C_Text(*raw).empty()) values.clear();
  } else {
    if (raw->size() % unit) {
      Report_File_Line(ctx, __LINE__);
      Log_Print(ctx, 9, unit == 2 ? "Expecting unsigned short but got %d bytes" : "Expecting unsigned int but got %d bytes",
                static_cast<int>(raw->size()));
      return 0;
    }
    const auto* b = reinterpret_cast<const uint8_t*>(raw->data());
    values.reserve(raw->size() / unit);
    for (size_t i = 0; i + unit <= raw->size(); i += unit) {
      if (unit == 2) {
        const uint16_t v = NEMA_Get_Short(mode, b + i);
        values.push_back(is_signed ? static_cast<int16_t>(v) : static_cast<int32_t>(v));
      } else {
        values.push_back(NEMA_Get_Long(mode, b + i));
      }
    }
  }
  std::copy_n(values.begin(), std::min(values.size(), out.size()), out.begin());
  if (count) *count = values.size();

  if (ctx.Text_Level()) {
    if (unit && raw->size() > 16)
      Show_Columns(ctx, el, label, values);
    else if (unit)
      NEMA_Text_Element(ctx, el.group, el.element, label, Format_Binary(mode, vr == V('O', 'W') ? V('U', 'S') : vr, *raw).c_str());
    else
      NEMA_Text_Element(ctx, el.group, el.element, label, raw->c_str());
  }
  if (unit) return Keep_Raw(ctx, ima, mode, el, vr, *raw);
  return Keep_Text(ctx, ima, el, vr, NEMA_Keep_Text(vr, *raw));
}

int NEMA_Read_Real(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, std::span<float> out, size_t* count) {
  const uint16_t vr = Agreed_VR(ctx, mode, el, dict_vr, [](uint16_t v) {
    return v == V('D', 'S') || v == V('I', 'S') || v == V('F', 'L') || v == V('F', 'D');
  });
  size_t unit = 0;
  switch (vr) {
    case V('D', 'S'): case V('I', 'S'): break;
    case V('F', 'L'): unit = 4; break;
    case V('F', 'D'): unit = 8; break;
    default:
      Report_Bad_VR(ctx, el, NEMA_Effective_VR(mode, el.vr, dict_vr), "DS,FL,FD", __LINE__);
      return 0;
  }
  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  std::vector<float> values;
  if (unit == 0) {
    const std::string text = C_Text(*raw);
    if (!text.empty())
      for (const std::string& p : Split(text, '\\')) values.push_back(NEMA_To_Float(std::atof(p.c_str())));
  } else {
    if (raw->size() % unit) {
      Report_File_Line(ctx, __LINE__);
      Log_Print(ctx, 9, unit == 4 ? "Expecting floats but got %d bytes" : "Expecting doubles but got %d bytes",
                static_cast<int>(raw->size()));
      return 0;
    }
    const auto* b = reinterpret_cast<const uint8_t*>(raw->data());
    for (size_t i = 0; i + unit <= raw->size(); i += unit)
      values.push_back(NEMA_To_Float(unit == 4 ? NEMA_Get_Float(mode, b + i) : NEMA_Get_Double(mode, b + i)));
  }
  std::copy_n(values.begin(), std::min(values.size(), out.size()), out.begin());
  if (count) *count = values.size();

  if (unit) {
    if (ctx.Text_Level()) NEMA_Text_Element(ctx, el.group, el.element, label, Format_Binary(mode, vr, *raw).c_str());
    return Keep_Raw(ctx, ima, mode, el, vr, *raw);
  }
  NEMA_Text_Element(ctx, el.group, el.element, label, raw->c_str());
  return Keep_Text(ctx, ima, el, vr, NEMA_Keep_Text(vr, *raw));
}

int NEMA_Real_Into(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                   ImageHeader& ima, float& field, float scale) {
  float v[1] = {field / scale};
  if (!NEMA_Read_Real(ctx, cur, mode, el, row.vr, row.label, ima, v)) return 0;
  field = v[0] * scale;
  return 1;
}

int NEMA_Int_Into(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima, uint16_t& field) {
  int32_t v[1] = {field};
  if (!NEMA_Read_Int(ctx, cur, mode, el, row.vr, row.label, ima, v)) return 0;
  field = static_cast<uint16_t>(v[0]);
  return 1;
}

int NEMA_Read_Date(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, uint16_t& day, uint16_t& month, uint16_t& year) {
  const uint16_t vr =
      Agreed_VR(ctx, mode, el, dict_vr, [](uint16_t v) { return v == V('D', 'A') || v == V('D', 'T'); });
  if (!vr) {
    Report_Bad_VR(ctx, el, NEMA_Effective_VR(mode, el.vr, dict_vr), "DA,DT", __LINE__);
    return 0;
  }
  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  DateParts d;
  if (!Date_Value(ctx, el, vr, label, ima, *raw, d, true)) return 0;
  day = static_cast<uint16_t>(d.day);
  month = static_cast<uint16_t>(d.month);
  year = static_cast<uint16_t>(d.year);
  return 1;
}

int NEMA_Read_Time(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, float& hours) {
  const uint16_t vr =
      Agreed_VR(ctx, mode, el, dict_vr, [](uint16_t v) { return v == V('T', 'M') || v == V('D', 'T'); });
  if (!vr) {
    Report_Bad_VR(ctx, el, NEMA_Effective_VR(mode, el.vr, dict_vr), "DA", __LINE__);
    return 0;
  }
  const auto raw = Read_Value(ctx, cur, el);
  if (!raw) return 0;
  return Time_Value(ctx, mode, el, vr, label, ima, *raw, hours, true);
}

// ---- the default group handler ----

int NEMA_Group_Default(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima,
                       const char* banner, NemaMapper map) {
  if (el.element == 0x0000 && el.length != kNemaUndefined) return NEMA_Group_Length(ctx, cur, el, banner);
  const NemaDictRow* row = NEMA_Dict_Find(el.group, el.element);
  if (!row) return NEMA_Value_Retired(ctx, cur, mode, el, NEMA_Unknown_VR(el), "unknown:", ima);
  // Inside a sequence (an icon, a referenced image, a functional group) an
  // element describes something else than this image: never mapped.
  if (cur.state.Nested()) {
    // Listed and kept in the attribute list (its first value of a tag).
    if (NEMA_Retired_Label(row->label)) return NEMA_Value_Retired(ctx, cur, mode, el, row->vr, row->label, ima);
    return NEMA_Value_Stool(ctx, cur, mode, el, row->vr, row->label, ima);
  }
  if (map && el.length != kNemaUndefined) {
    const int r = map(ctx, cur, mode, el, *row, ima);
    if (r >= 0) return r;
  }
  if (NEMA_Retired_Label(row->label)) return NEMA_Value_Retired(ctx, cur, mode, el, row->vr, row->label, ima);
  return NEMA_Value_Stool(ctx, cur, mode, el, row->vr, row->label, ima);
}

// ---- calendar times ----

namespace {

// Calendar conversions are costly (each one looks at the zone file) and a
// series repeats the same few: the last results are kept, with the zone they
// were made in. They are results of a pure function, shared by every read.
struct TimeMemo {
  static constexpr int kSize = 8;
  struct Entry {
    int64_t a = 0, b = 0;
    int kind = -1;
    int32_t result = 0;
  };
  Entry entries[kSize];
  int next = 0;
  std::string zone;
};
TimeMemo g_memo;
std::mutex g_memo_mutex;

bool Memo_Find(int kind, int64_t a, int64_t b, int32_t& result) {
  std::lock_guard<std::mutex> lock(g_memo_mutex);
  TimeMemo& t_memo = g_memo;
  const char* tz = std::getenv("TZ");
  const char* zone = tz ? tz : "";
  if (t_memo.zone != zone) {
    t_memo = TimeMemo{};
    t_memo.zone = zone;
    return false;
  }
  for (const auto& e : t_memo.entries)
    if (e.kind == kind && e.a == a && e.b == b) {
      result = e.result;
      return true;
    }
  return false;
}

void Memo_Keep(int kind, int64_t a, int64_t b, int32_t result) {
  std::lock_guard<std::mutex> lock(g_memo_mutex);
  TimeMemo& t_memo = g_memo;
  t_memo.entries[t_memo.next] = {a, b, kind, result};
  t_memo.next = (t_memo.next + 1) % TimeMemo::kSize;
}

}  // namespace

int32_t NEMA_Date_To_Time(uint16_t day, uint16_t month, uint16_t year) {
  if (day == 0 && month == 0 && year == 0) return 0;
  const int64_t key = (int64_t{year} << 32) | (int64_t{month} << 16) | day;
  int32_t result;
  if (Memo_Find(0, key, 0, result)) return result;
  std::tm tm{};
  tm.tm_year = year >= 1001 ? year - 1900 : year;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  result = t == static_cast<std::time_t>(-1) || t < INT32_MIN || t > INT32_MAX ? 0 : static_cast<int32_t>(t);
  Memo_Keep(0, key, 0, result);
  return result;
}

int32_t NEMA_Set_Time_Of_Day(int32_t when, float hours) {
  if (when == 0 || hours == 0) return when;
  int64_t bits = 0;
  std::memcpy(&bits, &hours, sizeof hours);
  int32_t result;
  if (Memo_Find(1, when, bits, result)) return result;
  result = when;
  const std::time_t t = when;
  std::tm tm{};
  if (localtime_r(&t, &tm)) {
    const int h = static_cast<int>(hours);
    const double m = (hours - h) * 60.0;
    const int mm = static_cast<int>(m);
    tm.tm_hour = h;
    tm.tm_min = mm;
    tm.tm_sec = static_cast<int>((m - mm) * 60.0 + 0.5);
    tm.tm_isdst = -1;
    const std::time_t r = std::mktime(&tm);
    if (r != static_cast<std::time_t>(-1) && r >= INT32_MIN && r <= INT32_MAX) result = static_cast<int32_t>(r);
  }
  Memo_Keep(1, when, bits, result);
  return result;
}

bool NEMA_Frame_Pos_Reserve(const ReadContext& ctx, ImageHeader& ima, size_t index) {
  if (index >= kNemaMaxFrames) return false;
  std::vector<Vec4>& fp = ima.g1.frame_pos;
  const size_t want = std::max<size_t>(1024, index + 1);
  if (fp.size() >= want) return true;
  try {
    fp.resize(want, Vec4{});
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "ima->g1.frame_pos", static_cast<long long>(want), 16);
    return false;
  }
  return true;
}
