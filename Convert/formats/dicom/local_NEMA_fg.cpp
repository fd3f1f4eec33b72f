// The functional groups of enhanced multi-frame files: the shared (5200,9229)
// and per-frame (5200,9230) sequences give each frame its position,
// orientation, pixel size, thickness and rescale.
#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "Convert/conv_report.h"
#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

// The frame's record, grown as the items come; null past the frame bound.
FrameGeometry* Frame_Of(const ReadContext& ctx, NemaParseState& st, ImageHeader& ima) {
  if (st.fg_kind == 1) return &st.fg_shared;
  if (st.fg_frame < 0 || static_cast<size_t>(st.fg_frame) >= kNemaMaxFrames) return nullptr;
  auto& geom = ima.g1.frame_geom;
  const auto f = static_cast<size_t>(st.fg_frame);
  if (geom.size() <= f) {
    try {
      geom.resize(std::max<size_t>(f + 1, std::min<size_t>(2 * geom.size(), kNemaMaxFrames)));
    } catch (const std::bad_alloc&) {
      Report_Memory(ctx, KEMA_SRC, __LINE__, "realloc", "ima->g1.frame_geom", static_cast<long long>(f + 1),
                    static_cast<long long>(sizeof(FrameGeometry)));
      return nullptr;
    }
  }
  return &geom[f];
}

}  // namespace

namespace {

// (0028,3002) LUT Descriptor and (0028,3006) LUT Data of the first item of a
// Modality LUT Sequence, kept for the pixel read; -1 for other elements.
int Modality_Lut_Value(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  const NemaParseState& st = cur.state;
  if (st.depth != st.mlut_depth || st.item_counter != 1 || el.group != 0x0028 ||
      (el.element != 0x3002 && el.element != 0x3006))
    return -1;
  auto* s = dynamic_cast<NemaStorage*>(ima.g2.storage.get());
  if (!s) {
    try {
      ima.g2.storage = std::make_unique<NemaStorage>();
    } catch (const std::bad_alloc&) {
      Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "ima->g2.storage", 1, static_cast<long long>(sizeof(NemaStorage)));
      return 0;
    }
    s = static_cast<NemaStorage*>(ima.g2.storage.get());
  }
  if (el.element == 0x3002) {
    std::array<int32_t, 3> d{};
    size_t count = 0;
    if (!NEMA_Read_Int(ctx, cur, mode, el, NEMA_VR('U', 'S'), "LUT Descriptor:", ima, d, &count)) return 0;
    if (count == 3) s->modality_lut_desc = d;
    return 1;
  }
  const size_t entries = std::min<size_t>(el.length / 2, 65536);
  std::vector<int32_t> v;
  try {
    v.assign(entries, 0);
    s->modality_lut.assign(entries, 0);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "storage->modality_lut", static_cast<long long>(entries), 2);
    return 0;
  }
  if (!NEMA_Read_Int(ctx, cur, mode, el, NEMA_VR('O', 'W'), "LUT Data:", ima, v)) return 0;
  for (size_t i = 0; i < entries; ++i) s->modality_lut[i] = static_cast<uint16_t>(v[i]);
  return 1;
}

}  // namespace

int NEMA_Frame_Group_Value(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el,
                           ImageHeader& ima) {
  NemaParseState& st = cur.state;
  if (st.mlut_depth) return Modality_Lut_Value(ctx, cur, mode, el, ima);
  // Only the macros' own elements, one sequence below the group's item.
  if (st.depth != st.fg_depth + 1) return -1;
  size_t want = 0;
  switch ((uint32_t{el.group} << 16) | el.element) {
    case 0x00200032: want = 3; break;  // Image Position (Patient)
    case 0x00200037: want = 6; break;  // Image Orientation (Patient)
    case 0x00280030: want = 2; break;  // Pixel Spacing
    case 0x00180050: case 0x00281052: case 0x00281053: want = 1; break;
    default: return -1;
  }
  const NemaDictRow* row = NEMA_Dict_Find(el.group, el.element);
  if (!row) return -1;
  // Read, listed and kept like any nested element, and taken for the frame.
  std::array<float, 6> v{};
  size_t count = 0;
  if (!NEMA_Read_Real(ctx, cur, mode, el, row->vr, row->label, ima, v, &count)) return 0;
  if (count < want) return 1;
  FrameGeometry* g = Frame_Of(ctx, st, ima);
  if (!g) return 1;
  switch (el.element) {
    case 0x0032:
      g->has |= kGeomPosition;
      if (st.fg_kind == 1) {
        st.fg_shared_pos = {v[0], v[1], v[2], 0};
      } else if (NEMA_Frame_Pos_Reserve(ctx, ima, static_cast<size_t>(st.fg_frame))) {
        ima.g1.frame_pos[static_cast<size_t>(st.fg_frame)] = {v[0], v[1], v[2], 0};
      }
      break;
    case 0x0037:
      g->dir_h = {v[0], v[1], v[2], 0};
      g->dir_v = {v[3], v[4], v[5], 0};
      g->has |= kGeomDir;
      break;
    case 0x0030:
      // As the top-level element is taken: the second value, when given.
      g->pix_dim = {v[1] != 0 ? v[1] : v[0], v[0]};  // horizontal size first, as the record keeps it
      g->has |= kGeomPixel;
      break;
    case 0x0050:
      g->thickness = v[0];
      g->has |= kGeomThickness;
      break;
    case 0x1052:
      g->rescale_intercept = v[0];
      g->has |= kGeomRescale;
      break;
    case 0x1053:
      g->rescale_slope = v[0] == 0 ? 1.0f : v[0];
      g->has |= kGeomRescale;
      break;
  }
  return 1;
}

int NEMA_Frame_Groups_Finish(const ReadContext& ctx, const NemaParseState& st, ImageHeader& ima) {
  auto& geom = ima.g1.frame_geom;
  if (geom.empty() && st.fg_shared.has == 0) return 1;
  const size_t frames = size_t{ima.dim_z ? ima.dim_z : 1u} * (ima.dim_t ? ima.dim_t : 1u);
  try {
    geom.resize(frames);
    if (st.fg_shared.has & kGeomPosition) {
      ima.g1.frame_pos.resize(std::max(ima.g1.frame_pos.size(), frames));
    }
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "realloc", "ima->g1.frame_geom", static_cast<long long>(frames),
                  static_cast<long long>(sizeof(FrameGeometry)));
    return 0;
  }
  // A frame keeps what its own groups said; the shared groups fill the rest.
  const FrameGeometry& sh = st.fg_shared;
  for (size_t k = 0; k < frames; ++k) {
    FrameGeometry& g = geom[k];
    if (!(g.has & kGeomDir) && (sh.has & kGeomDir)) g.dir_h = sh.dir_h, g.dir_v = sh.dir_v, g.has |= kGeomDir;
    if (!(g.has & kGeomPixel) && (sh.has & kGeomPixel)) g.pix_dim = sh.pix_dim, g.has |= kGeomPixel;
    if (!(g.has & kGeomThickness) && (sh.has & kGeomThickness)) g.thickness = sh.thickness, g.has |= kGeomThickness;
    if (!(g.has & kGeomRescale) && (sh.has & kGeomRescale)) {
      g.rescale_intercept = sh.rescale_intercept;
      g.rescale_slope = sh.rescale_slope;
      g.has |= kGeomRescale;
    }
    if (!(g.has & kGeomPosition) && (sh.has & kGeomPosition)) {
      ima.g1.frame_pos[k] = st.fg_shared_pos;
      g.has |= kGeomPosition;
    }
  }
  // The record as a whole is described by its first frame.
  const FrameGeometry& f0 = geom[0];
  ImageG1& g1 = ima.g1;
  if ((f0.has & kGeomPosition) && !g1.frame_pos.empty()) g1.position = g1.frame_pos[0];
  if (f0.has & kGeomDir) {
    g1.dir_h = f0.dir_h;
    g1.dir_v = f0.dir_v;
    ima.flags |= kFlagDirValid;
  }
  if (f0.has & kGeomPixel) g1.pix_dim[0] = f0.pix_dim[0], g1.pix_dim[1] = f0.pix_dim[1];
  if (f0.has & kGeomThickness) g1.pix_size[2] = f0.thickness;
  if (f0.has & kGeomRescale) {
    ima.g2.rescale_intercept = f0.rescale_intercept;
    ima.g2.rescale_slope = f0.rescale_slope;
  }
  Log_Print(ctx, 8, "--> functional groups of %d frames", static_cast<int>(frames));
  return 1;
}
