// Fuzz target of the DICOM family: any input, given as a memory block, goes
// through detection, the element-stream parser (header text listed), the
// pixel reader and the split, like a file the viewer opens.
//
// `fuzz_dicom -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "log/log.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/jpeg_writer.h"

namespace {

using fixtures::DicomWriter;
using Bytes = std::vector<uint8_t>;

DicomWriter Patient(uint8_t mode) {
  DicomWriter w(mode);
  w.Text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL").Text(0x0008, 0x0020, "DA", "19990315");
  w.Text(0x0008, 0x0030, "TM", "143000").Text(0x0008, 0x0060, "CS", "MR");
  w.Text(0x0010, 0x0010, "PN", "DOE^JOHN").Text(0x0010, 0x1010, "AS", "045Y");
  w.Text(0x0018, 0x5100, "CS", "FFS").Text(0x0020, 0x0020, "CS", "L\\P");
  w.Text(0x0020, 0x0032, "DS", "1\\2\\3").Text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0");
  return w;
}

// One RLE frame of `segments` segments, each a literal run of `bytes` bytes.
Bytes Rle_Frame(uint32_t segments, uint8_t bytes, uint8_t seed) {
  Bytes f(64, 0);
  for (uint32_t s = 0; s <= segments; ++s) {
    const uint32_t v = s == 0 ? segments : 64 + (s - 1) * (bytes + 1u);
    for (int b = 0; b < 4; ++b) f[4 * s + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  for (uint32_t s = 0; s < segments; ++s) {
    f.push_back(static_cast<uint8_t>(bytes - 1));
    for (uint8_t i = 0; i < bytes; ++i) f.push_back(static_cast<uint8_t>(seed + s * 31 + i));
  }
  return f;
}

Bytes Lossless(int w, int h, int precision, int components, uint32_t seed) {
  fixtures::LosslessSpec s;
  s.width = w, s.height = h, s.precision = precision, s.components = components;
  s.samples = fixtures::Phantom_Samples(w, h, precision, components, seed);
  return fixtures::Lossless_Jpeg(s);
}

// Encapsulated multi-frame files: RLE grey 16 bits and RGB, lossless JPEG
// with an offset table, a frame split over two items, and a colour frame.
void Compressed_Seeds(std::vector<Bytes>& seeds) {
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.5").Text(0x0028, 0x0008, "IS", "2").Image(4, 4, 16);
    w.Encapsulated({Rle_Frame(2, 16, 1), Rle_Frame(2, 16, 9)}, {0, 8 + 98});
    seeds.push_back(w.Done(1024));
  }
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.5").Image(4, 4, 8, 3).Encapsulated({Rle_Frame(3, 16, 5)});
    seeds.push_back(w.Done(1024));
  }
  const Bytes a = Lossless(8, 8, 16, 1, 1), b = Lossless(8, 8, 16, 1, 2);
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.4.70").Text(0x0028, 0x0008, "IS", "2").Image(8, 8, 16);
    w.Encapsulated({a, b}, {0, static_cast<uint32_t>(8 + a.size())});
    seeds.push_back(w.Done(1024));
  }
  {
    const Bytes a1(a.begin(), a.begin() + 30), a2(a.begin() + 30, a.end());
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.4.57").Text(0x0028, 0x0008, "IS", "2").Image(8, 8, 16);
    w.Encapsulated({a1, a2, b});
    seeds.push_back(w.Done(1024));
  }
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.4.70").Image(6, 6, 8, 3).Encapsulated({Lossless(6, 6, 8, 3, 4)});
    seeds.push_back(w.Done(1024));
  }
}

// A codestream kept under tests/data/dicom_codecs; empty when missing.
Bytes Codestream(const char* name) {
  std::ifstream in(std::filesystem::path(KEMA_SOURCE_DIR) / "tests/data/dicom_codecs" / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The syntaxes read through codec libraries: JPEG-LS (interleave modes,
// near-lossless), JPEG 2000 (grey 16 bits, colour ICT), HTJ2K, deflated
// and plain frames; a sequence the dictionary does not list, a UN value,
// an icon inside a sequence, enhanced functional groups.
void Codec_Seeds(std::vector<Bytes>& seeds) {
  struct Coded {
    const char* ts;
    const char* file;
    uint16_t bits, samples;
  };
  for (const Coded& c : {Coded{"1.2.840.10008.1.2.4.80", "g16_jls.jls", 16, 1},
                         Coded{"1.2.840.10008.1.2.4.80", "rgb_jls_in.jls", 8, 3},
                         Coded{"1.2.840.10008.1.2.4.81", "rgb_jls_near.jls", 8, 3},
                         Coded{"1.2.840.10008.1.2.4.90", "g16.j2k", 16, 1},
                         Coded{"1.2.840.10008.1.2.4.91", "rgb_ict.j2k", 8, 3},
                         Coded{"1.2.840.10008.1.2.4.201", "g8.j2c", 8, 1}}) {
    const Bytes code = Codestream(c.file);
    if (code.empty()) continue;
    DicomWriter w(8);
    w.Part10(c.ts).Text(0x0028, 0x0008, "IS", "2").Image(8, 8, c.bits, c.samples).Encapsulated({code, code}, {});
    seeds.push_back(w.Done(1024));
  }
  const Bytes plain = fixtures::Dicom_Ramp16(4, 4);
  for (const char* ts : {"1.2.840.10008.1.2.1.98", "1.2.840.10008.1.2.8.1"}) {
    // A stored deflate block of the 32 bytes: raw deflate that any inflater takes.
    Bytes frame = plain;
    if (std::strcmp(ts, "1.2.840.10008.1.2.8.1") == 0) {
      frame = {0x01, 32, 0, static_cast<uint8_t>(~32), 0xFF};
      frame.insert(frame.end(), plain.begin(), plain.end());
    }
    DicomWriter w(8);
    w.Part10(ts).Image(4, 4, 16).Encapsulated({frame}, {});
    seeds.push_back(w.Done(1024));
  }
  // 8-bit DCT frames for libjpeg-turbo: progressive 4:2:0, arithmetic 4:2:2.
  for (const char* name : {"progressive_rgb420.jpg", "arithmetic_rgb422.jpg"}) {
    std::ifstream in(std::filesystem::path(KEMA_SOURCE_DIR) / "tests/data/jpeg" / name, std::ios::binary);
    const Bytes code(std::istreambuf_iterator<char>(in), {});
    if (code.empty()) continue;
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.4.51").Image(16, 24, 8, 3, 0, "YBR_FULL_422").Encapsulated({code});
    seeds.push_back(w.Done(1024));
  }
  {
    // A deflated data set: the image group and pixels in one stored deflate block.
    DicomWriter body(8);
    body.Image(4, 4, 16).Pixels(plain);
    const Bytes set = body.Done();
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.1.99");
    Bytes block = {0x01, static_cast<uint8_t>(set.size()), static_cast<uint8_t>(set.size() >> 8),
                   static_cast<uint8_t>(~set.size()), static_cast<uint8_t>(~set.size() >> 8)};
    block.insert(block.end(), set.begin(), set.end());
    seeds.push_back(w.Bytes(block).Done(1024));
    // The same data set behind a few texts, Huffman-coded as writers store it.
    DicomWriter texts = Patient(8);
    const Bytes full = texts.Image(8, 8, 16).Pixels(fixtures::Dicom_Ramp16(8, 8)).Done();
    const Bytes coded = fixtures::Raw_Deflate(full, 9);
    DicomWriter huffman(8);
    seeds.push_back(huffman.Part10("1.2.840.10008.1.2.1.99").Bytes(coded).Done(1024));
  }
  {
    // Native YBR_FULL_422: Y1 Y2 Cb Cr for each two pixels.
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.1").Image(2, 4, 8, 3, 0, "YBR_FULL_422").Pixels(Bytes(16, 0x80), false);
    seeds.push_back(w.Done(1024));
  }
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.1").Sequence(0x0008, 0x9215, 22).Item(14).Text(0x0008, 0x0100, "SH", "121327");
    w.Element(0x0008, 0x0020, "UN", {'2', '0', '2', '4', '0', '1', '3', '1'}).Image(4, 4);
    w.Sequence(0x0088, 0x0200).Item().Image(2, 2, 8).Pixels({1, 2, 3, 4}, false).Item_End().Sequence_End();
    w.Sequence(0x5200, 0x9229).Item().Sequence(0x0028, 0x9110).Item().Text(0x0028, 0x0030, "DS", "0.5\\0.5");
    w.Item_End().Sequence_End().Item_End().Sequence_End();
    w.Sequence(0x5200, 0x9230).Item().Sequence(0x0020, 0x9113).Item().Text(0x0020, 0x0032, "DS", "1\\2\\3");
    w.Item_End().Sequence_End().Item_End().Sequence_End();
    seeds.push_back(w.Pixels(plain).Done(1024));
  }
}

std::vector<Bytes> Seeds() {
  std::vector<Bytes> seeds;
  const Bytes small = fixtures::Dicom_Ramp16(8, 8);
  // Part 10 in each syntax, and bare streams.
  for (const char* ts : {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2", "1.2.840.113619.5.2"}) {
    const uint8_t mode = std::strcmp(ts, "1.2.840.10008.1.2.2") == 0 ? 9 : std::strcmp(ts, "1.2.840.10008.1.2.1") == 0 ? 8 : 0;
    DicomWriter w(mode);
    w.Part10(ts);
    DicomWriter body = Patient(mode);
    w.Bytes(body.Done());
    w.Image(8, 8).Pixels(small);
    seeds.push_back(w.Done(1024));
  }
  for (uint8_t mode : {0, 1}) {
    DicomWriter w = Patient(mode);
    w.Image(8, 8).Pixels(small);
    seeds.push_back(w.Done(1024));
  }
  // ACR-NEMA 1.0 behind a prefix, made by Siemens, with private groups.
  for (uint8_t mode : {0, 1}) {
    DicomWriter w(mode);
    w.Bytes(Bytes(24, 0x55));
    w.U32(0x0008, 0x0000, "UL", {40}).Text(0x0008, 0x0010, "SH", "ACR-NEMA 1.0").Text(0x0008, 0x0070, "LO", "SIEMENS MED");
    w.Text(0x0009, 0x1010, "SH", "SPI-VER1").Text(0x0020, 0x0013, "IS", "A12");
    w.Text(0x7001, 0x0010, "LO", "SIEMENS MED ").Text(0x7003, 0x0010, "LO", "SIEMENS MED ");
    w.Image(8, 8).Pixels(small);
    seeds.push_back(w.Done(1024));
  }
  // Papyrus: an image sequence of two items, each with its pixels.
  {
    DicomWriter w(0x08);
    w.Part10("1.2.840.10008.1.2.1", "PAPYRUS 3.0");
    w.Sequence(0x0041, 0x1050);
    for (int i = 0; i < 2; ++i) {
      w.Item().Text(0x0020, 0x0032, "DS", i ? "0\\0\\5" : "0\\0\\0").Image(8, 8).Pixels(small).Item_End();
    }
    w.Sequence_End();
    seeds.push_back(w.Done(1024));
  }
  // Multi-frame, palette colour, RGB planar, encapsulated.
  {
    DicomWriter w = Patient(8);
    w.Text(0x0028, 0x0008, "IS", "3").Image(8, 8, 8);
    w.U16(0x0028, 0x1101, "US", {4, 0, 16}).U16(0x0028, 0x1102, "US", {4, 0, 16}).U16(0x0028, 0x1103, "US", {4, 0, 16});
    w.U16(0x0028, 0x1201, "OW", {0, 0x4000, 0x8000, 0xFFFF}).U16(0x0028, 0x1202, "OW", {0, 1, 2, 3});
    w.U16(0x0028, 0x1203, "OW", {9, 8, 7, 6}).Pixels(Bytes(192, 2), false);
    seeds.push_back(w.Done(1024));
  }
  {
    DicomWriter w(8);
    w.Image(4, 4, 8, 3).U16(0x0028, 0x0006, "US", {1}).Pixels(Bytes(48, 7), false);
    seeds.push_back(w.Done(1024));
  }
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.5").Image(4, 4, 8).Encapsulated({Bytes(20, 1), Bytes(12, 2)}, {0, 28});
    seeds.push_back(w.Done(1024));
  }
  Compressed_Seeds(seeds);
  Codec_Seeds(seeds);
  // Nested sequences of undefined and defined lengths, private ones too.
  {
    DicomWriter w(0);
    w.Sequence(0x0009, 0x1001).Item();
    w.Sequence(0x0008, 0x1140, 0xFFFFFFFF).Item(26).Text(0x0008, 0x1150, "UI", "1.2.3").Text(0x0008, 0x1155, "UI", "1.2.3.4");
    w.Sequence_End().Item_End().Sequence_End();
    w.Image(8, 8).Pixels(small);
    seeds.push_back(w.Done(1024));
  }
  // Cut-short copies.
  const size_t n = seeds.size();
  for (size_t i = 0; i < n; i += 2) {
    Bytes cut = seeds[i];
    cut.resize(cut.size() * 3 / 4);
    seeds.push_back(cut);
  }
  return seeds;
}

int Write_Dicom_Seeds(const std::string& dir) { return fuzz::Write_Seeds(dir, "dicom", Seeds()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write_Dicom_Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  fuzz::Read_Road(size, data);
  return 0;
}
