// The DICOM attributes kept with an image: tag, VR and value in DICOM
// little-endian encoding, in ascending tag order, one record per tag.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "log/log.h"

struct DicomAttribute {
  uint16_t group = 0;
  uint16_t element = 0;
  uint16_t vr = 0;             // two letters, first in the high byte
  std::vector<uint8_t> data;   // even length
};

using DicomList = std::vector<DicomAttribute>;

// Removes every attribute matching (group, element); 0xFFFF matches any.
void DICOM_Attribute_Delete(LogHandle log, DicomList& list, uint16_t group, uint16_t element);
// Inserts a copy of a value read under `transfer_mode` (multi-byte binary
// values of a big-endian stream are turned little-endian). The first value
// of a tag stays. 1, or 0 after a logged memory failure.
int DICOM_Attribute_Copy(LogHandle log, DicomList& list, uint8_t transfer_mode, uint16_t group,
                         uint16_t element, uint16_t vr, uint32_t length, const uint8_t* bytes);

// Inserts an attribute built from values in the form its VR requires:
// "DA" year, month, day; "TM" hours; "DS" reals; "IS", "US", "SS", "UL",
// "SL" integers. The first value of a tag stays. 1, or 0 after a logged
// memory failure.
int DICOM_Attribute_Add(LogHandle log, DicomList& list, uint16_t group, uint16_t element, uint16_t vr,
                        std::initializer_list<double> values);
// The same from texts: "PN" names ("JOHN DOE" becomes JOHN^DOE), the text
// VRs joined by backslashes, "OB" one block of bytes.
int DICOM_Attribute_Add(LogHandle log, DicomList& list, uint16_t group, uint16_t element, uint16_t vr,
                        std::initializer_list<std::string_view> texts);
