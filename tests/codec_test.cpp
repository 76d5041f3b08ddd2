// In-memory decoding and encoding through the exported functions.
#include <qarvel/qarvel.h>

#include <cstring>
#include <memory>

#include "test_support.h"

using namespace qtest;

namespace {

constexpr int kUnset = -12345;
unsigned char* const kSentinelPtr = reinterpret_cast<unsigned char*>(0x1);

struct Decoded {
  int rc = kUnset;
  unsigned char* buffer = kSentinelPtr;
  int width = kUnset, height = kUnset, pitch = kUnset;
  std::string out;
  ~Decoded() {
    if (buffer != kSentinelPtr) qFree(buffer);
  }
};

std::unique_ptr<Decoded> run_qdecode(const Bytes& jpeg, int clr_format) {
  auto d = std::make_unique<Decoded>();
  d->out = capture_stdout([&] {
    d->rc = qdecode(jpeg.data(), jpeg.size(), &d->buffer, &d->width, &d->height, &d->pitch,
                    clr_format);
  });
  return d;
}

Bytes cap_file(const char* name) { return read_bytes(testdata(name)); }

}  // namespace

TEST(Decode, MatchesDirectTurboJpegDecodeInBothFormats) {
  // 101 pixels wide: rows are packed, pitch 303, no alignment padding.
  Bytes jpeg = tj_encode(make_image(101, 37), 101, 37, TJPF_RGB, TJSAMP_420);
  for (int fmt : {TJPF_RGB, TJPF_BGR}) {
    TjDecoded ref = tj_decode(jpeg, fmt);
    auto d = run_qdecode(jpeg, fmt);
    ASSERT_EQ(d->rc, 0);
    EXPECT_EQ(d->out, "");
    EXPECT_EQ(d->width, 101);
    EXPECT_EQ(d->height, 37);
    EXPECT_EQ(d->pitch, 303);
    EXPECT_EQ(0, memcmp(d->buffer, ref.pixels.data(), ref.pixels.size()));

    Bytes buf(101 * 3 * 37 + 16, 0xAB);
    int w = 0, h = 0, p = 0;
    std::string out = capture_stdout(
        [&] { EXPECT_EQ(0, qdecode2(jpeg.data(), jpeg.size(), buf.data(), &w, &h, &p, fmt)); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(p, 303);
    EXPECT_EQ(0, memcmp(buf.data(), ref.pixels.data(), ref.pixels.size()));
    EXPECT_EQ(buf[ref.pixels.size()], 0xAB) << "wrote past the image";
  }
}

TEST(Decode, OtherPixelFormatsUseTheirPixelSize) {
  Bytes jpeg = tj_encode(make_image(10, 4), 10, 4, TJPF_RGB);
  auto rgbx = run_qdecode(jpeg, TJPF_RGBX);
  ASSERT_EQ(rgbx->rc, 0);
  EXPECT_EQ(rgbx->pitch, 40);
  auto gray_as_bgr = run_qdecode(tj_encode(make_image(9, 5, 1), 9, 5, TJPF_GRAY, TJSAMP_GRAY), TJPF_BGR);
  ASSERT_EQ(gray_as_bgr->rc, 0);
  EXPECT_EQ(gray_as_bgr->pitch, 27);
  for (int i = 0; i < 9 * 5; ++i) {
    EXPECT_EQ(gray_as_bgr->buffer[3 * i], gray_as_bgr->buffer[3 * i + 1]);
    EXPECT_EQ(gray_as_bgr->buffer[3 * i], gray_as_bgr->buffer[3 * i + 2]);
  }
}

TEST(Decode, ArgumentFailuresPrintOneLineAndWriteNothing) {
  Bytes jpeg = tj_encode(make_image(8, 8), 8, 8, TJPF_RGB);
  unsigned char* buf = kSentinelPtr;
  int w = kUnset, h = kUnset, p = kUnset;
  auto expect_fail = [&](const std::function<int()>& call, const std::string& line) {
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, call()); }), line + "\n");
    EXPECT_EQ(buf, kSentinelPtr);
    EXPECT_EQ(w, kUnset);
    EXPECT_EQ(h, kUnset);
    EXPECT_EQ(p, kUnset);
  };
  const unsigned char* data = jpeg.data();
  unsigned long size = jpeg.size();
  expect_fail([&] { return qdecode(nullptr, size, &buf, &w, &h, &p, 1); },
              "[qdecode] jpeg_buffer is null!");
  expect_fail([&] { return qdecode(data, 0, &buf, &w, &h, &p, 1); }, "[qdecode] jpeg_size is 0!");
  expect_fail([&] { return qdecode(data, size, nullptr, &w, &h, &p, 1); },
              "[qdecode] image_buffer is null!");
  expect_fail([&] { return qdecode(data, size, &buf, &w, &h, nullptr, 1); },
              "[qdecode] pitch is null!");
  for (int fmt : {-1, TJ_NUMPF, 1000})
    expect_fail([&] { return qdecode(data, size, &buf, &w, &h, &p, fmt); },
                "[qdecode] clr_format not support!");

  unsigned char out[8 * 8 * 3];
  // The caller's-buffer decoder shares the null-buffer line of qdecode.
  expect_fail([&] { return qdecode2(nullptr, size, out, &w, &h, &p, 1); },
              "[qdecode] jpeg_buffer is null!");
  expect_fail([&] { return qdecode2(data, 0, out, &w, &h, &p, 1); }, "[qdecode2] jpeg_size is 0!");
  expect_fail([&] { return qdecode2(data, size, out, &w, &h, nullptr, 1); },
              "[qdecode2] pitch is null!");
  expect_fail([&] { return qdecode2(data, size, out, &w, &h, &p, -3); },
              "[qdecode2] clr_format not support!");
}

TEST(Decode, UnreadableHeaderAllocatesNothing) {
  const Bytes not_jpeg = {'h', 'e', 'l', 'l', 'o', ' ', 'j', 'p', 'e', 'g'};
  // Start and end markers only: TurboJPEG reports success but sets no size.
  const Bytes no_frame = {0xFF, 0xD8, 0xFF, 0xD9};
  for (const Bytes& bad : {not_jpeg, no_frame, cap_file("trunc-in-header-227x149.jpg")}) {
    auto d = run_qdecode(bad, 1);
    EXPECT_EQ(d->rc, -1);
    EXPECT_EQ(d->out, "[qdecode] tjDecompressHeader3 error!\n");
    EXPECT_EQ(d->pitch, kUnset);
    EXPECT_EQ(d->buffer, kSentinelPtr);

    unsigned char out[16];
    int w = kUnset, h = kUnset, p = kUnset;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode2(bad.data(), bad.size(), out, &w, &h, &p, 1)); }),
              "[qdecode2] tjDecompressHeader3 error!\n");
    EXPECT_EQ(p, kUnset);
  }
  // Null width or height ends in the header failure.
  Bytes jpeg = tj_encode(make_image(8, 8), 8, 8, TJPF_RGB);
  unsigned char* buf = kSentinelPtr;
  int h = 0, p = kUnset;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode(jpeg.data(), jpeg.size(), &buf, nullptr, &h, &p, 1)); }),
            "[qdecode] tjDecompressHeader3 error!\n");
  EXPECT_EQ(buf, kSentinelPtr);
  EXPECT_EQ(p, kUnset);
}

TEST(Decode, CorruptScanReleasesTheBufferAndResetsIt) {
  Bytes jpeg = cap_file("trunc-half-1165x859.jpg");
  auto d = run_qdecode(jpeg, 0);
  EXPECT_EQ(d->rc, -1);
  EXPECT_EQ(d->out, "[qdecode] tjDecompress2 error!\n");
  EXPECT_EQ(d->width, 1165);
  EXPECT_EQ(d->height, 859);
  EXPECT_EQ(d->pitch, 1165 * 3);
  EXPECT_EQ(d->buffer, nullptr);

  Bytes out(1165 * 3 * 859);
  int w = 0, h = 0, p = 0;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode2(jpeg.data(), jpeg.size(), out.data(), &w, &h, &p, 0)); }),
            "[qdecode2] tjDecompress2 error!\n");
  EXPECT_EQ(p, 1165 * 3);
  // TurboJPEG refuses a null destination.
  Bytes good = tj_encode(make_image(8, 8), 8, 8, TJPF_RGB);
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode2(good.data(), good.size(), nullptr, &w, &h, &p, 0)); }),
            "[qdecode2] tjDecompress2 error!\n");
}

TEST(Decode, ImagesOfTwoGigabytesOrMoreAreRefusedBeforeAllocating) {
  // 65500 x 10929 x 3 is just over 2^31 bytes.
  Bytes jpeg = jpeg_claiming(65500, 10929);
  auto d = run_qdecode(jpeg, TJPF_BGR);
  EXPECT_EQ(d->rc, -1);
  EXPECT_EQ(d->out, "[qdecode] tjAlloc error!\n");
  EXPECT_EQ(d->width, 65500);
  EXPECT_EQ(d->height, 10929);
  EXPECT_EQ(d->pitch, 65500 * 3);
  EXPECT_EQ(d->buffer, nullptr);
}

TEST(Decode2, SizeCapIsInclusiveAndReportsTheRealSize) {
  std::unique_ptr<unsigned char, int (*)(unsigned char*)> buf(pre_alloc_imread(), qFree);
  ASSERT_NE(buf, nullptr);
  int w = 0, h = 0, p = 0;
  Bytes largest = cap_file("cap-7680x4320-gray.jpg");
  // Every accepted image fits the pre-allocated buffer in every pixel format.
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(0, qdecode2(largest.data(), largest.size(), buf.get(), &w, &h, &p, TJPF_RGBA)); }), "");
  EXPECT_EQ(p, 7680 * 4);
  EXPECT_EQ(buf.get()[7680 * 4 * 4320 - 1], 0xFF);

  struct { const char* file; int w, h; } over[] = {{"cap-7681x4320-gray.jpg", 7681, 4320},
                                                   {"cap-7680x4321-gray.jpg", 7680, 4321}};
  for (auto& o : over) {
    Bytes jpeg = cap_file(o.file);
    buf.get()[0] = 0x5A;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qdecode2(jpeg.data(), jpeg.size(), buf.get(), &w, &h, &p, TJPF_BGR)); }),
              "[qdecode2] image dimension is too large!\n");
    EXPECT_EQ(w, o.w);
    EXPECT_EQ(h, o.h);
    EXPECT_EQ(p, o.w * 3);
    EXPECT_EQ(buf.get()[0], 0x5A) << "caller's buffer written";
  }
  // qdecode has no cap.
  auto d = run_qdecode(cap_file("cap-7681x4320-gray.jpg"), TJPF_BGR);
  EXPECT_EQ(d->rc, 0);
  EXPECT_EQ(d->buffer[7681 * 3 * 4320 - 1], 128);
}

TEST(Buffers, QFreeAcceptsNullAndTablesNameTurboJpegCodes) {
  EXPECT_EQ(qFree(nullptr), 0);
  EXPECT_STREQ(subsampName[TJSAMP_444], "4:4:4");
  EXPECT_STREQ(subsampName[TJSAMP_422], "4:2:2");
  EXPECT_STREQ(subsampName[TJSAMP_420], "4:2:0");
  EXPECT_STREQ(subsampName[TJSAMP_GRAY], "Grayscale");
  EXPECT_STREQ(subsampName[TJSAMP_440], "4:4:0");
  EXPECT_STREQ(subsampName[TJSAMP_411], "4:1:1");
  EXPECT_STREQ(colorspaceName[TJCS_RGB], "RGB");
  EXPECT_STREQ(colorspaceName[TJCS_YCbCr], "YCbCr");
  EXPECT_STREQ(colorspaceName[TJCS_GRAY], "GRAY");
  EXPECT_STREQ(colorspaceName[TJCS_CMYK], "CMYK");
  EXPECT_STREQ(colorspaceName[TJCS_YCCK], "YCCK");
  EXPECT_STREQ(colorfmtName[TJPF_RGB], "RGB");
  EXPECT_STREQ(colorfmtName[TJPF_BGR], "BGR");
  EXPECT_EQ(sizeof(subsampName) / sizeof(subsampName[0]), 6u);
  EXPECT_EQ(sizeof(colorspaceName) / sizeof(colorspaceName[0]), 5u);
  EXPECT_EQ(sizeof(colorfmtName) / sizeof(colorfmtName[0]), 2u);
}

TEST(Encode, OutputIsTurboJpegs422Quality85ByteForByte) {
  for (auto [w, h] : {std::pair{1, 1}, {2, 1}, {101, 37}, {640, 480}}) {
    Bytes img = make_image(w, h);
    Bytes ref = tj_encode(img, w, h, TJPF_BGR, TJSAMP_422, 85);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(0, qencode(img.data(), w, h, w * 3, TJPF_BGR, &out, &size)); }), "");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), ref) << w << "x" << h;
    tjhandle tj = tjInitDecompress();
    int dw, dh, ss = -1, cs;
    EXPECT_EQ(0, tjDecompressHeader3(tj, out, size, &dw, &dh, &ss, &cs));
    EXPECT_EQ(ss, TJSAMP_422);
    tjDestroy(tj);
    qFree(out);
  }
}

TEST(Encode, PaddedRowsAndCallerBuffersWork) {
  const int w = 33, h = 17, pitch = w * 3 + 5;
  Bytes packed = make_image(w, h);
  Bytes padded(static_cast<size_t>(pitch) * h, 0xEE);
  for (int y = 0; y < h; ++y) memcpy(&padded[y * pitch], &packed[y * w * 3], w * 3);
  // A small tjAlloc buffer of the caller's is replaced by a larger one;
  // TurboJPEG leaves the original to the caller.
  unsigned long size = 16;
  unsigned char* const small = tjAlloc(16);
  unsigned char* out = small;
  ASSERT_EQ(0, qencode(padded.data(), w, h, pitch, TJPF_RGB, &out, &size));
  EXPECT_EQ(Bytes(out, out + size), tj_encode(packed, w, h, TJPF_RGB, TJSAMP_422, 85));
  if (out != small) qFree(small);
  qFree(out);
}

TEST(Encode, FailuresPrintTheirLineAndLeaveTheOutputToTheCaller) {
  Bytes img = make_image(8, 8);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  auto line = [&](const unsigned char* buf, int w, int h, int pitch, int fmt) {
    return capture_stdout([&] { EXPECT_EQ(-1, qencode(buf, w, h, pitch, fmt, &out, &size)); });
  };
  const std::string inof = "[qencode] image_buffer inof error!\n";
  EXPECT_EQ(line(nullptr, 8, 8, 24, 1), inof);
  EXPECT_EQ(line(img.data(), 0, 8, 24, 1), inof);
  EXPECT_EQ(line(img.data(), 8, -1, 24, 1), inof);
  EXPECT_EQ(line(img.data(), 8, 8, 0, 1), inof);
  EXPECT_EQ(line(img.data(), 8, 8, 7, 1), inof);
  // A pitch of one byte per pixel would read overlapping rows and run past the buffer.
  EXPECT_EQ(line(img.data(), 8, 8, 8, 1), inof);
  EXPECT_EQ(line(img.data(), 8, 8, 23, 1), inof);
  // Unknown formats reach TurboJPEG, which refuses them.
  EXPECT_EQ(line(img.data(), 8, 8, 24, TJ_NUMPF), "[qencode] tjCompress2 error!\n");
  EXPECT_EQ(line(img.data(), 8, 8, 24, -1), "[qencode] tjCompress2 error!\n");
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qencode(img.data(), 8, 8, 24, 1, nullptr, &size)); }),
            "[qencode] tjCompress2 error!\n");

  // The caller's own buffer survives a failure unreleased; it stays the caller's.
  unsigned char* own = tjAlloc(64);
  unsigned long own_size = 64;
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(-1, qencode(img.data(), 8, 8, 24, 99, &own, &own_size)); }),
            "[qencode] tjCompress2 error!\n");
  own[63] = 1;
  qFree(own);
}
