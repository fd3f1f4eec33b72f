#include "Convert/write_DICOM_Attribute.h"

#include <algorithm>
#include <new>

#include "Convert/conv_util.h"

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

}  // namespace

void DICOM_Attribute_Delete(LogHandle, DicomList& list, uint16_t group, uint16_t element) {
  std::erase_if(list, [&](const DicomAttribute& a) { return Matches(a, group, element); });
}

int DICOM_Attribute_Copy(LogHandle log, DicomList& list, uint8_t transfer_mode, uint16_t group,
                         uint16_t element, uint16_t vr, uint32_t length, const uint8_t* bytes) {
  Log_Print(log, 10, "in DICOM_Attribute_Copy(%04x,%04x) %c%c %u bytes", group, element, vr >> 8, vr & 0xFF,
            length);
  auto at = std::lower_bound(list.begin(), list.end(), std::pair{group, element},
                             [](const DicomAttribute& a, std::pair<uint16_t, uint16_t> t) {
                               return a.group < t.first || (a.group == t.first && a.element < t.second);
                             });
  if (at != list.end() && at->group == group && at->element == element) return 1;
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
