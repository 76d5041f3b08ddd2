// The internal API under the exports: failures come back as a fault and a
// message, never on standard output, and huge-page advice leaves with the
// buffer it was given to.
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>

#include "core.h"
#include "test_support.h"

using namespace qtest;

namespace {

// The VmFlags of the mapping that holds `p`, or "" when none does.
std::string vm_flags(const void* p) {
  std::ifstream smaps("/proc/self/smaps");
  const auto a = reinterpret_cast<uintptr_t>(p);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t lo = 0, hi = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> lo >> dash >> hi && dash == '-') inside = lo <= a && a < hi;
    else if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

bool advised(const void* p) { return vm_flags(p).find(" hg") != std::string::npos; }

// Sanitizer runtimes bring allocators of their own, and THP may be missing.
bool huge_pages_observable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
  return fs::exists("/sys/kernel/mm/transparent_hugepage/enabled");
#endif
}

}  // namespace

TEST(Core, FailuresReportAFaultAndAMessageAndPrintNothing) {
  const std::string out = capture_stdout([] {
    const Bytes text = {'h', 'e', 'l', 'l', 'o'};
    qarvel::Result<qarvel::Image> image = qarvel::decode(text, TJPF_RGB);
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().fault, qarvel::Fault::kHeader);
    EXPECT_NE(image.error().message.find("Not a JPEG file"), std::string::npos)
        << image.error().message;

    qarvel::Result<qarvel::Blob> missing = qarvel::read_file("/nonexistent/in.jpg");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().fault, qarvel::Fault::kOpen);
    EXPECT_EQ(missing.error().message, "cannot open /nonexistent/in.jpg: No such file or directory");

    Bytes px(4 * 4 * 3);
    qarvel::Status s = qarvel::resample(px.data(), 4, 4, 11, px.data(), 2, 2, 6);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().fault, qarvel::Fault::kResample);

    EXPECT_EQ(qarvel::aspect_height(1, 3, 715827882).error().fault, qarvel::Fault::kTooLarge);
  });
  EXPECT_EQ(out, "");
}

TEST(Core, ScaledDecodeMatchesTurboJpeg) {
  const Bytes jpeg = read_bytes(testdata("photo-1165x859-420.jpg"));
  qarvel::Result<qarvel::Image> quarter = qarvel::decode(jpeg, TJPF_BGR, {1, 4});
  ASSERT_TRUE(quarter) << quarter.error().message;
  EXPECT_EQ(quarter->width, 292);  // 1165 / 4, rounded up
  EXPECT_EQ(quarter->height, 215);
  EXPECT_EQ(qarvel::decode(jpeg, TJPF_BGR, {1, 5}).error().fault, qarvel::Fault::kArgument);
}

TEST(Core, HugePageAdviceLeavesWithTheBuffer) {
  if (!huge_pages_observable()) GTEST_SKIP() << "huge-page advice not observable here";
  constexpr size_t kBytes = size_t{40} << 20;
  // A private buffer is its own mapping: advised while held, gone with it.
  {
    qarvel::PixelBuffer b = qarvel::PixelBuffer::allocate(kBytes, qarvel::Storage::kPrivate);
    ASSERT_TRUE(b);
    const uint8_t* p = b.data();
    EXPECT_TRUE(advised(p));
    b.reset();
    EXPECT_FALSE(advised(p));
  }
  // A host buffer that malloc maps on its own is advised; one carved from
  // the heap is not, since the heap reuses its pages after the free.
  {
    qarvel::PixelBuffer b = qarvel::PixelBuffer::allocate(kBytes, qarvel::Storage::kHost);
    ASSERT_TRUE(b);
    const uint8_t* p = b.data() + kBytes / 2;
    EXPECT_TRUE(advised(p));
    b.reset();
    EXPECT_FALSE(advised(p));
  }
  ASSERT_EQ(mallopt(M_MMAP_MAX, 0), 1);  // every block from the heap
  qarvel::PixelBuffer b = qarvel::PixelBuffer::allocate(size_t{8} << 20, qarvel::Storage::kHost);
  mallopt(M_MMAP_MAX, 65536);
  ASSERT_TRUE(b);
  EXPECT_FALSE(advised(b.data() + (size_t{4} << 20)));
}
