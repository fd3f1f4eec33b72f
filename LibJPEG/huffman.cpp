// Huffman tables: the decoder tables of T.81 Annex C and F.2.2.3 (MAXCODE,
// VALPTR - MINCODE), a lookahead table that resolves codes of up to kLook
// bits in one step (and, when the extra bits fit too, the whole difference
// or coefficient), the MAXCODE walk for longer codes, and the table
// selection with the repair for streams written by GE equipment.
#include "LibJPEG/jpeg_internal.h"

namespace jpeg {

void MakeDhuff(HuffTable& t, HuffKind kind) {
  int code = 0, k = 0;
  t.maxlen = 0;
  for (int l = 1; l <= 16; ++l) {
    const int n = t.bits[l];
    if (n == 0) {
      t.maxcode[l] = -1;
      t.valoff[l] = 0;
    } else {
      t.valoff[l] = k - code;
      code += n;
      k += n;
      t.maxcode[l] = code - 1;
      t.maxlen = l;
    }
    code <<= 1;
  }
  t.maxcode[17] = -1;
  std::memset(t.look, 0, sizeof t.look);
  // Lookahead entries: every code of up to kLook bits that is a real code
  // (an over-full table's codes that outgrow their length are left to the
  // walk, which rejects them).
  code = 0;
  k = 0;
  for (int l = 1; l <= kLook; ++l) {
    for (int i = 0; i < t.bits[l]; ++i, ++code, ++k) {
      if (code >= (1 << l) || k >= t.count) continue;
      const int sym = t.huffval[k];
      int extra, run = 0;
      bool zero_value = false;
      int fixed = 0;
      if (kind == HuffKind::AC) {
        extra = sym & 15;
        run = sym >> 4;
        (void)run;
      } else {
        extra = sym;
        if (sym >= 16) {  // lossless 16: 32768 without extra bits (kept as -32768)
          extra = 0;
          fixed = -32768;
        }
      }
      if (extra == 0) zero_value = true;
      const int shift = kLook - l;
      const int first = code << shift, span = 1 << shift;
      for (int j = 0; j < span; ++j) {
        const int idx = first + j;
        LookEntry e = (static_cast<uint32_t>(sym) << 16) | (static_cast<uint32_t>(l) << 24);
        if (l + extra <= kLook) {
          int value = fixed;
          if (!zero_value) {
            const uint32_t v = static_cast<uint32_t>(idx >> (kLook - l - extra)) & ((1u << extra) - 1);
            value = Extend(v, extra);
          }
          e |= (static_cast<uint32_t>(l + extra) << 28) | (static_cast<uint32_t>(value) & 0xFFFF);
        }
        t.look[idx] = e;
      }
    }
    code <<= 1;
  }
}

int DecodeHuffman(Decoder& d, BitReader& br, const HuffTable& t) {
  // The caller refilled: at least 56 bits are there.
  uint32_t code = 0;
  for (int l = 1; l <= t.maxlen; ++l) {
    code = (code << 1) | static_cast<uint32_t>((br.acc >> (64 - l)) & 1);
    if (t.maxcode[l] >= 0 && static_cast<int32_t>(code) <= t.maxcode[l]) {
      const int idx = t.valoff[l] + static_cast<int32_t>(code);
      if (idx < 0 || idx >= t.count) break;
      br.Skip(l);
      return t.huffval[idx];
    }
  }
  const int l = t.maxlen > 0 ? t.maxlen : 1;
  if (d.huff_errors < kMaxRepeats)
    JPEG_WARN(d, "Huffman read error: l=%d code=%d", l, static_cast<int>(code));
  else if (d.huff_errors == kMaxRepeats)
    JPEG_WARN(d, "Further Huffman read errors of this stream are not reported.");
  ++d.huff_errors;
  br.Skip(l);
  return 0;
}

int UseDCHuffmanCheckingGEMSBug(Decoder& d, bool check_ge) {
  d.ge_bug = false;
  for (int i = 0; i < d.scan_ncomp; ++i) {
    ScanComp& s = d.sc[i];
    HuffTable* t = d.dc[s.td].get();
    // Tables 1 asked for, never defined, while table 0 is: GE's encoder wrote
    // its streams so, with a predictor error of its own.
    if (check_ge && s.td == 1 && !t && d.dc[0]) {
      JPEG_WARN(d, "GE table selection bug detected - assuming predictor bug also");
      t = d.dc[0].get();
      d.ge_bug = true;
    }
    if (!t) {
      JPEG_WARN(d, "Reference to nonexistent table %d.", s.td);
      JPEG_ERROR(d, kErrNoHuffman, "Unreferenced decoder Huffman table.");
      return 0;
    }
    s.dc = t;
  }
  return 1;
}

int UseACHuffman(Decoder& d) {
  for (int i = 0; i < d.scan_ncomp; ++i) {
    ScanComp& s = d.sc[i];
    s.ac = d.ac[s.ta].get();
    if (!s.ac) {
      JPEG_WARN(d, "Reference to nonexistent table %d.", s.ta);
      JPEG_ERROR(d, kErrNoHuffman, "Unreferenced decoder Huffman table.");
      return 0;
    }
  }
  return 1;
}

}  // namespace jpeg
