// Inputs nobody should send: each ends in -1 with the right lines, with
// nothing written where it should not be and nothing leaked.
#include <qarvel/qarvel.h>

#include <cstring>
#include <set>

#include "test_support.h"

using namespace qtest;

namespace {

const std::set<std::string> kDecodeFailures = {
    "[qdecode] tjDecompressHeader3 error!\n", "[qdecode] tjDecompress2 error!\n"};

}  // namespace

TEST(Hostile, TruncatedFilesFailAtEveryCut) {
  const Bytes whole = read_bytes(testdata("photo-480x360-420-exif.jpg"));
  TempDir dir;
  Bytes caller(480 * 3 * 360);
  for (size_t cut = 1; cut < whole.size(); cut += cut < 1024 ? 13 : 997) {
    SCOPED_TRACE(cut);
    Bytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
    unsigned char* pixels = nullptr;
    int w = 0, h = 0, pitch = 0;
    std::string out = capture_stdout(
        [&] { EXPECT_EQ(-1, qdecode(part.data(), part.size(), &pixels, &w, &h, &pitch, 1)); });
    EXPECT_EQ(kDecodeFailures.count(out), 1u) << out;
    EXPECT_EQ(pixels, nullptr);
    out = capture_stdout(
        [&] { EXPECT_EQ(-1, qdecode2(part.data(), part.size(), caller.data(), &w, &h, &pitch, 1)); });
    EXPECT_NE(out.find("[qdecode2] tjDecompress"), std::string::npos) << out;
    if (cut % 5 == 1) {
      write_bytes(dir / "cut.jpg", part);
      out = capture_stdout([&] {
        EXPECT_EQ(-1, qimread((dir / "cut.jpg").c_str(), &pixels, &w, &h, &pitch, 0));
      });
      EXPECT_NE(out.find("\n[qimread] qdecode error!\n"), std::string::npos) << out;
    }
  }
}

TEST(Hostile, HeadersClaimingHugeImagesAllocateNothing) {
  TempDir dir;
  const Bytes claim = jpeg_claiming(65000, 65000);
  ASSERT_LT(claim.size(), 1024u);
  write_bytes(dir / "huge.jpg", claim);

  unsigned char* pixels = nullptr;
  int w = 0, h = 0, pitch = 0;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qimread((dir / "huge.jpg").c_str(), &pixels, &w, &h, &pitch, 1)); }),
            "[qdecode] tjAlloc error!\n[qimread] qdecode error!\n");
  EXPECT_EQ(pixels, nullptr);
  EXPECT_EQ(w, 65000);

  std::unique_ptr<unsigned char, int (*)(unsigned char*)> buf(pre_alloc_imread(), qFree);
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qimread2((dir / "huge.jpg").c_str(), buf.get(), &w, &h, &pitch, 1)); }),
            "[qdecode2] image dimension is too large!\n[qimread2] qdecode error!\n");
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qresize((dir / "huge.jpg").c_str(), 100, 0, (dir / "o.jpg").c_str())); }),
            "[qdecode] tjAlloc error!\n[qimread] qdecode error!\n[qresize] qimread error!\n");
  EXPECT_FALSE(fs::exists(dir / "o.jpg"));

  // Beyond what TurboJPEG supports at all.
  const Bytes beyond = jpeg_claiming(65535, 65535);
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode(beyond.data(), beyond.size(), &pixels, &w, &h, &pitch, 1)); }),
            "[qdecode] tjDecompressHeader3 error!\n");
}

TEST(Hostile, OutputsThatCannotBeWritten) {
  TempDir dir;
  Bytes img = make_image(32, 32);
  // procfs takes no new files, even from root.
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qimwrite("/proc/qarvel-test.jpg", img.data(), 32, 32, 96, 1)); }),
            "[qimwrite] /proc/qarvel-test.jpg open error!\n");
  write_bytes(dir / "in.jpg", tj_encode(img, 32, 32, TJPF_BGR));
  std::string out = capture_stdout([&] { EXPECT_EQ(-1, qresize((dir / "in.jpg").c_str(), 16, 0, "/dev/full")); });
  EXPECT_NE(out.find("[qimwrite] /dev/full write error!\n[qresize] qimwrite error!\n"), std::string::npos) << out;
}

TEST(Hostile, ResamplerRefusesBadSizesStepsAndPointersSilently) {
  Bytes src(64 * 48 * 3, 77), dst(32 * 24 * 3 + 64, 0xCD);
  const Bytes untouched = dst;
  struct Case { unsigned char* s; int sw, sh, ss; unsigned char* d; int dw, dh, ds; };
  unsigned char* S = src.data();
  unsigned char* D = dst.data();
  const Case cases[] = {
      {S, 0, 48, 192, D, 32, 24, 96},      {S, 64, 0, 192, D, 32, 24, 96},
      {S, 64, 48, 192, D, 0, 24, 96},      {S, 64, 48, 192, D, 32, 0, 96},
      {S, -64, 48, 192, D, 32, 24, 96},    {S, 64, 48, 192, D, 32, -24, 96},
      {S, 64, 48, -192, D, 32, 24, 96},    {S, 64, 48, 192, D, 32, 24, -96},
      {S, 64, 48, 191, D, 32, 24, 96},     {S, 64, 48, 192, D, 32, 24, 95},
      {S, 64, 48, 0, D, 32, 24, 96},       {S, 64, 48, 192, D, 32, 24, 0},
      {nullptr, 64, 48, 192, D, 32, 24, 96}, {S, 64, 48, 192, nullptr, 32, 24, 96},
      {S, 64, 48, 192, D, INT32_MAX, INT32_MAX, 96},
      {S, INT32_MAX, 48, INT32_MAX, D, 32, 24, 96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << "/" << c.ss << " -> " << c.dw << "x"
                                    << c.dh << "/" << c.ds);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, ipp_resize(c.s, c.sw, c.sh, c.ss, c.d, c.dw, c.dh, c.ds)); }), "");
    EXPECT_EQ(dst, untouched);
  }
}
