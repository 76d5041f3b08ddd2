// The metadata reader on arbitrary bytes, twice: as a whole JPEG stream
// (segment scan, ICC chunks) and as the TIFF block of an Exif segment in a
// minimal stream (IFD walking). Whatever it keeps is then readied for a
// thumbnail and written into a JPEG, and small images go through the whole
// thumbnailer with every segment kept.
#include <cstring>

#include "fuzz_support.h"
#include "photo/metadata.h"
#include "photo/photo.h"

namespace {

void exercise(qarvel::ByteView jpeg) {
  qarvel::JpegMetadata meta = qarvel::read_metadata(jpeg, {true, true, true});
  volatile unsigned sink = meta.orientation;
  std::vector<qarvel::Segment> segments = qarvel::icc_segments(meta.icc);
  for (bool reset : {false, true}) {
    qarvel::Bytes exif = meta.exif;
    if (meta.exif_valid && qarvel::prepare_exif(exif, reset))
      segments.push_back({0xE1, std::move(exif)});
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
    qarvel::ThumbnailOptions o;
    o.width = 1 + w / 3;
    o.keep_metadata = true;
    qarvel::Result<qarvel::Thumbnail> t = qarvel::thumbnail({data, size}, o);
    if (t) {
      volatile unsigned sink = qfuzz::touch(t->jpeg.data.get(), t->jpeg.size);
      (void)sink;
    }
  }
  return 0;
}
