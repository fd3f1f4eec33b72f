// The JPEG decoder against real encoders and their decoders (dcmtk for
// lossless and 12-bit streams, libjpeg-turbo's tools for baseline), hand-built
// streams for what no installed encoder writes, damaged streams, and JPEG
// files read as images.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Convert/conv_jpeg.h"
#include "Convert/kema_image.h"
#include "LibJPEG/jpeg_internal.h"
#include "tests/fixtures/jpeg_writer.h"
#include "tests/fixtures/log_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace fixtures;

// What the readers hand the decoder: their message hooks and the budget.
const ReadContext kRead;

PixelBuffer Decode(const Bytes& s, JpegInfo& info, JpegOptions opt = Jpeg_Options(kRead)) {
  opt.info_lines = false;
  return jpeg_decode(s, info, opt);
}

std::vector<uint8_t> Bytes_Of(const PixelBuffer& p) { return std::vector<uint8_t>(p.data(), p.data() + p.size()); }

// The samples a lossless stream of `s` must decode to (little-endian bytes):
// a two-component image gives its first component.
Bytes Expected(const LosslessSpec& s) {
  Bytes e;
  const size_t step = s.components == 2 ? 2 : 1;
  for (size_t i = 0; i < s.samples.size(); i += step) {
    const uint16_t v = s.samples[i];
    const int out = (v << s.point_transform) & 0xFFFF;
    e.push_back(static_cast<uint8_t>(out));
    if (s.precision > 8) e.push_back(static_cast<uint8_t>(out >> 8));
  }
  return e;
}

// ---- dcmtk: lossless selection values, point transforms, 8 to 16 bits ----

struct DcmtkCase { int bits, spp, sv, pt; };

TEST(JpegDcmtk, LosslessStreamsDecodeBitExact) {
  if (!Have("dcmcjpeg") || !Have("dcmdjpeg")) GTEST_SKIP() << "dcmtk not installed";
  std::vector<DcmtkCase> cases;
  for (int bits : {8, 12, 16})
    for (int sv = 1; sv <= 7; ++sv)
      for (int pt : {0, 3}) cases.push_back({bits, 1, sv, pt});
  cases.insert(cases.end(), {{8, 3, 1, 0}, {8, 3, 6, 0}});
  TempDir dir;
  for (const DcmtkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.spp << " samples, SV " << c.sv << ", Pt " << c.pt);
    const int w = 67, h = 45;
    Write_File(dir / "in.dcm", Dicom_Native(w, h, c.bits, c.spp, Phantom_Samples(w, h, c.bits, c.spp, c.sv)));
    ASSERT_TRUE(Shell("dcmcjpeg +el +sv " + std::to_string(c.sv) + " +pt " + std::to_string(c.pt) + " " +
                    (dir / "in.dcm") + " " + (dir / "jl.dcm")));
    ASSERT_TRUE(Shell("dcmdjpeg " + (dir / "jl.dcm") + " " + (dir / "out.dcm")));
    const std::vector<Bytes> frames = Dicom_Fragments(Read_File(dir / "jl.dcm"));
    ASSERT_EQ(frames.size(), 1u);
    const Bytes ref = Dicom_Native_Pixels(Read_File(dir / "out.dcm"));
    JpegInfo info;
    const PixelBuffer got = Decode(frames[0], info);
    ASSERT_TRUE(got) << "error " << info.error;
    EXPECT_EQ(std::tuple(info.frame_type, info.predictor, info.components, info.bytes_per_sample),
              std::tuple(3, c.sv, c.spp, c.bits > 8 ? 2 : 1));
    ASSERT_LE(got.size(), ref.size());
    EXPECT_EQ(0, std::memcmp(got.data(), ref.data(), got.size()));
    // The older first-line rule agrees with T.81 only where the line above
    // does not enter the prediction.
    if (c.spp == 1 && c.pt == 0 && (c.sv == 1 || c.sv == 2)) {
      JpegOptions legacy = Jpeg_Options(kRead);
      legacy.legacy_lossless = true;
      const PixelBuffer old = Decode(frames[0], info, legacy);
      ASSERT_TRUE(old);
      EXPECT_EQ(c.sv == 1, std::memcmp(old.data(), ref.data(), old.size()) == 0);
    }
  }
}

// ---- libjpeg-turbo: baseline grey and colour, subsampling, restarts ----

TEST(JpegTurbo, BaselineStreamsWithinOne) {
  if (!Have("cjpeg") || !Have("djpeg")) GTEST_SKIP() << "libjpeg-turbo tools not installed";
  TempDir dir;
  const int w = 83, h = 57;
  const std::vector<uint16_t> grey = Phantom_Samples(w, h, 8, 1, 5);
  const std::vector<uint16_t> rgb = Phantom_Samples(w, h, 8, 3, 9);
  auto pnm = [&](const std::string& name, const std::vector<uint16_t>& s, bool colour) {
    Bytes b;
    const std::string head = std::string(colour ? "P6" : "P5") + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    b.assign(head.begin(), head.end());
    for (uint16_t v : s) b.push_back(static_cast<uint8_t>(v));
    Write_File(dir / name, b);
  };
  pnm("g.pgm", grey, false);
  pnm("c.ppm", rgb, true);
  for (const std::string args : {"-quality 90 g.pgm", "-restart 1 g.pgm", "-restart 5B -quality 30 g.pgm",
                                  "c.ppm", "-sample 1x1 c.ppm", "-sample 2x1 -restart 2B c.ppm", "-sample 1x2 c.ppm",
                                  "-optimize -quality 100 c.ppm"}) {
    SCOPED_TRACE(args);
    const bool colour = args.ends_with("c.ppm");
    ASSERT_TRUE(Shell("cd " + dir.path.string() + " && cjpeg " + args + " > j.jpg"));
    ASSERT_TRUE(Shell("djpeg -nosmooth -pnm " + (dir / "j.jpg") + " > " + (dir / "ref.pnm")));
    const Bytes ref = Read_File(dir / "ref.pnm");
    JpegInfo info;
    const PixelBuffer got = Decode(Read_File(dir / "j.jpg"), info);
    ASSERT_TRUE(got);
    ASSERT_EQ(got.size(), size_t{w} * h * (colour ? 3 : 1));
    ASSERT_GE(ref.size(), got.size());
    EXPECT_LE(Max_Diff({got.data(), got.size()}, std::span(ref).last(got.size()), 1), 1);
  }
}

// ---- hand-built lossless streams ----

TEST(JpegLossless, HandBuiltStreamsDecodeExactly) {
  const std::pair<const char*, LosslessSpec> cases[] = {
      {"restart every line", {.width = 23, .height = 9, .restart = 23}},
      {"restart every three lines", {.width = 23, .height = 9, .precision = 12, .predictor = 6, .restart = 69}},
      {"restart inside lines", {.width = 23, .height = 9, .restart = 10}},
      {"restart, three components",
       {.width = 23, .height = 9, .precision = 8, .components = 3, .predictor = 7, .restart = 23}},
      {"GE table selection", {.width = 23, .height = 9, .ge_bug = true}},
      {"DNL gives the height", {.width = 23, .height = 9, .precision = 12, .predictor = 4, .dnl = true}},
      {"point transform", {.width = 23, .height = 9, .predictor = 5, .point_transform = 4}},
      {"two-bit samples", {.width = 23, .height = 9, .precision = 2}},
      {"two components give the first", {.width = 23, .height = 9, .precision = 12, .components = 2}},
  };
  for (auto [name, s] : cases) {
    SCOPED_TRACE(name);
    s.samples = Phantom_Samples(s.width, s.height, s.precision - s.point_transform, s.components, 17);
    LogCapture log;
    JpegInfo info;
    const PixelBuffer got = Decode(Lossless_Jpeg(s), info);
    ASSERT_TRUE(got) << "error " << info.error;
    EXPECT_EQ(info.height, s.height);
    EXPECT_EQ(Bytes_Of(got), Expected(s));
    EXPECT_EQ(info.ge_repair, s.ge_bug);
    EXPECT_EQ(log.Contains("GE table selection bug detected - assuming predictor bug also"), s.ge_bug);
  }
}

// A stream of 23 x 9 16-bit samples with a restart marker after every line.
struct RestartStream {
  LosslessSpec spec{.width = 23, .height = 9, .restart = 23, .samples = Phantom_Samples(23, 9, 16, 1, 3)};
  Bytes bytes = Lossless_Jpeg(spec);
  std::vector<size_t> rst;  // offsets of the RST markers
  RestartStream() {
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
      if (bytes[i] == 0xFF && (bytes[i + 1] & 0xF8) == 0xD0) rst.push_back(i);
  }
};

TEST(JpegLossless, DamagedRestartsResynchronise) {
  const struct {
    const char* what;
    void (*damage)(RestartStream&);
    const char* message;
    int lost;        // the line lost, -1 none
    bool zeros;      // and decoded as zeros
  } cases[] = {
      {"a DRI segment of length 5 still sets the interval",
       [](RestartStream& r) {
         const auto segs = Jpeg_Segments(r.bytes);
         const auto dri = std::find_if(segs.begin(), segs.end(), [](const auto& s) { return s.marker == 0xDD; });
         r.bytes[dri->at + 3] = 5;
         r.bytes.insert(r.bytes.begin() + static_cast<long>(dri->at + 6), 0x00);
       },
       "Bad length 5, should be 4.", -1, false},
      {"a wrong RST number: no search, the data is intact", [](RestartStream& r) { r.bytes[r.rst[2] + 1] = 0xD6; },
       "Bad resync counter. No search done.", -1, false},
      {"codes missing from the Huffman table: line 2 is lost, the scan goes on",
       [](RestartStream& r) {
         for (size_t i = r.rst[1] + 2; i + 1 < r.rst[2]; i += 2) r.bytes[i] = 0xFF, r.bytes[i + 1] = 0x00;
       },
       "Huffman read error: l=", 2, false},
      // Line 3's marker lost (read as data) or turned into a bad marker byte:
      // line 3 is lost, the lines after it land in place.
      {"marker read as data", [](RestartStream& r) { r.bytes[r.rst[2]] = 0x12, r.bytes[r.rst[2] + 1] = 0x34; },
       "Bad resync counter. No search done.", 3, true},
      {"bad marker byte", [](RestartStream& r) { r.bytes[r.rst[2] + 1] = 0x05; }, "Resync successful!", 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RestartStream r;
    ASSERT_EQ(r.rst.size(), 8u);
    c.damage(r);
    LogCapture log;
    JpegInfo info;
    const PixelBuffer got = Decode(r.bytes, info);
    ASSERT_TRUE(got) << "error " << info.error;
    EXPECT_TRUE(log.Contains(c.message));
    const Bytes want = Expected(r.spec), have = Bytes_Of(got);
    ASSERT_EQ(have.size(), want.size());
    const long line = 23 * 2;
    for (long k = 0; k < 9; ++k) {
      const Bytes now(have.begin() + k * line, have.begin() + (k + 1) * line);
      if (k != c.lost) {
        EXPECT_EQ(now, Bytes(want.begin() + k * line, want.begin() + (k + 1) * line)) << "line " << k;
      } else if (c.zeros) {
        EXPECT_EQ(now, Bytes(line, 0)) << "line " << k;
      }
    }
  }
}

// Every basis function alone, at both signs: the fast inverse DCT against
// the textbook sum (ITU T.81 A.3.3), within one level.
TEST(JpegDct, EachCoefficientAloneMatchesTheReferenceTransform) {
  uint16_t quant[64];
  std::fill(std::begin(quant), std::end(quant), 1);
  const auto c = [](int k) { return k == 0 ? std::sqrt(0.5) : 1.0; };
  int worst = 0;
  for (int pos = 0; pos < 64; ++pos)
    for (int value : {-240, 160}) {
      int16_t coef[64] = {};
      coef[pos] = static_cast<int16_t>(value);
      uint8_t out[64];
      jpeg::Idct_Block_8(coef, quant, out);
      const int u = pos % 8, v = pos / 8;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
          const double s = 0.25 * c(u) * c(v) * value * std::cos((2 * x + 1) * u * M_PI / 16) *
                           std::cos((2 * y + 1) * v * M_PI / 16);
          const int want = std::clamp(static_cast<int>(std::lround(s + 128)), 0, 255);
          worst = std::max(worst, std::abs(out[y * 8 + x] - want));
        }
      ASSERT_LE(worst, 1) << "coefficient at row " << v << " column " << u << " = " << value;
    }
}

// ---- stream structure and damage ----

TEST(JpegStream, SegmentsAndDamage) {
  const LosslessSpec s{.width = 16, .height = 6, .samples = Phantom_Samples(16, 6, 16, 1, 11)};
  const Bytes good = Lossless_Jpeg(s);
  // Real streams carry 0xFF 0x00 in their entropy-coded data: this one too.
  size_t stuffed = 0;
  for (size_t i = 0; i + 1 < good.size(); ++i) stuffed += good[i] == 0xFF && good[i + 1] == 0x00;
  EXPECT_GT(stuffed, 0u);

  struct Case {
    const char* name;
    Bytes stream;
    bool decodes;
    const char* message;
  };
  Bytes no_eoi(good.begin(), good.end() - 2);
  Bytes cut(good.begin(), good.begin() + static_cast<long>(good.size() * 2 / 3));
  const size_t sof = Jpeg_Segments(good)[1].at;
  Bytes huge = good;  // a frame of 65535 x 65535 from a stream of a few hundred bytes
  huge[sof + 5] = huge[sof + 6] = huge[sof + 7] = huge[sof + 8] = 0xFF;
  Bytes table_one = good;  // the scan asks for table 3, which no DHT defines
  const size_t sos = Jpeg_Segments(good).back().at;
  table_one[sos + 6] = 0x30;
  Bytes stray = good;  // a byte of data before the first marker
  stray.insert(stray.begin(), 0x00);
  Bytes twice = good;  // the scan (header and data) repeated before EOI
  twice.insert(twice.end() - 2, good.begin() + static_cast<long>(sos), good.end() - 2);
  Bytes arith = good;
  arith[sof + 1] = 0xCB;
  const Case cases[] = {
      {"complete", good, true, nullptr},
      {"no EOI after a whole scan", no_eoi, true, "No trailing marker found!"},
      {"cut inside the scan", cut, false, "No trailing marker found!"},
      {"no marker at the start", stray, false, "No initial marker found!"},
      {"frame larger than its data", huge, false, "needs more data than the stream holds"},
      {"undefined table", table_one, false, "Reference to nonexistent table 3."},
      {"a component scanned twice", twice, true, "Component 1 already decoded: scan skipped."},
      {"arithmetic frame", arith, false, "Arithmetic coding not supported."},
      {"empty", Bytes{}, false, "No initial marker found!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    JpegInfo info;
    const PixelBuffer got = Decode(c.stream, info);
    EXPECT_EQ(Bytes_Of(got), c.decodes ? Expected(s) : Bytes{}) << "error " << info.error;
    EXPECT_TRUE(!c.message || log.Contains(c.message));
  }
}

TEST(JpegStream, CallerBufferAndThreads) {
  LosslessSpec s{.width = 40, .height = 30, .predictor = 6};
  std::vector<Bytes> streams;
  for (uint32_t k = 0; k < 4; ++k) {
    s.samples = Phantom_Samples(40, 30, 16, 1, k + 1);
    streams.push_back(Lossless_Jpeg(s));
  }
  // A slot too small is refused before anything is written.
  std::vector<uint8_t> small(40 * 30 * 2 - 1, 0xAB);
  JpegInfo info;
  EXPECT_FALSE(Jpeg_Decode_Into(streams[0], small, info, Jpeg_Options(kRead)));
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0xAB; }));
  // Frames decoded on several threads at once give what one thread gives.
  std::vector<std::vector<uint8_t>> slots(8, std::vector<uint8_t>(40 * 30 * 2));
  std::vector<std::thread> pool;
  for (size_t t = 0; t < slots.size(); ++t)
    pool.emplace_back([&, t] {
      JpegInfo i;
      JpegOptions o = Jpeg_Options(kRead);
      o.info_lines = false;
      for (int rep = 0; rep < 20; ++rep) Jpeg_Decode_Into(streams[t % 4], slots[t], i, o);
    });
  for (std::thread& th : pool) th.join();
  for (size_t t = 0; t < slots.size(); ++t) {
    s.samples = Phantom_Samples(40, 30, 16, 1, static_cast<uint32_t>(t % 4) + 1);
    EXPECT_EQ(slots[t], Expected(s)) << "slot " << t;
  }
}

// ---- real streams: segment variants, progressive frames ----

TEST(JpegStream, TableSegmentsAndProgressive) {
  const std::string data = std::string(KEMA_SOURCE_DIR) + "/tests/data/jpeg/";
  const Bytes colour = Read_File(data + "baseline_rgb420.jpg");
  ASSERT_FALSE(colour.empty());
  JpegInfo info;
  const std::vector<uint8_t> want = Bytes_Of(Decode(colour, info));
  ASSERT_FALSE(want.empty());
  auto count = [](const Bytes& b, int m) {
    const auto segs = Jpeg_Segments(b);
    return std::count_if(segs.begin(), segs.end(), [m](const Segment& seg) { return seg.marker == m; });
  };
  // Two quantization tables in one DQT, four Huffman tables in one DHT.
  for (int marker : {0xDB, 0xC4}) {
    const Bytes merged = Merge_Segments(colour, marker);
    ASSERT_EQ(count(merged, marker), 1);
    ASSERT_GT(count(colour, marker), 1);
    EXPECT_EQ(Bytes_Of(Decode(merged, info)), want);
  }
  // A zero quantization value takes the one before it in zig-zag order.
  const Bytes grey = Read_File(data + "baseline_grey_rst.jpg");
  const auto segs = Jpeg_Segments(grey);
  const auto dqt = std::find_if(segs.begin(), segs.end(), [](const Segment& seg) { return seg.marker == 0xDB; });
  ASSERT_NE(dqt, segs.end());
  const size_t q = dqt->at + 5;  // the 64 values of the first table (8-bit)
  Bytes zero = grey, same = grey;
  zero[q + 5] = 0;
  same[q + 5] = same[q + 4];
  LogCapture log;
  EXPECT_EQ(Bytes_Of(Decode(zero, info)), Bytes_Of(Decode(same, info)));
  EXPECT_TRUE(log.Contains("marker.c:ReadDqt: Quantization value of zero."));
  EXPECT_TRUE(log.Contains("marker.c:ReadDqt: Changing to i-1."));
  // Progressive frames are not decoded.
  EXPECT_FALSE(Decode(Read_File(data + "progressive_grey.jpg"), info));
  EXPECT_TRUE(log.Contains("Frame type 2 not supported."));
}

// Streams the fuzzer found: whatever they decode to, every output sample
// is written (a caller's slot filled with 0x00 or 0xFF gives the same).
TEST(JpegRegress, EveryOutputSampleWritten) {
  for (const auto& e : fs::directory_iterator(std::string(KEMA_SOURCE_DIR) + "/tests/data/jpeg_regress")) {
    SCOPED_TRACE(e.path().filename().string());
    const Bytes stream = Read_File(e.path().string());
    JpegInfo info;
    JpegOptions opt = Jpeg_Options(kRead);
    opt.info_lines = false;
    if (!Jpeg_Read_Info(stream, info, opt)) continue;
    std::vector<uint8_t> zero(info.Output_Bytes(), 0x00), ones(info.Output_Bytes(), 0xFF);
    const int a = Jpeg_Decode_Into(stream, zero, info, opt), b = Jpeg_Decode_Into(stream, ones, info, opt);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(!a || zero == ones);
  }
}

// ---- JPEG files as images ----

TEST(JpegReader, FilesReadAsImages) {
  const std::string data = std::string(KEMA_SOURCE_DIR) + "/tests/data/jpeg/";
  TempDir dir;
  struct Case {
    const char* file;
    uint16_t store;
    uint8_t plane, pix_type;
  };
  for (const Case& c : {Case{"lossless16_sv1.jpg", 16, 1, 4}, Case{"lossless8_rgb_sv7.jpg", 8, 3, 130},
                        Case{"baseline_grey_rst.jpg", 8, 1, 2}}) {
    SCOPED_TRACE(c.file);
    const std::string path = dir / "scan0042.jpg";
    fs::copy_file(data + c.file, path, fs::copy_options::overwrite_existing);
    LogCapture log;
    std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, path.c_str(), 4);
    ASSERT_TRUE(ima);
    EXPECT_EQ(std::tuple(ima->format, ima->modality, ima->g1.series_num, ima->g2.pix_store, ima->g2.pix_plane,
                         ima->g2.pix_type),
              std::tuple(103, Modality_Code('O', 'T'), 42, c.store, c.plane, c.pix_type));
    EXPECT_TRUE(log.Contains("Gloabl Width:"));
    ASSERT_GE(Kema_Image_Get_Image(nullptr, *ima), 1);
    JpegInfo info;
    EXPECT_EQ(Bytes_Of(ima->data), Bytes_Of(Decode(Read_File(path), info)));
    EXPECT_EQ(ima->dim_x, info.width);
    Kema_Image_Free_Header(nullptr, *ima);
  }
}

}  // namespace
