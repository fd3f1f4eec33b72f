// kema formats: the format table, code, name and whether a reader reads it,
// from the reader registry.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "Convert/conv_format_registry.h"
#include "cli/kema.h"

namespace kema {

int Command_Formats(const Options& opt) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (unsigned code = 1; code <= 0xFFFF; ++code) {
    const FormatRow* row = Format_Row(static_cast<uint16_t>(code));
    if (!row) continue;
    const bool reader = row->header != nullptr;
    if (opt.json)
      list.push_back({{"code", code}, {"name", row->name}, {"reader", reader}});
    else
      std::printf("%3u  %-28s %s\n", code, row->name, reader ? "reader" : "no reader");
  }
  if (opt.json) std::printf("%s\n", list.dump().c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace kema
