// Helpers shared by the tests: synthetic images, direct TurboJPEG calls,
// captured standard output and temporary files.
#ifndef QARVEL_TESTS_TEST_SUPPORT_H
#define QARVEL_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <csignal>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace qtest {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

inline fs::path testdata(const std::string& name) {
  return fs::path(QARVEL_TESTDATA_DIR) / "jpeg" / name;
}

// Runs fn and returns what it printed on standard output.
inline std::string capture_stdout(const std::function<void()>& fn) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  fn();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Smooth gradients with some noise, so JPEG round trips stay close.
inline Bytes make_image(int width, int height, int channels = 3, unsigned seed = 1) {
  Bytes img(static_cast<size_t>(width) * height * channels);
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        int v = (x * 255 / (width > 1 ? width - 1 : 1) * (c + 1) + y * 255 / (height > 1 ? height - 1 : 1)) / (c + 2);
        img[(static_cast<size_t>(y) * width + x) * channels + c] =
            static_cast<unsigned char>(std::min(255, v + static_cast<int>(rng() % 5)));
      }
  return img;
}

inline Bytes tj_encode(const Bytes& pixels, int width, int height, int pixel_format,
                       int subsamp = TJSAMP_444, int quality = 95) {
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  int rc = tjCompress2(tj, pixels.data(), width, 0, height, pixel_format, &out, &size, subsamp,
                       quality, 0);
  tjDestroy(tj);
  EXPECT_EQ(rc, 0) << tjGetErrorStr2(nullptr);
  Bytes jpeg(out, out + (rc == 0 ? size : 0));
  tjFree(out);
  return jpeg;
}

// A direct decode: fresh handle, header, then the whole image, flags 0.
struct TjDecoded {
  bool header_ok = false;
  bool decode_ok = false;
  int width = 0, height = 0;
  Bytes pixels;
};
inline TjDecoded tj_decode(const Bytes& jpeg, int pixel_format) {
  TjDecoded d;
  tjhandle tj = tjInitDecompress();
  int subsamp = 0, colorspace = 0;
  d.header_ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &d.width, &d.height, &subsamp,
                                    &colorspace) == 0 &&
                d.width > 0 && d.height > 0;
  if (d.header_ok) {
    d.pixels.resize(static_cast<size_t>(d.width) * tjPixelSize[pixel_format] * d.height);
    d.decode_ok = tjDecompress2(tj, jpeg.data(), jpeg.size(), d.pixels.data(), d.width, 0,
                                d.height, pixel_format, 0) == 0;
  }
  tjDestroy(tj);
  return d;
}

// JPEG bytes whose frame header claims width x height; the scan data is
// that of a small image, so only the header is meaningful.
inline Bytes jpeg_claiming(int width, int height) {
  Bytes jpeg = tj_encode(make_image(16, 16), 16, 16, TJPF_RGB);
  for (size_t i = 0; i + 8 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = static_cast<unsigned char>(height >> 8);
      jpeg[i + 6] = static_cast<unsigned char>(height);
      jpeg[i + 7] = static_cast<unsigned char>(width >> 8);
      jpeg[i + 8] = static_cast<unsigned char>(width);
      break;
    }
  return jpeg;
}

inline Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Random bytes: pixels that JPEG cannot compress much.
inline Bytes make_noise(size_t size, unsigned seed = 3) {
  Bytes noise(size);
  std::mt19937 rng(seed);
  for (auto& b : noise) b = static_cast<unsigned char>(rng());
  return noise;
}

// Runs fn in a child process whose writes stop at `limit` bytes into a file
// (EFBIG, as on a full disk); returns what it printed and sets *rc to fn's
// result (-2 when the child did not exit normally).
inline std::string run_with_file_limit(rlim_t limit, const std::function<int()>& fn, int* rc) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &small);
    const int result = fn();
    fflush(stdout);
    _exit(result + 2);
  }
  close(out[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  *rc = WIFEXITED(status) ? WEXITSTATUS(status) - 2 : -2;
  return text;
}

// A fresh directory under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("qarvel-test-" + std::to_string(rd()) + "-" +
                                         std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace qtest

#endif
