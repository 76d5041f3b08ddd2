// Colour conversion: the conventional CMYK formula on known values, profiles
// against Little CMS's own transforms of the same photographs, and the
// fallbacks for profiles that cannot be used.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "photo/colour.h"
#include "photo/metadata.h"
#include "photo/photo.h"

namespace {

using namespace qarvel;

std::string colour_data(const char* name) {
  return std::string(QARVEL_TESTDATA_DIR) + "/colour/" + name;
}

ByteView view(const Bytes& b) { return {b.data(), b.size()}; }

Bytes file_bytes(const char* name) {
  Result<Blob> file = read_file(colour_data(name).c_str());
  EXPECT_TRUE(file.ok()) << name;
  return file ? Bytes(file->data.get(), file->data.get() + file->size) : Bytes();
}

struct Photo {
  Image image;
  Bytes icc;
};

Photo decode_photo(const char* name, int format) {
  const Bytes jpeg = file_bytes(name);
  Result<Image> image = decode(view(jpeg), format);
  EXPECT_TRUE(image.ok()) << name;
  return {image ? std::move(*image) : Image{}, read_metadata(view(jpeg), {false, true, false}).icc};
}

Image make_image(const Bytes& pixels, int width, int height, int format) {
  Image image;
  image.width = width;
  image.height = height;
  image.format = format;
  image.pitch = width * tjPixelSize[format];
  image.pixels = PixelBuffer::allocate(pixels.size(), Storage::kPrivate);
  memcpy(image.pixels.data(), pixels.data(), pixels.size());
  return image;
}

Bytes pixels_of(const Image& image) {
  return Bytes(image.pixels.data(), image.pixels.data() + size_t(image.pitch) * image.height);
}

Bytes save(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

Bytes grey_profile(double gamma) {
  cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
  Bytes bytes = save(cmsCreateGrayProfile(cmsD50_xyY(), curve));
  cmsFreeToneCurve(curve);
  return bytes;
}

// Mean CIEDE2000 between 8-bit sRGB pixels and 16-bit sRGB ones.
double mean_de(const Image& ours, const std::vector<uint16_t>& reference) {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM from8 = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, 1, 0);
  cmsHTRANSFORM from16 = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_DBL, 1, 0);
  const size_t n = size_t(ours.width) * ours.height;
  std::vector<cmsCIELab> a(n), b(n);
  cmsDoTransform(from8, ours.pixels.data(), a.data(), static_cast<cmsUInt32Number>(n));
  cmsDoTransform(from16, reference.data(), b.data(), static_cast<cmsUInt32Number>(n));
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += cmsCIE2000DeltaE(&a[i], &b[i], 1, 1, 1);
  cmsDeleteTransform(from8);
  cmsDeleteTransform(from16);
  cmsCloseProfile(srgb);
  cmsCloseProfile(lab);
  return sum / double(n);
}

// Little CMS's conversion to sRGB without the 8-bit shortcuts of the core's.
std::vector<uint16_t> little_cms(const Photo& p, cmsUInt32Number in_type) {
  cmsHPROFILE in = cmsOpenProfileFromMem(p.icc.data(), static_cast<cmsUInt32Number>(p.icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t = cmsCreateTransform(in, in_type, srgb, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC,
                                       cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOOPTIMIZE);
  std::vector<uint16_t> out(size_t(p.image.width) * p.image.height * 3);
  cmsDoTransform(t, p.image.pixels.data(), out.data(),
                 static_cast<cmsUInt32Number>(p.image.width * p.image.height));
  cmsDeleteTransform(t);
  cmsCloseProfile(srgb);
  cmsCloseProfile(in);
  return out;
}

TEST(Colour, ProfileSpaceComesFromTheHeader) {
  Bytes cmyk = file_bytes("fogra39l-argyll-lowres.icc");
  EXPECT_EQ(profile_space(view(cmyk)), ProfileSpace::kCmyk);
  EXPECT_EQ(profile_space(view(grey_profile(2.2))), ProfileSpace::kGrey);
  EXPECT_EQ(profile_space(view(decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB).icc)),
            ProfileSpace::kRgb);
  EXPECT_EQ(profile_space({cmyk.data(), 127}), ProfileSpace::kNone);
  memcpy(cmyk.data() + 12, "link", 4);
  EXPECT_EQ(profile_space(view(cmyk)), ProfileSpace::kOther);
}

TEST(Colour, ConventionalCmykOnKnownValues) {
  // Ink amounts C, M, Y, K and the RGB they make.
  const Bytes ink = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255, 128, 64, 0, 51, 10, 200, 90, 30};
  const Bytes rgb = {255, 255, 255, 0, 255, 255, 0, 0, 0, 102, 153, 204, 216, 49, 146};
  Bytes inverted = ink;
  for (uint8_t& v : inverted) v = static_cast<uint8_t>(255 - v);
  for (bool adobe : {false, true}) {
    const Image src = make_image(adobe ? inverted : ink, 5, 1, TJPF_CMYK);
    std::vector<std::string> warnings;
    Result<Image> out = cmyk_to_rgb(src.view(), adobe, {}, TJPF_RGB, Storage::kPrivate, warnings);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(pixels_of(*out), rgb) << "inverted " << adobe;
    Result<Image> bgr = cmyk_to_rgb(src.view(), adobe, {}, TJPF_BGR, Storage::kHost, warnings);
    ASSERT_TRUE(bgr.ok());
    EXPECT_EQ(bgr->format, TJPF_BGR);
    for (int i = 0; i < 5; ++i)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(bgr->pixels.data()[i * 3 + 2 - c], rgb[i * 3 + c]);
    EXPECT_TRUE(warnings.empty());
  }
}

TEST(Colour, ProfiledCmykMatchesLittleCms) {
  const Photo p = decode_photo("seeding-cmyk-fogra39-160x90.jpg", TJPF_CMYK);
  ASSERT_EQ(profile_space(view(p.icc)), ProfileSpace::kCmyk);
  std::vector<std::string> warnings;
  // Adobe's inverted CMYK, as the file stores it.
  Result<Image> ours =
      cmyk_to_rgb(p.image.view(), true, view(p.icc), TJPF_RGB, Storage::kPrivate, warnings);
  ASSERT_TRUE(ours.ok());
  EXPECT_TRUE(warnings.empty());
  const std::vector<uint16_t> reference = little_cms(p, TYPE_CMYK_8_REV);
  EXPECT_LT(mean_de(*ours, reference), 0.5);
  // The profile matters: the conventional formula is far from it.
  Result<Image> plain =
      cmyk_to_rgb(p.image.view(), true, {}, TJPF_RGB, Storage::kPrivate, warnings);
  ASSERT_TRUE(plain.ok());
  EXPECT_GT(mean_de(*plain, reference), 3.0);

  // The same ink stored the other way round converts the same.
  Bytes flipped = pixels_of(p.image);
  for (uint8_t& v : flipped) v = static_cast<uint8_t>(255 - v);
  const Image straight = make_image(flipped, p.image.width, p.image.height, TJPF_CMYK);
  Result<Image> same =
      cmyk_to_rgb(straight.view(), false, view(p.icc), TJPF_RGB, Storage::kPrivate, warnings);
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(pixels_of(*same), pixels_of(*ours));
}

TEST(Colour, UnusableCmykProfileFallsBackWithWarning) {
  const Photo p = decode_photo("seeding-cmyk-fogra39-160x90.jpg", TJPF_CMYK);
  std::vector<std::string> none;
  Result<Image> plain = cmyk_to_rgb(p.image.view(), true, {}, TJPF_RGB, Storage::kPrivate, none);
  ASSERT_TRUE(plain.ok());
  Bytes truncated(p.icc.begin(), p.icc.begin() + 1000);  // header and tag table, no tag data
  Bytes rgb_profile = decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB).icc;
  for (const Bytes& icc : {truncated, rgb_profile}) {
    std::vector<std::string> warnings;
    Result<Image> out =
        cmyk_to_rgb(p.image.view(), true, view(icc), TJPF_RGB, Storage::kPrivate, warnings);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(pixels_of(*out), pixels_of(*plain));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("CMYK converted without it"), std::string::npos) << warnings[0];
  }
}

TEST(Colour, RgbProfileConvertsToSrgbAsLittleCms) {
  Photo p = decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB);
  const Bytes before = pixels_of(p.image);
  std::vector<std::string> warnings;
  ASSERT_TRUE(convert_to_srgb(p.image, view(p.icc), warnings).ok());
  EXPECT_TRUE(warnings.empty());
  // The source pixels, read through Adobe RGB, are more saturated than as sRGB.
  const Photo source = {make_image(before, p.image.width, p.image.height, TJPF_RGB), p.icc};
  EXPECT_LT(mean_de(p.image, little_cms(source, TYPE_RGB_8)), 0.5);
  EXPECT_GT(mean_de(source.image, little_cms(source, TYPE_RGB_8)), 2.0);

  Photo bgr = decode_photo("seeding-adobergb-160x90.jpg", TJPF_BGR);
  ASSERT_TRUE(convert_to_srgb(bgr.image, view(bgr.icc), warnings).ok());
  const Bytes rgb = pixels_of(p.image), swapped = pixels_of(bgr.image);
  for (size_t i = 0; i < rgb.size(); i += 3)
    ASSERT_TRUE(rgb[i] == swapped[i + 2] && rgb[i + 1] == swapped[i + 1] &&
                rgb[i + 2] == swapped[i]);
}

TEST(Colour, SrgbOrNoProfileLeavesPixels) {
  Photo p = decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB);
  const Bytes before = pixels_of(p.image);
  std::vector<std::string> warnings;
  const Bytes srgb = save(cmsCreate_sRGBProfile());
  for (const Bytes& icc : {Bytes(), srgb}) {
    ASSERT_TRUE(convert_to_srgb(p.image, view(icc), warnings).ok());
    EXPECT_EQ(pixels_of(p.image), before);
  }
  EXPECT_TRUE(warnings.empty());
}

TEST(Colour, GreyProfileMapsToSrgbTone) {
  Bytes ramp(256);
  for (int v = 0; v < 256; ++v) ramp[v] = static_cast<uint8_t>(v);
  Bytes ramp3;
  for (uint8_t v : ramp) ramp3.insert(ramp3.end(), {v, v, v});
  for (const auto& [pixels, format] : {std::pair{ramp, TJPF_GRAY}, std::pair{ramp3, TJPF_RGB}}) {
    Image image = make_image(pixels, 256, 1, format);
    std::vector<std::string> warnings;
    // Linear light: 50% grey is sRGB's 188.
    ASSERT_TRUE(convert_to_srgb(image, view(grey_profile(1.0)), warnings).ok());
    EXPECT_TRUE(warnings.empty());
    const int channels = tjPixelSize[format];
    for (int v = 0; v < 256; ++v) {
      const double l = v / 255.0;
      const double expected =
          255 * (l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055);
      for (int c = 0; c < channels; ++c)
        ASSERT_NEAR(image.pixels.data()[v * channels + c], expected, 1.0) << v;
    }
  }
}

TEST(Colour, MismatchedOrBrokenProfileLeavesPixelsWithWarning) {
  Photo rgb = decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB);
  Photo grey = {make_image(Bytes(64, 100), 8, 8, TJPF_GRAY), rgb.icc};
  const Bytes cmyk = file_bytes("fogra39l-argyll-lowres.icc");
  Bytes garbled = rgb.icc;
  for (size_t i = 132; i < garbled.size(); ++i) garbled[i] = static_cast<uint8_t>(i * 7);
  const Bytes rgb_before = pixels_of(rgb.image), grey_before = pixels_of(grey.image);
  std::vector<std::string> warnings;
  EXPECT_TRUE(convert_to_srgb(rgb.image, view(cmyk), warnings).ok());
  EXPECT_TRUE(convert_to_srgb(rgb.image, view(garbled), warnings).ok());
  EXPECT_TRUE(convert_to_srgb(grey.image, view(grey.icc), warnings).ok());
  EXPECT_EQ(pixels_of(rgb.image), rgb_before);
  EXPECT_EQ(pixels_of(grey.image), grey_before);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_NE(warnings[1].find("Little CMS"), std::string::npos) << warnings[1];
}

TEST(Colour, RefusesPixelsItCannotTake) {
  Image rgb = make_image(Bytes(12, 0), 2, 2, TJPF_RGB);
  Image cmyk = make_image(Bytes(16, 0), 2, 2, TJPF_CMYK);
  std::vector<std::string> warnings;
  EXPECT_FALSE(cmyk_to_rgb(rgb.view(), false, {}, TJPF_RGB, Storage::kPrivate, warnings).ok());
  EXPECT_FALSE(cmyk_to_rgb(cmyk.view(), false, {}, TJPF_GRAY, Storage::kPrivate, warnings).ok());
  ImageView short_pitch = cmyk.view();
  short_pitch.pitch = 7;
  EXPECT_FALSE(cmyk_to_rgb(short_pitch, false, {}, TJPF_RGB, Storage::kPrivate, warnings).ok());
  Status s = convert_to_srgb(cmyk, {}, warnings);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().fault, Fault::kArgument);
}

TEST(Colour, ThreadsConvertAtOnce) {
  const Photo cmyk = decode_photo("seeding-cmyk-fogra39-160x90.jpg", TJPF_CMYK);
  const Photo rgb = decode_photo("seeding-adobergb-160x90.jpg", TJPF_RGB);
  auto convert = [&](Bytes& from_cmyk, Bytes& from_rgb) {
    std::vector<std::string> warnings;
    Result<Image> out =
        cmyk_to_rgb(cmyk.image.view(), true, view(cmyk.icc), TJPF_BGR, Storage::kPrivate, warnings);
    Image copy = make_image(pixels_of(rgb.image), rgb.image.width, rgb.image.height, TJPF_RGB);
    if (out.ok() && convert_to_srgb(copy, view(rgb.icc), warnings).ok()) {
      from_cmyk = pixels_of(*out);
      from_rgb = pixels_of(copy);
    }
  };
  Bytes want_cmyk, want_rgb;
  convert(want_cmyk, want_rgb);
  ASSERT_FALSE(want_cmyk.empty());
  std::vector<Bytes> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back(convert, std::ref(got[2 * t]), std::ref(got[2 * t + 1]));
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(got[2 * t], want_cmyk);
    EXPECT_EQ(got[2 * t + 1], want_rgb);
  }
}

}  // namespace

TEST(Colour, CmykThumbnailIsWithinOneDeltaEOfTheFullConversionAveraged) {
  const Photo p = decode_photo("seeding-cmyk-fogra39-160x90.jpg", TJPF_CMYK);
  // Little CMS's conversion of the whole image, averaged over 2 x 2 blocks.
  const std::vector<uint16_t> full = little_cms(p, TYPE_CMYK_8_REV);
  const int w = p.image.width / 2, h = p.image.height / 2;
  std::vector<uint16_t> averaged(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        uint32_t sum = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx)
            sum += full[(size_t(2 * y + dy) * p.image.width + 2 * x + dx) * 3 + c];
        averaged[(size_t(y) * w + x) * 3 + c] = static_cast<uint16_t>((sum + 2) / 4);
      }
  const Bytes jpeg = file_bytes("seeding-cmyk-fogra39-160x90.jpg");
  ThumbnailOptions o;
  o.width = w;
  o.encode.quality = 100;
  o.encode.subsampling = TJSAMP_444;
  Result<Thumbnail> thumb = thumbnail(view(jpeg), o);
  ASSERT_TRUE(thumb.ok()) << thumb.error().message;
  // sRGB pixels go untagged: the CMYK profile is not copied.
  EXPECT_TRUE(read_metadata(thumb->jpeg.view(), {false, true, false}).icc.empty());
  Result<Image> ours = decode(thumb->jpeg.view(), TJPF_RGB);
  ASSERT_TRUE(ours.ok());
  ASSERT_EQ(ours->height, h);
  EXPECT_LT(mean_de(*ours, averaged), 1.0);
}
