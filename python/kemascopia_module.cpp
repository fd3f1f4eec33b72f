// _kemascopia: the reading library and the archive scan for Python. Records
// are shared between the Image objects and the numpy arrays over their
// pixels; every read runs with the GIL released and its log lines are handed
// to Python's logging afterwards, on the calling thread.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_map>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "Convert/conv_file_read.h"
#include "Convert/conv_format_registry.h"
#include "Convert/kema_image.h"
#include "archive/archive_index.h"
#include "archive/archive_log.h"
#include "archive/archive_record.h"
#include "archive/archive_scan.h"
#include "export/export_text.h"
#include "log/log.h"

namespace py = pybind11;

namespace {

// One image of a file: the record and the file it came from.
struct Image {
  Image(std::unique_ptr<ImageHeader> record, std::string path, int k)
      : ima(std::move(record)), file(std::move(path)), index(k) {}
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  std::unique_ptr<ImageHeader> ima;
  std::string file;
  int index = 0;  // the image's place in its file
  ~Image() {
    if (ima) Kema_Image_Free_Header(Log_Get_Handle(), *ima);
  }
};

PyObject* g_read_error = nullptr;

// Python's logging level of a log line.
int Python_Level(const archive::LogLine& line) {
  if (line.level == 1) return 40;
  if (line.level == 2) return line.text.find("ERROR") != std::string::npos ? 40 : 30;
  if (line.level >= 6 && line.level <= 10) return 10;
  return 20;
}

// Sends a read's lines to the "kemascopia" logger (GIL held).
void Forward(const archive::ReadLog& log) {
  if (log.lines().empty()) return;
  py::object logger = py::module_::import("logging").attr("getLogger")("kemascopia");
  for (const archive::LogLine& line : log.lines()) {
    const std::string text = kema::Output_Line(line.text);
    if (!text.empty()) logger.attr("log")(Python_Level(line), "%s", text);
  }
}

[[noreturn]] void Raise(const std::string& what) {
  PyErr_SetString(g_read_error, what.c_str());
  throw py::error_already_set();
}

std::string Error_Of(const archive::ReadLog& log, const std::string& path, const char* fallback) {
  std::string e = log.First_Error();
  return (e.empty() ? std::string(fallback) : e) + " (" + kema::Output_Text(path, false) + ")";
}

py::object To_Python(const archive::Json& j) {
  switch (j.type()) {
    case archive::Json::value_t::null: return py::none();
    case archive::Json::value_t::boolean: return py::bool_(j.get<bool>());
    case archive::Json::value_t::number_integer: return py::int_(j.get<int64_t>());
    case archive::Json::value_t::number_unsigned: return py::int_(j.get<uint64_t>());
    case archive::Json::value_t::number_float: return py::float_(j.get<double>());
    case archive::Json::value_t::string: return py::str(j.get_ref<const std::string&>());
    case archive::Json::value_t::array: {
      py::list out;
      for (const auto& v : j) out.append(To_Python(v));
      return out;
    }
    case archive::Json::value_t::object: {
      py::dict out;
      for (const auto& item : j.items()) out[py::str(item.key())] = To_Python(item.value());
      return out;
    }
    default: return py::none();
  }
}

// numpy's element type and channel count of a pixel type.
bool Pixel_Layout(uint8_t pix_type, py::dtype& dtype, int& channels) {
  channels = (pix_type & 0xC0) == 0xC0 ? 4 : (pix_type & 0x80) ? 3 : 1;
  const unsigned bytes = Image_Pixel_Bytes(pix_type) / static_cast<unsigned>(channels);
  const bool is_signed = channels == 1 && (pix_type & 1);
  switch (bytes) {
    case 1: dtype = is_signed ? py::dtype("<i1") : py::dtype("<u1"); return true;
    case 2: dtype = is_signed ? py::dtype("<i2") : py::dtype("<u2"); return true;
    case 4: dtype = is_signed ? py::dtype("<i4") : py::dtype("<u4"); return true;
    default: return false;
  }
}

// The pixels as a read-only array over the record's buffer: its base is the
// Image, which lives as long as the array does.
py::array Pixels(const std::shared_ptr<Image>& self) {
  const ImageHeader& ima = *self->ima;
  py::dtype dtype;
  int channels = 0;
  if (!Pixel_Layout(ima.g2.pix_type, dtype, channels)) Raise("ERROR: no pixel layout for pixel type " + std::to_string(ima.g2.pix_type));
  std::vector<py::ssize_t> shape;
  if (ima.dim_t > 1) shape.push_back(ima.dim_t);
  if (ima.dim_z > 1 || ima.dim_t > 1) shape.push_back(ima.dim_z);
  shape.push_back(ima.dim_y);
  shape.push_back(ima.dim_x);
  if (channels > 1) shape.push_back(channels);
  size_t count = 1;
  for (py::ssize_t n : shape) count *= static_cast<size_t>(n);
  const size_t need = count * static_cast<size_t>(dtype.itemsize());
  if (ima.data.empty() || ima.data.size() < need)
    Raise("ERROR: the image holds " + std::to_string(ima.data.size()) + " bytes of pixels, not " + std::to_string(need));
  std::vector<py::ssize_t> strides(shape.size());
  py::ssize_t step = dtype.itemsize();
  for (size_t k = shape.size(); k-- > 0;) {
    strides[k] = step;
    step *= shape[k];
  }
  py::array a(dtype, shape, strides, ima.data.data(), py::cast(self));
  a.attr("flags").attr("writeable") = false;
  return a;
}

py::array Real_Values(const std::shared_ptr<Image>& self) {
  py::array px = Pixels(self);
  const ImageHeader& ima = *self->ima;
  py::array_t<double> out(std::vector<py::ssize_t>(px.shape(), px.shape() + px.ndim()));
  double* dst = out.mutable_data();
  const uint8_t* src = ima.data.data();
  const unsigned bytes = Image_Pixel_Bytes(ima.g2.pix_type);
  const size_t n = static_cast<size_t>(px.size());
  const int channels = (ima.g2.pix_type & 0xC0) == 0xC0 ? 4 : (ima.g2.pix_type & 0x80) ? 3 : 1;
  const unsigned width = bytes / static_cast<unsigned>(channels);
  const bool is_signed = channels == 1 && (ima.g2.pix_type & 1);
  const float slope = ima.g2.rescale_slope, intercept = ima.g2.rescale_intercept;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = src + i * width;
    int64_t v = 0;
    if (width == 1) v = is_signed ? static_cast<int8_t>(p[0]) : p[0];
    else if (width == 2) {
      const uint16_t u = static_cast<uint16_t>(p[0] | (p[1] << 8));
      v = is_signed ? static_cast<int16_t>(u) : u;
    } else {
      const uint32_t u = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
      v = is_signed ? static_cast<int32_t>(u) : u;
    }
    // The viewer's reading of a value (Image_Real_Value): colour samples as
    // they are, grey ones through the rescale; here without its 32-bit
    // signed argument, so unsigned 32-bit samples keep their value.
    dst[i] = channels > 1 ? static_cast<double>(v) : static_cast<double>(v) * slope + intercept;
  }
  return out;
}

std::vector<std::shared_ptr<Image>> Read(const std::string& path) {
  archive::ReadLog log(true);
  FileRead r;
  std::vector<std::unique_ptr<ImageHeader>> parts;
  {
    py::gil_scoped_release unlocked;
    r = Kema_Image_Read_File(Log_Get_Handle(), path);
    if (r.ima && r.failure == FileReadFailure::None && static_cast<size_t>(r.ima->dim_z) * r.ima->dim_t > 1 &&
        Kema_Image_Image_Split(Log_Get_Handle(), *r.ima, parts) <= 0)
      parts.clear();
  }
  Forward(log);
  if (r.failure != FileReadFailure::None || !r.ima) Raise(Error_Of(log, path, "ERROR: Unable to read image !"));
  std::vector<std::shared_ptr<Image>> out;
  if (parts.empty()) {
    out.push_back(std::make_shared<Image>(std::move(r.ima), path, 0));
  } else {
    Kema_Image_Free_Header(Log_Get_Handle(), *r.ima);
    for (size_t k = 0; k < parts.size(); ++k)
      out.push_back(std::make_shared<Image>(std::move(parts[k]), path, static_cast<int>(k)));
  }
  return out;
}

// The header listing of the image's file, read again with the listing on.
std::string Header_Text(const std::shared_ptr<Image>& self) {
  archive::ReadLog log(true);
  std::unique_ptr<ImageHeader> ima;
  {
    py::gil_scoped_release unlocked;
    ima = Kema_Image_Header_Read(Log_Get_Handle(), 0, self->file.c_str(), 4);
    if (ima) Kema_Image_Free_Header(Log_Get_Handle(), *ima);
  }
  if (!ima) Raise(Error_Of(log, self->file, "ERROR: Unable to read image header !"));
  std::string text;
  for (const archive::LogLine& line : log.lines()) {
    if (line.level != 4) continue;
    std::string l = kema::Output_Text(line.text, true);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\n' || l.back() == '\t')) l.pop_back();
    text += l + "\n";
  }
  return text;
}

// Python objects straight from the row values (GIL held); new references,
// null with a Python error set when one cannot be made.
PyObject* New_Text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Texts and numbers that recur from row to row (names, modalities, 0, 1,
// spacings) are made once and shared: Python's str and float are immutable.
// GIL held.
class ValueCache {
 public:
  PyObject* Text(const std::string& s) {
    if (s.size() > 256) return New_Text(s);
    auto it = texts_.find(s);
    if (it != texts_.end()) return Py_NewRef(it->second);
    PyObject* o = New_Text(s);
    if (o && texts_.size() < kMax) texts_.emplace(s, Py_NewRef(o));
    return o;
  }
  PyObject* Real(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    auto it = reals_.find(bits);
    if (it != reals_.end()) return Py_NewRef(it->second);
    PyObject* o = PyFloat_FromDouble(v);
    if (o && reals_.size() < kMax) reals_.emplace(bits, Py_NewRef(o));
    return o;
  }
  ~ValueCache() {
    for (auto& [k, o] : texts_) Py_DECREF(o);
    for (auto& [k, o] : reals_) Py_DECREF(o);
  }

 private:
  static constexpr size_t kMax = 4096;
  std::unordered_map<std::string, PyObject*> texts_;
  std::unordered_map<uint64_t, PyObject*> reals_;
};

PyObject* New_Value(const archive::Json& j, ValueCache& cache) {
  using T = archive::Json::value_t;
  switch (j.type()) {
    case T::boolean: return PyBool_FromLong(j.get<bool>());
    case T::number_integer: return PyLong_FromLongLong(j.get<int64_t>());
    case T::number_unsigned: return PyLong_FromUnsignedLongLong(j.get<uint64_t>());
    case T::number_float: return cache.Real(j.get<double>());
    case T::string: return cache.Text(j.get_ref<const std::string&>());
    case T::array: {
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(j.size()));
      Py_ssize_t i = 0;
      for (const auto& v : j) {
        PyObject* item = list ? New_Value(v, cache) : nullptr;
        if (!item) {
          Py_XDECREF(list);
          return nullptr;
        }
        PyList_SET_ITEM(list, i++, item);
      }
      return list;
    }
    default: Py_RETURN_NONE;  // objects do not occur in rows
  }
}

// The keys of a row, interned once: path, image, size, mtime_ns, status,
// format, error, series, then the image fields but the format.
struct RowKeys {
  RowKeys() {
    for (const char* k : {"path", "image", "size", "mtime_ns", "status", "format", "error", "series"})
      head.push_back(Intern(k));
    for (const std::string& k : archive::Image_Field_Names())
      if (k != "format") fields.push_back({k, Intern(k.c_str())});
    for (auto st : {archive::EntryStatus::Read, archive::EntryStatus::Error, archive::EntryStatus::Unknown,
                    archive::EntryStatus::Unchanged, archive::EntryStatus::Problem})
      status.push_back(Intern(archive::Entry_Status_Name(st)));
  }
  static PyObject* Intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;  // kept for the life of the module
  }
  std::vector<PyObject*> head;
  std::vector<std::pair<std::string, PyObject*>> fields;
  std::vector<PyObject*> status;
};

const RowKeys& Row_Keys() {
  static const RowKeys* keys = new RowKeys;
  return *keys;
}

// Sets d[key] = value, taking the reference to value.
bool Put(PyObject* d, PyObject* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItem(d, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// The rows of an entry as dicts, appended to `out` (GIL held): what
// archive::Entry_Rows makes, without the trip through JSON text. The series
// is None until the scan has grouped the images.
bool Append_Rows(const archive::ScanEntry& e, PyObject* out, ValueCache& cache) {
  const RowKeys& k = Row_Keys();
  const size_t n = std::max<size_t>(1, e.images.size());
  for (size_t i = 0; i < n; ++i) {
    const archive::ScanImage* im = i < e.images.size() ? &e.images[i] : nullptr;
#if PY_VERSION_HEX < 0x030D0000
    // Sized once for all its keys: no growing on the way.
    PyObject* d = _PyDict_NewPresized(static_cast<Py_ssize_t>(k.head.size() + k.fields.size()));
#else
    PyObject* d = PyDict_New();  // the presized form is no longer exported
#endif
    if (!d) return false;
    bool ok = Put(d, k.head[0], New_Text(kema::Output_Text(e.path, false))) &&
              Put(d, k.head[1], im ? PyLong_FromSize_t(i) : Py_NewRef(Py_None)) &&
              Put(d, k.head[2], PyLong_FromLongLong(e.size)) && Put(d, k.head[3], PyLong_FromLongLong(e.mtime_ns)) &&
              Put(d, k.head[4], Py_NewRef(k.status[static_cast<size_t>(e.status)])) &&
              Put(d, k.head[5], PyLong_FromLong(e.format)) &&
              Put(d, k.head[6], e.error.empty() ? Py_NewRef(Py_None) : cache.Text(e.error)) &&
              Put(d, k.head[7], Py_NewRef(Py_None));
    if (ok && im && im->fields.is_object()) {
      // The fields come in the order of Image_Field_Names.
      size_t f = 0;
      for (const auto& item : im->fields.items()) {
        if (item.key() == "format") continue;
        PyObject* key = f < k.fields.size() && k.fields[f].first == item.key() ? Py_NewRef(k.fields[f].second)
                                                                               : New_Text(item.key());
        ++f;
        ok = key && Put(d, key, New_Value(item.value(), cache));
        Py_XDECREF(key);
        if (!ok) break;
      }
    }
    ok = ok && PyList_Append(out, d) == 0;
    Py_DECREF(d);
    if (!ok) return false;
  }
  return true;
}

// Makes the rows of a scan into dicts while it runs: the writer takes the
// GIL once per batch of entries and the readers go on meanwhile. The
// series are given at the end, in path and image order, as the index gives
// them.
class ListSink : public archive::ScanSink {
 public:
  ListSink() : rows_(py::reinterpret_steal<py::list>(PyList_New(0))) {}
  bool Write(archive::ScanEntry&& e) override {
    for (size_t k = 0; k < e.images.size(); ++k) {
      archive::ScanImage& im = e.images[k];
      images_.push_back({e.path, static_cast<uint32_t>(k), rows_seen_ + k, std::move(im.series_fields), im.geom});
    }
    rows_seen_ += std::max<size_t>(1, e.images.size());
    pending_rows_ += std::max<size_t>(1, e.images.size());
    batch_.push_back(std::move(e));
    return pending_rows_ < kBatchRows || Flush();
  }
  bool Finish(const std::vector<std::string>&, bool) override { return Flush(); }

  // Converts what waits (the GIL taken for that alone).
  bool Flush() {
    if (batch_.empty()) return ok_;
    {
      py::gil_scoped_acquire locked;
      // The rows hold no cycles: the collector would only walk the growing
      // list again and again.
      const int collecting = PyGC_Disable();
      for (const archive::ScanEntry& e : batch_) {
        if (!ok_) break;
        ok_ = Append_Rows(e, rows_.ptr(), cache_);
      }
      if (!ok_) error_.restore_or_keep();
      if (collecting) PyGC_Enable();
    }
    batch_.clear();
    pending_rows_ = 0;
    return ok_;
  }

  // The series of every image, then the list (GIL held).
  py::list Rows() {
    if (!ok_) throw py::error_already_set();
    std::sort(images_.begin(), images_.end(), [](const Row& a, const Row& b) {
      return std::tie(a.path, a.image) < std::tie(b.path, b.image);
    });
    archive::SeriesGrouper grouper;
    PyObject* key = Row_Keys().head[7];
    for (Row& r : images_) {
      archive::ScanImage im;
      im.series_fields = std::move(r.series_fields);
      im.geom = r.geom;
      PyObject* d = PyList_GET_ITEM(rows_.ptr(), static_cast<Py_ssize_t>(r.row));
      if (!Put(d, key, cache_.Text(grouper.Assign(im)))) throw py::error_already_set();
    }
    return rows_;
  }

 private:
  struct Row {
    std::string path;
    uint32_t image;
    size_t row;  // its place in rows_
    std::string series_fields;
    DicomGeometry geom;
  };
  struct PendingError {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    void restore_or_keep() { PyErr_Fetch(&type, &value, &trace); }
  };
  static constexpr size_t kBatchRows = 64;
  py::list rows_;
  ValueCache cache_;
  std::vector<archive::ScanEntry> batch_;
  std::vector<Row> images_;
  size_t rows_seen_ = 0, pending_rows_ = 0;
  bool ok_ = true;
  PendingError error_;

 public:
  void Restore_Error() {
    if (error_.type) PyErr_Restore(error_.type, error_.value, error_.trace);
    else PyErr_SetString(PyExc_MemoryError, "cannot make the rows of the scan");
    error_ = {};
  }
  bool ok() const { return ok_; }
};

// Ctrl-C in Python stops a scan between files.
struct Interrupt {
  std::atomic<bool> stop{false};
};

archive::ScanOptions Scan_Options(int workers, bool pixels, bool recursive, Interrupt& irq) {
  archive::ScanOptions o;
  o.workers = workers;
  o.pixels = pixels;
  o.recursive = recursive;
  o.stop = &irq.stop;
  o.progress = [&irq](const archive::ScanProgress&) {
    py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Clear();
      irq.stop.store(true);
    }
  };
  return o;
}

py::object Scan(const std::vector<std::string>& paths, int workers, bool pixels, bool recursive) {
  Row_Keys();  // made with the GIL held
  ListSink sink;
  Interrupt irq;
  {
    py::gil_scoped_release unlocked;
    archive::Archive_Scan(paths, Scan_Options(workers, pixels, recursive, irq), sink);
  }
  if (!sink.ok()) {
    sink.Restore_Error();
    throw py::error_already_set();
  }
  if (irq.stop.load()) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
  return sink.Rows();
}

py::dict Scan_To_Index(const std::vector<std::string>& paths, const std::string& db, int workers, bool pixels,
                       bool recursive, const std::vector<std::string>& exclude, py::object known) {
  std::string error;
  auto index = archive::SqliteIndex::Open(db, error);
  if (!index) Raise("ERROR: " + error);
  index->Set_Recursive(recursive);
  if (!known.is_none()) {
    std::vector<archive::SqliteIndex::KnownFile> files;
    for (py::handle row : known) {
      auto t = row.cast<py::tuple>();
      files.push_back({t[0].cast<std::string>(), t[1].cast<int64_t>(), t[2].cast<int64_t>()});
    }
    index->Set_Known_Elsewhere(files);
  }
  Interrupt irq;
  bool complete = false;
  archive::ScanProgress p;
  {
    py::gil_scoped_release unlocked;
    archive::ScanOptions options = Scan_Options(workers, pixels, recursive, irq);
    options.exclude = archive::Index_Files(db);
    for (const std::string& x : exclude)
      for (std::string& f : archive::Index_Files(x)) options.exclude.push_back(std::move(f));
    p = archive::Archive_Scan(paths, options, *index, &complete);
  }
  if (!index->error().empty()) Raise("ERROR: " + db + ": " + index->error());
  py::dict out;
  out["files"] = p.files;
  out["read"] = p.read;
  out["unchanged"] = p.unchanged;
  out["errors"] = p.errors;
  out["vanished"] = index->vanished();
  out["complete"] = complete;
  out["run"] = index->run();
  return out;
}

}  // namespace

PYBIND11_MODULE(_kemascopia, m) {
  m.doc() = "Reading medical image files and indexing archives of them";
  static py::exception<std::runtime_error> read_error(m, "ReadError");
  g_read_error = read_error.ptr();
  Log_Set_Console(stderr);
  archive::Log_Capture_Install();

  py::class_<Image, std::shared_ptr<Image>>(m, "Image")
      .def_property_readonly("pixels", &Pixels, "The pixels, read-only, over the library's buffer")
      .def_property_readonly("header", [](const std::shared_ptr<Image>& s) { return To_Python(archive::Image_Fields(*s->ima)); })
      .def_property_readonly("file", [](const Image& s) { return s.file; })
      .def_property_readonly("index", [](const Image& s) { return s.index; })
      .def_property_readonly("slope", [](const Image& s) { return s.ima->g2.rescale_slope; })
      .def_property_readonly("intercept", [](const Image& s) { return s.ima->g2.rescale_intercept; })
      .def("header_text", &Header_Text, "The header as its reader lists it")
      .def("real_values", &Real_Values, "The pixels through the rescale, as float64")
      .def("__repr__", [](const Image& s) {
        const ImageHeader& i = *s.ima;
        return "<kemascopia.Image " + kema::Output_Text(s.file, false) + "[" + std::to_string(s.index) + "] " +
               std::to_string(i.dim_x) + "x" + std::to_string(i.dim_y) + " " + Image_Format_Name(i.format) + ">";
      });

  m.def("read", &Read, py::arg("path"), "Reads a file; one Image per image it holds");
  m.def("detect", [](const std::string& path) {
    archive::ReadLog log(true);
    uint16_t code;
    {
      py::gil_scoped_release unlocked;
      code = Kema_Image_Get_Format(Log_Get_Handle(), 0, path.c_str());
    }
    Forward(log);
    if (code == 0) Raise(Error_Of(log, path, "ERROR: cannot detect the format"));
    return code;
  }, py::arg("path"), "The format code of a file (1: no known format)");
  m.def("format_name", [](uint16_t code) { return std::string(Image_Format_Name(code)); });
  m.def("formats", [] {
    py::list out;
    for (unsigned code = 1; code <= 0xFFFF; ++code) {
      const FormatRow* row = Format_Row(static_cast<uint16_t>(code));
      if (!row) continue;
      py::dict d;
      d["code"] = code;
      d["name"] = row->name;
      d["reader"] = row->header != nullptr;
      out.append(d);
    }
    return out;
  });
  m.def("scan", &Scan, py::arg("paths"), py::arg("workers") = 0, py::arg("pixels") = false,
        py::arg("recursive") = true, "The header pass of kema scan: one dict per image (per file that gave none)");
  m.def("scan_to_index", &Scan_To_Index, py::arg("paths"), py::arg("db"), py::arg("workers") = 0,
        py::arg("pixels") = false, py::arg("recursive") = true, py::arg("exclude") = std::vector<std::string>{},
        py::arg("known") = py::none(),
        "kema scan into an SQLite index (leaving out the indexes named in exclude; with known, a list of\n"
        "(path, size, mtime_ns) indexed elsewhere, those files are recorded as unchanged); returns what the run did");
  m.def("set_trace_level", &Log_Set_Trace_Level, py::arg("level"));
  m.def("index_schema", &archive::Index_Schema, "The SQL that makes an empty index");
  m.def("index_prepare", [](const std::string& db) {
    std::string error;
    sqlite3* h = nullptr;
    bool ok = sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (ok) {
      sqlite3_busy_timeout(h, 30000);
      ok = archive::Index_Prepare(h, error);
    } else {
      error = h ? sqlite3_errmsg(h) : "out of memory";
    }
    sqlite3_close(h);
    if (!ok) Raise("ERROR: " + db + ": " + error);
  }, py::arg("db"), "Makes the index's missing tables (an index of an older layout is emptied to be read again)");
  m.def("index_regroup", [](const std::string& db) {
    std::string error;
    bool ok;
    {
      py::gil_scoped_release unlocked;
      ok = archive::Index_Regroup(db, error);
    }
    if (!ok) Raise("ERROR: " + db + ": " + error);
  }, py::arg("db"), "Gives the images whose series wait in series_pending their series keys");
}
