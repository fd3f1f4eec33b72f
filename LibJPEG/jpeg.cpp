// The decoder's engine: the entry points, the frame loop, the
// planes the scans decode into, restart boundaries and the lossless scan
// decoder (T.81 Annex H), with a tight per-line loop for one-component
// scans and a general per-MDU loop for interleaved ones.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "LibJPEG/jpeg_internal.h"

namespace jpeg {

namespace {

// ---- one-component lossless scans ----

template <typename T>
inline int Predict(int p, int ra, int rb, int rc) {
  switch (p) {
    case 1: return ra;
    case 2: return rb;
    case 3: return rc;
    case 4: return ra + rb - rc;
    case 5: return ra + ((rb - rc) >> 1);
    case 6: return rb + ((ra - rc) >> 1);
    default: return (ra + rb) >> 1;
  }
}

// Samples [x, end) of one line: the first predicted by p0, the others by
// predictor P from the line above (`above`; Ra alone for P 1).
template <typename T, int P, bool GE>
void Run(Decoder& d, BitReader& br, const HuffTable& t, T* row, const T* above, int x, int end, int p0) {
  int diff = DecodeDiff(d, br, t);
  int ra = static_cast<T>((GE ? p0 - diff : p0 + diff) & 0xFFFF);
  row[x] = static_cast<T>(ra);
  for (++x; x < end; ++x) {
    int pred;
    if constexpr (P == 1) {
      pred = ra;
    } else {
      pred = Predict<T>(P, ra, above[x], above[x - 1]);
    }
    diff = DecodeDiff(d, br, t);
    ra = static_cast<T>((GE ? pred - diff : pred + diff) & 0xFFFF);
    row[x] = static_cast<T>(ra);
  }
}

template <typename T, bool GE>
void Run_Dispatch(Decoder& d, const HuffTable& t, T* row, const T* above, int x, int end, int p0) {
  BitReader& br = d.br;
  if (!above) return Run<T, 1, GE>(d, br, t, row, above, x, end, p0);
  switch (d.ss) {
    case 1: return Run<T, 1, GE>(d, br, t, row, above, x, end, p0);
    case 2: return Run<T, 2, GE>(d, br, t, row, above, x, end, p0);
    case 3: return Run<T, 3, GE>(d, br, t, row, above, x, end, p0);
    case 4: return Run<T, 4, GE>(d, br, t, row, above, x, end, p0);
    case 5: return Run<T, 5, GE>(d, br, t, row, above, x, end, p0);
    case 6: return Run<T, 6, GE>(d, br, t, row, above, x, end, p0);
    default: return Run<T, 7, GE>(d, br, t, row, above, x, end, p0);
  }
}

template <typename T>
void Lossless_One(Decoder& d, Plane& pl, const HuffTable& t, bool ge) {
  const int w = d.scan_mdu_w, h = d.scan_mdu_h;
  const int reset = 1 << (d.precision - d.al - 1);
  const int64_t interval = d.restart;
  int64_t count = 0, next = interval ? interval : INT64_MAX;
  int iy = 0;  // first line of the current restart interval
  std::vector<T> reset_line;
  if (d.opt.legacy_lossless) reset_line.assign(static_cast<size_t>(w), static_cast<T>(reset));
  T* const base = reinterpret_cast<T*>(pl.base);
  for (int y = 0; y < h && !d.error; ++y) {
    T* row = base + static_cast<size_t>(y) * pl.ys;
    const T* prev = y ? row - pl.ys : nullptr;
    int x = 0;
    while (x < w && !d.error) {
      if (count == next) {
        if (!RestartBoundary(d, count / interval)) return;
        next += interval;
        iy = y;
      }
      const int n = static_cast<int>(std::min<int64_t>(w - x, next - count));
      if (d.resync_pending) {
        std::fill(row + x, row + x + n, T{0});
      } else if (y == iy) {
        // Runs start at line starts or at interval starts: in the interval's
        // first line only at its start, predicted by 2^(P-Pt-1).
        const T* above = d.opt.legacy_lossless ? reset_line.data() : nullptr;
        if (ge)
          Run_Dispatch<T, true>(d, t, row, above, x, x + n, reset);
        else
          Run_Dispatch<T, false>(d, t, row, above, x, x + n, reset);
      } else {
        // A line start: Rb, or for GE streams the sample decoded before.
        if (ge)
          Run_Dispatch<T, true>(d, t, row, prev, x, x + n, prev[w - 1]);
        else
          Run_Dispatch<T, false>(d, t, row, prev, x, x + n, prev[0]);
      }
      count += n;
      x += n;
    }
  }
}

// ---- interleaved lossless scans (and any scan traced sample by sample) ----

inline int Get(const Plane& p, int x, int y) {
  const size_t i = static_cast<size_t>(y) * p.ys + static_cast<size_t>(x) * p.xs;
  return p.wide ? reinterpret_cast<const uint16_t*>(p.base)[i] : p.base[i];
}
inline void Put(Plane& p, int x, int y, int v) {
  const size_t i = static_cast<size_t>(y) * p.ys + static_cast<size_t>(x) * p.xs;
  if (p.wide)
    reinterpret_cast<uint16_t*>(p.base)[i] = static_cast<uint16_t>(v);
  else
    p.base[i] = static_cast<uint8_t>(v);
}

void Lossless_General(Decoder& d) {
  const int reset = 1 << (d.precision - d.al - 1);
  const bool single = d.scan_ncomp == 1;
  const bool ge = d.ge_bug && single;
  const int64_t interval = d.restart;
  int64_t count = 0, next = interval ? interval : INT64_MAX;
  int imx = 0, imy = 0;  // MDU where the current interval began
  const bool trace = d.verbosity > 0;
  for (int my = 0; my < d.scan_mdu_h && !d.error; ++my) {
    for (int mx = 0; mx < d.scan_mdu_w && !d.error; ++mx, ++count) {
      if (count == next) {
        if (!RestartBoundary(d, count / interval)) return;
        next += interval;
        imx = mx;
        imy = my;
      }
      for (int c = 0; c < d.scan_ncomp; ++c) {
        ScanComp& s = d.sc[c];
        const FrameComp& fc = d.comp[s.id];
        Plane& pl = d.planes[fc.index];
        const int hs = single ? 1 : fc.h, vs = single ? 1 : fc.v;
        for (int v = 0; v < vs; ++v)
          for (int h = 0; h < hs; ++h) {
            const int x = mx * hs + h, y = my * vs + v;
            if (x >= pl.w || y >= pl.h) continue;
            if (d.resync_pending) {
              Put(pl, x, y, 0);
              continue;
            }
            const int fy = imy * vs, fx = imx * hs;
            int pred;
            if (y == fy && x == fx) {
              pred = reset;
            } else if (y == fy) {
              pred = d.opt.legacy_lossless ? Predict<int>(d.ss, Get(pl, x - 1, y), reset, reset) : Get(pl, x - 1, y);
            } else if (x == 0) {
              pred = ge ? Get(pl, d.scan_mdu_w - 1, y - 1) : Get(pl, 0, y - 1);
            } else {
              pred = Predict<int>(d.ss, Get(pl, x - 1, y), Get(pl, x, y - 1), Get(pl, x - 1, y - 1));
            }
            const int diff = DecodeDiff(d, d.br, *s.dc);
            const int value = (ge ? pred - diff : pred + diff) & 0xFFFF;
            Put(pl, x, y, value);
            if (trace) Msg_Trace(d, "OUT=%d  PX=%d  VAL: %d", value, pred, diff);
          }
      }
    }
  }
}

// Samples shifted left by the point transform (T.81 H.2), over the part of
// the plane the scan covered.
void Shift_Plane(Plane& p, int w, int h, int pt) {
  for (int y = 0; y < h && y < p.h; ++y)
    for (int x = 0; x < w && x < p.w; ++x) Put(p, x, y, (Get(p, x, y) << pt) & 0xFFFF);
}

}  // namespace

void JpegLosslessDecodeScan(Decoder& d) {
  if (d.ss < 1 || d.ss > 7) {
    JPEG_ERROR(d, kErrInvalid, "Lossless mode %d not supported.", d.ss);
    return;
  }
  if (!UseDCHuffmanCheckingGEMSBug(d, true)) return;
  if (d.restart && d.restart % std::max(d.scan_mdu_w, 1) != 0) {
    Msg_Info(d, "Resync Interval not an integer multiple of MDU's wide.");
    Msg_Info(d, "Proceeding anyways.");
  }
  LoadSegment(d);
  const bool single = d.scan_ncomp == 1;
  Plane& first = d.planes[d.comp[d.sc[0].id].index];
  if (single && first.xs == 1 && d.verbosity <= 0) {
    if (first.wide)
      Lossless_One<uint16_t>(d, first, *d.sc[0].dc, d.ge_bug);
    else
      Lossless_One<uint8_t>(d, first, *d.sc[0].dc, d.ge_bug);
  } else {
    Lossless_General(d);
  }
  if (d.error || d.opt.legacy_lossless || d.al == 0) return;
  for (int c = 0; c < d.scan_ncomp; ++c) {
    const FrameComp& fc = d.comp[d.sc[c].id];
    Plane& pl = d.planes[fc.index];
    const int w = single ? d.scan_mdu_w : d.scan_mdu_w * fc.h;
    const int h = single ? d.scan_mdu_h : d.scan_mdu_h * fc.v;
    Shift_Plane(pl, w, h, d.al);
  }
}

namespace {

// ---- the frame's planes ----

uint64_t Add_Sat(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }
uint64_t Mul_Sat(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// A one-component frame is coded in its own blocks whatever its sampling
// factors say; the others in whole MDUs.
size_t Padded_W(const Decoder& d, const FrameComp& c) {
  if (d.ncomp == 1) return d.type == 3 ? static_cast<size_t>(c.width) : (static_cast<size_t>(c.width) + 7) / 8 * 8;
  return static_cast<size_t>(d.mdu_w) * c.h * (d.type == 3 ? 1 : 8);
}
size_t Padded_H(const Decoder& d, const FrameComp& c) {
  if (d.ncomp == 1) return d.type == 3 ? static_cast<size_t>(c.height) : (static_cast<size_t>(c.height) + 7) / 8 * 8;
  return static_cast<size_t>(d.mdu_h) * c.v * (d.type == 3 ? 1 : 8);
}

}  // namespace

int SetupPlanes(Decoder& d) {
  if (d.height == 0) {
    const int lines = FindDnlHeight(d);
    if (lines <= 0) {
      JPEG_ERROR(d, kErrInput, "No DNL segment gives the number of lines of a frame of height 0.");
      return 0;
    }
    d.height = lines;
    MakeConsistentFrameSize(d);
  }
  if (d.ncomp < 1 || d.ncomp > 4) {
    JPEG_DETAIL(d, "%s in %d\n", "Bad Number of Components", d.ncomp);
    JPEG_ERROR(d, kErrInvalid, "Invalid input detected.");
    return 0;
  }
  for (int i = 0; i < d.ncomp; ++i) {
    const FrameComp& c = d.comp[d.comp_ids[i]];
    if (c.h < 1 || c.v < 1 || c.h > 15 || c.v > 15 || (d.type != 3 && (c.h > 4 || c.v > 4))) {
      JPEG_DETAIL(d, "%s in %d\n", c.h < 1 || c.h > 15 ? "Bad Horizontal Frequency" : "Bad Vertical Frequency",
                  c.h < 1 || c.h > 15 ? c.h : c.v);
      JPEG_ERROR(d, kErrInvalid, "Invalid input detected.");
      return 0;
    }
  }
  d.out_bytes = d.precision > 8 ? 2 : 1;
  d.out_components = d.ncomp == 2 ? 1 : d.ncomp;
  if (d.out_components > 1 && d.out_bytes > 1) {
    JPEG_ERROR(d, kErrInvalid, "Components of more than 8 bits are supported only in grey images (%d components).",
               d.ncomp);
    return 0;
  }
  // Every lossless sample costs the stream at least one bit, every DCT
  // block too: a frame header that asks for more than the rest of the
  // stream can fill is refused before anything is allocated.
  const uint64_t bits_left = Mul_Sat(d.in.size() - d.pos, 8);
  uint64_t units = 0;
  for (int i = 0; i < d.ncomp; ++i) {
    const FrameComp& c = d.comp[d.comp_ids[i]];
    const uint64_t w = static_cast<uint64_t>(c.width), h = static_cast<uint64_t>(c.height);
    units += d.type == 3 ? w * h : ((w + 7) / 8) * ((h + 7) / 8);
  }
  if (units > bits_left) {
    JPEG_ERROR(d, kErrInput, "The frame (%dx%d, %d components) needs more data than the stream holds.", d.width,
               d.height, d.ncomp);
    return 0;
  }
  const size_t need = static_cast<size_t>(d.width) * d.height * d.out_components * d.out_bytes;
  if (d.header_only) return 1;
  if (d.out.data() && d.out.size() < need) {
    JPEG_ERROR(d, kErrInvalid, "Output buffer of %zu bytes for an image of %zu bytes.", d.out.size(), need);
    return 0;
  }
  // Which planes are the output itself, which are the decoder's own.
  const bool all_full = [&] {
    for (int i = 0; i < d.ncomp; ++i)
      if (d.comp[d.comp_ids[i]].h != 1 || d.comp[d.comp_ids[i]].v != 1) return false;
    return true;
  }();
  const bool direct_one = d.ncomp == 1;
  const bool direct_many = d.type == 3 && d.out_components > 1 && all_full;
  uint64_t internal = 0;
  if (!direct_one && !direct_many)
    for (int i = 0; i < d.ncomp; ++i) {
      const FrameComp& c = d.comp[d.comp_ids[i]];
      internal = Add_Sat(internal, Mul_Sat(Mul_Sat(Padded_W(d, c), Padded_H(d, c)), d.out_bytes));
    }
  if (internal && (internal > SIZE_MAX || !d.plane_store.Allocate(d.opt.allocator, static_cast<size_t>(internal)))) {
    d.error = kErrMemory;
    return 0;
  }
  d.planes_ready = true;  // from here the output exists
  uint8_t* store = d.plane_store.data();
  for (int i = 0; i < d.ncomp; ++i) {
    const FrameComp& c = d.comp[d.comp_ids[i]];
    Plane& p = d.planes[i];
    p.wide = d.out_bytes == 2;
    p.w = static_cast<int>(Padded_W(d, c));
    p.h = static_cast<int>(Padded_H(d, c));
    if (direct_one || direct_many) {
      p.base = d.out.data() + static_cast<size_t>(i) * d.out_bytes;
      p.xs = static_cast<size_t>(d.out_components);
      p.ys = static_cast<size_t>(d.width) * d.out_components;
      p.crop_w = c.width;
      p.crop_h = c.height;
      p.cropped = true;
    } else {
      p.base = store;
      p.xs = 1;
      p.ys = static_cast<size_t>(p.w);
      p.crop_w = p.w;
      p.crop_h = p.h;
      p.internal = true;
      store += static_cast<size_t>(p.w) * p.h * d.out_bytes;
    }
  }
  return 1;
}

namespace {

void Info_Lines(Decoder& d) {
  if (!d.opt.info_lines) return;
  Msg_Info(d, "Gloabl Width:\x01%d", d.width);
  Msg_Info(d, "Gloabl Height:\x01%d", d.height);
  Msg_Info(d, "Resync Interval:\x01%d", d.restart);
  Msg_Info(d, "Number of Components:\x01%d", d.scan_ncomp);
  for (int i = 0; i < d.scan_ncomp; ++i) {
    const FrameComp& c = d.comp[d.sc[i].id];
    Msg_Info(d, "Component[%d] index:\x01%d", i, d.sc[i].id);
    Msg_Info(d, "Component[%d] file name:\x01jpeg_decode.%d.%d", i, d.frame_count, d.sc[i].id);
    Msg_Info(d, "Component[%d] width:\x01%d", i, c.width);
    Msg_Info(d, "Component[%d] height:\x01%d", i, c.height);
    Msg_Info(d, "Component[%d] horiz. freq:\x01%d", i, c.h);
    Msg_Info(d, "Component[%d] vert. freq:\x01%d", i, c.v);
  }
}

void Scan_Geometry(Decoder& d) {
  if (d.scan_ncomp == 1) {
    const FrameComp& c = d.comp[d.sc[0].id];
    d.scan_mdu_w = d.type == 3 ? c.width : (c.width + 7) / 8;
    d.scan_mdu_h = d.type == 3 ? c.height : (c.height + 7) / 8;
  } else {
    d.scan_mdu_w = d.mdu_w;
    d.scan_mdu_h = d.mdu_h;
  }
  d.mdus_to_decode = static_cast<int64_t>(d.scan_mdu_w) * d.scan_mdu_h;
}

void Fill_Info(const Decoder& d, JpegInfo& info) {
  info.width = static_cast<uint16_t>(d.width);
  info.height = static_cast<uint16_t>(d.height);
  info.precision = static_cast<uint8_t>(d.precision);
  info.frame_type = static_cast<uint8_t>(d.type);
  info.frame_components = static_cast<uint8_t>(d.ncomp);
  info.components = static_cast<uint8_t>(d.ncomp == 2 ? 1 : d.ncomp);
  info.bytes_per_sample = static_cast<uint8_t>(d.precision > 8 ? 2 : 1);
  info.restart_interval = static_cast<uint16_t>(d.restart);
  info.error = d.error;
  info.warnings = d.warnings;
  info.ge_repair = d.ge_bug;
  info.predictor = static_cast<uint8_t>(d.ss);
  info.point_transform = static_cast<uint8_t>(d.al);
}

}  // namespace


// In sequential and lossless frames each component is coded in one scan
// only. A second scan of it is skipped: decoding it would only overwrite
// the samples, and a stream of many such scans would cost its size times
// the frame's in decoding time.
static bool Already_Decoded(Decoder& d) {
  for (int i = 0; i < d.scan_ncomp; ++i) {
    const int index = d.comp[d.sc[i].id].index;
    if (index >= 0 && index < 4 && d.decoded[index]) {
      JPEG_WARN(d, "Component %d already decoded: scan skipped.", d.sc[i].id);
      return true;
    }
  }
  return false;
}

// Past a scan's entropy-coded data and its restart markers.
static void Skip_Entropy_Data(Decoder& d) {
  for (;;) {
    LoadSegment(d);
    if (d.pos + 1 < d.in.size() && d.in[d.pos] == 0xFF && (d.in[d.pos + 1] & 0xF8) == kRST0)
      d.pos += 2;
    else
      return;
  }
}

// The frame loop (JpegDecodeFrame): markers up to a scan, the scan, the
// markers after it, until EOI.
void JpegDecodeFrame(Decoder& d) {
  if (ScreenAllMarkers(d) < 0) {
    JPEG_ERROR(d, kErrInput, "No initial marker found!");
    return;
  }
  bool decoded = false;
  while (!d.error) {
    if (d.in_scan) {
      if (!d.planes_ready && !SetupPlanes(d)) break;
      Scan_Geometry(d);
      if (d.header_only) {
        Info_Lines(d);
        return;
      }
      if (Already_Decoded(d)) {
        Skip_Entropy_Data(d);
        d.in_scan = false;
        if (ScreenAllMarkers(d) < 0) break;
        continue;
      }
      d.resync_enabled = d.restart != 0;
      d.marker_warned = false;
      if (d.type == 3)
        JpegLosslessDecodeScan(d);
      else
        JpegDecodeScan(d);
      d.resync_enabled = false;
      d.in_scan = false;
      if (d.error) break;
      decoded = true;
      for (int i = 0; i < d.scan_ncomp; ++i) d.decoded[d.comp[d.sc[i].id].index] = true;
      Info_Lines(d);
      const bool short_data = d.br.Overrun();
      if (short_data && d.pos < d.in.size() && !d.marker_warned) JPEG_WARN(d, "Unanticipated marker detected.");
      if (ScreenAllMarkers(d) < 0) {
        // The scan took all it needed from the stream: an image without its
        // EOI is given with a warning; one whose data ran out is not.
        if (!short_data && d.pos >= d.in.size()) {
          JPEG_WARN(d, "No trailing marker found!");
          break;
        }
        JPEG_ERROR(d, kErrInput, "No trailing marker found!");
        break;
      }
      continue;
    }
    if (d.eoi) break;
    if (ScreenAllMarkers(d) < 0) {
      JPEG_ERROR(d, kErrInput, "No trailing marker found!");
      break;
    }
  }
  if (!d.error && !decoded) JPEG_ERROR(d, kErrInput, "No scan found in the stream.");
}

namespace {

// The lines of a memory failure, in the form every reader reports it.
void Memory_Error(LogHandle log, int line, const char* var, long long dim1, long long dim2) {
  Log_Print(log, 1, "line %-4d of %s", line, __FILE_NAME__);
  Log_Print(log, 1, "memory error in malloc (var=%s, dim=%lldx%lld)", var, dim1, dim2);
}

int Decode(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info, const JpegOptions& opt) {
  info = JpegInfo{};
  std::unique_ptr<Decoder> owner;
  try {
    owner = std::make_unique<Decoder>();
  } catch (const std::bad_alloc&) {
    Memory_Error(opt.log, __LINE__, "Decoder", 1, static_cast<long long>(sizeof(Decoder)));
    info.error = kErrMemory;
    return 0;
  }
  Decoder& d = *owner;
  d.in = data;
  d.log = opt.log;
  d.opt = opt;
  d.hooks = opt.hooks;
  d.verbosity = Jpeg_Get_Verbosity();
  d.header_only = !out.data();
  d.out = out;
  try {
    d.seg.reserve(data.size() + 8);
    JpegDecodeFrame(d);
    if (!d.error && !d.header_only) AssembleOutput(d);
  } catch (const std::bad_alloc&) {
    Memory_Error(opt.log, __LINE__, "jpeg_decode", static_cast<long long>(data.size()), 1);
    d.error = kErrMemory;
  }
  Fill_Info(d, info);
  return d.error ? 0 : 1;
}

}  // namespace

}  // namespace jpeg

int Jpeg_Read_Info(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt) {
  return jpeg::Decode(data, {}, info, opt);
}

int Jpeg_Decode_Into(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info, const JpegOptions& opt) {
  if (!out.data()) {
    info = JpegInfo{};
    info.error = jpeg::kErrInvalid;
    return 0;
  }
  return jpeg::Decode(data, out, info, opt);
}

namespace jpeg {

bool PlaneStore::Allocate(const JpegAllocator& allocator, size_t bytes) {
  Release();
  allocator_ = allocator;
  if (allocator.allocate) {
    block_ = allocator.allocate(allocator.context, bytes, "plane");
  } else {
    block_ = ::operator new(bytes, std::nothrow);
  }
  if (!block_) return false;
  std::memset(block_, 0, bytes);
  return true;
}

void PlaneStore::Release() {
  if (!block_) return;
  if (allocator_.release)
    allocator_.release(allocator_.context, block_);
  else
    ::operator delete(block_);
  block_ = nullptr;
}

}  // namespace jpeg
