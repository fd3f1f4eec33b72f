// The program entry: the options, the usage text, the panel and the loop.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct ViewArgs {
  int trace_level = 0;
  std::vector<std::string> files;  // what the panel loads, in order
  std::string unknown;             // the first unknown option; empty: none
};

// Reads the arguments after the program name.
ViewArgs Scan_View_Parse(const std::vector<std::string>& args);
// The usage text for an unknown option (to `err` the complaint, to `out` the rest).
void Scan_View_Usage(FILE* err, FILE* out, const std::string& token);
int Scan_View_Main(int argc, char** argv);
