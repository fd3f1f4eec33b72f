#include "viewer/scan_log.h"

#include <cstdio>
#include <string>

namespace {

Text* g_list = nullptr;

// Four blanks for each trace level above 6.
std::string Indent(int level) { return std::string(level > 6 ? 4 * static_cast<size_t>(level - 6) : 0, ' '); }

}  // namespace

void Log_Viewer_Set_List(Text* list) { g_list = list; }

int Log_Viewer_Sink(LogHandle handle, int level, const char* text) {
  if (level >= 11 || level <= 0) return 1;
  const std::string clean = Log_Clean_Text(text);
  auto* owner = static_cast<platform::Window*>(handle);
  if (level == 3) return platform::Ask_Yes_No(owner, "SCSI Test", clean) ? 1 : 0;
  std::string trace;  // the trace file's line for this message
  switch (level) {
    case 1:
      platform::Error_Box(owner, clean);
      [[fallthrough]];
    case 2:
      if (level == 2 && g_list) g_list->Write_Text(text);
      std::printf("WARNING: %s \n", clean.c_str());
      trace = "WARNING: " + clean + "\n";
      break;
    case 4:
      if (g_list) g_list->Write_Text(text);
      std::printf("REPORT b: %s \n", clean.c_str());
      trace = "REPORT: " + clean + "\n";
      break;
    case 5:
      std::printf("AUDIT:   %s \n", clean.c_str());
      trace = "AUDIT:   " + clean + "\n";
      break;
    default:  // 6 to 10: trace lines, indented by depth, without a prefix
      std::printf("%s%s \n", Indent(level).c_str(), clean.c_str());
      trace = Indent(level) + clean + "\n";
      break;
  }
  std::fflush(stdout);
  Log_Trace_Write(trace);
  return 1;
}
