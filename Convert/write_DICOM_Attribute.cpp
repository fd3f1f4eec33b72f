#include "Convert/write_DICOM_Attribute.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "Convert/conv_report.h"

namespace {

constexpr uint16_t Vr(char a, char b) { return static_cast<uint16_t>((a << 8) | b); }

// Bytes per binary value whose order a big-endian stream reverses.
size_t Swap_Unit(uint16_t vr) {
  switch (vr) {
    case Vr('F', 'D'): return 8;
    case Vr('F', 'L'): case Vr('S', 'L'): case Vr('U', 'L'): return 4;
    case Vr('S', 'S'): case Vr('U', 'S'): case Vr('O', 'W'): return 2;
    default: return 1;
  }
}

bool Matches(const DicomAttribute& a, uint16_t group, uint16_t element) {
  return (group == 0xFFFF || a.group == group) && (element == 0xFFFF || a.element == element);
}

using Tag = std::pair<uint16_t, uint16_t>;

DicomList::iterator Find_Place(DicomList& list, uint16_t group, uint16_t element) {
  return std::lower_bound(list.begin(), list.end(), Tag{group, element}, [](const DicomAttribute& a, Tag t) {
    return a.group < t.first || (a.group == t.first && a.element < t.second);
  });
}

bool Present(const DicomList& list, DicomList::iterator at, uint16_t group, uint16_t element) {
  return at != list.end() && at->group == group && at->element == element;
}

// The value of an Add is built in a work area of this size, as the list
// has always done: longer values are cut.
constexpr size_t kWorkArea = 1024;

int Insert(LogHandle log, DicomList& list, uint16_t group, uint16_t element, uint16_t vr, std::string value,
           char pad) {
  auto at = Find_Place(list, group, element);
  if (Present(list, at, group, element)) return 1;
  try {
    if (value.size() > kWorkArea) value.resize(kWorkArea);
    if (value.size() & 1) value.push_back(pad);
    DicomAttribute attr;
    attr.group = group;
    attr.element = element;
    attr.vr = vr;
    attr.data.assign(value.begin(), value.end());
    list.insert(at, std::move(attr));
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "insert->attr.data", static_cast<long long>(value.size()), 1);
    return 0;
  }
  return 1;
}

void Put_LE(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

void DICOM_Attribute_Delete(LogHandle, DicomList& list, uint16_t group, uint16_t element) {
  std::erase_if(list, [&](const DicomAttribute& a) { return Matches(a, group, element); });
}

int DICOM_Attribute_Copy(LogHandle log, DicomList& list, uint8_t transfer_mode, uint16_t group,
                         uint16_t element, uint16_t vr, uint32_t length, const uint8_t* bytes) {
  Log_Print(log, 10, "in DICOM_Attribute_Copy(%04x,%04x) %c%c %u bytes", group, element, vr >> 8, vr & 0xFF,
            length);
  auto at = Find_Place(list, group, element);
  if (Present(list, at, group, element)) return 1;
  try {
    DicomAttribute attr;
    attr.group = group;
    attr.element = element;
    attr.vr = vr;
    attr.data.assign(bytes, bytes + length);
    if (length & 1) attr.data.push_back(0);
    const size_t unit = Swap_Unit(vr);
    if ((transfer_mode & 0x03) == 1 && unit > 1)
      for (size_t i = 0; i + unit <= length; i += unit) std::reverse(attr.data.begin() + i, attr.data.begin() + i + unit);
    list.insert(at, std::move(attr));
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "insert->attr.data", length, 1);
    return 0;
  }
  return 1;
}

int DICOM_Attribute_Add(LogHandle log, DicomList& list, uint16_t group, uint16_t element, uint16_t vr,
                        std::initializer_list<double> values) {
  Log_Print(log, 10, "in DICOM_Attribute_Add(%04x,%04x)", group, element);
  std::string out;
  char num[64];
  const double* v = values.begin();
  const size_t n = values.size();
  switch (vr) {
    case Vr('D', 'A'):
      if (n >= 3) {
        std::snprintf(num, sizeof num, "%04d%02d%02d", static_cast<int>(v[0]), static_cast<int>(v[1]),
                      static_cast<int>(v[2]));
        out = num;
      }
      break;
    case Vr('T', 'M'):
      if (n >= 1) {
        const double hours = std::isfinite(v[0]) && std::fabs(v[0]) < 1000 ? v[0] : 0.0;
        const int h = static_cast<int>(hours);
        const double minutes = (hours - h) * 60.0;
        const int m = static_cast<int>(minutes);
        const double seconds = (minutes - m) * 60.0;
        std::snprintf(num, sizeof num, "%02d%02d%06.3f", h, m, seconds);
        out = num;
      }
      break;
    case Vr('D', 'S'):
    case Vr('I', 'S'):
      for (size_t i = 0; i < n; ++i) {
        if (i) out.push_back('\\');
        const double x = std::isfinite(v[i]) ? v[i] : 0.0;
        if (x == std::floor(x) && std::fabs(x) < 2147483648.0)
          std::snprintf(num, sizeof num, "%-d", static_cast<int>(x));
        else
          std::snprintf(num, sizeof num, "%-.6f", x);
        out += num;
        if (out.size() > kWorkArea) break;
      }
      break;
    case Vr('U', 'S'): case Vr('S', 'S'):
      for (size_t i = 0; i < n && out.size() < kWorkArea; ++i) Put_LE(out, static_cast<uint32_t>(static_cast<int64_t>(v[i])), 2);
      break;
    case Vr('U', 'L'): case Vr('S', 'L'):
      for (size_t i = 0; i < n && out.size() < kWorkArea; ++i) Put_LE(out, static_cast<uint32_t>(static_cast<int64_t>(v[i])), 4);
      break;
    default:
      break;
  }
  return Insert(log, list, group, element, vr, std::move(out), ' ');
}

int DICOM_Attribute_Add(LogHandle log, DicomList& list, uint16_t group, uint16_t element, uint16_t vr,
                        std::initializer_list<std::string_view> texts) {
  Log_Print(log, 10, "in DICOM_Attribute_Add(%04x,%04x)", group, element);
  std::string out;
  if (vr == Vr('O', 'B')) {
    for (std::string_view t : texts) out.append(t.substr(0, kWorkArea - std::min(out.size(), kWorkArea)));
    return Insert(log, list, group, element, vr, std::move(out), 0);
  }
  bool first = true;
  for (std::string_view t : texts) {
    if (!first) out.push_back('\\');
    first = false;
    if (vr == Vr('P', 'N')) {
      // "FAMILY, GIVEN" or "GIVEN FAMILY" alike: the two parts joined by a caret.
      size_t split = t.find(',');
      if (split == std::string_view::npos) split = t.find(' ');
      if (split == std::string_view::npos) {
        out.append(t);
      } else {
        out.append(t.substr(0, split));
        out.push_back('^');
        out.append(t.substr(split + 1));
      }
    } else {
      out.append(t);
    }
    if (out.size() > kWorkArea) break;
  }
  return Insert(log, list, group, element, vr, std::move(out), ' ');
}
