// The kema command-line tool, run as a program on files written by the
// fixture writers: what it prints, what it writes and its exit statuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef KEMA_CLI_PATH

#include <sys/stat.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/genesis_writer.h"
#include "tests/fixtures/legacy_writer.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Json = nlohmann::json;

struct KemaRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CliTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return tmp_ / name; }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    fixtures::Write_File(Path(name), bytes);
    return Path(name);
  }

  // Runs kema with `args` (no quotes in them); standard output and error go
  // to files. A run that blocks is ended instead of hanging the suite.
  KemaRun Kema(const std::vector<std::string>& args) const {
    std::string cmd = std::string("timeout 30 ") + KEMA_CLI_PATH;
    for (const std::string& a : args) cmd += " '" + a + "'";
    const int status = std::system((cmd + " >" + Path(".stdout") + " 2>" + Path(".stderr") + " </dev/null").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(Path(".stdout")), Slurp(Path(".stderr"))};
  }

  fixtures::TempDir tmp_;
  const fs::path& dir_ = tmp_.path;
};

// A 4x3 CT Genesis file with known pixels.
fixtures::GenesisSpec Ct_Spec(int compression = 1) {
  fixtures::GenesisSpec spec{.compression = compression, .width = 4, .height = 3};
  for (int v : {-1000, -10, 0, 1, 2, 40, 100, 200, 1000, 2000, 3000, -1}) spec.pixels.push_back(static_cast<uint16_t>(v));
  return spec;
}

TEST_F(CliTest, FormatsListsEveryNamedCodeAndItsReader) {
  const KemaRun r = Kema({"formats"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string()));
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 50u);
  EXPECT_EQ(lines.front(), "  1  Unknow Format                no reader");
  EXPECT_EQ(lines.back(), "103  JPEG                         reader");
  EXPECT_THAT(r.out, HasSubstr("\n 41  ELSCINT DICOM Lossless Rice  no reader\n"));
  EXPECT_THAT(r.out, HasSubstr("\n100  TIFF                         reader\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("?")));

  // The same rows for scripts.
  const KemaRun j = Kema({"formats", "--json"});
  EXPECT_EQ(j.status, 0);
  const auto rows = nlohmann::json::parse(j.out);
  ASSERT_EQ(rows.size(), 50u);
  EXPECT_EQ(rows[6], nlohmann::json({{"code", 12}, {"name", "GE SIGNA-5"}, {"reader", true}}));
  EXPECT_EQ(rows.back(), nlohmann::json({{"code", 103}, {"name", "JPEG"}, {"reader", true}}));
}

TEST_F(CliTest, InfoReadsHeaderAndPixels) {
  const std::string file = Write("ct.gen", fixtures::Genesis_File(Ct_Spec()));
  KemaRun r = Kema({"info", file});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string()));
  EXPECT_THAT(r.out, StartsWith(file + ": format 12 (GE SIGNA-5)  4x3x1x1  pix_type 5  CT Computed Tomography  "));
  EXPECT_THAT(r.out, HasSubstr("range -1000..3000\n"));
  EXPECT_EQ(Lines(r.out).size(), 1u);

  // The writer's defaults, through the reader: level 40, window 400, 0.5 mm
  // pixels, 5 mm slices, axial (plane code 2).
  r = Kema({"info", "--json", file});
  EXPECT_EQ(r.status, 0) << r.err;
  Json want = Json::parse(R"({"format": 12, "format_name": "GE SIGNA-5", "modality": "CT",
      "modality_name": "CT Computed Tomography", "dim": [4,3,1,1], "pix_store": 16, "pix_bits": 12, "pix_sign": 1,
      "pix_plane": 1, "ima_range": [-1000,3000], "data_bytes": 24, "manufacturer": "GE", "image_type": 1,
      "image_type_name": "AXIAL", "pix_type": 5, "window": [40,400], "rescale": [0.0,1.0], "pix_dim": [0.5,0.5,5.0],
      "patient_name": "DOE^JANE", "patient_id": "PID-0042", "series_num": 3, "image_num": 17, "pix_fill": -32768,
      "position": [-16,-14.5,12.5], "dir_h": [1,0,0], "dir_v": [0,-1,0], "study_num": 0,
      "image_position_patient": [-16,-16,12.5], "image_orientation_patient": [1,0,0,0,1,0],
      "pixel_spacing": [0.5,0.5]})");
  want["file"] = file;
  EXPECT_EQ(Json::parse(r.out), want) << r.out;
}

// A NUMARIS 1 file has no signature: read when its code is named.
TEST_F(CliTest, FormatOptionReadsFilesNoSignatureFinds) {
  const std::string file = Write("n1.ima", fixtures::Numaris_File({.version = 1, .width = 4, .height = 4}));
  EXPECT_EQ(Kema({"info", file}).status, 1);
  for (std::vector<std::string> args : {std::vector<std::string>{"info"}, {"header"}, {"raw", "-o", Path("n1.raw")}}) {
    args.insert(args.begin() + 1, {"--format", "30", file});
    EXPECT_EQ(Kema(args).status, 0) << args[0];
  }
  EXPECT_THAT(Kema({"info", "--format", "30", file}).out, HasSubstr("format 30 (SIEMENS NUMARIS 1)  4x4x1x1"));
}

TEST_F(CliTest, InfoReportsEachFailingFileAndGoesOn) {
  const std::string good = Write("ct.gen", fixtures::Genesis_File(Ct_Spec()));
  const std::string unknown = Write("notes.txt", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  const std::string missing = Path("missing.gen");
  const KemaRun r = Kema({"info", "--json", missing, unknown, good});
  EXPECT_EQ(r.status, 1);
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0], "{\"file\":\"" + missing + "\",\"format\":0,\"error\":\"ERROR: Unable to open file !\"}");
  EXPECT_EQ(lines[1], "{\"file\":\"" + unknown + "\",\"format\":1,\"error\":\"ERROR: unsupported image type ! (format=1)\"}");
  EXPECT_EQ(Json::parse(lines[2])["format"], 12);
  // The log lines went to standard error in the console's forms.
  EXPECT_THAT(r.err, HasSubstr("WARNING: ERROR: Unable to open file ! \n"));
  EXPECT_THAT(r.err, HasSubstr("WARNING: \t\t file: " + missing + "  \n"));
  EXPECT_THAT(r.err, HasSubstr("[ENOENT]"));

  // Pixels cut short: the reader's own error comes first, before the line
  // that says the pixels were not read.
  std::vector<uint8_t> cut = fixtures::Genesis_File(Ct_Spec());
  cut.resize(cut.size() - 4);
  const std::string short_file = Write("short.gen", cut);
  const KemaRun s = Kema({"info", "--json", short_file});
  const Json e = Json::parse(s.out);
  EXPECT_EQ(std::pair(s.status, e["format"]), std::pair(1, Json(12)));
  EXPECT_THAT(e["error"].get<std::string>(), StartsWith("ERROR: "));
  EXPECT_NE(e["error"], "ERROR: Unable to read image data !");
  EXPECT_THAT(s.err, HasSubstr("WARNING: ERROR: Unable to read image data ! \n"));

  // Only regular files are read: a FIFO with no writer, a device, a
  // directory are refused at once with what they are.
  const std::string fifo = Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const KemaRun special = Kema({"info", "--json", fifo, "/dev/zero", dir_.string()});
  EXPECT_EQ(special.status, 1);
  EXPECT_EQ(Lines(special.out),
            (std::vector<std::string>{
                "{\"file\":\"" + fifo + "\",\"format\":0,\"error\":\"ERROR: Unable to open file ! (a FIFO, not a regular file)\"}",
                "{\"file\":\"/dev/zero\",\"format\":0,\"error\":\"ERROR: Unable to open file ! (a character device, not a regular file)\"}",
                "{\"file\":\"" + dir_.string() + "\",\"format\":0,\"error\":\"ERROR: Unable to open file ! (a directory, not a regular file)\"}"}));

  const KemaRun text = Kema({"info", missing});
  EXPECT_EQ(std::pair(text.status, text.out), std::pair(1, missing + ": format 0 (?)  ERROR: Unable to open file !\n"));
}

TEST_F(CliTest, InfoJsonStaysValidWithNonUtf8Text) {
  fixtures::GenesisSpec spec = Ct_Spec();
  spec.patient_name = "M\xDCLLER\x85X";  // Latin-1 "MÜLLER" with a stray C1 byte
  const std::string file = Write("latin1.gen", fixtures::Genesis_File(spec));
  const KemaRun r = Kema({"info", "--json", file});
  EXPECT_EQ(r.status, 0) << r.err;
  const Json j = Json::parse(r.out);  // throws on invalid UTF-8
  EXPECT_EQ(j["patient_name"], "M\xC3\x9CLLER\xEF\xBF\xBDX");
}

TEST_F(CliTest, HeaderListsTheReadersText) {
  const std::string file = Write("ct.gen", fixtures::Genesis_File(Ct_Spec()));
  KemaRun r = Kema({"header", file});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string()));
  const std::vector<std::string> lines = Lines(r.out);
  EXPECT_THAT(lines, ::testing::Contains("------ ------ GE Exam header ------ ------"));
  EXPECT_THAT(lines, ::testing::Contains("------ ------ GE Image header (Rectangluar) ------"));
  EXPECT_THAT(lines, ::testing::Contains("Exam Type:" + std::string(14, ' ') + " CT"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "------ ------ ------ ------ ------");
  for (char c : r.out) EXPECT_TRUE(c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) << int(c);

  r = Kema({"header", "--raw", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("\x02\xF1------ ------ GE Exam header ------ ------\x01\xF0\n"));

  // Several files: each listing is named; a failure sets the status.
  r = Kema({"header", file, Path("missing.gen")});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, StartsWith("==> " + file + " <==\n"));
  EXPECT_THAT(r.out, HasSubstr("\n\n==> " + Path("missing.gen") + " <==\n"));
  EXPECT_THAT(r.err, HasSubstr("ERROR: Unable to open file !"));
}

TEST_F(CliTest, RawWritesThePixelsAsHeldInMemory) {
  for (int compression = 1; compression <= 4; ++compression) {
    const fixtures::GenesisSpec spec = Ct_Spec(compression);
    // Packed codings store a disc of each row and fill the rest.
    std::vector<uint8_t> expected;
    for (uint16_t v : fixtures::Genesis_Expected(spec)) {
      expected.push_back(static_cast<uint8_t>(v & 0xFF));  // machine order: little-endian
      expected.push_back(static_cast<uint8_t>(v >> 8));
    }
    const std::string file = Write("ct.gen", fixtures::Genesis_File(spec));
    const KemaRun r = Kema({"raw", file, "-o", Path("ct.raw")});
    EXPECT_EQ(r.status, 0) << "compression " << compression << ": " << r.err;
    const std::string got = Slurp(Path("ct.raw"));
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), expected) << "compression " << compression;
  }

  KemaRun r = Kema({"raw", Path("missing.gen"), "-o", Path("none.raw")});
  EXPECT_EQ(std::pair(r.status, fs::exists(Path("none.raw"))), std::pair(1, false));
  EXPECT_THAT(r.err, HasSubstr("ERROR: Unable to open file !"));

  r = Kema({"raw", Write("ct.gen", fixtures::Genesis_File(Ct_Spec())), "-o", Path("no/such/dir/x.raw")});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("kema: cannot write "));
}

TEST_F(CliTest, UsageErrorsHelpAndVersion) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"info"}, {"info", "-x", "f"}, {"raw", "f"},
                                             {"raw", "a", "b", "-o", "c"}, {"formats", "f"}, {"-t"},
                                             {"-t", "high", "formats"}, {"header", "--json", "f"},
                                             {"info", "--format", "7", "f"}, {"formats", "--format", "30"}}) {
    const KemaRun r = Kema(args);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(r.status, 2) << joined;
    EXPECT_THAT(r.err, HasSubstr("usage: kema")) << joined;
    EXPECT_EQ(r.out, "") << joined;
  }
  EXPECT_THAT(Kema({"info", "-x", "f"}).err, StartsWith("kema: unknown argument (-x)\n"));

  KemaRun r = Kema({"--help"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string()));
  EXPECT_THAT(r.out, StartsWith("usage: kema"));
  EXPECT_THAT(r.out, HasSubstr("info [--json] FILE..."));

  r = Kema({"--version"});
  EXPECT_EQ(std::pair(r.status, r.out), std::pair(0, std::string("kema 1.2 (Kemascopia 1.2 Rev-10)\n")));
}

TEST_F(CliTest, TraceLevelSendsTraceLinesToStandardError) {
  const std::string file = Write("ct.gen", fixtures::Genesis_File(Ct_Spec()));
  const KemaRun quiet = Kema({"info", file});
  KemaRun r = Kema({"-t", "2", "info", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, quiet.out);
  EXPECT_THAT(r.err, HasSubstr("TRACE:       in Kema_Image_Header_Read(stream:0) \n"));
  EXPECT_THAT(r.err, Not(HasSubstr("TRACE:           ")));  // level 8 is not admitted at 2

  r = Kema({"info", file, "-v"});
  EXPECT_EQ(r.out, quiet.out);
  EXPECT_THAT(r.err, HasSubstr("TRACE:           in GE_SIGNA_5_Read_Header() \n"));
}

}  // namespace

#endif  // KEMA_CLI_PATH
