// Fuzz target of the text-header readers: each input goes, as a memory
// block, through detection, the header reader, the pixel reader and the
// split, with every header-text line formatted. Inputs of the formats that
// keep their pixels in a second file also take the file road: the input is
// written into a private folder (the Analyze header and its ".img" split at
// byte 348; a Bruker study tree with the input as every parameter file) and
// read by name, so the second-file rules run too.
//
// `fuzz_text -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "log/log.h"
#include "tests/fixtures/text_formats_writer.h"

namespace {

namespace fs = std::filesystem;

fs::path g_dir;  // the private folder of the file road

std::vector<uint8_t> Bytes(std::string_view text, std::span<const uint8_t> tail = {}) {
  std::vector<uint8_t> b(text.begin(), text.end());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> Seeds() {
  using namespace fixtures;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  const auto px16 = Store_Samples(Text_Pattern(4 * 3 * 2, 2, true), 2, false);
  const auto px8 = Store_Samples(Text_Pattern(4 * 3 * 2, 1, false), 1, false);

  InterfileSpec in{.x = 4, .y = 3, .z = 2};
  seeds.push_back({"interfile_same_file", Bytes(Interfile_Header(in), px16)});
  in.end = "\f";
  in.little = false;
  seeds.push_back({"interfile_form_feed", Bytes(Interfile_Header(in), px16)});
  in.data_file = "f.img";
  in.offset_bytes = 0;
  seeds.push_back({"interfile_data_file", Bytes(Interfile_Header(in), px16)});
  in = InterfileSpec{.x = 4, .y = 3, .z = 2, .bytes = 1, .sign = false, .start_block = 0};
  seeds.push_back({"interfile_block", Bytes(Interfile_Header(in), px8)});

  for (bool big : {true, false})
    for (int16_t type : {2, 4, 8, 16, 64, 128}) {
      AnalyzeSpec a{.big_endian = big, .classic = big, .dim = {4, 3, 2, 1}, .datatype = type,
                    .bitpix = static_cast<int16_t>(type == 128 ? 24 : type == 2 ? 8 : type == 4 ? 16 : type == 64 ? 64 : 32)};
      const size_t bytes = a.bitpix / 8;
      std::vector<uint8_t> file = Analyze_Header(a);
      std::vector<uint8_t> data(24 * bytes);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
      if (type == 16) {
        const float f[] = {1.5f, -2.25f, 1e6f, 0.0f};
        for (size_t i = 0; i < 24; ++i) std::memcpy(data.data() + 4 * i, &f[i % 4], 4);
      }
      file.insert(file.end(), data.begin(), data.end());
      seeds.push_back({"analyze_" + std::string(big ? "be_" : "le_") + std::to_string(type), file});
    }
  AnalyzeSpec gap{.big_endian = false, .classic = false, .dim = {4, 3, 2, 1}, .vox_offset = -4.0f};
  std::vector<uint8_t> gapped = Analyze_Header(gap);
  gapped.resize(348 + 2 * (4 + 24), 0x11);
  seeds.push_back({"analyze_gap", gapped});

  seeds.push_back({"materialise", Bytes("FILE_TYPE MATERIALISE_IMAGE_FILE\nX_SIZE 4\nY_SIZE 3\nZ_SIZE 2\n"
                                        "PIXEL_TYPE S\nPIXEL_SIZE 0.5\nPATIENT_NAME  DOE \nHEADER_END\n",
                                        px16)});
  seeds.push_back({"igb", Bytes(IGB_Header("x:4 y:3 z:2 type:short org_x:1 inc_x:0.5 systeme:little_endian\n"
                                           "# Patient Name DOE\n# free comment\nvect_z:1\n"),
                                Bytes(std::string(8, '\0'), px16))});
  seeds.push_back({"raw", Bytes("magic RAW_DATA\nx 4, y 3; z 2\npixel_size 16 pixel_sign 1\n"
                                "patient_name \"DOE JOHN\" # a comment\nimage_offset 0\n\f",
                                px16)});
  seeds.push_back({"raw_named", Bytes("magic RAW_DATA x 4 y 3 z 2 pixel_size 16 file_name \"f.img\"\n")});
  SMISSpec sm{.x = 4, .y = 3, .z = 2};
  seeds.push_back({"smis", SMIS_File(sm, px16)});
  seeds.push_back({"bruker_reco", Bytes(Bruker_Parameters(
                                      "RECO", "##$RECO_wordtype=_16BIT_SGN_INT\n##$RECO_size=( 2 )\n4 3\n"
                                              "##$RECO_byte_order=littleEndian\n##$IM_SIZ=2\n##$DATTYPE=ip_short\n"
                                              "##$PR_STA=( 16 )\n1 2 3 4 0 0 0 0 0 0 0 0 0 0 0 1\n"
                                              "##$IMND_slicepack_vector=( 3 )\n0 0 1\n##$IMND_read_vector=( 3 )\n"
                                              "1 0 0\n##$SUBJECT_name_string=( 64 )\n<Rat>\n"))});
  return seeds;
}

int Write_Seeds(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  int k = 0;
  for (const auto& [name, bytes] : Seeds()) {
    if (!fixtures::Write_Text_File((fs::path(dir) / ("text_" + name)).string(), {}, bytes)) {
      std::fprintf(stderr, "cannot write seed %s in %s\n", name.c_str(), dir.c_str());
      return 1;
    }
    ++k;
  }
  std::printf("%d seeds written to %s\n", k, dir.c_str());
  return 0;
}

void Write(const fs::path& p, const uint8_t* data, size_t size) {
  fixtures::Write_Text_File(p.string(), {}, std::span<const uint8_t>(data, size));
}

// The file road of the formats with second files.
void Read_As_Files(uint16_t format, const uint8_t* data, size_t size) {
  std::error_code ec;
  if (format == 84 && size > 348) {
    Write(g_dir / "f.hdr", data, 348);
    Write(g_dir / "f.img", data + 348, size - 348);
    fuzz::Read_Road(0, (g_dir / "f.hdr").c_str());
  } else if (format == 71 || format == 3) {
    Write(g_dir / "f.hdr", data, size);
    Write(g_dir / "f.img", data, size);
    fuzz::Read_Road(0, (g_dir / "f.hdr").c_str());
  } else if (format == 4) {
    const fs::path scan = g_dir / "s" / "1", proc = scan / "pdata" / "1";
    fs::create_directories(proc, ec);
    for (const char* n : {"reco", "d3proc", "procs", "2dseq"}) Write(proc / n, data, size);
    for (const char* n : {"acqp", "imnd"}) Write(scan / n, data, size);
    Write(g_dir / "s" / "subject", data, size);
    fuzz::Read_Road(0, (proc / "reco").c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write_Seeds);
  // A folder of this process only: memory-backed where the system has one.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(base) + "/kema_fuzz_text_XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  g_dir = tmpl;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  const uint16_t format = Kema_Image_Get_Format(nullptr, size, data);
  fuzz::Read_Road(size, data);
  Read_As_Files(format, data, size);
  return 0;
}
