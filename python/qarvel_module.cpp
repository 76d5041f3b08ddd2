// _qarvel: the core's calls for Python, over numpy arrays and buffers.
//
// Every call that touches pixels, JPEG data or files runs with the GIL
// released. A failure of the core raises qarvel.Error with the core's
// message; a wrong argument raises ValueError or TypeError. Nothing prints.
// Arrays returned own their pixels: a capsule holding the core's buffer is
// their base, so no copy is made.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core.h"
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

py::array decode_bytes(const py::object& data, int order) {
  const int format = pixel_format(order);
  BytesIn in(data);
  Result<Image> image = Error{Fault::kDecode, ""};
  {
    py::gil_scoped_release unlocked;
    image = decode(in.bytes(), format);
  }
  if (!image) raise(image.error());
  return to_array(std::move(*image));
}

py::bytes encode_image(const py::object& image, int order) {
  const int format = pixel_format(order);
  PixelsIn in(image);
  Result<Blob> jpeg = Error{Fault::kEncode, ""};
  {
    py::gil_scoped_release unlocked;
    Status packed = in.prepare();
    jpeg = packed ? encode(in.view(format)) : Result<Blob>(packed.error());
  }
  if (!jpeg) raise(jpeg.error());
  return to_bytes(*jpeg);
}

py::array read_image(const py::bytes& path, int order) {
  const int format = pixel_format(order);
  const std::string name = file_name(path);
  Result<Image> image = Error{Fault::kRead, ""};
  {
    py::gil_scoped_release unlocked;
    Result<Blob> file = read_file(name.c_str());
    image = file ? decode(file->view(), format) : Result<Image>(file.error());
  }
  if (!image) raise(image.error());
  return to_array(std::move(*image));
}

void write_image(const py::bytes& path, const py::object& image, int order) {
  const int format = pixel_format(order);
  const std::string name = file_name(path);
  PixelsIn in(image);
  Status done;
  {
    py::gil_scoped_release unlocked;
    Status packed = in.prepare();
    Result<Blob> jpeg = packed ? encode(in.view(format)) : Result<Blob>(packed.error());
    done = jpeg ? replace_file(name.c_str(), jpeg->view()) : Status(jpeg.error());
  }
  if (!done) raise(done.error());
}

py::array resize_image(const py::object& image, int width, int height) {
  if (width <= 0 || height < 0)
    throw py::value_error("the width must be positive and the height not negative");
  PixelsIn in(image);
  if (height == 0) {
    Result<int> aspect = aspect_height(in.width, in.height, width);
    if (!aspect) raise(aspect.error());
    height = *aspect;
  }
  // Keeping a wide, short source's aspect ratio can round its height to 0.
  if (height == 0) raise({Fault::kArgument, "the height that keeps the aspect ratio is 0"});
  // Sized in 64 bits: the resize layer takes an int step.
  const int64_t step = int64_t{width} * 3;
  if (step > INT_MAX) raise({Fault::kTooLarge, "the width is too large"});
  Image out;
  out.width = width;
  out.height = height;
  out.pitch = static_cast<int>(step);
  Status done;
  {
    py::gil_scoped_release unlocked;
    out.pixels = PixelBuffer::allocate(size_t(step) * size_t(height), Storage::kPrivate);
    done = out.pixels ? in.prepare() : Status(Error{Fault::kAlloc, "out of memory for the resized image"});
    if (done)
      done = resample(in.pixels, in.width, in.height, in.pitch, out.pixels.data(), width, height,
                      out.pitch);
  }
  if (!done) raise(done.error());
  return to_array(std::move(out));
}

ThumbnailOptions thumbnail_options(int width, int height, bool fit, bool rotate,
                                   bool keep_metadata, bool strip, bool exact) {
  ThumbnailOptions o;
  o.width = width;
  o.height = height;
  o.fit = fit;
  o.rotate = rotate;
  o.keep_metadata = keep_metadata;
  o.strip = strip;
  o.exact = exact;
  return o;
}

py::bytes thumbnail_bytes(const py::object& data, int width, int height, bool fit, bool rotate,
                          bool keep_metadata, bool strip, bool exact) {
  const ThumbnailOptions options =
      thumbnail_options(width, height, fit, rotate, keep_metadata, strip, exact);
  BytesIn in(data);
  Result<Thumbnail> thumb = Error{Fault::kDecode, ""};
  {
    py::gil_scoped_release unlocked;
    thumb = thumbnail(in.bytes(), options);
  }
  if (!thumb) raise(thumb.error());
  return to_bytes(thumb->jpeg);
}

// (source width, source height, width, height, warnings) of the file written.
py::tuple thumbnail_path(const py::bytes& src, const py::bytes& dst, int width, int height,
                         bool fit, bool rotate, bool keep_metadata, bool strip, bool exact) {
  const ThumbnailOptions options =
      thumbnail_options(width, height, fit, rotate, keep_metadata, strip, exact);
  const std::string src_name = file_name(src), dst_name = file_name(dst);
  Result<Thumbnail> thumb = Error{Fault::kDecode, ""};
  {
    py::gil_scoped_release unlocked;
    thumb = thumbnail_file(src_name.c_str(), dst_name.c_str(), options);
  }
  if (!thumb) raise(thumb.error());
  py::list warnings;
  for (const std::string& w : thumb->warnings) warnings.append(py::str(w));
  return py::make_tuple(thumb->src_width, thumb->src_height, thumb->width, thumb->height,
                        warnings);
}

}  // namespace

PYBIND11_MODULE(_qarvel, m) {
  m.doc() = "The compiled half of the qarvel package; use the qarvel package instead.";
  error_type = PyErr_NewExceptionWithDoc(
      "qarvel.Error", "A JPEG, file or resize operation failed; the message says why.",
      nullptr, nullptr);
  if (!error_type) throw py::error_already_set();
  m.add_object("Error", py::reinterpret_steal<py::object>(error_type));

  m.def("decode", &decode_bytes, py::arg("data"), py::arg("order"));
  m.def("encode", &encode_image, py::arg("image"), py::arg("order"));
  m.def("read", &read_image, py::arg("path"), py::arg("order"));
  m.def("resize", &resize_image, py::arg("image"), py::arg("width"), py::arg("height"));
  m.def("write", &write_image, py::arg("path"), py::arg("image"), py::arg("order"));
  m.def("thumbnail", &thumbnail_bytes, py::arg("data"), py::arg("width"), py::arg("height"),
        py::arg("fit"), py::arg("rotate"), py::arg("keep_metadata"), py::arg("strip"),
        py::arg("exact"));
  m.def("thumbnail_file", &thumbnail_path, py::arg("src"), py::arg("dst"), py::arg("width"),
        py::arg("height"), py::arg("fit"), py::arg("rotate"), py::arg("keep_metadata"),
        py::arg("strip"), py::arg("exact"));
}
