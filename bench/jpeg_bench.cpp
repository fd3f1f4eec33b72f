// JPEG decoding speed, each figure beside a peer's from the same run:
// a 512 x 512 16-bit CT-like lossless stream (selection value 1) against
// dcmtk's dcmdjpeg (process against process: a 100-frame file minus a
// one-frame file, per frame), and 512 x 512 8-bit baseline streams (grey and
// 4:2:0 colour) against libjpeg-turbo's library in this process and against
// dcmdjpeg. Streams come from dcmcjpeg and cjpeg; when dcmtk is missing the
// lossless stream comes from the fixture encoder and its peer is skipped.
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/conv_jpeg.h"
#include "tests/fixtures/jpeg_writer.h"

namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;
constexpr int kSide = 512;
constexpr int kFrames = 100;


// Commands that write their own output file name their redirection.
bool Shell(const std::string& cmd) {
  const bool redirected = cmd.find(" > ") != std::string::npos;
  return std::system((cmd + (redirected ? " 2>/dev/null" : " >/dev/null 2>&1")).c_str()) == 0;
}

struct Streams {
  fs::path dir;
  Bytes lossless, grey, colour;
  bool dcmtk = false;
  Streams() {
    char tmpl[] = "/tmp/kema_jpeg_bench_XXXXXX";
    dir = mkdtemp(tmpl);
    const std::string d = dir.string() + "/";
    dcmtk = Shell("command -v dcmcjpeg && command -v dcmdjpeg");
    // CT-like: 12-bit values with noise, stored in 16 bits.
    const std::vector<uint16_t> ct = fixtures::Phantom_Samples(kSide, kSide, 12, 1, 7);
    const std::vector<uint16_t> photo = fixtures::Phantom_Samples(kSide, kSide, 8, 1, 3);
    const std::vector<uint16_t> rgb = fixtures::Phantom_Samples(kSide, kSide, 8, 3, 5);
    if (dcmtk) {
      for (int frames : {1, kFrames}) {
        const std::string n = std::to_string(frames);
        fixtures::Write_File(d + "ct" + n + ".dcm", fixtures::Dicom_Native(kSide, kSide, 16, 1, ct, frames));
        fixtures::Write_File(d + "grey" + n + ".dcm", fixtures::Dicom_Native(kSide, kSide, 8, 1, photo, frames));
        Shell("dcmcjpeg +e1 " + d + "ct" + n + ".dcm " + d + "ls" + n + ".dcm");
        Shell("dcmcjpeg +eb " + d + "grey" + n + ".dcm " + d + "bl" + n + ".dcm");
      }
      const auto frames = fixtures::Dicom_Fragments(fixtures::Read_File(d + "ls1.dcm"));
      if (!frames.empty()) lossless = frames[0];
    }
    if (lossless.empty()) {
      fixtures::LosslessSpec s;
      s.width = s.height = kSide;
      s.samples = ct;
      lossless = fixtures::Lossless_Jpeg(s);
    }
    auto pnm = [&](const std::string& name, const std::vector<uint16_t>& v, bool c) {
      const std::string head = std::string(c ? "P6\n" : "P5\n") + std::to_string(kSide) + " " + std::to_string(kSide) + "\n255\n";
      Bytes b(head.begin(), head.end());
      for (uint16_t x : v) b.push_back(static_cast<uint8_t>(x));
      fixtures::Write_File(d + name, b);
    };
    pnm("grey.pgm", photo, false);
    pnm("rgb.ppm", rgb, true);
    if (Shell("cjpeg -quality 90 " + d + "grey.pgm > " + d + "grey.jpg")) grey = fixtures::Read_File(d + "grey.jpg");
    if (Shell("cjpeg -quality 90 " + d + "rgb.ppm > " + d + "rgb.jpg")) colour = fixtures::Read_File(d + "rgb.jpg");
  }
  ~Streams() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Streams& S() {
  static Streams s;
  return s;
}

// `readers`: the readers' entry (8-bit DCT through libjpeg-turbo), else our
// decoder alone.
void Kema_Decode(benchmark::State& state, const Bytes& stream, bool readers = false) {
  if (stream.empty()) return state.SkipWithError("no stream (encoder missing)");
  static const ReadContext kRead;
  JpegInfo info;
  JpegOptions opt = Jpeg_Options(kRead);
  opt.info_lines = false;
  if (!Jpeg_Frame_Read_Info(stream, info, opt)) return state.SkipWithError("stream not readable");
  std::vector<uint8_t> slot(info.Output_Bytes());
  for (auto _ : state) {
    const int ok = readers ? Jpeg_Frame_Decode_Into(stream, slot, info, opt) : Jpeg_Decode_Into(stream, slot, info, opt);
    if (!ok) return state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(slot.data());
  }
  state.SetItemsProcessed(state.iterations() * info.width * info.height);
  state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(info.width) * info.height * 1e-6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Lossless16_Kema(benchmark::State& state) { Kema_Decode(state, S().lossless); }
void BM_BaselineGrey_Kema(benchmark::State& state) { Kema_Decode(state, S().grey); }
void BM_BaselineColour_Kema(benchmark::State& state) { Kema_Decode(state, S().colour); }
void BM_BaselineColour_KemaReaders(benchmark::State& state) { Kema_Decode(state, S().colour, true); }

// libjpeg-turbo in this process: the accurate integer inverse DCT, and
// chroma replicated as our decoder does it (`fancy` false) or interpolated
// (its default, what the readers use).
void Turbo_Decode(benchmark::State& state, const Bytes& stream, bool fancy = false) {
  if (stream.empty()) return state.SkipWithError("no stream (cjpeg missing)");
  std::vector<uint8_t> out;
  for (auto _ : state) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = fancy ? TRUE : FALSE;
    jpeg_start_decompress(&cinfo);
    const size_t row = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    out.resize(row * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW r = out.data() + row * cinfo.output_scanline;
      jpeg_read_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["Mpixel/s"] = benchmark::Counter(kSide * kSide * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_BaselineGrey_LibjpegTurbo(benchmark::State& state) { Turbo_Decode(state, S().grey); }
void BM_BaselineColour_LibjpegTurbo(benchmark::State& state) { Turbo_Decode(state, S().colour); }
void BM_BaselineColour_LibjpegTurboDefault(benchmark::State& state) { Turbo_Decode(state, S().colour, true); }

// dcmdjpeg on the 100-frame file minus the one-frame file, per frame.
void Dcmtk_Per_Frame(benchmark::State& state, const std::string& stem) {
  if (!S().dcmtk) return state.SkipWithError("dcmtk not installed");
  const std::string d = S().dir.string() + "/";
  auto time = [&](const std::string& in) {
    const auto t0 = std::chrono::steady_clock::now();
    Shell("dcmdjpeg " + d + in + " " + d + "out.dcm");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) {
    const double one = time(stem + "1.dcm"), many = time(stem + std::to_string(kFrames) + ".dcm");
    state.SetIterationTime((many - one) / (kFrames - 1));
  }
  state.counters["Mpixel/s"] = benchmark::Counter(kSide * kSide * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Lossless16_Dcmdjpeg_PerFrame(benchmark::State& state) { Dcmtk_Per_Frame(state, "ls"); }
void BM_BaselineGrey_Dcmdjpeg_PerFrame(benchmark::State& state) { Dcmtk_Per_Frame(state, "bl"); }

}  // namespace

BENCHMARK(BM_Lossless16_Kema)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lossless16_Dcmdjpeg_PerFrame)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineGrey_Kema)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineGrey_LibjpegTurbo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineGrey_Dcmdjpeg_PerFrame)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineColour_Kema)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineColour_LibjpegTurbo)->Unit(benchmark::kMillisecond);
// 4:2:0 colour as the readers decode it, beside libjpeg-turbo's own default decode.
BENCHMARK(BM_BaselineColour_KemaReaders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineColour_LibjpegTurboDefault)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  Log_Set_Sink(&Quiet_Sink);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
