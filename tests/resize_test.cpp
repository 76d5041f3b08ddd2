// ipp_resize, the exported resampling entry point: the timing line. Its
// refusals are in hostile_test, its concurrent calls in concurrency_test.
#include <gtest/gtest.h>

#include <qarvel/qarvel.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "exports/elapsed.h"

using qarvel::detail::elapsed_ms;

TEST(IppResize, SuccessPrintsOneTimingLine) {
  std::vector<unsigned char> src(97 * 61 * 3), dst(13 * 7 * 3);
  std::mt19937 rng(1);
  for (auto& v : src) v = static_cast<unsigned char>(rng());
  fflush(stdout);
  testing::internal::CaptureStdout();
  const int rc = ipp_resize(src.data(), 97, 61, 97 * 3, dst.data(), 13, 7, 13 * 3);
  fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(std::regex_match(out, std::regex("ipp_resize time---------->[0-9]+\\.[0-9]{6} ms\n")))
      << out;
}

TEST(ElapsedTime, CombinesWholeSecondAndMicrosecondDifferences) {
  EXPECT_DOUBLE_EQ(elapsed_ms({10, 999999}, {12, 1}), 2000.0 - 999.998);
  EXPECT_DOUBLE_EQ(elapsed_ms({5, 250}, {5, 1250}), 1.0);
}
