// Group 0028 (image presentation): the pixel description, rescale and
// window, and the palette tables.
#include <algorithm>
#include <new>

#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

#define FIELD_ARGS ctx, cur, mode, el, row.vr, row.label, ima

// One integer; `accept` says whether the value may be stored.
template <typename T, typename Accept>
int Int_Field(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
              ImageHeader& ima, T& field, Accept accept) {
  int32_t v[1] = {static_cast<int32_t>(field)};
  size_t count = 0;
  if (!NEMA_Read_Int(FIELD_ARGS, v, &count)) return 0;
  if (count && accept(v[0])) field = static_cast<T>(v[0]);
  return 1;
}

template <typename T>
int Int_Field(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
              ImageHeader& ima, T& field) {
  return Int_Field(ctx, cur, mode, el, row, ima, field, [](int32_t) { return true; });
}

// A palette table: as many entries as its descriptor announces (0 meaning
// 65536), or as the element holds when no descriptor came first.
int Palette(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
            ImageHeader& ima) {
  static constexpr const char* kVar[] = {"ima->g2.palette_red", "ima->g2.palette_grn", "ima->g2.palette_blu"};
  const int c = el.element - 0x1201;
  std::vector<uint16_t>& table = c == 0 ? ima.g2.palette_red : c == 1 ? ima.g2.palette_grn : ima.g2.palette_blu;
  const std::array<uint16_t, 3>& info =
      c == 0 ? ima.g2.palette_red_info : c == 1 ? ima.g2.palette_grn_info : ima.g2.palette_blu_info;
  bool described = info[0] != 0 || info[2] != 0;
  size_t entries = described ? (info[0] ? info[0] : 65536) : std::min<size_t>(el.length / 2, 65536);
  std::vector<int32_t> values;
  try {
    values.assign(entries, 0);
    table.assign(entries, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", kVar[c], static_cast<long long>(entries), 2);
    return 0;
  }
  if (!NEMA_Read_Int(FIELD_ARGS, values)) return 0;
  for (size_t i = 0; i < entries; ++i) table[i] = static_cast<uint16_t>(values[i]);
  return 1;
}

}  // namespace

int NEMA_Map_0028(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, const NemaDictRow& row,
             ImageHeader& ima) {
  ImageG2& g2 = ima.g2;
  const auto in_dim = [](int32_t v) { return v >= 1 && v <= 0xFFFF; };
  switch (el.element) {
    case 0x0002: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_plane);
    case 0x0005: {
      if (!Int_Field(ctx, cur, mode, el, row, ima, g2.pix_plane)) return 0;
      DICOM_Attribute_Delete(ctx, ima.DICOM_list, 0x0028, 0x0005);
      return 1;
    }
    case 0x0006: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_planar);
    case 0x0008:
      // A count of no frame names none: the record keeps its one image.
      if (ima.g1.frame_time == 0) return Int_Field(ctx, cur, mode, el, row, ima, ima.dim_z, in_dim);
      return Int_Field(ctx, cur, mode, el, row, ima, ima.dim_t, in_dim);
    case 0x0010: return Int_Field(ctx, cur, mode, el, row, ima, ima.dim_y);
    case 0x0011: return Int_Field(ctx, cur, mode, el, row, ima, ima.dim_x);
    case 0x0030: {
      std::array<float, 2> s{};
      if (!NEMA_Read_Real(FIELD_ARGS, s)) return 0;
      // Row spacing (between rows, the vertical size) first, then column
      // spacing (along a row): the record keeps the horizontal size first.
      ima.g1.pix_dim[1] = s[0];
      ima.g1.pix_dim[0] = s[1] != 0 ? s[1] : s[0];
      return 1;
    }
    case 0x0034: {
      // Vertical to horizontal size: the pixel shape when no spacing is given.
      std::array<int32_t, 2> r{};
      size_t count = 0;
      if (!NEMA_Read_Int(FIELD_ARGS, r, &count)) return 0;
      if (count == 2 && r[0] > 0 && r[1] > 0 && ima.g1.pix_dim[0] == 0 && ima.g1.pix_dim[1] == 0) {
        ima.g1.pix_dim[0] = 1.0f;
        ima.g1.pix_dim[1] = static_cast<float>(r[0]) / static_cast<float>(r[1]);
      }
      return 1;
    }
    case 0x0100: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_store);
    case 0x0101: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_bits);
    case 0x0102: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_high);
    case 0x0103: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_sign);
    case 0x0106: return Int_Field(ctx, cur, mode, el, row, ima, g2.hdr_min);
    case 0x0107: return Int_Field(ctx, cur, mode, el, row, ima, g2.hdr_max);
    case 0x0108: return Int_Field(ctx, cur, mode, el, row, ima, g2.serie_min);
    case 0x0109: return Int_Field(ctx, cur, mode, el, row, ima, g2.serie_max);
    case 0x0120: return Int_Field(ctx, cur, mode, el, row, ima, g2.pix_fill);
    case 0x1050: case 0x1051: {
      float v[1] = {0};
      size_t count = 0;
      if (!NEMA_Read_Real(FIELD_ARGS, v, &count)) return 0;
      if (count) (el.element == 0x1050 ? g2.level : g2.window) = NEMA_To_Int(v[0]);
      return 1;
    }
    case 0x1052: {
      float v[1] = {g2.rescale_intercept};
      if (!NEMA_Read_Real(FIELD_ARGS, v)) return 0;
      g2.rescale_intercept = v[0];
      return 1;
    }
    case 0x1053: {
      float v[1] = {g2.rescale_slope};
      if (!NEMA_Read_Real(FIELD_ARGS, v)) return 0;
      g2.rescale_slope = v[0] == 0 ? 1.0f : v[0];
      return 1;
    }
    case 0x1101: case 0x1102: case 0x1103: {
      std::array<uint16_t, 3>& info = el.element == 0x1101   ? g2.palette_red_info
                                      : el.element == 0x1102 ? g2.palette_grn_info
                                                             : g2.palette_blu_info;
      std::array<int32_t, 3> v{info[0], info[1], info[2]};
      if (!NEMA_Read_Int(FIELD_ARGS, v)) return 0;
      info = {static_cast<uint16_t>(v[0]), static_cast<uint16_t>(v[1]), static_cast<uint16_t>(v[2])};
      return 1;
    }
    case 0x1201: case 0x1202: case 0x1203: return Palette(ctx, cur, mode, el, row, ima);
    default: return -1;
  }
}

