// kema: the command-line tool over the conversion library. Shared pieces of
// the commands: options, the log sink, the text repair for output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "export/export_text.h"

struct ImageHeader;

namespace kema {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some file could not be read
inline constexpr int kExitUsage = 2;

struct Options {
  std::string command;
  std::vector<std::string> files;
  int trace_level = 0;
  bool json = false;    // info --json
  bool frames = false;  // info --frames
  bool raw = false;     // header --raw
  std::string output;   // raw -o, convert -o
  std::string to;       // convert --to
  std::string name;     // convert --name
  bool no_gzip = false; // convert --no-gzip
  uint16_t format = 0;  // --format: read as this code instead of detecting
  std::string db;       // scan --db
  bool jsonl = false;   // scan --jsonl
  bool pixels = false;  // scan --pixels
  int jobs = 0;         // scan -j (0: one reader per core)
  int batch = 0;        // scan --batch: files per transaction (0: the default)
  bool help = false;
  bool version = false;
};

// Parses argv; on a usage error returns false with the reason in `error`.
bool Parse_Command_Line(int argc, char** argv, Options& opt, std::string& error);
void Print_Usage(std::FILE* stream);

int Command_Formats(const Options& opt);
int Command_Info(const Options& opt);
int Command_Header(const Options& opt);
int Command_Raw(const Options& opt);
int Command_Convert(const Options& opt);
int Command_Scan(const Options& opt);

// ---- reading a file (kema_read.cpp) ----

struct ReadResult {
  std::string file;
  uint16_t format = 0;                // what detection said
  std::unique_ptr<ImageHeader> ima;   // null when the file was not read
  std::string error;                  // its first error line, when not read
  int frame = -1;                     // info --frames: the image index in the file
  ReadResult();
  ReadResult(ReadResult&&) noexcept;
  ~ReadResult();
};

// Reads a file the way the viewer's image list does (open check, detection,
// header, pixels) without listing its header; failures are logged and the
// first error line kept.
ReadResult Read_File(const std::string& file, uint16_t format = 0);

// ---- log (kema_log.cpp) ----

// Installs the tool's sink: every admitted message goes to standard error in
// the built-in writer's line forms; level 2 "ERROR" lines are remembered;
// reports (level 4, where the readers list headers) go to standard output
// while Log_Listing_To_Stdout is on.
void Log_Install_Sink();
void Log_Listing_To_Stdout(bool on, bool raw);
// Forgets the remembered error: called before each file.
void Log_Error_Reset();
// The first error of the current file, cleaned for output; empty if none.
std::string Log_First_Error();

// Level-2 lines of the image list for a file that cannot be opened; false
// when it cannot. Run before detection so that a missing file reads as such.
bool Check_Openable(const std::string& file);

}  // namespace kema
