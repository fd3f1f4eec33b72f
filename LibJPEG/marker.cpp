// Markers and marker segments: screening and dispatch with the
// tolerance for damaged streams, the segment readers that fill the image,
// frame and scan records, the validity checks, and the restart markers.
#include <algorithm>
#include <cstring>

#include "LibJPEG/jpeg_internal.h"

namespace jpeg {

namespace {

constexpr uint8_t kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

void Truncated(Decoder& d) { JPEG_ERROR(d, kErrInput, "Unexpected end of the stream in a marker segment."); }

// Segments whose content was shorter than their length go on after it, so
// that the next marker is found where the length says.
void Skip_To(Decoder& d, size_t start, int length) {
  const size_t end = start + static_cast<size_t>(length);
  if (length > 0 && end > d.pos && end <= d.in.size()) d.pos = end;
}

int Ceil_Div(int a, int b) { return b > 0 ? (a + b - 1) / b : 0; }

void ReadSof(Decoder& d, int type) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  Msg_Trace(d, "Frame Length %d", length);
  if (d.planes_ready) {
    // A second frame header once the planes exist would change their size.
    JPEG_WARN(d, "Frame header after the first scan ignored.");
    Skip_To(d, start, length);
    return;
  }
  const int precision = bgetc(d);
  const int height = bgetw(d);
  const int width = bgetw(d);
  for (FrameComp& c : d.comp) c = FrameComp{};
  const int n = bgetc(d);
  if (length < 0 || precision < 0 || height < 0 || width < 0 || n < 0) return Truncated(d);
  d.type = type;
  d.precision = precision;
  d.height = height;
  d.width = width;
  d.ncomp = 0;
  for (int i = 0; i < n; ++i) {
    const int id = bgetc(d), hv = bgetc(d), tq = bgetc(d);
    if (id < 0 || hv < 0 || tq < 0) return Truncated(d);
    FrameComp& c = d.comp[id];
    c.in_frame = true;
    c.h = static_cast<uint8_t>(hv >> 4);
    c.v = static_cast<uint8_t>(hv & 15);
    c.tq = static_cast<uint8_t>(tq);
    c.index = i;
    d.comp_ids[i] = static_cast<uint8_t>(id);
  }
  d.ncomp = n;
  d.have_frame = true;
  MakeConsistentFrameSize(d);
  if (d.pos - start != static_cast<size_t>(length)) JPEG_WARN(d, "Bad read frame length.");
  Skip_To(d, start, length);
}

void ReadDqt(Decoder& d) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  Msg_Trace(d, "Quantization Length %d", length);
  while (PeekByte(d) >= 0 && PeekByte(d) != 0xFF) {
    const int b = bgetc(d);
    const int pq = b >> 4, tq = b & 15;
    if (pq > 1) {
      JPEG_ERROR(d, kErrPrecision, "Bad Precision: %d in Quantization Download", pq);
      return;
    }
    uint16_t zz[64];
    for (int i = 0; i < 64; ++i) {
      int v = pq ? bgetw(d) : bgetc(d);
      if (v < 0) return Truncated(d);
      if (v == 0) {
        JPEG_WARN(d, "marker.c:ReadDqt: Quantization value of zero.");
        if (i == 0) {
          JPEG_WARN(d, "marker.c:ReadDqt: Changing to 16.");
          v = 16;
        } else {
          JPEG_WARN(d, "marker.c:ReadDqt: Changing to i-1.");
          v = zz[i - 1];
        }
      }
      zz[i] = static_cast<uint16_t>(v);
      d.qt[tq][kZigZag[i]] = static_cast<uint16_t>(v);
    }
    d.qt_defined[tq] = true;
  }
  if (d.pos - start != static_cast<size_t>(length)) JPEG_WARN(d, "Bad DQT read length.");
}

void Print_Table(Decoder& d, const HuffTable& t) {
  if (d.verbosity <= 3) return;
  Msg_Trace(d, "Huffman Read In:");
  Msg_Trace(d, "NUMBER OF CODES %d", t.count);
  Msg_Trace(d, "DHUFF->MAXCODE DHUFF->MINCODE DHUFF->VAL");
  for (int l = 1; l <= 16; ++l)
    Msg_Trace(d, "%4d %4d %4d", t.maxcode[l], t.maxcode[l] >= 0 ? t.maxcode[l] - t.bits[l] + 1 : 0,
              t.maxcode[l] >= 0 ? t.valoff[l] + t.maxcode[l] - t.bits[l] + 1 : 0);
}

void ReadDht(Decoder& d) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  Msg_Trace(d, "Define Huffman length %d", length);
  while (PeekByte(d) >= 0 && PeekByte(d) != 0xFF) {
    const int b = bgetc(d);
    const bool ac = (b >> 4) != 0;
    const int th = b & 15;
    auto t = std::make_unique<HuffTable>();
    int total = 0;
    for (int l = 1; l <= 16; ++l) {
      const int n = bgetc(d);
      if (n < 0) return Truncated(d);
      t->bits[l] = static_cast<uint8_t>(n);
      total += n;
    }
    // Values past 256 cannot be stored: their codes are dropped from the
    // longest lengths down, their bytes read over.
    for (int i = 0; i < total; ++i) {
      const int v = bgetc(d);
      if (v < 0) return Truncated(d);
      if (i < 256) t->huffval[i] = static_cast<uint8_t>(v);
    }
    for (int l = 16, excess = total - 256; l >= 1 && excess > 0; --l) {
      const int cut = std::min<int>(excess, t->bits[l]);
      t->bits[l] = static_cast<uint8_t>(t->bits[l] - cut);
      excess -= cut;
    }
    t->count = std::min(total, 256);
    MakeDhuff(*t, ac ? HuffKind::AC : (d.type == 3 ? HuffKind::Lossless : HuffKind::DC));
    Print_Table(d, *t);
    if (ac) {
      d.ac[th] = std::move(t);
      d.ac_count = std::max(d.ac_count, th + 1);
    } else {
      d.dc[th] = std::move(t);
      d.dc_count = std::max(d.dc_count, th + 1);
    }
  }
  if (d.pos - start != static_cast<size_t>(length)) JPEG_WARN(d, "Bad DHT length.");
}

void ReadDri(Decoder& d) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  if (length != 4) JPEG_WARN(d, "Bad length %d, should be 4.", length);
  const int interval = bgetw(d);
  if (interval < 0) return Truncated(d);
  d.restart = interval;
  Skip_To(d, start, length);
}

void ReadDnl(Decoder& d) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  if (length != 4) JPEG_WARN(d, "marker.c:ReadDnl: Bad length %d, should be 4.", length);
  const int lines = bgetw(d);
  if (lines < 0) return Truncated(d);
  Skip_To(d, start, length);
  if (d.planes_ready) {
    // The planes were sized from this DNL (found ahead) or from the frame
    // header: the number of lines cannot change any more.
    if (lines != d.height) JPEG_WARN(d, "marker.c:ReadDnl: Number of lines %d after the scan ignored.", lines);
    return;
  }
  d.height = lines;
  MakeConsistentFrameSize(d);
}

// The checks of CheckValidity (lossless) and CheckBaseline (DCT); each
// failure prints "%s in %d" at trace level; any failure stops the decode.
bool Check_Scan(Decoder& d) {
  const bool lossless = d.type == 3;
  const int max_comp = lossless ? 15 : 4;
  const int max_freq = lossless ? 15 : 4;
  bool ok = true;
  auto fail = [&](const char* what, int value) {
    JPEG_DETAIL(d, "%s in %d\n", what, value);
    ok = false;
  };
  if (d.width <= 0 || d.width > 65535) fail("Bad Image Width", d.width);
  if (d.height < 0 || d.height > 65535) fail("Bad Image Height", d.height);
  if (d.precision != 8 && d.precision != 12) {
    JPEG_DETAIL(d, "Precision type: %d\n", d.precision);
    if (d.precision > 16)
      JPEG_DETAIL(d, "Caution: precision type: %d greater than 16.\n", d.precision);
    else
      JPEG_DETAIL(d, "Caution: precision type: %d not 8 or 12.\n", d.precision);
  }
  // What this decoder can represent: 2 to 16 bits lossless, 8 or 12 DCT.
  if (lossless ? (d.precision < 2 || d.precision > 16) : (d.precision != 8 && d.precision != 12))
    fail("Bad Precision", d.precision);
  if (d.scan_ncomp < 1 || d.scan_ncomp > max_comp) fail("Bad Number of Components", d.scan_ncomp);
  for (int i = 0; i < d.scan_ncomp; ++i) {
    const FrameComp& c = d.comp[d.sc[i].id];
    if (c.width < 0 || c.width > 65535) fail("Bad Frame Width", c.width);
    if (c.height < 0 || c.height > 65535) fail("Bad Frame Height", c.height);
    if (c.h < 1 || c.h > max_freq) fail("Bad Horizontal Frequency", c.h);
    if (c.v < 1 || c.v > max_freq) fail("Bad Vertical Frequency", c.v);
    for (int j = 0; j < i; ++j)
      if (d.sc[j].id == d.sc[i].id) fail("Bad Component Identifier", d.sc[i].id);
  }
  if (lossless) {
    if (d.ss < 0 || d.ss > 7) fail("Bad Lossless Predictor Type", d.ss);
    if (d.al != 0 && d.ss == 0) {
      JPEG_DETAIL(d, "Point Transform specified without lossless prediction.\n");
      JPEG_DETAIL(d, "Shifting of input/output should be anticipated.\n");
    }
    if (d.al < 0 || d.al > 14 || d.al >= d.precision) fail("Bad Point Transform", d.al);
  }
  if (!ok) JPEG_ERROR(d, kErrInvalid, "Invalid input detected.");
  return ok;
}

void ReadSos(Decoder& d) {
  const size_t start = d.pos;
  const int length = bgetw(d);
  Msg_Trace(d, "Scan length %d", length);
  const int n = bgetc(d);
  if (length < 0 || n < 0) return Truncated(d);
  if (n > 15) {
    JPEG_DETAIL(d, "%s in %d\n", "Bad Number of Components", n);
    JPEG_ERROR(d, kErrInvalid, "Invalid input detected.");
    return;
  }
  d.scan_ncomp = n;
  for (int i = 0; i < n; ++i) {
    const int id = bgetc(d), t = bgetc(d);
    if (id < 0 || t < 0) return Truncated(d);
    d.sc[i] = ScanComp{};
    d.sc[i].id = id;
    d.sc[i].td = t >> 4;
    d.sc[i].ta = t & 15;
  }
  const int ss = bgetc(d), se = bgetc(d), a = bgetc(d);
  if (ss < 0 || se < 0 || a < 0) return Truncated(d);
  d.ss = ss;
  d.se = se;
  d.ah = a >> 4;
  d.al = a & 15;
  if (d.pos - start != static_cast<size_t>(length)) JPEG_WARN(d, "Bad scan length.");
  Skip_To(d, start, length);
  if (!d.have_frame) {
    JPEG_DETAIL(d, "%s in %d\n", "Bad Image Width", 0);
    JPEG_ERROR(d, kErrInvalid, "Invalid input detected.");
    return;
  }
  for (int i = 0; i < n; ++i)
    if (!d.comp[d.sc[i].id].in_frame) d.comp[d.sc[i].id] = FrameComp{};
  if (!Check_Scan(d)) return;
  d.resync_pending = false;
  d.last_resync = 7;
  d.resync_count = 0;
  d.in_scan = true;
  ++d.scan_count;
}

}  // namespace

void MakeConsistentFrameSize(Decoder& d) {
  const bool dct = d.type != 3;
  d.hmax = d.vmax = 1;
  for (int i = 0; i < d.ncomp; ++i) {
    const FrameComp& c = d.comp[d.comp_ids[i]];
    d.hmax = std::max<int>(d.hmax, c.h);
    d.vmax = std::max<int>(d.vmax, c.v);
  }
  for (int i = 0; i < d.ncomp; ++i) {
    FrameComp& c = d.comp[d.comp_ids[i]];
    c.width = Ceil_Div(d.width * c.h, d.hmax);
    c.height = Ceil_Div(d.height * c.v, d.vmax);
  }
  d.mdu_w = Ceil_Div(d.width, d.hmax);
  d.mdu_h = d.height ? Ceil_Div(d.height, d.vmax) : 0;
  if (dct) {
    d.mdu_w = Ceil_Div(d.mdu_w, 8);
    d.mdu_h = Ceil_Div(d.mdu_h, 8);
  }
  for (int i = 0; i < d.ncomp; ++i) {
    const FrameComp& c = d.comp[d.comp_ids[i]];
    if (c.h == 0 || c.v == 0) continue;  // refused by the scan checks
    int w = Ceil_Div(c.width, c.h), h = Ceil_Div(c.height, c.v);
    if (dct) {
      w = Ceil_Div(w, 8);
      h = Ceil_Div(h, 8);
    }
    if (w != d.mdu_w) {
      JPEG_WARN(d, "Inconsistent frame width.");
      JPEG_WARN(d, "Component[%dx%d]", c.width, c.height);
      JPEG_WARN(d, "MDU Wide: Image, Component %d!= %d.", d.mdu_w, w);
    }
    if (h != d.mdu_h) {
      JPEG_WARN(d, "Inconsistent frame height.");
      JPEG_WARN(d, "Component[%dx%d]", c.width, c.height);
      JPEG_WARN(d, "MDU High: Image, Component %d!= %d.", d.mdu_h, h);
    }
  }
}

void SkipSegment(Decoder& d) {
  const int length = bgetw(d);
  if (length <= 2) return;
  d.pos = std::min(d.in.size(), d.pos + static_cast<size_t>(length - 2));
}

int DoMarker(Decoder& d, int marker) {
  const bool rst = marker >= kRST0 && marker <= kRST0 + 7;
  if (d.resync_enabled && !rst) {
    JPEG_WARN(d, "Illegal resync marker found.");
    return 0;
  }
  switch (marker) {
    case kSOF0: case kSOF1: case kSOF3:
      ReadSof(d, marker & 15);
      break;
    case kDHT:
      ReadDht(d);
      break;
    case kSOF2: case 0xC5: case 0xC6: case 0xC7:
      JPEG_WARN(d, "Frame type %x not supported.", marker & 15);
      SkipSegment(d);
      break;
    case 0xC8: case 0xC9: case 0xCA: case 0xCB: case 0xCC: case 0xCD: case 0xCE: case 0xCF:
      JPEG_WARN(d, "Arithmetic coding not supported.");
      SkipSegment(d);
      break;
    case kSOI:
      ++d.frame_count;
      d.eoi = false;
      break;
    case kEOI:
      d.eoi = true;
      break;
    case kSOS:
      ReadSos(d);
      break;
    case kDQT:
      ReadDqt(d);
      break;
    case kDNL:
      ReadDnl(d);
      break;
    case kDRI:
      ReadDri(d);
      break;
    case 0xDE: case 0xDF:
      JPEG_WARN(d, "Hierarchical markers found.");
      SkipSegment(d);
      break;
    default:
      if (rst) break;
      if (marker >= 0xE0) {  // APPn, JPGn, COM
        SkipSegment(d);
        break;
      }
      JPEG_WARN(d, "Bad marker byte %d.", marker);
      Resync(d);
      return -1;
  }
  return marker;
}

int ScreenMarker(Decoder& d) {
  const int c = bgetc(d);
  if (c != 0xFF) {
    if (c >= 0) --d.pos;  // data: left for the caller
    return -1;
  }
  int m = bgetc(d);
  int fill = 0;
  while (m == 0xFF) {
    ++fill;
    m = bgetc(d);
  }
  if (m < 0) return -1;
  if (m == 0x00) {
    if (fill) {
      JPEG_WARN(d, "Unattached FIL marker.");
      return -1;
    }
    d.pos -= 2;  // 0xFF 0x00: the data byte 0xFF
    return -1;
  }
  return DoMarker(d, m);
}

int ScreenAllMarkers(Decoder& d) {
  int m = ScreenMarker(d);
  if (m < 0) return -1;
  while (!d.error && !d.eoi && !d.in_scan) {
    if (d.header_only && d.have_frame && d.in_scan) break;
    m = ScreenMarker(d);
    if (m < 0) break;
  }
  return 0;
}

void Resync(Decoder& d) {
  if (!d.resync_enabled) {
    JPEG_ERROR(d, kErrResyncDisabled, "Resync without resync enabled,");
    return;
  }
  JPEG_WARN(d, "Attempting resynchronization.");
  const uint8_t* const base = d.in.data();
  size_t p = d.pos;
  for (;;) {
    const void* ff = p < d.in.size() ? std::memchr(base + p, 0xFF, d.in.size() - p) : nullptr;
    if (!ff || static_cast<const uint8_t*>(ff) + 1 >= base + d.in.size()) {
      d.pos = d.in.size();
      JPEG_ERROR(d, kErrResyncEnd, "Attempt to resync at end of file,");
      return;
    }
    p = static_cast<size_t>(static_cast<const uint8_t*>(ff) - base) + 1;
    if ((base[p] & 0xF8) == kRST0) break;
  }
  d.resync_count = base[p] & 7;
  d.pos = p + 1;
  JPEG_WARN(d, "Resync successful!");
  JPEG_WARN(d, "ResyncCount: %d  LastKnownResync: %d", d.resync_count, d.last_resync);
  d.last_resync = d.resync_count;
  d.resync_pending = true;
  for (ScanComp& s : d.sc) s.last_dc = 0;
}

int ReadResync(Decoder& d) {
  d.resync_pending = false;
  for (;;) {
    const int m = ScreenMarker(d);
    if (m < 0) break;
    if ((m & 0xF8) == kRST0) {
      const int n = m & 7;
      const int ahead = (n - d.last_resync - 1) & 7;
      d.last_resync = n;
      if (ahead == 0) return n;
      JPEG_WARN(d, "Bad resync counter. No search done.");
      // A marker one to three numbers ahead ends a later interval: the ones
      // before it were lost, and the data after it belongs further on. Any
      // other number is taken for a damaged marker in front of intact data.
      if (ahead <= 3) {
        d.resync_pending = true;
        return -1;
      }
      return n;
    }
    if (m != kDNL) {
      JPEG_WARN(d, "Non-Resync marker found for resync.");
      JPEG_WARN(d, "Trying again.");
    }
  }
  if (d.error || d.resync_pending) return -1;  // a bad marker byte already resynchronised
  JPEG_WARN(d, "Anticipated resync not found.");
  Resync(d);
  return -1;
}

int FindDnlHeight(const Decoder& d) {
  const uint8_t* const base = d.in.data();
  const size_t n = d.in.size();
  size_t p = d.pos;
  while (p < n) {
    const void* ff = std::memchr(base + p, 0xFF, n - p);
    if (!ff) return 0;
    p = static_cast<size_t>(static_cast<const uint8_t*>(ff) - base) + 1;
    if (p >= n) return 0;
    const uint8_t m = base[p];
    if (m == 0x00 || m == 0xFF || (m & 0xF8) == kRST0) continue;
    if (m != kDNL || p + 5 > n) return 0;
    return (base[p + 3] << 8) | base[p + 4];
  }
  return 0;
}

// The boundary before restart interval k: the next RSTn read (or, after a
// resynchronisation, the intervals it skipped passed over), the predictors
// and DC values started over.
int RestartBoundary(Decoder& d, int64_t k) {
  if (!d.resync_pending) {
    if (d.br.Overrun() && !d.marker_warned) {
      JPEG_WARN(d, "Unanticipated marker detected.");
      d.marker_warned = true;
    }
    const int n = ReadResync(d);
    if (d.error) return 0;
    if (n >= 0) {
      LoadSegment(d);
      for (ScanComp& s : d.sc) s.last_dc = 0;
      return 1;
    }
  }
  // A resynchronisation found RSTn: the intervals before the one it opens
  // are skipped (their samples 0).
  if (d.resync_pending && (k & 7) == ((d.last_resync + 1) & 7)) {
    d.resync_pending = false;
    LoadSegment(d);
    for (ScanComp& s : d.sc) s.last_dc = 0;
  }
  return 1;
}

}  // namespace jpeg
