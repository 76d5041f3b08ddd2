// The photo decoder on libjpeg's API. libjpeg reports a fatal error by
// calling error_exit, which must not return: ours longjmps back to run(),
// whose callers keep no object with a destructor alive across the jump.
#include "codec/jpeg_reader.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

// jpeglib.h needs stdio.h's FILE and size_t first.
#include <jerror.h>
#include <jpeglib.h>

namespace qarvel {
namespace {

// Real photographs have a dozen scans; thousands of tiny ones are a way to
// make a small file cost minutes.
constexpr int kMaxScans = 500;
// Distinct warnings kept per decode; a damaged file can repeat one per block row.
constexpr size_t kMaxWarnings = 8;
// Past this, libjpeg refuses a progressive file's coefficient buffer rather
// than let the kernel overcommit it.
constexpr long kMaxDecoderMemory = 4L << 30;

struct Range {
  size_t begin, end;
};

struct ErrorManager {
  jpeg_error_mgr pub;  // first, so libjpeg's pointer is ours
  JpegReader::State* state;
};

struct Source {
  jpeg_source_mgr pub;
  JpegReader::State* state;
};

struct Progress {
  jpeg_progress_mgr pub;
  JpegReader::State* state;
};

}  // namespace

struct JpegReader::State {
  jpeg_decompress_struct cinfo{};
  ErrorManager err{};
  Source src{};
  Progress progress{};
  std::jmp_buf jump;
  bool created = false;
  bool header_ready = false;  // the decompressor stands just after the first SOS header
  bool hit_end = false;       // the data ran out and a fake EOI was served
  bool too_many_scans = false;
  ByteView data;
  std::vector<Range> ranges;  // the bytes served, in order
  size_t next_range = 0;
  std::vector<std::string> warnings;
  size_t dropped_warnings = 0;
  JpegInfo info;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }

  // Runs fn under the jump buffer; false when libjpeg failed. fn must keep
  // no object with a destructor: the jump skips it.
  template <class F>
  bool run(F&& fn) noexcept {
    if (setjmp(jump)) return false;
    fn();
    return true;
  }

  // libjpeg's reason for the last failure.
  std::string reason() {
    if (too_many_scans) return "more than " + std::to_string(kMaxScans) + " scans";
    char text[JMSG_LENGTH_MAX] = {};
    (*err.pub.format_message)(reinterpret_cast<j_common_ptr>(&cinfo), text);
    return text;
  }

  void serve(std::vector<Range> r) {
    ranges = std::move(r);
    next_range = 0;
    src.pub.next_input_byte = nullptr;
    src.pub.bytes_in_buffer = 0;
  }

  // Where libjpeg stands in `data`; the end while it reads the fake EOI.
  size_t position() const {
    const auto p = reinterpret_cast<uintptr_t>(src.pub.next_input_byte);
    const auto begin = reinterpret_cast<uintptr_t>(data.data());
    return p >= begin && p - begin <= data.size() ? p - begin : data.size();
  }
};

namespace {

using State = JpegReader::State;

State& state_of(j_common_ptr cinfo) { return *reinterpret_cast<ErrorManager*>(cinfo->err)->state; }

[[noreturn]] void error_exit(j_common_ptr cinfo) { std::longjmp(state_of(cinfo).jump, 1); }

// Warnings are kept (distinct ones, up to a limit); trace messages dropped.
void emit_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  ++cinfo->err->num_warnings;
  State& s = state_of(cinfo);
  char text[JMSG_LENGTH_MAX] = {};
  (*cinfo->err->format_message)(cinfo, text);
  for (const std::string& w : s.warnings)
    if (w == text) return;
  if (s.warnings.size() < kMaxWarnings)
    s.warnings.emplace_back(text);
  else
    ++s.dropped_warnings;
}

void output_message(j_common_ptr) {}

void progress_monitor(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    state_of(cinfo).too_many_scans = true;
    error_exit(cinfo);
  }
}

void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

// Serves the next range; past the last, a fake EOI, as libjpeg's memory
// source does, so a truncated file decodes what it holds.
boolean fill_input_buffer(j_decompress_ptr cinfo) {
  State& s = *reinterpret_cast<Source*>(cinfo->src)->state;
  while (s.next_range < s.ranges.size()) {
    const Range r = s.ranges[s.next_range++];
    if (r.end <= r.begin) continue;
    s.src.pub.next_input_byte = s.data.data() + r.begin;
    s.src.pub.bytes_in_buffer = r.end - r.begin;
    return TRUE;
  }
  static const JOCTET kEoi[2] = {0xFF, JPEG_EOI};
  WARNMS(cinfo, JWRN_JPEG_EOF);
  s.hit_end = true;
  s.src.pub.next_input_byte = kEoi;
  s.src.pub.bytes_in_buffer = 2;
  return TRUE;
}

void skip_input_data(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr& src = *cinfo->src;
  if (count <= 0) return;
  while (static_cast<size_t>(count) > src.bytes_in_buffer) {
    count -= static_cast<long>(src.bytes_in_buffer);
    fill_input_buffer(cinfo);
  }
  src.next_input_byte += count;
  src.bytes_in_buffer -= static_cast<size_t>(count);
}

JpegColour colour_of(J_COLOR_SPACE space) {
  switch (space) {
    case JCS_GRAYSCALE: return JpegColour::kGray;
    case JCS_YCbCr: return JpegColour::kYCbCr;
    case JCS_RGB: return JpegColour::kRGB;
    case JCS_CMYK: return JpegColour::kCMYK;
    case JCS_YCCK: return JpegColour::kYCCK;
    default: return JpegColour::kOther;
  }
}

// The first marker at or after `i` in entropy-coded data: an 0xFF followed
// by neither a stuffed 0x00, a restart marker nor another 0xFF (fill).
size_t next_marker(ByteView d, size_t i) {
  while (i < d.size()) {
    const void* ff = std::memchr(d.data() + i, 0xFF, d.size() - i);
    if (!ff) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(ff) - d.data());
    if (i + 1 >= d.size()) break;
    const uint8_t code = d[i + 1];
    if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) {
      i += 2;
    } else if (code == 0xFF) {
      i += 1;
    } else {
      return i;
    }
  }
  return d.size();
}

// True for an AC scan (one component, Ss >= 1) of a component whose
// reduced block is one pixel, whose output only its DC coefficient sets.
bool unneeded_scan(const jpeg_decompress_struct& cinfo, const uint8_t* sos, size_t length) {
  if (length < 6) return false;
  const int ns = sos[4];
  if (ns != 1 || length < size_t(6 + 2 * ns)) return false;
  const int id = sos[5];
  const int ss = sos[5 + 2 * ns];
  if (ss < 1) return false;
  for (int c = 0; c < cinfo.num_components; ++c)
    if (cinfo.comp_info[c].component_id == id) return cinfo.comp_info[c].DCT_scaled_size == 1;
  return false;
}

// The bytes from `start` (inside the first scan's entropy-coded data) to the
// end, without the unneeded scans. Anything it cannot walk (a bad length, no
// EOI) it keeps as is, so libjpeg sees the same damage it would otherwise.
std::vector<Range> needed_ranges(const jpeg_decompress_struct& cinfo, ByteView d, size_t start) {
  std::vector<Range> out;
  size_t kept_from = start;
  size_t i = next_marker(d, start);
  while (i + 4 <= d.size()) {
    const uint8_t code = d[i + 1];
    if (code == JPEG_EOI) break;
    if (code == 0x01 || code == 0xD8) {  // TEM, SOI: no length
      i = next_marker(d, i + 2);
      continue;
    }
    const size_t length = size_t{d[i + 2]} << 8 | d[i + 3];
    if (length < 2 || i + 2 + length > d.size()) break;
    const size_t after = i + 2 + length;
    if (code != 0xDA) {
      i = next_marker(d, after);
    } else if (unneeded_scan(cinfo, d.data() + i, length)) {
      out.push_back({kept_from, i});
      i = kept_from = next_marker(d, after);
    } else {
      i = next_marker(d, after);
    }
  }
  out.push_back({kept_from, d.size()});
  return out;
}

}  // namespace

JpegReader::JpegReader(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
JpegReader::JpegReader(JpegReader&&) noexcept = default;
JpegReader& JpegReader::operator=(JpegReader&&) noexcept = default;
JpegReader::~JpegReader() = default;

const JpegInfo& JpegReader::info() const noexcept { return state_->info; }

int JpegReader::scaled_width(int eighths) const noexcept {
  return static_cast<int>((int64_t{state_->info.width} * eighths + 7) / 8);
}

int JpegReader::scaled_height(int eighths) const noexcept {
  return static_cast<int>((int64_t{state_->info.height} * eighths + 7) / 8);
}

namespace {

// Sets up the managers and reads the headers; the caller reports a failure.
bool start(State& s) {
  jpeg_decompress_struct& cinfo = s.cinfo;
  cinfo.err = jpeg_std_error(&s.err.pub);
  s.err.pub.error_exit = error_exit;
  s.err.pub.emit_message = emit_message;
  s.err.pub.output_message = output_message;
  s.err.state = &s;
  s.src.pub.init_source = init_source;
  s.src.pub.fill_input_buffer = fill_input_buffer;
  s.src.pub.skip_input_data = skip_input_data;
  s.src.pub.resync_to_restart = jpeg_resync_to_restart;
  s.src.pub.term_source = term_source;
  s.src.state = &s;
  s.progress.pub.progress_monitor = progress_monitor;
  s.progress.state = &s;
  s.serve({{0, s.data.size()}});
  return s.run([&] {
    jpeg_create_decompress(&cinfo);
    s.created = true;
    cinfo.src = &s.src.pub;
    cinfo.progress = &s.progress.pub;
    cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    jpeg_read_header(&cinfo, TRUE);
  });
}

// Back to just after the first SOS header, for another decode.
bool restart(State& s) {
  jpeg_abort_decompress(&s.cinfo);
  s.serve({{0, s.data.size()}});
  s.hit_end = false;
  s.too_many_scans = false;
  s.warnings.clear();
  s.dropped_warnings = 0;
  return s.run([&] { jpeg_read_header(&s.cinfo, TRUE); });
}

}  // namespace

Result<JpegReader> JpegReader::open(ByteView jpeg) noexcept {
  if (jpeg.empty()) return Error{Fault::kNoData, "no JPEG data"};
  auto state = std::unique_ptr<State>(new (std::nothrow) State);
  if (!state) return Error{Fault::kAlloc, "out of memory for a JPEG decoder"};
  state->data = jpeg;
  if (!start(*state)) {
    if (state->hit_end)
      return Error{Fault::kHeader, "the JPEG data ends inside its headers, after " +
                                       std::to_string(jpeg.size()) + " bytes"};
    return Error{Fault::kHeader, "cannot read the JPEG header: " + state->reason()};
  }
  const jpeg_decompress_struct& c = state->cinfo;
  JpegInfo& info = state->info;
  info.width = static_cast<int>(c.image_width);
  info.height = static_cast<int>(c.image_height);
  info.components = c.num_components;
  info.colour = colour_of(c.jpeg_color_space);
  info.progressive = c.progressive_mode;
  info.adobe_transform = c.saw_Adobe_marker ? c.Adobe_transform : -1;
  info.inverted_cmyk = c.saw_Adobe_marker && c.num_components == 4;
  state->header_ready = true;
  return JpegReader(std::move(state));
}

namespace {

Status check(const DecodeSettings& s) {
  if (s.eighths != 1 && s.eighths != 2 && s.eighths != 4 && s.eighths != 8)
    return Error{Fault::kArgument, "unsupported scale " + std::to_string(s.eighths) + "/8"};
  if (s.format != TJPF_BGR && s.format != TJPF_RGB)
    return Error{Fault::kArgument, "unsupported pixel format " + std::to_string(s.format)};
  return {};
}

// The output colour space and its TurboJPEG pixel format.
std::pair<J_COLOR_SPACE, int> output_space(const JpegInfo& info, const DecodeSettings& s) {
  if (s.source_channels && info.colour == JpegColour::kGray) return {JCS_GRAYSCALE, TJPF_GRAY};
  if (s.source_channels && (info.colour == JpegColour::kCMYK || info.colour == JpegColour::kYCCK))
    return {JCS_CMYK, TJPF_CMYK};
  return s.format == TJPF_BGR ? std::pair{JCS_EXT_BGR, TJPF_BGR} : std::pair{JCS_EXT_RGB, TJPF_RGB};
}

// Reads every scanline into `image` and finishes the decompressor.
bool read_pixels(State& s, Image& image) {
  jpeg_decompress_struct& cinfo = s.cinfo;
  uint8_t* const base = image.pixels.data();
  const size_t pitch = static_cast<size_t>(image.pitch);
  return s.run([&] {
    jpeg_start_decompress(&cinfo);
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
      const JDIMENSION y = cinfo.output_scanline;
      const JDIMENSION count = std::min<JDIMENSION>(16, cinfo.output_height - y);
      for (JDIMENSION i = 0; i < count; ++i) rows[i] = base + (y + i) * pitch;
      jpeg_read_scanlines(&cinfo, rows, count);
    }
    jpeg_finish_decompress(&cinfo);
  });
}

}  // namespace

Result<DecodedPhoto> JpegReader::decode(const DecodeSettings& settings) noexcept {
  if (Status ok = check(settings); !ok) return ok.error();
  State& s = *state_;
  if (!s.header_ready && !restart(s))
    return Error{Fault::kHeader, "cannot read the JPEG header again: " + s.reason()};
  s.header_ready = false;
  jpeg_decompress_struct& cinfo = s.cinfo;
  const auto [space, format] = output_space(s.info, settings);
  cinfo.out_color_space = space;
  cinfo.scale_num = static_cast<unsigned>(settings.eighths);
  cinfo.scale_denom = 8;
  cinfo.dct_method = settings.fast_idct ? JDCT_IFAST : JDCT_ISLOW;
  cinfo.do_fancy_upsampling = settings.fancy_upsampling;
  const bool skip = settings.skip_unneeded_scans && settings.eighths == 1 && s.info.progressive;
  cinfo.do_block_smoothing = settings.block_smoothing && !skip;
  if (!s.run([&] { jpeg_calc_output_dimensions(&cinfo); }))
    return Error{Fault::kDecode, "cannot decode the JPEG data: " + s.reason()};
  if (skip) s.serve(needed_ranges(cinfo, s.data, s.position()));

  DecodedPhoto out;
  Image& image = out.image;
  image.width = static_cast<int>(cinfo.output_width);
  image.height = static_cast<int>(cinfo.output_height);
  image.format = format;
  const int64_t pitch = int64_t{image.width} * cinfo.out_color_components;
  if (pitch * image.height > INT_MAX)
    return Error{Fault::kTooLarge, "a " + std::to_string(image.width) + "x" +
                                       std::to_string(image.height) + " image needs 2 GiB or more"};
  image.pitch = static_cast<int>(pitch);
  image.pixels = PixelBuffer::allocate(size_t(pitch) * image.height, Storage::kPrivate);
  if (!image.pixels) return Error{Fault::kAlloc, "out of memory for the decoded image"};
  if (!read_pixels(s, image)) {
    std::string why = s.reason();
    jpeg_abort_decompress(&cinfo);
    return Error{Fault::kDecode, "cannot decode the JPEG data: " + why};
  }
  out.inverted_cmyk = format == TJPF_CMYK && s.info.inverted_cmyk;
  out.warnings = std::move(s.warnings);
  if (s.dropped_warnings)
    out.warnings.push_back(std::to_string(s.dropped_warnings) + " more warnings");
  return out;
}

}  // namespace qarvel
