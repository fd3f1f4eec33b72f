// The pixel data element: locating the stored bytes of every image while the
// header is parsed, and reading them (native data), the two-sample cases and
// the palette expansion when the pixels are wanted.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <tuple>

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"
#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/formats/dicom/local_NEMA_codec.h"
#include "Convert/formats/dicom/local_NEMA_val.h"

namespace {

// Images one element may locate: far more than any series, few enough that
// their three tables stay small.
constexpr size_t kMaxImages = 1 << 20;

NemaStorage* Storage_Of(const ReadContext& ctx, ImageHeader& ima) {
  if (auto* s = dynamic_cast<NemaStorage*>(ima.g2.storage.get())) return s;
  try {
    ima.g2.storage = std::make_unique<NemaStorage>();
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "calloc", "ima->g2.storage", 1, static_cast<long long>(sizeof(NemaStorage)));
    return nullptr;
  }
  return static_cast<NemaStorage*>(ima.g2.storage.get());
}

// The three tables at least `n` entries long.
bool Grow(const ReadContext& ctx, NemaStorage& s, size_t n) {
  if (s.file_offset.size() >= n) return true;
  try {
    s.file_offset.resize(n, 0);
    s.image_offset.resize(n, 0);
    s.image_size.resize(n, 0);
    s.pieces.resize(n);
  } catch (const std::bad_alloc&) {
    Report_Memory(ctx, KEMA_SRC, __LINE__, "realloc", "storage->file_offset", static_cast<long long>(n), 4);
    return false;
  }
  return true;
}

void Refuse_Count(const ReadContext& ctx, NemaCursor& cur, uint64_t count) {
  cur.state.refused = true;
  Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 too many images in the pixel data (%llu /vs/ %llu at most)",
            static_cast<unsigned long long>(count), static_cast<unsigned long long>(kMaxImages));
  Log_Print(ctx, 2, "\xF1\x01\t\t file: \x02%s ", cur.Name());
}

void Record(NemaParseState& st, NemaStorage& s, size_t i, uint64_t file_offset, uint32_t size) {
  s.file_offset[i] = static_cast<uint32_t>(std::min<uint64_t>(file_offset, UINT32_MAX));
  s.image_offset[i] = st.running_offset;
  s.image_size[i] = size;
  st.running_offset += size;
}

// The photometric interpretation as kept in the attribute list, unpadded.
std::string Photometric(const DicomList& list) {
  const auto it = std::find_if(list.begin(), list.end(),
                               [](const DicomAttribute& a) { return a.group == 0x0028 && a.element == 0x0004; });
  if (it == list.end()) return {};
  std::string pi(it->data.begin(), it->data.end());
  while (!pi.empty() && (pi.back() == ' ' || pi.back() == '\0')) pi.pop_back();
  return pi;
}

// Native YBR_FULL_422 keeps two luminance samples and one pair of chroma
// samples for every two pixels of a line (Y1 Y2 Cb Cr): 2 bytes a pixel.
// Files that say so but store full samples are read as YBR_FULL.
bool Packed_422(const ImageHeader& ima, uint64_t bytes) {
  const uint64_t pixels = uint64_t{ima.dim_x} * ima.dim_y * ima.dim_t * ima.dim_z;
  return ima.g2.pix_plane == 3 && ima.g2.pix_store == 8 && ima.dim_x % 2 == 0 && pixels > 0 &&
         bytes >= 2 * pixels && bytes < 3 * pixels && Photometric(ima.DICOM_list) == "YBR_FULL_422";
}

unsigned Samples_Of(const ImageHeader& ima) { return ima.g2.pix_plane ? ima.g2.pix_plane : 1; }

bool Is_Philips(const ImageHeader& ima) { return ima.g4.manufacturer.compare(0, 7, "Philips") == 0; }

int Native(const ReadContext& ctx, NemaCursor& cur, const NemaElement& el, ImageHeader& ima, uint64_t image_bytes) {
  NemaParseState& st = cur.state;
  const uint64_t length = el.length;
  if (uint64_t{ima.dim_t} * ima.dim_z == 1 && length > image_bytes && image_bytes > 0)
    ima.dim_z = static_cast<uint16_t>(std::min<uint64_t>(length / image_bytes, 0xFFFF));
  const uint64_t frames = uint64_t{ima.dim_t} * ima.dim_z;
  const auto first = static_cast<size_t>(std::max(st.NEMA_Nb_Ima, 0));
  if (frames > kMaxImages || first >= kMaxImages) {
    Refuse_Count(ctx, cur, std::max<uint64_t>(frames, first + 1));
    return 0;
  }
  NemaStorage* s = Storage_Of(ctx, ima);
  if (!s || !Grow(ctx, *s, std::max<size_t>(static_cast<size_t>(frames), first + 1))) return 0;

  if (ima.g2.pix_store < 8 && frames > 1) {
    // Frames of single bits follow one another with no padding, so a frame
    // may end inside a byte: the element is one block, unpacked whole.
    const uint64_t bits = uint64_t{Samples_Of(ima)} * ima.dim_y * ima.dim_x * ima.g2.pix_store * frames;
    Record(cur.state, *s, first, cur.pos, static_cast<uint32_t>(std::min<uint64_t>(length, (bits + 7) / 8)));
    return NEMA_Skip(ctx, cur, length);
  }
  if (length > image_bytes && image_bytes > 0) {
    // Whole images only, and no more than the tables hold.
    uint64_t consumed = 0;
    for (size_t i = first; i < s->file_offset.size() && length - consumed >= image_bytes; ++i) {
      Record(cur.state, *s, i, cur.pos, static_cast<uint32_t>(image_bytes));
      consumed += image_bytes;
      cur.pos += image_bytes;
    }
    return NEMA_Skip(ctx, cur, length - consumed);
  }
  Record(cur.state, *s, first, cur.pos, el.length);
  return NEMA_Skip(ctx, cur, length);
}

// One item of encapsulated data: where it is and its first bytes (all of
// them for the first item, which may be the offset table).
struct Fragment {
  uint64_t item_pos = 0;  // file offset of the item tag
  uint32_t size = 0;
  std::vector<uint8_t> head;
};

uint32_t Get32(const uint8_t* p, uint8_t mode) {
  return (mode & 0x03) ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                       : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

// The frame starts named by an offset table, as indices into `frags` (which
// follow the table); empty when the table does not match the items.
std::vector<size_t> Table_Starts(const Fragment& table, const std::vector<Fragment>& frags, uint8_t mode) {
  std::vector<size_t> starts;
  if (table.size % 4 != 0 || table.head.size() != table.size || frags.empty()) return {};
  size_t k = 0;
  for (size_t e = 0; e < table.size / 4; ++e) {
    const uint64_t at = frags[0].item_pos + Get32(table.head.data() + 4 * e, mode);
    while (k < frags.size() && frags[k].item_pos < at) ++k;
    if (k == frags.size() || frags[k].item_pos != at || (!starts.empty() && starts.back() == k)) return {};
    starts.push_back(k);
  }
  if (starts.empty() || starts[0] != 0) return {};
  return starts;
}

bool Is_Jpeg_Start(const Fragment& f) { return f.head.size() >= 2 && f.head[0] == 0xFF && f.head[1] == 0xD8; }

// A JPEG 2000 codestream (SOC, SIZ) or a JP2 file.
bool Is_J2k_Start(const Fragment& f) {
  static constexpr uint8_t kJp2[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' '};
  return (f.head.size() >= 4 && f.head[0] == 0xFF && f.head[1] == 0x4F && f.head[2] == 0xFF && f.head[3] == 0x51) ||
         (f.head.size() >= 8 && std::equal(kJp2, kJp2 + 8, f.head.begin()));
}

bool Is_Rle_Start(const Fragment& f, uint8_t mode) {
  return f.head.size() >= 8 && Get32(f.head.data(), mode) >= 1 && Get32(f.head.data(), mode) <= 15 &&
         Get32(f.head.data() + 4, mode) == 64;
}

// Without a usable table: a JPEG frame begins with a start-of-image marker,
// an RLE frame with its segment header (only looked for when there are more
// items than frames: each RLE frame is one item).
std::vector<size_t> Guess_Starts(const std::vector<Fragment>& frags, int code, uint64_t frames, uint8_t mode) {
  std::vector<size_t> starts;
  for (size_t k = 0; k < frags.size(); ++k) {
    bool start = k == 0;
    if ((code >= 2 && code <= 19) || code == 20 || code == 21)
      start = start || Is_Jpeg_Start(frags[k]);
    else if (code >= 22 && code <= 26)
      start = start || Is_J2k_Start(frags[k]);
    else if (code == 1 && frags.size() > frames)
      start = start || Is_Rle_Start(frags[k], mode);
    else
      start = true;
    if (start) starts.push_back(k);
  }
  return starts;
}

int Encapsulated(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, ImageHeader& ima) {
  const uint64_t frames = uint64_t{ima.dim_t} * ima.dim_z;
  const auto first = static_cast<size_t>(std::max(cur.state.NEMA_Nb_Ima, 0));
  if (frames > kMaxImages || first >= kMaxImages) {
    Refuse_Count(ctx, cur, std::max<uint64_t>(frames, first + 1));
    return 0;
  }
  NemaStorage* s = Storage_Of(ctx, ima);
  if (!s || !Grow(ctx, *s, static_cast<size_t>(frames))) return 0;
  std::vector<Fragment> frags;
  for (;;) {
    const uint64_t item_pos = cur.pos;
    NemaElement item;
    if (!NEMA_Get_Data_Element(ctx, cur, mode, item)) return 0;
    if (item.group != 0xFFFE) {
      Log_Print(ctx, 6, "file:%s, line:%d", KEMA_SRC, __LINE__);
      Log_Print(ctx, 6, "Expecting group 0xFFFE but got: 0x%04x", item.group);
      return 0;
    }
    if (item.element == 0xE00D) {
      Log_Print(ctx, 10, "-->item delimitation flag (0xE00D)");
      break;
    }
    if (item.element == 0xE0DD) {
      Log_Print(ctx, 10, "-->sequence delimitation flag (0xE0DD)");
      break;
    }
    if (item.element != 0xE000) {
      Log_Print(ctx, 6, "file:%s, line:%d", KEMA_SRC, __LINE__);
      Log_Print(ctx, 6, "expecting element 0xE000 but got: 0x%04x", item.element);
      return 0;
    }
    if (item.length == 0) continue;
    if (item.length == kNemaUndefined || !cur.Has(item.length)) {
      // A fragment that cannot be in the file: the data ends here.
      Report_Short_Read(ctx, KEMA_SRC, __LINE__, static_cast<long long>(cur.Left()),
                        static_cast<long long>(item.length), cur.Name());
      return 0;
    }
    if (first + frags.size() >= kMaxImages) {
      Refuse_Count(ctx, cur, first + frags.size() + 1);
      return 0;
    }
    if (const int level = ctx.Text_Level())
      Log_Print(ctx, level, "\x02(7FE0,0010)\x01 size: -1 -> (%04x, %04x) size: %d", item.group, item.element,
                static_cast<int>(item.length));
    Fragment f;
    f.item_pos = item_pos;
    f.size = item.length;
    // The whole first item when it may be an offset table, else enough to
    // see where a frame begins.
    const size_t keep = frags.empty() && item.length % 4 == 0 && item.length <= 4 * kMaxImages ? item.length
                                                                                               : std::min<uint32_t>(item.length, 8);
    f.head.resize(keep);
    const uint64_t data_pos = cur.pos;
    if (!NEMA_Read_Bytes(ctx, cur, keep, f.head.data()) || !NEMA_Skip(ctx, cur, item.length - keep)) return 0;
    if (!Grow(ctx, *s, std::max<size_t>(first + frags.size() + 1, static_cast<size_t>(frames)))) return 0;
    Record(cur.state, *s, first + frags.size(), data_pos, item.length);
    frags.push_back(std::move(f));
  }

  size_t n = frags.size();
  // The first item is the offset table when its entries fit the items that
  // follow, or (older rule) when it has one entry per item that follows.
  std::vector<size_t> starts;
  bool table = false;
  if (n > 0) {
    const std::vector<Fragment> rest(frags.begin() + 1, frags.end());
    starts = Table_Starts(frags[0], rest, mode);
    // An encapsulated stream always opens with the table, even one whose
    // entries are wrong: whole entries, the first 0 (no frame begins so).
    const auto& h = frags[0].head;
    const bool zero_first = frags[0].size % 4 == 0 && h.size() >= 4 && Get32(h.data(), mode) == 0;
    table = !starts.empty() || s->image_size[first] / 4 == n - 1 || (zero_first && n > 1);
    if (table) {
      frags.erase(frags.begin());
      n -= 1;
    }
  }
  if (starts.empty()) starts = Guess_Starts(frags, ima.g2.compression & 0x7F, frames, mode);
  // Entry first + g becomes frame g, made of the items from starts[g] to the next start.
  const size_t skip = table ? 1 : 0;
  std::vector<std::tuple<uint32_t, uint32_t, uint64_t, std::vector<std::pair<uint32_t, uint32_t>>>> grouped;
  for (size_t g = 0; g < starts.size(); ++g) {
    const size_t a = starts[g], b = g + 1 < starts.size() ? starts[g + 1] : n;
    const size_t ea = first + skip + a;
    uint64_t size = 0;
    std::vector<std::pair<uint32_t, uint32_t>> parts;
    for (size_t k = a; k < b; ++k) {
      size += frags[k].size;
      if (b - a > 1) parts.emplace_back(s->file_offset[first + skip + k], frags[k].size);
    }
    if (size > UINT32_MAX) {
      Refuse_Count(ctx, cur, size);
      return 0;
    }
    grouped.emplace_back(s->file_offset[ea], s->image_offset[ea], size, std::move(parts));
  }
  for (size_t k = first; k < first + n + skip; ++k) {
    const size_t g = k - first;
    if (g < grouped.size()) {
      s->file_offset[k] = std::get<0>(grouped[g]);
      s->image_offset[k] = std::get<1>(grouped[g]);
      s->image_size[k] = static_cast<uint32_t>(std::get<2>(grouped[g]));
      s->pieces[k] = std::move(std::get<3>(grouped[g]));
    } else {
      s->file_offset[k] = s->image_offset[k] = s->image_size[k] = 0;
      s->pieces[k].clear();
    }
  }
  n = grouped.size();
  Log_Print(ctx, 6, "--> %d images", static_cast<int>(n));
  const auto count = static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF));
  if (ima.dim_t < 2)
    ima.dim_z = std::max(ima.dim_z, count);
  else
    ima.dim_t = std::max(ima.dim_t, count);
  return 1;
}

}  // namespace

int NEMA_Parse_7FE0(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NEMA_Parse_7FE0(%04x,%04x)", el.group, el.element);
  NemaParseState& st = cur.state;
  if (el.element == 0x0000 && el.length != kNemaUndefined)
    return NEMA_Group_Length(ctx, cur, el, "---- ---- Group 7FE0: Image Data ---- ----");
  if (el.element != 0x0010) {
    if (el.length == kNemaUndefined) return cur.Walk_Sequence(ctx, mode, el, ima);
    return NEMA_Skip(ctx, cur, el.length);
  }
  if (st.NEMA_Nb_Ima == 0) st.running_offset = 0;

  // The element is read again from its tag when the pixels are wanted.
  if (st.element_start > UINT32_MAX) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 pixel data beyond 4 GiB (offset %llu)",
              static_cast<unsigned long long>(st.element_start));
    return 0;
  }
  ima.ima_offset = static_cast<uint32_t>(st.element_start);
  ima.g2.compression = static_cast<int8_t>(ima.g2.compression | 0x80);
  // The byte order of the samples is the one in force here, whatever the
  // parse started with (a big-endian file behind a meta group).
  ima.g2.pix_swap = (mode & 0x03) != 0;

  ImageG2& g2 = ima.g2;
  const uint64_t frames = uint64_t{ima.dim_t} * ima.dim_z;
  if (g2.pix_bits > g2.pix_store) {
    const auto rounded = static_cast<uint16_t>(((g2.pix_bits - 1) / 8) * 8 + 8);
    const auto len = static_cast<int32_t>(el.length);
    const uint64_t per = uint64_t{g2.pix_plane} * ima.dim_y * ima.dim_x * frames;
    uint64_t store = len > 0 && per > 0 ? el.length / per * 8 : 0;
    g2.pix_store = store >= 8 && store <= 32 && store % 8 == 0 ? static_cast<uint16_t>(store) : rounded;
  }
  uint64_t image_bytes = uint64_t{g2.pix_plane} * ima.dim_y * ima.dim_x * g2.pix_store / 8;
  if (g2.pix_plane == 2 && image_bytes == 2 * uint64_t{el.length}) {
    if (ima.format == 20 && Is_Philips(ima)) g2.pix_plane = 1;
    image_bytes /= 2;
  }
  if (const int level = ctx.Text_Level())
    Log_Print(ctx, level, "\x02(7FE0,0010)\x01 offset: %d  size: %dx%d x %d x %d/8", static_cast<int>(ima.ima_offset),
              ima.dim_x, ima.dim_y, g2.pix_plane, g2.pix_store);

  if (el.length == kNemaUndefined) return Encapsulated(ctx, cur, mode, ima);
  if (Packed_422(ima, el.length)) image_bytes = image_bytes / 3 * 2;
  return Native(ctx, cur, el, ima, image_bytes);
}

int NEMA_Skip_7FE0(const ReadContext& ctx, NemaCursor& cur, uint8_t mode, const NemaElement& el) {
  uint64_t bytes = el.length;
  if (el.length == kNemaUndefined) {
    bytes = 0;
    for (;;) {
      NemaElement item;
      if (!NEMA_Get_Data_Element(ctx, cur, mode, item)) return 0;
      if (item.group == 0xFFFE && item.element == 0xE0DD) break;
      if (item.group != 0xFFFE || item.element != 0xE000 || item.length == kNemaUndefined) {
        Log_Print(ctx, 6, "file:%s, line:%d", KEMA_SRC, __LINE__);
        Log_Print(ctx, 6, "Expecting an item of group 0xFFFE but got: (0x%04x,0x%04x)", item.group, item.element);
        return 0;
      }
      if (!NEMA_Skip(ctx, cur, item.length)) return 0;
      bytes += item.length;
    }
  } else if (!NEMA_Skip(ctx, cur, el.length)) {
    return 0;
  }
  if (const int level = ctx.Text_Level())
    Log_Print(ctx, level, "\x02(%04x,%04x) \x01skip (%-2d bytes)", el.group, el.element, static_cast<int>(bytes));
  return 1;
}

// ---- reading ----

namespace {

// The pixel type of a geometry a JPEG stream changed.
void Set_Pixel_Type(ImageG2& g2) {
  const uint8_t code = g2.pix_store == 8 ? 2 : g2.pix_store == 16 ? 4 : 8;
  if (g2.pix_plane == 3 || g2.pix_plane == 4)
    g2.pix_type = static_cast<uint8_t>(code | (g2.pix_plane == 3 ? 0x80 : 0xC0));
  else
    g2.pix_type = static_cast<uint8_t>(code + (g2.pix_sign ? 1 : 0));
}

// Two 16-bit samples a pixel (Philips ACR-NEMA 1.0): low word plus 4096
// times the high word, the first sample being the low one.
PixelBuffer Combine_Samples(const ReadContext& ctx, ImageHeader& ima, const PixelBuffer& data, uint64_t pixels) {
  const unsigned b = ima.g2.pix_store / 8;
  const uint64_t size = Mul_Sat(pixels, b);
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, size, ima.name.c_str(), "buf2", static_cast<long long>(size), 1);
  if (!out) return {};
  for (uint64_t i = 0; i < pixels; ++i) {
    if (b == 2) {
      uint16_t w[2];
      std::memcpy(w, data.data() + 4 * i, 4);
      const auto v = static_cast<uint16_t>(w[0] + 4096u * w[1]);
      std::memcpy(out.data() + 2 * i, &v, 2);
    } else {
      std::memcpy(out.data() + i * b, data.data() + 2 * i * b, b);
    }
  }
  return out;
}

// The first sample of each pixel, interleaved or in planes.
PixelBuffer First_Samples(const ReadContext& ctx, ImageHeader& ima, const PixelBuffer& data, uint64_t per_frame,
                          uint64_t frames, bool planar) {
  const unsigned b = ima.g2.pix_store / 8;
  const uint64_t size = Mul_Sat(Mul_Sat(per_frame, frames), b);
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, size, ima.name.c_str(), "ima->data", static_cast<long long>(size), 1);
  if (!out) return {};
  for (uint64_t f = 0; f < frames; ++f) {
    const uint8_t* in = data.data() + f * per_frame * 2 * b;
    uint8_t* o = out.data() + f * per_frame * b;
    if (planar) {
      std::memcpy(o, in, per_frame * b);
    } else {
      for (uint64_t i = 0; i < per_frame; ++i) std::memcpy(o + i * b, in + 2 * i * b, b);
    }
  }
  return out;
}

int Two_Samples(const ReadContext& ctx, ImageHeader& ima) {
  const uint64_t per_frame = uint64_t{ima.dim_x} * ima.dim_y;
  const uint64_t frames = uint64_t{ima.dim_z} * ima.dim_t;
  const uint64_t pixels = per_frame * frames;
  const unsigned b = ima.g2.pix_store / 8;
  ima.g2.pix_plane = 1;
  // Data holding one sample a pixel is already what it should become.
  if (ima.data.size() < Mul_Sat(pixels, 2 * b)) return 1;
  PixelBuffer out;
  if (!ima.g2.pix_planar && ima.format == 20 && Is_Philips(ima))
    out = Combine_Samples(ctx, ima, ima.data, pixels);
  else
    out = First_Samples(ctx, ima, ima.data, per_frame, frames, ima.g2.pix_planar != 0);
  if (!out) return 0;
  ima.data = std::move(out);
  ima.g2.pix_planar = 0;
  return 1;
}

// Y1 Y2 Cb Cr to Y Cb Cr for each pixel: both pixels of a pair take the
// pair's chroma.
PixelBuffer Expand_422(const ReadContext& ctx, const ImageHeader& ima, const PixelBuffer& in) {
  const uint64_t pixels = uint64_t{ima.dim_x} * ima.dim_y * ima.dim_t * ima.dim_z;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(pixels, 3), ima.name.c_str(), "ima->data",
                                      static_cast<long long>(pixels), 3);
  if (!out) return {};
  const uint8_t* p = in.data();
  uint8_t* o = out.data();
  for (uint64_t i = 0; i < pixels / 2; ++i, p += 4, o += 6) {
    o[0] = p[0], o[1] = p[2], o[2] = p[3];
    o[3] = p[1], o[4] = p[2], o[5] = p[3];
  }
  Log_Print(ctx, 8, "--> YBR_FULL_422 samples expanded");
  return out;
}

// YBR_FULL samples to RGB (PS3.3 C.7.6.3.1.2), 8 bits interleaved, in place.
void Ybr_Full_To_Rgb(uint8_t* p, uint64_t pixels) {
  auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); };
  for (uint64_t i = 0; i < pixels; ++i, p += 3) {
    const double y = p[0], cb = p[1] - 128.0, cr = p[2] - 128.0;
    p[0] = clamp(y + 1.402 * cr);
    p[1] = clamp(y - 0.344136 * cb - 0.714136 * cr);
    p[2] = clamp(y + 1.772 * cb);
  }
}

// The Modality LUT Sequence's table as the modality transform: each grey
// sample becomes its entry (PS3.3 C.11.1), 16-bit unsigned, and the rescale
// is the identity. Entries: the descriptor's count (0 meaning 65536),
// never more than the data holds.
int Apply_Modality_Lut(const ReadContext& ctx, ImageHeader& ima, PixelBuffer& data, const NemaStorage& s) {
  ImageG2& g2 = ima.g2;
  if (s.modality_lut.empty() || g2.pix_plane != 1 || (g2.pix_store != 8 && g2.pix_store != 16)) return 1;
  const int64_t entries = std::min<int64_t>(s.modality_lut_desc[0] > 0 ? s.modality_lut_desc[0] : 65536,
                                            static_cast<int64_t>(s.modality_lut.size()));
  // The first value mapped is signed exactly when the samples are.
  const int64_t first = g2.pix_sign == 1 ? static_cast<int16_t>(s.modality_lut_desc[1]) : s.modality_lut_desc[1] & 0xFFFF;
  const int bits = s.modality_lut_desc[2] >= 1 && s.modality_lut_desc[2] <= 16 ? s.modality_lut_desc[2] : 16;
  const uint16_t mask = static_cast<uint16_t>((1u << bits) - 1);
  const unsigned b = g2.pix_store / 8;
  const uint64_t n = data.size() / b;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(n, 2), ima.name.c_str(), "ima->data", static_cast<long long>(n), 2);
  if (!out) return 0;
  for (uint64_t i = 0; i < n; ++i) {
    int64_t v;
    if (b == 1) {
      v = g2.pix_sign == 1 ? static_cast<int8_t>(data.data()[i]) : data.data()[i];
    } else {
      uint16_t w;
      std::memcpy(&w, data.data() + 2 * i, 2);
      v = g2.pix_sign == 1 ? static_cast<int16_t>(w) : w;
    }
    const int64_t k = std::clamp<int64_t>(v - first, 0, entries - 1);
    const uint16_t o = static_cast<uint16_t>(s.modality_lut[static_cast<size_t>(k)] & mask);
    std::memcpy(out.data() + 2 * i, &o, 2);
  }
  data = std::move(out);
  g2.pix_store = 16;
  g2.pix_bits = static_cast<uint16_t>(bits);
  g2.pix_high = static_cast<uint8_t>(bits - 1);
  g2.pix_sign = 0;
  g2.rescale_intercept = 0;
  g2.rescale_slope = 1;
  Set_Pixel_Type(g2);
  Log_Print(ctx, 8, "--> modality LUT of %d entries applied", static_cast<int>(entries));
  return 1;
}

uint16_t Palette_Entry(const std::vector<uint16_t>& table, const std::array<uint16_t, 3>& info, int64_t v,
                       int shift) {
  if (table.empty()) return 0;
  const int64_t entries = std::min<int64_t>(info[0] ? info[0] : 65536, static_cast<int64_t>(table.size()));
  int64_t index = v - static_cast<int64_t>(info[1]);
  if (index < 0) index = 0;
  if (index > entries - 1) index = entries - 1;
  return static_cast<uint16_t>(table[static_cast<size_t>(index)] >> shift);
}

// Palette colour to RGBA, every frame. Only indices are expanded: tables
// that come with other samples (an RGB image carrying descriptors) leave
// the record as it is.
int Expand_Palette(const ReadContext& ctx, ImageHeader& ima) {
  ImageG2& g2 = ima.g2;
  if (g2.pix_plane != 1 || (g2.pix_store != 8 && g2.pix_store != 16)) {
    Log_Print(ctx, 8, "--> palette tables of an image that holds no indices: not applied");
    return 1;
  }
  {
    const uint64_t pixels = uint64_t{ima.dim_x} * ima.dim_y * ima.dim_z * ima.dim_t;
    const unsigned b = g2.pix_store / 8;
    if (ima.data.size() < Mul_Sat(pixels, b)) {
      Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (%llu /vs/ %llu bytes)",
                static_cast<unsigned long long>(ima.data.size()), static_cast<unsigned long long>(pixels * b));
      return 0;
    }
    const uint64_t size = Mul_Sat(pixels, 4);
    PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, size, ima.name.c_str(), "ima->data", static_cast<long long>(pixels), 4);
    if (!out) return 0;
    const int bits = g2.palette_red_info[2];
    const int shift = bits > 8 ? std::min(bits - 8, 15) : 0;
    const bool is_signed = g2.pix_sign == 1;
    const uint8_t* in = ima.data.data();
    uint8_t* o = out.data();
    for (uint64_t i = 0; i < pixels; ++i) {
      int64_t v;
      if (b == 1) {
        v = is_signed ? static_cast<int8_t>(in[i]) : in[i];
      } else {
        uint16_t w;
        std::memcpy(&w, in + 2 * i, 2);
        v = is_signed ? static_cast<int16_t>(w) : w;
      }
      o[4 * i + 0] = static_cast<uint8_t>(Palette_Entry(g2.palette_red, g2.palette_red_info, v, shift));
      o[4 * i + 1] = static_cast<uint8_t>(Palette_Entry(g2.palette_grn, g2.palette_grn_info, v, shift));
      o[4 * i + 2] = static_cast<uint8_t>(Palette_Entry(g2.palette_blu, g2.palette_blu_info, v, shift));
      o[4 * i + 3] = 255;
    }
    ima.data = std::move(out);
  }
  g2.pix_planar = 0;
  g2.pix_plane = 4;
  g2.pix_store = 8;
  g2.pix_type = kPixRGBA8;
  return 1;
}

}  // namespace

int NEMA_Read_7FE0(const ReadContext& ctx, ByteSource& source, uint8_t mode, const NemaElement& el, ImageHeader& ima) {
  Log_Print(ctx, 9, "in NEMA_Read_7FE0()");
  const auto* s = dynamic_cast<const NemaStorage*>(ima.g2.storage.get());
  if (!s) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 no pixel data located in the header");
    return 0;
  }
  const size_t frames = std::min<size_t>(uint64_t{ima.dim_t} * ima.dim_z, s->image_size.size());
  size_t count = 0;
  uint64_t total = 0;
  for (; count < frames && s->image_size[count] != 0; ++count) {
    const uint64_t end = uint64_t{s->image_offset[count]} + s->image_size[count];
    // Nothing is allocated for bytes the file cannot hold (a deflated data
    // set is inflated into the buffer, not before it).
    if (!source.May_Hold(s->file_offset[count], s->image_size[count])) {
      const uint64_t left = s->file_offset[count] < source.size() ? source.size() - s->file_offset[count] : 0;
      Report_Short_Read(ctx, KEMA_SRC, __LINE__, static_cast<long long>(left),
                        static_cast<long long>(s->image_size[count]), source.name().c_str());
      return 0;
    }
    total = std::max(total, end);
  }
  PixelBuffer buffer = KEMA_ALLOC_PIXELS(ctx, total, ima.name.c_str(), "ima_pt", static_cast<long long>(total), 1);
  if (!buffer) return 0;
  for (size_t i = 0; i < count; ++i) {
    const auto& pieces = i < s->pieces.size() ? s->pieces[i] : std::vector<std::pair<uint32_t, uint32_t>>{};
    if (pieces.empty()) {
      if (!KEMA_READ(ctx, source, s->file_offset[i], buffer.data() + s->image_offset[i], s->image_size[i])) return 0;
      continue;
    }
    // A frame in several fragments: they follow one another in the buffer.
    uint64_t at = s->image_offset[i];
    for (const auto& [offset, size] : pieces) {
      if (at + size > uint64_t{s->image_offset[i]} + s->image_size[i]) {
        Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 fragments of image %d do not add up to its size",
                  static_cast<int>(i));
        return 0;
      }
      if (!KEMA_READ(ctx, source, offset, buffer.data() + at, size)) return 0;
      at += size;
    }
  }

  const int code = ima.g2.compression & 0x7F;
  if (code >= 1 && code <= kNemaDeflatedFrames) {
    const auto before = std::pair(ima.g2.pix_store, ima.g2.pix_plane);
    if (code == 1)
      buffer = NEMA_Decompress_RLE(ctx, ima, std::move(buffer), total);
    else if (code <= 19)
      buffer = NEMA_Decompress_JPG(ctx, ima, std::move(buffer), total);
    else
      buffer = NEMA_Decompress_Frames(ctx, ima, std::move(buffer), total,
                                      code <= kNemaJpegLsNear    ? kNemaJpegLs
                                      : code <= kNemaHtj2k       ? kNemaJpeg2000
                                      : code == kNemaEncapsulated ? kNemaPlainFrame
                                                                  : kNemaDeflateFrame);
    if (!buffer) return 0;
    // The decoders give interleaved samples in machine order.
    ima.g2.pix_swap = 0;
    ima.g2.pix_planar = 0;
    if (before != std::pair(ima.g2.pix_store, ima.g2.pix_plane)) Set_Pixel_Type(ima.g2);
    total = buffer.size();
  }
  Log_Print(ctx, 8, "--> read %llu bytes\n", static_cast<unsigned long long>(total));
  if (ima.g2.pix_store == 1) {
    // DICOM puts the first pixel in the least significant bit; the sample
    // reader unpacks from the most significant one.
    for (uint64_t i = 0; i < total; ++i) {
      uint8_t b = buffer.data()[i];
      b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
      b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
      buffer.data()[i] = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }
  }

  if (ima.g2.pix_plane >= 3 && ima.g2.pix_swap) {
    // Colour samples of a big-endian stream: the byte order is put right
    // here, the sample order (R G B) is already right.
    if (ima.g2.pix_store == 16) Swap_Pairs(buffer.data(), buffer.data(), total);
    if (ima.g2.pix_store == 32)
      for (uint64_t i = 0; i + 4 <= total; i += 4) std::reverse(buffer.data() + i, buffer.data() + i + 4);
    ima.g2.pix_swap = 0;
  }
  if (code == 0 && Packed_422(ima, total)) {
    buffer = Expand_422(ctx, ima, buffer);
    if (!buffer) return 0;
    total = buffer.size();
  }
  PixelBuffer data = Image_Read_Process(ctx, ima, std::move(buffer));
  if (!data) return 0;
  // Native and RLE samples in YBR_FULL are shown as every peer shows them:
  // RGB. The JPEG decoders turn their own.
  if ((code == 0 || code == 1) && ima.g2.pix_plane == 3 && ima.g2.pix_store == 8 &&
      (Photometric(ima.DICOM_list) == "YBR_FULL" || Photometric(ima.DICOM_list) == "YBR_FULL_422")) {
    const uint64_t pixels = std::min<uint64_t>(data.size() / 3, uint64_t{ima.dim_x} * ima.dim_y * ima.dim_z * ima.dim_t);
    Ybr_Full_To_Rgb(data.data(), pixels);
    Log_Print(ctx, 8, "--> YBR samples turned to RGB");
  }
  if (!Apply_Modality_Lut(ctx, ima, data, *s)) return 0;
  ima.data = std::move(data);
  if (ima.g2.pix_plane == 2) return Two_Samples(ctx, ima);
  return 1;
}

int NEMA_Read_Image(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in NEMA_Read_Image()");
  Log_Print(ctx, 8, "--> mode = %s %s", (ima.transfer_mode & kNemaExplicitVR) ? "EXPLICIT_VR" : "IMPLICIT_VR",
            (ima.transfer_mode & 0x03) ? "BIG_ENDIAN" : "LITTLE_ENDIAN");
  auto source = Source_Open_Data(ctx, ima, KEMA_SRC, __LINE__);
  if (!source) return 0;
  if ((ima.transfer_mode & kNemaDeflated) && !source->maker()) {
    // A record without the header's inflating source: inflate again, as far
    // as the pixels.
    source = NEMA_Inflate_Source(ctx, source, NEMA_Meta_End(*source));
    if (!source) return 0;
  }
  NemaCursor cur(*source, ima.ima_offset);
  NemaElement el;
  int read = NEMA_Get_Data_Element(ctx, cur, ima.transfer_mode, el);
  if (read && el.group != 0x7FE0) {
    Log_Print(ctx, 6, "file:%s, line:%d", KEMA_SRC, __LINE__);
    Log_Print(ctx, 6, "Expecting Pixel data (group 0x7FE0) !");
    read = 0;
  }
  read = read && NEMA_Read_7FE0(ctx, *source, ima.transfer_mode, el, ima);
  if (source->maker()) NEMA_Inflate_Report(ctx, *source, !read);
  if (!read) return 0;
  if (!ima.g2.palette_blu.empty()) return Expand_Palette(ctx, ima);
  return 1;
}
