// Encoding with settings, progressive output included. Baseline JPEG to
// progressive, losslessly, with libjpeg's transcoder: the
// quantised coefficients are copied, only their entropy coding changes, so
// the decoded pixels are those of the baseline file. libjpeg reports a fatal
// error through error_exit, which longjmps back to the one function that
// drives it; no object with a destructor is created between the setjmp and
// the jump.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

// jpeglib.h needs stdio.h's FILE and size_t first.
#include <jpeglib.h>

#include "core.h"

namespace qarvel {
namespace {

struct Failure {
  jpeg_error_mgr pub;  // first, so libjpeg's pointer is ours
  std::jmp_buf jump;
};

[[noreturn]] void fail(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<Failure*>(cinfo->err)->jump, 1);
}
void quiet(j_common_ptr, int) {}
void silent(j_common_ptr) {}

// Output into a buffer that doubles when full; realloc keeps failure a value.
struct Destination {
  jpeg_destination_mgr pub;  // first, so libjpeg's pointer is ours
  unsigned char* data = nullptr;
  size_t capacity = 0;
};

void start_output(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  d->pub.next_output_byte = d->data;
  d->pub.free_in_buffer = d->capacity;
}

boolean grow_output(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  auto* bigger = static_cast<unsigned char*>(realloc(d->data, d->capacity * 2));
  if (!bigger) fail(reinterpret_cast<j_common_ptr>(cinfo));
  d->data = bigger;
  d->pub.next_output_byte = bigger + d->capacity;
  d->pub.free_in_buffer = d->capacity;
  d->capacity *= 2;
  return TRUE;
}

void end_output(j_compress_ptr) {}

// Scan scripts chosen on thumbnails of the benchmark's photographs
// (bench/tuning_bench.py): DC one component a scan; the luma's first two AC
// coefficients with their low bit held back; the chroma whole; the rest of
// the luma likewise; then the luma's low bits. Against libjpeg's default
// script, fewer scans carry fewer Huffman tables, which a thumbnail feels.
constexpr jpeg_scan_info kColourScans[] = {
    {1, {0}, 0, 0, 0, 0},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0}, {1, {0}, 1, 2, 0, 1},
    {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}, {1, {0}, 3, 63, 0, 1}, {1, {0}, 1, 63, 1, 0},
};
constexpr jpeg_scan_info kGreyScans[] = {
    {1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 2, 0, 1}, {1, {0}, 3, 63, 0, 1}, {1, {0}, 1, 63, 1, 0}};

struct Transcoder {
  jpeg_decompress_struct in{};
  jpeg_compress_struct out{};
  Failure failure{};
  Destination dest{};
  bool in_created = false, out_created = false;

  Transcoder() = default;
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;
  ~Transcoder() {
    if (out_created) jpeg_destroy_compress(&out);
    if (in_created) jpeg_destroy_decompress(&in);
    free(dest.data);
  }

  // Everything libjpeg does, under the jump buffer; false when it failed.
  bool run(ByteView jpeg) {
    if (setjmp(failure.jump)) return false;
    jpeg_create_decompress(&in);
    in_created = true;
    jpeg_create_compress(&out);
    out_created = true;
    jpeg_mem_src(&in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&in);
    jpeg_copy_critical_parameters(&in, &out);
    if (out.num_components == 3) {
      out.scan_info = kColourScans;
      out.num_scans = std::size(kColourScans);
    } else if (out.num_components == 1) {
      out.scan_info = kGreyScans;
      out.num_scans = std::size(kGreyScans);
    } else {
      jpeg_simple_progression(&out);
    }
    out.optimize_coding = TRUE;
    out.dest = &dest.pub;
    jpeg_write_coefficients(&out, coefficients);
    jpeg_finish_compress(&out);
    jpeg_finish_decompress(&in);
    return true;
  }
};

}  // namespace

Result<Blob> to_progressive(ByteView baseline) noexcept {
  Transcoder t;
  t.failure.pub = *jpeg_std_error(&t.failure.pub);
  t.failure.pub.error_exit = fail;
  t.failure.pub.emit_message = quiet;
  t.failure.pub.output_message = silent;
  t.in.err = t.out.err = &t.failure.pub;
  t.dest.capacity = baseline.size() + 4096;
  t.dest.data = static_cast<unsigned char*>(malloc(t.dest.capacity));
  if (!t.dest.data) return Error{Fault::kAlloc, "out of memory for the progressive JPEG"};
  t.dest.pub.init_destination = start_output;
  t.dest.pub.empty_output_buffer = grow_output;
  t.dest.pub.term_destination = end_output;
  if (!t.run(baseline)) {
    char text[JMSG_LENGTH_MAX] = {};
    (*t.failure.pub.format_message)(reinterpret_cast<j_common_ptr>(&t.out), text);
    return Error{Fault::kEncode, std::string("cannot write the progressive JPEG: ") + text};
  }
  const size_t size = t.dest.capacity - t.dest.pub.free_in_buffer;
  Blob blob{TjBuffer(tjAlloc(static_cast<int>(size))), size};
  if (!blob.data) return Error{Fault::kAlloc, "out of memory for the progressive JPEG"};
  memcpy(blob.data.get(), t.dest.data, size);
  return blob;
}

Result<Blob> encode(const ImageView& image, const EncodeSettings& settings) noexcept {
  Result<Blob> baseline = encode_baseline(image, settings);
  if (!baseline || !settings.progressive) return baseline;
  return to_progressive(baseline->view());
}

}  // namespace qarvel
