// Where the thumbnailer converts colour, and what it costs. For each photo
// (a CMYK JPEG, or an RGB one with an embedded profile) it makes the
// thumbnail three ways and writes each as a PPM for colour_bench.py to
// compare with Little CMS's conversion of the full image:
//   full    full-size decode, convert, area resample
//   before  reduced-size decode, convert, area resample
//   after   reduced-size decode, area resample, convert
// RGB photos also get `none` (no conversion), the ordinary pipeline that the
// conversion's time is set against. Every variant's steps are timed; the
// variants take turns in each run and the medians over the runs are printed,
// one line per variant:
//   photo variant convert_ms pipeline_ms setup_ms width height
// (pipeline = decode + convert + resample + encode; setup = the same
// conversion of a 1 x 1 image: context, profile and transform alone).
//
//   colour_bench [--runs N] [--width W] --out DIR PHOTO.jpg...
//   colour_bench --write-display-p3 FILE
#include <lcms2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core.h"
#include "photo/colour.h"
#include "photo/metadata.h"

namespace {

using namespace qarvel;

double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "colour_bench: %s\n", what.c_str());
  exit(1);
}

template <class T>
T need(Result<T> r, const char* step) {
  if (!r) die(std::string(step) + ": " + r.error().message);
  return std::move(*r);
}

void need(Status s, const char* step) {
  if (!s) die(std::string(step) + ": " + s.error().message);
}

// Adobe's APP14 segment before the first scan: its CMYK is stored inverted.
bool has_adobe_segment(ByteView jpeg) {
  size_t i = 2;
  while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
    const uint8_t marker = jpeg[i + 1];
    const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (marker == 0xDA || length < 2) break;
    if (marker == 0xEE && length >= 7 && i + 9 <= jpeg.size() &&
        memcmp(jpeg.data() + i + 4, "Adobe", 5) == 0)
      return true;
    i += 2 + length;
  }
  return false;
}

// The smallest power-of-two reduction that keeps twice the target, as the
// thumbnailer chooses it.
ScalingFactor shrink_factor(const JpegHeader& h, int width, int height) {
  for (int denom : {8, 4, 2}) {
    const ScalingFactor f = {1, denom};
    if (scaled_size(h.width, f) >= 2 * width && scaled_size(h.height, f) >= 2 * height) return f;
  }
  return {};
}

Image new_image(int width, int height, int format) {
  Image image;
  image.width = width;
  image.height = height;
  image.format = format;
  image.pitch = width * tjPixelSize[format];
  image.pixels = PixelBuffer::allocate(size_t(image.pitch) * height, Storage::kPrivate);
  if (!image.pixels) die("out of memory");
  return image;
}

Image area_resample(const Image& src, int width, int height) {
  Image dst = new_image(width, height, src.format);
  need(resample(src.pixels.data(), src.width, src.height, src.pitch, dst.pixels.data(), width,
                height, dst.pitch),
       "resample");
  return dst;
}

// The core's resampler takes three channels: C, M, Y and then K go through it
// apart.
Image area_resample_cmyk(const Image& src, int width, int height) {
  Image cmy = new_image(src.width, src.height, TJPF_RGB);
  Image kkk = new_image(src.width, src.height, TJPF_RGB);
  for (size_t i = 0, n = size_t(src.width) * src.height; i < n; ++i) {
    const uint8_t* s = src.pixels.data() + i * 4;
    memcpy(cmy.pixels.data() + i * 3, s, 3);
    memset(kkk.pixels.data() + i * 3, s[3], 3);
  }
  const Image small_cmy = area_resample(cmy, width, height);
  const Image small_k = area_resample(kkk, width, height);
  Image dst = new_image(width, height, TJPF_CMYK);
  for (size_t i = 0, n = size_t(width) * height; i < n; ++i) {
    memcpy(dst.pixels.data() + i * 4, small_cmy.pixels.data() + i * 3, 3);
    dst.pixels.data()[i * 4 + 3] = small_k.pixels.data()[i * 3];
  }
  return dst;
}

struct Photo {
  std::string name;
  Blob file;
  JpegMetadata meta;
  JpegHeader header;
  bool cmyk = false, inverted = false;
  int width = 0, height = 0;
  ScalingFactor factor;
};

struct Timing {
  std::vector<double> convert, pipeline;
};

// Converts in place or into a new image, whichever the pixels need.
Image convert(Image image, const Photo& p) {
  std::vector<std::string> warnings;
  if (image.format == TJPF_CMYK)
    image = need(cmyk_to_rgb(image.view(), p.inverted, {p.meta.icc.data(), p.meta.icc.size()},
                             TJPF_RGB, Storage::kPrivate, warnings),
                 "cmyk_to_rgb");
  else
    need(convert_to_srgb(image, {p.meta.icc.data(), p.meta.icc.size()}, warnings), "convert");
  for (const std::string& w : warnings) fprintf(stderr, "%s: %s\n", p.name.c_str(), w.c_str());
  return image;
}

// One thumbnail by `variant`; adds its times to `t` and returns the pixels.
Image make(const Photo& p, const std::string& variant, Decoder& decoder, Timing& t) {
  const double t0 = now_ms();
  const ScalingFactor factor = variant == "full" ? ScalingFactor{} : p.factor;
  Image img = need(decoder.decode(p.file.view(), p.header, p.cmyk ? TJPF_CMYK : TJPF_RGB, factor,
                                  Storage::kPrivate),
                   "decode");
  double convert_ms = 0;
  auto timed_convert = [&](Image in) {
    const double c0 = now_ms();
    Image out = convert(std::move(in), p);
    convert_ms = now_ms() - c0;
    return out;
  };
  if (variant == "after") {
    img =
        p.cmyk ? area_resample_cmyk(img, p.width, p.height) : area_resample(img, p.width, p.height);
    img = timed_convert(std::move(img));
  } else {
    if (variant != "none") img = timed_convert(std::move(img));
    img = area_resample(img, p.width, p.height);
  }
  Blob jpeg = need(encode(img.view()), "encode");
  t.convert.push_back(convert_ms);
  t.pipeline.push_back(now_ms() - t0);
  return img;
}

double setup_ms(const Photo& p, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    Image one = new_image(1, 1, p.cmyk ? TJPF_CMYK : TJPF_RGB);
    memset(one.pixels.data(), 100, one.pitch);
    const double t0 = now_ms();
    one = convert(std::move(one), p);
    times.push_back(now_ms() - t0);
  }
  return median(times);
}

void write_ppm(const std::string& path, const Image& img) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) die("cannot write " + path);
  fprintf(f, "P6\n%d %d\n255\n", img.width, img.height);
  for (int y = 0; y < img.height; ++y)
    fwrite(img.pixels.data() + size_t(y) * img.pitch, 1, size_t(img.width) * 3, f);
  if (fclose(f) != 0) die("cannot write " + path);
}

Photo load(const std::string& path, int width, Decoder& decoder) {
  Photo p;
  p.name = path.substr(path.find_last_of('/') + 1);
  p.name = p.name.substr(0, p.name.rfind('.'));
  p.file = need(read_file(path.c_str()), "read");
  p.meta = read_metadata(p.file.view(), {false, true, false});
  p.header = need(decoder.read_header(p.file.view()), "header");
  p.cmyk = p.header.colorspace == TJCS_CMYK || p.header.colorspace == TJCS_YCCK;
  p.inverted = has_adobe_segment(p.file.view());
  p.width = width;
  p.height = need(aspect_height(p.header.width, p.header.height, width), "size");
  p.factor = shrink_factor(p.header, p.width, p.height);
  return p;
}

void bench(const std::string& path, int width, int runs, const std::string& out) {
  Decoder decoder = need(Decoder::create(), "decoder");
  const Photo p = load(path, width, decoder);
  std::vector<std::string> variants = {"full", "before", "after"};
  if (!p.cmyk) variants.push_back("none");
  std::vector<Timing> timing(variants.size());
  for (int run = 0; run <= runs; ++run)  // run 0 warms up and writes the outputs
    for (size_t v = 0; v < variants.size(); ++v) {
      Timing scratch;
      Image img = make(p, variants[v], decoder, run ? timing[v] : scratch);
      if (!run) write_ppm(out + "/" + p.name + "." + variants[v] + ".ppm", img);
    }
  const double setup = setup_ms(p, runs);
  for (size_t v = 0; v < variants.size(); ++v)
    printf("%s %s %.3f %.3f %.3f %d %d\n", p.name.c_str(), variants[v].c_str(),
           median(timing[v].convert), median(timing[v].pipeline), setup, p.width, p.height);
  fflush(stdout);
}

// Display P3: DCI-P3 primaries, D65 white, sRGB's tone curve.
void write_display_p3(const char* path) {
  const cmsCIExyY white = {0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
  const cmsFloat64Number srgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsMLU* desc = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(desc, "en", "US", "Display P3 (Little CMS, for qarvel's tests)");
  cmsWriteTag(profile, cmsSigProfileDescriptionTag, desc);
  const bool ok = profile && cmsSaveProfileToFile(profile, path);
  cmsMLUfree(desc);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
  if (!ok) die(std::string("cannot write ") + path);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5, width = 640;
  std::string out;
  std::vector<std::string> photos;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--write-display-p3" && i + 1 < argc) {
      write_display_p3(argv[i + 1]);
      return 0;
    }
    if (a == "--runs" && i + 1 < argc)
      runs = atoi(argv[++i]);
    else if (a == "--width" && i + 1 < argc)
      width = atoi(argv[++i]);
    else if (a == "--out" && i + 1 < argc)
      out = argv[++i];
    else
      photos.push_back(a);
  }
  if (out.empty() || photos.empty() || runs < 1 || width < 1) {
    fprintf(stderr, "usage: colour_bench [--runs N] [--width W] --out DIR PHOTO.jpg...\n");
    return 2;
  }
  for (const std::string& photo : photos) bench(photo, width, runs, out);
  return 0;
}
