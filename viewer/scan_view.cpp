#include "viewer/scan_view.h"

#include <cstdlib>
#include <memory>

#include "log/log.h"
#include "platform/window.h"
#include "viewer/scan_log.h"
#include "viewer/scan_proc_tools.h"

ViewArgs Scan_View_Parse(const std::vector<std::string>& args) {
  ViewArgs a;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& t = args[i];
    if (t.empty() || t[0] != '-') continue;
    const char c = t.size() > 1 ? t[1] : '\0';
    if (c == 't' || c == 'T') {
      // "-t" with nothing after it traces as "-v" does.
      a.trace_level = i + 1 < args.size() ? std::atoi(args[i + 1].c_str()) : 5;
    } else if (c == 'v' || c == 'V') {
      a.trace_level = 5;
    } else if (a.unknown.empty()) {
      a.unknown = t;
    }
  }
  // The files: options are skipped, and the value after "-t" with them;
  // after "-T" the next token is a file name.
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& t = args[i];
    if (t.empty()) continue;
    if (t[0] == '-') {
      if (t == "-t") ++i;
      continue;
    }
    a.files.push_back(t);
  }
  return a;
}

void Scan_View_Usage(FILE* err, FILE* out, const std::string& token) {
  std::fprintf(err, "unknown argument (%s)\n", token.c_str());
  std::fprintf(out, "\n");
  std::fprintf(out, " ----- ----- %s (version: %s) ----- ----- \n", kKemaProduct, kKemaVersion);
  std::fprintf(out, "\n");
  std::fprintf(out, "\n --- usage: ---\n");
  std::fprintf(out, " %s [-v] [-t val]", kKemaProduct);
  std::fprintf(out, "\n\n");
  std::fflush(out);
}

int Scan_View_Main(int argc, char** argv) {
  Log_Set_Trace_File("Kemascopia_trace.dat");
  Log_Set_Trace_Level(0);
  const ViewArgs args = Scan_View_Parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!args.unknown.empty()) {
    Scan_View_Usage(stderr, stdout, args.unknown);
    return 2;
  }
  Log_Set_Trace_Level(args.trace_level);
  if (args.trace_level != 0) std::setvbuf(stdout, nullptr, _IONBF, 0);

  platform::App app(argc, argv);
  auto panel = std::make_unique<Panel>(args.files);
  // The sink is in place before the panel loads the command line, so the
  // reading messages reach the message list too.
  Log_Set_Handle(static_cast<platform::Window*>(panel.get()));
  Log_Set_Sink(Log_Viewer_Sink);
  if (args.trace_level != 0) Log_Trace_Header();
  if (!panel->Open()) {
    Log_Set_Sink(nullptr);
    Log_Print(nullptr, 12, "file:%s line:%d", "scan_view", 243);
    Log_Print(nullptr, 12, "in CreateWindow()");
    Log_Print(nullptr, 12, "%s", System_Error_Text(0));
    return 0;
  }
  const int code = app.run();
  Log_Set_Sink(nullptr);
  Log_Set_Handle(nullptr);
  panel.reset();
  return code;
}
