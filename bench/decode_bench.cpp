// What huge-page advice gives qdecode: a host decoding image after image,
// each buffer released with qFree before the next. For each image size,
// qdecode against a plain TurboJPEG decode into a malloc'd buffer (no
// advice) and into a buffer kept mapped (no page faults at all), and whether
// qdecode's buffer was advised (its mapping carries the "hg" flag).
#include <qarvel/qarvel.h>

#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace qarvel::bench;

// Decodes into the given buffer of w x h pixels.
bool decode_into(const std::vector<unsigned char>& jpeg, unsigned char* dst) {
  int w = 0, h = 0;
  return decode_jpeg(jpeg.data(), jpeg.size(), [dst](int, int) { return dst; }, &w, &h);
}

// One image size: each candidate decodes into its buffer, which is released
// after the clock stops, so only the decode and its page faults are timed.
bool print_size(const Image& photo, const std::string& dir, int w, int h, int runs) {
  const std::string path = dir + "/in.jpg";
  std::vector<unsigned char> jpeg;
  if (!make_photo_jpeg(photo, w, h, path) || !read_file(path, jpeg)) return false;
  const size_t bytes = size_t(w) * h * 3;
  std::vector<unsigned char> warm(bytes);
  bool was_advised = false, ok = true;
  auto timed = [&ok](const std::function<bool()>& decode, const std::function<void()>& release) {
    return [&ok, decode, release] {
      const double t0 = now_ms();
      ok = decode() && ok;
      const double t = now_ms() - t0;
      release();
      return t;
    };
  };
  unsigned char* held = nullptr;
  const std::vector<std::vector<double>> times = time_rounds(
      {timed(
           [&] {
             int pw, ph, pitch;
             return qdecode(jpeg.data(), jpeg.size(), &held, &pw, &ph, &pitch, TJPF_BGR) == 0;
           },
           [&] {
             was_advised = advised(held + bytes / 2);
             qFree(held);
           }),
       timed(
           [&] {
             held = static_cast<unsigned char*>(malloc(bytes));
             return held && decode_into(jpeg, held);
           },
           [&] { free(held); }),
       timed([&] { return decode_into(jpeg, warm.data()); }, [] {})},
      runs);
  printf("| %dx%d | %.1f | %.1f | %s | %.1f | %.1f |\n", w, h, bytes / 1e6, median(times[0]),
         was_advised ? "yes" : "no", median(times[1]), median(times[2]));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = parse_runs(argc, argv);
  if (runs < 0) return 2;
  Image photo;
  const std::string dir = make_temp_dir();
  if (dir.empty() || !decode_file(QARVEL_BENCH_PHOTO, photo)) {
    fprintf(stderr, "cannot prepare the inputs\n");
    return 1;
  }
  print_machine();
  printf("Single thread; median ms of %d decodes, each buffer released before the next\n\n", runs);
  printf("| image | pixels MB | qdecode | qdecode buffer advised | decode into malloc | decode into mapped pages |\n");
  printf("|---|---:|---:|---|---:|---:|\n");
  bool ok = true;
  for (auto [w, h] : {std::pair{4000, 3000}, {3840, 2160}, {1920, 1080}, {1280, 960}})
    ok = print_size(photo, dir, w, h, runs) && ok;
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
