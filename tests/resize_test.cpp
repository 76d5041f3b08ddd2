// ipp_resize, the exported resampling entry point: silent failures, the
// timing line and concurrent calls.
#include <gtest/gtest.h>

#include <qarvel/qarvel.h>

#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "exports/elapsed.h"

using qarvel::detail::elapsed_ms;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes noise(int w, int h, unsigned seed) {
  Bytes px(size_t(w) * h * 3);
  std::mt19937 rng(seed);
  for (auto& v : px) v = static_cast<unsigned char>(rng());
  return px;
}

struct Outcome {
  int rc = 0;
  std::string out;
};

Outcome resize(Bytes& src, int sw, int sh, int sstep, unsigned char* dst, int dw, int dh, int dstep) {
  Outcome o;
  fflush(stdout);
  testing::internal::CaptureStdout();
  o.rc = ipp_resize(src.empty() ? nullptr : src.data(), sw, sh, sstep, dst, dw, dh, dstep);
  fflush(stdout);
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

Outcome resize(int sw, int sh, int dw, int dh) {
  Bytes src = noise(sw, sh, 1);
  Bytes dst(size_t(dw) * dh * 3);
  return resize(src, sw, sh, sw * 3, dst.data(), dw, dh, dw * 3);
}

int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

}  // namespace

TEST(IppResize, SuccessPrintsOneTimingLine) {
  const Outcome o = resize(97, 61, 13, 7);
  ASSERT_EQ(o.rc, 0);
  EXPECT_TRUE(std::regex_match(o.out, std::regex("ipp_resize time---------->[0-9]+\\.[0-9]{6} ms\n")))
      << o.out;
}

TEST(IppResize, FailuresPrintNothing) {
  Bytes src = noise(40, 30, 2);
  Bytes dst(20 * 15 * 3);
  struct {
    const char* what;
    bool null_src;
    int sw, sh, sstep;
    bool null_dst;
    int dw, dh, dstep;
  } const cases[] = {
      {"zero width", false, 0, 30, 120, false, 20, 15, 60},
      {"negative height", false, 40, 30, 120, false, 20, -15, 60},
      {"null source", true, 40, 30, 120, false, 20, 15, 60},
      {"null destination", false, 40, 30, 120, true, 20, 15, 60},
      {"source step below row", false, 40, 30, 119, false, 20, 15, 60},
      {"destination step below row", false, 40, 30, 120, false, 20, 15, 59},
      {"negative step", false, 40, 30, -120, false, 20, 15, 60},
  };
  for (const auto& c : cases) {
    Bytes none;
    const Outcome o = resize(c.null_src ? none : src, c.sw, c.sh, c.sstep,
                             c.null_dst ? nullptr : dst.data(), c.dw, c.dh, c.dstep);
    EXPECT_EQ(o.rc, -1) << c.what;
    EXPECT_EQ(o.out, "") << c.what;
  }
}

TEST(IppResize, ConcurrentCallsMatchSingleThreadedResults) {
  struct Job {
    int sw, sh, dw, dh;
  };
  const Job jobs[] = {{401, 301, 123, 97}, {123, 97, 401, 301}, {300, 200, 150, 250}, {256, 256, 256, 256}};
  std::vector<Bytes> src, want, got;
  for (const Job& j : jobs) {
    src.push_back(noise(j.sw, j.sh, j.sw));
    want.emplace_back(size_t(j.dw) * j.dh * 3);
    got.emplace_back(size_t(j.dw) * j.dh * 3);
    ASSERT_EQ(resize(src.back(), j.sw, j.sh, j.sw * 3, want.back().data(), j.dw, j.dh, j.dw * 3).rc, 0);
  }
  fflush(stdout);
  testing::internal::CaptureStdout();  // the timing lines of the threads
  std::vector<std::thread> threads;
  std::vector<int> rc(std::size(jobs), -2);
  for (size_t i = 0; i < std::size(jobs); ++i)
    threads.emplace_back([&, i] {
      const Job& j = jobs[i];
      for (int rep = 0; rep < 3 && rc[i] != -1; ++rep)
        rc[i] = ipp_resize(src[i].data(), j.sw, j.sh, j.sw * 3, got[i].data(), j.dw, j.dh, j.dw * 3);
    });
  for (auto& t : threads) t.join();
  testing::internal::GetCapturedStdout();
  for (size_t i = 0; i < std::size(jobs); ++i) {
    EXPECT_EQ(rc[i], 0);
    EXPECT_EQ(got[i], want[i]) << i;
  }
  // The library starts no threads of its own. Measured around a call on this
  // thread alone, since sanitizer runtimes may start a helper thread once the
  // test starts its own.
  const int threads_before = thread_count();
  ASSERT_EQ(resize(src[0], jobs[0].sw, jobs[0].sh, jobs[0].sw * 3, got[0].data(), jobs[0].dw,
                   jobs[0].dh, jobs[0].dw * 3).rc, 0);
  EXPECT_EQ(thread_count(), threads_before);
}

TEST(ElapsedTime, CombinesWholeSecondAndMicrosecondDifferences) {
  EXPECT_DOUBLE_EQ(elapsed_ms({10, 999999}, {12, 1}), 2000.0 - 999.998);
  EXPECT_DOUBLE_EQ(elapsed_ms({5, 250}, {5, 1250}), 1.0);
}
