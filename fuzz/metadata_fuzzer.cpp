// The metadata reader on arbitrary bytes, twice: as a whole JPEG stream
// (segment scan, ICC chunks) and as the TIFF block of an Exif segment in a
// minimal stream (IFD walking). Whatever it keeps is then readied for a
// thumbnail and written into a JPEG, and small images go through the whole
// thumbnailer with every segment kept: damaged pixels, CMYK and YCCK
// photos through their profiles, sRGB conversion and the attention crop.
//
// Readying an Exif block must leave IFD0 whole: every entry as it was but
// the Orientation, which becomes one SHORT, 1 after a reset, and reads back
// so from the readied block.
#include <cstring>

#include "fuzz_support.h"
#include "photo/metadata.h"
#include "photo/photo.h"

namespace {

// The 12-byte entries of IFD0 in an Exif payload, and the block's byte
// order; empty when there is no readable IFD0.
struct Ifd0 {
  bool big = false;
  std::vector<std::array<uint8_t, 12>> entries;
};

Ifd0 ifd0_of(const qarvel::Bytes& exif) {
  Ifd0 ifd;
  if (exif.size() < 14) return ifd;
  const uint8_t* t = exif.data() + 6;
  const size_t size = exif.size() - 6;
  ifd.big = t[0] == 'M';
  auto u16 = [&](size_t at) -> uint32_t {
    return ifd.big ? t[at] << 8 | t[at + 1] : t[at] | t[at + 1] << 8;
  };
  const uint32_t at = ifd.big ? u16(4) << 16 | u16(6) : u16(4) | u16(6) << 16;
  if (at < 8 || uint64_t{at} + 2 > size) return ifd;
  const uint32_t count = u16(at);
  if (uint64_t{at} + 2 + uint64_t{count} * 12 > size) return ifd;
  for (uint32_t i = 0; i < count; ++i) {
    std::array<uint8_t, 12> e;
    std::memcpy(e.data(), t + at + 2 + size_t{i} * 12, 12);
    ifd.entries.push_back(e);
  }
  return ifd;
}

bool is_orientation(const Ifd0& ifd, const std::array<uint8_t, 12>& e) {
  return ifd.big ? e[0] == 0x01 && e[1] == 0x12 : e[0] == 0x12 && e[1] == 0x01;
}

// The value of an Orientation entry that is one SHORT, else 0.
uint32_t short_value(const Ifd0& ifd, const std::array<uint8_t, 12>& e) {
  const bool one_short =
      ifd.big ? e[2] == 0 && e[3] == 3 && e[4] == 0 && e[5] == 0 && e[6] == 0 && e[7] == 1
              : e[2] == 3 && e[3] == 0 && e[4] == 1 && e[5] == 0 && e[6] == 0 && e[7] == 0;
  if (!one_short) return 0;
  return ifd.big ? e[8] << 8 | e[9] : e[8] | e[9] << 8;
}

// The Orientation a readied block reads back as, through a minimal stream.
int read_back(const qarvel::Bytes& exif) {
  if (exif.size() > 65533) return 1;
  std::vector<uint8_t> jpeg = {0xFF,
                               0xD8,
                               0xFF,
                               0xE1,
                               static_cast<uint8_t>((exif.size() + 2) >> 8),
                               static_cast<uint8_t>(exif.size() + 2)};
  jpeg.insert(jpeg.end(), exif.begin(), exif.end());
  jpeg.insert(jpeg.end(), {0xFF, 0xD9});
  const qarvel::JpegMetadata back = qarvel::read_metadata(jpeg, {true, false, false});
  if (!back.exif_valid) __builtin_trap();
  return back.orientation;
}

void check_readied(const qarvel::Bytes& before, const qarvel::Bytes& after, bool reset,
                   int orientation) {
  const Ifd0 was = ifd0_of(before), is = ifd0_of(after);
  if (was.entries.size() != is.entries.size()) __builtin_trap();
  for (size_t i = 0; i < was.entries.size(); ++i) {
    if (!is_orientation(was, was.entries[i])) {
      if (was.entries[i] != is.entries[i]) __builtin_trap();
      continue;
    }
    const uint32_t was_value = short_value(was, was.entries[i]);
    const uint32_t want = reset || was_value < 1 || was_value > 8 ? 1 : was_value;
    if (short_value(is, is.entries[i]) != want) __builtin_trap();
  }
  if (read_back(after) != (reset ? 1 : orientation)) __builtin_trap();
}

void exercise(qarvel::ByteView jpeg) {
  qarvel::JpegMetadata meta = qarvel::read_metadata(jpeg, {true, true, true});
  volatile unsigned sink = meta.orientation + meta.ends_early.size();
  std::vector<qarvel::Segment> segments = qarvel::icc_segments(meta.icc);
  for (bool reset : {false, true}) {
    qarvel::Bytes exif = meta.exif;
    std::vector<std::string> warnings;
    if (meta.exif_valid && qarvel::prepare_exif(exif, reset, &warnings)) {
      check_readied(meta.exif, exif, reset, meta.orientation);
      segments.push_back({0xE1, std::move(exif)});
    }
  }
  for (auto& s : meta.xmp_iptc) segments.push_back(std::move(s));
  static const uint8_t kTiny[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46, 0xFF, 0xD9};
  qarvel::Result<qarvel::Blob> out = qarvel::insert_segments({kTiny, sizeof kTiny}, segments);
  if (out) sink = sink + qfuzz::touch(out->data.get(), out->size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  exercise({data, size});

  // SOI, APP1 "Exif\0\0" + the input (cut to fit a segment), EOI.
  const size_t tiff = std::min<size_t>(size, 65535 - 2 - 6);
  std::vector<uint8_t> wrapped = {0xFF, 0xD8, 0xFF, 0xE1, static_cast<uint8_t>((tiff + 8) >> 8),
                                  static_cast<uint8_t>(tiff + 8), 'E', 'x', 'i', 'f', 0, 0};
  wrapped.insert(wrapped.end(), data, data + tiff);
  wrapped.insert(wrapped.end(), {0xFF, 0xD9});
  exercise(wrapped);

  // Small images through the thumbnailer, metadata kept and turned.
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  tjhandle tj = tjInitDecompress();
  const bool header = tjDecompressHeader3(tj, data, size, &w, &h, &subsamp, &colorspace) == 0;
  tjDestroy(tj);
  if (header && int64_t{w} * h <= 256 * 256) {
    // The input's length picks the colour and crop paths, so the corpus
    // reaches them all: CMYK through its profile, --srgb, the attention crop.
    qarvel::ThumbnailOptions o;
    o.width = 1 + w / 3;
    o.keep_metadata = true;
    o.srgb = size & 1;
    if (size & 2) {
      o.height = 1 + h / 4;
      o.fit = true;
      o.crop = qarvel::ThumbnailOptions::Crop::kAttention;
    }
    qarvel::Result<qarvel::Thumbnail> t = qarvel::thumbnail({data, size}, o);
    if (t) {
      volatile unsigned sink = qfuzz::touch(t->jpeg.data.get(), t->jpeg.size);
      (void)sink;
    }
  }
  return 0;
}
