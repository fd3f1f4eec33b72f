#include "Convert/formats/local_Bruker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "Convert/conv_header_text.h"
#include "Convert/conv_string.h"
#include "Convert/byte_source.h"
#include "Convert/formats/text_header.h"

namespace {

constexpr size_t kMaxLine = 1024;
constexpr uint64_t kFileCap = uint64_t{4} << 20;  // one parameter file
constexpr size_t kValueCap = 64 * 1024;            // one value with its continuation lines
constexpr const char* kFormat = "Bruker";

// What is finished once every file is read.
struct State {
  bool dir_n = false, dir_h = false;
  bool slice_offset_given = false;
  double slice_offset = 0.0;
};

// One parameter: "##$KEY=VALUE" and the lines that continue it. An array
// value "( sizes )" has its contents in `data`.
struct Param {
  std::string key;
  std::string value;
  std::string data;
  bool array = false;
  bool truncated = false;
  // The text the value stands for: the array contents, or the value.
  std::string_view Body() const { return array ? std::string_view(data) : std::string_view(value); }
};

// Quotes and angle brackets removed, then round brackets and blanks at both ends.
std::string Clean(std::string_view s) {
  std::string r;
  r.reserve(s.size());
  for (char c : s)
    if (c != '<' && c != '>' && c != '"') r.push_back(c);
  String_Trim_Brackets(r);
  return Field_Text(r);
}

int Numbers(const Param& p, double* out, int n) { return Parse_Numbers(p.Body(), out, n); }
double First(const Param& p) {
  double v = 0.0;
  Numbers(p, &v, 1);
  return v;
}
float F(double v) { return static_cast<float>(std::clamp(v, -3.0e38, 3.0e38)); }
uint16_t U16(double v) { return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0)); }
int32_t I32(double v) { return static_cast<int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0)); }

bool Dim(const ReadContext& ctx, std::string_view key, double v, uint16_t& dim) {
  return Set_Dimension(ctx, kFormat, key, static_cast<long long>(std::clamp(v, -1.0, 1e6)), dim);
}

bool Starts(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Sample type of a d3proc DATTYPE: the ParaVision names, or this reader's
// own numeric codes (docs/formats/bruker.md).
bool Dattype(const ReadContext& ctx, ImageHeader& ima, std::string_view v) {
  const std::string t = Clean(v);
  int bits = 0, sign = 0;
  if (t == "ip_char" || t == "1") bits = 8;
  else if (t == "ip_short" || t == "2") bits = 16, sign = 1;
  else if (t == "ip_int" || t == "3") bits = 32, sign = 1;
  if (bits == 0) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 Unrecognized value for DATTYPE (=%d) !\xF0",
              static_cast<int>(std::clamp<long long>(Parse_Int(t), INT32_MIN, INT32_MAX)));
    return false;
  }
  ima.g2.pix_store = ima.g2.pix_bits = static_cast<uint16_t>(bits);
  ima.g2.pix_sign = static_cast<uint8_t>(sign);
  ima.g2.pix_high = static_cast<uint8_t>(bits - 1);
  ima.g2.pix_plane = 1;
  return true;
}

bool Apply(const ReadContext& ctx, ImageHeader& ima, State& st, const Param& p) {
  auto& g1 = ima.g1;
  auto& g3 = ima.g3;
  auto& g4 = ima.g4;
  auto& mr = g4.mr;
  const std::string k = Lower(p.key);
  double v[16] = {};
  const double first = First(p);

  if (k == "subject_id") g3.patient_ID = Clean(p.Body());
  else if (k == "subject_name_string") g3.patient_name = Clean(p.Body());
  else if (k == "subject_dbirth") {
    if (Numbers(p, v, 3) == 3) g3.birth_date = {U16(v[0]), U16(v[1]), U16(v[2])};
  } else if (k == "subject_sex") {
    const std::string s = Clean(p.Body());
    g3.patient_sex = s.empty() ? 0 : s[0];
  } else if (k == "subject_study_name" || k == "imnd_method_display_name") g1.study_comment = Clean(p.Body());
  else if (k == "subject_entry") {
    const std::string s = Clean(p.Body());
    if (s == "SUBJ_ENTRY_FeetFirst") g3.patient_entry = 0x20;
    if (s == "SUBJ_ENTRY_HeadFirst") g3.patient_entry = 0x10;
  } else if (k == "subject_position") {
    const std::string s = Clean(p.Body());
    if (s == "SUBJ_POS_Prone") g3.patient_position = 2;
    if (s == "SUBJ_POS_Supine") g3.patient_position = 1;
  } else if (k == "subject_abs_date") g1.study_time = I32(first);
  else if (k == "owner") g3.physician_name = Clean(p.Body());
  else if (k == "imnd_matrix_eq") {
    if (ima.dim_x == 0) {
      if (!Dim(ctx, p.key, first, ima.dim_x)) return false;
      ima.dim_y = ima.dim_x;
    }
  } else if (k == "imnd_matrix") {
    const int n = Numbers(p, v, 3);
    uint16_t* dims[3] = {&ima.dim_x, &ima.dim_y, &ima.dim_z};
    for (int i = 0; i < n; ++i)
      if (*dims[i] == 0) {
        if (!Dim(ctx, p.key, v[i], *dims[i])) return false;
      }
  } else if (k == "imnd_total_time") {
    if (Numbers(p, v, 3) == 3) g4.scan_time = F(v[0] * 3600 + v[1] * 60 + v[2]);
  } else if (k == "imnd_echo_time") mr.echo_time = F(first);
  else if (k == "imnd_pulse_length") mr.echo_train = U16(std::round(first));
  else if (k == "imndq_recov_time") mr.repetition_time = F(first);
  else if (k == "acq_inversion_time") mr.inversion_time = F(first);
  else if (k == "imnd_n_averages") mr.averages = F(first);
  else if (k == "imnd_n_echo_images") mr.phase_steps = U16(first);
  else if (k == "imnd_n_echoes") mr.echo_number = U16(first);
  else if (k == "imnd_contrast_agent") {
    if (!Starts(Clean(p.Body()), "No")) g4.contrast = 1;
  } else if (k == "imnd_nucleus" || k == "imnd_nuc1" || k == "nucleus") mr.imaging_nucleus = Clean(p.Body());
  else if (k == "imnd_bf1") mr.imaging_frequency = F(first);
  else if (k == "imnd_slice_thick") g1.pix_size[2] = F(first);
  else if (k == "imnd_slice_gap" || k == "acq_slice_gap" || k == "imnd_slice_sepn" || k == "acq_slice_sepn")
    g1.pix_dim[2] = F(first);
  else if (k == "imnd_slice_offset") g1.position[2] = F(first);
  else if (k == "imnd_fov_eq" || k == "imnd_fov") {
    const int n = Numbers(p, v, 2);
    g1.fov[0] = F(v[0] * 10);
    g1.fov[1] = F((n >= 2 ? v[1] : v[0]) * 10);
  } else if (k == "imnd_slicepack_vector") {
    Numbers(p, v, 3);
    g1.dir_n = {F(v[0]), F(v[1]), F(v[2]), 0.0f};
    st.dir_n = true;
  } else if (k == "imnd_read_vector") {
    Numbers(p, v, 3);
    g1.dir_h = {F(v[0]), F(v[1]), F(v[2]), 0.0f};
    st.dir_h = true;
  } else if (k == "imnd_slice_orient") {
    const std::string s = Clean(p.Body());
    static constexpr std::pair<const char*, uint16_t> kPlanes[] = {
        {"Transverse", 1}, {"Coronal", 3}, {"Sagital", 2}, {"Sagittal", 2}, {"Arbitrary", 4}};
    static constexpr std::pair<const char*, int16_t> kDirections[] = {
        {"Left", 1}, {"Right", 2}, {"Posterior", 3}, {"Anterior", 4}, {"Head", 5}, {"Foot", 6}};
    for (auto [name, type] : kPlanes)
      if (Starts(s, name)) {
        ima.image_type = type;
        const std::string_view rest = Trim_View(std::string_view(s).substr(std::strlen(name)), " _\t");
        for (auto [dir, code] : kDirections)
          if (Starts(rest, dir)) g1.orient_v = code;
        break;
      }
  } else if (k == "acq_scan_name") {
    if (g1.series_comment.empty()) g1.series_comment = Clean(p.Body());
  } else if (k == "acq_scan_time") g4.scan_time = F(first);
  else if (k == "acq_transmitter_coil") mr.transmitting_coil = Clean(p.Body());
  else if (k == "acq_receiver_coil") mr.receiving_coil = Clean(p.Body());
  else if (k == "acq_contrast_agent") {
    const std::string s = Clean(p.Body());
    if (s != "No" && s != "no") {
      g4.contrast = 1;
      if (g4.contrast_IV.empty()) g4.contrast_IV = s;
    }
  } else if (k == "acq_abs_time") g1.series_time = I32(first);
  else if (k == "acq_operator") g3.radiologist_name = Clean(p.Body());
  else if (k == "acq_institution") g3.hospital_name = Clean(p.Body());
  else if (k == "acq_station") g4.station = Clean(p.Body());
  else if (k == "acq_slice_offset") {
    st.slice_offset = first;
    st.slice_offset_given = true;
  } else if (k == "blip_epi") ima.g2.pix_swap = 1;
  else if (k == "gs_image_type") g1.image_comment = Clean(p.Body());
  else if (k == "reco_wordtype") {
    const std::string s = Clean(p.Body());
    int bits = 0, sign = 1;
    if (s.find("32BIT_SGN_INT") != std::string::npos) bits = 32;
    else if (s.find("16BIT_SGN_INT") != std::string::npos) bits = 16;
    else if (s.find("8BIT_UNSGN_INT") != std::string::npos) bits = 8, sign = 0;
    if (bits) {
      ima.g2.pix_store = ima.g2.pix_bits = static_cast<uint16_t>(bits);
      ima.g2.pix_sign = static_cast<uint8_t>(sign);
      ima.g2.pix_high = static_cast<uint8_t>(bits - 1);
      ima.g2.pix_plane = 1;
    }
  } else if (k == "reco_size") {
    const int n = Numbers(p, v, 3);
    uint16_t* dims[3] = {&ima.dim_x, &ima.dim_y, &ima.dim_z};
    for (int i = 0; i < n; ++i)
      if (!Dim(ctx, p.key, v[i], *dims[i])) return false;
  } else if (k == "reco_fov") {
    const int n = Numbers(p, v, 3);
    for (int i = 0; i < n; ++i) g1.fov[i] = F(v[i] * 10);
  } else if (k == "reco_byte_order") {
    ima.g2.pix_swap = Clean(p.Body()) == "bigEndian" ? 1 : 0;
    ima.flags |= kFlagNoCoherence;  // stated: no guessing
  } else if (k == "reco_abs_time") {
    g1.series_time = g1.image_time = I32(first);
  } else if (k == "im_six") return Dim(ctx, p.key, first, ima.dim_x);
  else if (k == "im_siy") return Dim(ctx, p.key, first, ima.dim_y);
  else if (k == "im_siz") return Dim(ctx, p.key, first, ima.dim_z);
  else if (k == "im_sit") return Dim(ctx, p.key, first, ima.dim_t);
  else if (k == "dattype") return Dattype(ctx, ima, p.Body());
  else if (k == "pr_sta") {
    // "%f %f %f %f %*d ... %d": the field of view in centimetres, then the
    // byte order last (1 big-endian).
    const int n = Numbers(p, v, 16);
    if (n >= 3)
      for (int i = 0; i < 3; ++i) g1.fov[i] = F(v[i] * 10);
    if (n == 16) {
      ima.g2.pix_swap = v[15] == 1 ? 1 : 0;
      ima.flags |= kFlagNoCoherence;
    }
  } else if (k == "nc_proc") {
    ima.g2.rescale_slope = std::ldexp(1.0f, static_cast<int>(std::clamp(first, -126.0, 127.0)));
  }
  return true;
}

void Show(const ReadContext& ctx, const Param& p) {
  if (!ctx.Text_Level()) return;
  std::string shown = p.array ? p.value + " " + p.data : p.value;
  if (shown.size() > 200) shown = shown.substr(0, 200) + " ...";
  Text_Key_Value(ctx, p.key, 25, " : ", "", shown);
}

// One parameter file; false after a logged error.
int Bruker_Read_Header_2(const ReadContext& ctx, TextLineReader& lines, const char* file, ImageHeader& ima, State& st) {
  Log_Print(ctx, 9, "in Bruker_Read_Header_2()");
  Param p;
  bool open = false;
  auto flush = [&]() {
    if (!open) return true;
    open = false;
    Show(ctx, p);
    return p.key.empty() ? true : Apply(ctx, ima, st, p);
  };
  for (;;) {
    std::string_view line;
    const TextLineReader::Status status = lines.Next(line);
    if (status == TextLineReader::Status::End || status == TextLineReader::Status::Stop) break;
    if (status == TextLineReader::Status::TooLong) {
      Text_Error(ctx, file, "line to long (>%zu) in Bruker parameter file (line %d)", kMaxLine, lines.Line_Number());
      return 0;
    }
    if (status == TextLineReader::Status::TooBig) {
      Text_Error(ctx, file, "Bruker parameter file longer than %llu bytes", static_cast<unsigned long long>(kFileCap));
      return 0;
    }
    if (status != TextLineReader::Status::Line) return 0;
    if (Starts(line, "##") || Starts(line, "$$")) {
      if (!flush()) return 0;
      if (Starts(line, "$$")) continue;
      const bool param = Starts(line, "##$");
      const std::string_view body = line.substr(param ? 3 : 2);
      const size_t eq = body.find('=');
      p = Param{};
      open = true;
      const std::string_view key = body.substr(0, eq);
      const std::string_view value = eq == std::string_view::npos ? std::string_view{} : Trim_View(body.substr(eq + 1));
      if (!param) {
        // ##TITLE, ##JCAMPDX, ##END...: shown, never a field.
        p.value = std::string(value);
        Text_Key_Value(ctx, key, 25, " : ", "", value);
        open = false;
        continue;
      }
      p.key = std::string(Trim_View(key));
      if (!value.empty() && value.front() == '(') {
        // "( 3, 64 )": the sizes; the contents follow.
        const size_t close = value.find(')');
        p.array = true;
        p.value = std::string(value.substr(0, close == std::string_view::npos ? value.size() : close + 1));
        if (close != std::string_view::npos) p.data = std::string(Trim_View(value.substr(close + 1)));
      } else {
        p.value = std::string(value);
      }
      continue;
    }
    if (!open) continue;
    std::string& target = p.array ? p.data : p.value;
    if (target.size() + line.size() + 1 > kValueCap) {
      p.truncated = true;
      continue;
    }
    if (!target.empty()) target.push_back(' ');
    target.append(line);
  }
  return flush() ? 1 : 0;
}

struct ParamFile {
  const char* name;
  const char* title;
  const char* up;
  bool required;
};
constexpr ParamFile kFiles[] = {
    {"reco", "RECO", "", true},          {"d3proc", "D3PROC", "", true},  {"procs", "PROCS", "", true},
    {"imnd", "IMND", "../../", false},   {"acqp", "ACQP", "../../", true}, {"subject", "Subject", "../../../", false},
};

int Parse(const ReadContext& ctx, const ByteSource& src, const char* title, const char* file, ImageHeader& ima, State& st) {
  char text[96];
  std::snprintf(text, sizeof text, "----- ----- Bruker \"%s\" Header ----- -----", title);
  Text_Title(ctx, text);
  TextLineReader lines(ctx, src, 0, kMaxLine, TextLineReader::kReplaceNonText, kFileCap);
  return Bruker_Read_Header_2(ctx, lines, file, ima, st);
}

void Finish_Geometry(ImageHeader& ima, const State& st) {
  auto& g1 = ima.g1;
  if (st.dir_n && st.dir_h) {
    const Vec4& n = g1.dir_n;
    const Vec4& h = g1.dir_h;
    g1.dir_v = {n[1] * h[2] - n[2] * h[1], n[2] * h[0] - n[0] * h[2], n[0] * h[1] - n[1] * h[0], 0.0f};
    ima.flags |= kFlagDirValid;
  }
  if (st.slice_offset_given) {
    const float o = F(st.slice_offset);
    if (st.dir_n)
      for (int k = 0; k < 3; ++k) g1.position[k] = o * g1.dir_n[k];
    else
      g1.position[2] = o;
  }
}

}  // namespace

int Bruker_Read_Header(const ReadContext& ctx, ImageHeader& ima) {
  Log_Print(ctx, 8, "in Bruker_Read_Header()");
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_swap = 0;
  ima.modality = kModalityMR;
  ima.g4.manufacturer = "Bruker";
  State st;
  if (ima.input_type == 2) {
    // A memory block is one parameter file: list it, then say why no more.
    auto src = ByteSource::From_Memory(ima.stream, "memory stream");
    if (!Parse(ctx, *src, "memory", "memory stream", ima, st)) return 0;
    Text_Line(ctx, "----- ----- ----- -----");
    Text_Error(ctx, nullptr, "a Bruker study is several files (reco, d3proc, procs, acqp, 2dseq): "
               "a memory block cannot reach them, open the file");
    return 0;
  }
  // The record's dimensions are set by the parameter files alone.
  ima.dim_z = 0;
  ima.dim_t = 0;
  for (const ParamFile& f : kFiles) {
    const std::string name = ima.path + f.up + f.name;
    std::unique_ptr<ByteSource> src = ByteSource::Open_File(name);
    if (!src) {
      if (!f.required) {
        Log_Print(ctx, 8, "--> no %s file (%s)", f.name, name.c_str());
        continue;
      }
      Text_Error(ctx, name.c_str(), "missing files \"d3proc\", \"procs\", \"reco\" or \"acq\"");
      return 0;
    }
    if (!Parse(ctx, *src, f.title, name.c_str(), ima, st)) return 0;
  }
  Text_Line(ctx, "----- ----- ----- -----");
  if (ima.dim_z == 0) ima.dim_z = 1;
  if (ima.dim_t == 0) ima.dim_t = 1;
  Finish_Geometry(ima, st);

  ima.file_data = ima.path + "2dseq";
  if (!File_Exists(ima.file_data.c_str())) {
    Log_Print(ctx, 2, "\xF1\x04" "ERROR:\x01 missing file \"2dseq\"\xF0");
    Log_Print(ctx, 2, "\xF1\x01\t\t All files must be in the same directory");
    return 0;
  }
  return Text_Check_Pixels(ctx, ima, kFormat, true);
}
