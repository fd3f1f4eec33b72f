// kema convert: files and folders in, one NIfTI volume or one folder of
// DICOM files per series out.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli/kema.h"
#include "export/export.h"
#include "export/export_info.h"

namespace kema {

namespace {

void Print_Result(const Options& opt, const Series& s, const ExportResult& r, const std::string& name) {
  if (opt.json) {
    Json j;
    j["series"] = name;
    j["ok"] = r.ok;
    j["output"] = Output_Text(r.output, false);
    if (!r.sidecar.empty()) j["sidecar"] = Output_Text(r.sidecar, false);
    j["images"] = s.images.size();
    j["slices"] = s.nz;
    j["volumes"] = s.nt;
    j["slice_step"] = s.spacing;
    j["tilted"] = s.tilted;
    j["geometry"] = s.geometry;
    Json files = Json::array();
    for (const std::string& f : s.files) files.push_back(Output_Text(f, false));
    j["source_files"] = files;
    j["warnings"] = r.ok ? r.warnings : s.warnings;
    std::printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    return;
  }
  std::string line = r.ok ? Output_Text(r.output, false) : "FAILED " + name;
  char buf[128];
  std::snprintf(buf, sizeof buf, ": %zu images, %d slice%s x %d volume%s, step %.4g mm", s.images.size(), s.nz,
                s.nz == 1 ? "" : "s", s.nt, s.nt == 1 ? "" : "s", s.spacing);
  line += buf;
  for (const std::string& w : r.ok ? r.warnings : s.warnings) line += "; WARNING: " + w;
  std::printf("%s\n", line.c_str());
}

}  // namespace

int Command_Convert(const Options& opt) {
  ExportOptions eo;
  eo.target = opt.to == "dicom" ? ExportTarget::Dicom : ExportTarget::Nifti;
  if (!opt.output.empty()) eo.out_dir = opt.output;
  if (!opt.name.empty()) eo.name_pattern = opt.name;
  eo.gzip = !opt.no_gzip;
  const LogHandle log = Log_Get_Handle();

  std::error_code ec;
  std::filesystem::create_directories(eo.out_dir, ec);
  if (ec || !std::filesystem::is_directory(eo.out_dir, ec)) {
    Export_Error(log, "cannot make the output folder " + eo.out_dir);
    return kExitFailed;
  }

  std::vector<ExportImage> images;
  CollectCounts counts;
  Export_Collect(log, opt.files, images, counts);
  int status = counts.failed ? kExitFailed : kExitOk;
  if (images.empty()) {
    Export_Error(log, "no image to convert");
    return kExitFailed;
  }
  std::vector<Series> all = Export_Group(log, std::move(images));
  std::vector<std::string> taken;
  for (Series& s : all) {
    const std::string name = Export_Name(s, eo.name_pattern, taken);
    const std::string base = (std::filesystem::path(eo.out_dir) / name).string();
    ExportResult r;
    if (!s.failed) {
      if (eo.target == ExportTarget::Nifti) Export_Nifti(log, s, base, eo.gzip, r);
      else Export_Dicom(log, s, base, r);
    }
    for (const std::string& w : r.ok ? r.warnings : s.warnings) Export_Warning(log, name + ": " + w);
    if (!r.ok) status = kExitFailed;
    Print_Result(opt, s, r, name);
    std::fflush(stdout);
    // Written series give their pixels back before the next one.
    s.images.clear();
  }
  return status;
}

}  // namespace kema
