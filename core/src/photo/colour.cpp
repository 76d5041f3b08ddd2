// Colour conversion with Little CMS: every call has its own context, whose
// error handler keeps Little CMS's last message for the warning line.
#include "photo/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

namespace qarvel {
namespace {

// Relative colorimetric keeps the colours sRGB can show as they are, and
// black-point compensation takes a print's black (L* near 10) to sRGB's
// black instead of a washed-out grey. For matrix-shaper RGB profiles every
// intent gives the same result.
constexpr cmsUInt32Number kIntent = INTENT_RELATIVE_COLORIMETRIC;
constexpr cmsUInt32Number kFlags = cmsFLAGS_BLACKPOINTCOMPENSATION;

struct ContextDelete {
  void operator()(cmsContext c) const noexcept { cmsDeleteContext(c); }
};
struct ProfileClose {
  void operator()(void* p) const noexcept { cmsCloseProfile(p); }
};
struct TransformDelete {
  void operator()(void* t) const noexcept { cmsDeleteTransform(t); }
};
struct CurveFree {
  void operator()(cmsToneCurve* c) const noexcept { cmsFreeToneCurve(c); }
};
using ContextHandle = std::unique_ptr<std::remove_pointer_t<cmsContext>, ContextDelete>;
using Profile = std::unique_ptr<void, ProfileClose>;
using Transform = std::unique_ptr<void, TransformDelete>;
using ToneCurve = std::unique_ptr<cmsToneCurve, CurveFree>;

// One call's Little CMS context. Declare it before the profiles and
// transforms made in it, so they are released first. Not movable: the
// context's user data points at it.
class Cms {
 public:
  Cms() noexcept : context_(cmsCreateContext(nullptr, this)) {
    if (context_) cmsSetLogErrorHandlerTHR(context_.get(), &Cms::log);
  }
  Cms(const Cms&) = delete;
  Cms& operator=(const Cms&) = delete;

  cmsContext get() const noexcept { return context_.get(); }
  explicit operator bool() const noexcept { return context_ != nullptr; }
  // What Little CMS said first (the cause; later messages follow from it),
  // or `fallback` when it said nothing.
  std::string why(const char* fallback) const {
    return message_.empty() ? std::string(fallback) : "Little CMS: " + message_;
  }

 private:
  static void log(cmsContext context, cmsUInt32Number, const char* text) noexcept {
    auto* self = static_cast<Cms*>(cmsGetContextUserData(context));
    if (!self || !text || !self->message_.empty()) return;
    try {
      self->message_ = text;
    } catch (...) {  // no memory for the message: keep the fallback
    }
  }

  std::string message_;
  ContextHandle context_;
};

Profile open_profile(const Cms& cms, ByteView icc) {
  if (icc.size() > UINT32_MAX) return nullptr;
  return Profile(
      cmsOpenProfileFromMemTHR(cms.get(), icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

uint32_t read_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// round(a * b / 255) for a, b in 0..255, exactly.
inline uint8_t mul255(unsigned a, unsigned b) {
  const unsigned t = a * b + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

Result<Image> new_rgb_image(int width, int height, int format, Storage storage) {
  Image image;
  image.width = width;
  image.height = height;
  image.format = format;
  const int64_t pitch = int64_t{width} * 3;
  const int64_t bytes = pitch * height;
  if (bytes > INT_MAX) return Error{Fault::kTooLarge, "the RGB image would take 2 GiB or more"};
  image.pitch = static_cast<int>(pitch);
  image.pixels = PixelBuffer::allocate(static_cast<size_t>(bytes), storage);
  if (!image.pixels) return Error{Fault::kAlloc, "out of memory for the RGB image"};
  return image;
}

// R = (255 - C)(255 - K) / 255 on ink amounts, i.e. C * K / 255 on inverted
// values, which are what is left of white.
void conventional_cmyk(const ImageView& src, bool inverted, Image& dst) {
  const uint8_t flip = inverted ? 0 : 255;
  const int r = dst.format == TJPF_BGR ? 2 : 0;
  for (int y = 0; y < src.height; ++y) {
    const uint8_t* s = src.pixels + size_t(y) * src.pitch;
    uint8_t* d = dst.pixels.data() + size_t(y) * dst.pitch;
    for (int x = 0; x < src.width; ++x, s += 4, d += 3) {
      const unsigned k = s[3] ^ flip;
      d[r] = mul255(s[0] ^ flip, k);
      d[1] = mul255(s[1] ^ flip, k);
      d[2 - r] = mul255(s[2] ^ flip, k);
    }
  }
}

// Converts through the profile; on failure returns why and leaves dst unset.
std::string profiled_cmyk(const ImageView& src, bool inverted, ByteView icc, Image& dst) {
  if (profile_space(icc) != ProfileSpace::kCmyk) return "it is not a CMYK profile";
  Cms cms;
  if (!cms) return "no memory for Little CMS";
  Profile in = open_profile(cms, icc);
  if (!in) return cms.why("Little CMS cannot read it");
  Profile srgb(cmsCreate_sRGBProfileTHR(cms.get()));
  if (!srgb) return cms.why("Little CMS cannot make an sRGB profile");
  Transform t(cmsCreateTransformTHR(cms.get(), in.get(), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8,
                                    srgb.get(), dst.format == TJPF_BGR ? TYPE_BGR_8 : TYPE_RGB_8,
                                    kIntent, kFlags));
  if (!t) return cms.why("Little CMS cannot convert from it");
  cmsDoTransformLineStride(t.get(), src.pixels, dst.pixels.data(), src.width, src.height, src.pitch,
                           dst.pitch, 0, 0);
  return {};
}

// True when the transform moves none of a grid of colours and a grey ramp
// by more than one step: the profile is sRGB in all but its bytes.
bool keeps_test_colours(void* transform) {
  constexpr int kLevels = 9;
  constexpr int kCount = kLevels * kLevels * kLevels + 256;
  uint8_t in[kCount * 3], out[kCount * 3];
  uint8_t* p = in;
  for (int r = 0; r < kLevels; ++r)
    for (int g = 0; g < kLevels; ++g)
      for (int b = 0; b < kLevels; ++b) {
        *p++ = static_cast<uint8_t>(std::min(r * 32, 255));
        *p++ = static_cast<uint8_t>(std::min(g * 32, 255));
        *p++ = static_cast<uint8_t>(std::min(b * 32, 255));
      }
  for (int v = 0; v < 256; ++v, p += 3) p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
  cmsDoTransform(transform, in, out, kCount);
  for (int i = 0; i < kCount * 3; ++i)
    if (std::abs(in[i] - out[i]) > 1) return false;
  return true;
}

// sRGB's encoding, from linear light to a code value, both 0..1.
double srgb_encoded(double l) {
  return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
}

// True for a matrix-shaper profile with sRGB's colorants (adapted to D50, as
// profiles store them) and tone curves that round every code value back to
// itself. Reads three tags and evaluates curves: far cheaper than a
// transform, which takes milliseconds to build.
bool matrix_shaper_is_srgb(void* profile) {
  static constexpr double kColorants[3][3] = {
      {0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7139}};
  static constexpr cmsTagSignature kColorantTags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                                       cmsSigBlueColorantTag};
  static constexpr cmsTagSignature kCurveTags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag,
                                                    cmsSigBlueTRCTag};
  if (!cmsIsMatrixShaper(profile)) return false;
  for (int c = 0; c < 3; ++c) {
    const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorantTags[c]));
    if (!xyz || std::abs(xyz->X - kColorants[c][0]) > 1e-3 ||
        std::abs(xyz->Y - kColorants[c][1]) > 1e-3 || std::abs(xyz->Z - kColorants[c][2]) > 1e-3)
      return false;
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, kCurveTags[c]));
    if (!curve) return false;
    for (int v = 0; v < 256; ++v) {
      const double linear = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v / 255.0));
      if (std::abs(srgb_encoded(linear) * 255 - v) > 0.5) return false;
    }
  }
  return true;
}

std::string rgb_to_srgb(Image& image, ByteView icc) {
  Cms cms;
  if (!cms) return "no memory for Little CMS";
  Profile in = open_profile(cms, icc);
  if (!in) return cms.why("Little CMS cannot read it");
  if (matrix_shaper_is_srgb(in.get())) return {};
  Profile srgb(cmsCreate_sRGBProfileTHR(cms.get()));
  if (!srgb) return cms.why("Little CMS cannot make an sRGB profile");
  const cmsUInt32Number type = image.format == TJPF_BGR ? TYPE_BGR_8 : TYPE_RGB_8;
  Transform t(cmsCreateTransformTHR(cms.get(), in.get(), type, srgb.get(), type, kIntent, kFlags));
  if (!t) return cms.why("Little CMS cannot convert from it");
  if (keeps_test_colours(t.get())) return {};
  // In place: input and output pixels have the same size.
  cmsDoTransformLineStride(t.get(), image.pixels.data(), image.pixels.data(), image.width,
                           image.height, image.pitch, image.pitch, 0, 0);
  return {};
}

// A grey transform is a table of 256 values, applied to each channel.
std::string grey_to_srgb(Image& image, int channels, ByteView icc) {
  Cms cms;
  if (!cms) return "no memory for Little CMS";
  Profile in = open_profile(cms, icc);
  if (!in) return cms.why("Little CMS cannot read it");
  // sRGB's tone curve: ((v + 0.055) / 1.055)^2.4 above 0.04045, v / 12.92 below.
  const cmsFloat64Number srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  ToneCurve curve(cmsBuildParametricToneCurve(cms.get(), 4, srgb_curve));
  Profile grey(curve ? cmsCreateGrayProfileTHR(cms.get(), cmsD50_xyY(), curve.get()) : nullptr);
  if (!grey) return cms.why("Little CMS cannot make an sRGB grey profile");
  // Unoptimised: Little CMS's 8-bit shortcut interpolates a coarse table and
  // flattens the steep start of sRGB's curve; 256 exact values cost nothing.
  Transform t(cmsCreateTransformTHR(cms.get(), in.get(), TYPE_GRAY_8, grey.get(), TYPE_GRAY_8,
                                    kIntent, kFlags | cmsFLAGS_NOOPTIMIZE));
  if (!t) return cms.why("Little CMS cannot convert from it");
  uint8_t ramp[256], table[256];
  bool identity = true;
  for (int v = 0; v < 256; ++v) ramp[v] = static_cast<uint8_t>(v);
  cmsDoTransform(t.get(), ramp, table, 256);
  for (int v = 0; v < 256; ++v) identity = identity && std::abs(table[v] - v) <= 1;
  if (identity) return {};
  const size_t row = size_t(image.width) * channels;
  for (int y = 0; y < image.height; ++y) {
    uint8_t* p = image.pixels.data() + size_t(y) * image.pitch;
    for (size_t i = 0; i < row; ++i) p[i] = table[p[i]];
  }
  return {};
}

const char* space_name(ProfileSpace space) {
  switch (space) {
    case ProfileSpace::kRgb: return "an RGB";
    case ProfileSpace::kGrey: return "a grey";
    case ProfileSpace::kCmyk: return "a CMYK";
    default: return "an unsupported";
  }
}

}  // namespace

ProfileSpace profile_space(ByteView icc) noexcept {
  if (icc.size() < 128) return ProfileSpace::kNone;
  // Device links, abstract and named-colour profiles convert nothing to sRGB.
  switch (read_be32(icc.data() + 12)) {
    case 0x6C696E6B:  // 'link'
    case 0x61627374:  // 'abst'
    case 0x6E6D636C:  // 'nmcl'
      return ProfileSpace::kOther;
    default: break;
  }
  switch (read_be32(icc.data() + 16)) {
    case 0x52474220: return ProfileSpace::kRgb;   // 'RGB '
    case 0x47524159: return ProfileSpace::kGrey;  // 'GRAY'
    case 0x434D594B: return ProfileSpace::kCmyk;  // 'CMYK'
    default: return ProfileSpace::kOther;
  }
}

Result<Image> cmyk_to_rgb(const ImageView& cmyk, bool inverted, ByteView icc, int format,
                          Storage storage, std::vector<std::string>& warnings) noexcept {
  if (!cmyk.pixels || cmyk.format != TJPF_CMYK || cmyk.width <= 0 || cmyk.height <= 0 ||
      cmyk.pitch < int64_t{cmyk.width} * 4)
    return Error{Fault::kArgument,
                 "no CMYK image: null pixels, an empty size, a pitch shorter "
                 "than a row or another pixel format"};
  if (format != TJPF_RGB && format != TJPF_BGR)
    return Error{Fault::kArgument, "CMYK converts to RGB or BGR only"};
  Result<Image> rgb = new_rgb_image(cmyk.width, cmyk.height, format, storage);
  if (!rgb) return rgb;
  if (!icc.empty()) {
    const std::string why = profiled_cmyk(cmyk, inverted, icc, *rgb);
    if (why.empty()) return rgb;
    warnings.push_back("the embedded colour profile was not used (" + why +
                       "); CMYK converted without it");
  }
  conventional_cmyk(cmyk, inverted, *rgb);
  return rgb;
}

Status convert_to_srgb(Image& image, ByteView icc, std::vector<std::string>& warnings) noexcept {
  const int channels = image.format == TJPF_RGB || image.format == TJPF_BGR ? 3
                       : image.format == TJPF_GRAY                          ? 1
                                                                            : 0;
  if (!image.pixels || channels == 0 || image.width <= 0 || image.height <= 0 ||
      image.pitch < int64_t{image.width} * channels)
    return Error{Fault::kArgument,
                 "no RGB or grey image: null pixels, an empty size, a pitch "
                 "shorter than a row or another pixel format"};
  if (icc.empty()) return {};
  const ProfileSpace space = profile_space(icc);
  std::string why;
  if (space == ProfileSpace::kGrey)
    why = grey_to_srgb(image, channels, icc);
  else if (space == ProfileSpace::kRgb && channels == 3)
    why = rgb_to_srgb(image, icc);
  else if (space == ProfileSpace::kNone)
    why = "it is too short to be a profile";
  else
    why = std::string(space_name(space)) + " profile does not describe " +
          (channels == 3 ? "RGB" : "grey") + " pixels";
  if (!why.empty())
    warnings.push_back("the embedded colour profile was not used (" + why +
                       "); the pixels are taken as sRGB");
  return {};
}

}  // namespace qarvel
