// _qarvel: the core's calls for Python, over numpy arrays and buffers.
//
// Every call that touches pixels, JPEG data or files runs with the GIL
// released. A failure of the core raises qarvel.Error with the core's
// message; a wrong argument raises ValueError or TypeError. Nothing prints.
// Arrays returned own their pixels: a capsule holding the core's buffer is
// their base, so no copy is made.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core.h"
#include "photo/jobs.h"
#include "photo/options.h"
#include "photo/photo.h"

namespace py = pybind11;
using namespace qarvel;

namespace {

// qarvel.Error; the module holds the reference.
PyObject* error_type = nullptr;

[[noreturn]] void raise(const Error& error) {
  PyErr_SetString(error_type, error.message.c_str());
  throw py::error_already_set();
}

int pixel_format(int order) {
  if (order != TJPF_RGB && order != TJPF_BGR)
    throw py::value_error("pixel order must be RGB (0) or BGR (1), not " + std::to_string(order));
  return order;
}

// A file name for the C library; an embedded NUL would name another file.
std::string file_name(const py::bytes& path) {
  std::string name = path;
  if (name.find('\0') != std::string::npos) throw py::value_error("file name contains a NUL byte");
  return name;
}

// Holds a Python buffer, which keeps its exporter from resizing or freeing
// it, until destroyed (with the GIL held).
class BufferView {
 public:
  BufferView(py::handle object, int flags) {
    if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) throw py::error_already_set();
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_;
};

// JPEG bytes from bytes, bytearray, memoryview or any contiguous buffer.
class BytesIn {
 public:
  explicit BytesIn(py::handle object) : view_(object, PyBUF_SIMPLE) {}
  ByteView bytes() const {
    return {static_cast<const uint8_t*>(view_->buf), static_cast<size_t>(view_->len)};
  }

 private:
  BufferView view_;
};

// An image of shape (height, width, 3) and one-byte items from any buffer.
// Rows may be any distance apart; when pixels are not 3 bytes apart and
// channels 1 byte apart, or rows overlap, prepare() packs a copy.
class PixelsIn {
 public:
  explicit PixelsIn(py::handle object) : view_(object, PyBUF_RECORDS_RO) {
    const Py_buffer& v = *view_;
    if (v.ndim != 3 || v.shape[2] != 3)
      throw py::value_error("expected an image of shape (height, width, 3)");
    const char* format = v.format ? v.format : "B";
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '|')
      ++format;
    if (v.itemsize != 1 || std::strcmp(format, "B") != 0)
      throw py::value_error("expected an image of dtype uint8");
    if (v.shape[0] > INT_MAX || v.shape[1] > INT_MAX / 3)
      throw py::value_error("the image is too large");
    height = static_cast<int>(v.shape[0]);
    width = static_cast<int>(v.shape[1]);
    const Py_ssize_t* strides = v.strides;
    const Py_ssize_t row = int64_t{width} * 3;
    in_place_ = strides[2] == 1 && strides[1] == 3 && strides[0] >= row && strides[0] <= INT_MAX;
    pixels = static_cast<const uint8_t*>(v.buf);
    pitch = in_place_ ? static_cast<int>(strides[0]) : static_cast<int>(row);
  }

  // Packs the pixels when they cannot be used in place; GIL released.
  Status prepare() noexcept {
    if (in_place_ || width == 0 || height == 0) return {};
    packed_ = PixelBuffer::allocate(size_t(pitch) * height, Storage::kPrivate);
    if (!packed_) return Error{Fault::kAlloc, "out of memory for a packed copy of the image"};
    const Py_buffer& v = *view_;
    const auto* base = static_cast<const uint8_t*>(v.buf);
    uint8_t* out = packed_.data();
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = base + y * v.strides[0];
      for (int x = 0; x < width; ++x, out += 3) {
        const uint8_t* px = row + x * v.strides[1];
        out[0] = px[0];
        out[1] = px[v.strides[2]];
        out[2] = px[2 * v.strides[2]];
      }
    }
    pixels = packed_.data();
    return {};
  }

  ImageView view(int format) const { return {pixels, width, height, pitch, format}; }

  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, pitch = 0;

 private:
  BufferView view_;
  bool in_place_ = false;
  PixelBuffer packed_;
};

// An array of shape (height, width, 3) that owns `image`'s pixels.
py::array to_array(Image image) {
  auto owner = std::make_unique<Image>(std::move(image));
  const Image& i = *owner;
  py::capsule base(owner.get(), [](void* p) { delete static_cast<Image*>(p); });
  owner.release();
  return py::array(py::dtype::of<uint8_t>(), {i.height, i.width, 3}, {i.pitch, 3, 1},
                   i.pixels.data(), base);
}

py::bytes to_bytes(const Blob& blob) {
  return py::bytes(reinterpret_cast<const char*>(blob.data.get()), blob.size);
}

py::array decode_bytes(const py::object& data, int order, bool rotate) {
  const int format = pixel_format(order);
  BytesIn in(data);
  Result<Image> image = Error{Fault::kDecode, ""};
  {
    py::gil_scoped_release unlocked;
    image = decode_photo(in.bytes(), format, rotate);
  }
  if (!image) raise(image.error());
  return to_array(std::move(*image));
}

EncodeSettings encode_settings(const py::dict& keywords);

py::bytes encode_image(const py::object& image, int order, const py::dict& keywords) {
  const EncodeSettings settings = encode_settings(keywords);
  const int format = pixel_format(order);
  PixelsIn in(image);
  Result<Blob> jpeg = Error{Fault::kEncode, ""};
  {
    py::gil_scoped_release unlocked;
    Status packed = in.prepare();
    jpeg = packed ? encode(in.view(format), settings) : Result<Blob>(packed.error());
  }
  if (!jpeg) raise(jpeg.error());
  return to_bytes(*jpeg);
}

py::array read_image(const py::bytes& path, int order, bool rotate) {
  const int format = pixel_format(order);
  const std::string name = file_name(path);
  Result<Image> image = Error{Fault::kRead, ""};
  {
    py::gil_scoped_release unlocked;
    Result<Blob> file = read_regular_file(name.c_str());
    image = file ? decode_photo(file->view(), format, rotate) : Result<Image>(file.error());
  }
  if (!image) raise(image.error());
  return to_array(std::move(*image));
}

void write_image(const py::bytes& path, const py::object& image, int order,
                 const py::dict& keywords) {
  const EncodeSettings settings = encode_settings(keywords);
  const int format = pixel_format(order);
  const std::string name = file_name(path);
  PixelsIn in(image);
  Status done;
  {
    py::gil_scoped_release unlocked;
    Status packed = in.prepare();
    Result<Blob> jpeg = packed ? encode(in.view(format), settings) : Result<Blob>(packed.error());
    done = jpeg ? replace_file(name.c_str(), jpeg->view()) : Status(jpeg.error());
  }
  if (!done) raise(done.error());
}

py::array resize_image(const py::object& image, int width, int height) {
  if (width <= 0) throw py::value_error("the width must be positive");
  if (height < 0) throw py::value_error("the height must not be negative");
  PixelsIn in(image);
  if (in.width == 0 || in.height == 0) throw py::value_error("the image has no pixels");
  ThumbnailOptions target;
  target.width = width;
  target.height = height;
  Result<Size> size = target_size(in.width, in.height, target);
  if (!size) raise(size.error());
  // The resize layer takes int steps; the whole image stays below 2 GiB.
  const int64_t step = int64_t{size->width} * 3;
  if (step > INT_MAX || step * size->height > INT_MAX)
    throw py::value_error("width x height x 3 must stay below 2 GiB");
  Image out;
  out.width = size->width;
  out.height = size->height;
  out.pitch = static_cast<int>(step);
  Status done;
  {
    py::gil_scoped_release unlocked;
    out.pixels = PixelBuffer::allocate(size_t(step) * size_t(out.height), Storage::kPrivate);
    done = out.pixels ? in.prepare() : Status(Error{Fault::kAlloc, "out of memory for the resized image"});
    if (done)
      done = resample(in.pixels, in.width, in.height, in.pitch, out.pixels.data(), out.width,
                      out.height, out.pitch);
  }
  if (!done) raise(done.error());
  return to_array(std::move(out));
}

// A path, or anything else the core says, as Python shows file names: bytes
// that are not UTF-8 survive as surrogates.
py::str fs_str(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The reverse of fs_str.
std::string fs_bytes(const py::handle str) {
  const auto encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(str.ptr()));
  if (!encoded) throw py::error_already_set();
  return encoded;
}

// A Python value as the option's text: flags take bools, whole numbers ints,
// a size also an int or a (width, height) pair. Wrong types raise TypeError
// naming the keyword; the values themselves are the core's to judge.
std::string option_text(const OptionSpec& o, const py::handle value) {
  const std::string name = o.keyword;
  const std::string type = py::str(py::type::of(value).attr("__name__"));
  const auto is_int = [](py::handle v) {
    return py::isinstance<py::int_>(v) && !py::isinstance<py::bool_>(v);
  };
  const bool size = name == "size";
  if (o.value == OptionValue::kInteger || (size && is_int(value))) {
    if (!is_int(value)) throw py::type_error(name + " must be an int, not " + type);
    return py::str(value);
  }
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (!size) throw py::type_error(name + " must be a str, not " + type);
  if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
    const py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
    if (pair.size() != 2 || !std::all_of(pair.begin(), pair.end(), is_int))
      throw py::type_error("size must be a pair of ints (width, height)");
    return py::str(pair[0]).cast<std::string>() + "x" + py::str(pair[1]).cast<std::string>();
  }
  throw py::type_error("size must be a str, an int or a (width, height) pair, not " + type);
}

void apply_text(JobRequest& request, const OptionSpec& o, const std::string& text) {
  if (Status s = o.apply(request, text); !s) throw py::value_error(s.error().message);
}

// Sets option `o` from a Python value; None leaves it unset.
void apply_keyword(JobRequest& request, const OptionSpec& o, const py::handle value) {
  if (value.is_none()) return;
  if (o.value == OptionValue::kNone ||
      (o.value == OptionValue::kOptional && py::isinstance<py::bool_>(value))) {
    if (!py::isinstance<py::bool_>(value))
      throw py::type_error(std::string(o.keyword) + " must be True or False");
    if (value.cast<bool>() != o.negated) apply_text(request, o, "");
  } else {
    apply_text(request, o, option_text(o, value));
  }
}

// The options of encode() and write(), checked as the thumbnailer's are.
EncodeSettings encode_settings(const py::dict& keywords) {
  JobRequest request;
  for (const auto& [key, value] : keywords) {
    const std::string keyword = py::str(key);
    const OptionSpec* o = find_keyword(keyword);
    if (!o || (keyword != "quality" && keyword != "subsampling" && keyword != "progressive"))
      throw py::type_error("unexpected option: " + keyword);
    apply_keyword(request, *o, value);
  }
  return request.thumbnail.encode;
}

// The options of a call: command-line words, (name, text) pairs in the
// order given, then Python keywords, where None leaves an option unset.
// kImage options everywhere, kBatch ones too where `batch` is set, and all
// options for a command line.
class Request {
 public:
  Request(const py::dict& keywords, bool batch, const py::list& arguments = py::list())
      : keywords_(keywords), arguments_(arguments), batch_(batch) {
    for (const py::handle pair : arguments) {
      const auto t = pair.cast<py::tuple>();
      const std::string name = t[0].cast<std::string>();
      const OptionSpec* o = find_option(name);
      if (!o) throw py::value_error("unknown option: --" + name);
      apply(*o, t[1].cast<std::string>());
    }
    const OptionScope widest = arguments.empty() ? (batch ? OptionScope::kBatch : OptionScope::kImage)
                                                 : OptionScope::kCommandLine;
    for (const auto& [key, value] : keywords) {
      const std::string keyword = py::str(key);
      const OptionSpec* o = find_keyword(keyword);
      if (!o || static_cast<int>(o->scope) > static_cast<int>(widest))
        throw py::type_error("unexpected option: " + keyword);
      apply_keyword(request_, *o, value);
    }
    if (Status s = finish_request(request_, batch); !s) throw py::value_error(s.error().message);
  }

  const JobRequest& get() const { return request_; }
  py::tuple state() const { return py::make_tuple(keywords_, batch_, arguments_); }

 private:
  void apply(const OptionSpec& o, const std::string& text) { apply_text(request_, o, text); }

  py::dict keywords_;
  py::list arguments_;
  bool batch_;
  JobRequest request_;
};

py::bytes thumbnail_bytes(const py::object& data, const Request& request) {
  BytesIn in(data);
  Result<Thumbnail> thumb = Error{Fault::kDecode, ""};
  {
    py::gil_scoped_release unlocked;
    thumb = thumbnail(in.bytes(), request.get().thumbnail);
  }
  if (!thumb) raise(thumb.error());
  return to_bytes(thumb->jpeg);
}

Job to_job(const py::handle job) {
  const auto t = job.cast<py::tuple>();
  return {t[0].cast<std::string>(), t[1].cast<std::string>(), fs_bytes(t[2])};
}

py::tuple from_job(const Job& j) {
  return py::make_tuple(py::bytes(j.input), py::bytes(j.output), fs_str(j.error));
}

const char* state_name(JobState s) {
  return s == JobState::kWritten ? "written" : s == JobState::kSkipped ? "skipped" : "failed";
}

py::list to_list(const std::vector<std::string>& lines) {
  py::list out;
  for (const std::string& line : lines) out.append(fs_str(line));
  return out;
}

py::tuple from_result(const JobResult& r) {
  return py::make_tuple(state_name(r.state), fs_str(r.error), to_list(r.warnings), r.src_width,
                        r.src_height, r.width, r.height);
}

JobResult to_result(const py::handle result) {
  const auto t = result.cast<py::tuple>();
  JobResult r;
  const std::string state = t[0].cast<std::string>();
  r.state = state == "written" ? JobState::kWritten
            : state == "skipped" ? JobState::kSkipped : JobState::kFailed;
  r.error = fs_bytes(t[1]);
  for (const py::handle w : t[2].cast<py::list>()) r.warnings.push_back(fs_bytes(w));
  r.src_width = t[3].cast<int>(), r.src_height = t[4].cast<int>();
  r.width = t[5].cast<int>(), r.height = t[6].cast<int>();
  return r;
}

// (source width, source height, width, height, warnings) of the file written.
py::tuple thumbnail_path(const py::bytes& src, const py::bytes& dst, const Request& request) {
  const Result<Plan> plan = plan_file(file_name(src), file_name(dst));
  if (!plan) throw py::value_error(plan.error().message);
  JobResult r;
  {
    py::gil_scoped_release unlocked;
    r = run_job(plan->jobs[0], request.get().thumbnail, false);
  }
  if (r.state == JobState::kFailed) raise({Fault::kArgument, r.error});
  return py::make_tuple(r.src_width, r.src_height, r.width, r.height, to_list(r.warnings));
}

// (JPEG bytes, (source width, source height, width, height, warnings)) of a
// thumbnail made from the file src, for a door that writes it elsewhere.
py::tuple thumbnail_of_file(const py::bytes& src, const Request& request) {
  const std::string name = file_name(src);
  if (Result<Plan> plan = plan_file(name, kStandardStream); !plan->jobs[0].error.empty())
    raise({Fault::kArgument, plan->jobs[0].error});
  Result<Thumbnail> thumb = Error{Fault::kRead, ""};
  {
    py::gil_scoped_release unlocked;
    thumb = thumbnail_file(name.c_str(), nullptr, request.get().thumbnail);
  }
  if (!thumb) raise(thumb.error());
  return py::make_tuple(to_bytes(thumb->jpeg),
                        py::make_tuple(thumb->src_width, thumb->src_height, thumb->width,
                                       thumb->height, to_list(thumb->warnings)));
}

// ([(input, output, error)], [folder]) for inputs written into out_dir.
py::tuple plan_jobs(const std::vector<py::bytes>& inputs, const py::bytes& out_dir,
                    const Request& request) {
  std::vector<std::string> names;
  for (const py::bytes& i : inputs) names.push_back(file_name(i));
  BatchOptions batch = request.get().batch;
  batch.out_dir = file_name(out_dir);
  Result<Plan> plan = Error{Fault::kArgument, ""};
  {
    py::gil_scoped_release unlocked;
    plan = plan_batch(names, batch);
  }
  if (!plan) throw py::value_error(plan.error().message);
  py::list jobs, folders;
  for (const Job& j : plan->jobs) jobs.append(from_job(j));
  for (const std::string& f : plan->folders) folders.append(py::bytes(f));
  return py::make_tuple(jobs, folders);
}

// The inputs a batch reads: (input, output, error) before the batch's checks.
py::list find_input_jobs(const std::vector<py::bytes>& inputs, bool recursive) {
  std::vector<std::string> names;
  for (const py::bytes& i : inputs) names.push_back(file_name(i));
  BatchOptions batch;
  batch.recursive = recursive;
  std::vector<Job> jobs;
  {
    py::gil_scoped_release unlocked;
    jobs = find_inputs(names, batch);
  }
  py::list out;
  for (const Job& j : jobs) out.append(from_job(j));
  return out;
}

std::vector<Job> to_jobs(const py::list& jobs) {
  std::vector<Job> out;
  for (const py::handle j : jobs) out.push_back(to_job(j));
  return out;
}

void prepare_plan_outputs(const py::list& jobs, const std::vector<py::bytes>& folders) {
  Plan plan;
  plan.jobs = to_jobs(jobs);
  for (const py::bytes& f : folders) plan.folders.push_back(file_name(f));
  Status s;
  {
    py::gil_scoped_release unlocked;
    s = prepare_outputs(plan);
  }
  if (!s) raise(s.error());
}


std::vector<JobResult> to_results(const py::list& results) {
  std::vector<JobResult> out;
  for (const py::handle r : results) out.push_back(to_result(r));
  return out;
}

// Runs jobs one after another, with the GIL released throughout.
py::list run_jobs(const py::list& jobs, const Request& request) {
  const std::vector<Job> todo = to_jobs(jobs);
  std::vector<JobResult> results;
  {
    py::gil_scoped_release unlocked;
    const HeapKept heap(false);
    for (const Job& j : todo) results.push_back(run_job(j, request.get().thumbnail, request.get().batch.skip_existing));
  }
  py::list out;
  for (const JobResult& r : results) out.append(from_result(r));
  return out;
}

py::list options() {
  py::list out;
  for (const OptionSpec& o : option_table()) {
    static const char* const kScopes[] = {"image", "batch", "command line"};
    static const char* const kValues[] = {"flag", "int", "text", "optional"};
    py::dict d;
    d["name"] = o.name;
    d["short"] = o.short_name ? py::object(py::str(std::string(1, o.short_name))) : py::none();
    d["keyword"] = o.keyword;
    d["negated"] = o.negated;
    d["value"] = kValues[static_cast<int>(o.value)];
    d["metavar"] = o.metavar ? py::object(py::str(o.metavar)) : py::none();
    d["choices"] = o.choices ? py::object(py::str(o.choices).attr("split")()) : py::none();
    d["scope"] = kScopes[static_cast<int>(o.scope)];
    d["help"] = o.help;
    out.append(d);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_qarvel, m) {
  m.doc() = "The compiled half of the qarvel package; use the qarvel package instead.";
  error_type = PyErr_NewExceptionWithDoc(
      "qarvel.Error", "A JPEG, file or resize operation failed; the message says why.",
      nullptr, nullptr);
  if (!error_type) throw py::error_already_set();
  m.add_object("Error", py::reinterpret_steal<py::object>(error_type));

  m.def("decode", &decode_bytes, py::arg("data"), py::arg("order"), py::arg("rotate"));
  m.def("encode", &encode_image, py::arg("image"), py::arg("order"), py::arg("options"));
  m.def("read", &read_image, py::arg("path"), py::arg("order"), py::arg("rotate"));
  m.def("resize", &resize_image, py::arg("image"), py::arg("width"), py::arg("height"));
  m.def("write", &write_image, py::arg("path"), py::arg("image"), py::arg("order"),
        py::arg("options"));

  py::class_<Request>(m, "Request")
      .def(py::init<const py::dict&, bool, const py::list&>(), py::arg("keywords"),
           py::arg("batch") = false, py::arg("arguments") = py::list())
      .def_property_readonly("quiet", [](const Request& r) { return r.get().batch.quiet; })
      .def_property_readonly("jobs", [](const Request& r) { return r.get().batch.jobs; })
      .def(py::pickle([](const Request& r) { return r.state(); },
                      [](const py::tuple& t) {
                        return Request(t[0].cast<py::dict>(), t[1].cast<bool>(),
                                       t[2].cast<py::list>());
                      }));
  m.def("thumbnail", &thumbnail_bytes, py::arg("data"), py::arg("request"));
  m.def("thumbnail_file", &thumbnail_path, py::arg("src"), py::arg("dst"), py::arg("request"));
  m.def("thumbnail_of_file", &thumbnail_of_file, py::arg("src"), py::arg("request"));
  m.def("plan", &plan_jobs, py::arg("inputs"), py::arg("out_dir"), py::arg("request"));
  m.def("find_inputs", &find_input_jobs, py::arg("inputs"), py::arg("recursive"));
  m.def("prepare_outputs", &prepare_plan_outputs, py::arg("jobs"), py::arg("folders"));
  m.def("largest_first", [](const py::list& jobs) { return largest_first(to_jobs(jobs)); },
        py::arg("jobs"));
  m.def("run_jobs", &run_jobs, py::arg("jobs"), py::arg("request"));
  m.def("job_line", [](const py::tuple& job, const py::tuple& result) {
    return fs_str(job_line(to_job(job), to_result(result)));
  }, py::arg("job"), py::arg("result"));
  m.def("summary", [](const py::list& jobs, const py::list& results) {
    return fs_str(summary(to_jobs(jobs), to_results(results)));
  }, py::arg("jobs"), py::arg("results"));
  m.def("options", &options);
  m.def("parse_box", [](const std::string& text) {
    Result<Box> box = parse_box(text);
    if (!box) throw py::value_error(box.error().message);
    return py::make_tuple(box->width, box->height, !box->shrink_only);
  }, py::arg("text"));
}
