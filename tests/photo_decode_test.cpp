// The photo decoder on libjpeg's API: scans left out at 1/8, the scale the
// thumbnailer picks, a source's own channels, and damaged files.
#include <cstring>

#include "codec/jpeg_reader.h"
#include "photo/metadata.h"
#include "photo/photo.h"
#include "test_support.h"

using namespace qtest;
using qarvel::DecodedPhoto;
using qarvel::DecodeSettings;
using qarvel::JpegReader;

namespace {

DecodedPhoto decode(const Bytes& jpeg, const DecodeSettings& s) {
  qarvel::Result<JpegReader> r = JpegReader::open(jpeg);
  EXPECT_TRUE(r) << r.error().message;
  if (!r) return {};
  qarvel::Result<DecodedPhoto> d = r->decode(s);
  EXPECT_TRUE(d) << d.error().message;
  return d ? std::move(*d) : DecodedPhoto{};
}

Bytes pixels_of(const qarvel::Image& image) {
  return Bytes(image.pixels.data(), image.pixels.data() + size_t(image.pitch) * image.height);
}

// TurboJPEG's decode of the whole file at eighths/8.
Bytes tj_scaled(const Bytes& jpeg, int eighths, int format) {
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, ss = 0, cs = 0;
  EXPECT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &ss, &cs), 0);
  const tjscalingfactor f = {eighths, 8};
  w = TJSCALED(w, f), h = TJSCALED(h, f);
  Bytes out(size_t(w) * h * tjPixelSize[format]);
  EXPECT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), out.data(), w, 0, h, format, 0), 0)
      << tjGetErrorStr2(tj);
  tjDestroy(tj);
  return out;
}

// `jpeg` with every AC scan of component 0 cut to one byte of entropy data.
Bytes with_luma_ac_cut(const Bytes& jpeg) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  size_t i = 2;
  while (i + 4 <= jpeg.size() && jpeg[i + 1] != 0xD9) {
    const size_t end = i + 2 + (size_t{jpeg[i + 2]} << 8 | jpeg[i + 3]);
    size_t data_end = end;
    if (jpeg[i + 1] == 0xDA)
      while (data_end + 1 < jpeg.size() &&
             !(jpeg[data_end] == 0xFF && jpeg[data_end + 1] != 0 &&
               (jpeg[data_end + 1] < 0xD0 || jpeg[data_end + 1] > 0xD7)))
        ++data_end;
    const bool luma_ac = jpeg[i + 1] == 0xDA && jpeg[i + 4] == 1 && jpeg[i + 5] == 1 &&
                         jpeg[i + 7] >= 1;  // one component, id 1, Ss >= 1
    out.insert(out.end(), jpeg.begin() + i,
               jpeg.begin() + (luma_ac ? std::min(end + 1, data_end) : data_end));
    i = data_end;
  }
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace

TEST(PhotoDecode, SkippedScansLeaveTheOneEighthDecodeUnchanged) {
  // Real photographs under different scan scripts: libjpeg's default, luma
  // and chroma interleaved otherwise, successive approximation, restart
  // intervals, non-interleaved DC, arithmetic coding; 4:4:4, 4:2:2, 4:2:0, grey.
  for (const char* name :
       {"photo-512-444-progressive.jpg", "progressive-650x470-444.jpg",
        "progressive-sa-250x190-420.jpg", "progressive-restart-256x192-422.jpg",
        "progressive-restart-240x200-444.jpg", "progressive-sa-256-gray.jpg",
        "progressive-noninterleaved-restart-64x16.jpg", "arith-progressive-227x149-420.jpg",
        "progressive-425x250-444-bigicc.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes jpeg = read_bytes(testdata(name));
    DecodeSettings s;
    s.eighths = 1;
    s.skip_unneeded_scans = true;
    const DecodedPhoto got = decode(jpeg, s);
    EXPECT_EQ(pixels_of(got.image), tj_scaled(jpeg, 1, TJPF_BGR));
    EXPECT_TRUE(got.warnings.empty()) << got.warnings[0];
    // The luma's AC scans are not read at all: cut short, they change
    // nothing, where a decode that reads them warns.
    if (std::string(name).find("arith") != std::string::npos) continue;
    const Bytes cut = with_luma_ac_cut(jpeg);
    ASSERT_LT(cut.size(), jpeg.size());
    const DecodedPhoto from_cut = decode(cut, s);
    EXPECT_EQ(pixels_of(from_cut.image), pixels_of(got.image));
    EXPECT_TRUE(from_cut.warnings.empty()) << from_cut.warnings[0];
    s.skip_unneeded_scans = false;
    EXPECT_FALSE(decode(cut, s).warnings.empty());
  }
}

TEST(PhotoDecode, GreyAndCmykKeepTheirOwnChannels) {
  DecodeSettings own;
  own.source_channels = true;
  const Bytes grey = read_bytes(testdata("photo-512-gray.jpg"));
  DecodedPhoto g = decode(grey, own);
  EXPECT_EQ(g.image.format, TJPF_GRAY);
  EXPECT_EQ(g.image.pitch, 512);
  EXPECT_EQ(pixels_of(g.image), tj_scaled(grey, 8, TJPF_GRAY));
  EXPECT_EQ(pixels_of(decode(grey, {}).image), tj_scaled(grey, 8, TJPF_BGR));

  // CMYK as stored and YCCK converted to CMYK, both written by Adobe
  // software (inverted); TurboJPEG decodes the same bytes.
  for (const char* name : {"cmyk-adobe-32x32.jpg", "ycck-adobe-100x100.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes jpeg = read_bytes(testdata(name));
    DecodedPhoto c = decode(jpeg, own);
    EXPECT_EQ(c.image.format, TJPF_CMYK);
    EXPECT_TRUE(c.inverted_cmyk);
    EXPECT_EQ(pixels_of(c.image), tj_scaled(jpeg, 8, TJPF_CMYK));
  }
  // Subsampled CMYK, which TurboJPEG's header reader refuses, at 1/2.
  const Bytes sub = read_bytes(testdata("cmyk-adobe-420-256x256.jpg"));
  qarvel::Result<JpegReader> r = JpegReader::open(sub);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->info().colour, qarvel::JpegColour::kCMYK);
  EXPECT_EQ(r->info().adobe_transform, 0);
  own.eighths = 4;
  qarvel::Result<DecodedPhoto> half = r->decode(own);
  ASSERT_TRUE(half) << half.error().message;
  EXPECT_EQ(half->image.width, 128);
  EXPECT_EQ(half->image.pitch, 128 * 4);
  // Asked for three channels, CMYK fails with libjpeg's reason.
  qarvel::Result<DecodedPhoto> bgr = r->decode({});
  ASSERT_FALSE(bgr);
  EXPECT_NE(bgr.error().message.find("Unsupported color conversion"), std::string::npos);
}

TEST(PhotoDecode, DamagedFilesWarnAndBrokenHeadersSayWhy) {
  for (const char* name :
       {"trunc-half-1165x859.jpg", "trunc-progressive-100x75.jpg", "corrupt-entropy-480x360.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes jpeg = read_bytes(testdata(name));
    DecodedPhoto d = decode(jpeg, {});
    ASSERT_FALSE(d.warnings.empty());
    EXPECT_EQ(d.warnings[0].find('\n'), std::string::npos);
    EXPECT_EQ(d.image.pitch, d.image.width * 3);
    EXPECT_GT(d.image.height, 0);
  }
  EXPECT_EQ(decode(read_bytes(testdata("trunc-half-1165x859.jpg")), {}).warnings[0],
            "Premature end of JPEG file");

  const std::pair<const char*, const char*> broken[] = {
      {"trunc-in-header-227x149.jpg", "ends inside its headers"},
      {"notjpeg-text.jpg", "Not a JPEG file"},
      {"notjpeg-empty.jpg", "no JPEG data"},
      {"unsupported-12bit-149x227.jpg", "Unsupported JPEG data precision 12"},
  };
  for (auto [name, why] : broken) {
    qarvel::Result<JpegReader> r = JpegReader::open(read_bytes(testdata(name)));
    ASSERT_FALSE(r) << name;
    EXPECT_NE(r.error().message.find(why), std::string::npos) << r.error().message;
  }
}

TEST(PhotoDecode, ThumbnailsDecodeAtTheSmallestScaleFromTheStoredSize) {
  // 2268x1512, and the same stored sideways (Orientation 6: shown 1512x2268).
  // The scale is the smallest with 1.5 times the stored target on both axes,
  // or the target exactly. 100 wide sideways is 150x100 stored: 1/8
  // (284x189); ruled from the shown 100x150 it would be 1/4. 200 wide
  // sideways: 1/4, not 1/2. A rule that tried 1/2 first would take 1/2 for
  // the flat ones; 567 wide is 1/4 exactly. A progressive 512x512 takes 1/8
  // as soon as it covers the target.
  const Bytes flat = read_bytes(testdata("photo-2268x1512-444.jpg"));
  Bytes exif = {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, 6,  0, 0, 0, 0, 0, 0};
  const Bytes sideways = [&] {
    qarvel::Result<qarvel::Blob> r = qarvel::insert_segments(flat, {{0xE1, exif}});
    return Bytes(r->data.get(), r->data.get() + r->size);
  }();
  for (const auto& [jpeg, orientation, width, eighths] :
       {std::tuple{flat, 1, 100, 1}, std::tuple{sideways, 6, 100, 1}, std::tuple{flat, 1, 300, 2},
        std::tuple{sideways, 6, 200, 2}, std::tuple{flat, 1, 567, 2},
        std::tuple{read_bytes(testdata("photo-512-444-progressive.jpg")), 1, 60, 1}}) {
    SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " + std::to_string(width));
    qarvel::ThumbnailOptions o;
    o.width = width;
    o.strip = true;
    qarvel::Result<qarvel::Thumbnail> thumb = qarvel::thumbnail(jpeg, o);
    ASSERT_TRUE(thumb) << thumb.error().message;
    // The same by hand: decode at the expected scale, area step, turn, encode.
    DecodeSettings s;
    s.eighths = eighths;
    s.skip_unneeded_scans = true;
    DecodedPhoto d = decode(jpeg, s);
    const int sw = orientation == 6 ? thumb->height : thumb->width;
    const int sh = orientation == 6 ? thumb->width : thumb->height;
    Bytes small(size_t(sw) * sh * 3);
    ASSERT_TRUE(qarvel::resample(d.image.pixels.data(), d.image.width, d.image.height,
                                 d.image.pitch, small.data(), sw, sh, sw * 3));
    Bytes shown(small.size());
    for (int y = 0; y < thumb->height; ++y)  // Orientation 6 turns clockwise
      for (int x = 0; x < thumb->width; ++x) {
        const int sx = orientation == 6 ? y : x, sy = orientation == 6 ? sh - 1 - x : y;
        std::memcpy(&shown[(size_t(y) * thumb->width + x) * 3], &small[(size_t(sy) * sw + sx) * 3],
                    3);
      }
    qarvel::Result<qarvel::Blob> expected = qarvel::encode(
        qarvel::ImageView{shown.data(), thumb->width, thumb->height, thumb->width * 3, TJPF_BGR});
    ASSERT_TRUE(expected);
    EXPECT_EQ(Bytes(thumb->jpeg.data.get(), thumb->jpeg.data.get() + thumb->jpeg.size),
              Bytes(expected->data.get(), expected->data.get() + expected->size));
  }
}
