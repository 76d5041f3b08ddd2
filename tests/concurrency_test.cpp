// Every exported function called from 8 threads at once, each on its own
// input, must give what the same call gives alone; the library starts no
// threads of its own.
#include <qarvel/qarvel.h>

#include <fstream>
#include <thread>

#include "test_support.h"

using namespace qtest;

namespace {

constexpr int kThreads = 8;

struct Results {
  Bytes decoded, decoded2, encoded, read, read2, written, resized, grown, resized_file;
  int rc_sum = 0;
  bool operator==(const Results& o) const {
    return decoded == o.decoded && decoded2 == o.decoded2 && encoded == o.encoded &&
           read == o.read && read2 == o.read2 && written == o.written && resized == o.resized &&
           grown == o.grown && resized_file == o.resized_file && rc_sum == o.rc_sum;
  }
};

// Runs every function on input number i; files go under dir with i in their names.
Results run_all(int i, const TempDir& dir, const std::string& tag) {
  Results r;
  const int w = 37 + 13 * i, h = 23 + 7 * i;
  const Bytes img = make_image(w, h, 3, static_cast<unsigned>(i + 1));
  const Bytes jpeg = tj_encode(img, w, h, TJPF_BGR, TJSAMP_420, 90);
  const std::string in = (dir / ("in" + std::to_string(i) + ".jpg")).string();
  const std::string out = (dir / (tag + std::to_string(i) + ".jpg")).string();
  const std::string resized = (dir / (tag + "r" + std::to_string(i) + ".jpg")).string();

  unsigned char* pixels = nullptr;
  int dw = 0, dh = 0, pitch = 0;
  r.rc_sum += qdecode(jpeg.data(), jpeg.size(), &pixels, &dw, &dh, &pitch, i % 2);
  if (pixels) r.decoded.assign(pixels, pixels + static_cast<size_t>(pitch) * dh);
  qFree(pixels);

  unsigned char* big = pre_alloc_imread();
  r.rc_sum += qdecode2(jpeg.data(), jpeg.size(), big, &dw, &dh, &pitch, 1);
  r.decoded2.assign(big, big + static_cast<size_t>(pitch) * dh);

  unsigned char* enc = nullptr;
  unsigned long enc_size = 0;
  r.rc_sum += qencode(img.data(), w, h, w * 3, 1, &enc, &enc_size);
  if (enc) r.encoded.assign(enc, enc + enc_size);
  qFree(enc);

  r.rc_sum += qimread(in.c_str(), &pixels, &dw, &dh, &pitch, 1);
  if (pixels) r.read.assign(pixels, pixels + static_cast<size_t>(pitch) * dh);
  qFree(pixels);
  pixels = nullptr;
  r.rc_sum += qimread2(in.c_str(), big, &dw, &dh, &pitch, 0);
  r.read2.assign(big, big + static_cast<size_t>(pitch) * dh);
  qFree(big);

  r.rc_sum += qimwrite(out.c_str(), img.data(), w, h, w * 3, 1);
  r.written = read_bytes(out);

  const int rw = 20 + 9 * i, rh = 90 - 5 * i;
  r.resized.assign(static_cast<size_t>(rw) * rh * 3, 0);
  r.rc_sum += ipp_resize(const_cast<unsigned char*>(img.data()), w, h, w * 3, r.resized.data(), rw, rh, rw * 3);
  // Linear growth on both axes, and on thread 0 the same size.
  const int gw = i == 0 ? w : 2 * w + i, gh = i == 0 ? h : h + 5 * i;
  r.grown.assign(static_cast<size_t>(gw) * gh * 3, 0);
  r.rc_sum += ipp_resize(const_cast<unsigned char*>(img.data()), w, h, w * 3, r.grown.data(), gw, gh, gw * 3);
  r.rc_sum += qresize(in.c_str(), rw, 0, resized.c_str());
  r.resized_file = read_bytes(resized);
  // A failing call on every thread too.
  r.rc_sum += qdecode(jpeg.data(), jpeg.size() / 2, &pixels, &dw, &dh, &pitch, 1);
  return r;
}

int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

}  // namespace

TEST(Concurrency, EveryFunctionOnEightThreadsMatchesTheCallAlone) {
  TempDir dir;
  for (int i = 0; i < kThreads; ++i) {
    const int w = 37 + 13 * i, h = 23 + 7 * i;
    write_bytes(dir / ("in" + std::to_string(i) + ".jpg"),
                tj_encode(make_image(w, h, 3, static_cast<unsigned>(100 + i)), w, h, TJPF_BGR));
  }
  std::vector<Results> alone(kThreads), together(kThreads);
  // The library's lines interleave on standard output; they are not checked here.
  int threads_before = 0, threads_after = 0;
  capture_stdout([&] {
    // Counted before the test starts threads of its own, after which
    // sanitizer runtimes may start a helper thread.
    threads_before = thread_count();
    for (int i = 0; i < kThreads; ++i) alone[i] = run_all(i, dir, "alone");
    threads_after = thread_count();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] { together[i] = run_all(i, dir, "together"); });
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(threads_after, threads_before);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(alone[i].rc_sum, -1) << "only the half-file decode fails";
    EXPECT_TRUE(alone[i] == together[i]) << "thread " << i;
  }
}
