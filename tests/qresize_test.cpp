// The one-call file-to-file resize, end to end through the exported function.
#include <qarvel/qarvel.h>

#include <regex>

#include "test_support.h"

using namespace qtest;

namespace {

// A flat grey JPEG of any size, cheap to make and to decode.
void write_grey_jpeg(const fs::path& path, int width, int height) {
  Bytes grey(static_cast<size_t>(width) * height, 128);
  write_bytes(path, tj_encode(grey, width, height, TJPF_GRAY, TJSAMP_GRAY, 75));
}

struct ResizeRun {
  int rc;
  std::string out;
};

ResizeRun resize(const fs::path& in, int w, int h, const fs::path& out) {
  ResizeRun r{};
  r.out = capture_stdout([&] { r.rc = qresize(in.c_str(), w, h, out.c_str()); });
  return r;
}

std::pair<int, int> jpeg_size(const fs::path& path) {
  TjDecoded d = tj_decode(read_bytes(path), TJPF_BGR);
  return {d.width, d.height};
}

const std::string kTiming = R"(ipp_resize time---------->[0-9]+\.[0-9]{6} ms\n)";

}  // namespace

TEST(Qresize, SuccessPrintsFiveLinesInOrder) {
  TempDir dir;
  write_grey_jpeg(dir / "in.jpg", 960, 540);
  ResizeRun r = resize(dir / "in.jpg", 640, 0, dir / "out.jpg");
  ASSERT_EQ(r.rc, 0) << r.out;
  const std::string out_path = (dir / "out.jpg").string();
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("begin resize \\(960x540\\)----->\\(640x360\\)\\.\\.\\.\n" + kTiming +
                        "resize \\(960x540\\)----->\\(640x360\\)\\.\\.\\. done!\n" + out_path +
                        " write done!\ntotal time---------->[0-9]+\\.[0-9]{6} ms\n")))
      << r.out;
  EXPECT_EQ(jpeg_size(dir / "out.jpg"), std::make_pair(640, 360));
}

TEST(Qresize, AspectHeightIsFormedInSinglePrecision) {
  TempDir dir;
  struct { int sw, sh, dw, expected; } cases[] = {
      {1000, 335, 100, 34}, {1000, 334, 100, 33}, {1000, 999, 800, 799},
      // The product loses its last bit in single precision.
      {4750, 4275, 4275, 3847},
      // The single-precision quotient rounds up to 4041.5.
      {4591, 4086, 4541, 4042}};
  for (auto c : cases) {
    write_grey_jpeg(dir / "in.jpg", c.sw, c.sh);
    ResizeRun r = resize(dir / "in.jpg", c.dw, 0, dir / "out.jpg");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(jpeg_size(dir / "out.jpg"), std::make_pair(c.dw, c.expected)) << c.sw << "x" << c.sh;
  }
}

TEST(Qresize, ArgumentFailuresTouchNoFile) {
  TempDir dir;
  write_grey_jpeg(dir / "in.jpg", 16, 16);
  const Bytes before = {'k', 'e', 'e', 'p'};
  write_bytes(dir / "out.jpg", before);
  EXPECT_EQ(resize(dir / "in.jpg", 5, -1, dir / "out.jpg").out, "dst_width(5) <= 0 or dst_height(-1) < 0");
  EXPECT_EQ(resize(dir / "in.jpg", 0, 7, dir / "out.jpg").out, "dst_width(0) <= 0 or dst_height(7) < 0");
  std::string null_line = capture_stdout([&] { EXPECT_EQ(-1, qresize(nullptr, 5, 5, "x.jpg")); });
  EXPECT_EQ(null_line, "infile_path_name or outfile_path_name is null\n");
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qresize("in.jpg", 5, 5, nullptr)); }), null_line);
  EXPECT_EQ(read_bytes(dir / "out.jpg"), before);
}

TEST(Qresize, FailureTrailsLeaveTheOutputAsItWas) {
  TempDir dir;
  const Bytes before = {'k', 'e', 'e', 'p'};
  write_bytes(dir / "out.jpg", before);

  const fs::path missing = dir / "missing.jpg";
  EXPECT_EQ(resize(missing, 10, 0, dir / "out.jpg").out,
            "[qimread] cannot open file: " + missing.string() + "!\n[qresize] qimread error!\n");
  write_bytes(dir / "junk.jpg", {'n', 'o', 'p', 'e'});
  EXPECT_EQ(resize(dir / "junk.jpg", 10, 0, dir / "out.jpg").out,
            "[qdecode] tjDecompressHeader3 error!\n[qimread] qdecode error!\n[qresize] qimread error!\n");

  // 1000 x 1 to width 1 keeps the aspect ratio at height 0, which the resampler refuses.
  write_grey_jpeg(dir / "line.jpg", 1000, 1);
  ResizeRun zero = resize(dir / "line.jpg", 1, 0, dir / "out.jpg");
  EXPECT_EQ(zero.rc, -1);
  EXPECT_EQ(zero.out, "begin resize (1000x1)----->(1x0)...\n[qresize] ipp_resize error!\n");

  const fs::path unwritable = dir / "no/such/dir/out.jpg";
  write_grey_jpeg(dir / "in.jpg", 64, 48);
  ResizeRun r = resize(dir / "in.jpg", 32, 24, unwritable);
  EXPECT_EQ(r.rc, -1);
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("begin resize \\(64x48\\)----->\\(32x24\\)\\.\\.\\.\n" + kTiming +
                        "resize \\(64x48\\)----->\\(32x24\\)\\.\\.\\. done!\n\\[qimwrite\\] " +
                        unwritable.string() + " open error!\n\\[qresize\\] qimwrite error!\n")))
      << r.out;
  EXPECT_EQ(read_bytes(dir / "out.jpg"), before);
}

TEST(Qresize, SizesThatOverflowAnIntAreRefused) {
  TempDir dir;
  write_grey_jpeg(dir / "in.jpg", 100, 100);
  // 30,000,000 x 100 does not fit in an int: refused before the begin line.
  EXPECT_EQ(resize(dir / "in.jpg", 30000000, 0, dir / "out.jpg").out,
            "[qresize] dst_width x source height is too large!\n");
  // The product fits, but the single-precision quotient rounds up to 2^31.
  write_grey_jpeg(dir / "one-wide.jpg", 1, 3);
  EXPECT_EQ(resize(dir / "one-wide.jpg", 715827882, 0, dir / "out.jpg").out,
            "[qresize] dst_width x source height is too large!\n");
  EXPECT_EQ(resize(dir / "in.jpg", 100000, 100000, dir / "out.jpg").out,
            "begin resize (100x100)----->(100000x100000)...\n"
            "[qresize] destination image is too large!\n");
  EXPECT_FALSE(fs::exists(dir / "out.jpg"));
}

TEST(Qresize, ShrinkAndEnlargeKeepColoursInPlace) {
  TempDir dir;
  // Four quadrants in BGR order: blue, green, red, white.
  const int w = 640, h = 480;
  const unsigned char colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  Bytes img(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      memcpy(&img[(static_cast<size_t>(y) * w + x) * 3], colours[(y >= h / 2) * 2 + (x >= w / 2)], 3);
  write_bytes(dir / "in.jpg", tj_encode(img, w, h, TJPF_BGR, TJSAMP_444, 95));

  for (auto [dw, dh] : {std::pair{1280, 960}, {160, 120}, {320, 700}}) {
    ASSERT_EQ(resize(dir / "in.jpg", dw, dh, dir / "out.jpg").rc, 0);
    TjDecoded out = tj_decode(read_bytes(dir / "out.jpg"), TJPF_BGR);
    ASSERT_EQ(out.width, dw);
    ASSERT_EQ(out.height, dh);
    for (int q = 0; q < 4; ++q) {
      int x = (q % 2) * dw / 2 + dw / 4, y = (q / 2) * dh / 2 + dh / 4;
      const unsigned char* px = &out.pixels[(static_cast<size_t>(y) * dw + x) * 3];
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(px[c], colours[q][c], 12) << dw << "x" << dh << " quadrant " << q;
    }
  }
}

TEST(Qresize, SourcesBeyondTheCallerBufferCapResize) {
  TempDir dir;
  write_grey_jpeg(dir / "big.jpg", 8000, 4500);
  ResizeRun r = resize(dir / "big.jpg", 800, 0, dir / "out.jpg");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(jpeg_size(dir / "out.jpg"), std::make_pair(800, 450));
}

// Resizing a file over itself on a full disk (here a file-size limit) keeps
// the input whole: the output goes to a temporary file beside it.
TEST(Qresize, FailedWriteOverItsOwnInputKeepsTheInput) {
  TempDir dir;
  const fs::path in = dir / "in.jpg";
  write_bytes(in, tj_encode(make_noise(300 * 200 * 3), 300, 200, TJPF_BGR, TJSAMP_444, 95));
  const Bytes before = read_bytes(in);
  int rc = 0;
  const std::string out = run_with_file_limit(
      16384, [&] { return qresize(in.c_str(), 300, 0, in.c_str()); }, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(std::regex_match(
      out, std::regex("begin resize \\(300x200\\)----->\\(300x200\\)\\.\\.\\.\n" + kTiming +
                      "resize \\(300x200\\)----->\\(300x200\\)\\.\\.\\. done!\n\\[qimwrite\\] " +
                      in.string() + " write error!\n\\[qresize\\] qimwrite error!\n")))
      << out;
  EXPECT_EQ(read_bytes(in), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);
}
