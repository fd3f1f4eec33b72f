// kema: reads medical image files with the Kemascopia conversion library and
// prints what it finds.
#include <malloc.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Convert/kema_image.h"
#include "cli/kema.h"
#include "log/log.h"

#ifndef KEMA_VERSION
#define KEMA_VERSION "1.2"
#endif

namespace kema {

namespace {

bool Parse_Trace_Level(const std::string& text, int& level) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != 0 || errno != 0 || v < 0 || v > 127) return false;
  level = static_cast<int>(v);
  return true;
}

bool Known_Command(const std::string& c) {
  return c == "formats" || c == "info" || c == "header" || c == "raw" || c == "convert" || c == "scan";
}

// Options that apply to one command only.
bool Check_Command_Options(Options& opt, std::string& error) {
  if (opt.json && opt.command != "info" && opt.command != "formats" && opt.command != "convert")
    error = "--json belongs to the info, formats and convert commands";
  else if ((!opt.to.empty() || !opt.name.empty() || opt.no_gzip) && opt.command != "convert")
    error = "--to, --name and --no-gzip belong to the convert command";
  else if (!opt.to.empty() && opt.to != "nifti" && opt.to != "dicom") error = "--to takes nifti or dicom";
  else if (opt.command == "convert" && opt.files.empty()) error = "convert: no file or folder given";
  else if (opt.raw && opt.command != "header") error = "--raw belongs to the header command";
  else if (opt.frames && opt.command != "info") error = "--frames belongs to the info command";
  else if (!opt.output.empty() && opt.command != "raw" && opt.command != "convert")
    error = "-o belongs to the raw and convert commands";
  else if ((!opt.db.empty() || opt.jsonl || opt.pixels || opt.jobs || opt.batch) && opt.command != "scan")
    error = "--db, --jsonl, --pixels, --batch and -j belong to the scan command";
  else if (opt.command == "scan" && opt.files.empty()) error = "scan: no folder given";
  else if (opt.command == "scan" && opt.db.empty() == !opt.jsonl) error = "scan: give --db FILE or --jsonl";
  else if (opt.command == "formats" && !opt.files.empty()) error = "formats takes no file";
  else if (opt.format && opt.command != "info" && opt.command != "header" && opt.command != "raw")
    error = "--format belongs to the info, header and raw commands";
  else if ((opt.command == "info" || opt.command == "header") && opt.files.empty()) error = opt.command + ": no file given";
  else if (opt.command == "raw" && opt.files.size() != 1) error = "raw: give exactly one file";
  else if (opt.command == "raw" && opt.output.empty()) error = "raw: no output given (-o OUT)";
  return error.empty();
}

}  // namespace

void Print_Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: kema [-v] [-t LEVEL] COMMAND [OPTIONS] [FILE...]\n"
               "\n"
               "Reads medical image files (DICOM, GE Genesis and other scanner formats)\n"
               "with the Kemascopia conversion library.\n"
               "\n"
               "commands:\n"
               "  formats [--json]        list every format code with its name, and whether\n"
               "                          it has a reader (--json: one JSON array)\n"
               "  info [--json] FILE...   one line per file: format, dimensions, pixel type,\n"
               "                          modality, patient, numbers, stored range\n"
               "                          (--json: one JSON object per line; --frames: one\n"
               "                          per image, as the viewer splits the file)\n"
               "  header [--raw] FILE...  list each file's header as its reader decodes it\n"
               "                          (--raw keeps the message list's formatting bytes)\n"
               "  raw FILE -o OUT         write the pixels as read into memory to OUT\n"
               "                          (OUT '-' is standard output)\n"
               "  convert [--to nifti|dicom] [-o DIR] [--name PATTERN] [--no-gzip] [--json]\n"
               "          FILE|FOLDER...  group the images into series and write each as a\n"
               "                          NIfTI-1 volume (.nii.gz, .nii with --no-gzip, and a\n"
               "                          .json sidecar) or as DICOM files in a folder; one\n"
               "                          line per series (--json: one JSON object per line).\n"
               "                          PATTERN fields: {patient} {id} {study} {series}\n"
               "                          {modality} {description}\n"
               "  scan DIR... --db FILE   index every file under the folders into an SQLite\n"
               "                          file, reading headers on all cores or on -j N\n"
               "                          readers; a second run reads only new and changed\n"
               "                          files and marks vanished ones; an interrupted run\n"
               "                          carries on when started again (--batch N: files\n"
               "                          per transaction, at most N lost when killed)\n"
               "  scan DIR... --jsonl     the same as JSON lines on standard output\n"
               "                          (with --pixels the pixels are read too, for the\n"
               "                          value range)\n"
               "\n"
               "options:\n"
               "  --format N   read every file as format code N instead of detecting it\n"
               "               (info, header, raw; e.g. 30 for SIEMENS NUMARIS 1 files)\n"
               "  -t LEVEL     trace level 0..5: more and more trace lines on standard error\n"
               "  -v           trace level 5\n"
               "  -h, --help   show this text\n"
               "  --version    show the version\n"
               "\n"
               "Exit status: 0 every file read (and every series written), 1 some file not\n"
               "read, some series not written or a scan interrupted, 2 usage error.\n");
}

bool Parse_Command_Line(int argc, char** argv, Options& opt, std::string& error) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool is_option = !options_done && a.size() > 1 && a[0] == '-';
    if (!is_option) {
      if (opt.command.empty()) {
        if (!Known_Command(a)) {
          error = "unknown command (" + a + ")";
          return false;
        }
        opt.command = a;
      } else {
        opt.files.push_back(a);
      }
      continue;
    }
    if (a == "--") {
      options_done = true;
    } else if (a == "-h" || a == "--help") {
      opt.help = true;
    } else if (a == "--version") {
      opt.version = true;
    } else if (a == "-v" || a == "-V") {
      opt.trace_level = 5;
    } else if (a == "-t" || a == "-T") {
      if (i + 1 >= argc || !Parse_Trace_Level(argv[i + 1], opt.trace_level)) {
        error = "-t needs a trace level (0..5)";
        return false;
      }
      ++i;
    } else if ((a[1] == 't' || a[1] == 'T') && a.size() > 2 && std::isdigit(static_cast<unsigned char>(a[2]))) {
      if (!Parse_Trace_Level(a.substr(2), opt.trace_level)) {
        error = "-t needs a trace level (0..5)";
        return false;
      }
    } else if (a == "--json") {
      opt.json = true;
    } else if (a == "--db") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        error = "--db needs a file name";
        return false;
      }
      opt.db = argv[++i];
    } else if (a == "--batch") {
      char* end = nullptr;
      const long v = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
      if (i + 1 >= argc || *end != 0 || v < 1 || v > 1000000) {
        error = "--batch needs a number of files (1..1000000)";
        return false;
      }
      opt.batch = static_cast<int>(v);
      ++i;
    } else if (a == "--jsonl") {
      opt.jsonl = true;
    } else if (a == "--pixels") {
      opt.pixels = true;
    } else if (a == "-j" || (a.size() > 2 && a[0] == '-' && a[1] == 'j' && std::isdigit(static_cast<unsigned char>(a[2])))) {
      const std::string n = a.size() > 2 ? a.substr(2) : (i + 1 < argc ? argv[++i] : "");
      char* end = nullptr;
      const long v = n.empty() ? 0 : std::strtol(n.c_str(), &end, 10);
      if (n.empty() || *end != 0 || v < 1 || v > 256) {
        error = "-j needs a number of readers (1..256)";
        return false;
      }
      opt.jobs = static_cast<int>(v);
    } else if (a == "--frames") {
      opt.frames = true;
    } else if (a == "--to" || a == "--name") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        error = a + " needs a value";
        return false;
      }
      (a == "--to" ? opt.to : opt.name) = argv[++i];
    } else if (a == "--no-gzip") {
      opt.no_gzip = true;
    } else if (a == "--raw") {
      opt.raw = true;
    } else if (a == "--format") {
      // A code that names a format with a reader: for files no signature finds.
      int code = 0;
      if (i + 1 >= argc || std::sscanf(argv[i + 1], "%d", &code) != 1 || code < 2 || code > 255 ||
          std::string(Image_Format_Name(static_cast<uint16_t>(code))) == "?") {
        error = "--format needs a format code (see kema formats)";
        return false;
      }
      opt.format = static_cast<uint16_t>(code);
      ++i;
    } else if (a == "-o" || a == "--output") {
      if (i + 1 >= argc || argv[i + 1][0] == 0) {
        error = a + " needs a file name";
        return false;
      }
      opt.output = argv[++i];
    } else {
      error = "unknown argument (" + a + ")";
      return false;
    }
  }
  if (opt.help || opt.version) return true;
  if (opt.command.empty()) {
    error = "no command given";
    return false;
  }
  return Check_Command_Options(opt, error);
}

}  // namespace kema

int main(int argc, char** argv) {
  using namespace kema;
  // Files are read one after another: buffers freed after one file are
  // kept for the next instead of being handed back to the system and
  // faulted in (and zeroed) again. Blocks of 32 MiB and more still come
  // from and go back to the system at once.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  Options opt;
  std::string error;
  if (!Parse_Command_Line(argc, argv, opt, error)) {
    std::fprintf(stderr, "kema: %s\n\n", error.c_str());
    Print_Usage(stderr);
    return kExitUsage;
  }
  if (opt.help) {
    Print_Usage(stdout);
    return kExitOk;
  }
  if (opt.version) {
    std::printf("kema %s (%s %s)\n", KEMA_VERSION, kKemaProduct, kKemaVersion);
    return kExitOk;
  }

  Log_Set_Trace_File("Kemascopia_trace.dat");
  Log_Set_Trace_Level(opt.trace_level);
  Log_Set_Console(stderr);
  Log_Install_Sink();
  if (opt.trace_level != 0) Log_Trace_Header();

  if (opt.command == "formats") return Command_Formats(opt);
  if (opt.command == "info") return Command_Info(opt);
  if (opt.command == "header") return Command_Header(opt);
  if (opt.command == "convert") return Command_Convert(opt);
  if (opt.command == "scan") return Command_Scan(opt);
  return Command_Raw(opt);
}
