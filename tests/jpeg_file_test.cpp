// Reading and writing JPEG files through the exported functions.
#include <qarvel/qarvel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "test_support.h"

using namespace qtest;

namespace {

struct ReadResult {
  int rc = -7;
  int width = 0, height = 0, pitch = 0;
  unsigned char* buffer = nullptr;
  std::string out;
  ~ReadResult() { qFree(buffer); }
};

std::unique_ptr<ReadResult> read_file(const char* path, int clr_format = TJPF_BGR) {
  auto r = std::make_unique<ReadResult>();
  r->out = capture_stdout(
      [&] { r->rc = qimread(path, &r->buffer, &r->width, &r->height, &r->pitch, clr_format); });
  return r;
}

std::string read2_line(const char* path, unsigned char* buf, int clr_format = TJPF_BGR) {
  int w = 0, h = 0, p = 0;
  return capture_stdout([&] { EXPECT_EQ(-1, qimread2(path, buf, &w, &h, &p, clr_format)); });
}

std::string write_line(const char* path, const unsigned char* img, int w, int h, int pitch,
                       int fmt, int expected_rc = -1) {
  return capture_stdout([&] { EXPECT_EQ(expected_rc, qimwrite(path, img, w, h, pitch, fmt)); });
}

}  // namespace

// Every corpus file decodes to exactly what a direct TurboJPEG decode gives,
// or fails with the line of the step where TurboJPEG fails.
TEST(ReadCorpus, EveryFileMatchesTurboJpeg) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(testdata(""))) {
    if (entry.path().extension() != ".jpg") continue;
    ++files;
    const std::string path = entry.path().string();
    SCOPED_TRACE(path);
    Bytes jpeg = read_bytes(entry.path());
    for (int fmt : {TJPF_RGB, TJPF_BGR}) {
      TjDecoded ref = tj_decode(jpeg, fmt);
      auto r = read_file(path.c_str(), fmt);
      if (ref.decode_ok) {
        ASSERT_EQ(r->rc, 0) << r->out;
        EXPECT_EQ(r->out, "");
        EXPECT_EQ(r->width, ref.width);
        EXPECT_EQ(r->height, ref.height);
        EXPECT_EQ(r->pitch, ref.width * 3);
        EXPECT_EQ(0, memcmp(r->buffer, ref.pixels.data(), ref.pixels.size()));
      } else {
        EXPECT_EQ(r->rc, -1);
        std::string first = jpeg.empty()     ? "[qdecode] jpeg_size is 0!\n"
                            : ref.header_ok ? "[qdecode] tjDecompress2 error!\n"
                                            : "[qdecode] tjDecompressHeader3 error!\n";
        EXPECT_EQ(r->out, first + "[qimread] qdecode error!\n");
        EXPECT_EQ(r->buffer, nullptr);
      }
    }
  }
  EXPECT_GE(files, 60);
}

TEST(Read, ArgumentAndOpenFailures) {
  auto bad_fmt = read_file(nullptr, 2);
  EXPECT_EQ(bad_fmt->out, "[qimread] clr_format not support!\n");
  EXPECT_EQ(read_file("x.jpg", -1)->out, "[qimread] clr_format not support!\n");
  EXPECT_EQ(read_file(nullptr)->out, "[qimread] filename null\n");
  auto missing = read_file("/nonexistent/dir/missing.jpg");
  EXPECT_EQ(missing->rc, -1);
  EXPECT_EQ(missing->out, "[qimread] cannot open file: /nonexistent/dir/missing.jpg!\n");

  unsigned char buf[16];
  EXPECT_EQ(read2_line(nullptr, buf, 2), "[qimread] clr_format not support!\n");
  EXPECT_EQ(read2_line(nullptr, buf), "[qimread] filename null\n");
  EXPECT_EQ(read2_line("x.jpg", nullptr), "[qimread2] image_buffer is null!\n");
  EXPECT_EQ(read2_line("/nonexistent.jpg", buf), "[qimread] cannot open file: /nonexistent.jpg!\n");
}

TEST(Read, FilesThatCannotBeHeldWholeAreRefused) {
  TempDir dir;
  // A directory opens, but its end position reads as the largest long.
  EXPECT_EQ(read_file(dir.path().c_str())->out, "[qimread] file is too large!\n");

  const std::string empty = (dir / "empty.jpg").string();
  write_bytes(empty, {});
  EXPECT_EQ(read_file(empty.c_str())->out, "[qdecode] jpeg_size is 0!\n[qimread] qdecode error!\n");
  unsigned char buf[16];
  EXPECT_EQ(read2_line(empty.c_str(), buf), "[qdecode2] jpeg_size is 0!\n[qimread2] qdecode error!\n");

  // A FIFO is refused at once, as a pipe's failed size query always was,
  // with or without a writer; the alarm ends a read that waits.
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  alarm(30);
  EXPECT_EQ(read_file(fifo.c_str())->out, "[qimread] tjAlloc error!\n");
  EXPECT_EQ(read2_line(fifo.c_str(), buf), "[qimread] tjAlloc error!\n");
  const int both_ends = open(fifo.c_str(), O_RDWR);
  EXPECT_EQ(read_file(fifo.c_str())->out, "[qimread] tjAlloc error!\n");
  close(both_ends);
  alarm(0);
}

TEST(Read, ShortReadIsRefused) {
  // sysfs reports a size of one page but yields only the text it holds.
  const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat st {};
  if (stat(path, &st) != 0 || st.st_size <= static_cast<off_t>(read_bytes(path).size()))
    GTEST_SKIP() << "no file here whose size exceeds its content";
  EXPECT_EQ(read_file(path)->out, "[qimread] read file error!\n");
}

TEST(Read2, SizeCapRefusesWithBothLinesAndQimreadHasNone) {
  const std::string path = testdata("cap-7681x4320-gray.jpg").string();
  std::unique_ptr<unsigned char, int (*)(unsigned char*)> buf(pre_alloc_imread(), qFree);
  int w = 0, h = 0, p = 0;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qimread2(path.c_str(), buf.get(), &w, &h, &p, 1)); }),
            "[qdecode2] image dimension is too large!\n[qimread2] qdecode error!\n");
  EXPECT_EQ(w, 7681);
  EXPECT_EQ(p, 7681 * 3);
  auto r = read_file(path.c_str());
  EXPECT_EQ(r->rc, 0);

  const std::string ok = testdata("photo-640x480-422-iptc.jpg").string();
  ASSERT_EQ(0, qimread2(ok.c_str(), buf.get(), &w, &h, &p, TJPF_RGB));
  TjDecoded ref = tj_decode(read_bytes(ok), TJPF_RGB);
  EXPECT_EQ(0, memcmp(buf.get(), ref.pixels.data(), ref.pixels.size()));
}

TEST(Write, RoundTripKeepsSizeAndPixelsClose) {
  TempDir dir;
  for (auto [w, h] : {std::pair{1, 1}, {17, 3}, {640, 480}}) {
    const std::string path = (dir / "out.jpg").string();
    Bytes img = make_image(w, h);
    EXPECT_EQ(write_line(path.c_str(), img.data(), w, h, w * 3, TJPF_BGR, 0), "");
    EXPECT_EQ(read_bytes(path), tj_encode(img, w, h, TJPF_BGR, TJSAMP_422, 85));
    auto r = read_file(path.c_str(), TJPF_BGR);
    ASSERT_EQ(r->rc, 0);
    EXPECT_EQ(r->width, w);
    EXPECT_EQ(r->height, h);
    double diff = 0;
    for (size_t i = 0; i < img.size(); ++i) diff += std::abs(img[i] - r->buffer[i]);
    EXPECT_LT(diff / img.size(), 4.0) << w << "x" << h;
  }
}

TEST(Write, ArgumentAndEncoderFailuresLeaveTheFileAlone) {
  TempDir dir;
  const std::string path = (dir / "keep.jpg").string();
  const Bytes original = {'o', 'l', 'd'};
  write_bytes(path, original);
  Bytes img = make_image(8, 8);
  const char* p = path.c_str();
  EXPECT_EQ(write_line(nullptr, nullptr, 8, 8, 24, 1), "[qimwrite] image info error!\n");
  EXPECT_EQ(write_line(p, img.data(), 0, 8, 24, 1), "[qimwrite] image info error!\n");
  EXPECT_EQ(write_line(p, img.data(), 8, 0, 24, 1), "[qimwrite] image info error!\n");
  EXPECT_EQ(write_line(p, img.data(), 8, 8, 7, 1), "[qimwrite] image info error!\n");
  EXPECT_EQ(write_line(nullptr, img.data(), 8, 8, 24, 1), "[qimwrite] filename null\n");
  // The writer's own test lets pitch == width through; the encoder refuses it.
  EXPECT_EQ(write_line(p, img.data(), 8, 8, 8, 1),
            "[qencode] image_buffer inof error!\n[qimwrite] encode error!\n");
  EXPECT_EQ(write_line(p, img.data(), 8, 8, 24, 42),
            "[qencode] tjCompress2 error!\n[qimwrite] encode error!\n");
  EXPECT_EQ(read_bytes(path), original);
}

TEST(Write, OpenAndWriteFailures) {
  TempDir dir;
  Bytes img = make_image(64, 64);
  const std::string missing = (dir / "no/such/dir/out.jpg").string();
  EXPECT_EQ(write_line(missing.c_str(), img.data(), 64, 64, 192, 1),
            "[qimwrite] " + missing + " open error!\n");
  EXPECT_FALSE(fs::exists(dir / "no"));
  // A full device takes the bytes into stdio's buffer and fails on flush.
  EXPECT_EQ(write_line("/dev/full", img.data(), 64, 64, 192, 1),
            "[qimwrite] /dev/full write error!\n");
}

TEST(Write, OverwriteReplacesTheWholeFile) {
  TempDir dir;
  const std::string path = (dir / "o.jpg").string();
  write_bytes(path, Bytes(1 << 20, 0x55));
  Bytes img = make_image(4, 4);
  EXPECT_EQ(write_line(path.c_str(), img.data(), 4, 4, 12, TJPF_RGB, 0), "");
  EXPECT_EQ(read_bytes(path), tj_encode(img, 4, 4, TJPF_RGB, TJSAMP_422, 85));
}

// A failed write over an existing file leaves it whole: the new bytes go to
// a temporary file beside it, which is removed.
TEST(Write, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string path = (dir / "old.jpg").string();
  const Bytes old(3000, 'o');
  write_bytes(path, old);
  const Bytes noise = make_noise(256 * 256 * 3);
  int rc = 0;
  const std::string out = run_with_file_limit(
      16384, [&] { return qimwrite(path.c_str(), noise.data(), 256, 256, 768, TJPF_RGB); }, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "[qimwrite] " + path + " write error!\n");
  EXPECT_EQ(read_bytes(path), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);
}

// A replaced file keeps its permission bits; a symbolic link is written
// through; another hard link keeps the old contents; a file beside which no
// temporary can be made (in /proc) is written in place, as /dev/full is.
TEST(Write, ReplacementKeepsModeAndLinksAndLeavesOtherTargetsInPlace) {
  TempDir dir;
  const std::string path = (dir / "o.jpg").string();
  write_bytes(path, {'o', 'l', 'd'});
  chmod(path.c_str(), 0604);
  ASSERT_EQ(0, link(path.c_str(), (dir / "hard.jpg").c_str()));
  fs::create_symlink(path, dir / "soft.jpg");
  Bytes img = make_image(8, 8);
  const Bytes jpeg = tj_encode(img, 8, 8, TJPF_RGB, TJSAMP_422, 85);
  EXPECT_EQ(write_line((dir / "soft.jpg").c_str(), img.data(), 8, 8, 24, TJPF_RGB, 0), "");
  EXPECT_TRUE(fs::is_symlink(dir / "soft.jpg"));
  EXPECT_EQ(read_bytes(path), jpeg);
  EXPECT_EQ(read_bytes(dir / "hard.jpg"), (Bytes{'o', 'l', 'd'}));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0604u);

  // Writing a number there clears the soft-dirty bits; JPEG bytes are refused.
  EXPECT_EQ(write_line("/proc/self/clear_refs", img.data(), 8, 8, 24, TJPF_RGB),
            "[qimwrite] /proc/self/clear_refs write error!\n");
}
