// Group handlers of the identifying groups: file meta (0002), identifying
// (0008), patient (0010), relationship (0020), study (0032), visit (0038),
// procedure (0040) and Papyrus (0041), with their header mapping.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

#define FIELD_ARGS ctx, cur, mode, el, row.vr, row.label, ima

// ---- 0002 ----

int Map_0002(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  if (el.element != 0x0010) return -1;
  std::string uid;
  if (!NEMA_Read_Text(FIELD_ARGS, uid)) return 0;
  return NEMA_Transfert_Syntax(ctx, ima, uid.c_str());
}

// ---- 0008 ----

// Study, series, acquisition and image time, in the order of their date
// (0008,0020..0023) and time (0008,0030..0033) elements.
int32_t& Time_Field(ImageG1& g1, unsigned which) {
  int32_t* field[] = {&g1.study_time, &g1.series_time, &g1.acq_time, &g1.image_time};
  return *field[which];
}

}  // namespace

int NEMA_Map_0008(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  std::string* text = nullptr;
  switch (el.element) {
    case 0x0008: {
      if (!NEMA_Read_Text(FIELD_ARGS, ima.DICOM_type)) return 0;
      if (ima.DICOM_type.find("AXIAL") != std::string::npos)
        ima.image_type = 1;
      else if (ima.DICOM_type.find("LOCALIZER") != std::string::npos)
        ima.image_type = 5;
      return 1;
    }
    case 0x0020: case 0x0021: case 0x0022: case 0x0023: {
      uint16_t day = 0, month = 0, year = 0;
      if (!NEMA_Read_Date(FIELD_ARGS, day, month, year)) return 0;
      Time_Field(ima.g1, el.element - 0x0020) = NEMA_Date_To_Time(day, month, year);
      return 1;
    }
    case 0x0030: case 0x0031: case 0x0032: case 0x0033: {
      float hours = 0;
      if (!NEMA_Read_Time(FIELD_ARGS, hours)) return 0;
      int32_t& when = Time_Field(ima.g1, el.element - 0x0030);
      when = NEMA_Set_Time_Of_Day(when, hours);
      return 1;
    }
    case 0x0060: {
      std::string m;
      if (!NEMA_Read_Text(FIELD_ARGS, m)) return 0;
      const auto c0 = static_cast<uint8_t>(m.size() > 0 ? m[0] : 0);
      const auto c1 = static_cast<uint8_t>(m.size() > 1 ? m[1] : 0);
      ima.modality = static_cast<uint16_t>(c0 * 256 + c1);
      return 1;
    }
    case 0x0070: text = &ima.g4.manufacturer; break;
    case 0x0080: text = &ima.g3.hospital_name; break;
    case 0x0090: text = &ima.g3.physician_name; break;
    case 0x1010: text = &ima.g4.station; break;
    case 0x1030: text = &ima.g1.study_comment; break;
    case 0x103E: text = &ima.g1.series_comment; break;
    case 0x1090: text = &ima.g4.model; break;
    default: return -1;
  }
  return NEMA_Read_Text(FIELD_ARGS, *text);
}

namespace {


// ---- 0010 ----

}  // namespace

int NEMA_Map_0010(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  switch (el.element) {
    case 0x0010: return NEMA_Read_Text(FIELD_ARGS, ima.g3.patient_name);
    case 0x0020: return NEMA_Read_Text(FIELD_ARGS, ima.g3.patient_ID);
    case 0x0030: {
      uint16_t day = 0, month = 0, year = 0;
      if (!NEMA_Read_Date(FIELD_ARGS, day, month, year)) return 0;
      ima.g3.birth_date = {year, month, day};
      return 1;
    }
    case 0x0040: {
      std::string sex;
      if (!NEMA_Read_Text(FIELD_ARGS, sex)) return 0;
      ima.g3.patient_sex = sex.empty() ? 0 : sex[0];
      return 1;
    }
    case 0x1010: {
      std::string age;
      if (!NEMA_Read_Text(FIELD_ARGS, age)) return 0;
      if (age.size() < 4) return 1;
      const auto n = static_cast<uint16_t>(std::atoi(age.substr(0, 3).c_str()));
      switch (age[3]) {
        case 'D': ima.g3.patient_age[2] = n; break;
        case 'W': ima.g3.patient_age[2] = static_cast<uint16_t>(n * 7); break;
        case 'M': ima.g3.patient_age[1] = n; break;
        case 'Y': ima.g3.patient_age[0] = n; break;
        default: break;
      }
      return 1;
    }
    case 0x1030: return NEMA_Real_Into(ctx, cur, mode, el, row, ima, ima.g3.patient_weight);
    case 0x4000: return NEMA_Read_Text(FIELD_ARGS, ima.g3.comments[0]);
    default: return -1;
  }
}

namespace {


// ---- 0020 ----

int16_t Orientation_Code(char c) {
  switch (c) {
    case 'R': return 1;
    case 'L': return 2;
    case 'A': return 3;
    case 'P': return 4;
    case 'F': return 5;
    case 'H': return 6;
    default: return 0;
  }
}

// A direction vector that contradicts its (0020,0020) code is turned round
// on that axis: the code is taken to be right.
void Check_Orientation(const ReadContext& ctx, Vec4& dir, int16_t code, const char* which) {
  if (code < 1 || code > 6) return;
  const int axis = (code - 1) / 2;
  const bool wants_not_positive = code % 2 == 1;  // R, A, F
  const float c = dir[axis];
  if (wants_not_positive ? c > 0 : c < 0) {
    Log_Print(ctx, 4, "\xF1\x05WARNING!\xF0\x02 Group 0020, Image %s Direction:", which);
    Log_Print(ctx, 4, "\t\t\t Contradiction between tag 0020 and 0035.");
    Log_Print(ctx, 4, "\t\t\t We assume tag 0020 is right");
    dir[axis] = -c;
  }
}

size_t Frame_Count(const ImageHeader& ima) { return static_cast<size_t>(ima.dim_z) * ima.dim_t; }

// Frame positions read so far are relative to the image position `p`.
void Shift_Frames(ImageHeader& ima, const std::array<float, 3>& p) {
  const size_t n = std::min(Frame_Count(ima), ima.g1.frame_pos.size());
  for (size_t k = 0; k < n; ++k)
    for (int i = 0; i < 3; ++i) ima.g1.frame_pos[k][i] += p[i];
}

// `index`: the image the parse is at (items of an image sequence).
void Image_Position(const ReadContext& ctx, ImageHeader& ima, int32_t index, const std::array<float, 3>& p) {
  std::vector<Vec4>& fp = ima.g1.frame_pos;
  if (index <= 0) {
    ima.g1.position = {p[0], p[1], p[2], 0};
    Shift_Frames(ima, p);
    return;
  }
  const size_t dim_z = ima.dim_z ? ima.dim_z : 1;
  if (fp.empty()) {
    if (!NEMA_Frame_Pos_Reserve(ctx, ima, 0)) return;
    for (size_t t = 0; t < ima.dim_t && t * dim_z < fp.size(); ++t) fp[t * dim_z] = ima.g1.position;
  }
  for (size_t t = 0; t < ima.dim_t; ++t) {
    const size_t k = static_cast<size_t>(index) + t * dim_z;
    if (!NEMA_Frame_Pos_Reserve(ctx, ima, k)) break;  // beyond any image the file can hold
    fp[k][0] = p[0];
    fp[k][1] = p[1];
    fp[k][2] = p[2];
  }
}

}  // namespace

int NEMA_Map_0020(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  switch (el.element) {
    case 0x0010: return NEMA_Read_Text(FIELD_ARGS, ima.g1.study_ID);
    case 0x0011: return NEMA_Int_Into(ctx, cur, mode, el, row, ima, ima.g1.series_num);
    case 0x0012: return NEMA_Int_Into(ctx, cur, mode, el, row, ima, ima.g1.acq_num);
    case 0x0013: {
      if (ima.format == 20 || ima.format == 21 || ima.format == 27 || ima.format == 28) {
        // ACR-NEMA 1.0 numbers images with letters and digits.
        std::string text;
        if (!NEMA_Read_Text(ctx, cur, mode, el, NEMA_VR('S', 'H'), row.label, ima, text)) return 0;
        uint32_t n = 0;
        for (const unsigned char c : text) {
          if (c >= '0' && c <= '9')
            n = n * 10 + (c - '0');
          else if (c == ' ' || c == ':' || c == ';')
            continue;
          else
            n = n * 10 + (c >= 'A' ? c - 65 : c);
        }
        ima.g1.image_num = static_cast<uint16_t>(n);
        DICOM_Attribute_Delete(ctx, ima.DICOM_list, 0x0020, 0x0013);
        return 1;
      }
      return NEMA_Int_Into(ctx, cur, mode, el, row, ima, ima.g1.image_num);
    }
    case 0x0020: {
      std::string text;
      if (!NEMA_Read_Text(FIELD_ARGS, text)) return 0;
      const size_t sep = text.find('\\');
      if (!text.empty())
        if (int16_t c = Orientation_Code(text[0])) ima.g1.orient_h = c;
      if (sep != std::string::npos && sep + 1 < text.size())
        if (int16_t c = Orientation_Code(text[sep + 1])) ima.g1.orient_v = c;
      return 1;
    }
    case 0x0030: {
      std::array<float, 3> p{};
      if (!NEMA_Read_Real(FIELD_ARGS, p)) return 0;
      ima.g1.position = {p[0], p[1], p[2], 0};
      DICOM_Attribute_Delete(ctx, ima.DICOM_list, 0x0020, 0x0030);
      Shift_Frames(ima, p);
      return 1;
    }
    case 0x0032: {
      std::array<float, 3> p{};
      if (!NEMA_Read_Real(FIELD_ARGS, p)) return 0;
      Image_Position(ctx, ima, cur.state.NEMA_Nb_Ima, p);
      return 1;
    }
    case 0x0035: case 0x0037: {
      std::array<float, 6> d{};
      if (!NEMA_Read_Real(FIELD_ARGS, d)) return 0;
      ima.g1.dir_h = {d[0], d[1], d[2], 0};
      ima.g1.dir_v = {d[3], d[4], d[5], 0};
      ima.flags |= kFlagDirValid;
      if (el.element == 0x0035) {
        Check_Orientation(ctx, ima.g1.dir_h, ima.g1.orient_h, "Horizontal");
        Check_Orientation(ctx, ima.g1.dir_v, ima.g1.orient_v, "Vertical");
      }
      return 1;
    }
    case 0x0050: case 0x1041: return NEMA_Real_Into(ctx, cur, mode, el, row, ima, ima.g4.table_pos);
    case 0x4000: return NEMA_Read_Text(FIELD_ARGS, ima.g1.image_comment);
    default: return -1;
  }
}

namespace {


// ---- 0041 ----

}  // namespace

int NEMA_Map_0041(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  if (el.element != 0x1015) return -1;
  int32_t v[1] = {ima.dim_z};
  if (!NEMA_Read_Int(FIELD_ARGS, v)) return 0;
  if (v[0] >= 1 && v[0] <= 0xFFFF) ima.dim_z = static_cast<uint16_t>(v[0]);
  return 1;
}

int NEMA_Parse_0002(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  // The meta group is little-endian; its values are explicit exactly when
  // the element carried a VR.
  const auto meta = static_cast<uint8_t>((mode & 0xF0) | (el.vr ? kNemaExplicitVR : 0));
  return NEMA_Group_Default(ctx, cur, meta, el, ima, "---- ---- Group 02: ---- ---- ", Map_0002);
}

