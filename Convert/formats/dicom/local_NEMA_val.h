// The attribute dictionary, the value readers and formatters every group
// handler shares, and the group handlers themselves.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Convert/formats/dicom/local_NEMA.h"

// One dictionary row: element, dictionary VR, label (unpadded).
struct NemaDictRow {
  uint16_t element;
  uint16_t vr;
  const char* label;
};

// The rows of a group in ascending element order (empty for a group
// without rows), and one row, or null.
std::span<const NemaDictRow> NEMA_Dict_Group(uint16_t group);
const NemaDictRow* NEMA_Dict_Find(uint16_t group, uint16_t element);
// Every row of every group: 631.
size_t NEMA_Dict_Size();

// The VR a value is read with: the one the element carried in an explicit
// stream, else the dictionary's; a value stored as "UN" is read with the
// dictionary's VR in the stream's byte order (PS3.5 6.2.2).
inline uint16_t NEMA_Effective_VR(uint8_t mode, uint16_t file_vr, uint16_t dict_vr) {
  return (mode & kNemaExplicitVR) && file_vr && file_vr != NEMA_VR('U', 'N') ? file_vr : dict_vr;
}
// The dictionary VR of an element no dictionary row names: its own "UN"
// (shown as bytes), else text.
inline uint16_t NEMA_Unknown_VR(const NemaElement& el) {
  return el.vr == NEMA_VR('U', 'N') ? el.vr : NEMA_VR('L', 'T');
}
bool NEMA_Retired_Label(const char* label);

// Numbers from a file into the fields' types: out-of-range values are held
// at the type's limits (NaN gives 0), never converted out of range.
float NEMA_To_Float(double v);
int32_t NEMA_To_Int(double v);

// The element line: (gggg,eeee), the label padded to 36, the value text.
void NEMA_Text_Element(const ReadContext& ctx, uint16_t group, uint16_t element, const char* label, const char* value);
// The heading-font banner of a known group.
void NEMA_Text_Banner(const ReadContext& ctx, const char* text);
// Element (gggg,0000): the value is skipped and the banner written.
int NEMA_Group_Length(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, const char* banner);

// Shows the value and keeps it in DICOM_list.
int NEMA_Value_Stool(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                     const char* label, ImageHeader& ima);
// Shows the value; keeps nothing.
int NEMA_Value_Retired(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                       const char* label, ImageHeader& ima);

// Field readers: read, show, keep, and hand the value out. 1, or 0 after a
// logged failure (the parse stops).
int NEMA_Read_Text(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, std::string& out);
// Up to out.size() values; slots without a value are left as they are.
// Returns the count of values the element held through `count` when given.
int NEMA_Read_Int(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                  const char* label, ImageHeader& ima, std::span<int32_t> out, size_t* count = nullptr);
int NEMA_Read_Real(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, std::span<float> out, size_t* count = nullptr);
// One value of the element's dictionary row into a field, which keeps its
// value when the element holds none; a real is read in units of `scale`.
int NEMA_Real_Into(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                   ImageHeader& ima, float& field, float scale = 1.0f);
int NEMA_Int_Into(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima, uint16_t& field);
// A date of no value (length 0) leaves day, month and year at 0.
int NEMA_Read_Date(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, uint16_t& day, uint16_t& month, uint16_t& year);
int NEMA_Read_Time(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, uint16_t dict_vr,
                   const char* label, ImageHeader& ima, float& hours);

// Value normalisers of the kept texts, and of a time text to hours.
std::string NEMA_Keep_Text(uint16_t vr, const std::string& raw);
std::string NEMA_Keep_Number_Text(uint16_t vr, const std::string& raw);
double NEMA_Time_Hours(uint16_t vr, const std::string& text);
// The text reader's form of a value: trimmed values cut to the VR's
// maximum; a person name turned "given family".
std::string NEMA_Text_Value(uint16_t vr, const std::string& raw);

// The default handling of an element of a group with dictionary rows:
// banner, dictionary row (mapped by `map`, else shown), or "unknown:".
// `map` returns -1 when it does not map the element.
using NemaMapper = int (*)(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                           const NemaDictRow& row, ImageHeader& ima);
int NEMA_Group_Default(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima,
                       const char* banner, NemaMapper map);

// The mappers of the groups whose elements the header record takes: -1 for
// an element they do not map.
int NEMA_Map_0008(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);
int NEMA_Map_0010(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);
int NEMA_Map_0018(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);
int NEMA_Map_0020(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);
int NEMA_Map_0028(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);
int NEMA_Map_0041(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                  ImageHeader& ima);

// Group handlers of their own (the element loop's dispatch).
int NEMA_Parse_0002(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_0009(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_0011(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_0019(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_0021(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_0029(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_7001(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);
int SIEMENS_Group_7003(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima);

// Header fields shared by several groups.
// Calendar time (local) of a day at 00:00:00, 0 when there is none.
int32_t NEMA_Date_To_Time(uint16_t day, uint16_t month, uint16_t year);
// A calendar time with its hour, minute and second replaced by `hours`.
int32_t NEMA_Set_Time_Of_Day(int32_t when, float hours);
// g1.frame_pos grown to hold record `index` (at least 1024 records, at most
// kNemaMaxFrames); false when the index lies beyond that bound.
inline constexpr size_t kNemaMaxFrames = 65536;
bool NEMA_Frame_Pos_Reserve(const ReadContext& ctx, ImageHeader& ima, size_t index);

// Functional groups of enhanced multi-frame files (local_NEMA_fg): an
// element of a plane position, orientation, pixel measures or value
// transformation group kept for its frame (or for all, when shared) and
// listed; -1 for an element that is none of these.
int NEMA_Frame_Group_Value(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                           ImageHeader& ima);
// At the end of the parse: each frame gets what the shared groups gave
// where its own said nothing, and the record (frame 0) its geometry.
int NEMA_Frame_Groups_Finish(const ReadContext& ctx, const NemaParseState& st, ImageHeader& ima);
