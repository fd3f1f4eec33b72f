// Group 0018 (acquisition): the dictionary rows that fill the acquisition
// fields, the patient position, and the frame times.
#include <algorithm>
#include <cstring>
#include <new>

#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

#define FIELD_ARGS ctx, cur, mode, el, row.vr, row.label, ima

// Frame times live in the fourth component of the frame positions; the
// records start at the image position when they are made here.
bool Frame_Records(const ReadContext& ctx, ImageHeader& ima) {
  const bool fresh = ima.g1.frame_pos.empty();
  if (!NEMA_Frame_Pos_Reserve(ctx, ima, 0)) return false;
  if (fresh)
    for (Vec4& r : ima.g1.frame_pos) r = {ima.g1.position[0], ima.g1.position[1], ima.g1.position[2], 0};
  return true;
}

int Frame_Delay(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                ImageHeader& ima) {
  float d[1] = {0};
  if (!NEMA_Read_Real(FIELD_ARGS, d)) return 0;
  const float delay = d[0] * 0.001f;
  if (ima.g1.frame_pos.empty()) {
    if (!Frame_Records(ctx, ima)) return 0;
    const size_t dim_z = ima.dim_z ? ima.dim_z : 1;
    for (size_t k = 0; k < ima.g1.frame_pos.size(); ++k)
      ima.g1.frame_pos[k][3] = delay + static_cast<float>(k / dim_z) * ima.g1.frame_time;
  } else {
    for (Vec4& r : ima.g1.frame_pos) r[3] += delay;
  }
  return 1;
}

int Frame_Time_Vector(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                      ImageHeader& ima) {
  std::vector<float> f_vect;
  try {
    f_vect.assign(1024, 0.0f);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "f_vect", 1024, 4);
    return 0;
  }
  size_t count = 0;
  if (!NEMA_Read_Real(FIELD_ARGS, f_vect, &count)) return 0;
  if (!Frame_Records(ctx, ima)) return 0;
  float sum = 0;
  for (size_t k = 0; k < ima.g1.frame_pos.size(); ++k) {
    if (k < f_vect.size()) sum += f_vect[k] * 0.001f;
    ima.g1.frame_pos[k][3] = sum;
  }
  return 1;
}

int Patient_Position(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
                     ImageHeader& ima) {
  std::string text;
  if (!NEMA_Read_Text(FIELD_ARGS, text)) return 0;
  struct Code {
    const char* text;
    uint8_t position, entry;
  };
  static constexpr Code kCodes[] = {
      {"HFP", 2, 16},  {"HFS", 1, 16},  {"HFDR", 4, 16}, {"HFDL", 3, 16},
      {"FFDR", 4, 32}, {"FFDL", 3, 32}, {"FFP", 2, 32},  {"FFS", 1, 32},
  };
  for (const Code& c : kCodes)
    if (text == c.text) {
      ima.g3.patient_position = c.position;
      ima.g3.patient_entry = c.entry;
    }
  if (text == "PRONE") ima.g3.patient_position = 2;
  if (text == "SUPINE") ima.g3.patient_position = 1;
  return 1;
}

}  // namespace

int NEMA_Map_0018(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  ImageG4& g4 = ima.g4;
  std::string* text = nullptr;
  float* real = nullptr;
  uint16_t* integer = nullptr;
  float scale = 1.0f;
  switch (el.element) {
    case 0x0010: text = &g4.contrast_IV; break;
    case 0x0020: text = &g4.mr.scanning_sequence; break;
    case 0x0021: text = &g4.mr.sequence_variant; break;
    case 0x0022: text = &g4.scan_options; break;
    case 0x0023: text = &g4.mr.acquisition_type; break;
    case 0x0024: text = &g4.mr.pulse_seq; break;
    case 0x0025: text = &g4.mr.angio_flag; break;
    case 0x0085: text = &g4.mr.imaging_nucleus; break;
    case 0x4000: text = &ima.g1.image_comment; break;
    case 0x0050: real = &ima.g1.pix_size[2]; break;
    case 0x0060: real = &g4.ct.tube_voltage; break;
    case 0x0080: real = &g4.mr.repetition_time; break;
    case 0x0081: real = &g4.mr.echo_time; break;
    case 0x0082: real = &g4.mr.inversion_time; break;
    case 0x0084: real = &g4.mr.imaging_frequency; break;
    case 0x0087: real = &g4.mr.field_strength; break;
    case 0x0088: real = &ima.g1.pix_dim[2]; break;
    case 0x0090: real = &g4.ct.collection_diameter; break;
    case 0x1063: real = &ima.g1.frame_time; scale = 0.001f; break;
    case 0x1100: real = &g4.recon_diameter; break;
    case 0x1110: real = &g4.ct.dist_source_detector; break;
    case 0x1111: real = &g4.ct.dist_source_patient; break;
    case 0x1120: real = &g4.ct.gantry_tilt; break;
    case 0x1130: real = &g4.table_height; break;
    case 0x1131: real = &g4.table_pos; break;
    case 0x1150: real = &g4.scan_time; scale = 0.001f; break;
    case 0x1151: real = &g4.ct.tube_current; break;
    case 0x1152: real = &g4.ct.exposure; break;
    case 0x1190: real = &g4.ct.focal_spot; break;
    case 0x1242: real = &ima.g1.frame_duration; break;
    case 0x0083: {
      int32_t v[1] = {static_cast<int32_t>(g4.mr.averages)};
      if (!NEMA_Read_Int(FIELD_ARGS, v)) return 0;
      g4.mr.averages = static_cast<float>(v[0]);
      return 1;
    }
    case 0x0086: integer = &g4.mr.echo_number; break;
    case 0x0089: integer = &g4.mr.phase_steps; break;
    case 0x0091: integer = &g4.mr.echo_train; break;
    case 0x1065: return Frame_Time_Vector(ctx, cur, mode, el, row, ima);
    case 0x1066: return Frame_Delay(ctx, cur, mode, el, row, ima);
    case 0x1140: {
      std::string dir;
      if (!NEMA_Read_Text(FIELD_ARGS, dir)) return 0;
      if (dir == "CC") g4.ct.rotation_direction = 2;
      if (dir == "CW") g4.ct.rotation_direction = 1;
      return 1;
    }
    case 0x5100: return Patient_Position(ctx, cur, mode, el, row, ima);
    default: return -1;
  }
  if (text) return NEMA_Read_Text(FIELD_ARGS, *text);
  if (real) return NEMA_Real_Into(ctx, cur, mode, el, row, ima, *real, scale);
  return NEMA_Int_Into(ctx, cur, mode, el, row, ima, *integer);
}

